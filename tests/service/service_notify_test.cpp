// The service manager's notification protocol against a socket of the test's own, and the
// watchdog that speaks only while the watched threads make progress.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service/service_notify.h"
#include "support/notify_socket.h"
#include "support/test_util.h"

namespace {

using std::chrono::milliseconds;

}  // namespace

TEST(ServiceNotifierTest, SendsOneDatagramPerMessageToAPathOrAnAbstractName) {
  TempDir dir;
  const std::string strAbstract = "@cardgate-test-" + std::to_string(::getpid());
  for (const std::string& strName : {dir.File("notify"), strAbstract}) {
    SCOPED_TRACE(strName);
    NotifySocket manager(strName);
    ASSERT_TRUE(manager.Bound());
    CServiceNotifier notifier(strName, 0);
    ASSERT_TRUE(notifier.Enabled());
    EXPECT_TRUE(notifier.Notify("READY=1\nSTATUS=busy 0 free 2 error 0 readers 0 queued 0"));
    EXPECT_TRUE(notifier.Notify("STOPPING=1"));
    EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=busy 0 free 2 error 0 readers 0 queued 0");
    EXPECT_EQ(manager.Receive(), "STOPPING=1");
  }
}

TEST(ServiceNotifierTest, WithoutAManagerNothingIsSentAndNothingFails) {
  CServiceNotifier off("", 0);
  EXPECT_FALSE(off.Enabled());
  EXPECT_FALSE(off.Notify("READY=1"));
  TempDir dir;
  CServiceNotifier gone(dir.File("nobody-listens"), 0);  // a manager that went away
  EXPECT_FALSE(gone.Notify("READY=1"));
}

TEST(ServiceNotifierTest, ReadsItsSocketAndWatchdogFromTheEnvironment) {
  struct Case {
    const char* szSocket;
    const char* szUsec;
    std::string strPid;
    bool bEnabled;
    uint64_t unWatchdogUs;
  };
  const std::string strMe = std::to_string(::getpid());
  const std::vector<Case> kCases = {
      {nullptr, "1000000", "", false, 0},
      {"/run/systemd/notify", nullptr, "", true, 0},
      {"@abstract", "30000000", "", true, 30000000},
      {"/run/systemd/notify", "30000000", strMe, true, 30000000},
      {"/run/systemd/notify", "30000000", "1", true, 0},  // meant for another process
      {"/run/systemd/notify", "30s", "", true, 0},        // not a number
      {"vsock:2:1234", "30000000", "", false, 0},         // an address this gateway does not speak
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szSocket == nullptr ? "(none)" : c.szSocket);
    c.szSocket ? ::setenv("NOTIFY_SOCKET", c.szSocket, 1) : ::unsetenv("NOTIFY_SOCKET");
    c.szUsec ? ::setenv("WATCHDOG_USEC", c.szUsec, 1) : ::unsetenv("WATCHDOG_USEC");
    c.strPid.empty() ? ::unsetenv("WATCHDOG_PID") : ::setenv("WATCHDOG_PID", c.strPid.c_str(), 1);
    CServiceNotifier notifier;
    EXPECT_EQ(notifier.Enabled(), c.bEnabled);
    EXPECT_EQ(notifier.WatchdogUs(), c.unWatchdogUs);
  }
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  ::unsetenv("WATCHDOG_PID");
}

TEST(ServiceWatchdogTest, ACounterThatStandsStillPastItsLimitStopsTheWatchdog) {
  CServiceNotifier notifier("", 1000000);
  std::atomic<uint64_t> unMain{0};
  std::atomic<uint64_t> unUpload{0};
  CServiceWatchdog watchdog(notifier, {{"main loop", [&] { return unMain.load(); }, 1000},
                                       {"upload thread", [&] { return unUpload.load(); }, 5000}});
  const auto tm0 = CServiceWatchdog::Clock::now();
  EXPECT_TRUE(watchdog.Check(tm0));
  ++unMain;
  EXPECT_TRUE(watchdog.Check(tm0 + milliseconds(900)));
  // The upload stands still 4.5 s, within its limit; the main loop keeps going.
  ++unMain;
  EXPECT_TRUE(watchdog.Check(tm0 + milliseconds(1800)));
  ++unMain;
  EXPECT_TRUE(watchdog.Check(tm0 + milliseconds(4500)));
  // The main loop stands still past its limit.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(watchdog.Check(tm0 + milliseconds(5600)));
  EXPECT_FALSE(watchdog.Check(tm0 + milliseconds(5700)));
  const std::string strLog = testing::internal::GetCapturedStdout();
  EXPECT_EQ(CountOccurrences(strLog, "has made no progress"), 1u) << strLog;
  EXPECT_NE(strLog.find("the main loop has made no progress for"), std::string::npos) << strLog;
  // It goes on again, and so does the watchdog.
  ++unMain;
  ++unUpload;
  EXPECT_TRUE(watchdog.Check(tm0 + milliseconds(5800)));
}

TEST(ServiceWatchdogTest, SpeaksTwicePerPeriodWhileTheThreadsMakeProgressAndThenFallsSilent) {
  TempDir dir;
  NotifySocket manager(dir.File("notify"));
  ASSERT_TRUE(manager.Bound());
  CServiceNotifier notifier(dir.File("notify"), 400000);  // 0.4 s: a message every 0.2 s
  std::atomic<uint64_t> unCounter{0};
  std::atomic<bool> bProgress{true};
  CServiceWatchdog watchdog(notifier, {{"main loop", [&] {
                                          return bProgress.load() ? unCounter.fetch_add(1) + 1
                                                                  : unCounter.load();
                                        },
                                        300}});
  watchdog.Start();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(manager.Receive(), "WATCHDOG=1");
  }
  bProgress = false;
  // Within the limit and a period, the messages stop for good.
  const auto tmSilentBy = std::chrono::steady_clock::now() + milliseconds(300 + 400);
  while (std::chrono::steady_clock::now() < tmSilentBy) {
    (void)manager.Receive(milliseconds(50));
  }
  EXPECT_EQ(manager.Receive(milliseconds(1000)), "");
  watchdog.Stop();
}
