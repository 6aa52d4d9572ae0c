#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "config/byte_io.h"
#include "decodelog/card_document.h"
#include "support/process.h"
#include "support/test_util.h"

namespace {

const char kKey[] = "0123456789abcdef0123456789abcdef";

// The port the simulator printed in "listening on 127.0.0.1:<port>, ...".
uint16_t ListeningPort(ChildProcess& child) {
  const std::string strMark = "listening on 127.0.0.1:";
  // The whole line: a pipe may hand over the first digits of the port before the rest.
  if (!child.WaitForOutput(", mode normal\n")) {
    return 0;
  }
  std::string strOut = child.Output();
  return static_cast<uint16_t>(std::atoi(strOut.c_str() + strOut.find(strMark) + strMark.size()));
}

std::string GatewayRequest(uint16_t unPort) {
  SystemConfigStruct cfg;
  std::memset(&cfg, 0, sizeof(cfg));
  CopyText(cfg.szLogServerIp, "127.0.0.1");
  cfg.unLogServerPort = unPort;
  CopyText(cfg.szHttpLogUrl, "/card/log");
  CopyText(cfg.szAppKey, "demo");
  CopyText(cfg.szSecretKey, kKey);
  CopyText(cfg.szSign, "sig");
  DecodeLogRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  rec.unSamvDataLength = 288;  // an answer without card data: empty fields
  CopyText(rec.szDeviceId, "TERM-7");
  CopyText(rec.szTransData, "{\"shop\":3}");
  return BuildSamvDecodeLogHttpData(cfg, &rec, boost::posix_time::microsec_clock::local_time());
}

}  // namespace

TEST(LogServerSimCliTest, PrintsEachRecordAndStopsOnSignal) {
  ChildProcess child(CARDGATE_SIM_EXE,
                     {"logserver", "--port", "0", "--secret-key", kKey, "--start-delay", "0.2"});
  ASSERT_TRUE(child.WaitForOutput("listening in 200 ms"));
  uint16_t unPort = ListeningPort(child);
  ASSERT_NE(unPort, 0) << child.Output() << child.Errors();

  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), unPort));
  boost::asio::write(socket, boost::asio::buffer(GatewayRequest(unPort)));
  ASSERT_TRUE(child.WaitForOutput("answered")) << child.Output();
  std::string strOut = child.Output();
  EXPECT_NE(strOut.find("card record for /card/log: name , gender , nation 汉"), std::string::npos)
      << strOut;
  EXPECT_NE(strOut.find("device TERM-7, transdata {\"shop\":3}"), std::string::npos) << strOut;
  EXPECT_NE(strOut.find("trailing comma"), std::string::npos) << strOut;
  EXPECT_NE(strOut.find("with 200 OK"), std::string::npos) << strOut;
  socket.close();

  child.Signal(SIGTERM);
  int nStatus = -1;
  ASSERT_TRUE(child.Wait(std::chrono::seconds(20), &nStatus));
  EXPECT_EQ(nStatus, 0);
  EXPECT_TRUE(child.WaitForOutput("stopped after 1 connections, 1 requests, 1 records read"))
      << child.Output();
}

TEST(LogServerSimCliTest, RefusesABusyPort) {
  ChildProcess first(CARDGATE_SIM_EXE, {"logserver", "--port", "0", "--secret-key", kKey});
  uint16_t unPort = ListeningPort(first);
  ASSERT_NE(unPort, 0);
  ChildProcess second(CARDGATE_SIM_EXE,
                      {"logserver", "--port", std::to_string(unPort), "--secret-key", kKey});
  int nStatus = -1;
  ASSERT_TRUE(second.Wait(std::chrono::seconds(20), &nStatus));
  EXPECT_EQ(nStatus, 1);
  // Standard error is collected by a reader thread that may still be at work.
  EXPECT_TRUE(WaitFor([&] { return second.Errors().find("cannot bind") != std::string::npos; }))
      << second.Errors();
  first.Signal(SIGINT);
  ASSERT_TRUE(first.Wait(std::chrono::seconds(20), &nStatus));
  EXPECT_EQ(nStatus, 0);
}
