// Card answers of the SAMV simulator: fields, text block, framing. See samv_sim.h.

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "config/byte_io.h"
#include "core/device_frame.h"
#include "samv_sim.h"

namespace {

struct FieldSpec {
  const char* szKey;
  std::string SamvCardFields::*pText;
  size_t unOffset;
  size_t unBytes;
};

const FieldSpec kFields[] = {
    {"name", &SamvCardFields::strName, SamvCardText::kName, 30},
    {"gender", &SamvCardFields::strGender, SamvCardText::kGender, 2},
    {"nation", &SamvCardFields::strNation, SamvCardText::kNation, 4},
    {"birth", &SamvCardFields::strBirth, SamvCardText::kBirthDate, 16},
    {"address", &SamvCardFields::strAddress, SamvCardText::kCertAddr, 70},
    {"cert-no", &SamvCardFields::strCertNo, SamvCardText::kCertNo, 36},
    {"org", &SamvCardFields::strOrg, SamvCardText::kCertOrg, 30},
    {"eff", &SamvCardFields::strEff, SamvCardText::kEffDate, 16},
    {"exp", &SamvCardFields::strExp, SamvCardText::kExpDate, 16},
    {"pass-num", &SamvCardFields::strPassNum, SamvCardText::kPassNum, 18},
    {"sign-count", &SamvCardFields::strSignCount, SamvCardText::kSignCount, 4},
    {"cert-type", &SamvCardFields::strCertType, SamvCardText::kCertType, 2},
};

const FieldSpec* FindField(const std::string& strKey) {
  for (const FieldSpec& field : kFields) {
    if (strKey == field.szKey) {
      return &field;
    }
  }
  return nullptr;
}

std::string Trim(const std::string& strText) {
  const char* szBlanks = " \t\r\n";
  size_t unBegin = strText.find_first_not_of(szBlanks);
  if (unBegin == std::string::npos) {
    return std::string();
  }
  size_t unEnd = strText.find_last_not_of(szBlanks);
  return strText.substr(unBegin, unEnd - unBegin + 1);
}

// Byte j of the simulated fingerprint data (1 byte in the first part, 1025 in the second).
uint8_t FingerprintByte(size_t j) {
  return static_cast<uint8_t>((13 * j + 5) & 0xFF);
}

// The body of an answer block, unmasked, from frame offset 12 on.
std::vector<uint8_t> CardAnswerBody(SamvAnswerBlock eBlock, const SamvCardFields& fields,
                                    uint8_t byCommand) {
  using namespace SamvAnswer;
  size_t unSize = 0;
  size_t unTextOffset = 0;
  size_t unPhotoOffset = 0;  // 0: no photo
  uint16_t unFingerLength = 0;
  switch (eBlock) {
    case SamvAnswerBlock::Text:
      unSize = kTextSize;
      unTextOffset = kTextOffset;
      break;
    case SamvAnswerBlock::TextPhoto:
      unSize = kTextPhotoSize;
      unTextOffset = kTextOffset;
      unPhotoOffset = kPhotoOffset;
      break;
    case SamvAnswerBlock::FingerprintPart1:
      unSize = kFingerprintPart1Size;
      unTextOffset = kFingerprintTextOffset;
      unPhotoOffset = kFingerprintPhotoOffset;
      unFingerLength =
          static_cast<uint16_t>(1 + kFingerprintPart2Size - kFingerprintPart2DataOffset);
      break;
    case SamvAnswerBlock::FingerprintPart2: {
      std::vector<uint8_t> body(kFingerprintPart2Size - kBodyOffset, 0);
      body[kCommandOffset - kBodyOffset] = byCommand;
      for (size_t i = kFingerprintPart2DataOffset; i < kFingerprintPart2Size; ++i) {
        body[i - kBodyOffset] = FingerprintByte(1 + i - kFingerprintPart2DataOffset);
      }
      return body;
    }
  }
  std::vector<uint8_t> answer(unSize, 0);  // whole answer; the body is cut out at the end
  answer[kCommandOffset] = byCommand;
  PutLe16(&answer[kTextLengthOffset], static_cast<uint16_t>(kTextBlockSize));
  PutLe16(&answer[kPhotoLengthOffset], static_cast<uint16_t>(unPhotoOffset != 0 ? kPhotoSize : 0));
  PutLe16(&answer[kFingerLengthOffset], unFingerLength);
  std::vector<uint8_t> text = BuildCardTextBlock(fields);
  std::memcpy(&answer[unTextOffset], text.data(), kTextBlockSize);
  if (unPhotoOffset != 0) {
    std::vector<uint8_t> photo = SamvPhotoBytes(fields);
    std::memcpy(&answer[unPhotoOffset], photo.data(), kPhotoSize);
  }
  if (eBlock == SamvAnswerBlock::FingerprintPart1) {
    answer[unSize - 1] = FingerprintByte(0);  // the fingerprint data begin in the last byte
  }
  return std::vector<uint8_t>(answer.begin() + kBodyOffset, answer.end());
}

}  // namespace

bool Utf8ToUcs2Units(const std::string& strText, std::vector<uint16_t>* pUnits) {
  if (pUnits == nullptr) {
    return false;
  }
  pUnits->clear();
  size_t i = 0;
  while (i < strText.size()) {
    uint8_t by = static_cast<uint8_t>(strText[i]);
    uint32_t unCode = 0;
    size_t unMore = 0;
    if (by < 0x80) {
      unCode = by;
    } else if ((by & 0xE0) == 0xC0) {
      unCode = by & 0x1F;
      unMore = 1;
    } else if ((by & 0xF0) == 0xE0) {
      unCode = by & 0x0F;
      unMore = 2;
    } else {
      return false;  // four-byte sequences lie beyond U+FFFF; anything else is invalid
    }
    if (i + unMore >= strText.size() && unMore != 0) {
      return false;  // the sequence is cut short
    }
    for (size_t k = 1; k <= unMore; ++k) {
      uint8_t byNext = static_cast<uint8_t>(strText[i + k]);
      if ((byNext & 0xC0) != 0x80) {
        return false;
      }
      unCode = (unCode << 6) | (byNext & 0x3F);
    }
    // Overlong forms and surrogates are not characters.
    if ((unMore == 1 && unCode < 0x80) || (unMore == 2 && unCode < 0x800) ||
        (unCode >= 0xD800 && unCode <= 0xDFFF)) {
      return false;
    }
    pUnits->push_back(static_cast<uint16_t>(unCode));
    i += 1 + unMore;
  }
  return true;
}

bool SetSamvCardField(SamvCardFields* pFields, const std::string& strKey,
                      const std::string& strValue, std::string* pstrError) {
  std::string strIgnored;
  std::string& strError = pstrError != nullptr ? *pstrError : strIgnored;
  if (pFields == nullptr) {
    strError = "no card";
    return false;
  }
  const FieldSpec* pSpec = FindField(strKey);
  if (pSpec == nullptr) {
    strError = "unknown card field '" + strKey + "'";
    return false;
  }
  std::vector<uint16_t> units;
  if (!Utf8ToUcs2Units(strValue, &units)) {
    strError = "card field '" + strKey + "' is not UTF-8 text of the Basic Multilingual Plane";
    return false;
  }
  if (units.size() * 2 > pSpec->unBytes) {
    strError = "card field '" + strKey + "' holds at most " + std::to_string(pSpec->unBytes / 2) +
               " characters";
    return false;
  }
  pFields->*(pSpec->pText) = strValue;
  return true;
}

bool LoadSamvCardFile(const std::string& strPath, SamvCardFields* pFields, std::string* pstrError) {
  std::string strIgnored;
  std::string& strError = pstrError != nullptr ? *pstrError : strIgnored;
  std::ifstream in(strPath);
  if (!in) {
    strError = "cannot read card file '" + strPath + "'";
    return false;
  }
  std::string strLine;
  int nLine = 0;
  while (std::getline(in, strLine)) {
    ++nLine;
    std::string strTrimmed = Trim(strLine);
    if (strTrimmed.empty() || strTrimmed[0] == '#') {
      continue;
    }
    size_t unEqual = strTrimmed.find('=');
    if (unEqual == std::string::npos) {
      strError = strPath + ":" + std::to_string(nLine) + ": expected key=value";
      return false;
    }
    std::string strFieldError;
    if (!SetSamvCardField(pFields, Trim(strTrimmed.substr(0, unEqual)),
                          Trim(strTrimmed.substr(unEqual + 1)), &strFieldError)) {
      strError = strPath + ":" + std::to_string(nLine) + ": " + strFieldError;
      return false;
    }
  }
  return true;
}

bool LoadSamvPhotoFile(const std::string& strPath, SamvCardFields* pFields,
                       std::string* pstrError) {
  std::string strIgnored;
  std::string& strError = pstrError != nullptr ? *pstrError : strIgnored;
  std::ifstream in(strPath, std::ios::binary);
  if (!in || pFields == nullptr) {
    strError = "cannot read photo file '" + strPath + "'";
    return false;
  }
  std::vector<uint8_t> photo((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (photo.size() != SamvAnswer::kPhotoSize) {
    strError =
        "photo file '" + strPath + "' has " + std::to_string(photo.size()) + " bytes, not 1024";
    return false;
  }
  pFields->arrPhoto = photo;
  return true;
}

std::vector<uint8_t> BuildCardTextBlock(const SamvCardFields& fields) {
  std::vector<uint8_t> block(SamvCardText::kSize, 0);
  for (size_t i = 0; i + 1 < SamvCardText::kSize; i += 2) {
    PutLe16(&block[i], 0x0020);
  }
  for (const FieldSpec& field : kFields) {
    std::vector<uint16_t> units;
    if (!Utf8ToUcs2Units(fields.*(field.pText), &units)) {
      units.clear();
    }
    for (size_t k = 0; k < units.size() && 2 * k + 1 < field.unBytes; ++k) {
      PutLe16(&block[field.unOffset + 2 * k], units[k]);
    }
  }
  return block;
}

std::vector<uint8_t> SamvPhotoBytes(const SamvCardFields& fields) {
  if (fields.arrPhoto.size() == SamvAnswer::kPhotoSize) {
    return fields.arrPhoto;
  }
  std::vector<uint8_t> photo(SamvAnswer::kPhotoSize);
  for (size_t i = 0; i < photo.size(); ++i) {
    photo[i] = static_cast<uint8_t>((7 * i + 3) & 0xFF);
  }
  return photo;
}

std::vector<uint8_t> BuildSamvFrame(const uint8_t* pKey, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> frame(SamvAnswer::kBodyOffset + body.size());
  PutLe32(&frame[SamvAnswer::kLengthOffset], static_cast<uint32_t>(frame.size() - 4));
  std::memcpy(&frame[SamvAnswer::kKeyOffset], pKey, kDeviceKeySize);
  if (!body.empty()) {
    std::memcpy(&frame[SamvAnswer::kBodyOffset], body.data(), body.size());
    MaskDeviceBody(&frame[SamvAnswer::kBodyOffset], body.size(), pKey);
  }
  return frame;
}

std::vector<uint8_t> BuildCardAnswer(SamvAnswerBlock eBlock, const SamvCardFields& fields,
                                     const uint8_t* pKey, uint8_t byCommand) {
  return BuildSamvFrame(pKey, CardAnswerBody(eBlock, fields, byCommand));
}

std::vector<std::vector<uint8_t>> BuildCardAnswers(SamvCardKind eKind, const SamvCardFields& fields,
                                                   const uint8_t* pKey, uint8_t byCommand) {
  std::vector<std::vector<uint8_t>> blocks;
  switch (eKind) {
    case SamvCardKind::Text:
      blocks.push_back(BuildCardAnswer(SamvAnswerBlock::Text, fields, pKey, byCommand));
      break;
    case SamvCardKind::Photo:
      blocks.push_back(BuildCardAnswer(SamvAnswerBlock::TextPhoto, fields, pKey, byCommand));
      break;
    case SamvCardKind::Fingerprint:
      blocks.push_back(BuildCardAnswer(SamvAnswerBlock::FingerprintPart1, fields, pKey, byCommand));
      blocks.push_back(BuildCardAnswer(SamvAnswerBlock::FingerprintPart2, fields, pKey, byCommand));
      break;
    case SamvCardKind::FingerprintPart1:
      blocks.push_back(BuildCardAnswer(SamvAnswerBlock::FingerprintPart1, fields, pKey, byCommand));
      break;
    case SamvCardKind::PhotoStrayPart2:
      blocks.push_back(BuildCardAnswer(SamvAnswerBlock::TextPhoto, fields, pKey, byCommand));
      blocks.push_back(BuildCardAnswer(SamvAnswerBlock::FingerprintPart2, fields, pKey, byCommand));
      break;
  }
  return blocks;
}

std::vector<uint8_t> BuildSamvAck(uint8_t byCommand, const uint8_t* pKey) {
  std::vector<uint8_t> body(SamvAnswer::kAckSize - SamvAnswer::kBodyOffset, 0);
  body[0] = byCommand;  // then three zero bytes and a u32 LE status of 0
  return BuildSamvFrame(pKey, body);
}

bool IsCardReadCommand(uint8_t byCommand) {
  switch (byCommand) {
    case 1:
    case 9:
    case 14:
    case 59:
    case 71:
    case 78:
      return true;
    default:
      return false;
  }
}

namespace {

struct ModeName {
  SamvSimMode eMode;
  const char* szName;
};
const ModeName kModeNames[] = {
    {SamvSimMode::Echo, "echo"},           {SamvSimMode::Card, "card"},
    {SamvSimMode::KeepAlive, "keepalive"}, {SamvSimMode::Refuse, "refuse"},
    {SamvSimMode::Close, "close"},         {SamvSimMode::Silent, "silent"},
    {SamvSimMode::Flood, "flood"},         {SamvSimMode::Deaf, "deaf"},
};

struct KindName {
  SamvCardKind eKind;
  const char* szName;
};
const KindName kKindNames[] = {
    {SamvCardKind::Text, "text"},
    {SamvCardKind::Photo, "photo"},
    {SamvCardKind::Fingerprint, "fingerprint"},
    {SamvCardKind::FingerprintPart1, "fingerprint-part1"},
    {SamvCardKind::PhotoStrayPart2, "photo-stray-part2"},
};

}  // namespace

bool ParseSamvSimMode(const std::string& strText, SamvSimMode* pMode) {
  for (const ModeName& m : kModeNames) {
    if (strText == m.szName) {
      *pMode = m.eMode;
      return true;
    }
  }
  return false;
}

const char* SamvSimModeName(SamvSimMode eMode) {
  for (const ModeName& m : kModeNames) {
    if (m.eMode == eMode) {
      return m.szName;
    }
  }
  return "?";
}

bool ParseSamvCardKind(const std::string& strText, SamvCardKind* pKind) {
  for (const KindName& k : kKindNames) {
    if (strText == k.szName) {
      *pKind = k.eKind;
      return true;
    }
  }
  return false;
}

const char* SamvCardKindName(SamvCardKind eKind) {
  for (const KindName& k : kKindNames) {
    if (k.eKind == eKind) {
      return k.szName;
    }
  }
  return "?";
}
