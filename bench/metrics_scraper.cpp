#include "metrics_scraper.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "bench_util.h"

namespace {

using bench::Clock;

constexpr char kRequest[] =
    "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/plain;version=0.0.4\r\n"
    "Connection: close\r\n\r\n";
constexpr size_t kMaxAnswerBytes = 1 << 20;  // the exposition text is a few KiB

// The value of Content-Length in a response head, or -1 when it has none or a bad one.
long ContentLength(const std::string& strHead) {
  std::string strLower = strHead;
  for (char& c : strLower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const size_t unPos = strLower.find("\r\ncontent-length:");
  if (unPos == std::string::npos) {
    return -1;
  }
  const char* pValue = strHead.c_str() + unPos + 17;
  char* pEnd = nullptr;
  const long nValue = std::strtol(pValue, &pEnd, 10);
  return pEnd == pValue || nValue < 0 ? -1 : nValue;
}

}  // namespace

CMetricsScraper::CMetricsScraper(uint16_t unPort, uint32_t unIntervalMs, uint32_t unTimeoutMs)
    : m_unPort(unPort), m_unIntervalMs(unIntervalMs), m_unTimeoutMs(unTimeoutMs) {}

CMetricsScraper::~CMetricsScraper() { Stop(); }

void CMetricsScraper::Start() { m_thr = std::thread(&CMetricsScraper::Run, this); }

void CMetricsScraper::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bStop = true;
    m_cvStop.notify_all();
  }
  if (m_thr.joinable()) {
    m_thr.join();  // the scrape under way ends within its time-out
  }
}

void CMetricsScraper::Run() {
  const auto interval = std::chrono::milliseconds(m_unIntervalMs);
  Clock::time_point tmNext = Clock::now();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_mtx);
      if (m_cvStop.wait_until(lock, tmNext, [this] { return m_bStop; })) {
        return;
      }
    }
    ++m_unSent;
    if (ScrapeOnce()) {
      ++m_unAnswered;
    }
    // On a fixed beat; a scrape that overran the beat is followed by the next one at once.
    tmNext = std::max(tmNext + interval, Clock::now());
  }
}

bool CMetricsScraper::ScrapeOnce() {
  const Clock::time_point tm0 = Clock::now();
  const Clock::time_point tmDeadline = tm0 + std::chrono::milliseconds(m_unTimeoutMs);
  const int fd = bench::ConnectLoopback(m_unPort, m_unTimeoutMs);
  if (fd < 0) {
    return false;
  }
  bool bAnswered = false;
  std::string strAnswer;
  if (bench::SendAll(fd, reinterpret_cast<const uint8_t*>(kRequest), sizeof(kRequest) - 1)) {
    long nLength = -1;
    size_t unHeadEnd = std::string::npos;
    char arrBuffer[16384];
    // Until the body is whole, the server closes, or the time is up.
    while (Clock::now() < tmDeadline && strAnswer.size() < kMaxAnswerBytes) {
      const ssize_t n = ::recv(fd, arrBuffer, sizeof(arrBuffer), 0);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        break;
      }
      strAnswer.append(arrBuffer, static_cast<size_t>(n));
      if (unHeadEnd == std::string::npos) {
        unHeadEnd = strAnswer.find("\r\n\r\n");
        if (unHeadEnd != std::string::npos) {
          unHeadEnd += 4;
          nLength = ContentLength(strAnswer.substr(0, unHeadEnd));
        }
      }
      if (unHeadEnd != std::string::npos && nLength >= 0 &&
          strAnswer.size() >= unHeadEnd + static_cast<size_t>(nLength)) {
        bAnswered = strAnswer.compare(0, 13, "HTTP/1.1 200 ") == 0 &&
                    strAnswer.size() == unHeadEnd + static_cast<size_t>(nLength) &&
                    strAnswer.compare(unHeadEnd, 16, "# HELP cardgate_") == 0;
        break;
      }
    }
  }
  ::close(fd);
  if (bAnswered) {
    m_arrScrapeUs.push_back(bench::MicrosBetween(tm0, Clock::now()));
  }
  return bAnswered;
}
