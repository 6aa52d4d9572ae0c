#include "net/tcp_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>

#include "config/run_log.h"
#include "net/peer_timing.h"
#include "net/thread_stack.h"

namespace {

constexpr size_t kReceiveBufferSize = 4096;
constexpr size_t kMessageSize = 256;
// The backlog of the router (its SOMAXCONN); a build host may allow more, the gateway asks 128.
constexpr int kListenBacklog = 128;

// Source lines that the run-log messages name (fixed by the design; tests match them).
constexpr int kAcceptLoopLine = 127;
constexpr int kSessionLoopLine = 207;
constexpr int kSendDataLine = 274;

// Pauses after a failed accept: from the shortest, doubled per failure, up to the longest.
constexpr uint32_t kAcceptBackoffMinMs = 10;
constexpr uint32_t kAcceptBackoffMaxMs = 1000;

int64_t SteadyNowMs() {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
}

constexpr int kAcceptReportMs = 1000;  // at most one report of accept failures per second

void ThrowIfError(const boost::system::error_code& ec, const char* szWhat) {
  if (ec) {
    throw boost::system::system_error(ec, szWhat);
  }
}

// Ends a device connection that the server gives up. The peer sees the end at once through the
// shutdown. The descriptor is closed here only when no other thread holds the handle: a copy kept
// by the gateway (a SAMV client relaying to this device) may be writing on the socket, and
// closing under it would race with that write and could hand the descriptor number to a new
// connection. Otherwise the socket closes when the last copy is released.
void EndDeviceSocket(const DeviceHandle& hDevice) {
  boost::system::error_code ec;
  if (!hDevice->is_open()) {
    return;
  }
  (void)hDevice->shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);  // errors ignored
  if (hDevice.use_count() == 1) {
    (void)hDevice->close(ec);  // errors ignored
  }
}

// Waits until the device socket has something for a read (bytes, the end, an error), at most
// unTimeoutMs. False when nothing came in time.
bool WaitReadable(int nFd, uint32_t unTimeoutMs) {
  for (;;) {
    struct pollfd pfd = {nFd, POLLIN, 0};
    int nReady = ::poll(&pfd, 1, static_cast<int>(unTimeoutMs));
    if (nReady < 0 && errno == EINTR) {
      continue;  // a signal: the wait starts again, so the limit is a lower bound
    }
    return nReady != 0;  // an error of poll itself is left to the read, which reports it
  }
}

// Why the gateway ended a session: the device was silent for the idle limit, or held its module
// for the log-in limit without logging in.
void LogSessionEnd(DeviceSocket& device, bool bIdle, uint32_t unSeconds) {
  boost::system::error_code ecPeer;
  boost::asio::ip::tcp::endpoint peer = device.remote_endpoint(ecPeer);
  char szMessage[kMessageSize] = {0};
  std::snprintf(szMessage, sizeof szMessage,
                bIdle ? "Device Idle Ip:%s Port: %d sent nothing for %u s: connection closed"
                      : "Device Ip:%s Port: %d did not log in within %u s: connection closed",
                ecPeer ? "" : peer.address().to_string().c_str(),
                ecPeer ? 0 : static_cast<int>(peer.port()), unSeconds);
  WriteLog(szMessage);
}

// An error while a connection was being taken on (options, the accept or pair callback).
void LogAcceptError(const char* szError) {
  char szMessage[kMessageSize] = {0};
  std::snprintf(szMessage, sizeof szMessage, "FUNCTION %s  LINE %d Exception:%s!", "ThreadLoop",
                kAcceptLoopLine, szError);
  WriteLog(szMessage);
}

// The options of an accepted device socket; throws "set_option: ..." when one that matters
// cannot be set.
void ConfigureDeviceSocket(DeviceSocket& device) {
  boost::system::error_code ec;
  (void)device.set_option(boost::asio::ip::tcp::no_delay(true), ec);
  ThrowIfError(ec, "set_option");
  struct timeval tv = {1, 0};
  int fd = device.native_handle();
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // result ignored
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // result ignored
  (void)device.set_option(boost::asio::socket_base::keep_alive(true), ec);
  ThrowIfError(ec, "set_option");
  ApplyPeerTiming(fd);  // a vanished device is noticed within about a minute
}

}  // namespace

void DeviceSocket::EndFromGateway() {
  m_bEndedFromGateway.store(true);
  // The descriptor stays open (it is closed with the last handle); a shutdown never blocks.
  (void)::shutdown(native_handle(), SHUT_RDWR);  // fails only when the device is gone already
}

CTcpServer::CTcpServer(uint16_t unPort) {
  using boost::asio::ip::tcp;
  m_upAcceptor.reset(new tcp::acceptor(m_ioContext));
  boost::system::error_code ec;
  (void)m_upAcceptor->open(tcp::v4(), ec);
  ThrowIfError(ec, "open");
  (void)m_upAcceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  ThrowIfError(ec, "set_option");
  (void)m_upAcceptor->bind(tcp::endpoint(boost::asio::ip::address_v4::any(), unPort), ec);
  ThrowIfError(ec, "bind");
  (void)m_upAcceptor->listen(kListenBacklog, ec);
  ThrowIfError(ec, "listen");
}

CTcpServer::~CTcpServer() {
  if (m_upAcceptor) {
    boost::system::error_code ec;
    (void)m_upAcceptor->close(ec);  // errors ignored: the object goes away regardless
    m_upAcceptor.reset();
  }
}

bool CTcpServer::Start() {
  m_unThreadCount.fetch_add(1);
  // Accepting from here on: the listening socket queues connections before the thread takes them.
  m_bAccepting.store(!m_bStop.load());
  try {
    // Detached: the accept thread ends after the first connection it handles once Stop is set;
    // the server outlives it (in the gateway it lives until the process ends).
    StartDetachedThread([this]() {
      ThreadLoop();
      m_unThreadCount.fetch_sub(1);  // the last use of this object by the thread
    });
  } catch (...) {
    m_unThreadCount.fetch_sub(1);
    m_bAccepting.store(false);
    throw;
  }
  return true;
}

void CTcpServer::Stop() {
  m_bStop.store(true);
}

void CTcpServer::StopAccepting() {
  m_bStop.store(true);
  m_bAccepting.store(false);
  if (m_upAcceptor) {
    // A blocked accept returns at once (Linux) and the port stops listening; the descriptor
    // itself is closed with the server.
    (void)::shutdown(m_upAcceptor->native_handle(), SHUT_RDWR);
  }
}

bool CTcpServer::AcceptsDevices() const {
  // Failures repeat at most kAcceptBackoffMaxMs apart while they last: three such pauses
  // without one mean the accepts go through again, even when no reader has come since.
  const int64_t nLastFailureMs = m_nLastAcceptFailureMs.load();
  return m_bAccepting.load() &&
         (nLastFailureMs == 0 || SteadyNowMs() - nLastFailureMs > 3 * kAcceptBackoffMaxMs);
}

uint16_t CTcpServer::LocalPort() const {
  boost::system::error_code ec;
  boost::asio::ip::tcp::endpoint local = m_upAcceptor->local_endpoint(ec);
  return ec ? 0 : local.port();
}

void CTcpServer::ThreadLoop() {
  // However the loop ends, the server no longer accepts.
  struct AcceptingGuard {
    std::atomic<bool>& bFlag;
    ~AcceptingGuard() { bFlag.store(false); }
  } guard{m_bAccepting};
  if (!m_upAcceptor) {
    return;
  }
  // Accept failures (descriptors exhausted) repeat at once while their cause lasts: the loop
  // backs off, doubling its pause up to kAcceptBackoffMaxMs, and reports at most once a second.
  uint32_t unBackoffMs = 0;
  uint32_t unUnreported = 0;
  std::chrono::steady_clock::time_point tmLastReport;
  bool bReported = false;
  while (!m_bStop.load()) {
    DeviceHandle hDevice;
    bool bAcceptFailed = false;
    try {
      hDevice.reset(new DeviceSocket(m_ioContext));
      boost::system::error_code ec;
      (void)m_upAcceptor->accept(*hDevice, ec);
      bAcceptFailed = static_cast<bool>(ec);
      if (bAcceptFailed && !m_bStop.load()) {
        m_nLastAcceptFailureMs.store(SteadyNowMs());
      }
      ThrowIfError(ec, "accept");
      unBackoffMs = 0;
      // The socket options are set by the session thread: the accept thread takes the next
      // device meanwhile.
      if (m_pAcceptCallback == nullptr) {
        EndDeviceSocket(hDevice);
        continue;
      }
      void* pContext = m_pAcceptCallback(hDevice);
      if (pContext == nullptr) {
        EndDeviceSocket(hDevice);
        continue;
      }
      StartSession(hDevice, pContext);
    } catch (const std::exception& e) {
      if (m_bStop.load()) {
        break;  // the listening socket was shut for the stop
      }
      if (!bAcceptFailed) {
        LogAcceptError(e.what());
        if (hDevice) {
          EndDeviceSocket(hDevice);
        }
        continue;
      }
      ++unUnreported;
      std::chrono::steady_clock::time_point tmNow = std::chrono::steady_clock::now();
      if (!bReported || tmNow - tmLastReport >= std::chrono::milliseconds(kAcceptReportMs)) {
        char szMessage[kMessageSize] = {0};
        std::snprintf(szMessage, sizeof szMessage,
                      "FUNCTION %s  LINE %d Exception:%s! (%u accept failures since the last report)",
                      "ThreadLoop", kAcceptLoopLine, e.what(), unUnreported);
        WriteLog(szMessage);
        bReported = true;
        tmLastReport = tmNow;
        unUnreported = 0;
      }
      unBackoffMs = unBackoffMs == 0 ? kAcceptBackoffMinMs
                                     : std::min(2 * unBackoffMs, kAcceptBackoffMaxMs);
      std::this_thread::sleep_for(std::chrono::milliseconds(unBackoffMs));
    }
  }
}

void CTcpServer::StartSession(const DeviceHandle& hDevice, void* pContext) {
  m_unThreadCount.fetch_add(1);
  try {
    // Detached: the session ends with its connection. The handle is moved into the session's
    // parameter, so the thread's copy is released before the count drops.
    StartDetachedThread([this, hSession = hDevice, pContext]() mutable {
      m_unSessionCount.fetch_add(1);
      TcpSessionThread(std::move(hSession), pContext);
      m_unSessionCount.fetch_sub(1);
      m_unThreadCount.fetch_sub(1);  // the last use of this object by the thread
    });
  } catch (...) {
    m_unThreadCount.fetch_sub(1);
    // The accept callback handed out a context that no session will ever give back: return it
    // through the close callback (in the gateway, the SAMV client goes back to FREE). The error
    // itself is logged by the accept loop, which then ends the connection.
    if (m_pCloseCallback != nullptr) {
      m_pCloseCallback(hDevice, pContext);
    }
    throw;
  }
}

void CTcpServer::TcpSessionThread(DeviceHandle hDevice, void* pContext) {
  if (!hDevice) {
    return;
  }
  try {
    ConfigureDeviceSocket(*hDevice);
  } catch (const std::exception& e) {
    LogAcceptError(e.what());
    if (m_pCloseCallback != nullptr) {
      (void)m_pCloseCallback(hDevice, pContext);  // hands back what the accept callback gave
    }
    EndDeviceSocket(hDevice);
    return;
  }
  if (m_pPairCallback != nullptr) {
    // The pairing waits for the device's module to connect: here, on the session's own thread,
    // the accept thread is already taking the next device.
    try {
      pContext = m_pPairCallback(hDevice, pContext);
    } catch (const std::exception& e) {
      pContext = nullptr;
      LogAcceptError(e.what());
    } catch (...) {
      pContext = nullptr;
      LogAcceptError("unknown exception");
    }
    if (pContext == nullptr) {
      EndDeviceSocket(hDevice);
      return;
    }
  }
  uint8_t arrBuffer[kReceiveBufferSize];
  std::string strError;
  bool bCleanEnd = false;
  bool bIdle = false;  // ended by the gateway for silence, or for want of a log-in
  // The device holds its module from here; until its owner marks it logged in, for this long.
  const uint32_t unLoginS = m_unLoginTimeoutS.load();
  const std::chrono::steady_clock::time_point tmLoginDeadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(unLoginS);
  uint32_t unQuietMs = 0;  // the owner holds bytes back: call it after this much quiet
  try {
    for (;;) {
      if (hDevice->EndedFromGateway()) {
        // The gateway ended the session (a failed write either way): what the device sent
        // before that may still be queued, and would only be forwarded into a connection that
        // is gone. The session ends as at the end of the device's stream.
        bCleanEnd = true;
        break;
      }
      std::memset(arrBuffer, 0, sizeof arrBuffer);
      if (unQuietMs > 0 && m_pQuietCallback != nullptr &&
          !WaitReadable(hDevice->native_handle(), unQuietMs)) {
        unQuietMs = m_pQuietCallback(hDevice, pContext);
        continue;
      }
      // A byte now and then keeps a device from being idle, but not from the log-in limit.
      uint64_t unLoginLeftMs = UINT64_MAX;
      if (unLoginS > 0 && !hDevice->LoggedIn()) {
        const auto left = tmLoginDeadline - std::chrono::steady_clock::now();
        unLoginLeftMs = left <= std::chrono::steady_clock::duration::zero()
                            ? 0
                            : static_cast<uint64_t>(
                                  std::chrono::ceil<std::chrono::milliseconds>(left).count());
        if (unLoginLeftMs == 0) {
          bIdle = true;
          LogSessionEnd(*hDevice, false, unLoginS);
          break;
        }
      }
      const uint32_t unIdleS = m_unIdleTimeoutS.load();
      const uint64_t unIdleMs = unIdleS > 0 ? unIdleS * 1000ull : UINT64_MAX;
      const uint64_t unWaitMs = std::min(unIdleMs, unLoginLeftMs);
      if (unWaitMs != UINT64_MAX &&
          !WaitReadable(hDevice->native_handle(), static_cast<uint32_t>(unWaitMs))) {
        if (unLoginLeftMs < unIdleMs) {
          continue;  // the log-in limit has come: ended above
        }
        bIdle = true;
        LogSessionEnd(*hDevice, true, unIdleS);
        break;
      }
      boost::system::error_code ec;
      // Waits without limit: Asio polls again after the 1-second SO_RCVTIMEO expires.
      size_t unCount = hDevice->read_some(boost::asio::buffer(arrBuffer), ec);
      if (ec == boost::asio::error::eof) {
        bCleanEnd = true;
        break;
      }
      if (ec) {
        throw boost::system::system_error(ec);  // the system's text alone
      }
      if (m_pReceiveCallback != nullptr) {
        const uint32_t unResult =
            m_pReceiveCallback(hDevice, arrBuffer, static_cast<uint32_t>(unCount), pContext);
        unQuietMs = m_pQuietCallback != nullptr ? unResult : 0;
      }
    }
  } catch (const std::exception& e) {
    strError = e.what();
  } catch (...) {
    strError = "unknown exception";
  }

  // Exactly one close callback per session, outside the guarded loop: it must not raise.
  if (m_pCloseCallback != nullptr) {
    (void)m_pCloseCallback(hDevice, pContext);
  }
  if (bIdle) {
    EndDeviceSocket(hDevice);
    return;
  }
  if (bCleanEnd) {
    if (!hDevice->EndedFromGateway()) {
      WriteLog("Connection closed cleanly by Device!");
    }
    EndDeviceSocket(hDevice);
    return;
  }
  char szMessage[kMessageSize] = {0};
  std::snprintf(szMessage, sizeof szMessage, "FUNCTION %s  LINE %d Exception in thread:%s!",
                "TcpSessionThread", kSessionLoopLine, strError.c_str());
  WriteLog(szMessage);
  // The socket is not closed here; it closes when the last copy of the handle is released.
}

uint32_t CTcpServer::SendData(DeviceHandle hDevice, const uint8_t* pData, uint32_t unLength,
                              char* szErrorText, size_t unErrorSize) {
  if (!hDevice || pData == nullptr || unLength == 0 || szErrorText == nullptr || unErrorSize == 0) {
    return 0;
  }
  boost::system::error_code ec;
  {
    // The other writer of this device waits, so frames never interleave; a device that stopped
    // reading holds it for the stall limit at most.
    boost::mutex::scoped_lock lock(hDevice->WriteMutex());
    ec = WriteWithin(hDevice->native_handle(), pData, unLength);
  }
  if (!ec) {
    return unLength;
  }
  // Part of a frame may have gone out, and a device that cannot take its answers holds its SAMV
  // module for nothing: the session ends here.
  hDevice->EndFromGateway();
  std::string strError = boost::system::system_error(ec, "write").what();
  char szMessage[kMessageSize] = {0};
  std::snprintf(szMessage, sizeof szMessage, "FUNCTION %s  LINE %d Exception in thread:%s!",
                "SendData", kSendDataLine, strError.c_str());
  WriteLog(szMessage);
  std::snprintf(szErrorText, unErrorSize, "%s", strError.c_str());
  return 0;
}

uint32_t CTcpServer::ThreadCount() const {
  return m_unThreadCount.load();
}
