#include "device_sim.h"

// Card answers relayed from the decode server: classing them by size and reading the card text.

#include <string>
#include <vector>

#include "config/byte_io.h"
#include "core/device_frame.h"

namespace {

namespace CardTextBlock {
constexpr size_t kOffsetShort = 30;  // 288- and 1311-byte answers
constexpr size_t kOffsetLong = 32;   // 1313-byte answers
constexpr size_t kSize = 256;
}  // namespace CardTextBlock

void AppendUtf8(std::string* pOut, uint32_t unCode) {
  if (unCode < 0x80) {
    pOut->push_back(static_cast<char>(unCode));
  } else if (unCode < 0x800) {
    pOut->push_back(static_cast<char>(0xC0 | (unCode >> 6)));
    pOut->push_back(static_cast<char>(0x80 | (unCode & 0x3F)));
  } else {
    pOut->push_back(static_cast<char>(0xE0 | (unCode >> 12)));
    pOut->push_back(static_cast<char>(0x80 | ((unCode >> 6) & 0x3F)));
    pOut->push_back(static_cast<char>(0x80 | (unCode & 0x3F)));
  }
}

}  // namespace

std::vector<uint8_t> UnmaskAnswer(const std::vector<uint8_t>& arrAnswer) {
  std::vector<uint8_t> plain = arrAnswer;
  if (plain.size() > 12) {
    MaskDeviceBody(&plain[12], plain.size() - 12, &plain[4]);
  }
  return plain;
}

CardAnswerKind ClassifyAnswer(size_t unSize) {
  switch (unSize) {
    case kCardTextAnswerSize:
      return CardAnswerKind::Text;
    case kCardPhotoAnswerSize:
      return CardAnswerKind::TextPhoto;
    case kCardFingerAnswerSize:
      return CardAnswerKind::TextPhotoFinger;
    case kCardFingerRestSize:
      return CardAnswerKind::FingerRest;
    default:
      return CardAnswerKind::NotCard;
  }
}

const char* DescribeAnswerKind(CardAnswerKind kind) {
  switch (kind) {
    case CardAnswerKind::Text:
      return "card text";
    case CardAnswerKind::TextPhoto:
      return "card text and photo";
    case CardAnswerKind::TextPhotoFinger:
      return "card text, photo and first fingerprint part";
    case CardAnswerKind::FingerRest:
      return "second fingerprint part";
    case CardAnswerKind::NotCard:
      break;
  }
  return "not a card answer";
}

std::string Ucs2LeToUtf8(const uint8_t* pText, size_t unBytes) {
  std::string out;
  for (size_t i = 0; i + 1 < unBytes; i += 2) {
    uint32_t unCode = GetLe16(pText + i);
    if (unCode == 0) {
      break;
    }
    if (unCode >= 0xD800 && unCode <= 0xDFFF) {
      unCode = 0xFFFD;  // UCS-2 has no surrogates; show a lone one as a replacement mark
    }
    AppendUtf8(&out, unCode);
  }
  size_t unEnd = out.find_last_not_of(' ');
  out.erase(unEnd == std::string::npos ? 0 : unEnd + 1);
  return out;
}

bool DecodeCardText(const std::vector<uint8_t>& arrPlainAnswer, CardTextFields* pFields) {
  size_t unBlock;
  switch (ClassifyAnswer(arrPlainAnswer.size())) {
    case CardAnswerKind::Text:
    case CardAnswerKind::TextPhoto:
      unBlock = CardTextBlock::kOffsetShort;
      break;
    case CardAnswerKind::TextPhotoFinger:
      unBlock = CardTextBlock::kOffsetLong;
      break;
    default:
      return false;
  }
  if (pFields == nullptr || arrPlainAnswer.size() < unBlock + CardTextBlock::kSize) {
    return false;
  }
  const uint8_t* p = &arrPlainAnswer[unBlock];
  struct {
    std::string* pField;
    size_t unOffset;
    size_t unBytes;
  } const fields[] = {
      {&pFields->strName, 0, 30},       {&pFields->strGender, 30, 2},
      {&pFields->strNation, 32, 4},     {&pFields->strBirthDate, 36, 16},
      {&pFields->strCertAddr, 52, 70},  {&pFields->strCertNo, 122, 36},
      {&pFields->strCertOrg, 158, 30},  {&pFields->strEffDate, 188, 16},
      {&pFields->strExpDate, 204, 16},  {&pFields->strPassNum, 220, 18},
      {&pFields->strSignCount, 238, 4}, {&pFields->strCertType, 248, 2},
  };
  for (const auto& f : fields) {
    *f.pField = Ucs2LeToUtf8(p + f.unOffset, f.unBytes);
  }
  return true;
}
