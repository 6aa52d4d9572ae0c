// The module commands of the data switch: build time, serial number, clock read and set and
// controller restart, applied to the modules of SamvList.ini that an address selects, and the
// dispatcher of the command-line mode. Main thread only.
#include <chrono>
#include <cstring>
#include <thread>

#include "config/run_log.h"
#include "core/data_switch.h"
#include "mgmt/module_clock.h"

namespace {

// A restarted controller needs this long before the next one is touched.
constexpr int64_t kResetWaitUs = 5000000;

// Calls fnStep(entry) for every entry of the list that szAddress selects, in list order: an
// empty address selects all, any other only the entries whose IP is exactly that text. Null
// entries are never selected and are reported wherever the walk meets them.
template <typename Step>
void ForEachSelectedModule(const std::vector<SamvServerEntry*>& arrList, const char* szAddress,
                           const char* szFunction, Step fnStep) {
  if (szAddress == nullptr) {
    return;
  }
  const bool bAll = szAddress[0] == '\0';
  for (SamvServerEntry* pEntry : arrList) {
    if (pEntry == nullptr) {
      WriteLogF("FUNCTION %s  LINE %d m_arrSamvList have NULL", szFunction, __LINE__);
      continue;
    }
    // IP is a fixed field that may fill its width; compare within it only.
    if (!bAll && (std::strncmp(pEntry->IP, szAddress, sizeof(pEntry->IP)) != 0 ||
                  std::strlen(szAddress) >= sizeof(pEntry->IP))) {
      continue;
    }
    fnStep(*pEntry);
  }
}

// The entry's IP as a terminated text for the messages.
struct EntryIp {
  explicit EntryIp(const SamvServerEntry& entry) {
    std::memcpy(sz, entry.IP, sizeof(entry.IP));
    sz[sizeof(entry.IP)] = '\0';
  }
  char sz[sizeof(SamvServerEntry::IP) + 1];
};

}  // namespace

void LocalTimeToMcuRtc(const boost::posix_time::ptime& tm, McuRtcRecord* pRec) {
  const boost::gregorian::date day = tm.date();
  const boost::posix_time::time_duration tod = tm.time_of_day();
  pRec->unYear = static_cast<uint16_t>(day.year());
  pRec->byMonth = static_cast<uint8_t>(day.month());
  pRec->byDay = static_cast<uint8_t>(day.day());
  pRec->byHour = static_cast<uint8_t>(tod.hours());
  pRec->byMinute = static_cast<uint8_t>(tod.minutes());
  pRec->bySecond = static_cast<uint8_t>(tod.seconds());
}

bool McuRtcSameMinute(const McuRtcRecord& rec, const boost::posix_time::ptime& tm) {
  McuRtcRecord now = rec;
  LocalTimeToMcuRtc(tm, &now);
  return rec.unYear == now.unYear && rec.byMonth == now.byMonth && rec.byDay == now.byDay &&
         rec.byHour == now.byHour && rec.byMinute == now.byMinute;
}

void DataSwitch::LogBuildTime() {
  char szBuildTime[64] = {0};
  (void)m_VelmApi.GetLibBuildTime(szBuildTime, sizeof(szBuildTime));  // 64 bytes always suffice
  WriteLogF("BuildTime %s", szBuildTime);
}

void DataSwitch::ProcessVelmApiGetMcuSerailNo(const char* szAddress, int32_t /*nPort*/) {
  ForEachSelectedModule(
      m_arrSamvList, szAddress, "ProcessVelmApiGetMcuSerailNo", [this](const SamvServerEntry& e) {
        EntryIp ip(e);
        m_VelmApi.SetTarget(ip.sz, e.VELM_PORT);
        char szSerialNo[64] = {0};
        if (m_VelmApi.GetMcuSerailNo(szSerialNo, sizeof(szSerialNo))) {
          WriteLogF("FUNCTION %s  LINE %d GetMcuSerailNo %s:%d  McuSerialNo %s",
                    "ProcessVelmApiGetMcuSerailNo", __LINE__, ip.sz, static_cast<int>(e.VELM_PORT),
                    EscapeLogText(szSerialNo, strnlen(szSerialNo, sizeof(szSerialNo))).c_str());
        } else {
          WriteLogF("FUNCTION %s  LINE %d %s:%d GetMcuSerailNo FALSE",
                    "ProcessVelmApiGetMcuSerailNo", __LINE__, ip.sz, static_cast<int>(e.VELM_PORT));
        }
      });
}

void DataSwitch::ProcessVelmApiGetMcuRtc(const char* szAddress, int32_t /*nPort*/) {
  // One record for the whole walk: each read sends what the previous one left in it.
  McuRtcRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  ForEachSelectedModule(
      m_arrSamvList, szAddress, "ProcessVelmApiGetMcuRtc", [this, &rec](const SamvServerEntry& e) {
        EntryIp ip(e);
        m_VelmApi.SetTarget(ip.sz, e.VELM_PORT);
        if (m_VelmApi.GetMcuRtc(&rec)) {
          WriteLogF("FUNCTION %s  LINE %d Rtc %s:%d  %d-%02d-%02d %02d:%02d:%02d",
                    "ProcessVelmApiGetMcuRtc", __LINE__, ip.sz, static_cast<int>(e.VELM_PORT),
                    rec.unYear, rec.byMonth, rec.byDay, rec.byHour, rec.byMinute, rec.bySecond);
        } else {
          WriteLogF("FUNCTION %s  LINE %d %s:%d GetMcuRtc FALSE", "ProcessVelmApiGetMcuRtc",
                    __LINE__, ip.sz, static_cast<int>(e.VELM_PORT));
        }
      });
}

void DataSwitch::ProcessVelmApiSetMcuRtc(const char* szAddress, int32_t /*nPort*/) {
  ForEachSelectedModule(
      m_arrSamvList, szAddress, "ProcessVelmApiSetMcuRtc", [this](const SamvServerEntry& e) {
        EntryIp ip(e);
        m_VelmApi.SetTarget(ip.sz, e.VELM_PORT);
        // Built anew for each module, just before its request, so a slow walk sets no stale time.
        McuRtcRecord rec;
        std::memset(&rec, 0, sizeof(rec));
        LocalTimeToMcuRtc(LocalClockNow(), &rec);
        if (m_VelmApi.SetMcuRtc(&rec)) {
          WriteLogF("FUNCTION %s  LINE %d SetMcuRtc %s:%d  %d-%02d-%02d %02d:%02d:%02d",
                    "ProcessVelmApiSetMcuRtc", __LINE__, ip.sz, static_cast<int>(e.VELM_PORT),
                    rec.unYear, rec.byMonth, rec.byDay, rec.byHour, rec.byMinute, rec.bySecond);
        } else {
          WriteLogF("FUNCTION %s  LINE %d %s:%d SetMcuRtc FALSE", "ProcessVelmApiSetMcuRtc",
                    __LINE__, ip.sz, static_cast<int>(e.VELM_PORT));
        }
      });
}

void DataSwitch::ProcessVelmApiResetMcu(const char* szAddress, int32_t /*nPort*/) {
  const bool bAll = szAddress != nullptr && szAddress[0] == '\0';
  ForEachSelectedModule(
      m_arrSamvList, szAddress, "ProcessVelmApiResetMcu", [this, bAll](const SamvServerEntry& e) {
        EntryIp ip(e);
        m_VelmApi.SetTarget(ip.sz, e.VELM_PORT);
        if (!m_VelmApi.ResetMcu()) {
          WriteLogF("FUNCTION %s  LINE %d %s:%d ResetMcu FALSE", "ProcessVelmApiResetMcu", __LINE__,
                    ip.sz, static_cast<int>(e.VELM_PORT));
        } else if (bAll) {
          WriteLogF("FUNCTION %s  LINE %d GetMcuSerailNo %s:%d  ResetMcu", "ProcessVelmApiResetMcu",
                    __LINE__, ip.sz, static_cast<int>(e.VELM_PORT));
        } else {
          WriteLogF("FUNCTION %s  LINE %d ResetMcu %s:%d ", "ProcessVelmApiResetMcu", __LINE__,
                    ip.sz, static_cast<int>(e.VELM_PORT));
        }
        // Success or not, give the controller its restart time before the next module.
        WriteLogF("FUNCTION %s  LINE %d Wait 5 Second", "ProcessVelmApiResetMcu", __LINE__);
        std::this_thread::sleep_for(std::chrono::microseconds(kResetWaitUs));
      });
}

void DataSwitch::ProcessVelmApiCommand(const char* szAddress, int32_t nPort,
                                       const char* szCommand) {
  if (szAddress == nullptr || szCommand == nullptr) {
    return;
  }
  if (std::strcmp(szCommand, "GETLIBBUILDTIME") == 0) {
    LogBuildTime();
  } else if (std::strcmp(szCommand, "GETMCUSERAILNO") == 0) {
    ProcessVelmApiGetMcuSerailNo(szAddress, nPort);
  } else if (std::strcmp(szCommand, "SETMCURTC") == 0) {
    ProcessVelmApiSetMcuRtc(szAddress, nPort);
  } else if (std::strcmp(szCommand, "GETMCURTC") == 0) {
    ProcessVelmApiGetMcuRtc(szAddress, nPort);
  } else if (std::strcmp(szCommand, "RESETMCU") == 0) {
    ProcessVelmApiResetMcu(szAddress, nPort);
  }
  // Any other word does nothing, silently.
}
