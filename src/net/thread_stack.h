#pragma once

#include <cstddef>

// Stack size of every thread the gateway starts (accept, device sessions, SAMV and log-server
// clients). The deepest path is a device session: a 4096-byte receive buffer, the frame
// dispatcher's 4096-byte work buffer and reply frame, a 2048-byte log buffer and the library
// frames below them, about 20 KiB in all; 128 KiB leaves ample headroom while a router with
// hundreds of devices commits only the pages it touches. Sanitizer builds need far more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kThreadStackSize = 2 * 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kThreadStackSize = 2 * 1024 * 1024;
#else
constexpr size_t kThreadStackSize = 128 * 1024;
#endif
#else
constexpr size_t kThreadStackSize = 128 * 1024;
#endif

#include <pthread.h>

#include <functional>

// The gateway's threads, each with a kThreadStackSize stack. Made directly on the system's
// threads: the thread library of Boost would bring its whole stream machinery into the router
// binary for nothing the gateway uses (interruption, thread groups).
//
// Both raise boost::thread_resource_error ("boost::thread_resource_error: <system text>") when
// the thread cannot be made. fn must not raise; if it does, the error is swallowed at the
// thread's top level rather than ending the process.
void StartDetachedThread(std::function<void()> fn);

// A thread that its owner joins.
class CJoinableThread {
 public:
  explicit CJoinableThread(std::function<void()> fn);
  ~CJoinableThread();  // joins, if not joined yet
  CJoinableThread(const CJoinableThread&) = delete;
  CJoinableThread& operator=(const CJoinableThread&) = delete;
  // Waits for the thread's end; once.
  void Join();

 private:
  pthread_t m_thread;
  bool m_bJoined = false;
};
