// The module's answers reach the gateway in reads of whatever size the network makes: an answer
// split over several reads, or several answers in one read. Every card a reader gets must still
// give one record, with the fields of the card command it answers, also when a reader sends its
// next command before the module answered the last.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device_sim.h"
#include "gateway_fixture.h"
#include "logserver_sim.h"
#include "samv_sim.h"
#include "support/test_util.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint16_t kGatewayPort = 31213;
constexpr char kSecretKey[] = "0123456789abcdef";

// A TCP relay between the gateway and a module that changes how the module's bytes are cut,
// never the bytes: Split writes them on in pieces of a few bytes with a pause between, so that
// each piece is a read of its own; Join holds them until the module has been quiet for a while,
// then writes them at once. What the gateway sends goes on unchanged. One connection at a time.
class CReshapingRelay {
 public:
  enum class Mode { Split, Join };
  CReshapingRelay(uint16_t unTargetPort, Mode eMode, size_t unPieceBytes = 0)
      : m_unTargetPort(unTargetPort), m_eMode(eMode), m_unPieceBytes(unPieceBytes) {
    m_nListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    int nOn = 1;
    ::setsockopt(m_nListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    if (::bind(m_nListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_nListen, 4) != 0) {
      ADD_FAILURE() << "relay: cannot listen";
    }
    socklen_t unLength = sizeof addr;
    ::getsockname(m_nListen, reinterpret_cast<sockaddr*>(&addr), &unLength);
    m_unPort = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~CReshapingRelay() {
    m_bStop.store(true);
    m_thread.join();
    ::close(m_nListen);
  }
  uint16_t Port() const { return m_unPort; }

 private:
  static sockaddr_in Loopback(uint16_t unPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(unPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
  }
  // Waits up to nMs for fd to be readable; false on the time or a stop.
  bool Readable(int nFd, int nMs) {
    pollfd pfd{nFd, POLLIN, 0};
    return !m_bStop.load() && ::poll(&pfd, 1, nMs) > 0;
  }
  static bool WriteAll(int nFd, const uint8_t* p, size_t n) {
    while (n > 0) {
      ssize_t nDone = ::send(nFd, p, n, MSG_NOSIGNAL);
      if (nDone <= 0) {
        return false;
      }
      p += nDone;
      n -= static_cast<size_t>(nDone);
    }
    return true;
  }
  void Run() {
    while (!m_bStop.load()) {
      if (!Readable(m_nListen, 100)) {
        continue;
      }
      int nGateway = ::accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (nGateway < 0) {
        continue;
      }
      int nModule = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr = Loopback(m_unTargetPort);
      if (::connect(nModule, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        int nOn = 1;
        ::setsockopt(nGateway, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
        Pump(nGateway, nModule);
      }
      ::close(nModule);
      ::close(nGateway);
    }
  }
  // Both directions on this thread until either side closes or the relay stops.
  void Pump(int nGateway, int nModule) {
    std::vector<uint8_t> held;  // Join: the module's bytes not yet written
    uint8_t arrBuffer[8192];
    for (;;) {
      pollfd arrFds[2] = {{nGateway, POLLIN, 0}, {nModule, POLLIN, 0}};
      // Join writes what it holds once the module has been quiet for 30 ms.
      int nReady = ::poll(arrFds, 2, held.empty() ? 100 : 30);
      if (m_bStop.load() || nReady < 0) {
        return;
      }
      if (nReady == 0) {
        if (!held.empty() && !WriteAll(nGateway, held.data(), held.size())) {
          return;
        }
        held.clear();
        continue;
      }
      if (arrFds[0].revents != 0) {
        ssize_t n = ::recv(nGateway, arrBuffer, sizeof arrBuffer, 0);
        if (n <= 0 || !WriteAll(nModule, arrBuffer, static_cast<size_t>(n))) {
          return;
        }
      }
      if (arrFds[1].revents != 0) {
        ssize_t n = ::recv(nModule, arrBuffer, sizeof arrBuffer, 0);
        if (n <= 0) {
          return;
        }
        if (m_eMode == Mode::Join) {
          held.insert(held.end(), arrBuffer, arrBuffer + n);
          continue;
        }
        for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(m_unPieceBytes)) {
          size_t unPiece = std::min<size_t>(m_unPieceBytes, static_cast<size_t>(n - i));
          if (!WriteAll(nGateway, arrBuffer + i, unPiece)) {
            return;
          }
          std::this_thread::sleep_for(milliseconds(2));  // the pause that makes it a read
        }
      }
    }
  }

  uint16_t m_unTargetPort;
  Mode m_eMode;
  size_t m_unPieceBytes;
  int m_nListen = -1;
  uint16_t m_unPort = 0;
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
};

LoginRequest Login(const std::string& strOrder) {
  LoginRequest r;
  r.byCommand = 1;
  r.unAccountNo = 1001;
  r.strPassword = "pass1001";
  r.strUserInfo = "operator-7";
  r.strDeviceId = "READER-42";
  r.strTransData = "{\"order\":\"" + strOrder + "\"}";
  return r;
}

std::unique_ptr<CSamvSim> StartSamv(SamvCardKind eKind, uint32_t unPart2DelayMs,
                                    uint32_t unAnswerDelayMs = 0) {
  SamvSimOptions options;
  options.eMode = SamvSimMode::Card;
  options.eCardKind = eKind;
  options.unPart2DelayMs = unPart2DelayMs;
  options.unAnswerDelayMs = unAnswerDelayMs;
  return std::unique_ptr<CSamvSim>(new CSamvSim(options));
}

std::unique_ptr<CLogServerSim> StartLogServer() {
  LogServerSimOptions options;
  options.strSecretKey = kSecretKey;
  std::unique_ptr<CLogServerSim> upServer(new CLogServerSim(options));
  upServer->Start();
  return upServer;
}

}  // namespace

// Every card answer kind, cut into 7-byte reads by the network, or with the module's answers
// joined into one read: as many records as cards, each once, each with its own transaction.
TEST(AnswerFramingTest, SplitOrJoinedAnswersGiveOneRecordPerCard) {
  struct Row {
    const char* szName;
    SamvCardKind eKind;
    CReshapingRelay::Mode eMode;
    size_t unPieceBytes;
    const char* szLog;
  } rows[] = {
      {"text in 7-byte reads", SamvCardKind::Text, CReshapingRelay::Mode::Split, 7, "[Only Text]"},
      {"photo in 100-byte reads", SamvCardKind::Photo, CReshapingRelay::Mode::Split, 100,
       "[Text Image]"},
      {"fingerprint in 7-byte reads", SamvCardKind::Fingerprint, CReshapingRelay::Mode::Split, 7,
       "[Text Image Fingerprint Part2]"},
      {"fingerprint parts joined in one read", SamvCardKind::Fingerprint,
       CReshapingRelay::Mode::Join, 0, "[Text Image Fingerprint Part2]"},
  };
  constexpr size_t kCards = 3;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    std::unique_ptr<CSamvSim> upSamv = StartSamv(r.eKind, 0);  // parts back to back
    CReshapingRelay relay(upSamv->Port(), r.eMode, r.unPieceBytes);
    std::unique_ptr<CLogServerSim> upLogServer = StartLogServer();
    GatewayRun gateway;
    gateway.SetModules({{relay.Port(), 0}});
    gateway.SetLogServer(upLogServer->Port());
    gateway.SetDefaultUsers();
    ASSERT_TRUE(gateway.Start());
    CDeviceSimClient device;
    ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
    for (size_t i = 0; i < kCards; ++i) {
      CardReadResult result;
      ASSERT_EQ(device.ReadCard(Login(std::string(r.szName) + " " + std::to_string(i)), &result),
                ReadStatus::Ok)
          << gateway.Process().Output();
    }
    device.Close();
    ASSERT_TRUE(WaitFor([&] { return upLogServer->ValidDocuments() >= kCards; }, seconds(60)))
        << gateway.Process().Output();
    for (size_t i = 0; i < kCards; ++i) {
      std::string strTrans = "{\"order\":\"" + std::string(r.szName) + " " + std::to_string(i) +
                             "\"}";
      EXPECT_EQ(upLogServer->ReceiveCount(strTrans, "READER-42"), 1u) << strTrans;
    }
    EXPECT_EQ(gateway.CountLog(r.szLog), kCards) << gateway.Process().Output();
    EXPECT_EQ(gateway.CountLog("[Not Exist Part2]"), 0u);
  }
}

// A reader that does not wait: it sends its next card command while the module is still busy
// with the last. The module answers both in order; each record names its own command.
TEST(AnswerFramingTest, ARecordNamesItsOwnCommandWhenTheReaderDoesNotWait) {
  struct Row {
    const char* szName;
    SamvCardKind eKind;
    size_t unAnswerFrames;  // per command
  } rows[] = {
      {"text", SamvCardKind::Text, 1},
      {"fingerprint", SamvCardKind::Fingerprint, 2},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    std::unique_ptr<CSamvSim> upSamv = StartSamv(r.eKind, 20, 300);  // a slow module
    std::unique_ptr<CLogServerSim> upLogServer = StartLogServer();
    GatewayRun gateway;
    gateway.SetModules({{upSamv->Port(), 0}});
    gateway.SetLogServer(upLogServer->Port());
    gateway.SetDefaultUsers();
    ASSERT_TRUE(gateway.Start());
    CDeviceSimClient device;
    ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
    const std::vector<std::string> arrOrders = {"first", "second", "third"};
    for (size_t i = 0; i < arrOrders.size(); ++i) {
      ASSERT_TRUE(device.SendLogin(Login(arrOrders[i])));
      // Each command reaches the module on its own before the next is sent.
      ASSERT_TRUE(WaitFor([&] { return upSamv->FramesReceived() >= i + 1; }, seconds(20)));
    }
    for (size_t i = 0; i < arrOrders.size() * r.unAnswerFrames; ++i) {
      std::vector<uint8_t> answer;
      ASSERT_EQ(device.ReadAnswer(&answer, seconds(20)), ReadStatus::Ok);
    }
    ASSERT_TRUE(WaitFor([&] { return upLogServer->ValidDocuments() >= arrOrders.size(); },
                        seconds(60)))
        << gateway.Process().Output();
    for (const std::string& strOrder : arrOrders) {
      EXPECT_EQ(upLogServer->ReceiveCount("{\"order\":\"" + strOrder + "\"}", "READER-42"), 1u)
          << strOrder << "\n"
          << gateway.Process().Output();
    }
    EXPECT_EQ(upLogServer->ValidDocuments(), arrOrders.size());
  }
}

// The first part of a fingerprint card is on storage when the reader gets it: a gateway stopped
// before the second part came still delivers that card, once, at its next start.
TEST(AnswerFramingTest, AFirstPartOutlivesAStopAndIsDeliveredOnce) {
  std::unique_ptr<CSamvSim> upSamv = StartSamv(SamvCardKind::FingerprintPart1, 0);
  std::unique_ptr<CLogServerSim> upLogServer = StartLogServer();
  GatewayRun gateway;
  gateway.SetModules({{upSamv->Port(), 0}});
  gateway.SetExtraSystemConfig("[SPOOL]\nDIR=spool\n");
  gateway.SetLogServer(upLogServer->Port() == 1 ? 2 : 1);  // nobody answers there
  gateway.SetDefaultUsers();
  ASSERT_TRUE(gateway.Start());
  CDeviceSimClient device;
  ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
  ASSERT_TRUE(device.SendLogin(Login("stopped")));
  std::vector<uint8_t> answer;
  ASSERT_EQ(device.ReadAnswer(&answer, seconds(20)), ReadStatus::Ok);
  ASSERT_EQ(answer.size(), 1313u);
  gateway.Process().Signal(SIGTERM);
  int nStatus = 0;
  ASSERT_TRUE(gateway.Process().Wait(seconds(20), &nStatus));
  device.Close();

  // The next start, with the log server there.
  gateway.SetExtraSystemConfig("[SPOOL]\nDIR=spool\n");
  gateway.SetLogServer(upLogServer->Port());
  ASSERT_TRUE(gateway.Start());
  ASSERT_TRUE(WaitFor([&] { return upLogServer->ValidDocuments() >= 1; }, seconds(60)))
      << gateway.Process().Output();
  EXPECT_EQ(upLogServer->ReceiveCount("{\"order\":\"stopped\"}", "READER-42"), 1u);
  EXPECT_TRUE(gateway.WaitForLog("card records queued from earlier runs"));
}
