// The gateway as a service: where it finds its files, what its command line answers, and what it
// tells a service manager (a notification socket of the test's own).
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "gateway_fixture.h"
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
