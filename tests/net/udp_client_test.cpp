#include "net/udp_client.h"

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

#include "support/test_util.h"

namespace {

using boost::asio::ip::udp;

// A plain UDP socket on 127.0.0.1 standing for a module.
class CPeer {
 public:
  CPeer() : m_socket(m_io, udp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {}
  uint16_t Port() const { return m_socket.local_endpoint().port(); }
  void SendTo(uint16_t unPort, const std::vector<uint8_t>& arrData) {
    m_socket.send_to(boost::asio::buffer(arrData),
                     udp::endpoint(boost::asio::ip::address_v4::loopback(), unPort));
  }
  // The next datagram, or nothing when none arrives within the deadline.
  std::vector<uint8_t> ReceiveOne() {
    if (!WaitFor([this] { return m_socket.available() > 0; })) {
      return {};
    }
    std::vector<uint8_t> arrData(1024);
    udp::endpoint sender;
    size_t n = m_socket.receive_from(boost::asio::buffer(arrData), sender);
    arrData.resize(n);
    return arrData;
  }

 private:
  boost::asio::io_context m_io;
  udp::socket m_socket;
};

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

constexpr auto kLongWait = std::chrono::seconds(10);

class CUdpClientTest : public ::testing::Test {
 protected:
  CUdpClientTest() : m_client(udp::endpoint(boost::asio::ip::address_v4::any(), 0)) {}

  std::string ReceiveText(std::chrono::steady_clock::duration timeout,
                          boost::system::error_code& ec) {
    uint8_t arrBuf[256] = {0};
    size_t n = m_client.Receive(arrBuf, sizeof(arrBuf), timeout, ec);
    return std::string(reinterpret_cast<char*>(arrBuf), n);
  }

  CUdpClient m_client;
  CPeer m_peer;
};

TEST_F(CUdpClientTest, BindsAnEphemeralPort) {
  EXPECT_NE(m_client.LocalPort(), 0);
}

TEST_F(CUdpClientTest, TimeoutReturnsZeroAndTheNextReceiveWorks) {
  boost::system::error_code ec;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReceiveText(std::chrono::milliseconds(200), ec), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(ec, boost::asio::error::operation_aborted);

  // The context was stopped by the previous call; this one must still run.
  m_peer.SendTo(m_client.LocalPort(), Bytes("after"));
  EXPECT_EQ(ReceiveText(kLongWait, ec), "after");
  EXPECT_FALSE(ec);
  // And a second time-out after a success behaves the same.
  EXPECT_EQ(ReceiveText(std::chrono::milliseconds(50), ec), "");
  EXPECT_EQ(ec, boost::asio::error::operation_aborted);
}

TEST_F(CUdpClientTest, DatagramsWaitingBeforeTheCallAreReturnedInOrderFromAnySender) {
  boost::system::error_code ec;
  EXPECT_EQ(ReceiveText(std::chrono::milliseconds(50), ec), "");
  // A late reply arrives between two exchanges, then one from another host.
  CPeer other;
  m_peer.SendTo(m_client.LocalPort(), Bytes("late"));
  other.SendTo(m_client.LocalPort(), Bytes("other"));
  EXPECT_EQ(ReceiveText(kLongWait, ec), "late");
  EXPECT_EQ(ReceiveText(kLongWait, ec), "other");
  EXPECT_FALSE(ec);
}

// The sender is reported with each datagram, and a drain drops everything queued (a long
// datagram whole) without waiting, so the next receive sees only what comes after it.
TEST_F(CUdpClientTest, SenderIsReportedAndDrainDropsWhatIsQueued) {
  CPeer other;
  m_peer.SendTo(m_client.LocalPort(), Bytes("first"));
  uint8_t arrBuf[16] = {0};
  boost::system::error_code ec;
  udp::endpoint sender;
  ASSERT_EQ(m_client.Receive(arrBuf, sizeof(arrBuf), kLongWait, ec, &sender), 5u);
  EXPECT_EQ(sender.port(), m_peer.Port());
  EXPECT_EQ(sender.address(), boost::asio::ip::address_v4::loopback());

  EXPECT_EQ(m_client.Drain(), 0u);
  m_peer.SendTo(m_client.LocalPort(), Bytes("late"));
  other.SendTo(m_client.LocalPort(), std::vector<uint8_t>(600, 7));
  m_peer.SendTo(m_client.LocalPort(), Bytes("later"));
  size_t unDropped = 0;
  ASSERT_TRUE(WaitFor([&] {
    unDropped += m_client.Drain();
    return unDropped == 3;
  }));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(m_client.Drain(), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  other.SendTo(m_client.LocalPort(), Bytes("next"));
  EXPECT_EQ(ReceiveText(kLongWait, ec), "next");
}

TEST_F(CUdpClientTest, DatagramIsCutToTheCapacity) {
  struct Case {
    size_t unSent;
    size_t unCapacity;
    size_t unExpected;
  } const cases[] = {{300, 256, 256}, {256, 256, 256}, {255, 256, 255}, {1, 256, 1}, {10, 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.unSent) + " into " + std::to_string(c.unCapacity));
    std::vector<uint8_t> arrSent(c.unSent);
    for (size_t i = 0; i < c.unSent; ++i) {
      arrSent[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    m_peer.SendTo(m_client.LocalPort(), arrSent);
    std::vector<uint8_t> arrBuf(c.unCapacity + 8, 0xEE);  // guard bytes after the capacity
    boost::system::error_code ec;
    size_t n = m_client.Receive(arrBuf.data(), c.unCapacity, kLongWait, ec);
    EXPECT_EQ(n, c.unExpected);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_EQ(0, std::memcmp(arrBuf.data(), arrSent.data(), c.unExpected));
    for (size_t i = c.unCapacity; i < arrBuf.size(); ++i) {
      EXPECT_EQ(arrBuf[i], 0xEE) << "written past the capacity at " << i;
    }
  }
  // The cut datagram left nothing behind for the next exchange.
  boost::system::error_code ec;
  EXPECT_EQ(ReceiveText(std::chrono::milliseconds(50), ec), "");
}

TEST_F(CUdpClientTest, SendDataReportsBytesOrFailure) {
  struct Case {
    const char* szAddress;
    int32_t nExpected;
    bool bLogged;
  } const cases[] = {
      {"127.0.0.1", 5, false},  {nullptr, 0, false}, {"abcdef", 0, true},  // not an address at all
      {"::1", 0, true},          // IPv6 through the IPv4 socket
      {"127.0.0.1.5", 0, true},  // almost a dotted quad
  };
  const std::vector<uint8_t> arrData = Bytes("hello");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szAddress == nullptr ? "(null)" : c.szAddress);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int32_t n = m_client.SendData(c.szAddress, m_peer.Port(), arrData.data(), arrData.size());
    std::string strOut = testing::internal::GetCapturedStdout();
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_EQ(n, c.nExpected);
    if (c.bLogged) {
      EXPECT_EQ(strErr.rfind("Exception: ", 0), 0u) << strErr;
      EXPECT_EQ(strErr.back(), '\n');
      std::string strHead = "FUNCTION SendData  LINE ";
      EXPECT_NE(strOut.find("[" + strHead), std::string::npos) << strOut;
      std::string strPeer = std::string(" ") + c.szAddress + ":" + std::to_string(m_peer.Port()) +
                            " Exception in thread:";
      EXPECT_NE(strOut.find(strPeer), std::string::npos) << strOut;
      EXPECT_NE(strOut.find("!]\r\n"), std::string::npos) << strOut;
    } else {
      EXPECT_EQ(strOut, "");
      EXPECT_EQ(strErr, "");
    }
    if (c.nExpected > 0) {
      EXPECT_EQ(m_peer.ReceiveOne(), arrData);
    }
  }
}

TEST_F(CUdpClientTest, PortIsTakenModulo65536) {
  const std::vector<uint8_t> arrData = Bytes("wrap");
  int32_t nPort = static_cast<int32_t>(m_peer.Port()) + 65536;
  EXPECT_EQ(m_client.SendData("127.0.0.1", nPort, arrData.data(), arrData.size()), 4);
  EXPECT_EQ(m_peer.ReceiveOne(), arrData);
}

TEST(CUdpClientBindTest, TakenPortThrowsBindError) {
  CPeer peer;
  try {
    CUdpClient client(udp::endpoint(boost::asio::ip::address_v4::loopback(), peer.Port()));
    FAIL() << "bound a port that is in use";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("bind", 0), 0u) << e.what();
  }
}

}  // namespace
