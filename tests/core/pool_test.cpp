#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/data_switch.h"
#include "metrics/gateway_metrics.h"
#include "support/test_util.h"

namespace {

class PoolTest : public ::testing::Test {
 protected:
  PoolTest() : m_ds(m_dir.Path(), 0) {
    for (auto& c : m_clients) {
      c.reset(new CTcpClient());
    }
    A = m_clients[0].get();
    B = m_clients[1].get();
    C = m_clients[2].get();
  }
  std::vector<CTcpClient*> Free() { return m_ds.m_arrFreeTcpClient; }
  std::vector<CTcpClient*> Busy() { return m_ds.m_arrBusyTcpClient; }
  std::vector<CTcpClient*> Error() { return m_ds.m_arrErrorTcpClient; }

  TempDir m_dir;
  DataSwitch m_ds;
  std::unique_ptr<CTcpClient> m_clients[3];
  CTcpClient* A;
  CTcpClient* B;
  CTcpClient* C;
};

using List = std::vector<CTcpClient*>;

}  // namespace

TEST_F(PoolTest, TakeMovesTheFrontOfFreeToBusy) {
  m_ds.m_arrFreeTcpClient = {A, B};
  EXPECT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, false), A);
  EXPECT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, false), B);
  EXPECT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, false), nullptr);
  EXPECT_EQ(Busy(), (List{A, B}));
  EXPECT_TRUE(Free().empty());
  // Released to the back of FREE, so the next device gets it.
  EXPECT_EQ(m_ds.GetFreeTcpClient(A, nullptr, false), nullptr);
  EXPECT_EQ(Free(), (List{A}));
  EXPECT_EQ(Busy(), (List{B}));
  EXPECT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, false), A);
}

TEST_F(PoolTest, MarkErrorRecoverAndTakeError) {
  m_ds.m_arrBusyTcpClient = {A, B, C};
  m_ds.GetFreeTcpClient(B, B, false);  // mark error
  m_ds.GetFreeTcpClient(C, C, false);
  EXPECT_EQ(Busy(), (List{A}));
  EXPECT_EQ(Error(), (List{B, C}));
  EXPECT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, true), B);  // held by the retry
  EXPECT_EQ(Error(), (List{C}));
  m_ds.GetFreeTcpClient(nullptr, B, false);  // recover
  EXPECT_EQ(Free(), (List{B}));
  EXPECT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, true), C);
  EXPECT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, true), nullptr);
}

TEST_F(PoolTest, ReleaseOfAClientNotInBusyStillAppendsAndRemovesEveryCopy) {
  m_ds.m_arrBusyTcpClient = {A, B, A};
  m_ds.GetFreeTcpClient(C, nullptr, false);
  EXPECT_EQ(Free(), (List{C}));
  m_ds.GetFreeTcpClient(A, nullptr, false);
  EXPECT_EQ(Busy(), (List{B}));
  EXPECT_EQ(Free(), (List{C, A}));
  m_ds.m_arrFreeTcpClient = {nullptr, A};
  EXPECT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, false), nullptr);  // a null front is not taken
}

TEST_F(PoolTest, ReportNamesTheErrorServersInRed) {
  A->Configure("10.0.0.1", 1, 2, 0);
  B->Configure("10.0.0.2", 1, 2, 1);
  m_ds.m_arrErrorTcpClient = {A, nullptr, B};
  m_ds.m_arrFreeTcpClient = {C};
  char szList[640] = "unchanged";
  m_ds.GetErrorListText(szList, sizeof(szList));
  EXPECT_STREQ(szList, "10.0.0.1,10.0.0.2");
  testing::internal::CaptureStdout();
  m_ds.WritePoolReport();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[BUSY 0 FREE 1 ERROR 3]\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[\033[1;31mERROR LIST: 10.0.0.1,10.0.0.2\033[0m]\r\n"), std::string::npos);

  m_ds.m_arrErrorTcpClient.clear();
  char szEmpty[8] = "keep";
  m_ds.GetErrorListText(szEmpty, sizeof(szEmpty));
  EXPECT_STREQ(szEmpty, "keep");
  testing::internal::CaptureStdout();
  m_ds.WritePoolReport();
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("ERROR LIST"), std::string::npos);
}

TEST_F(PoolTest, InitReadsConfigurationOnlyInCommandMode) {
  m_dir.Write("SamvList.ini", "[IP_LIST]\nSAMV_COUNT=3\nIP0=127.0.0.1\nPORT0=1\n");
  DataSwitch ds(m_dir.Path(), 0);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(ds.DataSwitchInit(false));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[Samv Device Size 3]"), std::string::npos);
  EXPECT_TRUE(ds.m_arrTcpClient.empty());
  EXPECT_TRUE(ds.m_arrFreeTcpClient.empty());
}

TEST_F(PoolTest, MalformedConfigurationStopsStartUp) {
  const char* files[] = {"SamvList.ini", "UserList.ini", "SystemConfig.ini"};
  for (const char* szFile : files) {
    SCOPED_TRACE(szFile);
    TempDir dir;
    dir.Write(szFile, "[BROKEN\n");
    DataSwitch ds(dir.Path(), 0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ds.DataSwitchInit(true));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(std::string(szFile) + " Read Error: "), std::string::npos) << out;
    EXPECT_TRUE(ds.m_arrTcpClient.empty());
  }
}

TEST_F(PoolTest, EveryMoveShowsInTheModuleStatesOfTheMetrics) {
  GatewayMetrics().Reset();
  A->Configure("10.0.0.1", 1, 2, 0);
  B->Configure("10.0.0.2", 1, 2, 1);
  GatewayMetrics().SetModules(std::vector<ModuleMetrics>(2));
  auto states = [] {
    std::string strStates;
    for (const ModuleMetrics& module : GatewayMetrics().Snapshot().arrModules) {
      strStates += ModuleStateName(module.eState);
      strStates += ' ';
    }
    return strStates;
  };
  m_ds.m_arrFreeTcpClient = {A, B};
  EXPECT_EQ(states(), "free free ");
  ASSERT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, false), A);
  EXPECT_EQ(states(), "busy free ");
  m_ds.GetFreeTcpClient(A, A, false);  // mark error
  EXPECT_EQ(states(), "error free ");
  ASSERT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, true), A);  // on trial: still in error
  EXPECT_EQ(states(), "error free ");
  m_ds.GetFreeTcpClient(nullptr, A, false);  // recover
  ASSERT_EQ(m_ds.GetFreeTcpClient(nullptr, nullptr, false), B);
  EXPECT_EQ(states(), "free busy ");
  m_ds.GetFreeTcpClient(B, nullptr, false);  // release
  EXPECT_EQ(states(), "free free ");
  GatewayMetrics().Reset();
}
