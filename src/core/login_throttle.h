#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/thread/mutex.hpp>
#include <boost/unordered_map.hpp>

// Slows down password guessing from the device port, per reader address. After unMaxFailures
// failed log-ins or administrator checks within a minute, the address is locked out for
// unLockoutS seconds: its log-in and administration frames are refused without being checked.
// A lockout that starts again within the length of the previous one (the failures go on) lasts
// twice as long, up to an hour. One run-log line names the address and the failures when a
// lockout starts, one when it ends. Other addresses are not affected.
//
// The table holds at most unCapacity addresses; when a new one comes, the one seen longest ago
// is forgotten, an address that is not locked out before one that is. Internally locked: any
// thread. Times come from the caller (the steady clock), so tests can walk through them.
class CLoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr uint32_t kWindowS = 60;       // failures count within a minute
  static constexpr uint32_t kMaxLockoutS = 3600;  // doubling stops at an hour
  static constexpr uint32_t kDefaultMaxFailures = 5;
  static constexpr uint32_t kDefaultLockoutS = 60;
  static constexpr size_t kDefaultCapacity = 1024;

  struct Settings {
    uint32_t unMaxFailures = kDefaultMaxFailures;  // 0: no throttling at all
    uint32_t unLockoutS = kDefaultLockoutS;        // 1 to kMaxLockoutS
    size_t unCapacity = kDefaultCapacity;          // at least 1
  };

  CLoginThrottle() = default;
  CLoginThrottle(const CLoginThrottle&) = delete;
  CLoginThrottle& operator=(const CLoginThrottle&) = delete;

  // Takes new settings and forgets every address.
  void Configure(const Settings& settings);
  // Takes new settings and keeps what it knows of every address (a reload): a lockout under way
  // runs to its end, the next failures count against the new limit. Past the new capacity, the
  // oldest-seen addresses are forgotten as new ones arrive, as always. Throttling turned off
  // (MAX_FAILURES 0) forgets every address.
  void Retune(const Settings& settings);
  // Forgets every address (the settings stay).
  void Reset();

  // True while the address is locked out: the frame is to be refused unchecked (it is counted
  // with the lockout's failures). A lockout that has run out ends here (and is logged).
  bool IsLockedOut(const std::string& strAddress, Clock::time_point tmNow);
  // One failed log-in or administrator check from the address; may start a lockout.
  void RecordFailure(const std::string& strAddress, Clock::time_point tmNow);
  // Ends (and logs) the lockouts that have run out and forgets addresses with nothing left to
  // remember. Called by the main loop, so that the end is logged when it comes.
  void ExpireLockouts(Clock::time_point tmNow);

  // The addresses locked out at tmNow with the seconds left (rounded up), in no order.
  struct Lockout {
    std::string strAddress;
    uint32_t unRemainingS;
  };
  std::vector<Lockout> ActiveLockouts(Clock::time_point tmNow);

  size_t Size();
  // Seconds the address's current lockout lasts, 0 when it is not locked out (tests).
  uint32_t LockoutSeconds(const std::string& strAddress);

 private:
  struct Entry {
    Clock::time_point tmWindowStart;
    uint32_t unWindowFailures = 0;
    bool bLocked = false;
    Clock::time_point tmLockedUntil;
    uint32_t unLockFailures = 0;    // failures that started the lockout, and attempts during it
    uint32_t unLastLockoutS = 0;    // length of the current or last lockout; 0: none yet
    Clock::time_point tmLastLockEnd;
    Clock::time_point tmLastSeen;
  };
  using Table = boost::unordered_map<std::string, Entry>;

  // REQUIRES: m_mtx held.
  void EndLockout(const std::string& strAddress, Entry& entry);
  bool IsForgettable(const Entry& entry, Clock::time_point tmNow) const;
  Entry& FindOrAdd(const std::string& strAddress, Clock::time_point tmNow);

  boost::mutex m_mtx;
  Settings m_stSettings;
  Table m_mapEntries;
};
