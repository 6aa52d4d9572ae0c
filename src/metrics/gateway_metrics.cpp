#include "metrics/gateway_metrics.h"

#include <algorithm>
#include <chrono>

const char* ModuleStateName(ModuleState eState) {
  switch (eState) {
    case ModuleState::Free:
      return "free";
    case ModuleState::Busy:
      return "busy";
    case ModuleState::Error:
      return "error";
  }
  return "unknown";
}

const char* AdminCommandName(AdminCommand eCommand) {
  switch (eCommand) {
    case AdminCommand::Settings:
      return "settings";
    case AdminCommand::Accounts:
      return "accounts";
    case AdminCommand::Check:
      return "check";
  }
  return "unknown";
}

const char* AdminResultName(AdminResult eResult) {
  switch (eResult) {
    case AdminResult::Ok:
      return "ok";
    case AdminResult::Refused:
      return "refused";
    case AdminResult::Failed:
      return "failed";
  }
  return "unknown";
}

int64_t SteadyNowS() {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
}

int64_t UnixNowS() {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
}

CGatewayMetrics::CGatewayMetrics() { m_stData.nStartedS = UnixNowS(); }

void CGatewayMetrics::SetModules(const std::vector<ModuleMetrics>& arrModules) {
  const int64_t nNow = UnixNowS();
  std::lock_guard<std::mutex> lock(m_mtx);
  m_stData.arrModules = arrModules;
  for (size_t i = 0; i < m_stData.arrModules.size(); ++i) {
    ModuleMetrics& module = m_stData.arrModules[i];
    module.unIndex = static_cast<uint32_t>(i);
    module.eState = ModuleState::Free;
    module.nStateSinceS = nNow;
  }
}

void CGatewayMetrics::RearrangeModules(const std::vector<ModuleSeat>& arrSeats) {
  const int64_t nNow = UnixNowS();
  std::lock_guard<std::mutex> lock(m_mtx);
  std::vector<ModuleMetrics> arrModules(arrSeats.size());
  for (size_t i = 0; i < arrSeats.size(); ++i) {
    const ModuleSeat& seat = arrSeats[i];
    ModuleMetrics& module = arrModules[i];
    if (seat.unFormerIndex < m_stData.arrModules.size()) {
      module = m_stData.arrModules[seat.unFormerIndex];
    } else {
      module.eState = seat.eState;
      module.nStateSinceS = nNow;
    }
    module.unIndex = static_cast<uint32_t>(i);
    module.strAddress = seat.strAddress;
    module.unPort = seat.unPort;
  }
  m_stData.arrModules.swap(arrModules);
}

void CGatewayMetrics::ModuleStateChanged(uint32_t unIndex, ModuleState eState) {
  const int64_t nNow = UnixNowS();
  std::lock_guard<std::mutex> lock(m_mtx);
  if (unIndex < m_stData.arrModules.size()) {
    ModuleMetrics& module = m_stData.arrModules[unIndex];
    if (module.eState != eState) {
      module.eState = eState;
      module.nStateSinceS = nNow;
    }
  }
}

void CGatewayMetrics::CountForModule(uint32_t unIndex, uint64_t ModuleMetrics::*pField) {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (unIndex < m_stData.arrModules.size()) {
    ++(m_stData.arrModules[unIndex].*pField);
  }
}

void CGatewayMetrics::ModuleSessionServed(uint32_t unIndex) {
  CountForModule(unIndex, &ModuleMetrics::unSessions);
}
void CGatewayMetrics::ModuleConnectFailed(uint32_t unIndex) {
  CountForModule(unIndex, &ModuleMetrics::unConnectFailures);
}
void CGatewayMetrics::ModuleResetSent(uint32_t unIndex) {
  CountForModule(unIndex, &ModuleMetrics::unResets);
}
void CGatewayMetrics::ModuleAnswerLate(uint32_t unIndex) {
  CountForModule(unIndex, &ModuleMetrics::unLateAnswers);
}

void CGatewayMetrics::AllowListRefusal() {
  std::lock_guard<std::mutex> lock(m_mtx);
  ++m_stData.unAllowRefusals;
}

void CGatewayMetrics::LoginFailure() {
  std::lock_guard<std::mutex> lock(m_mtx);
  ++m_stData.unLoginFailures;
}

void CGatewayMetrics::AdminCheckFailure() {
  std::lock_guard<std::mutex> lock(m_mtx);
  ++m_stData.unAdminCheckFailures;
}

void CGatewayMetrics::LockoutStarted() {
  std::lock_guard<std::mutex> lock(m_mtx);
  ++m_stData.unLockouts;
}

void CGatewayMetrics::AdminCommandDone(AdminCommand eCommand, AdminResult eResult) {
  const size_t unCommand = static_cast<size_t>(eCommand);
  const size_t unResult = static_cast<size_t>(eResult);
  if (unCommand >= kAdminCommandKinds || unResult >= kAdminResultKinds) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_mtx);
  ++m_stData.arrAdmin[unCommand][unResult];
}

void CGatewayMetrics::UploadAttempt(double dSeconds) {
  dSeconds = std::max(0.0, dSeconds);
  const size_t unBucket = static_cast<size_t>(
      std::lower_bound(kUploadDurationBuckets.begin(), kUploadDurationBuckets.end(), dSeconds) -
      kUploadDurationBuckets.begin());
  std::lock_guard<std::mutex> lock(m_mtx);
  ++m_stData.arrUploadBuckets[unBucket];
  m_stData.dUploadSecondsSum += dSeconds;
  ++m_stData.unUploadAttempts;
}

void CGatewayMetrics::RecordDelivered() {
  const int64_t nNow = UnixNowS();
  std::lock_guard<std::mutex> lock(m_mtx);
  m_stData.nLastDeliveryS = nNow;
  m_nFirstRefusalSteadyS = 0;
  m_nLastRefusalSteadyS = 0;
}

void CGatewayMetrics::RecordRefused() {
  // The steady clock: a wall clock set at boot (a router without a battery) must not make a
  // single refusal look like hours of them.
  const int64_t nNow = SteadyNowS() + 1;  // 0 marks "none" below
  std::lock_guard<std::mutex> lock(m_mtx);
  if (m_nFirstRefusalSteadyS == 0) {
    m_nFirstRefusalSteadyS = nNow;
  }
  m_nLastRefusalSteadyS = nNow;
}

void CGatewayMetrics::TlsFailure() {
  std::lock_guard<std::mutex> lock(m_mtx);
  ++m_stData.unTlsFailures;
}

void CGatewayMetrics::NoteError(const std::string& strText) {
  RecentError error;
  error.nUnixS = UnixNowS();
  error.strText = strText.substr(0, kErrorTextLimit);
  std::lock_guard<std::mutex> lock(m_mtx);
  for (auto it = m_arrErrors.begin(); it != m_arrErrors.end(); ++it) {
    if (it->strText == error.strText) {
      error.unRepeats = it->unRepeats + 1;
      m_arrErrors.erase(it);
      break;
    }
  }
  if (m_arrErrors.size() >= kRecentErrors) {
    m_arrErrors.pop_front();
  }
  m_arrErrors.push_back(std::move(error));
}

MetricsSnapshot CGatewayMetrics::Snapshot() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  MetricsSnapshot stCopy = m_stData;
  stCopy.arrErrors.assign(m_arrErrors.begin(), m_arrErrors.end());
  stCopy.nRefusingForS =
      m_nFirstRefusalSteadyS == 0 ? -1 : m_nLastRefusalSteadyS - m_nFirstRefusalSteadyS;
  return stCopy;
}

void CGatewayMetrics::Reset() {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_stData = MetricsSnapshot();
  m_stData.nStartedS = UnixNowS();
  m_arrErrors.clear();
  m_nFirstRefusalSteadyS = 0;
  m_nLastRefusalSteadyS = 0;
}

CGatewayMetrics& GatewayMetrics() {
  static CGatewayMetrics s_metrics;
  return s_metrics;
}
