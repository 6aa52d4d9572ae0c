// The UCS-2 to UTF-8 conversion of the card's text fields, on any text and any output size.
//
// Input: byte 0 chooses the output buffer size (1 to 256 bytes), the rest is the UCS-2 text
// (little-endian units; an odd last byte is no unit). The output buffer is allocated at exactly
// its size, so a write past it is caught.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/byte_io.h"
#include "decodelog/card_document.h"
#include "fuzz_util.h"

namespace {

// Decodes the converter's own output back into units: one to three bytes per unit, as written.
// False when the bytes are not in that form.
bool DecodeUnits(const std::string& strUtf8, std::vector<uint16_t>* pUnits) {
  for (size_t i = 0; i < strUtf8.size();) {
    unsigned char c = static_cast<unsigned char>(strUtf8[i]);
    size_t unLen = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
    if (unLen == 0 || i + unLen > strUtf8.size()) {
      return false;
    }
    uint32_t unUnit = unLen == 1 ? c : unLen == 2 ? (c & 0x1F) : (c & 0x0F);
    for (size_t k = 1; k < unLen; ++k) {
      unsigned char t = static_cast<unsigned char>(strUtf8[i + k]);
      if ((t & 0xC0) != 0x80) {
        return false;
      }
      unUnit = (unUnit << 6) | (t & 0x3F);
    }
    // Each unit has exactly one form: the shortest.
    if ((unLen == 2 && unUnit < 0x80) || (unLen == 3 && unUnit < 0x800)) {
      return false;
    }
    pUnits->push_back(static_cast<uint16_t>(unUnit));
    i += unLen;
  }
  return true;
}

size_t Utf8Length(uint16_t unUnit) {
  return unUnit < 0x80 ? 1 : unUnit < 0x800 ? 2 : 3;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize) {
  if (unSize == 0) {
    return 0;
  }
  const size_t unOutSize = static_cast<size_t>(pData[0]) + 1;
  const uint8_t* pText = pData + 1;
  const size_t unTextBytes = unSize - 1;

  // The units up to the first zero unit: what the conversion should take.
  std::vector<uint16_t> arrUnits;
  for (size_t i = 0; i + 1 < unTextBytes; i += 2) {
    uint16_t unUnit = GetLe16(pText + i);
    if (unUnit == 0) {
      break;
    }
    arrUnits.push_back(unUnit);
  }

  std::unique_ptr<char[]> upOut(new char[unOutSize]);
  std::memset(upOut.get(), 'X', unOutSize);
  size_t unWritten = Ucs2ToUtf8(pText, unTextBytes, upOut.get(), unOutSize);
  FUZZ_CHECK(unWritten < unOutSize);
  FUZZ_CHECK(upOut[unWritten] == '\0' && std::strlen(upOut.get()) == unWritten);
  std::vector<uint16_t> arrBack;
  FUZZ_CHECK(DecodeUnits(std::string(upOut.get(), unWritten), &arrBack));
  // A prefix of the text, cut only where the next unit would not have fitted with the NUL.
  FUZZ_CHECK(arrBack.size() <= arrUnits.size());
  FUZZ_CHECK(std::equal(arrBack.begin(), arrBack.end(), arrUnits.begin()));
  if (arrBack.size() < arrUnits.size()) {
    FUZZ_CHECK(unWritten + Utf8Length(arrUnits[arrBack.size()]) + 1 > unOutSize);
  }

  // A card text field: every blank goes, wherever it stands; the rest comes through in order
  // as far as the field's 256-byte work buffer reaches. The field is read from a zero-filled
  // copy, so an odd last byte counts as a unit of its own.
  std::string strField = GetCardTextField(pText, unTextBytes);
  FUZZ_CHECK(strField.size() < 256);
  FUZZ_CHECK(strField.find(' ') == std::string::npos);
  std::vector<uint16_t> arrFieldUnits;
  FUZZ_CHECK(DecodeUnits(strField, &arrFieldUnits));
  std::vector<uint16_t> arrExpected;
  for (size_t i = 0; i < unTextBytes; i += 2) {
    uint16_t unUnit =
        static_cast<uint16_t>(pText[i] | (i + 1 < unTextBytes ? pText[i + 1] << 8 : 0));
    if (unUnit == 0) {
      break;
    }
    if (unUnit != 0x20) {
      arrExpected.push_back(unUnit);
    }
  }
  FUZZ_CHECK(arrFieldUnits.size() <= arrExpected.size());
  FUZZ_CHECK(std::equal(arrFieldUnits.begin(), arrFieldUnits.end(), arrExpected.begin()));
  return 0;
}
