#include "net/tcp_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "support/emulation.h"
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "net/net_test_util.h"
#include "net/peer_timing.h"
#include "samv_sim.h"
#include "support/test_util.h"

namespace {

using boost::asio::ip::tcp;
using std::chrono::milliseconds;

// What the client's receive callback saw.
struct ClientObservations {
  std::mutex mtx;  // guards every member below
  std::vector<std::vector<uint8_t>> arrBlocks;
  std::vector<CTcpClient*> arrClients;
  std::vector<DeviceSocket*> arrPeers;
  std::vector<bool> arrSocketGiven;
  bool bHold = false;  // the callback waits while this is set (a thread busy in its callback)
  int nInside = 0;     // callbacks running now

  void Reset() {
    std::lock_guard<std::mutex> lock(mtx);
    arrBlocks.clear();
    arrClients.clear();
    arrPeers.clear();
    arrSocketGiven.clear();
    bHold = false;
    nInside = 0;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mtx);
    return arrBlocks.size();
  }
  std::vector<std::vector<uint8_t>> Blocks() {
    std::lock_guard<std::mutex> lock(mtx);
    return arrBlocks;
  }
};

ClientObservations g_obs;

uint32_t OnClientReceive(CTcpClient* pClient, tcp::socket* pSocket, const uint8_t* pData,
                         uint32_t unCount, DeviceHandle hPeer) {
  {
    std::lock_guard<std::mutex> lock(g_obs.mtx);
    g_obs.arrBlocks.emplace_back(pData, pData + unCount);
    g_obs.arrClients.push_back(pClient);
    g_obs.arrPeers.push_back(hPeer.get());
    g_obs.arrSocketGiven.push_back(pSocket != nullptr);
    ++g_obs.nInside;
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(g_obs.mtx);
      if (!g_obs.bHold) {
        --g_obs.nInside;
        return 1;
      }
    }
    std::this_thread::sleep_for(milliseconds(2));
  }
}

// The options of the SAMV socket, read by a receive callback (which is handed that socket).
struct SocketOptions {
  std::mutex mtx;
  bool bRead = false;
  int nKeepAlive = -1;
  int nNoDelay = -1;
  int nKeepIdle = -1;
  int nKeepInterval = -1;
  int nKeepCount = -1;
  int nUserTimeout = -1;
};
SocketOptions g_options;

uint32_t ReadSocketOptions(CTcpClient*, tcp::socket* pSocket, const uint8_t*, uint32_t,
                           DeviceHandle) {
  struct Option {
    int nLevel;
    int nName;
    int* pnValue;
  };
  std::lock_guard<std::mutex> lock(g_options.mtx);
  const Option options[] = {{SOL_SOCKET, SO_KEEPALIVE, &g_options.nKeepAlive},
                            {IPPROTO_TCP, TCP_NODELAY, &g_options.nNoDelay},
                            {IPPROTO_TCP, TCP_KEEPIDLE, &g_options.nKeepIdle},
                            {IPPROTO_TCP, TCP_KEEPINTVL, &g_options.nKeepInterval},
                            {IPPROTO_TCP, TCP_KEEPCNT, &g_options.nKeepCount},
                            {IPPROTO_TCP, TCP_USER_TIMEOUT, &g_options.nUserTimeout}};
  for (const Option& o : options) {
    socklen_t unSize = sizeof(int);
    if (::getsockopt(pSocket->native_handle(), o.nLevel, o.nName, o.pnValue, &unSize) != 0) {
      *o.pnValue = -2;
    }
  }
  g_options.bRead = true;
  return 1;
}

std::vector<uint8_t> Bytes(const std::string& strText) {
  return std::vector<uint8_t>(strText.begin(), strText.end());
}

SamvSimOptions SimOptions(SamvSimMode eMode) {
  SamvSimOptions options;
  options.eMode = eMode;
  return options;
}

class CTcpClientTest : public testing::Test {
 protected:
  void SetUp() override {
    g_obs.Reset();
    m_client.SetReceiveCallback(OnClientReceive);
  }
  void TearDown() override {
    {
      std::lock_guard<std::mutex> lock(g_obs.mtx);
      g_obs.bHold = false;
    }
    m_client.Close();
    EXPECT_TRUE(ThreadsEnded());
  }

  bool ThreadsEnded() {
    return WaitFor([this] { return m_client.ThreadCount() == 0; });
  }
  void ConfigureFor(uint16_t unPort) { m_client.Configure("127.0.0.1", unPort, 7000, 3); }
  bool ConnectedWithin() {
    return WaitFor([this] { return m_client.IsConnected(); }, milliseconds(5000));
  }

  boost::asio::io_context m_io;
  CTcpClient m_client;
};

TEST_F(CTcpClientTest, ConfigureWithNullAddressKeepsConfiguration) {
  m_client.Configure("10.1.2.3", 9000, 9001, 4);
  m_client.Configure(nullptr, 1, 2, 3);
  char szAddress[32];
  int32_t nPort = 0;
  int32_t nVelm = 0;
  uint32_t unIndex = 0;
  m_client.GetServerInfo(szAddress, sizeof szAddress, &nPort, &nVelm, &unIndex);
  EXPECT_STREQ(szAddress, "10.1.2.3");
  EXPECT_EQ(nPort, 9000);
  EXPECT_EQ(nVelm, 9001);
  EXPECT_EQ(unIndex, 4u);
}

TEST_F(CTcpClientTest, GetServerInfoCutsAddressToBufferAndIgnoresMissingOutputs) {
  m_client.Configure("192.168.100.200", 1, 2, 9);
  char szShort[8];
  int32_t nPort = -1;
  uint32_t unIndex = 0;
  m_client.GetServerInfo(szShort, sizeof szShort, &nPort, nullptr, &unIndex);
  EXPECT_STREQ(szShort, "192.168");
  EXPECT_EQ(nPort, 1);
  EXPECT_EQ(unIndex, 9u);

  char szAddress[32] = "unchanged";
  nPort = -1;
  m_client.GetServerInfo(szAddress, sizeof szAddress, nullptr, nullptr, &unIndex);
  m_client.GetServerInfo(szAddress, sizeof szAddress, &nPort, nullptr, nullptr);
  m_client.GetServerInfo(nullptr, 32, &nPort, nullptr, &unIndex);
  EXPECT_STREQ(szAddress, "unchanged");
  EXPECT_EQ(nPort, -1);
}

TEST_F(CTcpClientTest, StartWithPortZeroMakesNoThread) {
  m_client.Configure("127.0.0.1", 0, 0, 0);
  m_client.Start(DeviceHandle());
  EXPECT_EQ(m_client.ThreadCount(), 0u);
  EXPECT_FALSE(m_client.IsConnected());
  // No connection is coming: SendData has nothing to wait for and gives up.
  const uint8_t arrData[2] = {1, 2};
  EXPECT_EQ(m_client.SendData(arrData, 2), 0u);
  auto tmStart = std::chrono::steady_clock::now();
  EXPECT_FALSE(m_client.WaitConnected(60000));
  EXPECT_LT(std::chrono::steady_clock::now() - tmStart, std::chrono::seconds(20));
}

TEST_F(CTcpClientTest, FrameSentRightAfterStartWaitsForTheConnectionAndGoesOut) {
  CSamvSim sim(SimOptions(SamvSimMode::Echo));
  ConfigureFor(sim.Port());
  DeviceHandle hPeer(new DeviceSocket(m_io));
  for (int i = 0; i < 20; ++i) {
    g_obs.Reset();
    m_client.Start(hPeer);  // the connect runs on the client's thread; the frame does not wait for a poll
    std::vector<uint8_t> data = Bytes("first frame " + std::to_string(i));
    ASSERT_EQ(m_client.SendData(data.data(), static_cast<uint32_t>(data.size())), data.size())
        << "start " << i;
    ASSERT_TRUE(WaitFor([] { return g_obs.Count() == 1; })) << "start " << i;
    std::lock_guard<std::mutex> lock(g_obs.mtx);
    EXPECT_EQ(g_obs.arrBlocks[0], data);
  }
}

TEST_F(CTcpClientTest, WaitForAConnectionEndsWithTheConnectAndItsTimeOut) {
  // A refused connect ends the wait as soon as it fails; one that hangs, when it is cancelled.
  CSamvSim refusing(SimOptions(SamvSimMode::Refuse));
  ConfigureFor(refusing.Port());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  m_client.Start(DeviceHandle());
  auto tmStart = std::chrono::steady_clock::now();
  EXPECT_FALSE(m_client.WaitConnected(60000));
  // Ended by the refusal, not by its bound (a generous margin for a loaded machine).
  EXPECT_LT(std::chrono::steady_clock::now() - tmStart, std::chrono::seconds(20));
  ASSERT_TRUE(ThreadsEnded());

  nettest::FullBacklogListener listener;
  ASSERT_TRUE(listener.Full()) << "could not fill the accept queue";
  ConfigureFor(listener.Port());
  m_client.Start(DeviceHandle());
  const uint8_t arrData[2] = {1, 2};
  EXPECT_EQ(m_client.SendData(arrData, 2), 0u);  // returns with the cancelled connect
  ASSERT_TRUE(ThreadsEnded());
  (void)testing::internal::GetCapturedStderr();
  std::string strOut = testing::internal::GetCapturedStdout();
  EXPECT_NE(strOut.find("Exception in thread:Operation canceled!"), std::string::npos) << strOut;
  EXPECT_FALSE(m_client.IsConnected());
}

TEST_F(CTcpClientTest, ConnectRefusedIsReportedOnBothChannels) {
  CARDGATE_SKIP_UNDER_EMULATOR("qemu-user passes the host's errno through SO_ERROR");
  CSamvSim sim(SimOptions(SamvSimMode::Refuse));
  ConfigureFor(sim.Port());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  m_client.Start(DeviceHandle());
  ASSERT_TRUE(ThreadsEnded());
  std::string strErr = testing::internal::GetCapturedStderr();
  std::string strOut = testing::internal::GetCapturedStdout();
  EXPECT_EQ(strErr, "Exception: Connection refused\n");
  EXPECT_NE(strOut.find("[FUNCTION ThreadLoop  LINE 167 Exception in thread:Connection refused!]"),
            std::string::npos)
      << strOut;
  EXPECT_FALSE(m_client.IsConnected());
}

TEST_F(CTcpClientTest, ConnectWithoutAnswerIsCancelledAfter100Ms) {
  nettest::FullBacklogListener listener;
  ASSERT_TRUE(listener.Full()) << "could not fill the accept queue";
  ConfigureFor(listener.Port());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  auto start = std::chrono::steady_clock::now();
  m_client.Start(DeviceHandle());
  ASSERT_TRUE(ThreadsEnded());
  auto elapsed = std::chrono::steady_clock::now() - start;
  std::string strErr = testing::internal::GetCapturedStderr();
  std::string strOut = testing::internal::GetCapturedStdout();
  EXPECT_EQ(strErr, "Exception: Operation canceled\n");
  EXPECT_NE(strOut.find("[FUNCTION ThreadLoop  LINE 167 Exception in thread:Operation canceled!]"),
            std::string::npos)
      << strOut;
  EXPECT_GE(elapsed, milliseconds(100));
  EXPECT_LT(elapsed, milliseconds(3000));
  EXPECT_FALSE(m_client.IsConnected());
}

TEST_F(CTcpClientTest, StartWithoutADescriptorLeftFailsAndKeepsNoDevice) {
#ifdef CARDGATE_UBSAN_BUILD
  GTEST_SKIP() << "the undefined-behaviour checker needs descriptors of its own";
#endif
  // A process out of descriptors must fail the Start (the pool keeps the module FREE), not the
  // module's connect (which would take a sound module out of service).
  CSamvSim sim(SimOptions(SamvSimMode::Echo));
  ConfigureFor(sim.Port());
  DeviceHandle hPeer(new DeviceSocket(m_io));
  struct rlimit stOld;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &stOld), 0);
  struct rlimit stLow = stOld;
  stLow.rlim_cur = static_cast<rlim_t>(nettest::CountOpenFds() + 8);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &stLow), 0);
  std::vector<int> arrFillers;  // every descriptor number left below the limit
  for (int fd = ::open("/dev/null", O_RDONLY); fd >= 0; fd = ::open("/dev/null", O_RDONLY)) {
    arrFillers.push_back(fd);
  }
  std::string strError;
  try {
    m_client.Start(hPeer);
  } catch (const boost::system::system_error& e) {
    strError = e.what();
  }
  for (int fd : arrFillers) {
    ::close(fd);
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &stOld), 0);
  EXPECT_EQ(strError.rfind("socket: ", 0), 0u) << strError;
  EXPECT_EQ(m_client.ThreadCount(), 0u);
  EXPECT_FALSE(m_client.IsConnected());
  EXPECT_EQ(hPeer.use_count(), 1) << "the client kept the device";
  // Descriptors back: the next Start connects.
  m_client.Start(hPeer);
  EXPECT_TRUE(ConnectedWithin());
}

TEST_F(CTcpClientTest, AddressThatIsNotADottedQuadOrPortNotANumberNamesTheStep) {
  // Module addresses are dotted quads and ports numbers: nothing else is looked up anywhere.
  const struct {
    const char* szAddress;
    int32_t nPort;
  } cases[] = {{"127.0.0.1", -1}, {"localhost", 5000}, {"", 5000}, {"10.0.0", 5000},
               {"10.0.0.256", 5000}, {"127.0.0.1", 70000}};
  for (const auto& c : cases) {
    m_client.Configure(c.szAddress, c.nPort, 0, 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    m_client.Start(DeviceHandle());
    ASSERT_TRUE(ThreadsEnded());
    std::string strErr = testing::internal::GetCapturedStderr();
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ(strErr.rfind("Exception: resolve: ", 0), 0u) << c.szAddress << ":" << c.nPort << " " << strErr;
    EXPECT_NE(strOut.find("LINE 167 Exception in thread:resolve: "), std::string::npos)
        << c.szAddress << ":" << c.nPort << " " << strOut;
    EXPECT_FALSE(m_client.IsConnected());
  }
}

TEST_F(CTcpClientTest, BlocksReachCallbackWithClientSocketAndPeerHandle) {
  CSamvSim sim(SimOptions(SamvSimMode::Echo));
  ConfigureFor(sim.Port());
  DeviceHandle hPeer(new DeviceSocket(m_io));
  m_client.Start(hPeer);
  ASSERT_TRUE(ConnectedWithin());
  std::vector<uint8_t> data = Bytes("request bytes");
  EXPECT_EQ(m_client.SendData(data.data(), static_cast<uint32_t>(data.size())), data.size());
  ASSERT_TRUE(WaitFor([] { return g_obs.Count() == 1; }));
  std::lock_guard<std::mutex> lock(g_obs.mtx);
  EXPECT_EQ(g_obs.arrBlocks[0], data);
  EXPECT_EQ(g_obs.arrClients[0], &m_client);
  EXPECT_EQ(g_obs.arrPeers[0], hPeer.get());
  EXPECT_TRUE(g_obs.arrSocketGiven[0]);
}

TEST_F(CTcpClientTest, SendDataOfZeroBytesOnConnectedClientReturnsAtOnce) {
  CSamvSim sim(SimOptions(SamvSimMode::Silent));
  ConfigureFor(sim.Port());
  m_client.Start(DeviceHandle());
  ASSERT_TRUE(ConnectedWithin());
  const uint8_t arrData[1] = {9};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(m_client.SendData(arrData, 0), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(50));
  EXPECT_EQ(m_client.SendData(nullptr, 5), 0u);
  EXPECT_EQ(sim.BytesReceived(), 0u);
}

// True once every byte the server wrote is acknowledged and none waits unread at the client: a
// block the client dropped leaves no other trace.
static std::function<bool()> ReadByTheClient(const tcp::socket& server) {
  const uint16_t unServerPort = server.local_endpoint().port();
  const uint16_t unClientPort = server.remote_endpoint().port();
  return [unServerPort, unClientPort] {
    const nettest::TcpEndView serverEnd = nettest::ViewTcpEnd(unServerPort, unClientPort);
    const nettest::TcpEndView clientEnd = nettest::ViewTcpEnd(unClientPort, unServerPort);
    return serverEnd.bFound && serverEnd.unUnacked == 0 && clientEnd.bFound &&
           clientEnd.unUnread == 0;
  };
}

TEST_F(CTcpClientTest, KeepAliveBlockIsDroppedOtherSmallBlocksPass) {
  tcp::acceptor acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  ConfigureFor(acceptor.local_endpoint().port());
  m_client.Start(DeviceHandle());
  ASSERT_TRUE(ConnectedWithin());
  tcp::socket server(m_io);
  acceptor.accept(server);
  server.set_option(tcp::no_delay(true));

  // Each block is written on its own once the client has read the one before, so each arrives
  // as a read of its own. A dropped block leaves no trace but in the kernel's queues: the
  // server's end has it acknowledged, and the client's end holds nothing unread.
  auto readByTheClient = ReadByTheClient(server);
  const uint8_t arrZero4[4] = {0, 0, 0, 0};
  const uint8_t arrMarker[4] = {0, 0, 0, 1};
  const uint8_t arrZero8[8] = {0};
  boost::asio::write(server, boost::asio::buffer(arrZero4));
  ASSERT_TRUE(WaitFor(readByTheClient));
  boost::asio::write(server, boost::asio::buffer(arrMarker));
  ASSERT_TRUE(WaitFor([] { return g_obs.Count() == 1; }));
  boost::asio::write(server, boost::asio::buffer(arrZero8));
  ASSERT_TRUE(WaitFor([] { return g_obs.Count() == 2; }));
  boost::asio::write(server, boost::asio::buffer(arrZero4));
  ASSERT_TRUE(WaitFor(readByTheClient));
  boost::asio::write(server, boost::asio::buffer(arrMarker));
  ASSERT_TRUE(WaitFor([] { return g_obs.Count() == 3; }));

  auto blocks = g_obs.Blocks();
  EXPECT_EQ(blocks[0], std::vector<uint8_t>(arrMarker, arrMarker + 4));
  EXPECT_EQ(blocks[1], std::vector<uint8_t>(8, 0));
  EXPECT_EQ(blocks[2], std::vector<uint8_t>(arrMarker, arrMarker + 4));
}

// The answer capture follows the module's frames through the client's framer; a block of four
// zero bytes is a keep-alive only where a frame begins. Inside an answer (a photo split by the
// network) it is part of the answer and goes on.
uint32_t OnClientReceiveFramed(CTcpClient* pClient, tcp::socket* pSocket, const uint8_t* pData,
                               uint32_t unCount, DeviceHandle hPeer) {
  for (uint32_t unOffset = 0; unOffset < unCount;) {
    SamvFrame frame;
    bool bEnded = false;
    unOffset += pClient->AnswerFramer().Next(pData + unOffset, unCount - unOffset, &frame, &bEnded);
  }
  return OnClientReceive(pClient, pSocket, pData, unCount, hPeer);
}

TEST_F(CTcpClientTest, FourZeroBytesInsideAnAnswerAreNoKeepAlive) {
  m_client.SetReceiveCallback(OnClientReceiveFramed);
  tcp::acceptor acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  ConfigureFor(acceptor.local_endpoint().port());
  m_client.Start(DeviceHandle());
  ASSERT_TRUE(ConnectedWithin());
  tcp::socket server(m_io);
  acceptor.accept(server);
  server.set_option(tcp::no_delay(true));
  auto readByTheClient = ReadByTheClient(server);
  // A 12-byte answer written in three reads, its middle one four zero bytes; then a keep-alive
  // where the next frame would begin, and a 4-byte frame (length word 0 would be a keep-alive
  // too, so it says 0x01000000: out of step, taken as it came).
  const uint8_t arrHead[4] = {8, 0, 0, 0};
  const uint8_t arrZero4[4] = {0, 0, 0, 0};
  const uint8_t arrTail[4] = {7, 7, 7, 7};
  const uint8_t arrMarker[4] = {0, 0, 0, 1};
  boost::asio::write(server, boost::asio::buffer(arrHead));
  ASSERT_TRUE(WaitFor([] { return g_obs.Count() == 1; }));
  boost::asio::write(server, boost::asio::buffer(arrZero4));
  ASSERT_TRUE(WaitFor([] { return g_obs.Count() == 2; }));
  boost::asio::write(server, boost::asio::buffer(arrTail));
  ASSERT_TRUE(WaitFor([] { return g_obs.Count() == 3; }));
  boost::asio::write(server, boost::asio::buffer(arrZero4));
  ASSERT_TRUE(WaitFor(readByTheClient));
  boost::asio::write(server, boost::asio::buffer(arrMarker));
  ASSERT_TRUE(WaitFor([] { return g_obs.Count() == 4; }));
  auto blocks = g_obs.Blocks();
  EXPECT_EQ(blocks[1], std::vector<uint8_t>(4, 0));
  EXPECT_EQ(blocks[3], std::vector<uint8_t>(arrMarker, arrMarker + 4));
}

TEST_F(CTcpClientTest, ServerThatClosesAtOnceEndsThreadWithoutMessage) {
  CSamvSim sim(SimOptions(SamvSimMode::Close));
  ConfigureFor(sim.Port());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  m_client.Start(DeviceHandle());
  ASSERT_TRUE(WaitFor([&sim] { return sim.Accepted() == 1; }));
  ASSERT_TRUE(ThreadsEnded());
  std::string strErr = testing::internal::GetCapturedStderr();
  std::string strOut = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(m_client.IsConnected());
  EXPECT_EQ(strErr, "");
  EXPECT_EQ(strOut, "");
}

TEST_F(CTcpClientTest, CloseWhileThreadBlockedInReadEndsItSilently) {
  CSamvSim sim(SimOptions(SamvSimMode::Silent));
  ConfigureFor(sim.Port());
  m_client.Start(DeviceHandle());
  ASSERT_TRUE(ConnectedWithin());
  ASSERT_TRUE(WaitFor([&sim] { return sim.Accepted() == 1; }));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  m_client.Close();
  EXPECT_FALSE(m_client.IsConnected());
  ASSERT_TRUE(ThreadsEnded());
  EXPECT_TRUE(WaitFor([&sim] { return sim.OpenConnections() == 0; }));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const uint8_t arrData[1] = {1};
  EXPECT_EQ(m_client.SendData(arrData, 1), 0u);
}

// The device session's release stops the connection while an answer may be on its way to the
// device: the release waits for a callback that is running, and no callback comes after it, so
// the work area it clears next is never read by an answer of the old session.
TEST_F(CTcpClientTest, StopConnectionWaitsForARunningCallbackAndNoneFollows) {
  tcp::acceptor acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  ConfigureFor(acceptor.local_endpoint().port());
  m_client.Start(DeviceHandle());
  tcp::socket server(m_io);
  acceptor.accept(server);
  ASSERT_TRUE(ConnectedWithin());
  {
    std::lock_guard<std::mutex> lock(g_obs.mtx);
    g_obs.bHold = true;
  }
  boost::asio::write(server, boost::asio::buffer(std::string("first")));
  ASSERT_TRUE(WaitFor([] {
    std::lock_guard<std::mutex> lock(g_obs.mtx);
    return g_obs.nInside == 1;
  }));
  std::atomic<bool> bStopped{false};
  std::thread stopper([&] {
    m_client.StopConnection();
    bStopped = true;
  });
  // The server's next block is already there when the callback returns.
  boost::asio::write(server, boost::asio::buffer(std::string("second")));
  EXPECT_FALSE(WaitFor([&] { return bStopped.load(); }, milliseconds(200)))
      << "the stop did not wait for the callback";
  EXPECT_FALSE(m_client.IsConnected());
  {
    std::lock_guard<std::mutex> lock(g_obs.mtx);
    g_obs.bHold = false;
  }
  stopper.join();
  EXPECT_TRUE(bStopped.load());
  ASSERT_TRUE(ThreadsEnded());
  EXPECT_EQ(g_obs.Blocks(), std::vector<std::vector<uint8_t>>{Bytes("first")});
}

TEST_F(CTcpClientTest, WriteFailureIsLogged) {
  tcp::acceptor acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  ConfigureFor(acceptor.local_endpoint().port());
  m_client.Start(DeviceHandle());
  ASSERT_TRUE(ConnectedWithin());
  tcp::socket server(m_io);
  acceptor.accept(server);
  // Keep the receive thread busy in its callback, so it cannot notice the reset first.
  {
    std::lock_guard<std::mutex> lock(g_obs.mtx);
    g_obs.bHold = true;
  }
  boost::asio::write(server, boost::asio::buffer(std::string("x")));
  ASSERT_TRUE(WaitFor([] {
    std::lock_guard<std::mutex> lock(g_obs.mtx);
    return g_obs.nInside == 1;
  }));
  const uint16_t unServerPort = server.local_endpoint().port();
  const uint16_t unClientPort = server.remote_endpoint().port();
  server.set_option(boost::asio::socket_base::linger(true, 0));
  server.close();  // reset
  // The reset has reached the client's end: the kernel has closed it.
  ASSERT_TRUE(WaitFor([&] {
    const nettest::TcpEndView clientEnd = nettest::ViewTcpEnd(unClientPort, unServerPort);
    return !clientEnd.bFound || clientEnd.nState == 7;
  }));

  testing::internal::CaptureStdout();
  std::vector<uint8_t> data(100000, 0x55);  // the first write may still be taken; later fail
  uint32_t unResult = 1;
  for (int i = 0; i < 10 && unResult != 0; ++i) {
    unResult = m_client.SendData(data.data(), static_cast<uint32_t>(data.size()));
  }
  std::string strOut = testing::internal::GetCapturedStdout();
  EXPECT_EQ(unResult, 0u);
  EXPECT_NE(strOut.find("[FUNCTION SendData  LINE 285 Exception in thread:write: "),
            std::string::npos)
      << strOut;
}

// A server that ends its side and stops reading while a device's request is still being
// written: the receive thread sees the end of the stream, and the blocked write must fail with
// it (SAMV sockets have no send time-out), or the device's session would hang for ever.
TEST_F(CTcpClientTest, ServerEndingItsSideFailsAWriteBlockedOnIt) {
  tcp::acceptor acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  acceptor.set_option(boost::asio::socket_base::receive_buffer_size(4096));  // taken by accept
  ConfigureFor(acceptor.local_endpoint().port());
  m_client.Start(DeviceHandle());
  ASSERT_TRUE(ConnectedWithin());
  tcp::socket server(m_io);
  acceptor.accept(server);

  std::vector<uint8_t> data(16 * 1024 * 1024, 0x55);  // far more than both socket buffers hold
  std::atomic<bool> bDone{false};
  std::atomic<uint32_t> unSent{0};
  testing::internal::CaptureStdout();
  std::thread writer([&] {
    unSent = m_client.SendData(data.data(), static_cast<uint32_t>(data.size()));
    bDone = true;
  });
  bool bArrived = WaitFor([&server] {
    int nQueued = 0;
    return ::ioctl(server.native_handle(), FIONREAD, &nQueued) == 0 && nQueued > 0;
  });
  server.shutdown(tcp::socket::shutdown_send);
  bool bEnded = WaitFor([&bDone] { return bDone.load(); }, milliseconds(20000));
  if (!bEnded) {
    server.set_option(boost::asio::socket_base::linger(true, 0));
    server.close();  // a reset frees the writer so that the test can end
  }
  writer.join();
  std::string strOut = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(bArrived);
  EXPECT_TRUE(bEnded) << "the write stayed blocked after the server ended its side";
  EXPECT_LT(unSent.load(), data.size());
  EXPECT_NE(strOut.find("[FUNCTION SendData  LINE 285 Exception in thread:write: "),
            std::string::npos)
      << strOut;
  EXPECT_FALSE(m_client.ServerFailed()) << "a server that went away is not taken for faulty";
}

// A server that stays connected but stops reading: a request written to it fails once it has
// taken no byte for the stall limit, and the connection ends, so the device's session is not
// held for ever.
TEST_F(CTcpClientTest, ServerThatStopsReadingFailsTheWriteWithinTheStallLimit) {
  tcp::acceptor acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  acceptor.set_option(boost::asio::socket_base::receive_buffer_size(4096));  // taken by accept
  ConfigureFor(acceptor.local_endpoint().port());
  m_client.Start(DeviceHandle());
  tcp::socket server(m_io);
  acceptor.accept(server);
  ASSERT_TRUE(ConnectedWithin());

  SetWriteStallLimitMs(300);
  std::vector<uint8_t> request(8 * 1024 * 1024, 0x24);
  testing::internal::CaptureStdout();
  auto tmStart = std::chrono::steady_clock::now();
  uint32_t unWritten = m_client.SendData(request.data(), static_cast<uint32_t>(request.size()));
  auto elapsed = std::chrono::steady_clock::now() - tmStart;
  SetWriteStallLimitMs(PeerTiming::kWriteStallLimitMs);
  std::string strOut = testing::internal::GetCapturedStdout();
  EXPECT_EQ(unWritten, 0u);
  EXPECT_LT(elapsed, std::chrono::seconds(10));
  EXPECT_NE(strOut.find("[FUNCTION SendData  LINE 285 Exception in thread:write: Connection timed "
                        "out!]"),
            std::string::npos)
      << strOut;
  EXPECT_TRUE(ThreadsEnded());
  EXPECT_FALSE(m_client.IsConnected());
  // A server that does not read is faulty, unlike one that went away (test above).
  EXPECT_TRUE(m_client.ServerFailed());
  EXPECT_FALSE(m_client.AnswerTimedOut());
  // The next Start begins with a clean slate.
  m_client.Start(DeviceHandle());
  tcp::socket second(m_io);
  acceptor.accept(second);
  ASSERT_TRUE(ConnectedWithin());
  EXPECT_FALSE(m_client.ServerFailed());
}

// The SAMV socket carries the same dead-peer timing as a device socket: a vanished server is
// noticed within about a minute, and unacknowledged data fails after the stall limit.
TEST_F(CTcpClientTest, ServerSocketCarriesTheKeepAliveTimingAndTheStallLimit) {
  {
    std::lock_guard<std::mutex> lock(g_options.mtx);
    g_options.bRead = false;
  }
  m_client.SetReceiveCallback(ReadSocketOptions);
  CSamvSim sim(SimOptions(SamvSimMode::Echo));
  ConfigureFor(sim.Port());
  m_client.Start(DeviceHandle());
  ASSERT_TRUE(ConnectedWithin());
  std::vector<uint8_t> data = Bytes("echo me");
  ASSERT_EQ(m_client.SendData(data.data(), static_cast<uint32_t>(data.size())), data.size());
  ASSERT_TRUE(WaitFor([] {
    std::lock_guard<std::mutex> lock(g_options.mtx);
    return g_options.bRead;
  }));
  std::lock_guard<std::mutex> lock(g_options.mtx);
  EXPECT_EQ(g_options.nKeepAlive, 1);
  EXPECT_EQ(g_options.nNoDelay, 1);
  EXPECT_EQ(g_options.nKeepIdle, PeerTiming::kKeepIdleS);
  EXPECT_EQ(g_options.nKeepInterval, PeerTiming::kKeepIntervalS);
  EXPECT_EQ(g_options.nKeepCount, PeerTiming::kKeepCount);
  EXPECT_EQ(g_options.nUserTimeout, static_cast<int>(2 * PeerTiming::kWriteStallLimitMs));
}

// A server that ends a device's session: the device's requests would go nowhere, so the client
// ends the device's connection too (the device comes back to a working server). A session that
// the gateway itself closes leaves the device's connection to its owner.
TEST_F(CTcpClientTest, ServerEndingADeviceSessionEndsTheDeviceConnection) {
  struct Row {
    const char* szName;
    bool bServerEnds;
  } rows[] = {{"the server closes", true}, {"the gateway closes the client", false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    tcp::acceptor deviceAcceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    tcp::socket device(m_io);
    device.connect(deviceAcceptor.local_endpoint());
    DeviceHandle hDevice(new DeviceSocket(m_io));
    deviceAcceptor.accept(*hDevice);
    tcp::acceptor acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    ConfigureFor(acceptor.local_endpoint().port());
    m_client.Start(hDevice);
    tcp::socket server(m_io);
    acceptor.accept(server);
    ASSERT_TRUE(ConnectedWithin());

    testing::internal::CaptureStdout();
    if (r.bServerEnds) {
      server.close();
    } else {
      m_client.Close();
    }
    ASSERT_TRUE(ThreadsEnded());
    std::string strOut = testing::internal::GetCapturedStdout();
    if (r.bServerEnds) {
      EXPECT_TRUE(nettest::SeesEndWithin(device, milliseconds(5000)));
      EXPECT_TRUE(hDevice->EndedFromGateway());
      EXPECT_NE(strOut.find("Samv Server 127.0.0.1:" +
                            std::to_string(acceptor.local_endpoint().port()) +
                            " ended the session: device connection closed]"),
                std::string::npos)
          << strOut;
    } else {
      EXPECT_FALSE(nettest::SeesEndWithin(device, milliseconds(200)));
      EXPECT_FALSE(hDevice->EndedFromGateway());
      EXPECT_EQ(strOut, "");
    }
  }
}

// A server that holds a request past the answer limit ends the session (and the device's
// connection), and the client says so; one that answers within the limit is not touched, and
// neither is one that only sends keep-alive blocks... until the limit passes.
TEST_F(CTcpClientTest, ServerThatHoldsARequestPastTheAnswerLimitEndsTheSession) {
  struct Row {
    const char* szName;
    int nAnswerAfterMs;  // -1: never; 0 keep-alive blocks only
    bool bTimesOut;
  } rows[] = {{"never answers", -1, true},
              {"sends only keep-alive blocks", 0, true},
              {"answers within the limit", 300, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    tcp::acceptor deviceAcceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    tcp::socket device(m_io);
    device.connect(deviceAcceptor.local_endpoint());
    DeviceHandle hDevice(new DeviceSocket(m_io));
    deviceAcceptor.accept(*hDevice);
    tcp::acceptor acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    ConfigureFor(acceptor.local_endpoint().port());
    m_client.Start(hDevice);
    tcp::socket server(m_io);
    acceptor.accept(server);
    ASSERT_TRUE(ConnectedWithin());

    testing::internal::CaptureStdout();
    m_client.ExpectAnswerWithin(1500);
    std::vector<uint8_t> request = Bytes("card read");
    ASSERT_EQ(m_client.SendData(request.data(), static_cast<uint32_t>(request.size())),
              request.size());
    if (r.nAnswerAfterMs == 0) {
      for (int i = 0; i < 6; ++i) {
        boost::system::error_code ec;
        (void)boost::asio::write(server, boost::asio::buffer(std::vector<uint8_t>(4, 0)), ec);
        std::this_thread::sleep_for(milliseconds(200));
      }
    } else if (r.nAnswerAfterMs > 0) {
      std::this_thread::sleep_for(milliseconds(r.nAnswerAfterMs));
      boost::asio::write(server, boost::asio::buffer(std::string("answer")));
      ASSERT_TRUE(WaitFor([] { return g_obs.Count() == 1; }));
    }
    bool bEnded = WaitFor([this] { return m_client.ThreadCount() == 0; }, milliseconds(4000));
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ(bEnded, r.bTimesOut);
    EXPECT_EQ(m_client.AnswerTimedOut(), r.bTimesOut);
    EXPECT_EQ(strOut.find("gave no answer in time") != std::string::npos, r.bTimesOut) << strOut;
    EXPECT_EQ(nettest::SeesEndWithin(device, milliseconds(r.bTimesOut ? 5000 : 10)), r.bTimesOut);
    m_client.Close();
    ASSERT_TRUE(ThreadsEnded());
    g_obs.Reset();
  }
}

TEST_F(CTcpClientTest, WorkAreaSettersWriteTheirFieldsAndCloseClearsThem) {
  m_client.SetDeviceInfo("123.123.123.1234567");
  m_client.SetDeviceInfo(nullptr);  // changes nothing
  uint8_t arrHead[32];
  uint8_t arrParam[8];
  uint8_t arrUser[64];
  uint8_t arrDevice[64];
  for (int i = 0; i < 64; ++i) {
    if (i < 32) {
      arrHead[i] = static_cast<uint8_t>(i + 1);
    }
    if (i < 8) {
      arrParam[i] = static_cast<uint8_t>(0xA0 + i);
    }
    arrUser[i] = static_cast<uint8_t>(0x40 + i);
    arrDevice[i] = static_cast<uint8_t>('a' + i % 26);
  }
  m_client.SetRequestHead(arrHead, arrParam);
  m_client.SetRequestHead(nullptr, arrParam);
  m_client.SetRequestInfo(77, arrUser, nullptr, nullptr);
  m_client.SetRequestInfo(78, nullptr, arrDevice, nullptr);
  m_client.IncRequestCount();
  m_client.IncRequestCount();
  m_client.IncAnswerCount();

  DecodeLogRecord copy = m_client.WithWorkArea([](DecodeLogRecord& area) { return area; });
  EXPECT_STREQ(copy.szDeviceIp, "123.123.123.123");
  EXPECT_TRUE(std::regex_match(copy.szConnectTime,
                               std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}(\.\d{6})?)")))
      << copy.szConnectTime;
  EXPECT_EQ(std::memcmp(copy.arrRequestHead, arrHead, 32), 0);
  EXPECT_EQ(std::memcmp(copy.arrRequestParam, arrParam, 8), 0);
  EXPECT_EQ(copy.unAccountNo, 78u);
  EXPECT_EQ(std::memcmp(copy.arrUserInfo, arrUser, 64), 0);
  EXPECT_EQ(std::memcmp(copy.szDeviceId, arrDevice, 64), 0);
  EXPECT_EQ(copy.unRequestCount, 2u);
  EXPECT_EQ(copy.unAnswerCount, 1u);

  m_client.Close();
  const uint8_t* pArea = reinterpret_cast<const uint8_t*>(m_client.GetWorkArea());
  for (size_t i = 0; i < sizeof(DecodeLogRecord); ++i) {
    ASSERT_EQ(pArea[i], 0) << "byte " << i;
  }
}

TEST_F(CTcpClientTest, ManyRestartsAlwaysServeTheNewestConnection) {
  CSamvSim sim(SimOptions(SamvSimMode::Echo));
  ConfigureFor(sim.Port());
  DeviceHandle hPeer(new DeviceSocket(m_io));  // made first: it brings m_io's descriptors
  int nFdsBefore = nettest::CountOpenFds();
  std::vector<std::vector<uint8_t>> expected;

  // Connect-cancel messages of the cycles that close during the connect go to captured output.
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  constexpr int kCycles = 200;
  for (int i = 0; i < kCycles; ++i) {
    m_client.Close();
    ASSERT_FALSE(m_client.IsConnected());
    m_client.Start(hPeer);
    if (i % 10 == 3) {
      m_client.Close();  // stops the connect just begun
      m_client.Start(hPeer);
    } else if (i % 10 == 7) {
      m_client.Start(hPeer);  // supersedes the connection without a Close
    }
    ASSERT_TRUE(ConnectedWithin()) << "cycle " << i;
    std::vector<uint8_t> token = Bytes("cycle " + std::to_string(i));
    ASSERT_EQ(m_client.SendData(token.data(), static_cast<uint32_t>(token.size())), token.size())
        << "cycle " << i;
    expected.push_back(token);
    ASSERT_TRUE(WaitFor([&expected] { return g_obs.Count() >= expected.size(); })) << "cycle " << i;
    // Older threads ending now must not clear the newest connection's flag.
    ASSERT_TRUE(m_client.IsConnected()) << "cycle " << i;
  }
  m_client.Close();
  EXPECT_FALSE(m_client.IsConnected());
  ASSERT_TRUE(ThreadsEnded());
  ASSERT_TRUE(WaitFor([&sim] { return sim.OpenConnections() == 0; }));
  (void)testing::internal::GetCapturedStderr();
  (void)testing::internal::GetCapturedStdout();

  // Exactly the echoes of the newest connections, in order: no block from a stopped one.
  EXPECT_EQ(g_obs.Blocks(), expected);
  EXPECT_GE(sim.Accepted(), static_cast<uint32_t>(kCycles));
  {
    std::lock_guard<std::mutex> lock(g_obs.mtx);
    for (size_t i = 0; i < g_obs.arrClients.size(); ++i) {
      EXPECT_EQ(g_obs.arrClients[i], &m_client);
      EXPECT_EQ(g_obs.arrPeers[i], hPeer.get());
    }
  }
  // Every socket and every per-connection I/O context is gone.
  EXPECT_TRUE(WaitFor([nFdsBefore] { return nettest::CountOpenFds() == nFdsBefore; }))
      << nettest::CountOpenFds() << " descriptors open, " << nFdsBefore << " before";
}

TEST(CTcpClientLifetimeTest, ClientDestroyedWhileConnectedLeavesNothingBehind) {
  SamvSimOptions options;
  options.eMode = SamvSimMode::KeepAlive;
  options.unKeepAliveMs = 5;
  CSamvSim sim(options);
  CTcpClient first;  // the socket context that all clients share opens its descriptors with it
  int nFdsBefore = nettest::CountOpenFds();
  for (int i = 0; i < 20; ++i) {
    std::unique_ptr<CTcpClient> upClient(new CTcpClient);
    upClient->SetReceiveCallback(OnClientReceive);
    upClient->Configure("127.0.0.1", sim.Port(), 0, 0);
    upClient->Start(DeviceHandle());
    ASSERT_TRUE(WaitFor([&upClient] { return upClient->IsConnected(); }));
    upClient.reset();  // the receive thread is still running
  }
  EXPECT_TRUE(WaitFor([&sim] { return sim.OpenConnections() == 0; }));
  EXPECT_TRUE(WaitFor([nFdsBefore] { return nettest::CountOpenFds() == nFdsBefore; }))
      << nettest::CountOpenFds() << " descriptors open, " << nFdsBefore << " before";
}

}  // namespace
