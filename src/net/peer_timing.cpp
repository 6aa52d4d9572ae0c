#include "net/peer_timing.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<uint32_t> g_unWriteStallLimitMs{PeerTiming::kWriteStallLimitMs};

void SetIntOption(int nFd, int nLevel, int nName, int nValue) {
  (void)::setsockopt(nFd, nLevel, nName, &nValue, sizeof nValue);  // result ignored (see header)
}

boost::system::error_code SystemError(int nErrno) {
  return boost::system::error_code(nErrno, boost::system::system_category());
}

}  // namespace

uint32_t WriteStallLimitMs() {
  return g_unWriteStallLimitMs.load();
}

void SetWriteStallLimitMs(uint32_t unMs) {
  g_unWriteStallLimitMs.store(unMs);
}

uint32_t UserTimeoutMs() {
  return 2 * WriteStallLimitMs();
}

void ApplyPeerTiming(int nFd) {
  SetIntOption(nFd, IPPROTO_TCP, TCP_KEEPIDLE, PeerTiming::kKeepIdleS);
  SetIntOption(nFd, IPPROTO_TCP, TCP_KEEPINTVL, PeerTiming::kKeepIntervalS);
  SetIntOption(nFd, IPPROTO_TCP, TCP_KEEPCNT, PeerTiming::kKeepCount);
#ifdef TCP_USER_TIMEOUT
  SetIntOption(nFd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(UserTimeoutMs()));
#endif
}

boost::system::error_code WriteWithin(int nFd, const uint8_t* pData, size_t unCount) {
  const int nLimitMs = static_cast<int>(WriteStallLimitMs());
  size_t unDone = 0;
  while (unDone < unCount) {
    // One send per call that never blocks: the socket itself stays blocking for its reader.
    ssize_t nSent = ::send(nFd, pData + unDone, unCount - unDone, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (nSent > 0) {
      unDone += static_cast<size_t>(nSent);
      continue;
    }
    if (nSent < 0 && errno == EINTR) {
      continue;
    }
    if (nSent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return SystemError(errno);
    }
    // No room: wait for some, at most the stall limit. An error or hang-up shows as readiness,
    // and the next send reports it.
    struct pollfd pfd = {nFd, POLLOUT, 0};
    int nReady = ::poll(&pfd, 1, nLimitMs);
    if (nReady == 0) {
      return SystemError(ETIMEDOUT);
    }
    if (nReady < 0 && errno != EINTR) {
      return SystemError(errno);
    }
  }
  return boost::system::error_code();
}
