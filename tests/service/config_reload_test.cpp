// Reading the configuration again in a running gateway: what takes effect, how the pool changes
// under readers that stay, and what leaves the running configuration untouched.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "config/run_log.h"
#include "core/data_switch.h"
#include "metrics/gateway_metrics.h"
#include "service/config_reload.h"
#include "support/test_util.h"

namespace {

constexpr char kSystem[] =
    "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=admin\nPASSWORD=admin123\n"
    "[LOG_SERVER]\nIP_ADDRESS=127.0.0.1\nPORT=16200\nHTTP_LOG_URL=/card/log\nAPP_KEY=k\n"
    "SECRET_KEY=0123456789abcdef\nSIGN=s\nANSWER_TIMEOUT_S=10\nTLS=0\n"
    "[SPOOL]\nDIR=\n"
    "[DEVICE]\nIDLE_TIMEOUT_S=60\nALLOW=\n"
    "[SAMV]\nANSWER_TIMEOUT_S=10\n"
    "[SECURITY]\nMAX_FAILURES=5\nLOCKOUT_S=60\n";
constexpr char kUsers[] =
    "[USER_LIST]\nUSER_COUNT=2\nPASSWORD_0=pass1001\nACCOUNT_NO_0=1001\nTYPE_0=0\n"
    "PASSWORD_1=pass1002\nACCOUNT_NO_1=1002\nTYPE_1=0\n";

// SamvList.ini for modules on 127.0.0.1 at the ports given (management port = port + 100).
std::string SamvList(const std::vector<int>& arrPorts) {
  std::string strText = "[IP_LIST]\nSAMV_COUNT=" + std::to_string(arrPorts.size()) + "\n";
  for (size_t i = 0; i < arrPorts.size(); ++i) {
    const std::string strN = std::to_string(i);
    strText += "IP" + strN + "=127.0.0.1\nPORT" + strN + "=" + std::to_string(arrPorts[i]) +
               "\nVELM_PORT" + strN + "=" + std::to_string(arrPorts[i] + 100) + "\n";
  }
  return strText;
}

// strText with the first strFrom replaced by strTo.
std::string With(std::string strText, const std::string& strFrom, const std::string& strTo) {
  const size_t unAt = strText.find(strFrom);
  EXPECT_NE(unAt, std::string::npos) << strFrom;
  return unAt == std::string::npos ? strText : strText.replace(unAt, strFrom.size(), strTo);
}

int PortOf(const CTcpClient* pClient) {
  char szAddress[64] = {0};
  int32_t nPort = 0;
  uint32_t unIndex = 0;
  pClient->GetServerInfo(szAddress, sizeof szAddress, &nPort, nullptr, &unIndex);
  return nPort;
}

class ConfigReloadTest : public ::testing::Test {
 protected:
  ConfigReloadTest() {
    GatewayMetrics().Reset();
    m_dir.Write("SamvList.ini", SamvList({16001, 16002, 16003}));
    m_dir.Write("SystemConfig.ini", kSystem);
    m_dir.Write("UserList.ini", kUsers);
    m_upDs.reset(new DataSwitch(m_dir.Path(), 0));
    EXPECT_TRUE(m_upDs->DataSwitchInit(true));
  }
  // The accept thread ends before the switch goes: it uses the listening socket the switch
  // closes.
  ~ConfigReloadTest() override {
    m_upDs->StopAccepting();
    EXPECT_TRUE(WaitFor([&] { return m_upDs->ThreadCount() == 0; }));
  }

  DataSwitch& Ds() { return *m_upDs; }

  // The reload, with what it logged.
  ReloadOutcome Reload(std::vector<std::string>* parrLog = nullptr) {
    std::vector<std::string> arrLog;
    ReloadOutcome outcome;
    {
      const CRunLogCapture capture(&arrLog);
      outcome = ReloadConfiguration(Ds(), m_stStatus);
    }
    if (parrLog != nullptr) {
      *parrLog = arrLog;
    }
    return outcome;
  }

  CTcpClient* ClientOnPort(int nPort) {
    for (CTcpClient* p : Ds().m_arrTcpClient) {
      if (PortOf(p) == nPort) {
        return p;
      }
    }
    return nullptr;
  }

  std::vector<int> Ports(const std::vector<CTcpClient*>& arr) {
    std::vector<int> arrPorts;
    for (CTcpClient* p : arr) {
      arrPorts.push_back(PortOf(p));
    }
    return arrPorts;
  }

  bool HasAccount(uint32_t unAccount) {
    boost::mutex::scoped_lock lock(Ds().m_mtxUserList);
    return Ds().m_mapUserPassword.count(unAccount) != 0;
  }

  TempDir m_dir;
  std::unique_ptr<DataSwitch> m_upDs;
  StatusSettings m_stStatus;
};

bool Logged(const std::vector<std::string>& arrLog, const std::string& strText) {
  return std::any_of(arrLog.begin(), arrLog.end(), [&](const std::string& strLine) {
    return strLine.find(strText) != std::string::npos;
  });
}

}  // namespace

TEST_F(ConfigReloadTest, SettingsAccountsLimitsAndAllowListTakeEffectAtOnce) {
  m_dir.Write("UserList.ini",
              "[USER_LIST]\nUSER_COUNT=2\nPASSWORD_0=pass1001\nACCOUNT_NO_0=1001\nTYPE_0=0\n"
              "PASSWORD_1=pass1003\nACCOUNT_NO_1=1003\nTYPE_1=0\n");
  std::string strSystem = With(kSystem, "USER_NAME=admin", "USER_NAME=chief");
  strSystem = With(strSystem, "PORT=16200", "PORT=16299");
  strSystem = With(strSystem, "ANSWER_TIMEOUT_S=10\nTLS", "ANSWER_TIMEOUT_S=30\nTLS");
  strSystem = With(strSystem, "ALLOW=\n", "ALLOW=10.0.0.0/8\n");
  strSystem = With(strSystem, "[SAMV]\nANSWER_TIMEOUT_S=10", "[SAMV]\nANSWER_TIMEOUT_S=4");
  m_dir.Write("SystemConfig.ini", strSystem);
  const uint32_t unStepBefore = Ds().m_LogUpload.LongestStepMs();
  Ds().m_LogUpload.m_bLogServerReconfigure = false;

  const ReloadOutcome outcome = Reload();
  ASSERT_TRUE(outcome.bApplied) << outcome.strWhy;
  const SystemConfigStruct stConfig = Ds().GetSystemConfigCopy();
  EXPECT_STREQ(stConfig.szUserName, "chief");
  EXPECT_EQ(stConfig.unLogServerPort, 16299u);
  EXPECT_EQ(Ds().LogServerPort(), 16299u);  // what the capture asks
  // The upload takes the new log server before its next attempt, with the new answer time-out.
  EXPECT_TRUE(Ds().m_LogUpload.m_bLogServerReconfigure.load());
  EXPECT_EQ(Ds().m_LogUpload.LongestStepMs(), unStepBefore + 20000u);
  EXPECT_EQ(Ds().m_unSamvAnswerTimeoutS.load(), 4u);
  EXPECT_TRUE(Ds().m_DeviceAllowList.Allows("10.1.2.3"));
  EXPECT_FALSE(Ds().m_DeviceAllowList.Allows("127.0.0.1"));
  EXPECT_TRUE(HasAccount(1001));
  EXPECT_TRUE(HasAccount(1003));
  EXPECT_FALSE(HasAccount(1002));
}

TEST_F(ConfigReloadTest, AnAccountChangedByAReaderIsWrittenBeforeTheFileIsReadAgain) {
  UserStruct stUser;
  std::memset(&stUser, 0, sizeof stUser);
  stUser.unAccountNo = 1004;
  CopyText(stUser.szPassword, "pass1004");
  Ds().SetUserInfo(stUser);  // pending: the write-back comes 11 s later
  const ReloadOutcome outcome = Reload();
  ASSERT_TRUE(outcome.bApplied) << outcome.strWhy;
  EXPECT_TRUE(HasAccount(1004));
  EXPECT_NE(m_dir.Read("UserList.ini").find("ACCOUNT_NO_2=1004"), std::string::npos);
  // The slots come from the file read: the next change goes to a slot of its own.
  stUser.unAccountNo = 1005;
  Ds().SetUserInfo(stUser);
  Ds().SynchronizeUserData(true);
  const std::string strUsers = m_dir.Read("UserList.ini");
  EXPECT_NE(strUsers.find("ACCOUNT_NO_2=1004"), std::string::npos) << strUsers;
  EXPECT_NE(strUsers.find("ACCOUNT_NO_3=1005"), std::string::npos) << strUsers;
}

TEST_F(ConfigReloadTest, TheOperatorsEditsOfTheAccountsSurviveAReadersChange) {
  // A reader changes 1002; before its write-back the operator revokes 1001 in the file.
  UserStruct stUser;
  std::memset(&stUser, 0, sizeof stUser);
  stUser.unAccountNo = 1002;
  CopyText(stUser.szPassword, "new1002");
  Ds().SetUserInfo(stUser);
  m_dir.Write("UserList.ini", With(kUsers, "PASSWORD_0=pass1001", "PASSWORD_0=revoked1001"));
  ASSERT_TRUE(Reload().bApplied);
  boost::mutex::scoped_lock lock(Ds().m_mtxUserList);
  EXPECT_EQ(Ds().m_mapUserPassword[1001], "revoked1001");
  EXPECT_EQ(Ds().m_mapUserPassword[1002], "new1002");
}

TEST_F(ConfigReloadTest, AFileWrittenInPlaceDuringAReloadNeverGivesHalfOfItOrTheDefaults) {
  // Two whole versions of the settings: each reload that lands must give one of them, never a
  // mix, and never the open allow list and plain defaults of a file read half-written or empty.
  const std::string strA = With(With(kSystem, "PORT=16200", "PORT=16201"), "ALLOW=\n",
                                "ALLOW=10.0.0.0/8\n");
  const std::string strB = With(With(kSystem, "PORT=16200", "PORT=16202"), "ALLOW=\n",
                                "ALLOW=127.0.0.1\n");
  std::atomic<bool> bStop{false};
  const std::string strPath = m_dir.File("SystemConfig.ini");
  m_dir.Write("SystemConfig.ini", strA);
  std::thread writer([&] {
    for (size_t i = 0; !bStop.load(); ++i) {
      // In place, as a shell's redirection writes: truncated, then written.
      const std::string& strText = i % 2 == 0 ? strA : strB;
      std::FILE* pFile = std::fopen(strPath.c_str(), "w");
      if (pFile == nullptr) {
        continue;
      }
      std::fwrite(strText.data(), 1, strText.size(), pFile);
      std::fclose(pFile);
    }
  });
  size_t unApplied = 0;
  for (int i = 0; i < 300; ++i) {
    if (!Reload().bApplied) {
      continue;
    }
    ++unApplied;
    const uint32_t unPort = Ds().LogServerPort();
    EXPECT_TRUE(unPort == 16201u || unPort == 16202u) << unPort;
    EXPECT_EQ(Ds().m_DeviceAllowList.Allows("10.1.1.1"), unPort == 16201u);
    EXPECT_EQ(Ds().m_DeviceAllowList.Allows("127.0.0.1"), unPort == 16202u);
  }
  bStop = true;
  writer.join();
  // The copies the reloads read from are gone with them.
  DIR* pDir = ::opendir(m_dir.Path().c_str());
  ASSERT_NE(pDir, nullptr);
  std::vector<std::string> arrNames;
  while (const dirent* pEntry = ::readdir(pDir)) {
    if (std::string(pEntry->d_name) != "." && std::string(pEntry->d_name) != "..") {
      arrNames.push_back(pEntry->d_name);
    }
  }
  ::closedir(pDir);
  std::sort(arrNames.begin(), arrNames.end());
  EXPECT_EQ(arrNames, (std::vector<std::string>{"SamvList.ini", "SystemConfig.ini", "UserList.ini"}));
  // (Some reloads land between two writes; none is required to.)
  std::printf("%u of 300 reloads landed\n", static_cast<unsigned>(unApplied));
}

TEST_F(ConfigReloadTest, ModulesJoinLeaveAndComeBack) {
  // 16001 serves a reader; 16003 is in ERROR; 16002 is free and has served one session.
  CTcpClient* pBusy = Ds().GetFreeTcpClient(nullptr, nullptr, false);
  ASSERT_EQ(PortOf(pBusy), 16001);
  CTcpClient* pError = ClientOnPort(16003);
  Ds().GetFreeTcpClient(nullptr, nullptr, false);  // 16002, then back
  Ds().GetFreeTcpClient(ClientOnPort(16002), nullptr, false);
  GatewayMetrics().ModuleSessionServed(ClientOnPort(16002)->Index());
  CTcpClient* pTaken = Ds().GetFreeTcpClient(nullptr, nullptr, false);
  ASSERT_EQ(pTaken, pError);
  Ds().GetFreeTcpClient(pError, pError, false);
  CTcpClient* pKept = ClientOnPort(16002);

  // 16001 and 16003 go, 16004 comes, 16002 stays (now first).
  m_dir.Write("SamvList.ini", SamvList({16002, 16004}));
  std::vector<std::string> arrLog;
  const ReloadOutcome outcome = Reload(&arrLog);
  ASSERT_TRUE(outcome.bApplied) << outcome.strWhy;
  EXPECT_EQ(outcome.unModules, 2u);
  EXPECT_EQ(outcome.unJoined, 1u);
  EXPECT_EQ(outcome.unLeft, 1u);     // 16003, which served nobody
  EXPECT_EQ(outcome.unLeaving, 1u);  // 16001, once its reader has gone
  EXPECT_TRUE(Logged(arrLog, "module 127.0.0.1:16003 left the pool"));
  EXPECT_FALSE(Logged(arrLog, "module 127.0.0.1:16001 left the pool"));
  EXPECT_TRUE(Logged(arrLog, "configuration reloaded: 2 modules (1 joined, 1 left, 1 leave once "
                             "their readers have gone), 2 accounts"));
  EXPECT_EQ(Ports(Ds().m_arrTcpClient), (std::vector<int>{16002, 16004}));
  EXPECT_EQ(Ds().m_arrTcpClient[0], pKept);
  EXPECT_EQ(pKept->Index(), 0u);
  EXPECT_EQ(Ds().m_arrTcpClient[1]->Index(), 1u);
  EXPECT_NE(Ds().StreamGuardOf(Ds().m_arrTcpClient[1]), nullptr);
  EXPECT_EQ(Ports(Ds().m_arrFreeTcpClient), (std::vector<int>{16002, 16004}));
  EXPECT_EQ(Ds().m_arrBusyTcpClient, (std::vector<CTcpClient*>{pBusy}));
  EXPECT_TRUE(Ds().m_arrErrorTcpClient.empty());

  // The metrics follow the pool: a module that stays keeps its counters.
  MetricsSnapshot snapshot = GatewayMetrics().Snapshot();
  ASSERT_EQ(snapshot.arrModules.size(), 2u);
  EXPECT_EQ(snapshot.arrModules[0].unPort, 16002u);
  EXPECT_EQ(snapshot.arrModules[0].unSessions, 1u);
  EXPECT_EQ(snapshot.arrModules[1].unPort, 16004u);
  EXPECT_EQ(snapshot.arrModules[1].unSessions, 0u);
  EXPECT_EQ(snapshot.arrModules[1].eState, ModuleState::Free);

  // The reader of 16001 goes: its module leaves instead of going back to FREE, and counts for
  // no module that stays.
  std::vector<std::string> arrReleaseLog;
  {
    const CRunLogCapture capture(&arrReleaseLog);
    Ds().GetFreeTcpClient(pBusy, nullptr, false);
  }
  EXPECT_TRUE(Logged(arrReleaseLog, "module 127.0.0.1:16001 left the pool"));
  EXPECT_TRUE(Ds().m_arrBusyTcpClient.empty());
  EXPECT_EQ(Ports(Ds().m_arrFreeTcpClient), (std::vector<int>{16002, 16004}));
  snapshot = GatewayMetrics().Snapshot();
  EXPECT_EQ(snapshot.arrModules[0].eState, ModuleState::Free);
  EXPECT_EQ(snapshot.arrModules[1].eState, ModuleState::Free);

  // 16003 and 16001 come back: their old clients serve again, 16003's told its controller's new
  // management port (the same decode service: a second client would pair two readers with it).
  m_dir.Write("SamvList.ini", With(SamvList({16002, 16004, 16003, 16001}), "VELM_PORT2=16103",
                                   "VELM_PORT2=17003"));
  const ReloadOutcome again = Reload();
  ASSERT_TRUE(again.bApplied) << again.strWhy;
  EXPECT_EQ(again.unJoined, 2u);
  EXPECT_EQ(Ports(Ds().m_arrTcpClient), (std::vector<int>{16002, 16004, 16003, 16001}));
  EXPECT_EQ(Ds().m_arrTcpClient[2], pError);
  char szAddress[64] = {0};
  int32_t nPort = 0;
  int32_t nVelmPort = 0;
  uint32_t unIndex = 0;
  pError->GetServerInfo(szAddress, sizeof szAddress, &nPort, &nVelmPort, &unIndex);
  EXPECT_EQ(nVelmPort, 17003);
  EXPECT_EQ(unIndex, 2u);
  EXPECT_EQ(Ds().m_arrTcpClient[3], pBusy);
  EXPECT_EQ(pBusy->Index(), 3u);
  EXPECT_EQ(Ds().m_arrFreeTcpClient.size(), 4u);
}

TEST_F(ConfigReloadTest, AModuleTakenOutAndBackWhileItServesStaysWithItsReader) {
  CTcpClient* pBusy = Ds().GetFreeTcpClient(nullptr, nullptr, false);
  m_dir.Write("SamvList.ini", SamvList({16002, 16003}));
  ASSERT_TRUE(Reload().bApplied);
  m_dir.Write("SamvList.ini", SamvList({16001, 16002, 16003}));
  ASSERT_TRUE(Reload().bApplied);
  EXPECT_EQ(Ds().m_arrBusyTcpClient, (std::vector<CTcpClient*>{pBusy}));
  EXPECT_EQ(GatewayMetrics().Snapshot().arrModules[0].eState, ModuleState::Busy);
  // Its release is an ordinary one now: back to FREE.
  Ds().GetFreeTcpClient(pBusy, nullptr, false);
  EXPECT_EQ(Ds().m_arrFreeTcpClient.back(), pBusy);
  EXPECT_EQ(Ds().m_arrFreeTcpClient.size(), 3u);
}

TEST_F(ConfigReloadTest, FilesThatDoNotReadLeaveTheRunningConfigurationUntouched) {
  struct Case {
    const char* szName;
    const char* szFile;
    std::string strText;  // "" removes the file
    const char* szWhy;    // in the reason given and logged
  };
  const std::vector<Case> kCases = {
      {"an unmatched bracket", "SamvList.ini", "[IP_LIST]\nSAMV_COUNT=1\n[IP_LIST\n",
       "SamvList.ini:3: error: Read Error: unmatched '['"},
      {"a missing module list", "SamvList.ini", "", "SamvList.ini is missing"},
      {"an account count that is not a number", "UserList.ini",
       "[USER_LIST]\nUSER_COUNT=two\nPASSWORD_0=p\nACCOUNT_NO_0=1\nTYPE_0=0\n",
       "UserList.ini:2: error: USER_LIST.USER_COUNT value \"two\" is not a number"},
      {"a missing settings file", "SystemConfig.ini", "", "SystemConfig.ini is missing"},
      {"a device allow list that does not read", "SystemConfig.ini",
       With(kSystem, "ALLOW=\n", "ALLOW=10.0.0.0/40\n"), "DEVICE.ALLOW"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    const std::string strBefore = m_dir.Read(c.szFile);
    if (c.strText.empty()) {
      ASSERT_EQ(std::remove(m_dir.File(c.szFile).c_str()), 0);
    } else {
      m_dir.Write(c.szFile, c.strText);
    }
    std::vector<std::string> arrLog;
    const ReloadOutcome outcome = Reload(&arrLog);
    EXPECT_FALSE(outcome.bApplied);
    EXPECT_NE(outcome.strWhy.find(c.szWhy), std::string::npos) << outcome.strWhy;
    EXPECT_TRUE(Logged(arrLog, "configuration not reloaded: ")) << ::testing::PrintToString(arrLog);
    EXPECT_TRUE(Logged(arrLog, c.szWhy)) << ::testing::PrintToString(arrLog);
    EXPECT_EQ(Ports(Ds().m_arrTcpClient), (std::vector<int>{16001, 16002, 16003}));
    EXPECT_EQ(Ds().m_arrFreeTcpClient.size(), 3u);
    EXPECT_TRUE(HasAccount(1002));
    EXPECT_EQ(Ds().LogServerPort(), 16200u);
    EXPECT_TRUE(Ds().m_DeviceAllowList.Allows("127.0.0.1"));
    m_dir.Write(c.szFile, strBefore);
  }
}

TEST_F(ConfigReloadTest, ChangedFilesOfOneReloadLandTogetherOrNotAtAll) {
  // Accounts and settings are fine, the module list is not: nothing of either lands.
  m_dir.Write("UserList.ini", "[USER_LIST]\nUSER_COUNT=1\nPASSWORD_0=p9\nACCOUNT_NO_0=9\nTYPE_0=0\n");
  m_dir.Write("SystemConfig.ini", With(kSystem, "PORT=16200", "PORT=16299"));
  m_dir.Write("SamvList.ini", "[IP_LIST]\nSAMV_COUNT=x\n");
  EXPECT_FALSE(Reload().bApplied);
  EXPECT_TRUE(HasAccount(1001));
  EXPECT_FALSE(HasAccount(9));
  EXPECT_EQ(Ds().LogServerPort(), 16200u);
  // Mended, the same reload lands whole.
  m_dir.Write("SamvList.ini", SamvList({16001}));
  ASSERT_TRUE(Reload().bApplied);
  EXPECT_TRUE(HasAccount(9));
  EXPECT_FALSE(HasAccount(1001));
  EXPECT_EQ(Ds().LogServerPort(), 16299u);
  EXPECT_EQ(Ds().m_arrTcpClient.size(), 1u);
}

TEST_F(ConfigReloadTest, SpoolChangesWaitForTheNextStartAndStatusChangesAreReported) {
  m_dir.Write("SystemConfig.ini",
              With(kSystem, "DIR=\n", "DIR=spool2\n") + "[STATUS]\nLISTEN=127.0.0.1:8481\n");
  std::vector<std::string> arrLog;
  const ReloadOutcome outcome = Reload(&arrLog);
  ASSERT_TRUE(outcome.bApplied);
  EXPECT_TRUE(Logged(arrLog, "SPOOL.DIR and SPOOL.MAX_MB take effect at the next start"));
  EXPECT_TRUE(Ds().m_stSettings.strSpoolDir.empty());
  EXPECT_TRUE(outcome.bStatusChanged);
  // The caller restarted its listener with them: the next reload finds nothing new.
  m_stStatus.strListen = "127.0.0.1:8481";
  const ReloadOutcome same = Reload();
  ASSERT_TRUE(same.bApplied);
  EXPECT_FALSE(same.bStatusChanged);
}
