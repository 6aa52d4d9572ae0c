#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// A metrics collector as an operator would point one at the gateway: GET /metrics on the status
// listener at 127.0.0.1 every unIntervalMs, each on a connection of its own that the answer
// closes, beside whatever else the benchmark measures. A scrape counts as answered when a 200
// came whole (Content-Length bytes of body) and the body is the exposition text.
//
// Start and Stop are called from one thread (the measurement's); the scrapes run on a thread of
// the scraper's own. The counts are read after Stop.
class CMetricsScraper {
 public:
  // unTimeoutMs bounds each connect, read and write of a scrape, and the scrape as a whole.
  CMetricsScraper(uint16_t unPort, uint32_t unIntervalMs, uint32_t unTimeoutMs);
  ~CMetricsScraper();  // Stop()
  CMetricsScraper(const CMetricsScraper&) = delete;
  CMetricsScraper& operator=(const CMetricsScraper&) = delete;

  // Starts scraping: the first scrape at once, then one every interval (a scrape that takes
  // longer than the interval delays the next one, none is skipped or doubled). Once only.
  void Start();
  // Ends the scrapes: waits for the one under way (unTimeoutMs at most) and joins the thread.
  // Safe twice or without Start.
  void Stop();

  uint32_t Sent() const { return m_unSent; }
  uint32_t Answered() const { return m_unAnswered; }
  // Connect to last byte of every answered scrape, in µs.
  const std::vector<double>& ScrapeMicros() const { return m_arrScrapeUs; }

 private:
  void Run();
  bool ScrapeOnce();

  const uint16_t m_unPort;
  const uint32_t m_unIntervalMs;
  const uint32_t m_unTimeoutMs;
  std::mutex m_mtx;  // guards m_bStop
  std::condition_variable m_cvStop;
  bool m_bStop = false;
  std::thread m_thr;
  // Written by the scraping thread only, read after it is joined.
  uint32_t m_unSent = 0;
  uint32_t m_unAnswered = 0;
  std::vector<double> m_arrScrapeUs;
};
