#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/thread/mutex.hpp>

#include "decodelog/decode_log_record.h"
#include "net/samv_answer_stream.h"
#include "net/tcp_server.h"

class CTcpClient;

// Receive callback of a client: one block of 1..4096 bytes exactly as one read returned it
// (valid only during the call), on the client's receive thread, with a copy of the device handle
// given to Start (may be empty). Must not raise.
typedef uint32_t (*ClientReceiveCallback)(CTcpClient* pClient,
                                          boost::asio::ip::tcp::socket* pSocket,
                                          const uint8_t* pData, uint32_t unCount,
                                          DeviceHandle hPeer);

// One outgoing TCP connection (a SAMV decode server, or the log server). Each Start makes one
// detached receive thread that connects with a 100 ms time-out, hands every block read to the
// callback and ends with the connection; the client never reconnects by itself. When the
// connection of a device's session ends by the server's doing or because it could not be set up
// after the connect (not by Close, StopConnection or a newer Start), the thread logs it and ends
// the device's connection too (EndFromGateway).
//
// Restarts: every Start opens a connection of its own (struct Connection: a socket on an
// io_context of its own, numbered by a generation) that only its own receive thread reads and
// closes. A newer Start or a Close stops the older connection (shut down, or its connect
// cancelled) without touching its socket object from another thread; a thread left over from an
// earlier Start sets or clears the connected flag only while its generation is still the newest,
// and SendData writes only to the newest connection. The state those threads share with the
// client lives in a block that they co-own, so a thread that is still ending never touches a
// client that is gone (the receive callback is not called once the connection is stopped).
//
// Threads: Start, Close, SendData, IsConnected and the work-area operations may be called from
// any thread; which thread may use a client when is decided by its owner (the pool). The work
// area is guarded by a lock of its own, so request fields written by a device session and answer
// bytes captured on the receive thread never tear.
class CTcpClient {
 public:
  CTcpClient();
  // Stops the connection (as Close, without touching the work area) and releases the device
  // handle; does not wait for the receive thread. A thread that is still ending uses only what it
  // co-owns, but a receive callback already running when the destructor starts is not waited
  // for: owners destroy a client only when no callback can be running (in the gateway clients
  // live until the process ends).
  ~CTcpClient();
  CTcpClient(const CTcpClient&) = delete;
  CTcpClient& operator=(const CTcpClient&) = delete;

  // Stores the server's address and ports ("%d" text) and index. A null address changes nothing.
  void Configure(const char* szAddress, int32_t nServerPort, int32_t nVelmPort, uint32_t unIndex);
  // A new index for the same server (its place in a reloaded list). Takes no lock, so the pool
  // may set it under its own; safe while a session runs.
  void SetIndex(uint32_t unIndex) { m_unModuleIndex.store(unIndex); }
  // Copies the address (cut to unAddressSize - 1 bytes, NUL-terminated) and the ports and index.
  // Does nothing when szAddress, pnServerPort or punIndex is null; pnVelmPort may be null.
  void GetServerInfo(char* szAddress, size_t unAddressSize, int32_t* pnServerPort,
                     int32_t* pnVelmPort, uint32_t* punIndex) const;
  void SetReceiveCallback(ClientReceiveCallback pCallback) { m_pReceiveCallback = pCallback; }
  // The index given to Configure or SetIndex; takes no lock, so the pool may ask under its own.
  uint32_t Index() const { return m_unModuleIndex.load(); }

  // Returns at once when the server port is "0". Otherwise opens the connection's descriptor,
  // keeps hPeer until the next Start, StopConnection or Close, and starts the receive thread
  // (which connects within 100 ms). Throws boost::system::system_error ("socket: ...") when no
  // descriptor is left and boost::thread_resource_error when the thread cannot be made; either
  // way the client is left without a connection or a device.
  void Start(DeviceHandle hPeer);
  bool IsConnected() const;
  // Sleeps until the latest Start's connection is up (true) or cannot come up any more: its
  // connect failed or timed out, or it was stopped or replaced (false); at most unTimeoutMs
  // (then false unless it is up). Any thread; returns at once when connected.
  bool WaitConnected(uint32_t unTimeoutMs);

  // Waits up to 101 ms for the connection (WaitConnected), then writes all bytes;
  // a server that takes no byte for the write stall limit (peer_timing.h) fails the write (and
  // ServerFailed becomes true).
  // Returns unCount, or 0 when not connected, unCount is 0 or the write failed (logged); a failed
  // write ends the connection (its receive thread sees the end).
  uint32_t SendData(const uint8_t* pData, uint32_t unCount);

  // The request just written must be answered within unTimeoutMs: when the server sends no
  // block by then, the receive thread logs "Samv Server A:P gave no answer in time", ends the
  // connection (and with it the device's, as for any end by the server) and AnswerTimedOut
  // becomes true. Any block from the server counts as the answer. 0, or no connection, does
  // nothing. While a thread waits for a block it looks at the deadline every 200 ms.
  void ExpectAnswerWithin(uint32_t unTimeoutMs);
  // True when the latest Start's connection ended because an answer did not come in time;
  // cleared by the next Start.
  bool AnswerTimedOut() const;
  // True when the latest Start's server is faulty rather than gone: it left an answer past the
  // limit (AnswerTimedOut), a write to it failed because it took no byte for the stall limit, or
  // the kernel gave the connection up (TCP_USER_TIMEOUT or keep-alive: "Connection timed out").
  // Cleared by the next Start. The owner takes such a server out of service.
  bool ServerFailed() const;

  // Stops the receive thread's connection and clears the connected flag; IsConnected is false
  // when it returns, and no receive callback of the connection is running or will run: a
  // callback already running (an answer being relayed to the device and captured) is waited
  // for, which is as long as its write to the device may take. A connect in progress is
  // cancelled (the thread logs "Operation canceled"); an established connection is shut down at
  // once and its socket is closed by its receive thread, which then ends without a message.
  // Lets go of the device handle given to Start. Keeps the work area.
  // REQUIRES: not called from this client's receive callback.
  void StopConnection();
  // StopConnection, then zero-fills the work area and forgets the session's answers (a first
  // fingerprint part still waiting must have been dealt with before). Waits only as
  // StopConnection does.
  void Close();

  // Work area of the current device session (layout of DecodeLogRecord).
  // GetWorkArea gives the raw area for callers that hold it alone (tests, start-up); threads that
  // share the client use WithWorkArea, which runs fn(area) under the work-area lock. fn must not
  // take a data-switch lock or log through anything but WriteLog.
  DecodeLogRecord* GetWorkArea() { return &m_stWorkArea; }
  template <typename Fn>
  auto WithWorkArea(Fn&& fn) {
    boost::mutex::scoped_lock lock(m_mtxWorkArea);
    return fn(m_stWorkArea);
  }
  // The same, with the session's answer state beside the area: fn(area, state).
  template <typename Fn>
  auto WithAnswerState(Fn&& fn) {
    boost::mutex::scoped_lock lock(m_mtxWorkArea);
    return fn(m_stWorkArea, m_stAnswerState);
  }
  // Where the module's frames begin and end. Used by the receive thread alone (its callback
  // included); Close resets it when no callback can run.
  CSamvAnswerFramer& AnswerFramer() { return m_AnswerFramer; }
  // Writes szDeviceIp (cut to 15 characters) and the current time into szConnectTime.
  void SetDeviceInfo(const char* szDeviceIp);
  // Copies 32 bytes into arrRequestHead and 8 into arrRequestParam; nothing if either is null.
  void SetRequestHead(const uint8_t* pHead32, const uint8_t* pParam8);
  // Stores the account number, then each block given: 64 bytes of user info, 64 bytes of device
  // identifier, 1024 bytes of transaction data. The command is about to be forwarded: its fields
  // (with the request head and parameters) wait for its answer (SamvAnswerState::pending).
  void SetRequestInfo(uint32_t unAccountNo, const uint8_t* pUserInfo64, const uint8_t* pDeviceId64,
                      const uint8_t* pTransData1024);
  void IncRequestCount();
  void IncAnswerCount();

  // Receive threads of this client still running (tests wait for 0). A thread releases its
  // connection and its copy of the device handle before it stops counting.
  uint32_t ThreadCount() const;

 private:
  struct Connection;  // one socket per Start, shared with that Start's receive thread
  struct Shared;      // state the receive threads share with the client (and may outlive it)
  // The receive thread's body. Touches this object only to read the callback and to pass it and
  // to ask the answer framer whether a keep-alive block lies where a frame begins, and never once
  // the connection has been stopped.
  void ThreadLoop(std::shared_ptr<Shared> spShared, std::shared_ptr<Connection> spConnection,
                  DeviceHandle hPeer, std::string strAddress, std::string strPort);
  // Connects the connection's socket to the endpoint within 100 ms, on the receive thread.
  // Throws boost::system::system_error with the system's text alone: "Operation canceled" when
  // the connection was stopped or the time ran out, else the connect's error.
  static void ConnectWithin(Shared& shared, Connection& connection,
                            const boost::asio::ip::tcp::endpoint& endpoint);
  // Stops a connection: no more callbacks; the connect is cancelled or the socket shut down.
  // REQUIRES: m_spShared->mtx held.
  static void StopConnectionLocked(Connection& connection);

  std::shared_ptr<Shared> m_spShared;          // mutex, generation, connected flag, thread count
  std::shared_ptr<Connection> m_spConnection;  // the latest Start's connection (m_spShared->mtx)
  std::string m_strAddress;                    // m_spShared->mtx guards the texts and the index
  std::string m_strServerPort = "0";
  std::string m_strVelmPort = "0";
  std::atomic<uint32_t> m_unModuleIndex{0};  // the index; read without the lock
  DeviceHandle m_hPeer;  // m_spShared->mtx
  std::atomic<ClientReceiveCallback> m_pReceiveCallback{nullptr};
  boost::mutex m_mtxWorkArea;  // guards m_stWorkArea and m_stAnswerState
  DecodeLogRecord m_stWorkArea;
  SamvAnswerState m_stAnswerState;
  CSamvAnswerFramer m_AnswerFramer;
};
