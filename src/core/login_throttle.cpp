#include "core/login_throttle.h"

#include <algorithm>

#include "config/run_log.h"
#include "metrics/gateway_metrics.h"

namespace {

constexpr char kFunction[] = "LoginThrottle";

std::chrono::seconds Seconds(uint32_t unSeconds) { return std::chrono::seconds(unSeconds); }

}  // namespace

void CLoginThrottle::Configure(const Settings& settings) {
  Retune(settings);
  Reset();
}

void CLoginThrottle::Retune(const Settings& settings) {
  boost::mutex::scoped_lock lock(m_mtx);
  m_stSettings = settings;
  m_stSettings.unLockoutS = std::min(std::max<uint32_t>(settings.unLockoutS, 1), kMaxLockoutS);
  m_stSettings.unCapacity = std::max<size_t>(settings.unCapacity, 1);
  if (m_stSettings.unMaxFailures == 0) {
    m_mapEntries.clear();  // throttling is off: no lockout goes on either
  }
}

void CLoginThrottle::Reset() {
  boost::mutex::scoped_lock lock(m_mtx);
  m_mapEntries.clear();
}

bool CLoginThrottle::IsLockedOut(const std::string& strAddress, Clock::time_point tmNow) {
  boost::mutex::scoped_lock lock(m_mtx);
  Table::iterator it = m_mapEntries.find(strAddress);
  if (it == m_mapEntries.end() || !it->second.bLocked) {
    return false;
  }
  Entry& entry = it->second;
  if (tmNow >= entry.tmLockedUntil) {
    EndLockout(strAddress, entry);
    return false;
  }
  entry.tmLastSeen = tmNow;
  ++entry.unLockFailures;
  return true;
}

void CLoginThrottle::RecordFailure(const std::string& strAddress, Clock::time_point tmNow) {
  boost::mutex::scoped_lock lock(m_mtx);
  if (m_stSettings.unMaxFailures == 0) {
    return;
  }
  Entry& entry = FindOrAdd(strAddress, tmNow);
  entry.tmLastSeen = tmNow;
  if (entry.bLocked) {
    if (tmNow < entry.tmLockedUntil) {
      ++entry.unLockFailures;  // checked by a caller that did not ask first: still one more
      return;
    }
    EndLockout(strAddress, entry);
  }
  if (entry.unWindowFailures == 0 || tmNow - entry.tmWindowStart >= Seconds(kWindowS)) {
    entry.tmWindowStart = tmNow;
    entry.unWindowFailures = 0;
  }
  if (++entry.unWindowFailures < m_stSettings.unMaxFailures) {
    return;
  }
  // The failures went on if this lockout comes within the length of the last one after its end.
  uint32_t unLockoutS = m_stSettings.unLockoutS;
  if (entry.unLastLockoutS != 0 && tmNow - entry.tmLastLockEnd < Seconds(entry.unLastLockoutS)) {
    unLockoutS = std::min(std::max(2 * entry.unLastLockoutS, unLockoutS), kMaxLockoutS);
  }
  entry.bLocked = true;
  entry.tmLockedUntil = tmNow + Seconds(unLockoutS);
  entry.unLastLockoutS = unLockoutS;
  entry.unLockFailures = entry.unWindowFailures;
  entry.unWindowFailures = 0;
  WriteLogF("FUNCTION %s  LINE %d %s locked out for %u s after %u failed checks within a minute",
            kFunction, __LINE__, strAddress.c_str(), unLockoutS, entry.unLockFailures);
  GatewayMetrics().LockoutStarted();
  GatewayMetrics().NoteError("reader " + strAddress + " locked out for " +
                             std::to_string(unLockoutS) + " s after " +
                             std::to_string(entry.unLockFailures) + " failed checks");
}

std::vector<CLoginThrottle::Lockout> CLoginThrottle::ActiveLockouts(Clock::time_point tmNow) {
  std::vector<Lockout> arrLockouts;
  boost::mutex::scoped_lock lock(m_mtx);
  for (const Table::value_type& item : m_mapEntries) {
    const Entry& entry = item.second;
    if (entry.bLocked && tmNow < entry.tmLockedUntil) {
      const auto nLeftMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(entry.tmLockedUntil - tmNow)
              .count();
      arrLockouts.push_back({item.first, static_cast<uint32_t>((nLeftMs + 999) / 1000)});
    }
  }
  return arrLockouts;
}

void CLoginThrottle::ExpireLockouts(Clock::time_point tmNow) {
  boost::mutex::scoped_lock lock(m_mtx);
  for (Table::iterator it = m_mapEntries.begin(); it != m_mapEntries.end();) {
    Entry& entry = it->second;
    if (entry.bLocked && tmNow >= entry.tmLockedUntil) {
      EndLockout(it->first, entry);
    }
    if (IsForgettable(entry, tmNow)) {
      it = m_mapEntries.erase(it);
    } else {
      ++it;
    }
  }
}

size_t CLoginThrottle::Size() {
  boost::mutex::scoped_lock lock(m_mtx);
  return m_mapEntries.size();
}

uint32_t CLoginThrottle::LockoutSeconds(const std::string& strAddress) {
  boost::mutex::scoped_lock lock(m_mtx);
  Table::const_iterator it = m_mapEntries.find(strAddress);
  return it != m_mapEntries.end() && it->second.bLocked ? it->second.unLastLockoutS : 0;
}

void CLoginThrottle::EndLockout(const std::string& strAddress, Entry& entry) {
  entry.bLocked = false;
  entry.tmLastLockEnd = entry.tmLockedUntil;
  WriteLogF("FUNCTION %s  LINE %d %s lockout ended after %u s: %u failed checks", kFunction,
            __LINE__, strAddress.c_str(), entry.unLastLockoutS, entry.unLockFailures);
  entry.unLockFailures = 0;
}

bool CLoginThrottle::IsForgettable(const Entry& entry, Clock::time_point tmNow) const {
  if (entry.bLocked) {
    return false;
  }
  const bool bWindowOver =
      entry.unWindowFailures == 0 || tmNow - entry.tmWindowStart >= Seconds(kWindowS);
  const bool bDoublingOver = entry.unLastLockoutS == 0 ||
                             tmNow - entry.tmLastLockEnd >= Seconds(entry.unLastLockoutS);
  return bWindowOver && bDoublingOver;
}

CLoginThrottle::Entry& CLoginThrottle::FindOrAdd(const std::string& strAddress,
                                                 Clock::time_point tmNow) {
  Table::iterator it = m_mapEntries.find(strAddress);
  if (it != m_mapEntries.end()) {
    return it->second;
  }
  if (m_mapEntries.size() >= m_stSettings.unCapacity) {
    // Forget the address seen longest ago, one that is not locked out if there is one.
    Table::iterator itOldest = m_mapEntries.end();
    for (Table::iterator itEntry = m_mapEntries.begin(); itEntry != m_mapEntries.end(); ++itEntry) {
      if (itOldest == m_mapEntries.end()) {
        itOldest = itEntry;
        continue;
      }
      const Entry& a = itEntry->second;
      const Entry& b = itOldest->second;
      if ((a.bLocked ? 1 : 0) < (b.bLocked ? 1 : 0) ||
          (a.bLocked == b.bLocked && a.tmLastSeen < b.tmLastSeen)) {
        itOldest = itEntry;
      }
    }
    m_mapEntries.erase(itOldest);
  }
  Entry& entry = m_mapEntries[strAddress];
  entry.tmLastSeen = tmNow;
  return entry;
}
