#include "decodelog/card_document.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "config/byte_io.h"
#include "core/device_frame.h"
#include "crypto/record_cipher.h"
#include "logserver_sim.h"

namespace {

namespace L = CardTextLayout;

const char kKey16[] = "0123456789abcdef";

// A card text block of blank-padded UCS-2 fields.
class TextBlock {
 public:
  TextBlock() {
    for (size_t i = 0; i + 1 < sizeof(m_arr); i += 2) {
      PutLe16(m_arr + i, 0x0020);
    }
  }
  TextBlock& Set(size_t unOffset, size_t unWidth, const std::u16string& strText) {
    for (size_t i = 0; i < unWidth / 2; ++i) {
      PutLe16(m_arr + unOffset + 2 * i, i < strText.size() ? strText[i] : u' ');
    }
    return *this;
  }
  const uint8_t* Data() const { return m_arr; }

 private:
  uint8_t m_arr[kCardTextBlockSize];
};

TextBlock SampleCard() {
  TextBlock t;
  t.Set(L::kName, 30, u"张三")
      .Set(L::kGender, 2, u"1")
      .Set(L::kNation, 4, u"01")
      .Set(L::kBirthDate, 16, u"19900101")
      .Set(L::kCertAddr, 70, u"北京市东城区1号")
      .Set(L::kCertNo, 36, u"11010119900101123X")
      .Set(L::kCertOrg, 30, u"北京市公安局")
      .Set(L::kEffDate, 16, u"20200101")
      .Set(L::kExpDate, 16, u"20300101")
      .Set(L::kPassNum, 18, u"")
      .Set(L::kSignCount, 4, u"")
      .Set(L::kCertType, 2, u"");
  return t;
}

// A record whose captured answer (unCaptured bytes, length word unL) carries the text block and
// the photo at the offsets of its kind, scrambled as the SAMV server sends it.
DecodeLogRecord MakeRecord(uint32_t unCaptured, uint32_t unL, const TextBlock& text,
                           uint8_t byPhoto) {
  DecodeLogRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  rec.unSamvDataLength = unCaptured;
  uint8_t* p = rec.arrSamvData;
  PutLe32(p, unL);
  const uint8_t key[kDeviceKeySize] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  std::memcpy(p + 4, key, sizeof(key));
  size_t unText = unCaptured < 1312 ? 30 : 32;
  size_t unPhoto = unCaptured < 1312 ? 286 : 288;
  std::memcpy(p + unText, text.Data(), kCardTextBlockSize);
  std::memset(p + unPhoto, byPhoto, kCardPhotoSize);
  size_t unSpan = unL > 8 ? unL - 8 : 0;
  if (unSpan > kSamvDataCapacity - 12) {
    unSpan = kSamvDataCapacity - 12;
  }
  MaskDeviceBody(p + 12, unSpan, key);
  return rec;
}

SystemConfigStruct SampleConfig(const char* szSecretKey = kKey16) {
  SystemConfigStruct cfg;
  std::memset(&cfg, 0, sizeof(cfg));
  CopyText(cfg.szLogServerIp, "127.0.0.1");
  cfg.unLogServerPort = 8080;
  CopyText(cfg.szHttpLogUrl, "/cardlog");
  CopyText(cfg.szAppKey, "app001");
  CopyText(cfg.szSecretKey, szSecretKey);
  CopyText(cfg.szSign, "s1gn");
  return cfg;
}

boost::posix_time::ptime SampleTime() {
  return boost::posix_time::ptime(
      boost::gregorian::date(2026, 1, 2),
      boost::posix_time::time_duration(3, 4, 5) + boost::posix_time::microseconds(678901));
}

// Splits the request with the log server's strict reader and opens the envelope.
LogServerDocument Open(const std::string& strRequest, const std::string& strKey = kKey16) {
  LogServerDocument doc;
  size_t unUsed = 0;
  std::string strError;
  EXPECT_EQ(ParseLogServerRequest(strRequest, &doc, &unUsed, &strError), HttpParse::Complete)
      << strError;
  EXPECT_EQ(unUsed, strRequest.size()) << "nothing may follow the last brace";
  DecodeLogServerBody(doc.strBody, strKey, &doc);
  return doc;
}

std::string Build(const DecodeLogRecord& rec, const SystemConfigStruct& cfg = SampleConfig()) {
  return BuildSamvDecodeLogHttpData(cfg, &rec, SampleTime());
}

}  // namespace

TEST(CardDocumentTest, TextOnlyAnswerGivesTextFieldsAndZeroPhoto) {
  DecodeLogRecord rec = MakeRecord(288, 284, SampleCard(), 0xFF);
  LogServerDocument doc = Open(Build(rec));
  ASSERT_TRUE(doc.bValid) << doc.strError;
  EXPECT_TRUE(doc.bTrailingCommaRemoved);
  EXPECT_EQ(doc.mapCard["name"], "张三");
  EXPECT_EQ(doc.mapCard["gender"], "1");
  EXPECT_EQ(doc.mapCard["nation"], "汉");
  EXPECT_EQ(doc.mapCard["birthDate"], "19900101");
  EXPECT_EQ(doc.mapCard["certAddr"], "北京市东城区1号");
  EXPECT_EQ(doc.mapCard["certNo"], "11010119900101123X");
  EXPECT_EQ(doc.mapCard["certOrg"], "北京市公安局");
  EXPECT_EQ(doc.mapCard["expDate"], "20300101");
  EXPECT_EQ(doc.mapCard["passNum"], "");
  // The answer is too short for a photo: the Base64 of 1024 zero bytes.
  EXPECT_EQ(doc.mapCard["headPic"], std::string(1366, 'A') + "==");
}

TEST(CardDocumentTest, InnerAndOuterDocumentsMatchTheTemplatesByteForByte) {
  DecodeLogRecord rec = MakeRecord(1311, 1307, SampleCard().Set(L::kGender, 2, u"2"), 0xFF);
  CopyText(rec.szDeviceId, "DEV-0001");
  CopyText(rec.szTransData, "{\"orderNo\":\"A1\"}");
  std::string strRequest = Build(rec);

  // 1024 bytes of 0xFF in Base64: 341 groups of "////" and "/w==".
  std::string strPhoto;
  for (int i = 0; i < 341; ++i) {
    strPhoto += "////";
  }
  strPhoto += "/w==";
  const std::string strInner =
      "{\r\n"
      "\t\t\t\t\t\t\t\"transdata\": {\"orderNo\":\"A1\"}, \r\n"
      "\t\t\t\t\t\t\t\"cardInfo\" : {\r\n"
      "\t\t\t\t\t\t\t\t\"name\" : \"张三\", \r\n"
      "\t\t\t\t\t\t\t\t\"gender\" : 0, \r\n"
      "\t\t\t\t\t\t\t\t\"nation\" : \"汉\", \r\n"
      "\t\t\t\t\t\t\t\t\"birthDate\" : \"19900101\", \r\n"
      "\t\t\t\t\t\t\t\t\"certAddr\" : \"北京市东城区1号\", \r\n"
      "\t\t\t\t\t\t\t\t\"certNo\" : \"11010119900101123X\", \r\n"
      "\t\t\t\t\t\t\t\t\"headPic\" : \"" +
      strPhoto +
      "\", \r\n"
      "\t\t\t\t\t\t\t\t\"certOrg\" : \"北京市公安局\", \r\n"
      "\t\t\t\t\t\t\t\t\"effDate\" : \"20200101\", \r\n"
      "\t\t\t\t\t\t\t\t\"expDate\" : \"20300101\", \r\n"
      "\t\t\t\t\t\t\t\t\"signCount\" : \"\", \r\n"
      "\t\t\t\t\t\t\t\t\"passNum\" : \"\", \r\n"
      "\t\t\t\t\t\t\t\t\"certType\" : \"\", \r\n"
      "\t\t\t\t\t\t\t\t\"deviceId\" : \"DEV-0001\", \r\n"
      "\t\t\t\t\t\t\t}\r\n"
      "\t\t\t\t\t\t}";
  const std::string strReqData = AesEcbEncryptToHex(strInner, kKey16);
  ASSERT_FALSE(strReqData.empty());
  const std::string strOuter =
      "{ \r\n"
      "\t\t\"contractRoot\": {\r\n"
      "\t\t\t\"tcpCont\": {\r\n"
      "\t\t\t\t\t\"transactionId\": \"app001202601020304056789\",\r\n"
      "\t\t\t\t\t\"svcCode\" : \"card.accept.cardData\",\r\n"
      "\t\t\t\t\t\"appKey\" : \"app001\",\r\n"
      "\t\t\t\t\t\"sign\" : \"s1gn\",\r\n"
      "\t\t\t\t\t\"reqTime\" : \"20260102030405678\",\r\n"
      "\t\t\t\t\t\"version\" : \"V1.0\"\r\n"
      "\t\t\t},\r\n"
      "\t\t\t\t\"svcCont\" : {\r\n"
      "\t\t\t\t\t\t\"reqData\": \"" +
      strReqData +
      "\"\r\n"
      "\t\t\t\t}\r\n"
      "\t\t}\r\n"
      "}";
  const std::string strHead = "POST /cardlog HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nContent-Length: " +
                              std::to_string(strOuter.size()) +
                              "\r\nContent-Type: application/json\r\n\r\n";
  EXPECT_EQ(strRequest, strHead + strOuter);

  // And the log server reads it back.
  LogServerDocument doc = Open(strRequest);
  ASSERT_TRUE(doc.bValid) << doc.strError;
  EXPECT_EQ(doc.strInner, strInner);
  EXPECT_EQ(doc.strPath, "/cardlog");
  EXPECT_EQ(doc.strHost, "127.0.0.1:8080");
}

TEST(CardDocumentTest, OneClockReadingGivesReqTimeAndTransactionStamp) {
  struct Row {
    boost::posix_time::ptime tm;
    const char* szReqTime;
    const char* szStamp;
  } const rows[] = {
      {SampleTime(), "20260102030405678", "202601020304056789"},
      // A whole second still has all six fraction digits behind it.
      {boost::posix_time::ptime(boost::gregorian::date(2025, 12, 31),
                                boost::posix_time::time_duration(23, 59, 59)),
       "20251231235959000", "202512312359590000"},
      {boost::posix_time::ptime(
           boost::gregorian::date(2024, 2, 29),
           boost::posix_time::time_duration(0, 0, 0) + boost::posix_time::microseconds(1)),
       "20240229000000000", "202402290000000000"},
  };
  DecodeLogRecord rec = MakeRecord(288, 284, SampleCard(), 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szReqTime);
    LogServerDocument doc = Open(BuildSamvDecodeLogHttpData(SampleConfig(), &rec, row.tm));
    ASSERT_TRUE(doc.bValid) << doc.strError;
    EXPECT_EQ(doc.strReqTime, row.szReqTime);
    EXPECT_EQ(doc.strTransactionId, std::string("app001") + row.szStamp);
  }
}

// A record sent again (a lost answer, a restart) must be recognisable as a repeat: its
// transaction stamp is its capture time, whenever the attempt is made. A record without a
// capture time that reads takes the attempt's clock, as above.
TEST(CardDocumentTest, TransactionStampIsTheCaptureTimeOnEveryAttempt) {
  struct Row {
    const char* szDecodeTime;
    const char* szStamp;
  } const rows[] = {
      {"2026-03-04 05:06:07.123456", "202603040506071234"},
      {"2026-03-04 05:06:07", "202603040506070000"},  // a capture on the whole second
      {"", nullptr},
      {"2026-13-04 05:06:07.123456", nullptr},
      {"2026-03-04T05:06:07.123456", nullptr},
      {"2026-03-04 05:06:07.12345", nullptr},
  };
  const boost::posix_time::ptime tmLater = SampleTime() + boost::posix_time::hours(30);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szDecodeTime);
    DecodeLogRecord rec = MakeRecord(288, 284, SampleCard(), 0);
    CopyText(rec.szDecodeTime, row.szDecodeTime);
    LogServerDocument first = Open(BuildSamvDecodeLogHttpData(SampleConfig(), &rec, SampleTime()));
    LogServerDocument again = Open(BuildSamvDecodeLogHttpData(SampleConfig(), &rec, tmLater));
    ASSERT_TRUE(first.bValid) << first.strError;
    ASSERT_TRUE(again.bValid) << again.strError;
    EXPECT_EQ(first.strReqTime, "20260102030405678");
    EXPECT_EQ(again.strReqTime, "20260103090405678");
    if (row.szStamp != nullptr) {
      EXPECT_EQ(first.strTransactionId, std::string("app001") + row.szStamp);
      EXPECT_EQ(again.strTransactionId, first.strTransactionId);
    } else {
      EXPECT_EQ(first.strTransactionId, "app001202601020304056789");
      EXPECT_EQ(again.strTransactionId, "app001202601030904056789");
    }
  }
}

TEST(CardDocumentTest, ContentLengthCountsTheEnvelopeBytes) {
  DecodeLogRecord rec = MakeRecord(2354, 2350, SampleCard(), 0x5A);
  std::string strRequest = Build(rec);
  size_t unHeadEnd = strRequest.find("\r\n\r\n");
  ASSERT_NE(unHeadEnd, std::string::npos);
  std::string strBody = strRequest.substr(unHeadEnd + 4);
  EXPECT_NE(strRequest.find("Content-Length: " + std::to_string(strBody.size()) + "\r\n"),
            std::string::npos);
  ASSERT_FALSE(strBody.empty());
  EXPECT_EQ(strBody.back(), '}');
}

TEST(CardDocumentTest, WrongKeyLengthGivesEmptyReqDataButARequest) {
  DecodeLogRecord rec = MakeRecord(288, 284, SampleCard(), 0);
  std::string strRequest = Build(rec, SampleConfig("01234567890123456789"));
  LogServerDocument doc = Open(strRequest);
  EXPECT_FALSE(doc.bValid);
  EXPECT_EQ(doc.strReqData, "");
  EXPECT_EQ(doc.strAppKey, "app001");  // the envelope is still read in full
  EXPECT_EQ(strRequest.compare(0, 23, "POST /cardlog HTTP/1.1\r"), 0);
}

TEST(CardDocumentTest, ValuesCannotBreakTheDocument) {
  struct Row {
    const char* szName;
    std::string strDeviceId;
    std::string strTransData;
    const char* szAppKey;
    std::u16string strGender;
    const char* szWantTransData;  // as the log server reads it back (compact JSON)
    const char* szWantGender;
  } const rows[] = {
      {"quote and backslash in deviceId", "DEV\"1\\x", "{\"a\": [1, 2]}", "app\"key", u"1",
       "{\"a\":[1,2]}", "1"},
      {"transdata that is one JSON value goes in raw", "D", "12345", "k", u"2", "12345", "0"},
      {"text transdata travels as a string", "D", "order 5\"x", "k", u"1", "\"order 5\\\"x\"", "1"},
      {"two values are not one", "D", "{} {}", "k", u"1", "\"{} {}\"", "1"},
      {"empty transdata and gender become empty strings", "D\r\n\t", "", "k", u"", "\"\"", ""},
      {"a control character in transdata", "D", std::string("a\x01z"), "k", u"X", "\"a\\u0001z\"",
       "X"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    DecodeLogRecord rec = MakeRecord(288, 284, SampleCard().Set(L::kGender, 2, row.strGender), 0);
    CopyText(rec.szDeviceId, row.strDeviceId.c_str());
    CopyText(rec.szTransData, row.strTransData.c_str());
    SystemConfigStruct cfg = SampleConfig();
    CopyText(cfg.szAppKey, row.szAppKey);
    LogServerDocument doc = Open(Build(rec, cfg));
    ASSERT_TRUE(doc.bValid) << doc.strError;
    EXPECT_EQ(doc.mapCard["deviceId"], row.strDeviceId);
    EXPECT_EQ(doc.strTransData, row.szWantTransData);
    EXPECT_EQ(doc.strAppKey, row.szAppKey);
    EXPECT_EQ(doc.mapCard["gender"], row.szWantGender);
  }
}

TEST(CardDocumentTest, FieldsThatFillTheirWidthAreReadToTheirEnd) {
  DecodeLogRecord rec = MakeRecord(288, 284, SampleCard(), 0);
  std::memset(rec.szDeviceId, 'D', sizeof(rec.szDeviceId));
  // A JSON string that fills the field: one value, so it goes in as it stands.
  std::memset(rec.szTransData, 't', sizeof(rec.szTransData));
  rec.szTransData[0] = '"';
  rec.szTransData[sizeof(rec.szTransData) - 1] = '"';
  SystemConfigStruct cfg = SampleConfig();
  std::memset(cfg.szSign, 'S', sizeof(cfg.szSign));
  std::string strLongUrl = "/" + std::string(254, 'u');
  CopyText(cfg.szHttpLogUrl, strLongUrl.c_str());
  std::string strRequest = Build(rec, cfg);
  EXPECT_EQ(
      strRequest.compare(0, 5 + strLongUrl.size() + 11, "POST " + strLongUrl + " HTTP/1.1\r\n"), 0);
  LogServerDocument doc = Open(strRequest);
  ASSERT_TRUE(doc.bValid) << doc.strError;
  EXPECT_EQ(doc.mapCard["deviceId"], std::string(64, 'D'));
  EXPECT_EQ(doc.strTransData, std::string(rec.szTransData, sizeof(rec.szTransData)));
  EXPECT_EQ(doc.strSign, std::string(128, 'S'));
  EXPECT_EQ(doc.strPath, strLongUrl);
}

TEST(CardDocumentTest, CapturedLengthChoosesTheOffsets) {
  TextBlock card = SampleCard();
  struct Row {
    const char* szName;
    uint32_t unCaptured;
    uint32_t unL;
    bool bText;
    bool bPhoto;
  } const rows[] = {
      {"text only", 288, 284, true, false},
      {"text and photo", 1311, 1307, true, true},
      {"fingerprint, first part only", 1313, 1309, true, true},
      {"fingerprint, both parts", 2354, 2350, true, true},
      {"length word one short of the text", 288, 12 + 269, false, false},
      {"length word just covers the text", 288, 12 + 270, true, false},
      {"length word one short of the photo", 1311, 12 + 1293, true, false},
      {"fingerprint length word one short of the text", 2354, 12 + 271, false, false},
      {"fingerprint length word just covers the photo", 2354, 12 + 1296, true, true},
      {"length word below 12", 288, 4, false, false},
      {"length word zero", 288, 0, false, false},
      {"length word far past the capture", 2354, 0xFFFFFFFFu, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    DecodeLogRecord rec = MakeRecord(row.unCaptured, row.unL, card, 0x3C);
    DecodeLogRecord before = rec;
    uint8_t arrOut[kCardDataSize];
    std::memset(arrOut, 0xEE, sizeof(arrOut));
    ParseSamvCardData(&rec, arrOut);
    EXPECT_EQ(std::memcmp(&rec, &before, sizeof(rec)), 0) << "the record must not change";
    std::vector<uint8_t> zeros(kCardPhotoSize, 0);
    std::vector<uint8_t> photo(kCardPhotoSize, 0x3C);
    if (row.bText) {
      EXPECT_EQ(std::memcmp(arrOut, card.Data(), kCardTextBlockSize), 0);
    } else {
      EXPECT_EQ(std::memcmp(arrOut, zeros.data(), kCardTextBlockSize), 0);
    }
    EXPECT_EQ(std::memcmp(arrOut + kCardTextBlockSize, zeros.data(),
                          kCardPhotoOffset - kCardTextBlockSize),
              0);
    EXPECT_EQ(
        std::memcmp(arrOut + kCardPhotoOffset, (row.bPhoto ? photo : zeros).data(), kCardPhotoSize),
        0);
  }
}

TEST(CardDocumentTest, ARecordBuildsTheSameRequestEveryTime) {
  DecodeLogRecord rec = MakeRecord(1311, 1307, SampleCard(), 0x42);
  std::string strFirst = Build(rec);
  EXPECT_EQ(Build(rec), strFirst);
  EXPECT_EQ(BuildSamvDecodeLogHttpData(SampleConfig(), nullptr, SampleTime()), "");
}

TEST(CardDocumentTest, NationCodesGiveNames) {
  struct Row {
    const char* szCode;
    const char* szName;
  } const rows[] = {{"01", "汉"},       {"1", "汉"},        {"00", "汉"},   {"57", "汉"},
                    {"", "汉"},         {"ab", "汉"},       {"-3", "汉"},   {"02", "蒙古"},
                    {"29", "柯尔克孜"}, {"43", "乌孜别克"}, {"56", "基诺"}, {"99999999999", "汉"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szCode);
    char szOut[64];
    std::memset(szOut, 'x', sizeof(szOut));
    GetNationName(row.szCode, szOut, sizeof(szOut), 0);
    EXPECT_STREQ(szOut, row.szName);
  }
  char szOut[64] = {0};
  GetNationName(nullptr, szOut, sizeof(szOut), 5);
  EXPECT_STREQ(szOut, "维吾尔");

  char szSmall[9];
  std::memset(szSmall, 'x', sizeof(szSmall));
  GetNationName("01", szSmall, sizeof(szSmall), 0);
  EXPECT_EQ(std::string(szSmall, sizeof(szSmall)), std::string(9, 'x')) << "left untouched";
  char szTen[10];
  GetNationName("29", szTen, sizeof(szTen), 0);
  EXPECT_STREQ(szTen, "柯尔克") << "cut between characters";

  // Through the document: the code field of the card.
  DecodeLogRecord rec = MakeRecord(288, 284, SampleCard().Set(L::kNation, 4, u"43"), 0);
  LogServerDocument doc = Open(Build(rec));
  ASSERT_TRUE(doc.bValid) << doc.strError;
  EXPECT_EQ(doc.mapCard["nation"], "乌孜别克");
}

TEST(CardDocumentTest, TextFieldsBecomeUtf8WithoutBlanks) {
  TextBlock t;
  t.Set(0, 30, u"张三");  // two characters, thirteen blanks
  EXPECT_EQ(GetCardTextField(t.Data(), 30), "张三");
  EXPECT_EQ(GetCardTextField(t.Data(), 30).size(), 6u);
  t.Set(0, 30, u"A B\u00B7C");
  EXPECT_EQ(GetCardTextField(t.Data(), 30),
            "AB\xC2\xB7"
            "C");
  t.Set(0, 30, u"");
  EXPECT_EQ(GetCardTextField(t.Data(), 30), "");
  // A zero unit ends the text even when the field goes on.
  uint8_t arrField[8] = {'X', 0, 0, 0, 'Y', 0, 0, 0};
  EXPECT_EQ(GetCardTextField(arrField, sizeof(arrField)), "X");
  EXPECT_EQ(GetCardTextField(nullptr, 4), "");
}

TEST(CardDocumentTest, Ucs2UnitsAreEncodedOneByOne) {
  struct Row {
    uint16_t unUnit;
    std::string strUtf8;
  } const rows[] = {
      {0x0041, "A"},
      {0x007F, "\x7F"},
      {0x0080, "\xC2\x80"},
      {0x00B7, "\xC2\xB7"},
      {0x07FF, "\xDF\xBF"},
      {0x0800, "\xE0\xA0\x80"},
      {0x4E2D, "\xE4\xB8\xAD"},
      {0xD83D, "\xED\xA0\xBD"},  // half of a pair, encoded alone
      {0xFFFF, "\xEF\xBF\xBF"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.unUnit);
    uint8_t arrIn[4] = {0};
    PutLe16(arrIn, row.unUnit);
    char szOut[8];
    std::memset(szOut, 'x', sizeof(szOut));
    EXPECT_EQ(Ucs2ToUtf8(arrIn, sizeof(arrIn), szOut, sizeof(szOut)), row.strUtf8.size());
    EXPECT_EQ(std::string(szOut), row.strUtf8);
  }
  // The output is bounded: a unit that does not fit with the NUL is not written.
  uint8_t arrText[] = {'a', 0, 0x2D, 0x4E, 0, 0};
  char szSmall[4];
  EXPECT_EQ(Ucs2ToUtf8(arrText, sizeof(arrText), szSmall, sizeof(szSmall)), 1u);
  EXPECT_STREQ(szSmall, "a");
  EXPECT_EQ(Ucs2ToUtf8(arrText, sizeof(arrText), szSmall, 0), 0u);
}

TEST(CardDocumentTest, AesEcbWithPkcs7Padding) {
  // The known answer for AES-128 (key 00..0F, block 00112233..FF).
  std::string strKey;
  for (int i = 0; i < 16; ++i) {
    strKey += static_cast<char>(i);
  }
  std::string strPlain;
  for (int i = 0; i < 16; ++i) {
    strPlain += static_cast<char>(i * 0x11);
  }
  std::string strHex = AesEcbEncryptToHex(strPlain, strKey);
  ASSERT_EQ(strHex.size(), 64u) << "16 bytes get a whole block of padding";
  EXPECT_EQ(strHex.substr(0, 32), "69C4E0D86A7B0430D8CDB78070B4C55A");

  // Decrypted without removing anything: the last block is sixteen bytes of 16.
  std::vector<uint8_t> arrCipher;
  ASSERT_TRUE(HexDecodeUpper(strHex, &arrCipher));
  uint8_t arrLast[16];
  ASSERT_TRUE(AesEcbDecrypt(strKey, arrCipher.data() + 16, sizeof(arrLast), arrLast));
  for (unsigned char c : arrLast) {
    EXPECT_EQ(c, 16);
  }

  struct Row {
    size_t unKey;
    size_t unPlain;
    size_t unHex;  // 0: empty
  } const rows[] = {{16, 1, 32},  {16, 15, 32},  {16, 17, 64}, {24, 32, 96},
                    {32, 31, 64}, {32, 48, 128}, {20, 16, 0},  {15, 16, 0},
                    {33, 16, 0},  {0, 16, 0},    {16, 0, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.unKey) + "-byte key, " + std::to_string(row.unPlain) +
                 " bytes");
    std::string strK(row.unKey, 'k');
    std::string strP(row.unPlain, 'p');
    std::string strOut = AesEcbEncryptToHex(strP, strK);
    EXPECT_EQ(strOut.size(), row.unHex);
    if (row.unHex != 0) {
      EXPECT_EQ(strOut.find_first_not_of("0123456789ABCDEF"), std::string::npos);
      std::string strBack;
      std::string strError;
      ASSERT_TRUE(AesEcbDecryptFromHex(strOut, strK, &strBack, &strError)) << strError;
      EXPECT_EQ(strBack, strP);
    }
  }
}
