#include "support/loopback.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/make_shared.hpp>

#include "config/byte_io.h"
#include "core/device_frame.h"

using boost::asio::ip::tcp;

namespace {

// poll on one descriptor for POLLIN, at most the time-out. A signal that interrupts the wait
// (a fuzzer's watchdog alarm, say) is no answer: the wait goes on for what is left of the
// time-out. Returns poll's count (1 readable, 0 nothing in time) or -1 on a real error.
int PollReadable(int nFd, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    struct pollfd pfd = {nFd, POLLIN, 0};
    const int nReady = ::poll(&pfd, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (nReady < 0 && errno == EINTR) {
      continue;
    }
    return nReady;
  }
}

}  // namespace

LoopbackPair::LoopbackPair() : m_peer(m_io) {
  tcp::acceptor acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  m_hGateway = boost::make_shared<DeviceSocket>(m_io);
  m_peer.connect(acceptor.local_endpoint());
  acceptor.accept(*m_hGateway);
}

std::vector<uint8_t> LoopbackPair::ReadExactly(size_t unCount, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < unCount) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    if (PollReadable(m_peer.native_handle(), left) <= 0) {
      break;
    }
    uint8_t buf[4096];
    boost::system::error_code ec;
    size_t n = m_peer.read_some(
        boost::asio::buffer(buf, std::min(sizeof(buf), unCount - out.size())), ec);
    if (ec || n == 0) {
      break;
    }
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

std::vector<uint8_t> LoopbackPair::ReadReply(std::chrono::milliseconds timeout) {
  std::vector<uint8_t> head = ReadExactly(4, timeout);
  if (head.size() < 4) {
    return head;
  }
  uint32_t unTotal = GetLe32(head.data());
  if (unTotal < 4 || unTotal > 8192) {
    return head;
  }
  std::vector<uint8_t> rest = ReadExactly(unTotal - 4, timeout);
  head.insert(head.end(), rest.begin(), rest.end());
  return head;
}

void LoopbackPair::Drain() {
  for (;;) {
    if (PollReadable(m_peer.native_handle(), std::chrono::milliseconds(0)) <= 0) {
      return;
    }
    uint8_t buf[4096];
    boost::system::error_code ec;
    if (m_peer.read_some(boost::asio::buffer(buf), ec) == 0 || ec) {
      return;
    }
  }
}

bool LoopbackPair::NothingWithin(std::chrono::milliseconds timeout) {
  return PollReadable(m_peer.native_handle(), timeout) == 0;
}

std::vector<uint8_t> MakeDeviceRequest(const uint8_t* pKey, uint8_t byCommand, const uint8_t* pParam,
                                       const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame(24 + payload.size(), 0);
  PutLe32(frame.data(), static_cast<uint32_t>(frame.size()));
  std::memcpy(frame.data() + 4, pKey, 8);
  frame[12] = byCommand;
  if (pParam != nullptr) {
    std::memcpy(frame.data() + 16, pParam, 8);
  }
  if (!payload.empty()) {
    std::memcpy(frame.data() + 24, payload.data(), payload.size());
  }
  MaskDeviceBody(frame.data() + 12, frame.size() - 12, pKey);
  return frame;
}

UnmaskedReply UnmaskReply(const std::vector<uint8_t>& frame, const uint8_t* pRequestKey) {
  UnmaskedReply reply;
  if (frame.size() < 16 || GetLe32(frame.data()) != frame.size()) {
    return reply;
  }
  uint8_t expected[8];
  DeriveReplyKey(pRequestKey, expected);
  reply.bKeyMatches = std::memcmp(expected, frame.data() + 4, 8) == 0;
  std::vector<uint8_t> body(frame.begin() + 12, frame.end());
  MaskDeviceBody(body.data(), body.size(), frame.data() + 4);
  reply.byCode = body[0];
  reply.payload.assign(body.begin() + 4, body.end());
  reply.bValid = body[1] == 0 && body[2] == 0 && body[3] == 0;
  return reply;
}
