// Every thread of the gateway busy at once, in one process, so that the race detector (the
// build-tsan suite) sees both sides of each shared object: card reads on two device sessions
// with their SAMV client threads capturing answers, administration on a third session (settings
// and accounts rewritten, the account list read), and the main loop's steps (account write-back,
// error-client retry, upload) on the test thread, against real simulator peers.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "config/run_log.h"
#include "core/data_switch.h"
#include "decodelog/log_upload.h"
#include "device_sim.h"
#include "logserver_sim.h"
#include "samv_sim.h"
#include "support/test_util.h"

namespace {

const char kSecretKey[] = "0123456789abcdef";
constexpr int kReaders = 2;
constexpr int kReadsEach = 6;
constexpr int kAdminRounds = 5;
constexpr auto kDeviceTimeout = std::chrono::seconds(20);
constexpr auto kDeadline = std::chrono::seconds(120);

// The main loop's periodic work (11 s account write-back, 6 s retries) runs on a clock that the
// test moves on by whole seconds; session threads read it too (the change mark).
std::atomic<int64_t> g_nClockOffsetS{0};
boost::posix_time::ptime TestClock() {
  return LocalTimeNow() + boost::posix_time::seconds(g_nClockOffsetS.load());
}

struct ClockGuard {
  ClockGuard() { SetLocalClockSource(&TestClock); }
  ~ClockGuard() { SetLocalClockSource(nullptr); }
};

SystemConfigStruct Settings(uint16_t unLogPort, const std::string& strSign) {
  SystemConfigStruct rec = MakeAdminRecord("admin", "adminpw");
  CopyText(rec.szLogServerIp, "127.0.0.1");
  rec.unLogServerPort = unLogPort;
  CopyText(rec.szHttpLogUrl, "/card/log");
  CopyText(rec.szAppKey, "app01");
  CopyText(rec.szSecretKey, kSecretKey);
  CopyText(rec.szSign, strSign.c_str());
  return rec;
}

}  // namespace

TEST(ThreadTrafficTest, CardReadsAdministrationAndTheMainLoopRunTogether) {
  ClockGuard clock;
  SamvSimOptions samvOptions;
  samvOptions.eMode = SamvSimMode::Card;
  samvOptions.eCardKind = SamvCardKind::Text;
  CSamvSim samv(samvOptions);
  LogServerSimOptions logOptions;
  logOptions.strSecretKey = kSecretKey;
  CLogServerSim logServer(logOptions);
  logServer.Start();

  TempDir dir;
  std::string strServers = "[IP_LIST]\nSAMV_COUNT=3\n";
  for (int i = 0; i < 3; ++i) {
    std::string n = std::to_string(i);
    strServers += "IP" + n + "=127.0.0.1\nPORT" + n + "=" + std::to_string(samv.Port()) + "\n";
  }
  dir.Write("SamvList.ini", strServers);
  dir.Write("SystemConfig.ini",
            "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=admin\nPASSWORD=adminpw\n[LOG_SERVER]\n"
            "IP_ADDRESS=127.0.0.1\nPORT=" +
                std::to_string(logServer.Port()) +
                "\nHTTP_LOG_URL=/card/log\nAPP_KEY=app01\nSECRET_KEY=" + kSecretKey +
                "\nSIGN=sig\n");
  dir.Write("UserList.ini",
            "[USER_LIST]\nUSER_COUNT=1\nPASSWORD_0=pass1001\nACCOUNT_NO_0=1001\nTYPE_0=0\n");

  std::unique_ptr<DataSwitch> upSwitch(new DataSwitch(dir.Path(), 0));
  DataSwitch& ds = *upSwitch;
  ASSERT_TRUE(ds.DataSwitchInit(true));
  const uint16_t unPort = ds.LocalPort();

  std::atomic<int> nCards{0};
  std::atomic<int> nAdminDone{0};
  std::atomic<int> nFailures{0};
  std::vector<std::thread> arrThreads;
  for (int r = 0; r < kReaders; ++r) {
    arrThreads.emplace_back([&, r] {
      CDeviceSimClient device;
      if (!device.Connect("127.0.0.1", unPort, kDeviceTimeout)) {
        ++nFailures;
        return;
      }
      for (int k = 0; k < kReadsEach; ++k) {
        LoginRequest request;
        request.unAccountNo = 1001;
        request.strPassword = "pass1001";
        request.strDeviceId = "READER-" + std::to_string(r);
        request.strTransData = "{\"reader\":" + std::to_string(r) + ",\"n\":" +
                               std::to_string(k) + "}";
        CardReadResult result;
        if (device.ReadCard(request, &result, kDeviceTimeout) != ReadStatus::Ok ||
            result.bRefused || result.arrAnswer.size() != kCardTextAnswerSize) {
          ++nFailures;
          return;
        }
        ++nCards;
      }
    });
  }
  arrThreads.emplace_back([&] {
    CDeviceSimClient admin;
    if (!admin.Connect("127.0.0.1", unPort, kDeviceTimeout)) {
      ++nFailures;
      return;
    }
    const SystemConfigStruct stAdmin = MakeAdminRecord("admin", "adminpw");
    for (int k = 0; k < kAdminRounds; ++k) {
      UserStruct user;
      std::memset(&user, 0, sizeof(user));
      user.unAccountNo = 5000 + k;
      CopyText(user.szPassword, ("pw" + std::to_string(k)).c_str());
      DeviceReply reply;
      std::vector<UserStruct> arrUsers;
      bool bOk = admin.WriteUser(stAdmin, user, &reply, kDeviceTimeout) == ReadStatus::Ok &&
                 reply.byCode == kReplyUserList &&
                 admin.ReadUsers(stAdmin, 0, &reply, kDeviceTimeout) == ReadStatus::Ok &&
                 DecodeUserListReply(reply, &arrUsers) &&
                 arrUsers.size() == static_cast<size_t>(k) + 2 &&
                 admin.WriteSystemConfig(Settings(logServer.Port(), "sig-" + std::to_string(k)),
                                         &reply, kDeviceTimeout) == ReadStatus::Ok &&
                 reply.byCode == kReplySystemConfig &&
                 admin.CheckAdmin(stAdmin, &reply, kDeviceTimeout) == ReadStatus::Ok &&
                 ReplyAdminMatches(reply);
      if (!bOk) {
        ++nFailures;
        return;
      }
      ++nAdminDone;
    }
  });

  // The main loop, as the gateway runs it, until every card has reached the log server and the
  // accounts are in the file.
  const int nExpectedCards = kReaders * kReadsEach;
  auto deadline = std::chrono::steady_clock::now() + kDeadline;
  bool bDone = false;
  while (!bDone && std::chrono::steady_clock::now() < deadline) {
    ds.SynchronizeUserData();
    ds.ProcessSamvErrorClient();
    if (ProcessSendSamvDecodeLog(ds) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    g_nClockOffsetS += 1;
    bDone = nFailures.load() != 0 ||
            (nCards.load() == nExpectedCards && nAdminDone.load() == kAdminRounds &&
             logServer.ValidDocuments() == static_cast<uint32_t>(nExpectedCards) &&
             ReadFile(dir.File("UserList.ini")).find("USER_COUNT=6") != std::string::npos);
  }
  for (std::thread& t : arrThreads) {
    t.join();
  }
  EXPECT_EQ(nFailures.load(), 0);
  EXPECT_EQ(nCards.load(), nExpectedCards);
  EXPECT_EQ(nAdminDone.load(), kAdminRounds);
  EXPECT_EQ(logServer.ValidDocuments(), static_cast<uint32_t>(nExpectedCards));
  EXPECT_EQ(logServer.BadRequests(), 0u);
  std::string strUsers = ReadFile(dir.File("UserList.ini"));
  EXPECT_NE(strUsers.find("USER_COUNT=6"), std::string::npos) << strUsers;
  EXPECT_NE(strUsers.find("ACCOUNT_NO_5=5004"), std::string::npos) << strUsers;
  EXPECT_NE(ReadFile(dir.File("SystemConfig.ini")).find("SIGN=sig-4"), std::string::npos);

  // Let every thread go before the switch does: the sessions end with their devices (closed by
  // the threads above), the accept thread with the connection after Stop.
  ds.Stop();
  {
    CDeviceSimClient last;
    (void)last.Connect("127.0.0.1", unPort, kDeviceTimeout);
  }
  EXPECT_TRUE(WaitFor(
      [&] {
        size_t unBusy = 0;
        size_t unFree = 0;
        size_t unError = 0;
        ds.GetPoolSizes(&unBusy, &unFree, &unError);
        bool bClientsIdle = true;
        for (CTcpClient* pClient : ds.m_arrTcpClient) {
          bClientsIdle = bClientsIdle && pClient->ThreadCount() == 0;
        }
        return ds.ThreadCount() == 0 && unBusy == 0 && bClientsIdle;
      },
      std::chrono::milliseconds(60000)));
}
