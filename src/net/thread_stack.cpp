#include "net/thread_stack.h"

#include <memory>
#include <utility>

#include <boost/thread/exceptions.hpp>

namespace {

void* RunThreadBody(void* pArg) {
  std::unique_ptr<std::function<void()>> upFn(static_cast<std::function<void()>*>(pArg));
  try {
    (*upFn)();
  } catch (...) {
    // Nothing escapes a thread's top level; the bodies catch and log their own errors.
  }
  return nullptr;
}

// Creates the thread (detached or joinable) running fn; raises as boost::thread would.
pthread_t CreateThread(std::function<void()> fn, bool bDetached) {
  pthread_attr_t attr;
  int nResult = ::pthread_attr_init(&attr);
  if (nResult != 0) {
    throw boost::thread_resource_error(nResult, "boost::thread_resource_error");
  }
  (void)::pthread_attr_setstacksize(&attr, kThreadStackSize);  // kept at the default if refused
  if (bDetached) {
    (void)::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  }
  std::unique_ptr<std::function<void()>> upFn(new std::function<void()>(std::move(fn)));
  pthread_t thread;
  nResult = ::pthread_create(&thread, &attr, &RunThreadBody, upFn.get());
  (void)::pthread_attr_destroy(&attr);
  if (nResult != 0) {
    throw boost::thread_resource_error(nResult, "boost::thread_resource_error");
  }
  (void)upFn.release();  // the thread owns it now
  return thread;
}

}  // namespace

void StartDetachedThread(std::function<void()> fn) {
  (void)CreateThread(std::move(fn), true);
}

CJoinableThread::CJoinableThread(std::function<void()> fn)
    : m_thread(CreateThread(std::move(fn), false)) {}

CJoinableThread::~CJoinableThread() { Join(); }

void CJoinableThread::Join() {
  if (!m_bJoined) {
    m_bJoined = true;
    (void)::pthread_join(m_thread, nullptr);
  }
}
