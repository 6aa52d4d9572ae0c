#include "net/tcp_client.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>

#include "config/byte_io.h"
#include "config/run_log.h"
#include "net/peer_timing.h"
#include "net/thread_stack.h"

namespace {

using boost::asio::ip::tcp;

constexpr size_t kReceiveBufferSize = 4096;
constexpr size_t kMessageSize = 256;
constexpr std::chrono::nanoseconds kConnectTimeout(100000000);  // 100 ms
constexpr uint32_t kSendConnectWaitMs = 101;  // a first frame waits this long for the connection

// Source lines that the run-log messages name (fixed by the design; tests match them).
constexpr int kThreadLoopLine = 167;
constexpr int kSendDataLine = 285;

enum class Phase {
  Connecting,  // the receive thread connects; others may only shut its descriptor down
  Connected,   // the thread reads; SendData may write; others may only shut the socket down
  Ended,       // the thread is done with the socket
};

}  // namespace

// State that the receive threads share with their client. A thread keeps it alive, so a thread
// that is still ending after the client was destroyed never touches freed memory.
struct CTcpClient::Shared {
  // Guards unGeneration, every Connection's ePhase, unWriters and bCloseWhenIdle, the open and
  // close of a Connected or Ended socket by anyone but its thread, and the client's
  // m_spConnection, m_hPeer, address texts and index. Never held across blocking socket I/O.
  boost::mutex mtx;
  // Signalled (under mtx) whenever the latest connection comes up or ends, and when a Start or a
  // stop replaces it: WaitConnected sleeps on it.
  std::condition_variable_any cvConnection;
  // Held by a receive thread from its last look at its stop flag through the whole callback, and
  // by StopConnection once it has set the stop flags: when StopConnection returns, no answer of
  // an old connection is being relayed or captured, nor will be. Nobody takes it while holding
  // mtx (the callback may take mtx under it).
  boost::mutex mtxDeliver;
  uint64_t unGeneration = 0;            // that of the newest Start
  std::atomic<bool> bConnected{false};  // set and cleared only for the newest generation
  std::atomic<bool> bAnswerTimedOut{false};  // see AnswerTimedOut; cleared by Start
  std::atomic<bool> bWriteStalled{false};    // see ServerFailed; cleared by Start
  std::atomic<uint32_t> unThreads{0};
};

namespace {

// The context every client socket belongs to. Nobody runs it: the connect is made on the
// descriptor directly and every read and write is synchronous, so all it does is hold the
// sockets; a context per connection would cost three descriptors more for each reader. It is
// never destroyed, since a detached receive thread may still close its socket at exit.
// Its three descriptors (the socket service's) are opened with the first client, not with the
// first connection.
boost::asio::io_context& SocketContext() {
  static boost::asio::io_context* s_pContext = [] {
    boost::asio::io_context* pContext = new boost::asio::io_context();
    tcp::socket unopened(*pContext);  // makes the context's socket service
    return pContext;
  }();
  return *s_pContext;
}

}  // namespace

// One Start's connection: the descriptor of its connect, then its socket.
struct CTcpClient::Connection {
  explicit Connection(uint64_t unGen) : unGeneration(unGen), socket(SocketContext()) {}
  ~Connection() {
    if (nConnectFd >= 0) {
      (void)::close(nConnectFd);  // never connected: no stop can reach it once the last owner goes
    }
  }

  const uint64_t unGeneration;
  tcp::socket socket;  // holds the descriptor once connected
  std::atomic<bool> bStop{false};  // no more callbacks; the thread ends at its next look
  // Steady-clock milliseconds by which the server must send its next block; 0 when no answer is
  // awaited. Set by ExpectAnswerWithin, cleared by each block read.
  std::atomic<int64_t> nAnswerDeadlineMs{0};
  // Guarded by Shared::mtx:
  Phase ePhase = Phase::Connecting;
  int nConnectFd = -1;          // Start's descriptor until the socket takes it (closed with the connection)
  uint32_t unWriters = 0;       // SendData calls writing right now
  bool bCloseWhenIdle = false;  // the last writer closes the socket (the thread already ended)

  // REQUIRES: Shared::mtx. The thread is done with the socket (or never had it): shut it down
  // and close it; while a SendData writes on it, only shut it down, which fails that write at
  // once (a server that stopped reading would otherwise hold it for ever), and leave the close
  // to the last writer.
  void EndSocketLocked();
};

namespace {

// Shuts the socket down and closes it, ignoring errors of both.
void ShutdownAndClose(tcp::socket& socket) {
  boost::system::error_code ec;
  if (socket.is_open()) {
    (void)socket.shutdown(tcp::socket::shutdown_both, ec);
    (void)socket.close(ec);
  }
}

}  // namespace

void CTcpClient::Connection::EndSocketLocked() {
  if (unWriters == 0) {
    ShutdownAndClose(socket);
    return;
  }
  boost::system::error_code ec;
  if (socket.is_open()) {
    (void)socket.shutdown(tcp::socket::shutdown_both, ec);
  }
  bCloseWhenIdle = true;
}

namespace {

// While an answer may be awaited, the receive thread looks at the deadline this often.
constexpr int kAnswerWatchSliceMs = 200;

int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits until the socket has something for a read, or until the connection's answer deadline
// passes (false). Without a deadline it still wakes every slice, so that a deadline set while it
// waits is seen in time.
bool WaitForBlock(int nFd, const std::atomic<int64_t>& nDeadlineMs,
                  const std::atomic<bool>& bStop) {
  for (;;) {
    int nWaitMs = kAnswerWatchSliceMs;
    int64_t nDeadline = nDeadlineMs.load();
    if (nDeadline != 0) {
      int64_t nLeft = nDeadline - SteadyNowMs();
      if (nLeft <= 0) {
        return false;
      }
      nWaitMs = static_cast<int>(std::min<int64_t>(nLeft, kAnswerWatchSliceMs));
    }
    struct pollfd pfd = {nFd, POLLIN, 0};
    if (::poll(&pfd, 1, nWaitMs) != 0 || bStop.load()) {
      return true;  // readable, ended, failed or interrupted: the read tells which
    }
  }
}

// The server's endpoint from its dotted-quad address and decimal port; throws
// boost::system::system_error ("resolve: Invalid argument") for anything else.
tcp::endpoint MakeEndpoint(const std::string& strAddress, const std::string& strPort) {
  boost::system::error_code ec;
  const boost::asio::ip::address_v4 address = boost::asio::ip::make_address_v4(strAddress, ec);
  char* pEnd = nullptr;
  errno = 0;
  const unsigned long ulPort = std::strtoul(strPort.c_str(), &pEnd, 10);
  if (ec || strPort.empty() || *pEnd != '\0' || errno != 0 || ulPort > 65535 ||
      !std::isdigit(static_cast<unsigned char>(strPort[0]))) {
    throw boost::system::system_error(boost::asio::error::invalid_argument, "resolve");
  }
  return tcp::endpoint(address, static_cast<unsigned short>(ulPort));
}

void LogThreadLoopError(const char* szError) {
  std::fprintf(stderr, "Exception: %s\n", szError);
  char szMessage[kMessageSize] = {0};
  std::snprintf(szMessage, sizeof szMessage, "FUNCTION %s  LINE %d Exception in thread:%s!",
                "ThreadLoop", kThreadLoopLine, szError);
  WriteLog(szMessage);
}

}  // namespace

CTcpClient::CTcpClient() : m_spShared(std::make_shared<Shared>()) {
  (void)SocketContext();
  // The design leaves the area unfilled until the first Close; a defined start costs nothing.
  std::memset(&m_stWorkArea, 0, sizeof m_stWorkArea);
}

CTcpClient::~CTcpClient() {
  boost::mutex::scoped_lock lock(m_spShared->mtx);
  m_spShared->bConnected.store(false);
  if (m_spConnection) {
    StopConnectionLocked(*m_spConnection);
    m_spConnection.reset();
  }
  m_hPeer.reset();
}

void CTcpClient::Configure(const char* szAddress, int32_t nServerPort, int32_t nVelmPort,
                           uint32_t unIndex) {
  if (szAddress == nullptr) {
    return;
  }
  boost::mutex::scoped_lock lock(m_spShared->mtx);
  m_strAddress = szAddress;
  m_strServerPort = std::to_string(nServerPort);
  m_strVelmPort = std::to_string(nVelmPort);
  m_unModuleIndex.store(unIndex);
}

void CTcpClient::GetServerInfo(char* szAddress, size_t unAddressSize, int32_t* pnServerPort,
                               int32_t* pnVelmPort, uint32_t* punIndex) const {
  if (szAddress == nullptr || unAddressSize == 0 || pnServerPort == nullptr ||
      punIndex == nullptr) {
    return;
  }
  boost::mutex::scoped_lock lock(m_spShared->mtx);
  (void)CopyText(szAddress, unAddressSize, m_strAddress.c_str());  // cut to the buffer
  *pnServerPort = std::atoi(m_strServerPort.c_str());
  if (pnVelmPort != nullptr) {
    *pnVelmPort = std::atoi(m_strVelmPort.c_str());
  }
  *punIndex = m_unModuleIndex.load();
}

void CTcpClient::StopConnectionLocked(Connection& connection) {
  bool bFirst = !connection.bStop.exchange(true);
  switch (connection.ePhase) {
    case Phase::Connecting:
      if (bFirst && connection.nConnectFd >= 0) {
        // The descriptor belongs to the connecting thread, which closes it: a shutdown only
        // aborts the connect and wakes the thread's wait, which then sees bStop ("Operation
        // canceled"). A thread that has not published its descriptor yet sees bStop first.
        (void)::shutdown(connection.nConnectFd, SHUT_RDWR);
      }
      break;
    case Phase::Connected: {
      // Wakes the thread's read with the end of the stream; the thread then closes the socket.
      // Closing it here would race with that read and could hand the descriptor number to the
      // next connection while the old thread still reads from it.
      boost::system::error_code ec;
      (void)connection.socket.shutdown(tcp::socket::shutdown_both, ec);
      break;
    }
    case Phase::Ended:
      connection.EndSocketLocked();
      break;
  }
}

void CTcpClient::Start(DeviceHandle hPeer) {
  std::shared_ptr<Connection> spConnection;
  std::string strAddress;
  std::string strPort;
  {
    boost::mutex::scoped_lock lock(m_spShared->mtx);
    if (m_strServerPort == "0") {
      return;
    }
    // A newer Start supersedes the older connection: nothing could reach it any more.
    if (m_spConnection) {
      StopConnectionLocked(*m_spConnection);
      m_spConnection.reset();
    }
    m_spShared->cvConnection.notify_all();  // a wait for the older connection ends
    // The descriptor is taken here, so that a process out of descriptors fails the Start (the
    // pool keeps the client FREE) rather than the connect (which would put a sound module in
    // ERROR).
    const int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (nFd < 0) {
      const int nError = errno;
      m_spShared->bConnected.store(false);
      DeviceHandle hFormerPeer;
      hFormerPeer.swap(m_hPeer);
      lock.unlock();  // the handle is released outside the lock
      throw boost::system::system_error(
          boost::system::error_code(nError, boost::system::system_category()), "socket");
    }
    m_spShared->bConnected.store(false);
    m_spShared->bAnswerTimedOut.store(false);
    m_spShared->bWriteStalled.store(false);
    try {
      spConnection = std::make_shared<Connection>(++m_spShared->unGeneration);
    } catch (...) {
      (void)::close(nFd);
      throw;
    }
    spConnection->nConnectFd = nFd;  // the receive thread's from here on
    m_spConnection = spConnection;
    m_hPeer = hPeer;
    strAddress = m_strAddress;
    strPort = m_strServerPort;
    m_spShared->unThreads.fetch_add(1);
  }

  try {
    // Detached: the thread ends with its connection (server end, read error, Close, a newer
    // Start, or a failed connect). The connection and the device handle are moved into the
    // body's parameters, so they are released before the thread stops counting.
    std::shared_ptr<Shared> spShared = m_spShared;
    StartDetachedThread([this, spShared, spConnection, hPeer, strAddress, strPort]() mutable {
      ThreadLoop(spShared, std::move(spConnection), std::move(hPeer), std::move(strAddress),
                 std::move(strPort));
      spShared->unThreads.fetch_sub(1);
    });
  } catch (...) {
    DeviceHandle hFormerPeer;  // released below, outside the lock
    {
      boost::mutex::scoped_lock lock(m_spShared->mtx);
      m_spShared->unThreads.fetch_sub(1);
      spConnection->ePhase = Phase::Ended;
      if (m_spConnection == spConnection) {
        m_spConnection.reset();
        hFormerPeer.swap(m_hPeer);  // a client without a connection keeps no device
      }
      m_spShared->cvConnection.notify_all();
    }
    throw;
  }
}

void CTcpClient::ExpectAnswerWithin(uint32_t unTimeoutMs) {
  boost::mutex::scoped_lock lock(m_spShared->mtx);
  if (m_spConnection && unTimeoutMs > 0) {
    m_spConnection->nAnswerDeadlineMs.store(SteadyNowMs() + unTimeoutMs);
  }
}

bool CTcpClient::AnswerTimedOut() const {
  return m_spShared->bAnswerTimedOut.load();
}

bool CTcpClient::ServerFailed() const {
  return m_spShared->bAnswerTimedOut.load() || m_spShared->bWriteStalled.load();
}

bool CTcpClient::IsConnected() const {
  return m_spShared->bConnected.load();
}

bool CTcpClient::WaitConnected(uint32_t unTimeoutMs) {
  if (m_spShared->bConnected.load()) {
    return true;  // the relay's every frame after the first
  }
  const std::chrono::steady_clock::time_point tmDeadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(unTimeoutMs);
  boost::mutex::scoped_lock lock(m_spShared->mtx);
  for (;;) {
    if (m_spShared->bConnected.load()) {
      return true;
    }
    // Nothing more to wait for: no connection, or the latest one stopped or ended (a refused
    // connect, a time-out, a stop) without coming up.
    if (!m_spConnection || m_spConnection->bStop.load() ||
        m_spConnection->ePhase == Phase::Ended) {
      return false;
    }
    if (m_spShared->cvConnection.wait_until(lock, tmDeadline) == std::cv_status::timeout) {
      return m_spShared->bConnected.load();
    }
  }
}

uint32_t CTcpClient::ThreadCount() const {
  return m_spShared->unThreads.load();
}

void CTcpClient::ConnectWithin(Shared& shared, Connection& connection,
                               const tcp::endpoint& endpoint) {
  const auto SystemError = [](int nError) {
    return boost::system::system_error(
        boost::system::error_code(nError, boost::system::system_category()));
  };
  // The descriptor Start opened. It stays the connection's until the socket takes it; one that
  // never connects is closed when the connection ends (under the lock, so a stop never shuts
  // down a number that is being reused).
  int nFd = -1;
  {
    boost::mutex::scoped_lock lock(shared.mtx);
    nFd = connection.nConnectFd;
    if (nFd < 0) {
      throw SystemError(EBADF);  // not reached: every Start hands one over
    }
    if (connection.bStop.load()) {
      throw boost::system::system_error(boost::asio::error::operation_aborted);
    }
  }
  int nError = 0;
  bool bTimedOut = false;
  if (::connect(nFd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
    nError = errno;
  }
  if (nError == EINPROGRESS) {
    // Waits for the connect, a stop (the shutdown wakes the wait) or the deadline.
    const auto tmDeadline = std::chrono::steady_clock::now() + kConnectTimeout;
    nError = 0;
    for (;;) {
      const auto tmNow = std::chrono::steady_clock::now();
      if (tmNow >= tmDeadline) {
        bTimedOut = true;
        break;
      }
      if (connection.bStop.load()) {
        break;
      }
      // Rounded up to whole milliseconds: the wait never ends before the deadline.
      const int64_t nLeftUs =
          std::chrono::duration_cast<std::chrono::microseconds>(tmDeadline - tmNow).count();
      struct pollfd pfd = {nFd, POLLOUT, 0};
      const int nReady = ::poll(&pfd, 1, static_cast<int>((nLeftUs + 999) / 1000));
      if (nReady < 0 && errno == EINTR) {
        continue;
      }
      if (nReady > 0) {
        socklen_t unSize = sizeof nError;
        if (::getsockopt(nFd, SOL_SOCKET, SO_ERROR, &nError, &unSize) != 0) {
          nError = errno;
        }
        break;
      }
      if (nReady < 0) {
        nError = errno;
        break;
      }
    }
  }
  boost::mutex::scoped_lock lock(shared.mtx);
  if (connection.bStop.load() || bTimedOut) {
    // Stopped, or the deadline passed first: the connect is cancelled.
    throw boost::system::system_error(boost::asio::error::operation_aborted);
  }
  if (nError != 0) {
    throw SystemError(nError);
  }
  boost::system::error_code ec;
  (void)connection.socket.assign(tcp::v4(), nFd, ec);
  if (ec) {
    throw boost::system::system_error(ec, "assign");
  }
  connection.nConnectFd = -1;  // the socket's now
}

void CTcpClient::ThreadLoop(std::shared_ptr<Shared> spShared,
                            std::shared_ptr<Connection> spConnection, DeviceHandle hPeer,
                            std::string strAddress, std::string strPort) {
  Shared& shared = *spShared;
  Connection& connection = *spConnection;

  // Ends the connection: clears the flag if this is still the newest connection, and closes the
  // socket unless a SendData is writing on it (then it is only shut down, and the last writer
  // closes it).
  auto endConnection = [&shared, &connection](bool bClose) {
    boost::mutex::scoped_lock lock(shared.mtx);
    if (connection.unGeneration == shared.unGeneration) {
      shared.bConnected.store(false);
    }
    connection.ePhase = Phase::Ended;
    if (connection.nConnectFd >= 0) {
      (void)::close(connection.nConnectFd);  // never connected; no stop shuts it down once Ended
      connection.nConnectFd = -1;
    }
    if (bClose) {
      connection.EndSocketLocked();
    }
    shared.cvConnection.notify_all();  // a waiter for this connection need wait no longer
  };

  // Connect, then the socket options. Once connected, a failure ends the connection as the
  // server's end would: a device paired with it must not be left sending into nothing.
  bool bUp = false;     // connected (and the device, if any, told so through IsConnected)
  bool bReady = false;  // connected with every option set
  try {
    if (connection.bStop.load()) {
      endConnection(true);
      return;
    }
    boost::system::error_code ec;
    // Module addresses are dotted quads and ports numbers: the endpoint is formed directly, with
    // no name service involved.
    const tcp::endpoint endpoint = MakeEndpoint(strAddress, strPort);
    ConnectWithin(shared, connection, endpoint);
    {
      boost::mutex::scoped_lock lock(shared.mtx);
      if (connection.bStop.load()) {
        // Stopped while the connect completed: this connection is no longer wanted.
        connection.ePhase = Phase::Ended;
        ShutdownAndClose(connection.socket);
        shared.cvConnection.notify_all();
        return;
      }
      connection.ePhase = Phase::Connected;
      if (connection.unGeneration == shared.unGeneration) {
        shared.bConnected.store(true);
      }
      shared.cvConnection.notify_all();  // the device's first frame may go out now
      bUp = true;
    }
    (void)connection.socket.set_option(tcp::no_delay(true), ec);
    if (ec) {
      throw boost::system::system_error(ec, "set_option");
    }
    (void)connection.socket.set_option(boost::asio::socket_base::keep_alive(true), ec);
    if (ec) {
      throw boost::system::system_error(ec, "set_option");
    }
    ApplyPeerTiming(connection.socket.native_handle());  // a vanished server shows in a minute
    bReady = true;
  } catch (const std::exception& e) {
    LogThreadLoopError(e.what());
    if (!bUp) {
      endConnection(false);  // a failed connect left the socket closed
      return;
    }
  }

  // Read until the connection ends.
  uint8_t arrBuffer[kReceiveBufferSize];
  try {
    for (;;) {
      if (!bReady) {
        break;  // an option could not be set: the connection ends here
      }
      if (connection.bStop.load()) {
        break;
      }
      if (!WaitForBlock(connection.socket.native_handle(), connection.nAnswerDeadlineMs,
                        connection.bStop)) {
        // The server holds a device's request without answering: the session ends, and the
        // owner takes the server out of service (AnswerTimedOut).
        shared.bAnswerTimedOut.store(connection.unGeneration == shared.unGeneration);
        WriteLogF("Samv Server %s:%s gave no answer in time", strAddress.c_str(),
                  strPort.c_str());
        break;
      }
      boost::system::error_code ec;
      // Ends when the server closes or resets, or when Close shuts down.
      size_t unCount = connection.socket.read_some(boost::asio::buffer(arrBuffer), ec);
      if (ec == boost::asio::error::timed_out) {
        // The kernel gave the server up (data or keep-alive probes unanswered, or a window kept
        // shut, past TCP_USER_TIMEOUT): a faulty server, taken out of service like one that
        // stopped reading.
        boost::mutex::scoped_lock lock(shared.mtx);
        if (connection.unGeneration == shared.unGeneration) {
          shared.bWriteStalled.store(true);
        }
      }
      if (ec || unCount == 0) {
        break;
      }
      // A stopped connection delivers nothing more (the client may be gone, or its work area
      // already cleared for the next device); the callback runs whole before a stop completes.
      boost::mutex::scoped_lock deliver(shared.mtxDeliver);
      if (connection.bStop.load()) {
        break;
      }
      // The server's keep-alive block, where a frame would begin: not an answer. Four zero bytes
      // inside an answer (a split photo) are part of it.
      if (unCount == 4 && arrBuffer[0] == 0 && arrBuffer[1] == 0 && arrBuffer[2] == 0 &&
          arrBuffer[3] == 0 && m_AnswerFramer.AtBoundary()) {
        continue;
      }
      connection.nAnswerDeadlineMs.store(0);
      ClientReceiveCallback pCallback = m_pReceiveCallback.load();
      if (pCallback != nullptr) {
        (void)pCallback(this, &connection.socket, arrBuffer, static_cast<uint32_t>(unCount), hPeer);
      }
    }
  } catch (const std::exception& e) {
    // The callback must not raise; if it does, the connection ends here rather than the process.
    LogThreadLoopError(e.what());
  } catch (...) {
    LogThreadLoopError("unknown exception");
  }
  endConnection(true);
  if (hPeer && !connection.bStop.load()) {
    // The server ended a device's session (it closed, reset, or failed a write): requests of
    // that device would go nowhere. Ending the device's connection makes it come back and be
    // paired with a working server, and its release returns this client to the pool.
    WriteLogF("Samv Server %s:%s ended the session: device connection closed", strAddress.c_str(),
              strPort.c_str());
    hPeer->EndFromGateway();
  }
}

uint32_t CTcpClient::SendData(const uint8_t* pData, uint32_t unCount) {
  if (pData == nullptr) {
    return 0;
  }
  if (!WaitConnected(kSendConnectWaitMs)) {
    return 0;
  }
  if (unCount == 0) {
    return 0;
  }

  std::shared_ptr<Connection> spConnection;
  {
    boost::mutex::scoped_lock lock(m_spShared->mtx);
    spConnection = m_spConnection;
    if (!spConnection || spConnection->ePhase != Phase::Connected || spConnection->bStop.load()) {
      return 0;  // the connection went away between the test and here
    }
    ++spConnection->unWriters;
  }
  // A server that stops reading fails the write after the stall limit instead of holding the
  // device's session for ever.
  boost::system::error_code ec =
      WriteWithin(spConnection->socket.native_handle(), pData, static_cast<size_t>(unCount));
  {
    boost::mutex::scoped_lock lock(m_spShared->mtx);
    if (ec == boost::system::errc::timed_out &&
        spConnection->unGeneration == m_spShared->unGeneration) {
      // The server took nothing for the stall limit: it is there but does not read (or no longer
      // acknowledges). Marked before the shutdown below, so the release that follows sees it.
      m_spShared->bWriteStalled.store(true);
    }
    if (ec && spConnection->ePhase == Phase::Connected) {
      // Part of a request may have gone out: the connection is of no more use. Its receive
      // thread sees the end and closes the socket.
      boost::system::error_code ecShutdown;
      (void)spConnection->socket.shutdown(tcp::socket::shutdown_both, ecShutdown);
    }
    if (--spConnection->unWriters == 0 && spConnection->bCloseWhenIdle) {
      ShutdownAndClose(spConnection->socket);
    }
  }
  if (ec) {
    std::string strError = boost::system::system_error(ec, "write").what();
    char szMessage[kMessageSize] = {0};
    std::snprintf(szMessage, sizeof szMessage, "FUNCTION %s  LINE %d Exception in thread:%s!",
                  "SendData", kSendDataLine, strError.c_str());
    WriteLog(szMessage);
    return 0;
  }
  return unCount;
}

void CTcpClient::StopConnection() {
  DeviceHandle hFormerPeer;  // released below, outside the lock
  {
    boost::mutex::scoped_lock lock(m_spShared->mtx);
    m_spShared->bConnected.store(false);
    if (m_spConnection) {
      StopConnectionLocked(*m_spConnection);
      m_spConnection.reset();
    }
    m_spShared->cvConnection.notify_all();
    // A released client keeps nothing of its former device: its socket closes once the session
    // and the receive thread have let go of it too.
    hFormerPeer.swap(m_hPeer);
  }
  // Every later look of a receive thread at its stop flag finds it set; wait out a callback that
  // looked before.
  boost::mutex::scoped_lock deliver(m_spShared->mtxDeliver);
}

void CTcpClient::Close() {
  // The connection first: an answer being captured finishes against the session it belongs to
  // before the area is cleared, and none comes after.
  StopConnection();
  m_AnswerFramer.Reset();
  boost::mutex::scoped_lock lock(m_mtxWorkArea);
  std::memset(&m_stWorkArea, 0, sizeof m_stWorkArea);
  m_stAnswerState.Reset();
}

void CTcpClient::SetDeviceInfo(const char* szDeviceIp) {
  if (szDeviceIp == nullptr) {
    return;
  }
  char szTime[kTimeTextSize] = {0};
  GetLocalTimeString(szTime);
  boost::mutex::scoped_lock lock(m_mtxWorkArea);
  (void)CopyText(m_stWorkArea.szConnectTime, sizeof m_stWorkArea.szConnectTime, szTime);
  (void)CopyText(m_stWorkArea.szDeviceIp, sizeof m_stWorkArea.szDeviceIp, szDeviceIp);  // 15 max
}

void CTcpClient::SetRequestHead(const uint8_t* pHead32, const uint8_t* pParam8) {
  if (pHead32 == nullptr || pParam8 == nullptr) {
    return;
  }
  boost::mutex::scoped_lock lock(m_mtxWorkArea);
  std::memcpy(m_stWorkArea.arrRequestHead, pHead32, sizeof m_stWorkArea.arrRequestHead);
  std::memcpy(m_stWorkArea.arrRequestParam, pParam8, sizeof m_stWorkArea.arrRequestParam);
}

void CTcpClient::SetRequestInfo(uint32_t unAccountNo, const uint8_t* pUserInfo64,
                                const uint8_t* pDeviceId64, const uint8_t* pTransData1024) {
  boost::mutex::scoped_lock lock(m_mtxWorkArea);
  m_stWorkArea.unAccountNo = unAccountNo;
  if (pUserInfo64 != nullptr) {
    std::memcpy(m_stWorkArea.arrUserInfo, pUserInfo64, sizeof m_stWorkArea.arrUserInfo);
  }
  if (pDeviceId64 != nullptr) {
    std::memcpy(m_stWorkArea.szDeviceId, pDeviceId64, sizeof m_stWorkArea.szDeviceId);
  }
  if (pTransData1024 != nullptr) {
    std::memcpy(m_stWorkArea.szTransData, pTransData1024, sizeof m_stWorkArea.szTransData);
  }
  if (!m_stAnswerState.pending.Push(RequestFieldsOf(m_stWorkArea)) &&
      !m_stAnswerState.bOverflowLogged) {
    // A reader that sends card commands without waiting for their answers: their order is kept,
    // their fields are not (once a session).
    m_stAnswerState.bOverflowLogged = true;
    WriteLogF("FUNCTION %s  LINE %d %u card commands wait for their answers: the records of "
              "later ones carry the fields of the latest command",
              "SetRequestInfo", __LINE__, static_cast<unsigned>(CRequestFieldQueue::kCapacity));
  }
}

void CTcpClient::IncRequestCount() {
  boost::mutex::scoped_lock lock(m_mtxWorkArea);
  ++m_stWorkArea.unRequestCount;
}

void CTcpClient::IncAnswerCount() {
  boost::mutex::scoped_lock lock(m_mtxWorkArea);
  ++m_stWorkArea.unAnswerCount;
}
