#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/thread/mutex.hpp>

#include "decodelog/decode_log_record.h"
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
// callback and ends with the connection; the client never reconnects by itself.
//
// Restarts: every Start opens a connection of its own (a fresh socket object and a generation
// number); a receive thread left over from an earlier Start only ever touches its own socket
// and never clears the connected flag of a newer connection.
//
// Threads: Start, Close, SendData, IsConnected and the work-area operations may be called from
// any thread; which thread may use a client when is decided by its owner (the pool). The work
// area is guarded by a lock of its own, so request fields written by a device session and answer
// bytes captured on the receive thread never tear.
class CTcpClient {
 public:
  CTcpClient();
  // Sets the stop flag, closes the socket; does not wait for the receive thread, so the client
  // must outlive it (in the gateway clients live until the process ends).
  ~CTcpClient();
  CTcpClient(const CTcpClient&) = delete;
  CTcpClient& operator=(const CTcpClient&) = delete;

  // Stores the server's address and ports ("%d" text) and index. A null address changes nothing.
  void Configure(const char* szAddress, int32_t nServerPort, int32_t nVelmPort, uint32_t unIndex);
  // Copies the address (cut to unAddressSize - 1 bytes, NUL-terminated) and the ports and index.
  // Does nothing when szAddress, pnServerPort or punIndex is null; pnVelmPort may be null.
  void GetServerInfo(char* szAddress, size_t unAddressSize, int32_t* pnServerPort,
                     int32_t* pnVelmPort, uint32_t* punIndex) const;
  void SetReceiveCallback(ClientReceiveCallback pCallback) { m_pReceiveCallback = pCallback; }

  // Returns at once when the server port is "0". Otherwise keeps hPeer until the next Start and
  // starts the receive thread (which connects). Throws boost::thread_resource_error when the
  // thread cannot be made.
  void Start(DeviceHandle hPeer);
  bool IsConnected() const { return m_bConnected.load(); }

  // Waits up to about 101 ms (101 tests 1 ms apart) for the connection, then writes all bytes.
  // Returns unCount, or 0 when not connected, unCount is 0 or the write failed (logged).
  uint32_t SendData(const uint8_t* pData, uint32_t unCount);

  // Zero-fills the work area, stops the receive thread's connection (shut down and closed) and
  // clears the connected flag. Does not wait for the thread.
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
  // Writes szDeviceIp (cut to 15 characters) and the current time into szConnectTime.
  void SetDeviceInfo(const char* szDeviceIp);
  // Copies 32 bytes into arrRequestHead and 8 into arrRequestParam; nothing if either is null.
  void SetRequestHead(const uint8_t* pHead32, const uint8_t* pParam8);
  // Stores the account number, then each block given: 64 bytes of user info, 64 bytes of device
  // identifier, 1024 bytes of transaction data.
  void SetRequestInfo(uint32_t unAccountNo, const uint8_t* pUserInfo64, const uint8_t* pDeviceId64,
                      const uint8_t* pTransData1024);
  void IncRequestCount();
  void IncAnswerCount();

 private:
  struct Connection;  // one socket per Start, shared with that Start's receive thread
  void ThreadLoop(std::shared_ptr<Connection> spConnection, DeviceHandle hPeer);

  boost::asio::io_context m_ioContext;  // one per client; run only inside a connect
  std::string m_strAddress;
  std::string m_strServerPort = "0";
  std::string m_strVelmPort = "0";
  uint32_t m_unIndex = 0;
  DeviceHandle m_hPeer;
  std::shared_ptr<Connection> m_spConnection;  // the latest Start's connection
  mutable boost::mutex m_mtxConnection;        // guards m_spConnection, m_hPeer, the texts
  std::atomic<bool> m_bStop{false};
  std::atomic<bool> m_bConnected{false};
  std::atomic<uint64_t> m_unGeneration{0};
  ClientReceiveCallback m_pReceiveCallback = nullptr;
  boost::mutex m_mtxWorkArea;  // guards m_stWorkArea
  DecodeLogRecord m_stWorkArea;
};
