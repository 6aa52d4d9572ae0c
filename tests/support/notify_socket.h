#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>

// A datagram socket standing in for the service manager's: a path, or an abstract name ('@').
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& strName) : m_strName(strName) {
    m_nFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, strName.data(), strName.size());
    if (addr.sun_path[0] == '@') {
      addr.sun_path[0] = '\0';
    }
    m_bBound = ::bind(m_nFd, reinterpret_cast<sockaddr*>(&addr),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strName.size())) == 0;
  }
  ~NotifySocket() { ::close(m_nFd); }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;
  bool Bound() const { return m_bBound; }
  // The next datagram, or "" when none comes within the time.
  std::string Receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    pollfd pfd{m_nFd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) {
      return "";
    }
    char buffer[4096];
    const ssize_t n = ::recv(m_nFd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  std::string m_strName;
  int m_nFd = -1;
  bool m_bBound = false;
};

