// The built gateway's status listener between real simulator peers: what the counters and the
// health check say after real traffic, the exposition checked by promtool, and what an
// operator's settings do to the listener.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "device_sim.h"
#include "gateway_fixture.h"
#include "logserver_sim.h"
#include "mcu_sim.h"
#include "samv_sim.h"
#include "support/http_exchange.h"

namespace {

using std::chrono::seconds;

constexpr uint16_t kGatewayPort = 31213;

LoginRequest Login(const std::string& strPassword = "pass1001") {
  LoginRequest r;
  r.byCommand = 1;
  r.unAccountNo = 1001;
  r.strPassword = strPassword;
  r.strUserInfo = "operator-7";
  r.strDeviceId = "READER-42";
  r.strTransData = "{\"order\":\"A-17\"}";
  return r;
}

// The sample value of one series of the exposition text ("name{labels}" as written), or -1.
double SeriesValue(const std::string& strMetrics, const std::string& strSeries) {
  const std::string strNeedle = "\n" + strSeries + " ";
  const size_t unAt = strMetrics.find(strNeedle);
  return unAt == std::string::npos ? -1 : std::atof(strMetrics.c_str() + unAt + strNeedle.size());
}

// promtool of Debian's prometheus package, if it is there.
std::string PromtoolPath() {
  for (const char* szPath : {"/usr/bin/promtool", "/usr/local/bin/promtool"}) {
    if (::access(szPath, X_OK) == 0) {
      return szPath;
    }
  }
  return "";
}

class StatusTest : public ::testing::Test {
 protected:
  // Starts the gateway with its status listener on a free loopback port; strExtra goes into
  // [STATUS] (or into a section of its own that it names).
  bool StartGateway(const std::string& strExtra = "") {
    m_unStatusPort = FreeLoopbackPort();
    m_gateway.SetExtraSystemConfig("[STATUS]\nLISTEN=127.0.0.1:" + std::to_string(m_unStatusPort) +
                                   "\n" + strExtra);
    m_gateway.SetLogServer(m_upLogServer ? m_upLogServer->Port() : m_unLogPort);
    return m_gateway.Start() && m_gateway.WaitForLog("status page on http://");
  }
  void StartLogServer() {
    LogServerSimOptions options;
    options.strSecretKey = "0123456789abcdef";
    m_upLogServer.reset(new CLogServerSim(options));
    m_upLogServer->Start();
  }
  HttpExchange Get(const std::string& strTarget) { return GetHttp(m_unStatusPort, strTarget); }

  GatewayRun m_gateway;
  std::unique_ptr<CLogServerSim> m_upLogServer;
  uint16_t m_unStatusPort = 0;
  uint16_t m_unLogPort = 0;  // the log server's port when no simulator is started
};

}  // namespace

TEST_F(StatusTest, ACardReadShowsInTheCountersAndTheExpositionPassesPromtool) {
  SamvSimOptions samvOptions;
  samvOptions.eMode = SamvSimMode::Card;
  CSamvSim samv(samvOptions);
  CMcuSim mcu(0);
  mcu.Start();
  StartLogServer();
  m_gateway.SetModules({{samv.Port(), mcu.Port()}, {FreeLoopbackPort(), 0}});
  // The refused reader below is counted as connected; the log-in limit would close it after its
  // seconds, however long this machine takes to get there, so it is off here.
  ASSERT_TRUE(StartGateway("[DEVICE]\nLOGIN_TIMEOUT_S=0\n")) << m_gateway.Process().Output();
  EXPECT_EQ(Get("/health").nStatus, 200) << Get("/health").strBody;

  CDeviceSimClient device;
  ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
  CardReadResult result;
  ASSERT_EQ(device.ReadCard(Login(), &result), ReadStatus::Ok);
  ASSERT_TRUE(WaitFor([&] { return m_upLogServer->ValidDocuments() >= 1; }, seconds(30)));
  // The second reader takes the same module once the first has gone (the other one is dead).
  device.Close();
  ASSERT_TRUE(WaitFor([&] {
    return SeriesValue(Get("/metrics").strBody, "cardgate_readers_connected") == 0;
  }));
  CDeviceSimClient wrong;
  ASSERT_TRUE(wrong.Connect("127.0.0.1", kGatewayPort));
  CardReadResult refused;
  ASSERT_EQ(wrong.ReadCard(Login("nope"), &refused), ReadStatus::Ok);
  EXPECT_TRUE(refused.bRefused);

  const std::string strModule0 =
      "{index=\"0\",address=\"127.0.0.1\",port=\"" + std::to_string(samv.Port()) + "\"}";
  // The end of an upload moves its figures one after another (the attempt's duration, the
  // delivery, its time, the queue), and a page is read while they move: read until every figure
  // looked at below is in, then look at that page.
  std::string strMetrics;
  ASSERT_TRUE(WaitFor([&] {
    strMetrics = Get("/metrics").strBody;
    return SeriesValue(strMetrics, "cardgate_records_delivered_total") == 1 &&
           SeriesValue(strMetrics, "cardgate_login_failures_total") == 1;
  })) << strMetrics;
  (void)WaitFor([&] {
    strMetrics = Get("/metrics").strBody;
    return SeriesValue(strMetrics, "cardgate_module_sessions_total" + strModule0) == 2 &&
           SeriesValue(strMetrics, "cardgate_readers_connected") == 1 &&
           SeriesValue(strMetrics, "cardgate_records_queued") == 0 &&
           SeriesValue(strMetrics, "cardgate_upload_attempt_duration_seconds_count") == 1 &&
           SeriesValue(strMetrics, "cardgate_last_delivery_timestamp_seconds") > 1.7e9;
  });
  EXPECT_EQ(SeriesValue(strMetrics, "cardgate_records_delivered_total"), 1) << strMetrics;
  EXPECT_EQ(SeriesValue(strMetrics, "cardgate_login_failures_total"), 1);
  EXPECT_EQ(SeriesValue(strMetrics, "cardgate_module_sessions_total" + strModule0), 2);
  EXPECT_EQ(SeriesValue(strMetrics, "cardgate_readers_connected"), 1);
  EXPECT_EQ(SeriesValue(strMetrics, "cardgate_records_queued"), 0);
  EXPECT_EQ(SeriesValue(strMetrics, "cardgate_upload_attempt_duration_seconds_count"), 1);
  EXPECT_GT(SeriesValue(strMetrics, "cardgate_last_delivery_timestamp_seconds"), 1.7e9);
  EXPECT_EQ(SeriesValue(strMetrics, "cardgate_healthy"), 1);

  const std::string strPromtool = PromtoolPath();
  if (strPromtool.empty()) {
    GTEST_SKIP() << "promtool (Debian package prometheus) is not installed; scripts/test installs it";
  }
  const std::string strFile = m_gateway.Dir().File("metrics.txt");
  WriteFile(strFile, strMetrics);
  const std::string strCommand = strPromtool + " check metrics < " + strFile + " 2>&1";
  FILE* pPipe = ::popen(strCommand.c_str(), "r");
  ASSERT_NE(pPipe, nullptr);
  std::string strOutput;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pPipe) != nullptr) {
    strOutput += buffer;
  }
  EXPECT_EQ(::pclose(pPipe), 0) << strOutput;
  EXPECT_EQ(strOutput, "") << "promtool has no complaint";
}

TEST_F(StatusTest, HealthGoesRedWhenEveryModuleIsInError) {
  m_gateway.SetModules({{FreeLoopbackPort(), 0}});
  ASSERT_TRUE(StartGateway());
  EXPECT_EQ(Get("/health").nStatus, 200) << "a module never tried is not in ERROR";
  CDeviceSimClient device;
  ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
  ASSERT_TRUE(m_gateway.WaitForLog("GetFreeTcpClient False"));
  HttpExchange health;
  ASSERT_TRUE(WaitFor([&] {
    health = Get("/health");
    return health.nStatus == 503;
  }));
  EXPECT_EQ(health.strBody, "every module is in ERROR (1)\n");
  const nlohmann::json status = nlohmann::json::parse(Get("/status").strBody);
  EXPECT_EQ(status["modules"][0]["state"], "error");
  EXPECT_GE(status["modules"][0]["connect_failures"], 1);
  EXPECT_NE(status["errors"].dump().find("did not connect; now ERROR"), std::string::npos)
      << status["errors"].dump();
}

TEST_F(StatusTest, HealthGoesRedWhenRecordsWaitTooLongOrAreRefused) {
  SamvSimOptions samvOptions;
  samvOptions.eMode = SamvSimMode::Card;
  CSamvSim samv(samvOptions);
  StartLogServer();
  m_upLogServer->SetStatus(403);
  m_gateway.SetModules({{samv.Port(), 0}});
  ASSERT_TRUE(StartGateway("MAX_RECORD_AGE_S=2\n"));
  CDeviceSimClient device;
  ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
  CardReadResult result;
  // One refused record is not a log server that refuses everything: cards keep coming, and
  // each is refused, until the refusals span the limit.
  ASSERT_EQ(device.ReadCard(Login(), &result), ReadStatus::Ok);
  ASSERT_TRUE(WaitFor([&] { return m_upLogServer->Answers() >= 1; })) << "refused once";
  const auto tmFirstRefusal = std::chrono::steady_clock::now();
  EXPECT_EQ(Get("/health").nStatus, 200);
  // What is under test is the time itself: the next refusal comes when the limit has passed.
  // (a second more than the limit: the gateway counts in whole seconds).
  std::this_thread::sleep_until(tmFirstRefusal + seconds(3));
  ASSERT_EQ(device.ReadCard(Login(), &result), ReadStatus::Ok);
  HttpExchange health;
  ASSERT_TRUE(WaitFor([&] {
    health = Get("/health");
    return health.nStatus == 503;
  }, seconds(20))) << health.strBody;
  EXPECT_NE(health.strBody.find("the log server has refused every record for"),
            std::string::npos)
      << health.strBody;

  // The log server goes away: the next record waits, and grows too old.
  m_upLogServer.reset();
  ASSERT_EQ(device.ReadCard(Login(), &result), ReadStatus::Ok);
  ASSERT_TRUE(WaitFor([&] {
    health = Get("/health");
    return health.strBody.find("the oldest queued record is") != std::string::npos;
  }, seconds(20))) << health.strBody;
  EXPECT_EQ(health.nStatus, 503);
}

TEST_F(StatusTest, NoAnswerHoldsASecretOrACardsContent) {
  SamvSimOptions samvOptions;
  samvOptions.eMode = SamvSimMode::Card;
  CSamvSim samv(samvOptions);
  m_gateway.SetModules({{samv.Port(), 0}});
  m_unLogPort = FreeLoopbackPort();  // a log server that is down: the record waits
  ASSERT_TRUE(StartGateway());
  CDeviceSimClient device;
  ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
  CardReadResult result;
  ASSERT_EQ(device.ReadCard(Login(), &result), ReadStatus::Ok);
  ASSERT_TRUE(WaitFor([&] {
    return nlohmann::json::parse(Get("/status").strBody)["records"]["queued"] == 1;
  }));
  for (const char* szPath : {"/", "/metrics", "/health", "/status"}) {
    SCOPED_TRACE(szPath);
    const std::string strBody = Get(szPath).strBody;
    ASSERT_FALSE(strBody.empty());
    // The administrator's password, the record key, the account password, the card holder's
    // name and the request's transaction text.
    for (const char* szSecret : {"adminpw", "0123456789abcdef", "pass1001", "张三", "A-17",
                                 "READER-42", "app01"}) {
      EXPECT_EQ(strBody.find(szSecret), std::string::npos) << szSecret;
    }
  }
}

TEST_F(StatusTest, SettingsDecideWhetherAndWhereTheListenerRuns) {
  // Not there at all: no listener, and nothing said about one.
  ASSERT_TRUE(m_gateway.Start());
  EXPECT_EQ(m_gateway.CountLog("status page on"), 0u);
  m_gateway.Process().Signal(SIGKILL);

  // A listen address or an allow list that does not read costs the listener, never the
  // gateway, and never opens the window to everyone.
  struct Case {
    const char* szLines;
    const char* szLog;
  };
  const Case kCases[] = {
      {"LISTEN=localhost:8480\n",
       "status listener on localhost:8480 cannot start (STATUS.LISTEN: \"localhost\" is not an "
       "IPv4 address): the gateway runs without it"},
      {"LISTEN=127.0.0.1:8480\nALLOW=10.0.0.0/99\n", "cannot start (STATUS.ALLOW: "},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szLines);
    m_gateway.SetExtraSystemConfig(std::string("[STATUS]\n") + c.szLines);
    m_gateway.SetLogServer(0);
    ASSERT_TRUE(m_gateway.Start());
    EXPECT_TRUE(m_gateway.WaitForLog(c.szLog)) << m_gateway.Process().Output();
    EXPECT_EQ(m_gateway.CountLog("status page on"), 0u);
    CDeviceSimClient device;
    EXPECT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
    m_gateway.Process().Signal(SIGKILL);
    int nStatus = 0;
    ASSERT_TRUE(m_gateway.Process().Wait(seconds(20), &nStatus));
  }

  // A port that is taken costs the listener, not the gateway.
  const int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t unLength = sizeof addr;
  ASSERT_EQ(::bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(nFd, 1), 0);
  ASSERT_EQ(::getsockname(nFd, reinterpret_cast<sockaddr*>(&addr), &unLength), 0);
  m_gateway.SetExtraSystemConfig("[STATUS]\nLISTEN=127.0.0.1:" +
                                 std::to_string(ntohs(addr.sin_port)) + "\n");
  m_gateway.SetLogServer(0);
  ASSERT_TRUE(m_gateway.Start());
  EXPECT_TRUE(m_gateway.WaitForLog("cannot start (bind: Address already in use): the gateway "
                                   "runs without it"));
  CDeviceSimClient device;
  EXPECT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
  ::close(nFd);
}
