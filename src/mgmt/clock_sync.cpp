// Keeps the modules' clocks in step with the gateway's: at the first pass of the main loop and
// then once an hour. Main thread only.
#include <cstring>

#include "config/run_log.h"
#include "core/data_switch.h"
#include "mgmt/module_clock.h"

namespace {

constexpr int64_t kRtcSyncPeriodUs = 3600000000LL;  // one hour

// Whether a walk is due: at the first call, then once an hour (or at once after the clock was
// set back).
bool SyncDue(DataSwitch& ds) {
  if (!ds.m_bRtcStarted) {
    ds.m_tmLastRtcSync = LocalClockNow();
  }
  const int64_t nElapsedUs = (LocalClockNow() - ds.m_tmLastRtcSync).total_microseconds();
  if (!ds.m_bRtcStarted) {
    ds.m_bRtcStarted = true;
  } else if (nElapsedUs >= 0 && nElapsedUs < kRtcSyncPeriodUs) {
    return false;
  } else {
    // An hour has passed, or the clock was set back: the modules may have been set from the
    // clock that ran ahead, and waiting for it to pass the old stamp again would leave them
    // wrong for as long as it went back. Set them now and count the hour from here.
    ds.m_tmLastRtcSync = LocalClockNow();
  }
  return true;
}

// Reads one module's clock and sets it when it is a minute or more off.
void SyncModule(DataSwitch& ds, const SamvServerEntry* pEntry, McuRtcRecord* pRec) {
  McuRtcRecord& rec = *pRec;
  if (pEntry == nullptr) {
    WriteLogF("FUNCTION %s  LINE %d m_arrSamvList have NULL", "ProcessSamvSetRtc", __LINE__);
    return;
  }
  char szIp[sizeof(pEntry->IP) + 1] = {0};
  std::memcpy(szIp, pEntry->IP, sizeof(pEntry->IP));
  const int nVelmPort = static_cast<int>(pEntry->VELM_PORT);
  ds.m_VelmApi.SetTarget(szIp, pEntry->VELM_PORT);
  if (!ds.m_VelmApi.GetMcuRtc(&rec)) {
    WriteLogF("FUNCTION %s  LINE %d %s:%d GetMcuRtc FALSE", "ProcessSamvSetRtc", __LINE__, szIp,
              nVelmPort);
    return;
  }
  WriteLogF("FUNCTION %s  LINE %d Rtc %s:%d  %d-%02d-%02d %02d:%02d:%02d", "ProcessSamvSetRtc",
            __LINE__, szIp, nVelmPort, rec.unYear, rec.byMonth, rec.byDay, rec.byHour,
            rec.byMinute, rec.bySecond);
  const boost::posix_time::ptime tmNow = LocalClockNow();
  if (McuRtcSameMinute(rec, tmNow)) {
    return;  // seconds apart is close enough
  }
  LocalTimeToMcuRtc(tmNow, &rec);  // the opaque bytes stay as the module sent them
  if (ds.m_VelmApi.SetMcuRtc(&rec)) {
    WriteLogF("FUNCTION %s  LINE %d %s:%d SetMcuRtc OK", "ProcessSamvSetRtc", __LINE__, szIp,
              nVelmPort);
  } else {
    WriteLogF("FUNCTION %s  LINE %d %s:%d SetMcuRtc FALSE", "ProcessSamvSetRtc", __LINE__, szIp,
              nVelmPort);
  }
}

}  // namespace

void DataSwitch::ProcessSamvSetRtc() {
  if (m_unRtcNextEntry == 0 && !SyncDue(*this)) {
    return;
  }
  // A walk that gave the loop back goes on where it stopped.
  const size_t unFirst = m_unRtcNextEntry;
  m_unRtcNextEntry = 0;
  // One record for the whole walk; it carries what the previous module left in it.
  McuRtcRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  for (size_t i = unFirst; i < m_arrSamvList.size(); ++i) {
    // A silent module costs a second: a stop or a status request does not wait for the rest.
    if (i != unFirst && m_ManagementYield.Requested()) {
      m_unRtcNextEntry = i;
      return;
    }
    SyncModule(*this, m_arrSamvList[i], &rec);
  }
}
