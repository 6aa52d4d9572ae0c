#include "config/run_log.h"

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

TEST(RunLogTest, LineIsStampBracketedTextAndCrLf) {
  testing::internal::CaptureStdout();
  WriteLog("hello");
  std::string out = testing::internal::GetCapturedStdout();
  std::regex line(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}(\.\d{6})? \[hello\]\r\n$)");
  EXPECT_TRUE(std::regex_match(out, line)) << out;
}

TEST(RunLogTest, NullPrintsNothingEmptyPrintsBrackets) {
  testing::internal::CaptureStdout();
  WriteLog(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  testing::internal::CaptureStdout();
  WriteLog("");
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_GE(out.size(), 5u);
  EXPECT_EQ(out.substr(out.size() - 5), " []\r\n");
}

TEST(RunLogTest, StampHasFractionUnlessWholeSecond) {
  setenv("TZ", "UTC", 1);
  tzset();
  struct timeval tv = {1767323045, 0};  // 2026-01-02 03:04:05 UTC
  EXPECT_EQ(FormatLocalTime(tv), "2026-01-02 03:04:05");
  tv.tv_usec = 678901;
  EXPECT_EQ(FormatLocalTime(tv), "2026-01-02 03:04:05.678901");
  tv.tv_usec = 7;
  EXPECT_EQ(FormatLocalTime(tv), "2026-01-02 03:04:05.000007");
}

TEST(RunLogTest, LinesFromManyThreadsNeverInterleave) {
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        WriteLogF("thread %d line %d", t, i);
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  std::string out = testing::internal::GetCapturedStdout();
  std::regex line(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}(\.\d{6})? \[thread \d line \d+\]$)");
  size_t count = 0;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(out.substr(pos, end - pos), line)) << out.substr(pos, end - pos);
    ++count;
    pos = end + 2;
  }
  EXPECT_EQ(count, 800u);
}

TEST(RunLogTest, ExeDirectoryEndsWithSlash) {
  char dir[256];
  GetExeDirectory(dir, sizeof(dir));
  std::string s(dir);
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(s.back(), '/');
  EXPECT_EQ(s, GetExeDirectory());
}

TEST(RunLogTest, ExeDirectoryThatDoesNotFitIsUnknown) {
  char dir[4];
  GetExeDirectory(dir, sizeof(dir));
  EXPECT_EQ(dir[0], '\0');
  EXPECT_EQ(dir[3], '\0');
}

// Outside text can neither end the line, forge one nor reach the terminal as an escape; valid
// UTF-8 stays readable.
TEST(RunLogTest, OutsideTextIsEscapedButValidUtf8Stays) {
  struct Row {
    const char* szName;
    std::string strIn;
    std::string strOut;
  } rows[] = {
      {"plain JSON", "{\"order\":\"A-17\",\"lane\":3}", "{\"order\":\"A-17\",\"lane\":3}"},
      {"Chinese name", "张三 北京市", "张三 北京市"},
      {"forged line", "x\r\n2030-01-01 00:00:00.000000 [Only Text]",
       "x\\x0d\\x0a2030-01-01 00:00:00.000000 [Only Text]"},
      {"clear screen", "\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},
      {"DEL and NUL", std::string("a\x7f\0b", 4), "a\\x7f\\x00b"},
      {"C1 CSI as UTF-8", "\xc2\x9b" "31m", "\\xc2\\x9b31m"},
      {"U+00A0 stays", "\xc2\xa0", "\xc2\xa0"},
      {"lone continuation", "\x80", "\\x80"},
      {"cut sequence", "\xe5\xbc", "\\xe5\\xbc"},
      {"overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
      {"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
      {"four-byte emoji stays", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    EXPECT_EQ(EscapeLogText(r.strIn), r.strOut);
  }
  EXPECT_EQ(EscapeLogText(nullptr, 5), "");
}
