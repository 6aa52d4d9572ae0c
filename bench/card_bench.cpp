#include "card_bench.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench_util.h"
#include "device_sim.h"

namespace {

using bench::Cell;
using bench::Clock;

struct CardFigures {
  Cell rate;
  Cell median;
};

LoginRequest CardRequest(const CardBenchOptions& options, uint32_t unReader) {
  LoginRequest request;
  request.byCommand = 1;
  request.unAccountNo = options.unAccount;
  request.strPassword = options.strPassword;
  request.strUserInfo = "bench";
  request.strDeviceId = "BENCH-" + std::to_string(unReader);
  request.strTransData = "{\"bench\":" + std::to_string(unReader) + "}";
  return request;
}

// One card read that came back as a decoded card (not the gateway's refusal, not a time-out).
bool ReadOneCard(CDeviceSimClient& device, const LoginRequest& request,
                 CDeviceSimClient::Duration timeout) {
  CardReadResult result;
  return device.ReadCard(request, &result, timeout) == ReadStatus::Ok && !result.bRefused &&
         ClassifyAnswer(result.arrAnswer.size()) != CardAnswerKind::NotCard;
}

CardFigures MeasureCards(const char* szName, const CardTarget& target,
                         const CardBenchOptions& options) {
  const CDeviceSimClient::Duration timeout(options.unTimeoutMs);
  std::vector<std::vector<double>> arrSamples(options.unReaders);
  std::vector<Clock::time_point> arrEnd(options.unReaders);
  std::atomic<uint32_t> unFailed{0};
  const Clock::time_point tmStart = Clock::now();
  const Clock::time_point tmDeadline =
      tmStart + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(options.dSeconds));
  std::vector<std::thread> arrThreads;
  for (uint32_t i = 0; i < options.unReaders; ++i) {
    arrThreads.emplace_back([&, i] {
      arrEnd[i] = tmStart;
      try {
        CDeviceSimClient device;
        const LoginRequest request = CardRequest(options, i);
        const uint16_t unPort = target.arrPorts[i % target.arrPorts.size()];
        if (!device.Connect("127.0.0.1", unPort, timeout)) {
          unFailed.fetch_add(1);
          return;
        }
        while (Clock::now() < tmDeadline) {
          const Clock::time_point tm0 = Clock::now();
          if (!ReadOneCard(device, request, timeout)) {
            unFailed.fetch_add(1);
            break;
          }
          arrSamples[i].push_back(bench::MicrosBetween(tm0, Clock::now()));
        }
        arrEnd[i] = Clock::now();
        device.Close();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: reader %u: %s\n", szName, i, e.what());
        unFailed.fetch_add(1);
      }
    });
  }
  for (std::thread& thr : arrThreads) {
    thr.join();  // every read of the device client is bounded by the time-out
  }
  if (unFailed.load() > 0) {
    std::fprintf(stderr, "%s: %u of %u card readers failed\n", szName, unFailed.load(),
                 options.unReaders);
  }
  std::vector<double> arrAll;
  Clock::time_point tmEnd = tmStart;
  for (uint32_t i = 0; i < options.unReaders; ++i) {
    arrAll.insert(arrAll.end(), arrSamples[i].begin(), arrSamples[i].end());
    tmEnd = std::max(tmEnd, arrEnd[i]);
  }
  CardFigures figures;
  const double dSeconds = bench::MicrosBetween(tmStart, tmEnd) / 1e6;
  if (!arrAll.empty() && dSeconds > 0) {
    figures.rate = bench::Value(static_cast<double>(arrAll.size()) / dSeconds);
    figures.median = bench::Value(bench::Percentile(&arrAll, 0.5));
  }
  return figures;
}

}  // namespace

int RunCardBench(const CardBenchOptions& options) {
  CardFigures direct, gateway, haproxy;
  bool bMissing = false;
  struct Way {
    const char* szName;
    const CardTarget* pTarget;
    CardFigures* pFigures;
  };
  const Way arrWays[] = {{"direct", &options.direct, &direct},
                         {"gateway", &options.gateway, &gateway},
                         {"haproxy", &options.haproxy, &haproxy}};
  for (const Way& way : arrWays) {
    if (way.pTarget->bEnabled && !way.pTarget->arrPorts.empty()) {
      *way.pFigures = MeasureCards(way.szName, *way.pTarget, options);
      bMissing = bMissing || !way.pFigures->rate.bSet;
    }
  }
  const std::string strWho = std::to_string(options.unReaders) + " readers, " +
                             std::to_string(options.unModules) + " modules";
  bench::PrintRow("card reads per second end to end, " + strWho, "%.0f", direct.rate,
                  gateway.rate, haproxy.rate);
  bench::PrintRow("card read (log-in to decoded answer), median, " + strWho, "%.0f µs",
                  direct.median, gateway.median, haproxy.median);
  return bMissing ? 1 : 0;
}
