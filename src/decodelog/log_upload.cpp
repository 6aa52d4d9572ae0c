#include "decodelog/log_upload.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <thread>

#include "config/byte_io.h"
#include "config/run_log.h"
#include "decodelog/card_document.h"
#include "decodelog/decode_log_queue.h"
#include "metrics/gateway_metrics.h"
#include "net/thread_stack.h"

namespace {

constexpr const char kFunction[] = "ProcessSendSamvDecodeLog";

constexpr std::chrono::milliseconds kConnectTimeout(2000);
constexpr std::chrono::milliseconds kAnswerPoll(100);
constexpr std::chrono::milliseconds kSendTimeout(10000);
// Upload thread pauses.
constexpr uint32_t kIdlePauseMs = 100;
constexpr uint32_t kRetryPauseMs = 1000;
// The longest pause a Retry-After may ask for; a longer one is cut to it.
constexpr long kRetryAfterLimitS = 60;
// The answer's first bytes kept for reading its head; the rest is only counted.
constexpr size_t kAnswerHeadLimit = 8192;
constexpr size_t kAnswerTailSize = 5;

// Attempts, not records; for the whole process, never reset.
std::atomic<int32_t> g_nConnectFalseCount{0};
std::atomic<int32_t> g_nSendFalseCount{0};
std::atomic<int32_t> g_nSendCount{0};
std::atomic<int32_t> g_nReceiveFalseCount{0};
std::atomic<int32_t> g_nReceiveSuccessCount{0};
std::atomic<uint64_t> g_unDelivered{0};
std::atomic<uint64_t> g_unRetried{0};
std::atomic<uint64_t> g_unRejected{0};

bool StartsWithNoCase(const std::string& strText, size_t unAt, const char* szPrefix) {
  size_t n = std::strlen(szPrefix);
  if (strText.size() < unAt + n) {
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(strText[unAt + i])) !=
        std::tolower(static_cast<unsigned char>(szPrefix[i]))) {
      return false;
    }
  }
  return true;
}

std::string HeaderValue(const std::string& strLine) {
  size_t unColon = strLine.find(':');
  std::string strValue = unColon == std::string::npos ? std::string() : strLine.substr(unColon + 1);
  size_t b = strValue.find_first_not_of(" \t");
  size_t e = strValue.find_last_not_of(" \t\r");
  return b == std::string::npos ? std::string() : strValue.substr(b, e - b + 1);
}

}  // namespace

namespace {

// Whether a comma-separated header value lists the token (any case).
bool ListsToken(const std::string& strValue, const char* szToken) {
  size_t unPos = 0;
  while (unPos <= strValue.size()) {
    size_t unEnd = strValue.find(',', unPos);
    if (unEnd == std::string::npos) {
      unEnd = strValue.size();
    }
    size_t b = strValue.find_first_not_of(" \t", unPos);
    size_t e = strValue.find_last_not_of(" \t", unEnd == 0 ? 0 : unEnd - 1);
    if (b != std::string::npos && b < unEnd && e != std::string::npos && e >= b &&
        e - b + 1 == std::strlen(szToken) && StartsWithNoCase(strValue, b, szToken)) {
      return true;
    }
    unPos = unEnd + 1;
  }
  return false;
}

// Retry-After: delta-seconds, or an HTTP date (IMF-fixdate) turned into seconds since the epoch.
void ReadRetryAfter(const std::string& strValue, HttpAnswer* pAnswer) {
  if (!strValue.empty() &&
      strValue.find_first_not_of("0123456789") == std::string::npos && strValue.size() <= 9) {
    pAnswer->nRetryAfterS = std::atol(strValue.c_str());
    return;
  }
  struct tm tmDate;
  std::memset(&tmDate, 0, sizeof(tmDate));
  const char* pEnd = ::strptime(strValue.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tmDate);
  if (pEnd != nullptr && *pEnd == '\0') {
    pAnswer->nRetryAtEpochS = static_cast<int64_t>(::timegm(&tmDate));
  }
}

}  // namespace

HttpAnswer ParseHttpAnswer(const std::string& strHead, uint64_t unTotal, const std::string& strTail,
                           bool bClosed) {
  HttpAnswer answer;
  // Interim answers (1xx but 101) come before the final one, each a head of its own.
  size_t unStart = 0;
  for (;;) {
    answer = HttpAnswer();
    // The status line: "HTTP/1.x NNN" followed by a blank or the line end.
    const size_t unLineEnd = strHead.find('\n', unStart);
    if (unLineEnd == std::string::npos) {
      const size_t unHave = strHead.size() - unStart;
      const bool bTooLong = unHave >= 64;
      answer.eState = bClosed || bTooLong ? HttpAnswerState::Malformed : HttpAnswerState::Incomplete;
      if (!bClosed && !bTooLong && unHave > 0 &&
          std::string("HTTP/1.").compare(0, std::min<size_t>(unHave, 7), strHead, unStart,
                                         std::min<size_t>(unHave, 7)) != 0) {
        answer.eState = HttpAnswerState::Malformed;  // not an HTTP answer at all
      }
      return answer;
    }
    std::string strStatusLine = strHead.substr(unStart, unLineEnd - unStart);
    if (!strStatusLine.empty() && strStatusLine.back() == '\r') {
      strStatusLine.pop_back();
    }
    if (strStatusLine.size() < 12 || strStatusLine.compare(0, 7, "HTTP/1.") != 0 ||
        !std::isdigit(static_cast<unsigned char>(strStatusLine[7])) || strStatusLine[8] != ' ' ||
        !std::isdigit(static_cast<unsigned char>(strStatusLine[9])) ||
        !std::isdigit(static_cast<unsigned char>(strStatusLine[10])) ||
        !std::isdigit(static_cast<unsigned char>(strStatusLine[11])) ||
        (strStatusLine.size() > 12 && strStatusLine[12] != ' ')) {
      answer.eState = HttpAnswerState::Malformed;
      return answer;
    }
    answer.nStatus = std::atoi(strStatusLine.substr(9, 3).c_str());
    if (answer.nStatus < 100) {
      answer.eState = HttpAnswerState::Malformed;
      answer.nStatus = 0;
      return answer;
    }
    const bool bHttp11 = strStatusLine[7] != '0';
    // The head ends with an empty line.
    size_t unHeadEnd = std::string::npos;
    size_t unBodyStart = 0;
    size_t unPos = unLineEnd + 1;
    bool bChunked = false;
    bool bHasLength = false;
    bool bClose = !bHttp11;  // HTTP/1.0 closes unless it says keep-alive
    uint64_t unLength = 0;
    while (unPos < strHead.size()) {
      size_t unEnd = strHead.find('\n', unPos);
      if (unEnd == std::string::npos) {
        break;
      }
      std::string strLine = strHead.substr(unPos, unEnd - unPos);
      if (strLine.empty() || strLine == "\r") {
        unHeadEnd = unPos;
        unBodyStart = unEnd + 1;
        break;
      }
      if (StartsWithNoCase(strLine, 0, "content-length:")) {
        std::string strValue = HeaderValue(strLine);
        char* pEnd = nullptr;
        unsigned long long ull = std::strtoull(strValue.c_str(), &pEnd, 10);
        if (strValue.empty() || *pEnd != '\0') {
          answer.eState = HttpAnswerState::Malformed;
          return answer;
        }
        bHasLength = true;
        unLength = ull;
      } else if (StartsWithNoCase(strLine, 0, "transfer-encoding:")) {
        std::string strValue = HeaderValue(strLine);
        bChunked = strValue.size() >= 7 &&
                   StartsWithNoCase(strValue, strValue.size() - 7, "chunked");
      } else if (StartsWithNoCase(strLine, 0, "connection:")) {
        const std::string strValue = HeaderValue(strLine);
        if (ListsToken(strValue, "close")) {
          bClose = true;
        } else if (!bHttp11 && ListsToken(strValue, "keep-alive")) {
          bClose = false;
        }
      } else if (StartsWithNoCase(strLine, 0, "retry-after:")) {
        ReadRetryAfter(HeaderValue(strLine), &answer);
      }
      unPos = unEnd + 1;
    }
    if (unHeadEnd == std::string::npos) {
      // A status line is enough when the server ends the connection early.
      answer.eState = bClosed ? HttpAnswerState::Complete
                              : (strHead.size() >= kAnswerHeadLimit ? HttpAnswerState::Malformed
                                                                    : HttpAnswerState::Incomplete);
      return answer;
    }
    if (answer.nStatus < 200 && answer.nStatus != 101) {
      if (unBodyStart >= strHead.size() && bClosed) {
        answer.eState = HttpAnswerState::Complete;  // nothing but an interim answer came
        return answer;
      }
      unStart = unBodyStart;
      continue;
    }
    const uint64_t unBody = unTotal - unBodyStart;
    bool bWhole = bClosed;
    // The body's end is known without the close: the connection may carry the next request,
    // unless the server said otherwise or sent more than the answer.
    bool bFramed = false;
    if (answer.nStatus == 101 || answer.nStatus == 204 || answer.nStatus == 304) {
      bWhole = true;
      bFramed = answer.nStatus != 101 && unBody == 0;
    } else if (bChunked) {
      bFramed = unBody >= 5 && strTail == "0\r\n\r\n";
      bWhole = bWhole || bFramed;
    } else if (bHasLength) {
      bFramed = unBody == unLength;
      bWhole = bWhole || unBody >= unLength;
    }
    answer.eState = bWhole ? HttpAnswerState::Complete : HttpAnswerState::Incomplete;
    answer.bKeepAlive = bWhole && bFramed && !bClose && !bClosed;
    return answer;
  }
}

LogUploadCounters GetLogUploadCounters() {
  return LogUploadCounters{g_nConnectFalseCount.load(), g_nSendFalseCount.load(),
                           g_nSendCount.load(), g_nReceiveFalseCount.load(),
                           g_nReceiveSuccessCount.load()};
}

LogUploadOutcomes GetLogUploadOutcomes() {
  return LogUploadOutcomes{g_unDelivered.load(), g_unRetried.load(), g_unRejected.load()};
}

CLogUpload::CLogUpload(CDecodeLogQueue& queue, std::function<SystemConfigStruct()> fnConfig)
    : m_queue(queue), m_fnConfig(std::move(fnConfig)), m_upRecord(new DecodeLogRecord) {}

CLogUpload::~CLogUpload() {
  Stop();
  m_LogServerLink.Close();
}

void CLogUpload::SetAnswerTimeout(uint32_t unSeconds) {
  m_unAnswerTimeoutS.store(std::max<uint32_t>(unSeconds, 1));
}

// Device command 81 only raises a flag; the client is touched here, on the upload thread, while
// no connection of it is in use.
void CLogUpload::ReconfigureIfAsked() {
  if (!m_bLogServerReconfigure.exchange(false)) {
    return;
  }
  SystemConfigStruct stConfig = m_fnConfig();
  std::string strAddress(stConfig.szLogServerIp, FieldLength(stConfig.szLogServerIp));
  LogServerTlsSettings stTls;
  {
    std::lock_guard<std::mutex> lock(m_mtxTls);
    stTls = m_stTls;
  }
  std::string strError;
  if (!m_LogServerLink.Configure(strAddress, static_cast<uint16_t>(stConfig.unLogServerPort),
                                 stTls, &strError)) {
    WriteLogF("FUNCTION %s  LINE %d TLS cannot be used: %s", kFunction, __LINE__,
              strError.c_str());
  }
}

HttpAnswer CLogUpload::WaitForAnswer(bool* pbAnyBytes, bool* pbClosed) {
  const auto tmDeadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(m_unAttemptAnswerTimeoutS.load());
  std::string strHead;  // the first bytes, up to kAnswerHeadLimit
  std::string strTail;  // the last bytes, up to kAnswerTailSize
  uint64_t unTotal = 0;
  uint8_t arrBuffer[1024];
  *pbAnyBytes = false;
  *pbClosed = false;
  for (;;) {
    auto tmNow = std::chrono::steady_clock::now();
    bool bEnd = m_bStop.load() || tmNow >= tmDeadline;
    bool bClosed = false;
    if (!bEnd) {
      auto wait = std::min<std::chrono::steady_clock::duration>(tmDeadline - tmNow, kAnswerPoll);
      long n = m_LogServerLink.Read(arrBuffer, sizeof(arrBuffer),
                                    std::chrono::duration_cast<std::chrono::milliseconds>(wait) +
                                        std::chrono::milliseconds(1));
      if (n > 0) {
        const char* p = reinterpret_cast<const char*>(arrBuffer);
        const size_t unCount = static_cast<size_t>(n);
        if (strHead.size() < kAnswerHeadLimit) {
          strHead.append(p, std::min(unCount, kAnswerHeadLimit - strHead.size()));
        }
        strTail.append(p + (unCount > kAnswerTailSize ? unCount - kAnswerTailSize : 0),
                       std::min(unCount, kAnswerTailSize));
        if (strTail.size() > kAnswerTailSize) {
          strTail.erase(0, strTail.size() - kAnswerTailSize);
        }
        unTotal += unCount;
        *pbAnyBytes = true;
      } else if (n == 0 || n == -2) {
        bClosed = true;
        *pbClosed = true;
      }
    }
    if (unTotal == 0 && (bEnd || bClosed)) {
      return HttpAnswer();  // nothing came
    }
    if (unTotal == 0) {
      continue;
    }
    // At the end, whatever came is all there is: a status line alone still counts.
    HttpAnswer answer = ParseHttpAnswer(strHead, unTotal, strTail, bClosed || bEnd);
    if (answer.eState != HttpAnswerState::Incomplete || bClosed || bEnd) {
      return answer;
    }
  }
}

uint32_t CLogUpload::ProcessSendSamvDecodeLog() {
  Outcome eOutcome = Attempt();
  return eOutcome == Outcome::Delivered || eOutcome == Outcome::Undelivered ? 1 : 0;
}

CLogUpload::Outcome CLogUpload::Attempt() {
  uint64_t unTicket = 0;
  DecodeLogRecord& record = *m_upRecord;
  SystemConfigStruct stConfig = m_fnConfig();
  if (stConfig.unLogServerPort == 0) {
    // No log server: records kept in memory only, which a stop would lose anyway, go one per
    // pass as they always did. Records in the spool stay there for the log server that is
    // configured next: a port cleared for a while must not cost the durable backlog.
    if (m_queue.DiscardOneInMemory()) {
      WriteLog("delete psttSamvDecodeLog");
    }
    const size_t unSpooled = m_queue.Spooled();
    if (unSpooled > 0 && !m_bSpoolKeptLogged) {
      m_bSpoolKeptLogged = true;
      WriteLogF("FUNCTION %s  LINE %d no log server configured (LOG_SERVER.PORT 0): %u card "
                "records stay in the spool %s until one is",
                kFunction, __LINE__, static_cast<unsigned>(unSpooled),
                m_queue.Directory().c_str());
    }
    m_LogServerLink.Close();
    return Outcome::Nothing;
  }
  m_bSpoolKeptLogged = false;
  if (std::chrono::steady_clock::now() < m_tmHoldUntil) {
    return Outcome::Nothing;  // the server asked for a pause (Retry-After)
  }
  if (!m_queue.Take(&unTicket, &record)) {
    return Outcome::Nothing;
  }
  // Whatever way the attempt ends (an error raised by the transport or the builder included),
  // an undelivered record goes back to the tail and a started connection is closed.
  struct Guard {
    CLogUpload& up;
    uint64_t unTicket;
    bool bStarted = false;
    ~Guard() {
      if (bStarted) {
        up.m_LogServerLink.Close();
      }
      if (unTicket != 0) {
        up.m_queue.PutBack(unTicket);
      }
    }
  } guard{*this, unTicket};

  ReconfigureIfAsked();
  // The answer time-out of this attempt is fixed at its start; a reload that lowers it must not
  // make the watchdog expect this attempt to end sooner.
  m_unAttemptAnswerTimeoutS.store(m_unAnswerTimeoutS.load());
  const auto tmStart = std::chrono::steady_clock::now();
  // For the operator's window: how long each attempt took, and what went wrong, by server.
  CGatewayMetrics& metrics = GatewayMetrics();
  auto secondsSince = [](std::chrono::steady_clock::time_point tm) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - tm).count();
  };
  auto server = [&stConfig] {
    return "log server " + std::string(stConfig.szLogServerIp, FieldLength(stConfig.szLogServerIp)) +
           ":" + std::to_string(stConfig.unLogServerPort);
  };
  std::string strHttpData;
  bool bBuilt = false;
  HttpAnswer answer;
  bool bAnyBytes = false;
  // The connection the last answer left open carries this request too. A server that closed it
  // while it was idle, just as the request went, never saw the request: it goes again at once on
  // a fresh connection.
  bool bReused = m_LogServerLink.StillOpen();
  for (;;) {
    if (!bReused) {
      std::string strWhy;
      CLogServerLink::ConnectResult eConnect =
          m_LogServerLink.Connect(kConnectTimeout, m_bStop, &strWhy);
      if (eConnect != CLogServerLink::ConnectResult::Ok) {
        return ConnectFailed(eConnect, strWhy, tmStart, server());
      }
    }
    guard.bStarted = true;
    if (!bBuilt) {
      strHttpData = BuildSamvDecodeLogHttpData(stConfig, &record, LocalClockNow());
      bBuilt = true;
    }
    size_t unSendCount = 0;
    if (!strHttpData.empty()) {
      unSendCount = m_LogServerLink.Write(reinterpret_cast<const uint8_t*>(strHttpData.data()),
                                          strHttpData.size(), kSendTimeout);
    }
    bool bClosed = false;
    if (!bReused || unSendCount == strHttpData.size()) {
      answer = WaitForAnswer(&bAnyBytes, &bClosed);
    }
    if (bReused && !bAnyBytes && !m_bStop.load() &&
        (bClosed || unSendCount < strHttpData.size())) {
      m_LogServerLink.Close();
      bReused = false;
      continue;
    }
    if (!strHttpData.empty()) {
      ++g_nSendCount;
      if (unSendCount < strHttpData.size()) {
        ++g_nSendFalseCount;
        WriteLogF("FUNCTION %s  LINE %d Send False unSendCount %d, strHttpData.size() %d",
                  kFunction, __LINE__, static_cast<int>(unSendCount),
                  static_cast<int>(strHttpData.size()));
      }
    }
    break;
  }

  WriteLog("delete psttSamvDecodeLog");
  if (!(m_bStop.load() && !bAnyBytes)) {
    metrics.UploadAttempt(secondsSince(tmStart));
  }
  Outcome eOutcome = Outcome::Undelivered;
  if (answer.eState == HttpAnswerState::Complete && answer.nStatus >= 200 && answer.nStatus < 300) {
    ++g_nReceiveSuccessCount;
    ++g_unDelivered;
    metrics.RecordDelivered();
    m_queue.Delivered(unTicket);
    guard.unTicket = 0;
    eOutcome = Outcome::Delivered;
  } else if (!bAnyBytes) {
    WriteLogF("FUNCTION %s  LINE %d Receive False", kFunction, __LINE__);
    ++g_nReceiveFalseCount;
    ++g_unRetried;
    if (!m_bStop.load()) {
      metrics.NoteError(server() + ": no answer; the card record is retried");
    }
  } else if (answer.eState == HttpAnswerState::Complete && answer.nStatus >= 400 &&
             answer.nStatus < 500 && answer.nStatus != 408 && answer.nStatus != 429) {
    // The server refuses this record for good: sending it again would be refused again.
    WriteLogF("FUNCTION %s  LINE %d log server refused the card record with HTTP status %d: "
              "set aside, not retried",
              kFunction, __LINE__, answer.nStatus);
    ++g_nReceiveFalseCount;
    ++g_unRejected;
    metrics.RecordRefused();
    metrics.NoteError(server() + ": refused a card record with HTTP status " +
                      std::to_string(answer.nStatus) + "; set aside");
    m_queue.Reject(unTicket);
    guard.unTicket = 0;
  } else {
    if (answer.nStatus != 0) {
      WriteLogF("FUNCTION %s  LINE %d log server answered with HTTP status %d: the card record "
                "is retried",
                kFunction, __LINE__, answer.nStatus);
    } else {
      WriteLogF("FUNCTION %s  LINE %d log server answer is not HTTP: the card record is retried",
                kFunction, __LINE__);
    }
    metrics.NoteError(server() + (answer.nStatus != 0
                                       ? ": answered HTTP status " + std::to_string(answer.nStatus)
                                       : std::string(": answer is not HTTP")) +
                      "; the card record is retried");
    ++g_nReceiveFalseCount;
    ++g_unRetried;
    HoldForRetryAfter(answer);
  }

  // The connection stays for the next record while the server keeps it open.
  if (!answer.bKeepAlive || m_bStop.load()) {
    m_LogServerLink.Close();
  }
  guard.bStarted = false;
  WriteLogF(
      "FUNCTION %s  LINE %d nConnectFalseCount %d nSendFalseCount %d nSendCount %d "
      "nReceiveFalseCount %d nReceiveSuccessCount %d",
      kFunction, __LINE__, g_nConnectFalseCount.load(), g_nSendFalseCount.load(),
      g_nSendCount.load(), g_nReceiveFalseCount.load(), g_nReceiveSuccessCount.load());
  if (eOutcome == Outcome::Undelivered && !bAnyBytes && m_bStop.load()) {
    return Outcome::NoConnection;  // cut short by the stop
  }
  return eOutcome;
}

CLogUpload::Outcome CLogUpload::ConnectFailed(CLogServerLink::ConnectResult eConnect,
                                              const std::string& strWhy,
                                              std::chrono::steady_clock::time_point tmStart,
                                              const std::string& strServer) {
  if (m_bStop.load()) {
    return Outcome::NoConnection;
  }
  CGatewayMetrics& metrics = GatewayMetrics();
  metrics.UploadAttempt(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - tmStart).count());
  if (eConnect == CLogServerLink::ConnectResult::TlsFailed) {
    metrics.TlsFailure();
    metrics.NoteError(strServer + ": TLS failed: " + strWhy);
  } else {
    metrics.NoteError(strServer + ": no connection; card records wait");
  }
  // One attempt per connect wait, however fast the refusal came.
  (void)Pause(static_cast<uint32_t>(std::max<long long>(
      0, std::chrono::duration_cast<std::chrono::milliseconds>(
             kConnectTimeout - (std::chrono::steady_clock::now() - tmStart))
             .count())));
  if (eConnect == CLogServerLink::ConnectResult::TlsFailed) {
    WriteLogF("FUNCTION %s  LINE %d TLS False: %s", kFunction, __LINE__, strWhy.c_str());
  } else {
    WriteLogF("FUNCTION %s  LINE %d Connect False", kFunction, __LINE__);
  }
  ++g_nConnectFalseCount;
  ++g_unRetried;
  return Outcome::NoConnection;
}

void CLogUpload::HoldForRetryAfter(const HttpAnswer& answer) {
  long nSeconds = answer.nRetryAfterS;
  if (nSeconds < 0 && answer.nRetryAtEpochS >= 0) {
    nSeconds = static_cast<long>(
        std::max<int64_t>(0, answer.nRetryAtEpochS - static_cast<int64_t>(std::time(nullptr))));
  }
  if (nSeconds <= 0) {
    return;
  }
  nSeconds = std::min<long>(nSeconds, kRetryAfterLimitS);
  WriteLogF("FUNCTION %s  LINE %d log server asked to retry after %ld s: uploads pause",
            kFunction, __LINE__, nSeconds);
  m_tmHoldUntil = std::chrono::steady_clock::now() + std::chrono::seconds(nSeconds);
}

bool CLogUpload::Pause(uint32_t unMs) {
  auto tmEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(unMs);
  while (!m_bStop.load()) {
    auto tmNow = std::chrono::steady_clock::now();
    if (tmNow >= tmEnd) {
      return true;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        tmEnd - tmNow, std::chrono::milliseconds(10)));
  }
  return false;
}

void CLogUpload::ThreadLoop() {
  try {
    ReconfigureIfAsked();  // reports a CA file that cannot be used at start-up
  } catch (...) {
    m_bLogServerReconfigure = true;
  }
  while (!m_bStop.load()) {
    Outcome eOutcome = Outcome::Nothing;
    try {
      eOutcome = Attempt();
    } catch (const std::exception& e) {
      // One failed attempt must not end the upload; the record is queued again.
      WriteLogF("FUNCTION %s  LINE %d Exception:%s!", kFunction, __LINE__, e.what());
    } catch (...) {
      WriteLogF("FUNCTION %s  LINE %d Exception:unknown!", kFunction, __LINE__);
    }
    m_unSteps.fetch_add(1);
    if (eOutcome == Outcome::Delivered) {
      continue;
    }
    // A server that answers at once with an error is not hammered: one retry a second.
    (void)Pause(eOutcome == Outcome::Undelivered ? kRetryPauseMs : kIdlePauseMs);
  }
}

uint32_t CLogUpload::LongestStepMs() const {
  // A request on a kept connection that the server had closed goes again on a fresh one: one
  // more send time-out.
  const uint64_t unMs = static_cast<uint64_t>(kConnectTimeout.count()) +
                        CLogServerLink::kHandshakeTimeoutMs +
                        2 * static_cast<uint64_t>(kSendTimeout.count()) +
                        static_cast<uint64_t>(std::max(m_unAnswerTimeoutS.load(),
                                                       m_unAttemptAnswerTimeoutS.load())) *
                            1000u +
                        kRetryPauseMs;
  return static_cast<uint32_t>(std::min<uint64_t>(unMs, UINT32_MAX));
}

void CLogUpload::Start() {
  if (m_upThread) {
    return;
  }
  m_bStop = false;
  m_upThread.reset(new CJoinableThread([this] { ThreadLoop(); }));
}

void CLogUpload::Stop() {
  m_bStop = true;
  // A handshake or a write blocked on a server that went quiet ends now, not at its time-out.
  m_LogServerLink.Abort();
  if (m_upThread) {
    m_upThread->Join();
    m_upThread.reset();
  }
}
