#include "status/status_server.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/optional/optional.hpp>

#include "config/run_log.h"
#include "status/status_render.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

// What a request may bring beyond its head: the read buffer holds the head and a little more.
constexpr size_t kReadBufferBytes = 2 * CStatusServer::kMaxHeaderBytes;
// The listener's thread runs this much nicer than the gateway's.
constexpr int kNiceIncrement = 10;

StatusAnswer TextAnswer(unsigned unStatus, const std::string& strText) {
  StatusAnswer answer;
  answer.unStatus = unStatus;
  answer.strContentType = "text/plain; charset=utf-8";
  answer.strBody = strText;
  answer.unContentLength = strText.size();
  return answer;
}

}  // namespace

StatusAnswer AnswerStatusRequest(const std::string& strMethod, const std::string& strTarget,
                                 const std::function<GatewayStatus()>& fnRead) {
  const bool bHead = strMethod == "HEAD";
  if (strMethod != "GET" && !bHead) {
    StatusAnswer answer = TextAnswer(405, "only GET and HEAD are served here\n");
    answer.bAllowHeader = true;
    return answer;
  }
  const std::string strPath = strTarget.substr(0, strTarget.find('?'));
  StatusAnswer answer;
  if (strPath == "/metrics") {
    answer.strContentType = "text/plain; version=0.0.4; charset=utf-8";
    answer.strBody = RenderMetrics(fnRead());
  } else if (strPath == "/health") {
    const GatewayStatus stStatus = fnRead();
    answer.unStatus = HealthProblems(stStatus).empty() ? 200 : 503;
    answer.strContentType = "text/plain; charset=utf-8";
    answer.strBody = RenderHealth(stStatus);
  } else if (strPath == "/status") {
    answer.strContentType = "application/json";
    answer.strBody = RenderStatusJson(fnRead());
  } else if (strPath == "/" || strPath == "/index.html") {
    answer.strContentType = "text/html; charset=utf-8";
    answer.strBody = RenderStatusPage(fnRead());
  } else {
    answer = TextAnswer(404, "not found; try /, /metrics, /health or /status\n");
  }
  answer.unContentLength = answer.strBody.size();
  if (bHead) {
    answer.strBody.clear();
  }
  return answer;
}

namespace {

void LimitRequestParser(http::request_parser<http::empty_body>& parser) {
  parser.header_limit(static_cast<std::uint32_t>(CStatusServer::kMaxHeaderBytes));
  parser.body_limit(0);
}

}  // namespace

bool AnswerUnreadableRequest(const boost::system::error_code& ec, StatusAnswer* pAnswer) {
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
    *pAnswer = TextAnswer(431, "request head too large\n");
  } else if (ec == http::error::body_limit || ec == http::error::unexpected_body) {
    *pAnswer = TextAnswer(413, "a request here carries no body\n");
  } else if (ec.category() == beast::error_code(http::error::bad_method).category() &&
             ec != http::error::end_of_stream && ec != http::error::partial_message &&
             ec != http::error::need_more) {
    *pAnswer = TextAnswer(400, "bad request\n");
  } else {
    return false;
  }
  return true;
}

StatusAnswer AnswerRequestBytes(const std::string& strBytes,
                                const std::function<GatewayStatus()>& fnRead, bool* pbAnswered) {
  http::request_parser<http::empty_body> parser;
  LimitRequestParser(parser);
  parser.eager(true);
  StatusAnswer answer;
  beast::error_code ec;
  size_t unUsed = 0;
  // At most what the session's read buffer holds at a time, as the socket would hand it over.
  while (!parser.is_done() && unUsed < strBytes.size()) {
    const size_t unTaken = parser.put(
        asio::buffer(strBytes.data() + unUsed, std::min(strBytes.size() - unUsed, kReadBufferBytes)),
        ec);
    if (ec || unTaken == 0) {
      break;
    }
    unUsed += unTaken;
  }
  if (!parser.is_done()) {
    *pbAnswered = ec && ec != http::error::need_more && AnswerUnreadableRequest(ec, &answer);
    return answer;
  }
  *pbAnswered = true;
  return AnswerStatusRequest(std::string(parser.get().method_string()),
                             std::string(parser.get().target()), fnRead);
}

bool ParseStatusListen(const std::string& strText, tcp::endpoint* pEndpoint,
                       std::string* pstrError) {
  const size_t unColon = strText.rfind(':');
  if (unColon == std::string::npos) {
    *pstrError = "\"" + strText + "\" is not address:port";
    return false;
  }
  const std::string strAddress = strText.substr(0, unColon);
  const std::string strPort = strText.substr(unColon + 1);
  uint32_t unAddress = 0;
  if (!ParseIpv4(strAddress, &unAddress)) {
    *pstrError = "\"" + strAddress + "\" is not an IPv4 address";
    return false;
  }
  const bool bDigits = !strPort.empty() && strPort.size() <= 5 &&
                       strPort.find_first_not_of("0123456789") == std::string::npos;
  const unsigned long unPort = bDigits ? std::stoul(strPort) : 0;
  if (unPort == 0 || unPort > 65535) {
    *pstrError = "\"" + strPort + "\" is not a port from 1 to 65535";
    return false;
  }
  *pEndpoint = tcp::endpoint(asio::ip::address_v4(unAddress), static_cast<uint16_t>(unPort));
  return true;
}

// One connection: requests read and answered one after the other on the server's thread.
class CStatusServer::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::string strAddress, CStatusServer& server)
      : m_stream(std::move(socket)),
        m_strAddress(std::move(strAddress)),
        m_server(server),
        m_buffer(kReadBufferBytes),
        m_tmEnd(std::chrono::steady_clock::now() + std::chrono::seconds(kMaxConnectionS)) {
    m_server.m_unConnections.fetch_add(1);
    ++m_server.m_mapConnectionsByAddress[m_strAddress];
  }
  ~Session() {
    auto it = m_server.m_mapConnectionsByAddress.find(m_strAddress);
    if (it != m_server.m_mapConnectionsByAddress.end() && --it->second == 0) {
      m_server.m_mapConnectionsByAddress.erase(it);
    }
    m_server.m_unConnections.fetch_sub(1);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void ReadRequest() {
    m_parser.emplace();
    LimitRequestParser(*m_parser);
    // The bound covers the whole request: a client that sends a byte now and then is still cut.
    m_stream.expires_after(std::chrono::seconds(kRequestTimeoutS));
    http::async_read(m_stream, m_buffer, *m_parser,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       self->OnRead(ec);
                     });
  }

 private:
  void OnRead(beast::error_code ec) {
    if (ec) {
      StatusAnswer answer;
      if (AnswerUnreadableRequest(ec, &answer)) {
        Send(std::move(answer), true);
      } else {
        Close();  // gone, timed out, or cut off mid-request: nobody to answer
      }
      return;
    }
    const http::request<http::empty_body>& request = m_parser->get();
    StatusAnswer answer;
    try {
      answer = AnswerStatusRequest(std::string(request.method_string()),
                                   std::string(request.target()),
                                   [this] { return m_server.Read(); });
    } catch (const std::exception& e) {
      WriteLogF("FUNCTION %s  LINE %d status request failed: %s", "StatusServer", __LINE__,
                EscapeLogText(e.what()).c_str());
      answer = TextAnswer(500, "the status could not be read\n");
    }
    // A connection kept alive is not kept for ever: its place goes to the next client.
    ++m_unRequests;
    const bool bLast = m_unRequests >= kMaxRequestsPerConnection ||
                       std::chrono::steady_clock::now() >= m_tmEnd;
    Send(std::move(answer), bLast || !request.keep_alive());
  }

  void Send(StatusAnswer answer, bool bClose) {
    m_response.emplace();
    http::response<http::string_body>& response = *m_response;
    response.version(11);
    response.result(answer.unStatus);
    response.set(http::field::server, "cardgate");
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    // The page has no script and loads nothing: a browser may not either.
    response.set("Content-Security-Policy",
                 "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'");
    if (!answer.strContentType.empty()) {
      response.set(http::field::content_type, answer.strContentType);
    }
    if (answer.bAllowHeader) {
      response.set(http::field::allow, "GET, HEAD");
    }
    response.body() = std::move(answer.strBody);
    response.content_length(answer.unContentLength);
    response.keep_alive(!bClose);
    m_stream.expires_after(std::chrono::seconds(kRequestTimeoutS));
    http::async_write(m_stream, response,
                      [self = shared_from_this(), bClose](beast::error_code ec, size_t) {
                        if (ec || bClose) {
                          self->Close();
                          return;
                        }
                        self->ReadRequest();
                      });
  }

  void Close() {
    beast::error_code ec;
    m_stream.socket().shutdown(tcp::socket::shutdown_both, ec);
    m_stream.close();
  }

  beast::tcp_stream m_stream;
  const std::string m_strAddress;
  CStatusServer& m_server;
  beast::flat_buffer m_buffer;
  uint32_t m_unRequests = 0;
  const std::chrono::steady_clock::time_point m_tmEnd;  // no request is read after this
  boost::optional<http::request_parser<http::empty_body>> m_parser;
  boost::optional<http::response<http::string_body>> m_response;
};

CStatusServer::CStatusServer(std::function<GatewayStatus()> fnRead, std::string strVersion,
                             std::string strBuildTime, uint32_t unMaxRecordAgeS)
    : m_fnRead(std::move(fnRead)),
      m_strVersion(std::move(strVersion)),
      m_strBuildTime(std::move(strBuildTime)),
      m_unMaxRecordAgeS(unMaxRecordAgeS),
      m_acceptor(m_ioContext),
      m_sampleTimer(m_ioContext),
      m_acceptRetryTimer(m_ioContext) {}

CStatusServer::~CStatusServer() { Stop(); }

bool CStatusServer::Start(const tcp::endpoint& endpoint, const std::string& strAllow,
                          std::string* pstrError) {
  std::string strAllowError;
  if (!m_AllowList.Parse(strAllow, &strAllowError)) {
    *pstrError = "STATUS.ALLOW: " + strAllowError;
    return false;
  }
  beast::error_code ec;
  const char* szStep = "open";
  m_acceptor.open(endpoint.protocol(), ec);
  if (!ec) {
    szStep = "set_option";
    m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  }
  if (!ec) {
    szStep = "bind";
    m_acceptor.bind(endpoint, ec);
  }
  if (!ec) {
    szStep = "listen";
    m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
  }
  if (ec) {
    *pstrError = std::string(szStep) + ": " + ec.message();
    beast::error_code ecClose;
    m_acceptor.close(ecClose);
    return false;
  }
  Sample();
  Accept();
  try {
    m_upThread.reset(new CJoinableThread([this] { ThreadLoop(); }));
  } catch (const std::exception& e) {
    *pstrError = std::string("thread: ") + e.what();
    beast::error_code ecClose;
    m_acceptor.close(ecClose);
    return false;
  }
  return true;
}

void CStatusServer::ThreadLoop() {
  // Below the gateway's own threads: the relay and the upload come first. (On Linux the nice
  // value of one thread is set through its own id.)
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kNiceIncrement);
  // A handler that raises (memory exhausted) costs that request, not the listener.
  for (;;) {
    try {
      m_ioContext.run();
      return;
    } catch (const std::exception& e) {
      WriteLogF("FUNCTION %s  LINE %d Exception:%s!", "StatusServer", __LINE__,
                EscapeLogText(e.what()).c_str());
    } catch (...) {
      WriteLogF("FUNCTION %s  LINE %d Exception:unknown!", "StatusServer", __LINE__);
    }
  }
}

void CStatusServer::Stop() {
  if (!m_upThread) {
    return;
  }
  m_ioContext.stop();
  m_upThread->Join();
  m_upThread.reset();
  beast::error_code ec;
  m_acceptor.close(ec);
}

uint16_t CStatusServer::LocalPort() const {
  beast::error_code ec;
  const tcp::endpoint local = m_acceptor.local_endpoint(ec);
  return ec ? 0 : local.port();
}

GatewayStatus CStatusServer::Read() {
  const auto tmNow = std::chrono::steady_clock::now();
  if (!m_upReading || tmNow - m_tmReading >= std::chrono::milliseconds(kReadingReuseMs)) {
    std::unique_ptr<GatewayStatus> upReading(new GatewayStatus(m_fnRead()));
    upReading->strVersion = m_strVersion;
    upReading->strBuildTime = m_strBuildTime;
    upReading->unMaxRecordAgeS = m_unMaxRecordAgeS;
    {
      std::lock_guard<std::mutex> lock(m_mtxHistory);
      upReading->arrHistory.assign(m_arrHistory.begin(), m_arrHistory.end());
    }
    m_upReading = std::move(upReading);
    m_tmReading = tmNow;
  }
  return *m_upReading;
}

void CStatusServer::Accept() {
  m_acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) {
      return;  // stopped
    }
    if (ec) {
      // Descriptors exhausted: the pending connection stays, and accepting again at once would
      // fail again at once. A pause keeps the thread from spinning.
      m_acceptRetryTimer.expires_after(std::chrono::milliseconds(100));
      m_acceptRetryTimer.async_wait([this](beast::error_code ecWait) {
        if (!ecWait) {
          Accept();
        }
      });
      return;
    }
    // The next accept is armed first: whatever becomes of this connection (memory exhausted
    // included), the listener goes on listening.
    Accept();
    beast::error_code ecPeer;
    const tcp::endpoint peer = socket.remote_endpoint(ecPeer);
    const std::string strAddress = ecPeer ? std::string() : peer.address().to_string();
    auto itAddress = m_mapConnectionsByAddress.find(strAddress);
    const size_t unFromAddress =
        itAddress == m_mapConnectionsByAddress.end() ? 0 : itAddress->second;
    if (!ecPeer && m_AllowList.Allows(strAddress) && m_unConnections.load() < kMaxConnections &&
        unFromAddress < kMaxConnectionsPerAddress) {
      std::make_shared<Session>(std::move(socket), strAddress, *this)->ReadRequest();
    } else {
      // Refused or over a bound: closed before a byte is read.
      beast::error_code ecClose;
      socket.close(ecClose);
    }
  });
}

void CStatusServer::Sample() {
  try {
    const GatewayStatus stStatus = m_fnRead();
    std::lock_guard<std::mutex> lock(m_mtxHistory);
    if (m_arrHistory.size() >= kHistorySamples) {
      m_arrHistory.pop_front();
    }
    m_arrHistory.push_back({stStatus.nNowS, stStatus.unDelivered, stStatus.unQueued});
  } catch (const std::exception& e) {
    WriteLogF("FUNCTION %s  LINE %d status sample failed: %s", "StatusServer", __LINE__,
              EscapeLogText(e.what()).c_str());
  } catch (...) {
    WriteLogF("FUNCTION %s  LINE %d status sample failed", "StatusServer", __LINE__);
  }
  m_sampleTimer.expires_after(std::chrono::seconds(kSampleS));
  m_sampleTimer.async_wait([this](beast::error_code ec) {
    if (!ec) {
      Sample();
    }
  });
}
