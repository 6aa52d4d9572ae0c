#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

// The device socket handle: one accepted TCP socket, shared by reference count between the
// session thread, the callbacks and whoever else must write to the device (the SAMV client
// relaying answers). The socket lives while any copy exists.
//
// Two threads write to one device: its session thread (local replies) and its SAMV client's
// thread (relayed answers). A blocking write to a device that reads slowly goes out in pieces,
// so each write holds the socket's write lock until its frame is out whole.
class DeviceSocket : public boost::asio::ip::tcp::socket {
 public:
  using boost::asio::ip::tcp::socket::socket;
  boost::mutex& WriteMutex() { return m_mtxWrite; }

  // Ends the connection from the gateway's side, from any thread: shuts it down both ways, so
  // the device sees the end and the session thread's read ends, and keeps the descriptor for the
  // holders of the handle. The gateway has logged why; the session does not report it as a close
  // by the device.
  void EndFromGateway();
  bool EndedFromGateway() const { return m_bEndedFromGateway.load(); }

  // The owner has accepted the device's log-in: the server's log-in limit (SetLoginTimeout) no
  // longer applies to this session. Any thread.
  void MarkLoggedIn() { m_bLoggedIn.store(true); }
  bool LoggedIn() const { return m_bLoggedIn.load(); }

 private:
  boost::mutex m_mtxWrite;
  std::atomic<bool> m_bEndedFromGateway{false};
  std::atomic<bool> m_bLoggedIn{false};
};
using DeviceHandle = boost::shared_ptr<DeviceSocket>;

// Callbacks are plain functions; their owner is found by other means (g_pDataSwitch).
// Accept: returns the session context, or null to refuse the connection. May raise.
typedef void* (*ServerAcceptCallback)(DeviceHandle hDevice);
// Pair: the first thing a session thread does, before its first read; gets the accept callback's
// context and returns the context of the session, or null when the connection is not to be
// served (whatever the context held is released by then; no close callback follows). Work that
// may wait (connecting the device's module) belongs here, not in the accept callback, so that the
// accept thread goes on accepting. May raise: the error is logged as an accept error would be,
// and the connection is ended without a close callback.
typedef void* (*ServerPairCallback)(DeviceHandle hDevice, void* pContext);
// Receive: one chunk of 1..4096 bytes exactly as one read returned it; valid only during the call.
typedef uint32_t (*ServerReceiveCallback)(DeviceHandle hDevice, const uint8_t* pData,
                                          uint32_t unCount, void* pContext);
// Close: once per connection that got a context, after its last receive. Must not raise.
typedef uint32_t (*ServerCloseCallback)(DeviceHandle hDevice, void* pContext);
// Quiet: called on the session thread when the device sent nothing for the milliseconds that the
// last receive (or quiet) callback returned; returns the next such wait, 0 for none. Lets the
// owner act on bytes it holds back while waiting for more. May raise, as the receive callback.
typedef uint32_t (*ServerQuietCallback)(DeviceHandle hDevice, void* pContext);

// Listening side for the card reader terminals: one accept thread, one blocking session thread
// per device (both detached, with kThreadStackSize stacks), raw chunks to the callbacks.
//
// Where the server ends a connection itself (a refused or failed accept, the device's own clean
// close), it shuts the socket down in both directions, so the device sees the end at once, and
// closes the descriptor only when it holds the last copy of the handle; otherwise the socket
// closes with the last copy. A copy kept by the owner (a SAMV client relaying answers from its
// own thread) may be writing at that moment, and closing under it would race with the write and
// could pass the descriptor number on to the next connection. Writes on such a handle then fail
// with "write: Broken pipe" rather than "write: Bad file descriptor".
//
// An accept that fails (descriptors exhausted) is retried after a pause that doubles from 10 ms
// up to 1 s and is reset by the next accepted connection; the failure is logged at most once a
// second, with the number of failures since the last such line.
//
// When a session thread cannot be created for a connection whose accept callback returned a
// context, the context is handed back through the close callback (once) before the thread-
// resource error is logged by the accept loop and the connection is ended.
class CTcpServer {
 public:
  static constexpr uint16_t kDevicePort = 31213;

  // Opens, configures (SO_REUSEADDR), binds 0.0.0.0:unPort and listens (backlog 128). The
  // gateway always uses kDevicePort; tests may pass another port, 0 for any free one. Throws
  // boost::system::system_error whose text is "open: ...", "set_option: ...", "bind: ..." or
  // "listen: ...". Logs nothing.
  explicit CTcpServer(uint16_t unPort = kDevicePort);
  // Closes the listening socket; does not stop or join threads.
  ~CTcpServer();
  CTcpServer(const CTcpServer&) = delete;
  CTcpServer& operator=(const CTcpServer&) = delete;

  // Called before Start, from the thread that will call Start.
  void SetReceiveCallback(ServerReceiveCallback pCallback) { m_pReceiveCallback = pCallback; }
  void SetAcceptCallback(ServerAcceptCallback pCallback) { m_pAcceptCallback = pCallback; }
  void SetPairCallback(ServerPairCallback pCallback) { m_pPairCallback = pCallback; }
  void SetCloseCallback(ServerCloseCallback pCallback) { m_pCloseCallback = pCallback; }
  // With a quiet callback registered, the result of the receive callback is the wait (in ms)
  // before the quiet callback, 0 for none; without one it is ignored, as always.
  void SetQuietCallback(ServerQuietCallback pCallback) { m_pQuietCallback = pCallback; }

  // A device that sends no byte for unSeconds is closed: its session thread logs "Device Idle
  // Ip:%s Port: %d ..." and ends the session as on a read error (close callback), so whatever
  // the session held is freed; a device that vanished without a word goes the same way. 0 (the
  // default) waits without limit. Any thread; sessions use the value from their next read on.
  void SetIdleTimeout(uint32_t unSeconds) { m_unIdleTimeoutS.store(unSeconds); }
  // A session whose device its owner has not marked logged in (DeviceSocket::MarkLoggedIn)
  // within unSeconds of its pairing is closed like an idle one, whatever the device sends
  // meanwhile: "Device Ip:%s Port: %d did not log in within %u s: connection closed". So a
  // connection that never logs in holds its module only that long. 0 (the default) sets no
  // limit. Any thread; a session takes the value when it starts.
  void SetLoginTimeout(uint32_t unSeconds) { m_unLoginTimeoutS.store(unSeconds); }

  // Starts the detached accept thread. Throws boost::thread_resource_error if it cannot be made.
  bool Start();
  // Sets the stop flag; the accept thread ends after the next connection it handles.
  void Stop();

  // The clean stop: sets the stop flag and shuts the listening socket down, so the accept thread
  // ends at once and new connections are refused. Sessions already running go on. Any thread.
  void StopAccepting();
  // Device sessions running now.
  uint32_t SessionCount() const { return m_unSessionCount.load(); }
  // True while the accept thread runs and no accept has failed within the last few seconds (a
  // process out of descriptors takes no reader; while that lasts, accepts fail at least once a
  // second): what the health check asks.
  bool AcceptsDevices() const;

  // The port actually bound (tests that passed 0).
  uint16_t LocalPort() const;
  // Accept and session threads still running. A thread's last use of the server is the
  // decrement, after it has released its device handle; so a test may destroy the server (and
  // with it the I/O context of every device socket) once this is 0 and it holds no handle itself.
  uint32_t ThreadCount() const;

  // Writes all unLength bytes to the device; any thread, any device. Blocks while the device
  // takes bytes, but fails when it takes none for the write stall limit (peer_timing.h).
  // Returns unLength, or 0 when an argument is missing or the write failed; on a failure the
  // error text ("write: ...") is logged and copied, cut to unErrorSize - 1 bytes, into
  // szErrorText, and the connection is ended (EndFromGateway), so that its session ends and
  // frees what it holds. Bytes already written stay written.
  static uint32_t SendData(DeviceHandle hDevice, const uint8_t* pData, uint32_t unLength,
                           char* szErrorText, size_t unErrorSize);

 private:
  void ThreadLoop();
  // Creates the detached session thread. If that fails, hands pContext back through the close
  // callback (so the owner can release it) and rethrows the thread-resource error.
  void StartSession(const DeviceHandle& hDevice, void* pContext);
  void TcpSessionThread(DeviceHandle hDevice, void* pContext);

  std::atomic<bool> m_bStop{false};
  boost::asio::io_context m_ioContext;
  std::unique_ptr<boost::asio::ip::tcp::acceptor> m_upAcceptor;
  ServerReceiveCallback m_pReceiveCallback = nullptr;
  ServerAcceptCallback m_pAcceptCallback = nullptr;
  ServerPairCallback m_pPairCallback = nullptr;
  ServerCloseCallback m_pCloseCallback = nullptr;
  ServerQuietCallback m_pQuietCallback = nullptr;
  std::atomic<uint32_t> m_unThreadCount{0};  // see ThreadCount
  std::atomic<uint32_t> m_unSessionCount{0};  // see SessionCount
  std::atomic<uint32_t> m_unIdleTimeoutS{0};  // see SetIdleTimeout
  std::atomic<uint32_t> m_unLoginTimeoutS{0};  // see SetLoginTimeout
  std::atomic<bool> m_bAccepting{false};      // the accept thread runs (AcceptsDevices)
  // Steady-clock milliseconds of the last failed accept; 0: none (AcceptsDevices).
  std::atomic<int64_t> m_nLastAcceptFailureMs{0};
};
