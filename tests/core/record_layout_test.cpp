#include <cstring>

#include <gtest/gtest.h>

#include "config/user_struct.h"
#include "decodelog/decode_log_record.h"
#include "mgmt/mcu_rtc_record.h"

TEST(RecordLayoutTest, UserRecordGolden) {
  UserStruct u;
  std::memset(&u, 0, sizeof(u));
  u.unAccountNo = 0x0A0B0C0D;
  std::memcpy(u.szPassword, "0123456789abcdef", 16);
  u.unType = 1;
  u.unIndex = 0x100;
  uint8_t out[28];
  EncodeUser(u, out);
  const uint8_t expected[28] = {0x0D, 0x0C, 0x0B, 0x0A, '0', '1', '2', '3', '4', '5',
                                '6',  '7',  '8',  '9',  'a', 'b', 'c', 'd', 'e', 'f',
                                1,    0,    0,    0,    0,   1,   0,   0};
  EXPECT_EQ(0, std::memcmp(out, expected, 28));
  UserStruct back;
  DecodeUser(out, &back);
  EXPECT_EQ(0, std::memcmp(&back, &u, sizeof(u)));
}

TEST(RecordLayoutTest, McuRtcGolden) {
  McuRtcRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  rec.unYear = 2026;
  rec.byMonth = 3;
  rec.byDay = 4;
  rec.byHour = 5;
  rec.byMinute = 6;
  rec.bySecond = 7;
  rec.arrOpaque[4] = 0x99;
  uint8_t out[12];
  EncodeMcuRtc(rec, out);
  const uint8_t expected[12] = {0xEA, 0x07, 3, 4, 5, 6, 7, 0, 0, 0, 0, 0x99};
  EXPECT_EQ(0, std::memcmp(out, expected, 12));
  McuRtcRecord back;
  DecodeMcuRtc(out, &back);
  EXPECT_EQ(0, std::memcmp(&back, &rec, sizeof(rec)));
}

TEST(RecordLayoutTest, NewRecordCopiesTheWorkAreaAndStampsDecodeTime) {
  DecodeLogRecord area;
  std::memset(&area, 0, sizeof(area));
  area.unAccountNo = 42;
  area.unAnswerCount = 3;
  area.unSamvDataLength = 288;
  area.arrSamvData[287] = 0x7F;
  DecodeLogRecord* p = NewDecodeLogRecord(area);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->unAccountNo, 42u);
  EXPECT_EQ(p->unAnswerCount, 3u);
  EXPECT_EQ(p->arrSamvData[287], 0x7F);
  EXPECT_GE(std::strlen(p->szDecodeTime), 19u);
  EXPECT_EQ(area.szDecodeTime[0], 0);  // never written into the work area
  delete p;
}
