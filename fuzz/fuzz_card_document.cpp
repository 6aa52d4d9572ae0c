// The card record request built from a captured SAMV answer of any length and contents, any
// captured-length field, device texts that fill their fields without a NUL, and any clock.
//
// Input (missing bytes read as zero):
//   byte 0      flags: bits 0-1 the secret key's length (16, 24, 32, or the wrong 20);
//               bit 2 the clock is not a date; bit 3 szDeviceId and bit 4 szTransData fill their
//               whole field without a NUL after the given text; bit 5 the settings' texts fill
//               their whole fields without a NUL
//   bytes 1-4   unSamvDataLength, little-endian (any value, not only what a capture stores)
//   bytes 5-8   microseconds after 2026-01-02 00:00 for the clock
//   byte 9      n = length of the device identifier (mod 65), then n bytes
//   2 bytes     m = length of the transaction data (mod 1025), little-endian, then m bytes
//   the rest    the captured answer with its body in clear (cut to the record's capacity); the
//               target masks the body with the answer's key over the span its length word
//               names, as a SAMV server does, so the builder's unmasking gives back the input
#include <cctype>
#include <cstring>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <nlohmann/json.hpp>

#include "config/byte_io.h"
#include "config/system_config.h"
#include "core/device_frame.h"
#include "decodelog/card_document.h"
#include "decodelog/decode_log_record.h"
#include "fuzz_util.h"

namespace {

class InputReader {
 public:
  InputReader(const uint8_t* pData, size_t unSize) : m_pData(pData), m_unSize(unSize) {}
  uint8_t Byte() { return m_unPos < m_unSize ? m_pData[m_unPos++] : 0; }
  uint32_t Le32() {
    uint32_t un = 0;
    for (int i = 0; i < 4; ++i) {
      un |= static_cast<uint32_t>(Byte()) << (8 * i);
    }
    return un;
  }
  // Copies up to unCount bytes into pOut; returns how many there were.
  size_t Bytes(uint8_t* pOut, size_t unCount) {
    size_t unTake = std::min(unCount, m_unSize - m_unPos);
    if (unTake > 0) {
      std::memcpy(pOut, m_pData + m_unPos, unTake);
    }
    m_unPos += unTake;
    return unTake;
  }

 private:
  const uint8_t* m_pData;
  size_t m_unSize;
  size_t m_unPos = 0;
};

template <size_t N>
void FillWithout(char (&field)[N], const char* szText, bool bNoNul) {
  std::memset(field, bNoNul ? 'w' : 0, N);
  std::memcpy(field, szText, std::min(N - (bNoNul ? 0 : 1), std::strlen(szText)));
}

bool IsUpperHex(const std::string& s) {
  for (char c : s) {
    if (!std::isxdigit(static_cast<unsigned char>(c)) ||
        std::islower(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize) {
  InputReader in(pData, unSize);
  const uint8_t byFlags = in.Byte();

  static const char* const kKeys[] = {"0123456789abcdef", "0123456789abcdef01234567",
                                      "0123456789abcdef0123456789abcdef", "0123456789abcdef0123"};
  const bool bLooseSettings = (byFlags & 0x20) != 0;
  SystemConfigStruct stConfig;
  std::memset(&stConfig, 0, sizeof(stConfig));
  FillWithout(stConfig.szUserName, "admin", bLooseSettings);
  FillWithout(stConfig.szPassword, "admin123", bLooseSettings);
  FillWithout(stConfig.szLogServerIp, "127.0.0.1", bLooseSettings);
  stConfig.unLogServerPort = 16200;
  FillWithout(stConfig.szHttpLogUrl, "/card/log", bLooseSettings);
  FillWithout(stConfig.szAppKey, "demoappkey", bLooseSettings);
  FillWithout(stConfig.szSign, "demosign", bLooseSettings);
  CopyText(stConfig.szSecretKey, kKeys[byFlags & 0x03]);

  static DecodeLogRecord* pRecord = new DecodeLogRecord();  // 3.6 KiB: not on the stack each time
  DecodeLogRecord& rec = *pRecord;
  std::memset(&rec, 0, sizeof(rec));
  rec.unSamvDataLength = in.Le32();
  uint32_t unMicros = in.Le32();
  boost::posix_time::ptime tmNow =
      (byFlags & 0x04) ? boost::posix_time::ptime()
                       : boost::posix_time::ptime(boost::gregorian::date(2026, 1, 2)) +
                             boost::posix_time::microseconds(unMicros);

  size_t unDeviceId = in.Byte() % (sizeof(rec.szDeviceId) + 1);
  std::memset(rec.szDeviceId, (byFlags & 0x08) ? 'd' : 0, sizeof(rec.szDeviceId));
  in.Bytes(reinterpret_cast<uint8_t*>(rec.szDeviceId), unDeviceId);
  size_t unTransData = (in.Byte() | (in.Byte() << 8)) % (sizeof(rec.szTransData) + 1);
  std::memset(rec.szTransData, (byFlags & 0x10) ? 't' : 0, sizeof(rec.szTransData));
  in.Bytes(reinterpret_cast<uint8_t*>(rec.szTransData), unTransData);
  in.Bytes(rec.arrSamvData, sizeof(rec.arrSamvData));
  uint32_t unL = GetLe32(rec.arrSamvData);
  if (unL > kDeviceKeySize) {
    size_t unSpan = std::min<size_t>(unL - kDeviceKeySize, sizeof(rec.arrSamvData) - 12);
    MaskDeviceBody(rec.arrSamvData + 12, unSpan, rec.arrSamvData + 4);
  }

  // The unscrambling works on a copy: the record reads the same the next time.
  static DecodeLogRecord* pBefore = new DecodeLogRecord();
  std::memcpy(pBefore, &rec, sizeof(rec));
  uint8_t arrCard[kCardDataSize];
  std::memset(arrCard, 0xEE, sizeof(arrCard));
  ParseSamvCardData(&rec, arrCard);
  for (size_t i = kCardTextBlockSize; i < kCardPhotoOffset; ++i) {
    FUZZ_CHECK(arrCard[i] == 0);
  }

  std::string strRequest = BuildSamvDecodeLogHttpData(stConfig, &rec, tmNow);
  FUZZ_CHECK(std::memcmp(pBefore, &rec, sizeof(rec)) == 0);

  // A whole request: head, a Content-Length that counts the document, and a document that is
  // valid JSON (every quoted value is escaped) ending with its closing brace.
  FUZZ_CHECK(strRequest.compare(0, 5, "POST ") == 0);
  size_t unHeadEnd = strRequest.find("\r\n\r\n");
  FUZZ_CHECK(unHeadEnd != std::string::npos);
  std::string strBody = strRequest.substr(unHeadEnd + 4);
  std::string strLength = "\r\nContent-Length: " + std::to_string(strBody.size()) + "\r\n";
  FUZZ_CHECK(strRequest.find(strLength) != std::string::npos &&
             strRequest.find(strLength) < unHeadEnd);
  FUZZ_CHECK(!strBody.empty() && strBody.back() == '}');
  nlohmann::json doc = nlohmann::json::parse(strBody, nullptr, false);
  FUZZ_CHECK(!doc.is_discarded());
  std::string strReqData = doc["contractRoot"]["svcCont"]["reqData"].get<std::string>();
  if ((byFlags & 0x03) == 3) {
    FUZZ_CHECK(strReqData.empty());
  } else {
    FUZZ_CHECK(!strReqData.empty() && strReqData.size() % 32 == 0 && IsUpperHex(strReqData));
  }
  std::string strReqTime = doc["contractRoot"]["tcpCont"]["reqTime"].get<std::string>();
  FUZZ_CHECK(strReqTime.size() == 17);
  return 0;
}
