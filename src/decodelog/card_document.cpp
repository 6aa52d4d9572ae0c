#include "decodelog/card_document.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <nlohmann/json.hpp>

#include "config/byte_io.h"
#include "core/device_frame.h"
#include "crypto/record_cipher.h"

namespace {

// The captured answer: length word, scrambling key, scrambled body.
constexpr size_t kAnswerLengthWord = 0;
constexpr size_t kAnswerKey = 4;
constexpr size_t kAnswerBody = kAnswerKey + kDeviceKeySize;  // 12

// Where the card data lie in the unscrambled answer, by kind of answer.
struct CardOffsets {
  size_t unText;
  size_t unPhoto;
};
constexpr uint32_t kFingerprintAnswerFrom = 1312;
constexpr CardOffsets kTextPhotoOffsets = {30, 286};
constexpr CardOffsets kFingerprintOffsets = {32, 288};

// The inner document: the card information. Every value goes where a %s stands, in order:
// transdata, name, gender, nation, birthDate, certAddr, certNo, headPic, certOrg, effDate,
// expDate, signCount, passNum, certType, deviceId. The receiving side is used to the trailing
// comma after deviceId, so it stays.
constexpr const char kInnerTemplate[] =
    "{\r\n\t\t\t\t\t\t\t\"transdata\": %s, \r\n\t\t\t\t\t\t\t\"cardInfo\" : {\r\n"
    "\t\t\t\t\t\t\t\t\"name\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"gender\" : %s, \r\n"
    "\t\t\t\t\t\t\t\t\"nation\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"birthDate\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"certAddr\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"certNo\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"headPic\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"certOrg\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"effDate\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"expDate\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"signCount\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"passNum\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"certType\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t\t\"deviceId\" : \"%s\", \r\n"
    "\t\t\t\t\t\t\t}\r\n\t\t\t\t\t\t}";

// The envelope. Values in order: APP_KEY and the 18-digit stamp (transactionId), APP_KEY, SIGN,
// reqTime, reqData.
constexpr const char kOuterTemplate[] =
    "{ \r\n\t\t\"contractRoot\": {\r\n\t\t\t\"tcpCont\": {\r\n"
    "\t\t\t\t\t\"transactionId\": \"%s%s\",\r\n"
    "\t\t\t\t\t\"svcCode\" : \"card.accept.cardData\",\r\n"
    "\t\t\t\t\t\"appKey\" : \"%s\",\r\n"
    "\t\t\t\t\t\"sign\" : \"%s\",\r\n"
    "\t\t\t\t\t\"reqTime\" : \"%s\",\r\n"
    "\t\t\t\t\t\"version\" : \"V1.0\"\r\n"
    "\t\t\t},\r\n\t\t\t\t\"svcCont\" : {\r\n"
    "\t\t\t\t\t\t\"reqData\": \"%s\"\r\n"
    "\t\t\t\t}\r\n\t\t}\r\n}";

// Nationality names by code (GB/T 3304), without the trailing 族.
constexpr const char* kNationNames[] = {
    "汉",     "蒙古",   "回",       "藏",     "维吾尔",   "苗",   "彝",     "壮",
    "布依",   "朝鲜",   "满",       "侗",     "瑶",       "白",   "土家",   "哈尼",
    "哈萨克", "傣",     "黎",       "傈僳",   "佤",       "畲",   "高山",   "拉祜",
    "水",     "东乡",   "纳西",     "景颇",   "柯尔克孜", "土",   "达斡尔", "仫佬",
    "羌",     "布朗",   "撒拉",     "毛南",   "仡佬",     "锡伯", "阿昌",   "普米",
    "塔吉克", "怒",     "乌孜别克", "俄罗斯", "鄂温克",   "德昂", "保安",   "裕固",
    "京",     "塔塔尔", "独龙",     "鄂伦春", "赫哲",     "门巴", "珞巴",   "基诺"};
constexpr int kNationCount = static_cast<int>(sizeof(kNationNames) / sizeof(kNationNames[0]));
static_assert(sizeof(kNationNames) / sizeof(kNationNames[0]) == 56, "codes 01 to 56");
constexpr size_t kNationBufferMin = 10;
constexpr size_t kNationBufferSize = 64;

// Replaces each "%s" of the template by the next value, in order.
std::string FillTemplate(const char* szTemplate, std::initializer_list<std::string> values) {
  std::string strOut;
  const std::string* pNext = values.begin();
  for (const char* p = szTemplate; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's' && pNext != values.end()) {
      strOut += *pNext++;
      ++p;
    } else {
      strOut += *p;
    }
  }
  return strOut;
}

std::string QuotedOrRaw(const std::string& strValue) {
  // A device sends a JSON value here, which goes in as it stands; anything else would break the
  // document, so it travels as a string.
  if (nlohmann::json::accept(strValue)) {
    return strValue;
  }
  return "\"" + EscapeJsonText(strValue.data(), strValue.size()) + "\"";
}

template <size_t N>
std::string EscapedField(const char (&field)[N]) {
  return EscapeJsonText(field, FieldLength(field));
}

// YYYYMMDDTHHMMSS.ffffff, always with six fraction digits.
std::string ClockText(const boost::posix_time::ptime& tmNow) {
  boost::posix_time::ptime tm =
      tmNow.is_special() ? boost::posix_time::ptime(boost::gregorian::date(1970, 1, 1)) : tmNow;
  boost::gregorian::date day = tm.date();
  boost::posix_time::time_duration tod = tm.time_of_day();
  int64_t nMicros = static_cast<int64_t>(tod.fractional_seconds()) * 1000000 /
                    boost::posix_time::time_duration::ticks_per_second();
  // Room for every value the types allow, so that no build (the race detector's inlines
  // differently) sees a possible truncation; real dates need 23 bytes.
  char szText[96] = {0};
  std::snprintf(szText, sizeof(szText), "%04d%02d%02dT%02d%02d%02d.%06lld",
                static_cast<int>(day.year()), static_cast<int>(day.month()),
                static_cast<int>(day.day()), static_cast<int>(tod.hours()),
                static_cast<int>(tod.minutes()), static_cast<int>(tod.seconds()),
                static_cast<long long>(nMicros));
  return szText;
}

// The clock text less its last unDrop characters, without "T" and ".".
std::string StampDigits(const std::string& strClock, size_t unDrop) {
  std::string strOut;
  for (size_t i = 0; i + unDrop < strClock.size(); ++i) {
    if (strClock[i] != 'T' && strClock[i] != '.') {
      strOut += strClock[i];
    }
  }
  return strOut;
}

std::string Base64Photo(const uint8_t* pPhoto) { return Base64Text(pPhoto, kCardPhotoSize); }

}  // namespace

std::string EscapeJsonText(const char* pText, size_t unLength) {
  static const char kHex[] = "0123456789abcdef";
  std::string strOut;
  if (pText == nullptr) {
    return strOut;
  }
  strOut.reserve(unLength);
  for (size_t i = 0; i < unLength; ++i) {
    unsigned char c = static_cast<unsigned char>(pText[i]);
    switch (c) {
      case '"':
        strOut += "\\\"";
        break;
      case '\\':
        strOut += "\\\\";
        break;
      case '\b':
        strOut += "\\b";
        break;
      case '\f':
        strOut += "\\f";
        break;
      case '\n':
        strOut += "\\n";
        break;
      case '\r':
        strOut += "\\r";
        break;
      case '\t':
        strOut += "\\t";
        break;
      default:
        if (c < 0x20) {
          strOut += "\\u00";
          strOut += kHex[c >> 4];
          strOut += kHex[c & 0x0F];
        } else {
          strOut += static_cast<char>(c);
        }
        break;
    }
  }
  return strOut;
}

size_t Ucs2ToUtf8(const uint8_t* pText, size_t unTextBytes, char* szOut, size_t unOutSize) {
  if (pText == nullptr || szOut == nullptr || unOutSize == 0) {
    return 0;
  }
  size_t unPos = 0;
  for (size_t i = 0; i + 1 < unTextBytes; i += 2) {
    uint16_t unUnit = GetLe16(pText + i);
    if (unUnit == 0) {
      break;
    }
    char bytes[3];
    size_t unLen;
    if (unUnit < 0x80) {
      bytes[0] = static_cast<char>(unUnit);
      unLen = 1;
    } else if (unUnit < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (unUnit >> 6));
      bytes[1] = static_cast<char>(0x80 | (unUnit & 0x3F));
      unLen = 2;
    } else {
      bytes[0] = static_cast<char>(0xE0 | (unUnit >> 12));
      bytes[1] = static_cast<char>(0x80 | ((unUnit >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (unUnit & 0x3F));
      unLen = 3;
    }
    if (unPos + unLen + 1 > unOutSize) {
      break;
    }
    std::memcpy(szOut + unPos, bytes, unLen);
    unPos += unLen;
  }
  szOut[unPos] = '\0';
  return unPos;
}

std::string GetCardTextField(const uint8_t* pField, size_t unCount) {
  if (pField == nullptr) {
    return std::string();
  }
  // The zero-filled copy ends the text at the field's end at the latest.
  uint8_t arrUcs2[1024] = {0};
  size_t unCopy = unCount < sizeof(arrUcs2) - 2 ? unCount : sizeof(arrUcs2) - 2;
  std::memcpy(arrUcs2, pField, unCopy);
  char szUtf8[256] = {0};
  size_t unLen = Ucs2ToUtf8(arrUcs2, sizeof(arrUcs2), szUtf8, sizeof(szUtf8));
  std::string strOut;
  for (size_t i = 0; i < unLen; ++i) {
    if (szUtf8[i] != ' ') {
      strOut += szUtf8[i];
    }
  }
  return strOut;
}

void GetNationName(const char* szCode, char* szOut, size_t unOutSize, int nDefaultCode) {
  if (szOut == nullptr || unOutSize < kNationBufferMin) {
    return;
  }
  std::memset(szOut, 0, unOutSize);
  long nCode = szCode != nullptr ? std::strtol(szCode, nullptr, 10) : nDefaultCode;
  const char* szName =
      (nCode >= 1 && nCode <= kNationCount) ? kNationNames[nCode - 1] : kNationNames[0];
  size_t unLen = std::strlen(szName);
  if (unLen >= unOutSize) {
    // Cut before the first continuation byte that no longer fits.
    unLen = unOutSize - 1;
    while (unLen > 0 && (static_cast<unsigned char>(szName[unLen]) & 0xC0) == 0x80) {
      --unLen;
    }
  }
  std::memcpy(szOut, szName, unLen);
}

std::string AesEcbEncryptToHex(const std::string& strPlain, const std::string& strKey) {
  size_t unKeyBytes = strKey.size();
  if (strPlain.empty() || (unKeyBytes != 16 && unKeyBytes != 24 && unKeyBytes != 32)) {
    return std::string();
  }
  std::string strPadded = strPlain;
  size_t unPad = 16 - (strPlain.size() % 16);
  strPadded.append(unPad, static_cast<char>(unPad));

  std::string strCipher(strPadded.size(), '\0');
  if (!AesEcbEncrypt(strKey, reinterpret_cast<const uint8_t*>(strPadded.data()), strPadded.size(),
                     reinterpret_cast<uint8_t*>(&strCipher[0]))) {
    return std::string();
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string strHex;
  strHex.reserve(strCipher.size() * 2);
  for (char ch : strCipher) {
    const unsigned char c = static_cast<unsigned char>(ch);
    strHex += kHex[c >> 4];
    strHex += kHex[c & 0x0F];
  }
  return strHex;
}

void ParseSamvCardData(const DecodeLogRecord* pRecord, uint8_t* pOut) {
  if (pRecord == nullptr || pOut == nullptr) {
    return;
  }
  std::memset(pOut, 0, kCardDataSize);

  // Work on a copy: a record that goes back to the queue must read the same next time.
  uint8_t arrAnswer[kSamvDataCapacity];
  std::memcpy(arrAnswer, pRecord->arrSamvData, sizeof(arrAnswer));
  uint32_t unL = GetLe32(arrAnswer + kAnswerLengthWord);
  if (unL > kDeviceKeySize) {
    size_t unSpan = unL - kDeviceKeySize;
    if (unSpan > sizeof(arrAnswer) - kAnswerBody) {
      unSpan = sizeof(arrAnswer) - kAnswerBody;
    }
    MaskDeviceBody(arrAnswer + kAnswerBody, unSpan, arrAnswer + kAnswerKey);
  }
  if (unL < kAnswerBody) {
    return;
  }
  uint32_t unBody = unL - static_cast<uint32_t>(kAnswerBody);
  const CardOffsets& off =
      pRecord->unSamvDataLength < kFingerprintAnswerFrom ? kTextPhotoOffsets : kFingerprintOffsets;
  // The length word counts from the key on, so a block ending at offset E is there when
  // L - 12 >= E - 16.
  if (unBody < off.unText + kCardTextBlockSize - 16) {
    return;
  }
  std::memcpy(pOut, arrAnswer + off.unText, kCardTextBlockSize);
  if (unBody >= off.unPhoto + kCardPhotoSize - 16) {
    std::memcpy(pOut + kCardPhotoOffset, arrAnswer + off.unPhoto, kCardPhotoSize);
  }
}

std::string BuildSamvDecodeLogHttpData(const SystemConfigStruct& stConfig,
                                       const DecodeLogRecord* pRecord,
                                       const boost::posix_time::ptime& tmNow) {
  if (pRecord == nullptr) {
    return std::string();
  }
  std::string strClock = ClockText(tmNow);

  uint8_t arrCard[kCardDataSize];
  ParseSamvCardData(pRecord, arrCard);
  std::string strHeadPic = Base64Photo(arrCard + kCardPhotoOffset);

  namespace L = CardTextLayout;
  const uint8_t* pText = arrCard;
  auto field = [pText](size_t unOffset, size_t unCount) {
    std::string strValue = GetCardTextField(pText + unOffset, unCount);
    return EscapeJsonText(strValue.data(), strValue.size());
  };
  std::string strGender = GetCardTextField(pText + L::kGender, 2);
  if (strGender == "2") {
    strGender = "0";
  }
  std::string strNationCode = GetCardTextField(pText + L::kNation, 4);
  char szNation[kNationBufferSize] = {0};
  GetNationName(strNationCode.c_str(), szNation, sizeof(szNation), 0);

  std::string strTransData(pRecord->szTransData, FieldLength(pRecord->szTransData));
  std::string strInner = FillTemplate(
      kInnerTemplate,
      {QuotedOrRaw(strTransData), field(L::kName, 30), QuotedOrRaw(strGender),
       EscapeJsonText(szNation, std::strlen(szNation)), field(L::kBirthDate, 16),
       field(L::kCertAddr, 70), field(L::kCertNo, 36), strHeadPic, field(L::kCertOrg, 30),
       field(L::kEffDate, 16), field(L::kExpDate, 16), field(L::kSignCount, 4),
       field(L::kPassNum, 18), field(L::kCertType, 2), EscapedField(pRecord->szDeviceId)});

  std::string strKey(stConfig.szSecretKey, FieldLength(stConfig.szSecretKey));
  std::string strReqData = AesEcbEncryptToHex(strInner, strKey);

  std::string strReqTime = StampDigits(strClock, 3);
  // The transaction is the record's, not the attempt's: a record sent again after a lost answer
  // or a restart keeps the identifier its capture gave it, so the log server can tell a repeat.
  boost::posix_time::ptime tmCaptured;
  std::string strStamp =
      StampDigits(GetDecodeTime(*pRecord, &tmCaptured) ? ClockText(tmCaptured) : strClock, 2);
  std::string strAppKey = EscapedField(stConfig.szAppKey);
  std::string strOuter = FillTemplate(
      kOuterTemplate,
      {strAppKey, strStamp, strAppKey, EscapedField(stConfig.szSign), strReqTime, strReqData});

  // The head is formed without a fixed buffer, so a long HTTP_LOG_URL still makes a request.
  std::string strRequest = "POST ";
  strRequest.append(stConfig.szHttpLogUrl, FieldLength(stConfig.szHttpLogUrl));
  strRequest += " HTTP/1.1\r\nHost: ";
  strRequest.append(stConfig.szLogServerIp, FieldLength(stConfig.szLogServerIp));
  strRequest += ":" + std::to_string(stConfig.unLogServerPort);
  strRequest += "\r\nContent-Length: " + std::to_string(strOuter.size());
  strRequest += "\r\nContent-Type: application/json\r\n\r\n";
  strRequest += strOuter;
  return strRequest;
}
