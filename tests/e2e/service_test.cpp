// The gateway as a service: where it finds its files, what its command line answers, and what it
// tells a service manager (a notification socket of the test's own).
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "device_sim.h"
#include "gateway_fixture.h"
#include "logserver_sim.h"
#include "mcu_sim.h"
#include "samv_sim.h"
#include "support/notify_socket.h"
#include "support/test_util.h"

namespace {

using std::chrono::seconds;

// Every message until one that contains strUntil (included), or until the time runs out.
std::vector<std::string> ReceiveUntil(NotifySocket& manager, const std::string& strUntil,
                                      seconds timeout = seconds(20)) {
  std::vector<std::string> arrMessages;
  const auto tmEnd = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < tmEnd) {
    const std::string strMessage = manager.Receive(std::chrono::milliseconds(200));
    if (strMessage.empty()) {
      continue;
    }
    arrMessages.push_back(strMessage);
    if (strMessage.find(strUntil) != std::string::npos) {
      break;
    }
  }
  return arrMessages;
}

std::unique_ptr<CSamvSim> StartTextCardModule() {
  SamvSimOptions options;
  options.eMode = SamvSimMode::Card;
  options.eCardKind = SamvCardKind::Text;
  return std::unique_ptr<CSamvSim>(new CSamvSim(options));
}

LoginRequest Login(uint32_t unAccount, const std::string& strPassword) {
  LoginRequest r;
  r.byCommand = 1;
  r.unAccountNo = unAccount;
  r.strPassword = strPassword;
  r.strDeviceId = "READER-" + std::to_string(unAccount);
  r.strTransData = "{}";
  return r;
}

// One card read on the device's connection that the module answers.
bool ReadsACard(CDeviceSimClient& device, uint32_t unAccount, const std::string& strPassword) {
  CardReadResult result;
  return device.ReadCard(Login(unAccount, strPassword), &result) == ReadStatus::Ok &&
         !result.bRefused && result.arrAnswer.size() == 288u;
}

}  // namespace

TEST(ServiceTest, TellsTheServiceManagerWhenItIsReadyAliveAndStopping) {
  TempDir socketDir;
  NotifySocket manager(socketDir.File("notify"));
  ASSERT_TRUE(manager.Bound());
  GatewayRun gateway;
  gateway.SetModules({{1, 0}, {2, 0}});
  gateway.SetEnvironment({"NOTIFY_SOCKET=" + socketDir.File("notify"), "WATCHDOG_USEC=400000"});
  ASSERT_TRUE(gateway.Start());
  const std::vector<std::string> arrReady = ReceiveUntil(manager, "READY=1");
  ASSERT_FALSE(arrReady.empty());
  EXPECT_EQ(arrReady.back(), "READY=1\nSTATUS=busy 0 free 2 error 0 readers 0 queued 0");
  // While the main loop and the upload go on, the watchdog is fed twice per period.
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(ReceiveUntil(manager, "WATCHDOG=1", seconds(5)).empty());
  }
  gateway.Process().Signal(SIGTERM);
  const std::vector<std::string> arrStop = ReceiveUntil(manager, "STOPPING=1");
  ASSERT_FALSE(arrStop.empty());
  EXPECT_EQ(arrStop.back(), "STOPPING=1");
  int nStatus = -1;
  ASSERT_TRUE(gateway.Process().Wait(seconds(20), &nStatus));
  EXPECT_EQ(nStatus, 0);
}

TEST(ServiceTest, WithoutAServiceManagerNothingIsToldAndNothingChanges) {
  GatewayRun gateway;
  ASSERT_TRUE(gateway.Start());
  gateway.Process().Signal(SIGTERM);
  int nStatus = -1;
  ASSERT_TRUE(gateway.Process().Wait(seconds(20), &nStatus));
  EXPECT_EQ(nStatus, 0);
}

TEST(ServiceTest, TheConfigurationDirectoryComesFromTheEnvironment) {
  GatewayRun gateway;
  // The executable's own directory holds one module; the named directory holds three.
  gateway.SetModules({{1, 0}});
  TempDir configDir;
  configDir.Write("SamvList.ini",
                  "[IP_LIST]\nSAMV_COUNT=3\nIP0=127.0.0.1\nPORT0=1\nIP1=127.0.0.1\nPORT1=2\n"
                  "IP2=127.0.0.1\nPORT2=3\n");
  configDir.Write("SystemConfig.ini", gateway.Dir().Read("SystemConfig.ini"));
  configDir.Write("UserList.ini", gateway.Dir().Read("UserList.ini"));
  gateway.SetEnvironment({"CARDGATE_CONFIG_DIR=" + configDir.Path().substr(0, configDir.Path().size() - 1)});
  ASSERT_TRUE(gateway.Start());
  EXPECT_TRUE(gateway.WaitForLog("Samv Device Size 3"));
  // A relative SPOOL.DIR is taken relative to the configuration directory.
  EXPECT_TRUE(gateway.WaitForLog("spool " + configDir.Path() + "spool/"));
}

TEST(ServiceTest, TheCommandLineExplainsItselfAndNeverTakesAnOptionForACommand) {
  struct Case {
    std::vector<std::string> args;
    int nStatus;
    const char* szOut;  // in standard output ("" for none)
    const char* szErr;  // in standard error ("" for none)
  };
  const std::vector<Case> kCases = {
      {{"--version"}, 0, "cardgate 1.", ""},
      {{"--help"}, 0, "cardgate ADDRESS PORT COMMAND", ""},
      {{"-x"}, 2, "", "cardgate: unknown option '-x'"},
      {{"127.0.0.1", "--getmcurtc"}, 2, "", "unknown option '--getmcurtc'"},
      {{"--version", "extra"}, 2, "", "unknown option '--version'"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.args.front());
    GatewayRun gateway;
    ASSERT_TRUE(gateway.Start(c.args, false));
    int nStatus = -1;
    ASSERT_TRUE(gateway.Process().Wait(seconds(20), &nStatus));
    EXPECT_EQ(nStatus, c.nStatus);
    EXPECT_NE(gateway.Process().Output().find(c.szOut), std::string::npos)
        << gateway.Process().Output();
    EXPECT_NE(gateway.Process().Errors().find(c.szErr), std::string::npos)
        << gateway.Process().Errors();
    // Nothing was started: no run-log line of the gateway's.
    EXPECT_EQ(gateway.Process().Output().find("Samv Device Size"), std::string::npos);
  }
}

TEST(ServiceTest, CheckReadsTheFilesAsAStartWouldWithoutBindingAPort) {
  // The device port is taken: a check must not need it.
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor holder(io);
  boost::system::error_code ec;
  holder.open(boost::asio::ip::tcp::v4(), ec);
  holder.set_option(boost::asio::socket_base::reuse_address(true), ec);
  holder.bind({boost::asio::ip::address_v4::any(), 31213}, ec);
  holder.listen(1, ec);
  ASSERT_FALSE(ec) << ec.message();

  GatewayRun good;
  good.SetModules({{16000, 0}});
  ASSERT_TRUE(good.Start({"--check"}, false));
  int nStatus = -1;
  ASSERT_TRUE(good.Process().Wait(seconds(20), &nStatus));
  EXPECT_EQ(nStatus, 0) << good.Process().Output();
  EXPECT_NE(good.Process().Output().find(": 0 error(s), 0 warning(s): the gateway can start"),
            std::string::npos)
      << good.Process().Output();

  GatewayRun bad;
  bad.SetExtraSystemConfig("[DEVICE]\nALLOW=10.0.0.0/40\n");
  bad.SetLogServer(0);
  ASSERT_TRUE(bad.Start({"--check"}, false));
  ASSERT_TRUE(bad.Process().Wait(seconds(20), &nStatus));
  EXPECT_EQ(nStatus, 1);
  EXPECT_NE(bad.Process().Output().find("SystemConfig.ini:12: error: DEVICE.ALLOW: "),
            std::string::npos)
      << bad.Process().Output();
  EXPECT_NE(bad.Process().Output().find("the gateway would not start"), std::string::npos);
}

TEST(ServiceTest, AReaderKeepsReadingCardsAcrossAReload) {
  std::unique_ptr<CSamvSim> upFirst = StartTextCardModule();
  std::unique_ptr<CSamvSim> upSecond = StartTextCardModule();
  CMcuSim mcu(0);
  mcu.Start();
  LogServerSimOptions logOptions;
  logOptions.strSecretKey = "0123456789abcdef";
  CLogServerSim logServer(logOptions);
  logServer.Start();
  TempDir socketDir;
  NotifySocket manager(socketDir.File("notify"));
  ASSERT_TRUE(manager.Bound());

  // At first only the first module, and a log server that nothing answers at.
  GatewayRun gateway;
  gateway.SetModules({{upFirst->Port(), mcu.Port()}});
  gateway.SetLogServer(1);
  gateway.SetEnvironment({"NOTIFY_SOCKET=" + socketDir.File("notify")});
  ASSERT_TRUE(gateway.Start());
  ASSERT_FALSE(ReceiveUntil(manager, "READY=1").empty());
  CDeviceSimClient reader;
  ASSERT_TRUE(reader.Connect("127.0.0.1", 31213));
  ASSERT_TRUE(ReadsACard(reader, 1001, "pass1001"));
  ASSERT_TRUE(gateway.WaitForLog("Connect False"));  // the record waits for a log server

  // The first module goes, the second comes, a new account and the real log server.
  gateway.SetModules({{upSecond->Port(), mcu.Port()}});
  gateway.SetLogServer(logServer.Port());
  gateway.Dir().Write("UserList.ini",
                      "[USER_LIST]\nUSER_COUNT=2\nPASSWORD_0=pass1001\nACCOUNT_NO_0=1001\n"
                      "TYPE_0=0\nPASSWORD_1=pass1003\nACCOUNT_NO_1=1003\nTYPE_1=0\n");
  gateway.Process().Signal(SIGHUP);
  // (Status lines of the pool's changes come before.)
  const std::vector<std::string> arrReloading = ReceiveUntil(manager, "RELOADING=1");
  ASSERT_FALSE(arrReloading.empty());
  EXPECT_EQ(arrReloading.back(), "RELOADING=1");
  const std::vector<std::string> arrReload = ReceiveUntil(manager, "READY=1");
  ASSERT_EQ(arrReload.size(), 1u);
  // The reader still holds the first module; the second is free. (The record may already be on
  // its way to the log server.)
  EXPECT_EQ(arrReload.back().rfind("READY=1\nSTATUS=busy 1 free 1 error 0 readers 1 queued ", 0),
            0u)
      << arrReload.back();
  EXPECT_TRUE(gateway.WaitForLog("configuration reloaded: 1 modules (1 joined, 0 left, 1 leave "
                                 "once their readers have gone), 2 accounts"));

  // The same connection reads on, with the new account too; every record reaches the log server
  // the files now name, the one stored before the reload first.
  EXPECT_TRUE(ReadsACard(reader, 1003, "pass1003"));
  EXPECT_TRUE(ReadsACard(reader, 1001, "pass1001"));
  EXPECT_TRUE(WaitFor([&] { return logServer.ValidDocuments() >= 3; }, seconds(30)))
      << gateway.Process().Output();
  EXPECT_EQ(gateway.CountLog("Device Disconnect"), 0u);

  // A second reader gets the module that joined; the first module leaves with its reader.
  CDeviceSimClient second;
  ASSERT_TRUE(second.Connect("127.0.0.1", 31213));
  EXPECT_TRUE(ReadsACard(second, 1003, "pass1003"));
  EXPECT_TRUE(gateway.WaitForLog("Samv Server Ip 127.0.0.1 Port " +
                                 std::to_string(upSecond->Port()) + " Index 0"));
  reader.Close();
  EXPECT_TRUE(gateway.WaitForLog("module 127.0.0.1:" + std::to_string(upFirst->Port()) +
                                 " left the pool"));

  // A module list that does not read: refused, said so, and the gateway goes on as it ran.
  gateway.Dir().Write("SamvList.ini", "[IP_LIST]\nSAMV_COUNT=1\n[IP_LIST\n");
  gateway.Process().Signal(SIGHUP);
  const std::vector<std::string> arrRefused = ReceiveUntil(manager, "READY=1");
  ASSERT_FALSE(arrRefused.empty());
  EXPECT_NE(arrRefused.back().find("; reload refused: SamvList.ini:3: error: Read Error: "
                                   "unmatched '['"),
            std::string::npos)
      << arrRefused.back();
  EXPECT_TRUE(gateway.WaitForLog("configuration not reloaded: SamvList.ini:3"));
  EXPECT_TRUE(ReadsACard(second, 1001, "pass1001"));
  EXPECT_TRUE(WaitFor([&] { return logServer.ValidDocuments() >= 5; }, seconds(30)));
  EXPECT_EQ(logServer.ValidDocuments(), 5u);
}
