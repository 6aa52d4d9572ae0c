#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// The gateway's counters for the operator's window (status page, metrics, health check): what
// happened to each module, to readers at the door, to administration commands and to card
// records, plus the last few errors. The parts of the gateway that see an event tell this
// registry; nothing here acts on the event or feeds back into the relay.
//
// One process-wide registry (GatewayMetrics()). Every call is one short critical section on a
// mutex of its own that is never held while calling out, so it may be called under any lock of
// the gateway (the pool lock included) and from any thread. Calls happen per pairing, per
// record or per error, never per relayed chunk.
enum class ModuleState : uint8_t { Free = 0, Busy = 1, Error = 2 };
const char* ModuleStateName(ModuleState eState);  // "free", "busy", "error"

// The three administration commands and what became of each.
enum class AdminCommand : uint8_t { Settings = 0, Accounts = 1, Check = 2 };
enum class AdminResult : uint8_t { Ok = 0, Refused = 1, Failed = 2 };
constexpr size_t kAdminCommandKinds = 3;
constexpr size_t kAdminResultKinds = 3;
const char* AdminCommandName(AdminCommand eCommand);  // "settings", "accounts", "check"
const char* AdminResultName(AdminResult eResult);     // "ok", "refused", "failed"

// Upper bounds (seconds) of the upload attempt duration histogram; a last bucket takes the rest.
constexpr std::array<double, 11> kUploadDurationBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                           0.5,   1.0,  2.5,   5.0,  10.0};

// What is kept of one module, as the snapshot gives it.
struct ModuleMetrics {
  uint32_t unIndex = 0;     // position in SamvList.ini
  std::string strAddress;   // IPn as configured
  uint32_t unPort = 0;      // PORTn
  ModuleState eState = ModuleState::Free;
  int64_t nStateSinceS = 0;  // Unix time of the last change of state (start-up at first)
  uint64_t unSessions = 0;         // readers it was paired with
  uint64_t unConnectFailures = 0;  // connects that failed (pairing or retry)
  uint64_t unResets = 0;           // restart requests sent to its controller
  uint64_t unLateAnswers = 0;      // card reads it left unanswered past SAMV.ANSWER_TIMEOUT_S
};

// One module of a reloaded pool, in its new place. unFormerIndex names the entry whose counters and
// state carry over; kNewModule for a module that joins the pool now (it starts in eState).
struct ModuleSeat {
  static constexpr uint32_t kNewModule = 0xFFFFFFFFu;
  uint32_t unFormerIndex = kNewModule;
  std::string strAddress;
  uint32_t unPort = 0;
  ModuleState eState = ModuleState::Free;
};

struct RecentError {
  int64_t nUnixS = 0;         // the last time it happened
  std::string strText;        // made by the gateway from its own facts; never a secret
  uint64_t unRepeats = 1;     // times in a row it happened
};

struct MetricsSnapshot {
  int64_t nStartedS = 0;  // Unix time the registry was made (process start)
  std::vector<ModuleMetrics> arrModules;
  uint64_t unAllowRefusals = 0;
  uint64_t unLoginFailures = 0;
  uint64_t unAdminCheckFailures = 0;
  uint64_t unLockouts = 0;
  uint64_t arrAdmin[kAdminCommandKinds][kAdminResultKinds] = {};
  uint64_t unTlsFailures = 0;
  int64_t nLastDeliveryS = 0;  // Unix time; 0: none since start
  // Seconds from the first to the last refusal (4xx) since the last delivery, on the steady
  // clock; -1 when a delivery came after every refusal (or there was none).
  int64_t nRefusingForS = -1;
  // Upload attempt durations: count per bucket (not cumulative; the last is above every bound).
  std::array<uint64_t, kUploadDurationBuckets.size() + 1> arrUploadBuckets = {};
  double dUploadSecondsSum = 0;
  uint64_t unUploadAttempts = 0;
  std::vector<RecentError> arrErrors;  // oldest first
};

class CGatewayMetrics {
 public:
  static constexpr size_t kRecentErrors = 10;
  static constexpr size_t kErrorTextLimit = 200;

  CGatewayMetrics();
  CGatewayMetrics(const CGatewayMetrics&) = delete;
  CGatewayMetrics& operator=(const CGatewayMetrics&) = delete;

  // Start-up: the pool, one entry per index, all FREE since now. Replaces what was there.
  void SetModules(const std::vector<ModuleMetrics>& arrModules);
  // A reload: the pool becomes arrSeats, entry i for module i. A module that stays keeps its
  // counters and state; one that left is forgotten.
  void RearrangeModules(const std::vector<ModuleSeat>& arrSeats);
  // Events of module unIndex; an index that was never set is ignored.
  void ModuleStateChanged(uint32_t unIndex, ModuleState eState);
  void ModuleSessionServed(uint32_t unIndex);
  void ModuleConnectFailed(uint32_t unIndex);
  void ModuleResetSent(uint32_t unIndex);
  void ModuleAnswerLate(uint32_t unIndex);

  void AllowListRefusal();
  void LoginFailure();
  void AdminCheckFailure();
  void LockoutStarted();
  void AdminCommandDone(AdminCommand eCommand, AdminResult eResult);

  void UploadAttempt(double dSeconds);
  void RecordDelivered();
  void RecordRefused();
  void TlsFailure();

  // Keeps the text (cut to kErrorTextLimit bytes) with the time, the newest kRecentErrors only.
  // A text that is already kept counts as a repeat and becomes the newest, so that faults that
  // go on (a log server down, a module that cannot be reached) do not push every other error out.
  void NoteError(const std::string& strText);

  MetricsSnapshot Snapshot() const;
  // Forgets everything (tests).
  void Reset();

 private:
  void CountForModule(uint32_t unIndex, uint64_t ModuleMetrics::*pField);

  mutable std::mutex m_mtx;  // guards m_stData and the refusal span
  MetricsSnapshot m_stData;
  // Steady-clock seconds of the first and last refusal since the last delivery; 0: none.
  int64_t m_nFirstRefusalSteadyS = 0;
  int64_t m_nLastRefusalSteadyS = 0;
  std::deque<RecentError> m_arrErrors;
};

// The registry of this process.
CGatewayMetrics& GatewayMetrics();

// Wall-clock Unix seconds, as the registry stamps events.
int64_t UnixNowS();
// Seconds of the steady clock: what ages and spans are counted in, whatever the wall clock does.
int64_t SteadyNowS();
