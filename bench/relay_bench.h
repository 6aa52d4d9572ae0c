#pragma once

#include <sys/types.h>

#include <cstdint>

// The relay and pairing benchmark: a stand-in decode server of its own (CAnswerServer) and
// readers that reach it three ways, each measured in turn in one run: directly, through the
// gateway (whose SamvList.ini points every module at the stand-in) and through a TCP proxy as a
// reference. When the gateway's status listener is named, its round trips are measured once more
// with its metrics scraped beside them, as a collector would (metrics_scraper.h). Prints the
// table rows (bench_util.h) on standard output, notes on standard error.

// One way to the stand-in: the port the readers connect to, and the process in between whose
// memory, threads and descriptors are read (0: none, the direct way).
struct RelayTarget {
  bool bEnabled = false;
  uint16_t unPort = 0;
  pid_t pid = 0;
  // The gateway's status listener on 127.0.0.1 (0: none). When set, each round-trip measurement
  // of this way is made a second time with GET /metrics beside it every unScrapeMs.
  uint16_t unStatusPort = 0;
};

struct RelayBenchOptions {
  uint16_t unAnswerPort = 0;  // where the stand-in listens; the direct target connects here
  RelayTarget gateway;        // needs at least unBurst modules, all pointing at the stand-in
  RelayTarget haproxy;        // optional
  uint32_t unSetups = 200;        // one reader's set-up, repeated
  uint32_t unBurst = 64;          // readers connecting at once
  uint32_t unBurstRounds = 10;    // bursts, one after the other once the last has been let go
  double dRelaySeconds = 2.0;     // each round-trip measurement
  uint32_t unScrapeMs = 100;      // between two scrapes of a target's status listener
  uint32_t unTimeoutMs = 5000;    // every connect, read and write
  uint32_t unSettleMs = 10000;    // waiting for a process to let go of readers that left
};

// Runs every measurement against every enabled target. Returns 0, or 1 when some figure could
// not be measured at all (the stand-in could not listen, or a target gave no sample).
int RunRelayBench(const RelayBenchOptions& options);
