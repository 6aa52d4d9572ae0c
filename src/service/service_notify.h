#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/thread_stack.h"

// Tells the service manager what the gateway is doing, in its notification protocol: one
// datagram of newline-separated "KEY=VALUE" assignments ("READY=1", "STATUS=...") to the Unix
// datagram socket that NOTIFY_SOCKET names: a file system path, or an abstract name written with
// a leading '@'. Without NOTIFY_SOCKET every call does nothing, so a gateway started by hand or by
// another init system behaves as before. Any thread; a send never blocks.
class CServiceNotifier {
 public:
  // From the environment: NOTIFY_SOCKET, and WATCHDOG_USEC (honoured only when WATCHDOG_PID is
  // absent or names this process).
  CServiceNotifier();
  // A given socket and watchdog period (tests); an empty socket turns it off.
  CServiceNotifier(std::string strSocket, uint64_t unWatchdogUs);
  ~CServiceNotifier();
  CServiceNotifier(const CServiceNotifier&) = delete;
  CServiceNotifier& operator=(const CServiceNotifier&) = delete;

  bool Enabled() const { return !m_strSocket.empty(); }
  // The watchdog period the service manager asked for; 0 when none.
  uint64_t WatchdogUs() const { return m_unWatchdogUs; }
  // Sends one message. True when the datagram went out whole; false (nothing else happens) when
  // it is off or the socket cannot be reached.
  bool Notify(const std::string& strMessage);

 private:
  std::string m_strSocket;
  uint64_t m_unWatchdogUs = 0;
  int m_nFd = -1;  // one datagram socket for every message
  std::mutex m_mtx;  // guards m_nFd's creation
};

// The watchdog: every half period it sends "WATCHDOG=1", but only while every watched thread has
// made progress within its limit. A thread shows progress by a counter that grows (the main
// loop's passes, the upload's steps); one that stops growing (a wedged thread) stops the
// messages, and the service manager restarts the gateway. The first stop is logged once.
class CServiceWatchdog {
 public:
  struct Watched {
    std::string strName;                  // "main loop", "upload"
    std::function<uint64_t()> fnCounter;  // grows while the thread makes progress; any thread
    uint32_t unLimitMs;                   // the longest it may stand still
    // When set, read at each look instead of unLimitMs (a limit that follows the pool's size).
    std::function<uint32_t()> fnLimitMs = nullptr;
  };
  using Clock = std::chrono::steady_clock;

  CServiceWatchdog(CServiceNotifier& notifier, std::vector<Watched> arrWatched);
  ~CServiceWatchdog();  // Stop()
  CServiceWatchdog(const CServiceWatchdog&) = delete;
  CServiceWatchdog& operator=(const CServiceWatchdog&) = delete;

  // Starts the thread when the notifier has a watchdog period; does nothing otherwise. Throws
  // boost::thread_resource_error when the thread cannot be made.
  void Start();
  void Stop();  // at once; safe twice

  // One look at the counters as of tmNow: true when every one has grown within its limit (a
  // counter is taken as grown at its first look). Logs the first thread found standing still.
  bool Check(Clock::time_point tmNow);

 private:
  void ThreadLoop();

  CServiceNotifier& m_notifier;
  struct State {
    Watched watched;
    uint64_t unLastCount = 0;
    Clock::time_point tmLastGrowth;
    bool bSeen = false;
  };
  std::vector<State> m_arrStates;  // Check's thread only
  bool m_bReportedStall = false;
  std::mutex m_mtxStop;
  std::condition_variable m_cvStop;
  bool m_bStop = false;  // m_mtxStop
  std::unique_ptr<CJoinableThread> m_upThread;
};
