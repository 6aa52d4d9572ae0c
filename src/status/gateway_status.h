#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "metrics/gateway_metrics.h"

// One reading of everything the operator's window shows: the counters of the registry and the
// live facts of the gateway at one moment. Plain data, made by a probe (status_probe.h) and read
// by the renderers (metrics text, health, JSON, the page); it holds nothing secret: no password,
// key or record content.

struct LockoutStatus {
  std::string strAddress;   // the reader address that is locked out
  uint32_t unRemainingS = 0;  // seconds until the lockout ends
};

// One point of the last hour's chart.
struct HistorySample {
  int64_t nUnixS = 0;
  uint64_t unDelivered = 0;  // records delivered since start, at that moment
  uint64_t unQueued = 0;     // records queued at that moment
};

struct GatewayStatus {
  std::string strVersion;    // the gateway's version
  std::string strBuildTime;  // "YYYY-MM-DD HH:MM:SS"
  int64_t nNowS = 0;         // Unix time of the reading
  uint64_t unUptimeS = 0;

  MetricsSnapshot stMetrics;  // modules, door, administration, upload counters, recent errors

  bool bAccepting = false;  // the device port accepts readers
  uint32_t unReaders = 0;   // device sessions now
  std::vector<LockoutStatus> arrLockouts;

  // The record store.
  uint64_t unQueued = 0;         // records waiting (the one being sent included)
  uint64_t unSpooled = 0;        // of them, those in spool files
  uint64_t unQueuedBytes = 0;    // what they count against SPOOL.MAX_MB
  int64_t nOldestAgeS = -1;      // age of the oldest waiting record; -1 when none
  bool bSpoolConfigured = false;  // SPOOL.DIR names a directory
  bool bSpoolDurable = false;     // records go to files (else memory)
  bool bSpoolWriteFailing = false;  // the last spool write failed
  uint64_t unDelivered = 0;
  uint64_t unRetried = 0;
  uint64_t unRejected = 0;
  uint64_t unDropped = 0;
  bool bLogServerConfigured = false;  // LOG_SERVER.PORT is not 0

  uint32_t unMaxRecordAgeS = 600;  // STATUS.MAX_RECORD_AGE_S
  std::vector<HistorySample> arrHistory;  // oldest first, the last hour
};

// Why the gateway is not healthy, one line per reason; empty when it is. Healthy means: it
// accepts readers, at least one module is not in ERROR, the spool takes writes, the oldest
// waiting record is younger than the limit, and the log server has not refused every record
// for as long as the limit.
std::vector<std::string> HealthProblems(const GatewayStatus& stStatus);
