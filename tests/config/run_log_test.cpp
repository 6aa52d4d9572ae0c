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
