#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>

#include "config/system_config.h"
#include "decodelog/decode_log_record.h"


// The card record as the log server receives it: the captured SAMV answer is unscrambled, the
// card's text fields and photo are taken out of it and written into a fixed inner document,
// which is AES-ECB encrypted with LOG_SERVER.SECRET_KEY, wrapped in an envelope with APP_KEY,
// SIGN and the time stamps, and put behind an HTTP POST head. Everything here is a pure function
// of its arguments (no state, no logging), safe on any thread.

// The card data taken out of an answer: the 256-byte text block at offset 0, the 1024-byte photo
// at offset kCardPhotoOffset, zero bytes between and wherever a block was not present.
constexpr size_t kCardTextBlockSize = 256;
constexpr size_t kCardPhotoOffset = 292;
constexpr size_t kCardPhotoSize = 1024;
constexpr size_t kCardDataSize = kCardPhotoOffset + kCardPhotoSize;
static_assert(kCardDataSize == 1316, "card data output is 1316 bytes");

// Fields of the card text block: UCS-2 little-endian, blank-padded.
namespace CardTextLayout {
constexpr size_t kName = 0;                    // 30 bytes
constexpr size_t kGender = kName + 30;         // 2
constexpr size_t kNation = kGender + 2;        // 4, a two-digit code
constexpr size_t kBirthDate = kNation + 4;     // 16
constexpr size_t kCertAddr = kBirthDate + 16;  // 70
constexpr size_t kCertNo = kCertAddr + 70;     // 36
constexpr size_t kCertOrg = kCertNo + 36;      // 30
constexpr size_t kEffDate = kCertOrg + 30;     // 16
constexpr size_t kExpDate = kEffDate + 16;     // 16
constexpr size_t kPassNum = kExpDate + 16;     // 18
constexpr size_t kSignCount = kPassNum + 18;   // 4
constexpr size_t kReserved = kSignCount + 4;   // 6, not used
constexpr size_t kCertType = kReserved + 6;    // 2
constexpr size_t kEnd = kCertType + 2;
static_assert(kCertType == 248, "certType sits at offset 248 of the text block");
static_assert(kEnd <= kCardTextBlockSize, "");
}  // namespace CardTextLayout

// The whole HTTP request for one record, from the settings (LOG_SERVER.IP_ADDRESS, PORT,
// HTTP_LOG_URL, APP_KEY, SECRET_KEY, SIGN) and one clock reading with microseconds, which gives
// reqTime (17 digits, to the millisecond). The transaction stamp behind APP_KEY in transactionId
// (18 digits, to 100 µs) is the record's capture time (szDecodeTime), the same on every attempt;
// only a record without one takes it from the clock reading. Returns an
// empty text for a null record; otherwise the request is always formed (a wrong key length gives
// an empty reqData). Quoted values are escaped as JSON strings; transdata and gender go in
// without quotes when each is exactly one JSON value, else as escaped strings.
std::string BuildSamvDecodeLogHttpData(const SystemConfigStruct& stConfig,
                                       const DecodeLogRecord* pRecord,
                                       const boost::posix_time::ptime& tmNow);

// Reads the captured answer of a record (in a working copy: the record is never changed) and
// writes the card data into pOut: zero-filled first, then the text block and the photo when the
// answer's length word says they are there. Offsets depend on unSamvDataLength (below 1312: text
// at 30, photo at 286; otherwise 32 and 288). Does nothing when an argument is null.
// REQUIRES: pOut holds kCardDataSize bytes.
void ParseSamvCardData(const DecodeLogRecord* pRecord, uint8_t* pOut);

// One text field of the card text block (unCount bytes of UCS-2) as UTF-8 with every blank
// removed. Stops at the first zero unit or the field's end.
std::string GetCardTextField(const uint8_t* pField, size_t unCount);

// Converts UCS-2 little-endian text (up to the first zero unit or unTextBytes bytes, whichever
// comes first) into NUL-terminated UTF-8, each unit on its own (no surrogate pairing): below 0x80
// one byte, below 0x800 two, else three. Stops before a unit that would not fit with the NUL.
// Returns the bytes written before the NUL; 0 and nothing written when an argument is missing.
size_t Ucs2ToUtf8(const uint8_t* pText, size_t unTextBytes, char* szOut, size_t unOutSize);

// Writes the nationality name (UTF-8, without the trailing 族) of the decimal code text into szOut
// after zero-filling it: codes 1..56 of the national table, every other value (0, 57 on, no
// number, empty) 汉. A null code text takes nDefaultCode instead. A buffer under 10 bytes is left
// untouched; a name is cut at a character boundary if the buffer is too small for it.
void GetNationName(const char* szCode, char* szOut, size_t unOutSize, int nDefaultCode);

// AES-ECB (mbed TLS) of the plain text with PKCS#7 padding (1 to 16 bytes always added), as
// upper-case hexadecimal. The key is the key text's bytes; it must be 16, 24 or 32 bytes long.
// Returns an empty text for another key length, an empty plain text or a cipher failure.
std::string AesEcbEncryptToHex(const std::string& strPlain, const std::string& strKey);

// Escapes text as the inside of a JSON string: quote, backslash and control characters; bytes
// from 0x80 pass unchanged.
std::string EscapeJsonText(const char* pText, size_t unLength);
