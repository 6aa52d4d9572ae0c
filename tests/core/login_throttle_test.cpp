#include "core/login_throttle.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Clock = CLoginThrottle::Clock;
using std::chrono::seconds;

// One step of a throttle's life: at time tS (seconds from the start) from an address, either a
// failed check (bFail) or the question whether frames are refused, with the expected answer.
struct Step {
  int tS;
  const char* szAddress;
  bool bFail;
  bool bLockedAfter;   // IsLockedOut at tS (asked after the step)
  uint32_t unLockoutS;  // length of the current lockout after the step, 0 when none
};

class LoginThrottleTest : public ::testing::Test {
 protected:
  void Run(const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
      const Step& s = steps[i];
      SCOPED_TRACE("step " + std::to_string(i) + " at " + std::to_string(s.tS) + " s");
      const Clock::time_point tm = m_tm0 + seconds(s.tS);
      if (s.bFail) {
        m_throttle.RecordFailure(s.szAddress, tm);
      }
      EXPECT_EQ(m_throttle.IsLockedOut(s.szAddress, tm), s.bLockedAfter);
      EXPECT_EQ(m_throttle.LockoutSeconds(s.szAddress), s.unLockoutS);
    }
  }
  CLoginThrottle m_throttle;
  Clock::time_point m_tm0 = Clock::now();
};

}  // namespace

TEST_F(LoginThrottleTest, FailuresWithinAMinuteLockOutThatAddressOnly) {
  struct Row {
    const char* szName;
    std::vector<Step> steps;
  } rows[] = {
      {"four failures stay below the limit",
       {{0, "10.0.0.5", true, false, 0}, {1, "10.0.0.5", true, false, 0},
        {2, "10.0.0.5", true, false, 0}, {3, "10.0.0.5", true, false, 0}}},
      {"the fifth within a minute locks out for 60 s, not another address",
       {{0, "10.0.0.5", true, false, 0}, {10, "10.0.0.5", true, false, 0},
        {20, "10.0.0.5", true, false, 0}, {30, "10.0.0.5", true, false, 0},
        {59, "10.0.0.5", true, true, 60}, {60, "10.0.0.6", false, false, 0},
        {118, "10.0.0.5", false, true, 60}, {119, "10.0.0.5", false, false, 0}}},
      {"failures spread over more than a minute never lock out",
       {{0, "10.0.0.5", true, false, 0}, {20, "10.0.0.5", true, false, 0},
        {40, "10.0.0.5", true, false, 0}, {59, "10.0.0.5", true, false, 0},
        {60, "10.0.0.5", true, false, 0}, {80, "10.0.0.5", true, false, 0}}},
      {"failures going on double the lockout up to an hour",
       {{0, "10.0.0.5", true, false, 0}, {0, "10.0.0.5", true, false, 0},
        {0, "10.0.0.5", true, false, 0}, {0, "10.0.0.5", true, false, 0},
        {0, "10.0.0.5", true, true, 60}, {60, "10.0.0.5", true, false, 0},
        {61, "10.0.0.5", true, false, 0}, {62, "10.0.0.5", true, false, 0},
        {63, "10.0.0.5", true, false, 0}, {64, "10.0.0.5", true, true, 120},
        {184, "10.0.0.5", true, false, 0}, {184, "10.0.0.5", true, false, 0},
        {184, "10.0.0.5", true, false, 0}, {184, "10.0.0.5", true, false, 0},
        {185, "10.0.0.5", true, true, 240}}},
      {"a quiet spell as long as the lockout starts again from 60 s",
       {{0, "10.0.0.5", true, false, 0}, {0, "10.0.0.5", true, false, 0},
        {0, "10.0.0.5", true, false, 0}, {0, "10.0.0.5", true, false, 0},
        {0, "10.0.0.5", true, true, 60}, {200, "10.0.0.5", true, false, 0},
        {200, "10.0.0.5", true, false, 0}, {200, "10.0.0.5", true, false, 0},
        {200, "10.0.0.5", true, false, 0}, {200, "10.0.0.5", true, true, 60}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    m_throttle.Reset();
    Run(r.steps);
  }
}

TEST_F(LoginThrottleTest, DoublingStopsAtAnHour) {
  CLoginThrottle::Settings settings;
  settings.unMaxFailures = 1;
  settings.unLockoutS = 1000;
  m_throttle.Configure(settings);
  Clock::time_point tm = m_tm0;
  std::vector<uint32_t> arrSeen;
  for (int i = 0; i < 4; ++i) {
    m_throttle.RecordFailure("10.0.0.5", tm);
    arrSeen.push_back(m_throttle.LockoutSeconds("10.0.0.5"));
    tm += seconds(arrSeen.back());  // the next failure comes just as the lockout ends
  }
  EXPECT_EQ(arrSeen, (std::vector<uint32_t>{1000, 2000, 3600, 3600}));
}

TEST_F(LoginThrottleTest, StartAndEndAreLoggedWithAddressAndFailures) {
  testing::internal::CaptureStdout();
  for (int i = 0; i < 5; ++i) {
    m_throttle.RecordFailure("192.168.10.7", m_tm0);
  }
  EXPECT_TRUE(m_throttle.IsLockedOut("192.168.10.7", m_tm0 + seconds(1)));  // counted too
  m_throttle.ExpireLockouts(m_tm0 + seconds(59));
  m_throttle.ExpireLockouts(m_tm0 + seconds(60));
  m_throttle.ExpireLockouts(m_tm0 + seconds(61));
  const std::string strOut = testing::internal::GetCapturedStdout();
  EXPECT_NE(strOut.find("[FUNCTION LoginThrottle  LINE "), std::string::npos) << strOut;
  EXPECT_NE(strOut.find(" 192.168.10.7 locked out for 60 s after 5 failed checks within a "
                        "minute]"),
            std::string::npos)
      << strOut;
  EXPECT_NE(strOut.find(" 192.168.10.7 lockout ended after 60 s: 6 failed checks]"),
            std::string::npos)
      << strOut;
  size_t unLines = 0;
  for (char c : strOut) {
    unLines += c == '\n' ? 1 : 0;
  }
  EXPECT_EQ(unLines, 2u) << strOut;
  EXPECT_FALSE(m_throttle.IsLockedOut("192.168.10.7", m_tm0 + seconds(61)));
}

TEST_F(LoginThrottleTest, TableIsBoundedAndForgetsTheOldestUnlockedFirst) {
  CLoginThrottle::Settings settings;
  settings.unMaxFailures = 2;
  settings.unCapacity = 3;
  m_throttle.Configure(settings);
  testing::internal::CaptureStdout();
  m_throttle.RecordFailure("10.0.0.1", m_tm0);  // locked out below
  m_throttle.RecordFailure("10.0.0.1", m_tm0);
  m_throttle.RecordFailure("10.0.0.2", m_tm0 + seconds(1));
  m_throttle.RecordFailure("10.0.0.3", m_tm0 + seconds(2));
  m_throttle.RecordFailure("10.0.0.4", m_tm0 + seconds(3));  // forgets .2, the oldest unlocked
  EXPECT_EQ(m_throttle.Size(), 3u);
  EXPECT_TRUE(m_throttle.IsLockedOut("10.0.0.1", m_tm0 + seconds(4)));
  m_throttle.RecordFailure("10.0.0.2", m_tm0 + seconds(5));  // a first failure again: no lock
  EXPECT_FALSE(m_throttle.IsLockedOut("10.0.0.2", m_tm0 + seconds(5)));  // (.3 forgotten now)
  m_throttle.RecordFailure("10.0.0.4", m_tm0 + seconds(6));  // .4 kept its failure: locked
  EXPECT_TRUE(m_throttle.IsLockedOut("10.0.0.4", m_tm0 + seconds(6)));
  EXPECT_EQ(m_throttle.Size(), 3u);
  // Nothing is left to remember an hour later.
  m_throttle.ExpireLockouts(m_tm0 + seconds(3600));
  EXPECT_EQ(m_throttle.Size(), 0u);
  testing::internal::GetCapturedStdout();
}

TEST_F(LoginThrottleTest, ZeroMaxFailuresTurnsItOff) {
  CLoginThrottle::Settings settings;
  settings.unMaxFailures = 0;
  m_throttle.Configure(settings);
  for (int i = 0; i < 100; ++i) {
    m_throttle.RecordFailure("10.0.0.5", m_tm0);
  }
  EXPECT_FALSE(m_throttle.IsLockedOut("10.0.0.5", m_tm0));
  EXPECT_EQ(m_throttle.Size(), 0u);
}

TEST_F(LoginThrottleTest, ActiveLockoutsListsTheLockedAddressesWithTheSecondsLeft) {
  CLoginThrottle::Settings settings;
  settings.unMaxFailures = 2;
  settings.unLockoutS = 60;
  m_throttle.Configure(settings);
  m_throttle.RecordFailure("10.0.0.5", m_tm0);
  m_throttle.RecordFailure("10.0.0.5", m_tm0);
  m_throttle.RecordFailure("10.0.0.6", m_tm0);  // one failure: not locked
  std::vector<CLoginThrottle::Lockout> arrLockouts =
      m_throttle.ActiveLockouts(m_tm0 + std::chrono::milliseconds(20500));
  ASSERT_EQ(arrLockouts.size(), 1u);
  EXPECT_EQ(arrLockouts[0].strAddress, "10.0.0.5");
  EXPECT_EQ(arrLockouts[0].unRemainingS, 40u);  // 39.5 s left, rounded up
  EXPECT_TRUE(m_throttle.ActiveLockouts(m_tm0 + seconds(60)).empty());
}
