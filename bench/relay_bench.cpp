#include "relay_bench.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "answer_server.h"
#include "bench_util.h"
#include "config/byte_io.h"
#include "core/device_frame.h"
#include "metrics_scraper.h"

namespace {

using bench::Cell;
using bench::Clock;

constexpr size_t kRequestSize = 64;
// A command the gateway neither answers nor checks: it passes to the module unchanged.
constexpr uint8_t kPassingCommand = 4;
constexpr uint32_t kWarmUpRounds = 20;
constexpr size_t kMaxSamplesPerReader = 1 << 20;
// The round-trip measurements of a way: 1 reader and many, then the same two with the metrics
// scraped beside them.
constexpr size_t kSlotOneReader = 0;
constexpr size_t kSlotManyReaders = 1;
constexpr size_t kSlotScraped = 2;  // added to either
constexpr size_t kRelaySlots = 4;

// The request of reader unReader. The key's first four bytes read, as a length word, far beyond
// any frame: the gateway follows the stream under both ways of counting the length word, and a
// key that looked like a frame of a checked command to the second way could make it hold bytes.
void BuildRequest(uint32_t unReader, uint8_t* pOut) {
  const uint8_t arrKey[kDeviceKeySize] = {0x5A, 0xC3, 0x91, 0xF7,
                                          static_cast<uint8_t>(unReader),
                                          static_cast<uint8_t>(unReader >> 8), 0x3C, 0x6E};
  std::memset(pOut, 0, kRequestSize);
  PutLe32(pOut, kRequestSize);
  std::memcpy(pOut + 4, arrKey, sizeof(arrKey));
  pOut[12] = kPassingCommand;
  MaskDeviceBody(pOut + 12, kRequestSize - 12, arrKey);
}

// One reader: its socket and its request. The answer must carry the request's key.
class CReader {
 public:
  explicit CReader(uint32_t unIndex) { BuildRequest(unIndex, m_arrRequest); }
  ~CReader() { Close(); }
  CReader(const CReader&) = delete;
  CReader& operator=(const CReader&) = delete;

  bool Connect(uint16_t unPort, uint32_t unTimeoutMs) {
    Close();
    m_fd = bench::ConnectLoopback(unPort, unTimeoutMs);
    return m_fd >= 0;
  }
  // One request and its whole answer.
  bool RoundTrip() {
    uint8_t arrAnswer[CAnswerServer::kAnswerSize];
    return m_fd >= 0 && bench::SendAll(m_fd, m_arrRequest, sizeof(m_arrRequest)) &&
           bench::RecvAll(m_fd, arrAnswer, sizeof(arrAnswer)) &&
           GetLe32(arrAnswer) == CAnswerServer::kAnswerLengthWord &&
           std::memcmp(arrAnswer + 4, m_arrRequest + 4, kDeviceKeySize) == 0;
  }
  void Close() {
    if (m_fd >= 0) {
      ::close(m_fd);
      m_fd = -1;
    }
  }

 private:
  int m_fd = -1;
  uint8_t m_arrRequest[kRequestSize];
};

// A start signal for many threads and a count of those that are done, every wait bounded.
class CGate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bOpen = true;
    m_cv.notify_all();
  }
  bool WaitOpen(Clock::duration timeout) {
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, timeout, [this] { return m_bOpen; });
  }
  void Done() {
    std::lock_guard<std::mutex> lock(m_mtx);
    ++m_unDone;
    m_cv.notify_all();
  }
  bool WaitDone(uint32_t unCount, Clock::duration timeout) {
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, timeout, [&] { return m_unDone >= unCount; });
  }

 private:
  std::mutex m_mtx;
  std::condition_variable m_cv;
  bool m_bOpen = false;
  uint32_t m_unDone = 0;
};

struct TargetFigures {
  Cell arrMedian[kRelaySlots], arrP99[kRelaySlots], arrRate[kRelaySlots];
  // The scrapes beside the scraped measurements: sent, answered whole, and each one's time (µs).
  uint32_t unScrapesSent = 0;
  uint32_t unScrapesAnswered = 0;
  std::vector<double> arrScrapeUs;
  Cell setupMedian, burstMean, burstWorst;
  bench::ProcFigures rest, held, after;
  bool bAfterSettled = false;
  bool bMissing = false;  // some figure had no sample at all
};

struct Target {
  const char* szName;
  RelayTarget way;
  TargetFigures figures;
  // The bursts so far: every answered reader's set-up (µs), the readers without an answer, and
  // whether the process in between still held readers after a burst (no more bursts then).
  std::vector<double> arrBurstUs;
  uint32_t unBurstMissing = 0;
  bool bBurstStuck = false;
};

// One reader's set-up, repeated: connect until the first answer, then leave.
Cell MeasureSetup(const Target& target, const RelayBenchOptions& options) {
  std::vector<double> arrUs;
  uint32_t unFailed = 0;
  CReader reader(1);
  for (uint32_t i = 0; i < options.unSetups; ++i) {
    const Clock::time_point tm0 = Clock::now();
    if (reader.Connect(target.way.unPort, options.unTimeoutMs) && reader.RoundTrip()) {
      arrUs.push_back(bench::MicrosBetween(tm0, Clock::now()));
    } else {
      ++unFailed;
    }
    reader.Close();
  }
  if (unFailed > 0) {
    std::fprintf(stderr, "%s: %u of %u set-ups got no answer\n", target.szName, unFailed,
                 options.unSetups);
  }
  return arrUs.empty() ? Cell() : bench::Value(bench::Percentile(&arrUs, 0.5));
}

// Watches the process between the readers and the stand-in until its threads and descriptors
// are back at their count at rest (true), or until the settle time has passed (false, noted).
bool WaitUntilLetGo(Target* pTarget, const RelayBenchOptions& options) {
  const bench::ProcFigures& rest = pTarget->figures.rest;
  const Clock::time_point tmDeadline = Clock::now() + std::chrono::milliseconds(options.unSettleMs);
  pTarget->figures.bAfterSettled = false;
  for (;;) {
    bench::ProcFigures now = bench::ReadProcFigures(pTarget->way.pid);
    pTarget->figures.after = now;
    if (now.bValid && now.unDescriptors <= rest.unDescriptors &&
        now.unThreads <= rest.unThreads) {
      pTarget->figures.bAfterSettled = true;
      return true;
    }
    if (!now.bValid || Clock::now() >= tmDeadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::fprintf(stderr, "%s: still holds %u threads and %u descriptors %u ms after the "
               "readers left (at rest: %u and %u)\n",
               pTarget->szName, pTarget->figures.after.unThreads,
               pTarget->figures.after.unDescriptors, options.unSettleMs, rest.unThreads,
               rest.unDescriptors);
  return false;
}

// One burst: unBurst readers connect at once; each times its connect start to its first
// answer. They stay paired while the process in between is looked at (first round only), then
// leave together, and the process is watched until it has let go of them.
void BurstRound(Target* pTarget, const RelayBenchOptions& options, bool bFirst) {
  if (pTarget->bBurstStuck) {
    return;
  }
  const uint32_t unCount = options.unBurst;
  const auto timeout = std::chrono::milliseconds(options.unTimeoutMs * 3);
  std::vector<std::unique_ptr<CReader>> arrReaders;
  std::vector<double> arrUs(unCount, -1.0);
  CGate start, answered, leave;
  std::vector<std::thread> arrThreads;
  for (uint32_t i = 0; i < unCount; ++i) {
    arrReaders.emplace_back(new CReader(100 + i));
  }
  for (uint32_t i = 0; i < unCount; ++i) {
    arrThreads.emplace_back([&, i] {
      if (start.WaitOpen(timeout)) {
        const Clock::time_point tm0 = Clock::now();
        if (arrReaders[i]->Connect(pTarget->way.unPort, options.unTimeoutMs) &&
            arrReaders[i]->RoundTrip()) {
          arrUs[i] = bench::MicrosBetween(tm0, Clock::now());
        }
      }
      answered.Done();
      leave.WaitOpen(timeout);
      arrReaders[i]->Close();
    });
  }
  start.Open();
  answered.WaitDone(unCount, timeout);
  if (pTarget->way.pid > 0 && bFirst) {
    pTarget->figures.held = bench::ReadProcFigures(pTarget->way.pid);
  }
  leave.Open();
  for (std::thread& thr : arrThreads) {
    thr.join();  // each waits on its own bounded reads and the bounded gates
  }
  for (double d : arrUs) {
    if (d >= 0) {
      pTarget->arrBurstUs.push_back(d);
    } else {
      ++pTarget->unBurstMissing;
    }
  }
  if (pTarget->way.pid > 0 && !WaitUntilLetGo(pTarget, options)) {
    pTarget->bBurstStuck = true;  // the next round would find the pool still taken
  }
}

// The burst figures over every round.
void FinishBursts(Target* pTarget) {
  if (pTarget->unBurstMissing > 0) {
    std::fprintf(stderr, "%s: %u burst readers got no answer\n", pTarget->szName,
                 pTarget->unBurstMissing);
  }
  const std::vector<double>& arrOk = pTarget->arrBurstUs;
  if (!arrOk.empty()) {
    double dSum = 0;
    for (double d : arrOk) {
      dSum += d;
    }
    pTarget->figures.burstMean = bench::Value(dSum / static_cast<double>(arrOk.size()) / 1000.0);
    pTarget->figures.burstWorst =
        bench::Value(*std::max_element(arrOk.begin(), arrOk.end()) / 1000.0);
  }
}

// unCount readers, each paired first, then all send request after request for the given time.
// Sets the median and 99th percentile round trip (µs) and the requests per second.
void MeasureRelay(Target* pTarget, const RelayBenchOptions& options, uint32_t unCount,
                  size_t unSlot) {
  const auto timeout = std::chrono::milliseconds(options.unTimeoutMs * 3);
  std::vector<std::unique_ptr<CReader>> arrReaders;
  std::vector<std::vector<double>> arrSamples(unCount);
  std::vector<Clock::time_point> arrEnd(unCount, Clock::time_point());
  std::atomic<uint32_t> unFailed{0};
  CGate ready, start;
  Clock::time_point tmStart;
  Clock::time_point tmDeadline;
  std::vector<std::thread> arrThreads;
  for (uint32_t i = 0; i < unCount; ++i) {
    arrReaders.emplace_back(new CReader(1000 + i));
    arrSamples[i].reserve(kMaxSamplesPerReader);
  }
  for (uint32_t i = 0; i < unCount; ++i) {
    arrThreads.emplace_back([&, i] {
      CReader& reader = *arrReaders[i];
      bool bOk = reader.Connect(pTarget->way.unPort, options.unTimeoutMs);
      for (uint32_t r = 0; bOk && r < kWarmUpRounds; ++r) {
        bOk = reader.RoundTrip();
      }
      ready.Done();
      if (!start.WaitOpen(timeout) || !bOk) {
        if (!bOk) {
          unFailed.fetch_add(1);
        }
        reader.Close();
        return;
      }
      std::vector<double>& arr = arrSamples[i];
      for (;;) {
        const Clock::time_point tm0 = Clock::now();
        if (tm0 >= tmDeadline || arr.size() >= kMaxSamplesPerReader) {
          break;
        }
        if (!reader.RoundTrip()) {
          unFailed.fetch_add(1);
          break;
        }
        arr.push_back(bench::MicrosBetween(tm0, Clock::now()));
      }
      arrEnd[i] = Clock::now();
      reader.Close();
    });
  }
  ready.WaitDone(unCount, timeout);
  tmStart = Clock::now();
  tmDeadline = tmStart + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(options.dRelaySeconds));
  start.Open();  // the gate's lock orders the two stamps before any reader reads them
  for (std::thread& thr : arrThreads) {
    thr.join();
  }
  if (unFailed.load() > 0) {
    std::fprintf(stderr, "%s: %u of %u readers failed in the round-trip measurement\n",
                 pTarget->szName, unFailed.load(), unCount);
  }
  std::vector<double> arrAll;
  Clock::time_point tmEnd = tmStart;
  for (uint32_t i = 0; i < unCount; ++i) {
    arrAll.insert(arrAll.end(), arrSamples[i].begin(), arrSamples[i].end());
    tmEnd = std::max(tmEnd, arrEnd[i]);
  }
  const double dSeconds = bench::MicrosBetween(tmStart, tmEnd) / 1e6;
  if (arrAll.empty() || dSeconds <= 0) {
    pTarget->figures.bMissing = true;
    return;
  }
  const double dRate = static_cast<double>(arrAll.size()) / dSeconds;
  pTarget->figures.arrMedian[unSlot] = bench::Value(bench::Percentile(&arrAll, 0.5));
  pTarget->figures.arrP99[unSlot] = bench::Value(bench::Percentile(&arrAll, 0.99));
  pTarget->figures.arrRate[unSlot] = bench::Value(dRate);
}

void MeasureTarget(Target* pTarget, const RelayBenchOptions& options, uint32_t unMany) {
  TargetFigures& f = pTarget->figures;
  const uint32_t arrCounts[2] = {1, unMany};
  for (size_t s : {kSlotOneReader, kSlotManyReaders}) {
    MeasureRelay(pTarget, options, arrCounts[s], s);
    if (pTarget->way.unStatusPort == 0) {
      continue;
    }
    // Right after the same measurement unscraped, so that both find the machine alike.
    CMetricsScraper scraper(pTarget->way.unStatusPort, options.unScrapeMs, options.unTimeoutMs);
    scraper.Start();
    MeasureRelay(pTarget, options, arrCounts[s], s + kSlotScraped);
    scraper.Stop();
    f.unScrapesSent += scraper.Sent();
    f.unScrapesAnswered += scraper.Answered();
    f.arrScrapeUs.insert(f.arrScrapeUs.end(), scraper.ScrapeMicros().begin(),
                         scraper.ScrapeMicros().end());
  }
  if (pTarget->way.unStatusPort != 0 && f.unScrapesAnswered < f.unScrapesSent) {
    std::fprintf(stderr, "%s: %u of %u metrics scrapes got no whole answer\n", pTarget->szName,
                 f.unScrapesSent - f.unScrapesAnswered, f.unScrapesSent);
  }
  // Without a single answered scrape the scraped figures are the unscraped ones again.
  f.bMissing = f.bMissing || (pTarget->way.unStatusPort != 0 && f.unScrapesAnswered == 0);
  f.bMissing = f.bMissing || !f.setupMedian.bSet || !f.burstMean.bSet;
}

Cell Proc(const Target* pTarget, const bench::ProcFigures TargetFigures::*pWhich,
          double (*pPick)(const bench::ProcFigures&)) {
  if (pTarget == nullptr || pTarget->way.pid <= 0) {
    return Cell();
  }
  const bench::ProcFigures& figures = pTarget->figures.*pWhich;
  return figures.bValid ? bench::Value(pPick(figures)) : Cell();
}

}  // namespace

int RunRelayBench(const RelayBenchOptions& options) {
  std::unique_ptr<CAnswerServer> upServer;
  try {
    upServer.reset(new CAnswerServer(options.unAnswerPort));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cardgate-bench-load: %s\n", e.what());
    return 1;
  }
  constexpr uint32_t kManyReaders = 8;
  std::vector<Target> arrTargets;
  RelayTarget direct;
  direct.bEnabled = true;
  direct.unPort = options.unAnswerPort;
  arrTargets.push_back(Target{"direct", direct, TargetFigures(), {}, 0, false});
  if (options.gateway.bEnabled) {
    arrTargets.push_back(Target{"gateway", options.gateway, TargetFigures(), {}, 0, false});
  }
  if (options.haproxy.bEnabled) {
    arrTargets.push_back(Target{"haproxy", options.haproxy, TargetFigures(), {}, 0, false});
  }
  // Set-ups at rest first, then the bursts round by round, each round through every target in
  // turn: whatever else the machine does meanwhile falls on all of them alike.
  for (Target& target : arrTargets) {
    if (target.way.pid > 0) {
      target.figures.rest = bench::ReadProcFigures(target.way.pid);
    }
    target.figures.setupMedian = MeasureSetup(target, options);
  }
  for (uint32_t unRound = 0; unRound < std::max<uint32_t>(options.unBurstRounds, 1); ++unRound) {
    for (Target& target : arrTargets) {
      BurstRound(&target, options, unRound == 0);
    }
  }
  bool bMissing = false;
  for (Target& target : arrTargets) {
    FinishBursts(&target);
    MeasureTarget(&target, options, kManyReaders);
    bMissing = bMissing || target.figures.bMissing;
  }
  upServer->Stop();

  auto find = [&](const char* szName) -> const Target* {
    for (const Target& t : arrTargets) {
      if (std::strcmp(t.szName, szName) == 0) {
        return &t;
      }
    }
    return nullptr;
  };
  const Target* pDirect = find("direct");
  const Target* pGateway = find("gateway");
  const Target* pHaproxy = find("haproxy");
  auto cell = [](const Target* pTarget, Cell TargetFigures::*pCell) {
    return pTarget != nullptr ? pTarget->figures.*pCell : Cell();
  };
  auto slot = [](const Target* pTarget, Cell (TargetFigures::*pArr)[kRelaySlots],
                 size_t unSlot) {
    return pTarget != nullptr ? (pTarget->figures.*pArr)[unSlot] : Cell();
  };
  const bool bScraped = pGateway != nullptr && pGateway->way.unStatusPort != 0;
  const std::string strScraped =
      ", /metrics scraped every " + std::to_string(options.unScrapeMs) + " ms";
  const uint32_t arrReaders[2] = {1, kManyReaders};
  for (size_t s : {kSlotOneReader, kSlotManyReaders}) {
    const std::string strWho =
        std::to_string(arrReaders[s]) + (s == kSlotOneReader ? " reader" : " readers");
    bench::PrintRow("relay round trip, " + strWho + ", median", "%.0f µs",
                    slot(pDirect, &TargetFigures::arrMedian, s),
                    slot(pGateway, &TargetFigures::arrMedian, s),
                    slot(pHaproxy, &TargetFigures::arrMedian, s));
    bench::PrintRow("relay round trip, " + strWho + ", p99", "%.0f µs",
                    slot(pDirect, &TargetFigures::arrP99, s),
                    slot(pGateway, &TargetFigures::arrP99, s),
                    slot(pHaproxy, &TargetFigures::arrP99, s));
    bench::PrintRow("relay requests per second, " + strWho, "%.0f",
                    slot(pDirect, &TargetFigures::arrRate, s),
                    slot(pGateway, &TargetFigures::arrRate, s),
                    slot(pHaproxy, &TargetFigures::arrRate, s));
    if (!bScraped) {
      continue;
    }
    // Only the gateway has the listener: the other ways have nothing to scrape.
    bench::PrintRow("relay round trip, " + strWho + ", median" + strScraped, "%.0f µs", Cell(),
                    slot(pGateway, &TargetFigures::arrMedian, s + kSlotScraped), Cell());
    bench::PrintRow("relay round trip, " + strWho + ", p99" + strScraped, "%.0f µs", Cell(),
                    slot(pGateway, &TargetFigures::arrP99, s + kSlotScraped), Cell());
    bench::PrintRow("relay requests per second, " + strWho + strScraped, "%.0f", Cell(),
                    slot(pGateway, &TargetFigures::arrRate, s + kSlotScraped), Cell());
  }
  if (bScraped) {
    const TargetFigures& f = pGateway->figures;
    std::vector<double> arrScrapeUs = f.arrScrapeUs;
    const Cell scrapeMedian =
        arrScrapeUs.empty() ? Cell() : bench::Value(bench::Percentile(&arrScrapeUs, 0.5));
    bench::PrintRow("/metrics scrapes answered beside the relay, of " +
                        std::to_string(f.unScrapesSent) + " sent",
                    "%.0f", Cell(), bench::Value(f.unScrapesAnswered), Cell());
    bench::PrintRow("/metrics scrape beside the relay (connect to last byte), median", "%.0f µs",
                    Cell(), scrapeMedian, Cell());
  }
  bench::PrintRow("one reader's set-up (connect to first answer), median of " +
                      std::to_string(options.unSetups),
                  "%.0f µs", cell(pDirect, &TargetFigures::setupMedian),
                  cell(pGateway, &TargetFigures::setupMedian),
                  cell(pHaproxy, &TargetFigures::setupMedian));
  const std::string strBurst = std::to_string(options.unBurst) + " readers connecting at once (" +
                               std::to_string(options.unBurstRounds) + " bursts)";
  bench::PrintRow(strBurst + ", mean set-up", "%.1f ms", cell(pDirect, &TargetFigures::burstMean),
                  cell(pGateway, &TargetFigures::burstMean),
                  cell(pHaproxy, &TargetFigures::burstMean));
  bench::PrintRow(strBurst + ", worst set-up", "%.1f ms",
                  cell(pDirect, &TargetFigures::burstWorst),
                  cell(pGateway, &TargetFigures::burstWorst),
                  cell(pHaproxy, &TargetFigures::burstWorst));

  struct ProcRow {
    const char* szState;
    const bench::ProcFigures TargetFigures::*pWhich;
  };
  const std::string strHeld = "with " + std::to_string(options.unBurst) + " paired readers";
  const ProcRow arrStates[] = {{"at rest", &TargetFigures::rest},
                               {strHeld.c_str(), &TargetFigures::held},
                               {"after they left", &TargetFigures::after}};
  struct ProcKind {
    const char* szName;
    const char* szFormat;
    double (*pPick)(const bench::ProcFigures&);
  };
  const ProcKind arrKinds[] = {
      {"resident memory", "%.0f KiB",
       [](const bench::ProcFigures& f) { return static_cast<double>(f.unRssKiB); }},
      {"threads", "%.0f",
       [](const bench::ProcFigures& f) { return static_cast<double>(f.unThreads); }},
      {"open descriptors", "%.0f",
       [](const bench::ProcFigures& f) { return static_cast<double>(f.unDescriptors); }},
  };
  for (const ProcKind& kind : arrKinds) {
    for (const ProcRow& state : arrStates) {
      bench::PrintRow(std::string(kind.szName) + ", " + state.szState, kind.szFormat, Cell(),
                      Proc(pGateway, state.pWhich, kind.pPick),
                      Proc(pHaproxy, state.pWhich, kind.pPick));
    }
  }
  return bMissing ? 1 : 0;
}
