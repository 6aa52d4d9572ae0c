#pragma once

// Loopback helpers shared by the transport tests (header-only: the suite builds *_test.cpp only).

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace nettest {

// Waits up to timeout for the socket to become readable, then reads once. Returns the count
// read; 0 with ec set to the end of stream or the read error, or with ec clear when nothing
// arrived in time.
inline size_t ReadWithin(boost::asio::ip::tcp::socket& socket, uint8_t* pBuffer, size_t unSize,
                         std::chrono::milliseconds timeout, boost::system::error_code& ec) {
  ec.clear();
  struct pollfd pfd = {socket.native_handle(), POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) {
    return 0;
  }
  return socket.read_some(boost::asio::buffer(pBuffer, unSize), ec);
}

// True when the peer ends the connection (end of stream or reset) within the time-out; bytes
// that arrive first are skipped.
inline bool SeesEndWithin(boost::asio::ip::tcp::socket& socket, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  uint8_t arrBuffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    boost::system::error_code ec;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    size_t unCount = ReadWithin(socket, arrBuffer, sizeof arrBuffer, left, ec);
    if (ec) {
      return true;
    }
    if (unCount == 0) {
      return false;  // nothing in time
    }
  }
  return false;
}

// Reads until unCount bytes arrived or the time-out passed; returns what arrived.
inline std::vector<uint8_t> ReadExactly(boost::asio::ip::tcp::socket& socket, size_t unCount,
                                        std::chrono::milliseconds timeout) {
  std::vector<uint8_t> data;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  uint8_t arrBuffer[4096];
  while (data.size() < unCount && std::chrono::steady_clock::now() < deadline) {
    boost::system::error_code ec;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    size_t unWant = std::min(sizeof arrBuffer, unCount - data.size());
    size_t unGot = ReadWithin(socket, arrBuffer, unWant, left, ec);
    if (ec) {
      break;
    }
    data.insert(data.end(), arrBuffer, arrBuffer + unGot);
  }
  return data;
}

// Open file descriptors of this process.
inline int CountOpenFds() {
  int nCount = 0;
  DIR* pDir = ::opendir("/proc/self/fd");
  if (pDir == nullptr) {
    return -1;
  }
  while (struct dirent* pEntry = ::readdir(pDir)) {
    if (pEntry->d_name[0] != '.') {
      ++nCount;
    }
  }
  ::closedir(pDir);
  return nCount - 1;  // the directory stream itself
}

// The kernel's view of one end of a TCP connection over IPv4, from /proc/net/tcp.
struct TcpEndView {
  bool bFound = false;       // false once the socket is closed and gone from the table
  unsigned nState = 0;       // 1 established, 7 closed, ... (the kernel's numbering)
  unsigned long unUnacked = 0;  // sent and not yet acknowledged by the peer
  unsigned long unUnread = 0;   // received and not yet read by the owner
};

// Calls fn(unLocalPort, unPeerPort, view) for every IPv4 TCP end of /proc/net/tcp (this network
// namespace) until fn returns false.
template <typename Fn>
void ForEachTcpEnd(Fn fn) {
  FILE* pFile = ::fopen("/proc/net/tcp", "r");
  if (pFile == nullptr) {
    return;
  }
  char szLine[512];
  while (std::fgets(szLine, sizeof szLine, pFile) != nullptr) {
    unsigned long unLocalAddress = 0;
    unsigned long unPeerAddress = 0;
    unsigned nLocalPort = 0;
    unsigned nPeerPort = 0;
    TcpEndView view;
    if (std::sscanf(szLine, " %*u: %lx:%x %lx:%x %x %lx:%lx", &unLocalAddress, &nLocalPort,
                    &unPeerAddress, &nPeerPort, &view.nState, &view.unUnacked,
                    &view.unUnread) == 7) {
      view.bFound = true;
      if (!fn(static_cast<uint16_t>(nLocalPort), static_cast<uint16_t>(nPeerPort), view)) {
        break;
      }
    }
  }
  ::fclose(pFile);
}

// The end whose local port is unLocalPort and whose peer's port is unPeerPort.
inline TcpEndView ViewTcpEnd(uint16_t unLocalPort, uint16_t unPeerPort) {
  TcpEndView found;
  ForEachTcpEnd([&](uint16_t unLocal, uint16_t unPeer, const TcpEndView& view) {
    if (unLocal == unLocalPort && unPeer == unPeerPort) {
      found = view;
      return false;
    }
    return true;
  });
  return found;
}

// How many ends have unLocalPort as their local port and are in nState (1 established, 10
// listening).
inline size_t CountTcpEnds(uint16_t unLocalPort, unsigned nState) {
  size_t unCount = 0;
  ForEachTcpEnd([&](uint16_t unLocal, uint16_t, const TcpEndView& view) {
    unCount += unLocal == unLocalPort && view.nState == nState ? 1 : 0;
    return true;
  });
  return unCount;
}

// A listener on 127.0.0.1 with a backlog of 0 whose accept queue is filled by connections that
// are never accepted: the kernel then drops further SYNs, so a connect to Port() neither
// succeeds nor is refused. It stays pending until the connector gives up.
class FullBacklogListener {
 public:
  FullBacklogListener() {
    m_fdListen = ::socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (m_fdListen < 0 ||
        ::bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_fdListen, 0) != 0) {
      return;
    }
    socklen_t unLength = sizeof addr;
    ::getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&addr), &unLength);
    m_unPort = ntohs(addr.sin_port);
    // Connect until one connection does not complete: from then on the queue is full.
    for (int i = 0; i < 16 && !m_bFull; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      m_arrFillers.push_back(fd);
      int nResult = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      if (nResult == 0) {
        continue;
      }
      struct pollfd pfd = {fd, POLLOUT, 0};
      if (::poll(&pfd, 1, 300) == 0) {
        m_bFull = true;
      }
    }
  }
  ~FullBacklogListener() {
    for (int fd : m_arrFillers) {
      ::close(fd);
    }
    if (m_fdListen >= 0) {
      ::close(m_fdListen);
    }
  }
  FullBacklogListener(const FullBacklogListener&) = delete;
  FullBacklogListener& operator=(const FullBacklogListener&) = delete;

  bool Full() const { return m_bFull; }
  uint16_t Port() const { return m_unPort; }

 private:
  int m_fdListen = -1;
  uint16_t m_unPort = 0;
  bool m_bFull = false;
  std::vector<int> m_arrFillers;
};

}  // namespace nettest
