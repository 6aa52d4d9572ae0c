#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>


#include "config/system_config.h"
#include "decodelog/decode_log_record.h"
#include "decodelog/log_server_link.h"
#include "net/thread_stack.h"

class CDecodeLogQueue;

// What the log server's answer says so far. The status line decides: 2xx delivered the record,
// 4xx refuses it for good except 408 and 429 (try again), anything else (5xx, another code, an
// answer that is not HTTP) leaves it to be tried again.
enum class HttpAnswerState { Incomplete, Complete, Malformed };
struct HttpAnswer {
  HttpAnswerState eState = HttpAnswerState::Incomplete;
  int nStatus = 0;  // the final status code once its status line was read, else 0
  // The connection may carry the next request: HTTP/1.1 (or 1.0 with keep-alive), no
  // "Connection: close", the body's end known from its length (or the last chunk) and nothing
  // after it, and the server has not closed.
  bool bKeepAlive = false;
  // Retry-After, when the answer has it: seconds, or the time as seconds since the epoch.
  long nRetryAfterS = -1;
  int64_t nRetryAtEpochS = -1;
};

// Reads an HTTP/1.x answer: strHead holds its first bytes (at least the head, when it has come
// whole), unTotal counts every byte received, strTail holds the last bytes (up to 5), bClosed
// tells that the server has ended the connection. Interim answers (100, 103: 1xx but 101) are read
// past to the final one. Complete once the body is whole: by Content-Length, by the last chunk of
// a chunked body, at the end of the head for 101, 204 and 304, or at the close when the head gives
// no length. A status line is enough when the server closes early. Pure.
HttpAnswer ParseHttpAnswer(const std::string& strHead, uint64_t unTotal, const std::string& strTail,
                           bool bClosed);

// The upload's process-wide counters (attempts, not records), in the order of its counter line.
struct LogUploadCounters {
  int32_t nConnectFalseCount;
  int32_t nSendFalseCount;
  int32_t nSendCount;
  int32_t nReceiveFalseCount;
  int32_t nReceiveSuccessCount;
};
LogUploadCounters GetLogUploadCounters();

// Record outcomes for the status line, for the life of the process.
struct LogUploadOutcomes {
  uint64_t unDelivered;  // answered 2xx
  uint64_t unRetried;    // put back: no connection, no answer, 5xx or an unreadable answer
  uint64_t unRejected;   // answered 4xx: set aside for good
};
LogUploadOutcomes GetLogUploadOutcomes();

// The upload of card records to the log server, one record per attempt (plain or TLS, the same
// request either way): connect within 2 s (a TLS handshake within 10 s more) unless the last
// answer left the connection open, send the request, wait for the whole answer up to the answer
// time-out, and close unless the server keeps the connection (HTTP/1.1 persistent connections). Runs on a
// thread of its own in the gateway (Start), so a slow log server never holds up the pool retry or
// the clock synchronisation; tests call the step itself.
class CLogUpload {
 public:
  // fnConfig gives the current settings (log server address, port, keys); called on the upload
  // thread.
  CLogUpload(CDecodeLogQueue& queue, std::function<SystemConfigStruct()> fnConfig);
  ~CLogUpload();  // Stop()
  CLogUpload(const CLogUpload&) = delete;
  CLogUpload& operator=(const CLogUpload&) = delete;

  // Seconds to wait for the whole answer after the request went out (at least 1).
  void SetAnswerTimeout(uint32_t unSeconds);
  // Plain or TLS, taken at the next reconfiguration (RequestReconfigure). Any thread.
  void SetTls(const LogServerTlsSettings& tls) {
    std::lock_guard<std::mutex> lock(m_mtxTls);
    m_stTls = tls;
  }
  // Asks the next attempt to take the log-server address and port from the settings again
  // (start-up, device command 81, a reload). Any thread.
  void RequestReconfigure() { m_bLogServerReconfigure.store(true); }

  // One step: takes at most one record and makes one attempt. Without a log server (port 0) it
  // drops one record kept in memory only, and leaves the records in the spool where they are
  // (named once in the run log). Returns 1 after an attempt on an
  // established connection, 0 when there was nothing to upload, no log server is configured, or
  // the connection could not be made. Blocks up to about 2 s (TLS: 12 s) plus the answer time-out; returns
  // early (the record queued again) when Stop is called. Not for two threads at once.
  uint32_t ProcessSendSamvDecodeLog();

  // Starts the upload thread, which first takes the settings (a CA file that cannot be used is
  // reported then), then steps without pause while records are delivered, 100 ms apart when
  // there is nothing to do or no connection, 1 s apart after an attempt that was answered but not
  // delivered. Throws boost::thread_resource_error when the thread cannot be made.
  void Start();
  // Ends an attempt in progress (its record stays queued) and joins the thread; within about
  // 0.3 s. Safe to call twice or without Start.
  void Stop();
  // Steps the upload thread has finished: grows at least every 100 ms while the thread works, and
  // at least once per connect, handshake and answer time-out when the log server is slow. Any
  // thread (the service watchdog).
  uint64_t Steps() const { return m_unSteps.load(); }
  // The longest one step may take: the connect, the handshake and the answer time-out (the
  // larger of the one set and the one the attempt under way started with).
  uint32_t LongestStepMs() const;

  // The connection to the log server; the upload thread alone uses it.
  CLogServerLink m_LogServerLink;
  // Set by RequestReconfigure, taken by the next attempt.
  std::atomic<bool> m_bLogServerReconfigure{false};

 private:
  enum class Outcome { Nothing, NoConnection, Delivered, Undelivered };
  Outcome Attempt();
  void ThreadLoop();
  void ReconfigureIfAsked();
  // Reads the answer to the request just sent until it is complete, the connection ends, the
  // time-out passes or Stop is called.
  // *pbClosed tells that the connection ended.
  HttpAnswer WaitForAnswer(bool* pbAnyBytes, bool* pbClosed);
  // The end of an attempt whose connection could not be made: logged, counted, paced.
  Outcome ConnectFailed(CLogServerLink::ConnectResult eConnect, const std::string& strWhy,
                        std::chrono::steady_clock::time_point tmStart,
                        const std::string& strServer);
  // A retried answer's Retry-After (at most a minute) holds every upload until it has passed.
  void HoldForRetryAfter(const HttpAnswer& answer);
  // Sleeps up to the duration, returning early on Stop. False when stopping.
  bool Pause(uint32_t unMs);

  CDecodeLogQueue& m_queue;
  std::function<SystemConfigStruct()> m_fnConfig;
  std::atomic<uint32_t> m_unAnswerTimeoutS{10};
  std::atomic<uint32_t> m_unAttemptAnswerTimeoutS{0};  // that of the attempt under way (or last)
  std::atomic<bool> m_bStop{false};
  std::atomic<uint64_t> m_unSteps{0};
  std::unique_ptr<CJoinableThread> m_upThread;
  std::unique_ptr<DecodeLogRecord> m_upRecord;  // the record of the current attempt
  bool m_bSpoolKeptLogged = false;  // the spool kept for want of a log server was named
  std::chrono::steady_clock::time_point m_tmHoldUntil;  // no upload before (Retry-After)
  std::mutex m_mtxTls;
  LogServerTlsSettings m_stTls;  // m_mtxTls
};
