#include "service/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "config/run_log.h"

namespace {

// A decimal number of at most 19 digits; false for anything else.
bool ReadDecimal(const char* szText, uint64_t* punValue) {
  if (szText == nullptr || *szText == '\0' || std::strlen(szText) > 19 ||
      std::strspn(szText, "0123456789") != std::strlen(szText)) {
    return false;
  }
  *punValue = std::strtoull(szText, nullptr, 10);
  return true;
}

}  // namespace

CServiceNotifier::CServiceNotifier() {
  const char* szSocket = std::getenv("NOTIFY_SOCKET");
  if (szSocket == nullptr || (szSocket[0] != '/' && szSocket[0] != '@')) {
    return;  // none, or a kind of address this gateway does not speak (vsock)
  }
  m_strSocket = szSocket;
  uint64_t unPid = 0;
  if (ReadDecimal(std::getenv("WATCHDOG_PID"), &unPid) &&
      unPid != static_cast<uint64_t>(::getpid())) {
    return;  // the watchdog is meant for another process
  }
  uint64_t unUs = 0;
  if (ReadDecimal(std::getenv("WATCHDOG_USEC"), &unUs)) {
    m_unWatchdogUs = unUs;
  }
}

CServiceNotifier::CServiceNotifier(std::string strSocket, uint64_t unWatchdogUs)
    : m_strSocket(std::move(strSocket)), m_unWatchdogUs(unWatchdogUs) {}

CServiceNotifier::~CServiceNotifier() {
  if (m_nFd >= 0) {
    ::close(m_nFd);
  }
}

bool CServiceNotifier::Notify(const std::string& strMessage) {
  if (m_strSocket.empty()) {
    return false;
  }
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (m_strSocket.size() >= sizeof addr.sun_path) {
    return false;
  }
  std::memcpy(addr.sun_path, m_strSocket.data(), m_strSocket.size());
  if (addr.sun_path[0] == '@') {
    addr.sun_path[0] = '\0';  // an abstract name: no file behind it, no terminating NUL
  }
  const socklen_t unLength =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_strSocket.size());
  int nFd = -1;
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_nFd < 0) {
      m_nFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    nFd = m_nFd;
  }
  if (nFd < 0) {
    return false;
  }
  const ssize_t nSent = ::sendto(nFd, strMessage.data(), strMessage.size(),
                                 MSG_DONTWAIT | MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&addr), unLength);
  return nSent == static_cast<ssize_t>(strMessage.size());
}

CServiceWatchdog::CServiceWatchdog(CServiceNotifier& notifier, std::vector<Watched> arrWatched)
    : m_notifier(notifier) {
  for (Watched& watched : arrWatched) {
    State state;
    state.watched = std::move(watched);
    m_arrStates.push_back(std::move(state));
  }
}

CServiceWatchdog::~CServiceWatchdog() { Stop(); }

void CServiceWatchdog::Start() {
  if (m_notifier.WatchdogUs() == 0 || m_upThread) {
    return;
  }
  m_upThread.reset(new CJoinableThread([this] { ThreadLoop(); }));
}

void CServiceWatchdog::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mtxStop);
    m_bStop = true;
  }
  m_cvStop.notify_all();
  if (m_upThread) {
    m_upThread->Join();
    m_upThread.reset();
  }
}

bool CServiceWatchdog::Check(Clock::time_point tmNow) {
  bool bAlive = true;
  for (State& state : m_arrStates) {
    const uint64_t unCount = state.watched.fnCounter();
    if (!state.bSeen || unCount != state.unLastCount) {
      state.bSeen = true;
      state.unLastCount = unCount;
      state.tmLastGrowth = tmNow;
      continue;
    }
    const auto nStillMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(tmNow - state.tmLastGrowth).count();
    const uint32_t unLimitMs =
        state.watched.fnLimitMs ? state.watched.fnLimitMs() : state.watched.unLimitMs;
    if (nStillMs > static_cast<int64_t>(unLimitMs)) {
      if (!m_bReportedStall) {
        m_bReportedStall = true;
        WriteLogF("FUNCTION %s  LINE %d the %s has made no progress for %lld ms: the service "
                  "manager is no longer told that the gateway is alive",
                  "ServiceWatchdog", __LINE__, state.watched.strName.c_str(),
                  static_cast<long long>(nStillMs));
      }
      bAlive = false;
    }
  }
  return bAlive;
}

void CServiceWatchdog::ThreadLoop() {
  // Twice per period, as the service manager's documentation advises.
  const auto period = std::max(std::chrono::microseconds(m_notifier.WatchdogUs() / 2),
                               std::chrono::microseconds(100000));
  std::unique_lock<std::mutex> lock(m_mtxStop);
  while (!m_bStop) {
    lock.unlock();
    if (Check(Clock::now())) {
      (void)m_notifier.Notify("WATCHDOG=1");
    }
    lock.lock();
    (void)m_cvStop.wait_for(lock, period, [this] { return m_bStop; });
  }
}
