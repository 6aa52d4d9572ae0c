#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "core/device_allow_list.h"
#include "net/thread_stack.h"
#include "status/gateway_status.h"

// The answer to one request of the status listener: pure, for the tests and the fuzz target.
struct StatusAnswer {
  unsigned unStatus = 200;
  std::string strContentType;  // empty when there is no body
  std::string strBody;         // left empty for HEAD, with unContentLength set
  size_t unContentLength = 0;
  bool bAllowHeader = false;   // 405: "Allow: GET, HEAD"
};
// Answers a request whose head was read whole: GET or HEAD of "/", "/metrics", "/health" or
// "/status" (a query is ignored); any other method 405, any other path 404. fnRead is called
// only for a path that exists.
StatusAnswer AnswerStatusRequest(const std::string& strMethod, const std::string& strTarget,
                                 const std::function<GatewayStatus()>& fnRead);

// What a request that could not be read gets: 431 for a head too large, 413 for a body, 400 for
// bytes that are not an HTTP/1.x request. False when there is nobody to answer (the peer went
// away, was cut off by the time bound, or sent an incomplete request).
bool AnswerUnreadableRequest(const boost::system::error_code& ec, StatusAnswer* pAnswer);

// The listener's whole request path on bytes already received: parses one request with the
// listener's own limits and answers it (AnswerStatusRequest or AnswerUnreadableRequest).
// *pbAnswered is false when the bytes get no answer (an incomplete request). For the fuzz target
// and the tests.
StatusAnswer AnswerRequestBytes(const std::string& strBytes,
                                const std::function<GatewayStatus()>& fnRead, bool* pbAnswered);

// "address:port" of STATUS.LISTEN: an IPv4 dotted quad and a port from 1 to 65535. False with
// *pstrError saying why.
bool ParseStatusListen(const std::string& strText, boost::asio::ip::tcp::endpoint* pEndpoint,
                       std::string* pstrError);

// The status listener: a small read-only HTTP/1.1 server on a thread of its own, with its own
// I/O context, that serves the operator's window (metrics, health, JSON, page) from readings
// of the gateway. Nothing it does touches the relay, the pairing or the upload but the short
// locks a reading takes.
//
// Bounds: at most kMaxConnections connections at once and kMaxConnectionsPerAddress from one
// address (more are closed at once), a request head of at most kMaxHeaderBytes (431 beyond), no
// request body (413), kRequestTimeoutS for a request to arrive whole and be answered (the
// connection is closed after that); a connection that keeps alive waits for its next request
// under the same bound, and is closed after kMaxRequestsPerConnection requests or
// kMaxConnectionS seconds. Addresses that STATUS.ALLOW does not name are closed before anything
// is read. All requests within kReadingReuseMs share one reading of the gateway, and the thread
// runs at a lower priority than the gateway's own: a client that asks without pause costs the
// relay nothing but the CPU the scheduler leaves over.
//
// It also samples the figures of the last hour's chart every kSampleS seconds.
class CStatusServer {
 public:
  static constexpr size_t kMaxConnections = 8;
  static constexpr size_t kMaxConnectionsPerAddress = 4;
  static constexpr uint32_t kMaxRequestsPerConnection = 100;
  static constexpr uint32_t kMaxConnectionS = 60;
  static constexpr uint32_t kReadingReuseMs = 1000;
  static constexpr size_t kMaxHeaderBytes = 8192;
  static constexpr uint32_t kRequestTimeoutS = 5;
  static constexpr uint32_t kSampleS = 30;
  static constexpr size_t kHistorySamples = 3600 / kSampleS + 1;

  // fnRead makes one reading of the gateway (ReadGatewayStatus); the server adds the identity,
  // the age limit and the history. Called on the server's thread.
  CStatusServer(std::function<GatewayStatus()> fnRead, std::string strVersion,
                std::string strBuildTime, uint32_t unMaxRecordAgeS);
  ~CStatusServer();  // Stop()
  CStatusServer(const CStatusServer&) = delete;
  CStatusServer& operator=(const CStatusServer&) = delete;

  // Parses the allow list, binds and listens on the endpoint, and starts the thread. False, with
  // *pstrError saying why ("STATUS.ALLOW: ...", "bind: ...", "thread: ..."), when any step
  // fails; nothing runs then. Once only.
  bool Start(const boost::asio::ip::tcp::endpoint& endpoint, const std::string& strAllow,
             std::string* pstrError);
  // Stops serving and joins the thread, at once; connections still open are closed when the
  // server is destroyed. Safe twice or without Start.
  void Stop();
  uint16_t LocalPort() const;  // the port bound (tests pass 0)
  size_t Connections() const { return m_unConnections.load(); }

  // One reading with identity, limit and history: what every answer is made from. A reading
  // younger than kReadingReuseMs is given again. The server's thread (and tests).
  GatewayStatus Read();

 private:
  class Session;
  void ThreadLoop();
  void Accept();
  void Sample();

  // Declared before the I/O context: its destruction ends the sessions still held by handlers,
  // and they use the count and the reader on their way out.
  std::function<GatewayStatus()> m_fnRead;
  std::string m_strVersion;
  std::string m_strBuildTime;
  uint32_t m_unMaxRecordAgeS;
  CDeviceAllowList m_AllowList;
  std::atomic<size_t> m_unConnections{0};
  std::map<std::string, size_t> m_mapConnectionsByAddress;  // the server's thread only
  std::unique_ptr<GatewayStatus> m_upReading;              // the last reading (Read)
  std::chrono::steady_clock::time_point m_tmReading;
  std::mutex m_mtxHistory;  // guards m_arrHistory
  std::deque<HistorySample> m_arrHistory;
  boost::asio::io_context m_ioContext;
  boost::asio::ip::tcp::acceptor m_acceptor;
  boost::asio::steady_timer m_sampleTimer;
  boost::asio::steady_timer m_acceptRetryTimer;  // a pause after a failed accept
  std::unique_ptr<CJoinableThread> m_upThread;
};
