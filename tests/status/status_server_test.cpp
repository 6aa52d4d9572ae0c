// The status listener over real sockets on 127.0.0.1, with readings made by the test: what each
// request gets, and the bounds on connections, request size and time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "status/status_server.h"
#include "support/http_exchange.h"
#include "support/test_util.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A connected socket that sends nothing (or what the test gives it).
class IdleConnection {
 public:
  // From szFrom (any loopback address: 127.0.0.0/8 is all this host's).
  explicit IdleConnection(uint16_t unPort, const char* szFrom = "127.0.0.1") {
    m_nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    (void)::inet_pton(AF_INET, szFrom, &from.sin_addr);
    (void)::bind(m_nFd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(unPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_bConnected = ::connect(m_nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~IdleConnection() { ::close(m_nFd); }
  IdleConnection(const IdleConnection&) = delete;
  IdleConnection& operator=(const IdleConnection&) = delete;
  bool Connected() const { return m_bConnected; }
  void Send(const std::string& strText) {
    (void)::send(m_nFd, strText.data(), strText.size(), MSG_NOSIGNAL);
  }
  // True when the server ended the connection within the time (nothing or only an answer came).
  bool ClosedByServerWithin(milliseconds timeout) {
    const auto tmEnd = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < tmEnd) {
      pollfd pfd{m_nFd, POLLIN, 0};
      if (::poll(&pfd, 1, 50) > 0) {
        const ssize_t n = ::recv(m_nFd, buffer, sizeof buffer, 0);
        if (n <= 0) {
          return true;
        }
        m_strReceived.append(buffer, static_cast<size_t>(n));
      }
    }
    return false;
  }
  const std::string& Received() const { return m_strReceived; }

 private:
  int m_nFd = -1;
  bool m_bConnected = false;
  std::string m_strReceived;
};

class StatusServerTest : public ::testing::Test {
 protected:
  // Starts a listener on a free loopback port whose readings come from m_stReading.
  void StartServer(const std::string& strAllow = "") {
    m_upServer.reset(new CStatusServer(
        [this] {
          ++m_unReads;
          return m_stReading;
        },
        "9.9.9", "2026-12-11 00:00:00 UTC", 600));
    std::string strError;
    ASSERT_TRUE(m_upServer->Start(
        boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0), strAllow,
        &strError))
        << strError;
    m_unPort = m_upServer->LocalPort();
    ASSERT_NE(m_unPort, 0);
  }

  void SetUp() override {
    m_stReading.bAccepting = true;
    ModuleMetrics module;
    module.strAddress = "127.0.0.1";
    module.unPort = 16000;
    m_stReading.stMetrics.arrModules = {module};
  }

  GatewayStatus m_stReading;
  std::atomic<uint32_t> m_unReads{0};
  std::unique_ptr<CStatusServer> m_upServer;
  uint16_t m_unPort = 0;
};

}  // namespace

TEST_F(StatusServerTest, AnswersEachRequestAsItShould) {
  StartServer();
  const std::string kBigHeader = "X-Filler: " + std::string(CStatusServer::kMaxHeaderBytes, 'a');
  struct Case {
    const char* szName;
    std::string strRequest;
    int nStatus;
    const char* szContentType;  // prefix; "" to skip
    const char* szBodyPart;     // "" to skip
  };
  auto get = [](const std::string& strMethod, const std::string& strTarget,
                const std::string& strExtra = "") {
    return strMethod + " " + strTarget + " HTTP/1.1\r\nHost: x\r\n" + strExtra +
           "Connection: close\r\n\r\n";
  };
  const std::vector<Case> kCases = {
      {"page", get("GET", "/"), 200, "text/html", "<html"},
      {"metrics", get("GET", "/metrics"), 200, "text/plain; version=0.0.4",
       "cardgate_build_info{version=\"9.9.9\""},
      {"health", get("GET", "/health"), 200, "text/plain", "ok\n"},
      {"status", get("GET", "/status"), 200, "application/json", "\"version\": \"9.9.9\""},
      {"a query is ignored", get("GET", "/health?verbose=1"), 200, "", "ok\n"},
      {"HTTP/1.0", "GET /health HTTP/1.0\r\n\r\n", 200, "", "ok\n"},
      {"unknown path", get("GET", "/admin"), 404, "text/plain", "not found"},
      {"path with a dot dot", get("GET", "/../etc/passwd"), 404, "", ""},
      {"post", get("POST", "/", "Content-Length: 0\r\n"), 405, "", ""},
      {"delete", get("DELETE", "/metrics"), 405, "", ""},
      {"unknown method", get("BREW", "/"), 405, "", ""},
      {"not http", "HELLO\r\n\r\n", 400, "", ""},
      {"bad version", "GET / HTTP/9\r\n\r\n", 400, "", ""},
      {"head too large", get("GET", "/", kBigHeader + "\r\n"), 431, "", ""},
      {"a body", get("GET", "/", "Content-Length: 5\r\n") + "hello", 413, "", ""},
      {"a chunked body", get("GET", "/", "Transfer-Encoding: chunked\r\n") + "5\r\nhello\r\n0\r\n\r\n",
       413, "", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    const HttpExchange answer = ExchangeHttp(m_unPort, c.strRequest);
    ASSERT_TRUE(answer.bConnected);
    EXPECT_EQ(answer.nStatus, c.nStatus) << answer.strRaw.substr(0, 200);
    EXPECT_TRUE(answer.bClosed) << "the answer is followed by the close";
    if (c.szContentType[0] != '\0') {
      EXPECT_EQ(answer.Header("content-type").compare(0, std::strlen(c.szContentType),
                                                          c.szContentType),
                0)
          << answer.Header("content-type");
    }
    if (c.szBodyPart[0] != '\0') {
      EXPECT_NE(answer.strBody.find(c.szBodyPart), std::string::npos) << answer.strBody;
    }
    if (c.nStatus == 405) {
      EXPECT_EQ(answer.Header("allow"), "GET, HEAD");
    }
    // The request path on bytes alone (the fuzz target's) answers as the socket does.
    bool bAnswered = false;
    const StatusAnswer pure = AnswerRequestBytes(c.strRequest, [this] { return m_stReading; },
                                                 &bAnswered);
    EXPECT_TRUE(bAnswered);
    EXPECT_EQ(static_cast<int>(pure.unStatus), c.nStatus);
    EXPECT_EQ(answer.Header("cache-control"), "no-store");
  }
}

TEST_F(StatusServerTest, HeadGivesTheHeadOfGetWithoutItsBody) {
  StartServer();
  for (const char* szPath : {"/", "/metrics", "/health", "/status"}) {
    SCOPED_TRACE(szPath);
    const HttpExchange full = GetHttp(m_unPort, szPath);
    const HttpExchange head = GetHttp(m_unPort, szPath, "HEAD");
    EXPECT_EQ(head.nStatus, full.nStatus);
    EXPECT_EQ(head.Header("content-type"), full.Header("content-type"));
    EXPECT_TRUE(head.strBody.empty());
    // The page and the JSON carry the uptime and the like, but the reading is the same here.
    EXPECT_EQ(head.Header("content-length"), std::to_string(full.strBody.size()));
  }
}

TEST_F(StatusServerTest, HealthTurnsRedWithItsReasons) {
  m_stReading.stMetrics.arrModules[0].eState = ModuleState::Error;
  m_stReading.bSpoolWriteFailing = true;
  StartServer();
  const HttpExchange answer = GetHttp(m_unPort, "/health");
  EXPECT_EQ(answer.nStatus, 503);
  EXPECT_NE(answer.strBody.find("every module is in ERROR"), std::string::npos) << answer.strBody;
  EXPECT_NE(answer.strBody.find("spool does not take writes"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(GetHttp(m_unPort, "/status").strBody)["healthy"], false);
}

TEST_F(StatusServerTest, RequestsThatAreRefusedNeverReadTheGateway) {
  StartServer();
  (void)GetHttp(m_unPort, "/admin");
  (void)GetHttp(m_unPort, "/", "POST");
  (void)ExchangeHttp(m_unPort, "HELLO\r\n\r\n");
  EXPECT_EQ(m_unReads.load(), 1u) << "only the sample taken at the start";
}

TEST_F(StatusServerTest, KeepsAConnectionAliveForTheNextRequest) {
  StartServer();
  const HttpExchange answer = ExchangeHttp(
      m_unPort,
      "GET /health HTTP/1.1\r\nHost: x\r\n\r\nGET /metrics HTTP/1.1\r\nHost: x\r\nConnection: "
      "close\r\n\r\n");
  EXPECT_EQ(CountOccurrences(answer.strRaw, "HTTP/1.1 200 OK"), 2u) << answer.strRaw.substr(0, 300);
  EXPECT_NE(answer.strRaw.find("cardgate_uptime_seconds"), std::string::npos);
  EXPECT_TRUE(answer.bClosed);
}

TEST_F(StatusServerTest, AnAddressOutsideTheAllowListIsClosedUnanswered) {
  StartServer("10.0.0.0/8, 192.168.1.7");
  IdleConnection connection(m_unPort);
  ASSERT_TRUE(connection.Connected());
  connection.Send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(connection.ClosedByServerWithin(seconds(5)));
  EXPECT_EQ(connection.Received(), "");
}

TEST_F(StatusServerTest, AnAllowListThatDoesNotReadStartsNothing) {
  CStatusServer server([] { return GatewayStatus(); }, "v", "t", 600);
  std::string strError;
  EXPECT_FALSE(server.Start(
      boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0), "10.0.0.0/33",
      &strError));
  EXPECT_NE(strError.find("STATUS.ALLOW"), std::string::npos) << strError;
  EXPECT_EQ(server.LocalPort(), 0);
}

TEST_F(StatusServerTest, ConnectionsBeyondTheBoundsAreClosedAndTheirPlaceComesBack) {
  StartServer();
  // Four from one address fill its share: the fifth is closed though the listener has room.
  std::vector<std::unique_ptr<IdleConnection>> arrIdle;
  for (size_t i = 0; i < CStatusServer::kMaxConnectionsPerAddress; ++i) {
    arrIdle.emplace_back(new IdleConnection(m_unPort, "127.0.0.1"));
    ASSERT_TRUE(arrIdle.back()->Connected());
  }
  ASSERT_TRUE(WaitFor([&] { return m_upServer->Connections() == arrIdle.size(); }));
  {
    IdleConnection fifth(m_unPort, "127.0.0.1");
    EXPECT_TRUE(fifth.ClosedByServerWithin(seconds(5)));
    EXPECT_EQ(fifth.Received(), "");
  }
  // Four more from another address fill the listener: a third address is closed too.
  while (arrIdle.size() < CStatusServer::kMaxConnections) {
    arrIdle.emplace_back(new IdleConnection(m_unPort, "127.0.0.2"));
    ASSERT_TRUE(arrIdle.back()->Connected());
  }
  ASSERT_TRUE(WaitFor([&] { return m_upServer->Connections() == CStatusServer::kMaxConnections; }))
      << m_upServer->Connections();
  IdleConnection extra(m_unPort, "127.0.0.3");
  ASSERT_TRUE(extra.Connected());
  EXPECT_TRUE(extra.ClosedByServerWithin(seconds(5)));
  EXPECT_EQ(extra.Received(), "");
  arrIdle.front().reset();  // one of 127.0.0.1's
  ASSERT_TRUE(WaitFor([&] { return m_upServer->Connections() < CStatusServer::kMaxConnections; }));
  EXPECT_EQ(GetHttp(m_unPort, "/health").nStatus, 200);
}

TEST_F(StatusServerTest, AConnectionKeptAliveIsClosedAfterItsShareOfRequests) {
  StartServer();
  IdleConnection client(m_unPort);
  ASSERT_TRUE(client.Connected());
  std::string strRequests;
  for (uint32_t i = 0; i <= CStatusServer::kMaxRequestsPerConnection; ++i) {
    strRequests += "GET /health HTTP/1.1\r\nHost: x\r\n\r\n";
  }
  client.Send(strRequests);
  EXPECT_TRUE(client.ClosedByServerWithin(seconds(20)));
  EXPECT_EQ(CountOccurrences(client.Received(), "HTTP/1.1 200 OK"),
            CStatusServer::kMaxRequestsPerConnection);
  EXPECT_EQ(CountOccurrences(client.Received(), "Connection: close"), 1u) << "the last answer says so";
  EXPECT_LE(m_unReads.load(), 3u) << "requests within a second share one reading";
}

TEST_F(StatusServerTest, ARequestThatDoesNotComeWholeInTimeIsCut) {
  StartServer();
  IdleConnection slow(m_unPort);
  ASSERT_TRUE(slow.Connected());
  slow.Send("GET /health HTTP/1.1\r\n");
  const auto tmStart = std::chrono::steady_clock::now();
  // A byte now and then does not keep it alive: the bound is on the whole request.
  bool bClosed = false;
  for (int i = 0; i < 40 && !bClosed; ++i) {
    slow.Send("X");
    bClosed = slow.ClosedByServerWithin(milliseconds(500));
  }
  EXPECT_TRUE(bClosed);
  EXPECT_GE(std::chrono::steady_clock::now() - tmStart,
            seconds(CStatusServer::kRequestTimeoutS) - milliseconds(500));
  EXPECT_EQ(GetHttp(m_unPort, "/health").nStatus, 200);
}

TEST(StatusRequestBytesTest, AnIncompleteRequestGetsNoAnswer) {
  for (const char* szBytes : {"", "GET / HTTP/1.1\r\nHost: x\r\n", "GET /heal",
                              "GET / HTTP/1.1\r\nContent-Length: 0\r\n"}) {
    SCOPED_TRACE(szBytes);
    bool bAnswered = true;
    (void)AnswerRequestBytes(szBytes, [] { return GatewayStatus(); }, &bAnswered);
    EXPECT_FALSE(bAnswered);
  }
}

TEST(StatusListenTest, ReadsAddressAndPort) {
  struct Case {
    const char* szText;
    bool bOk;
    const char* szEndpoint;
  };
  const Case kCases[] = {
      {"127.0.0.1:8480", true, "127.0.0.1:8480"},
      {"0.0.0.0:1", true, "0.0.0.0:1"},
      {"192.168.1.1:65535", true, "192.168.1.1:65535"},
      {"127.0.0.1", false, ""},
      {"127.0.0.1:", false, ""},
      {"127.0.0.1:0", false, ""},
      {"127.0.0.1:65536", false, ""},
      {"127.0.0.1:80x", false, ""},
      {"localhost:8480", false, ""},
      {":8480", false, ""},
      {"[::1]:8480", false, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szText);
    boost::asio::ip::tcp::endpoint endpoint;
    std::string strError;
    EXPECT_EQ(ParseStatusListen(c.szText, &endpoint, &strError), c.bOk) << strError;
    if (c.bOk) {
      EXPECT_EQ(endpoint.address().to_string() + ":" + std::to_string(endpoint.port()),
                c.szEndpoint);
    } else {
      EXPECT_FALSE(strError.empty());
    }
  }
}
