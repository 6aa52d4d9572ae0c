#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

// One bound UDP socket for request/reply exchanges with the SAMV modules' controllers. The
// socket is opened and bound once and reused; its private I/O context runs only inside Receive.
// Not thread-safe: one thread at a time (the gateway uses it from the main thread only).
class CUdpClient {
 public:
  // Opens and binds to local (the gateway passes 0.0.0.0:0). Throws boost::system::system_error
  // whose text begins "open" or "bind".
  explicit CUdpClient(const boost::asio::ip::udp::endpoint& local);
  ~CUdpClient();
  CUdpClient(const CUdpClient&) = delete;
  CUdpClient& operator=(const CUdpClient&) = delete;

  // Sends one datagram to szAddress (IPv6 or IPv4 text) and the low 16 bits of nPort. Returns the
  // bytes sent, or 0: a null address (nothing logged), an address that does not parse or a send
  // error ("Exception: ..." on standard error and a run-log line).
  int32_t SendData(const char* szAddress, int32_t nPort, const uint8_t* pData, size_t unLength);

  // Waits at most timeout for the next datagram from anyone and copies it (cut to unCapacity).
  // Returns its byte count, or 0 with ec set (the cancellation error after a time-out). A
  // datagram that arrived before the call, even one meant for an earlier request, is returned.
  // pSender (optional) receives the address and port it came from.
  size_t Receive(uint8_t* pBuffer, size_t unCapacity, std::chrono::steady_clock::duration timeout,
                 boost::system::error_code& ec,
                 boost::asio::ip::udp::endpoint* pSender = nullptr);

  // Reads and drops every datagram already queued on the socket, without waiting. Returns how
  // many there were.
  size_t Drain();

  uint16_t LocalPort() const;

 private:
  boost::asio::io_context m_ioContext;
  boost::asio::ip::udp::socket m_socket;
};
