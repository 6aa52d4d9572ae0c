#include "status/status_probe.h"

#include <chrono>

#include "core/data_switch.h"
#include "decodelog/log_upload.h"

const char* GatewayVersion() { return CARDGATE_VERSION; }
const char* GatewayBuildTime() { return CARDGATE_BUILD_TIME; }

GatewayStatus ReadGatewayStatus(DataSwitch& ds) {
  GatewayStatus stStatus;
  stStatus.stMetrics = GatewayMetrics().Snapshot();
  stStatus.nNowS = UnixNowS();
  stStatus.unUptimeS = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                                 std::chrono::steady_clock::now() - ds.m_tmStarted)
                                                 .count());
  stStatus.bAccepting = ds.AcceptsDevices();
  stStatus.unReaders = ds.SessionCount();
  for (CLoginThrottle::Lockout& lockout :
       ds.m_LoginThrottle.ActiveLockouts(CLoginThrottle::Clock::now())) {
    stStatus.arrLockouts.push_back({std::move(lockout.strAddress), lockout.unRemainingS});
  }

  const CDecodeLogQueue::Figures figures = ds.m_DecodeLogQueue.GetFigures();
  stStatus.unQueued = figures.unQueued;
  stStatus.unSpooled = figures.unSpooled;
  stStatus.unQueuedBytes = figures.unBytes;
  stStatus.nOldestAgeS = figures.nOldestAgeS;
  stStatus.bSpoolConfigured = !ds.m_stSettings.strSpoolDir.empty();
  stStatus.bSpoolDurable = ds.m_DecodeLogQueue.Durable();
  stStatus.bSpoolWriteFailing = ds.m_DecodeLogQueue.WriteFailing();
  const LogUploadOutcomes outcomes = GetLogUploadOutcomes();
  stStatus.unDelivered = outcomes.unDelivered;
  stStatus.unRetried = outcomes.unRetried;
  stStatus.unRejected = outcomes.unRejected;
  stStatus.unDropped = ds.m_DecodeLogQueue.Dropped();
  stStatus.bLogServerConfigured = ds.LogServerPort() != 0;
  return stStatus;
}
