#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "net/tcp_server.h"

// A connected TCP pair on 127.0.0.1: the gateway side as a device handle, and the peer the test
// reads from and writes to.
class LoopbackPair {
 public:
  LoopbackPair();
  DeviceHandle Gateway() const { return m_hGateway; }
  boost::asio::ip::tcp::socket& Peer() { return m_peer; }
  // Reads exactly unCount bytes within the time-out; returns what arrived (shorter on time-out or
  // end of stream).
  std::vector<uint8_t> ReadExactly(size_t unCount,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads one gateway reply frame (its length word counts the whole frame).
  std::vector<uint8_t> ReadReply(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads and drops whatever has arrived, without waiting.
  void Drain();
  // True when nothing arrives within the time-out.
  bool NothingWithin(std::chrono::milliseconds timeout);

 private:
  boost::asio::io_context m_io;
  DeviceHandle m_hGateway;
  boost::asio::ip::tcp::socket m_peer;
};

// A device request frame: length word (whole frame), key in clear, masked body of command,
// three zero bytes, eight parameter bytes and the payload.
std::vector<uint8_t> MakeDeviceRequest(const uint8_t* pKey, uint8_t byCommand, const uint8_t* pParam,
                                       const std::vector<uint8_t>& payload);

// Unmasks a reply frame read by ReadReply: returns code and payload; checks the key derivation.
struct UnmaskedReply {
  bool bValid = false;
  bool bKeyMatches = false;
  uint8_t byCode = 0;
  std::vector<uint8_t> payload;
};
UnmaskedReply UnmaskReply(const std::vector<uint8_t>& frame, const uint8_t* pRequestKey);
