#include "status/status_render.h"

#include <cinttypes>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace {

constexpr ModuleState kModuleStates[] = {ModuleState::Free, ModuleState::Busy,
                                         ModuleState::Error};

// A label value of the exposition format: backslash, double quote and line feed are escaped.
std::string LabelValue(const std::string& strText) {
  std::string strOut;
  strOut.reserve(strText.size());
  for (char c : strText) {
    if (c == '\\') {
      strOut += "\\\\";
    } else if (c == '"') {
      strOut += "\\\"";
    } else if (c == '\n') {
      strOut += "\\n";
    } else {
      strOut += c;
    }
  }
  return strOut;
}

// Writes the exposition text of the metric families, one family at a time.
class CExposition {
 public:
  // Starts a family: its HELP and TYPE lines.
  void Family(const char* szName, const char* szType, const char* szHelp) {
    m_strName = szName;
    m_strText += "# HELP ";
    m_strText += szName;
    m_strText += ' ';
    m_strText += szHelp;
    m_strText += "\n# TYPE ";
    m_strText += szName;
    m_strText += ' ';
    m_strText += szType;
    m_strText += '\n';
  }
  // One sample of the current family; strLabels is "" or `a="x",b="y"` (values escaped).
  void Sample(const std::string& strLabels, uint64_t unValue, const char* szSuffix = "") {
    char szValue[32];
    std::snprintf(szValue, sizeof szValue, "%" PRIu64, unValue);
    Line(strLabels, szValue, szSuffix);
  }
  void SampleSigned(const std::string& strLabels, int64_t nValue) {
    char szValue[32];
    std::snprintf(szValue, sizeof szValue, "%" PRId64, nValue);
    Line(strLabels, szValue, "");
  }
  void SampleReal(const std::string& strLabels, double dValue, const char* szSuffix = "") {
    char szValue[48];
    std::snprintf(szValue, sizeof szValue, "%.9g", dValue);
    Line(strLabels, szValue, szSuffix);
  }
  // A whole family of one unlabelled sample.
  void Single(const char* szName, const char* szType, const char* szHelp, uint64_t unValue) {
    Family(szName, szType, szHelp);
    Sample("", unValue);
  }
  std::string Take() { return std::move(m_strText); }

 private:
  void Line(const std::string& strLabels, const char* szValue, const char* szSuffix) {
    m_strText += m_strName;
    m_strText += szSuffix;
    if (!strLabels.empty()) {
      m_strText += '{';
      m_strText += strLabels;
      m_strText += '}';
    }
    m_strText += ' ';
    m_strText += szValue;
    m_strText += '\n';
  }

  std::string m_strName;
  std::string m_strText;
};

std::string ModuleLabels(const ModuleMetrics& module) {
  return "index=\"" + std::to_string(module.unIndex) + "\",address=\"" +
         LabelValue(module.strAddress) + "\",port=\"" + std::to_string(module.unPort) + "\"";
}

std::string HumanSeconds(int64_t nSeconds) {
  char szText[48];
  if (nSeconds >= 3600) {
    std::snprintf(szText, sizeof szText, "%" PRId64 " h %" PRId64 " min", nSeconds / 3600,
                  (nSeconds % 3600) / 60);
  } else if (nSeconds >= 60) {
    std::snprintf(szText, sizeof szText, "%" PRId64 " min %" PRId64 " s", nSeconds / 60,
                  nSeconds % 60);
  } else {
    std::snprintf(szText, sizeof szText, "%" PRId64 " s", nSeconds);
  }
  return szText;
}

}  // namespace

std::vector<std::string> HealthProblems(const GatewayStatus& stStatus) {
  std::vector<std::string> arrProblems;
  if (!stStatus.bAccepting) {
    arrProblems.push_back("the device port does not accept readers");
  }
  const std::vector<ModuleMetrics>& arrModules = stStatus.stMetrics.arrModules;
  size_t unUsable = 0;
  for (const ModuleMetrics& module : arrModules) {
    if (module.eState != ModuleState::Error) {
      ++unUsable;
    }
  }
  if (arrModules.empty()) {
    arrProblems.push_back("no module is configured");
  } else if (unUsable == 0) {
    arrProblems.push_back("every module is in ERROR (" + std::to_string(arrModules.size()) + ")");
  }
  if (stStatus.bSpoolWriteFailing) {
    arrProblems.push_back("the spool does not take writes");
  } else if (stStatus.bSpoolConfigured && !stStatus.bSpoolDurable) {
    arrProblems.push_back("the spool directory cannot be used: records are kept in memory only");
  }
  const int64_t nLimit = static_cast<int64_t>(stStatus.unMaxRecordAgeS);
  if (stStatus.nOldestAgeS >= nLimit) {
    arrProblems.push_back("the oldest queued record is " + HumanSeconds(stStatus.nOldestAgeS) +
                          " old (limit " + HumanSeconds(nLimit) + ")");
  }
  if (stStatus.stMetrics.nRefusingForS >= nLimit) {
    arrProblems.push_back("the log server has refused every record for " +
                          HumanSeconds(stStatus.stMetrics.nRefusingForS));
  }
  return arrProblems;
}

std::string RenderHealth(const GatewayStatus& stStatus) {
  const std::vector<std::string> arrProblems = HealthProblems(stStatus);
  if (arrProblems.empty()) {
    return "ok\n";
  }
  std::string strText;
  for (const std::string& strProblem : arrProblems) {
    strText += strProblem;
    strText += '\n';
  }
  return strText;
}

std::string RenderMetrics(const GatewayStatus& stStatus) {
  const MetricsSnapshot& stM = stStatus.stMetrics;
  CExposition out;
  out.Family("cardgate_build_info", "gauge", "Version and build time of the running gateway.");
  out.Sample("version=\"" + LabelValue(stStatus.strVersion) + "\",build_time=\"" +
                 LabelValue(stStatus.strBuildTime) + "\"",
             1);
  out.Family("cardgate_start_time_seconds", "gauge", "Unix time the gateway started.");
  out.SampleSigned("", stM.nStartedS);
  out.Single("cardgate_uptime_seconds", "gauge", "Seconds since the gateway started.",
             stStatus.unUptimeS);
  out.Single("cardgate_healthy", "gauge",
             "1 when the health check passes, 0 when it does not (see /health).",
             HealthProblems(stStatus).empty() ? 1 : 0);

  // The pool.
  uint64_t arrByState[3] = {0, 0, 0};
  for (const ModuleMetrics& module : stM.arrModules) {
    ++arrByState[static_cast<size_t>(module.eState)];
  }
  out.Family("cardgate_modules", "gauge", "Modules of the pool by state.");
  for (ModuleState eState : kModuleStates) {
    out.Sample(std::string("state=\"") + ModuleStateName(eState) + "\"",
               arrByState[static_cast<size_t>(eState)]);
  }
  out.Family("cardgate_module_state", "gauge",
             "1 for the state the module is in (free, busy or error), 0 for the others.");
  for (const ModuleMetrics& module : stM.arrModules) {
    for (ModuleState eState : kModuleStates) {
      out.Sample(ModuleLabels(module) + ",state=\"" + ModuleStateName(eState) + "\"",
                 module.eState == eState ? 1 : 0);
    }
  }
  out.Family("cardgate_module_state_change_timestamp_seconds", "gauge",
             "Unix time of the module's last change of state.");
  for (const ModuleMetrics& module : stM.arrModules) {
    out.SampleSigned(ModuleLabels(module), module.nStateSinceS);
  }
  struct ModuleCounter {
    const char* szName;
    const char* szHelp;
    uint64_t ModuleMetrics::*pField;
  };
  static const ModuleCounter kModuleCounters[] = {
      {"cardgate_module_sessions_total", "Readers paired with the module.",
       &ModuleMetrics::unSessions},
      {"cardgate_module_connect_failures_total",
       "Connects to the module's decode server that failed.", &ModuleMetrics::unConnectFailures},
      {"cardgate_module_resets_total", "Restart requests sent to the module's controller.",
       &ModuleMetrics::unResets},
      {"cardgate_module_late_answers_total",
       "Card reads the module left unanswered past the answer time-out.",
       &ModuleMetrics::unLateAnswers},
  };
  for (const ModuleCounter& counter : kModuleCounters) {
    out.Family(counter.szName, "counter", counter.szHelp);
    for (const ModuleMetrics& module : stM.arrModules) {
      out.Sample(ModuleLabels(module), module.*counter.pField);
    }
  }

  // The door.
  out.Single("cardgate_device_port_accepting", "gauge",
             "1 while the device port accepts readers.", stStatus.bAccepting ? 1 : 0);
  out.Single("cardgate_readers_connected", "gauge", "Reader connections now.", stStatus.unReaders);
  out.Single("cardgate_allow_list_refusals_total", "counter",
             "Reader connections closed because their address is not in DEVICE.ALLOW.",
             stM.unAllowRefusals);
  out.Single("cardgate_login_failures_total", "counter",
             "Card reads refused for a wrong account or password.", stM.unLoginFailures);
  out.Single("cardgate_admin_check_failures_total", "counter",
             "Administrator checks that failed.", stM.unAdminCheckFailures);
  out.Single("cardgate_lockouts_active", "gauge", "Reader addresses locked out now.",
             stStatus.arrLockouts.size());
  out.Single("cardgate_lockouts_total", "counter", "Lockouts started.", stM.unLockouts);
  out.Family("cardgate_admin_commands_total", "counter",
             "Administration commands by command and result.");
  for (size_t c = 0; c < kAdminCommandKinds; ++c) {
    for (size_t r = 0; r < kAdminResultKinds; ++r) {
      out.Sample(std::string("command=\"") + AdminCommandName(static_cast<AdminCommand>(c)) +
                     "\",result=\"" + AdminResultName(static_cast<AdminResult>(r)) + "\"",
                 stM.arrAdmin[c][r]);
    }
  }

  // The record store and the upload.
  out.Single("cardgate_records_queued", "gauge",
             "Card records waiting for the log server (the one being sent included).",
             stStatus.unQueued);
  out.Single("cardgate_records_spooled", "gauge", "Waiting card records kept in spool files.",
             stStatus.unSpooled);
  out.Single("cardgate_spool_bytes", "gauge",
             "Bytes the waiting card records count against SPOOL.MAX_MB.",
             stStatus.unQueuedBytes);
  out.Single("cardgate_spool_writable", "gauge",
             "1 when new records reach storage (or memory is chosen), 0 when the spool fails.",
             (stStatus.bSpoolWriteFailing ||
              (stStatus.bSpoolConfigured && !stStatus.bSpoolDurable))
                 ? 0
                 : 1);
  out.Single("cardgate_oldest_record_age_seconds", "gauge",
             "Age of the oldest waiting card record; 0 when none waits.",
             stStatus.nOldestAgeS < 0 ? 0 : static_cast<uint64_t>(stStatus.nOldestAgeS));
  out.Single("cardgate_records_delivered_total", "counter",
             "Card records the log server took (2xx).", stStatus.unDelivered);
  out.Single("cardgate_records_retried_total", "counter",
             "Upload attempts that left their record queued (no connection, no answer, 5xx).",
             stStatus.unRetried);
  out.Single("cardgate_records_rejected_total", "counter",
             "Card records the log server refused for good (4xx), set aside.",
             stStatus.unRejected);
  out.Single("cardgate_records_dropped_total", "counter",
             "Card records dropped because the spool bound was reached.", stStatus.unDropped);
  out.Family("cardgate_last_delivery_timestamp_seconds", "gauge",
             "Unix time of the last delivered card record; 0 when none since start.");
  out.SampleSigned("", stM.nLastDeliveryS);
  out.Family("cardgate_upload_attempt_duration_seconds", "histogram",
             "Duration of upload attempts, from the connect to the answer.");
  uint64_t unCumulative = 0;
  for (size_t i = 0; i < kUploadDurationBuckets.size(); ++i) {
    unCumulative += stM.arrUploadBuckets[i];
    char szBound[32];
    std::snprintf(szBound, sizeof szBound, "%g", kUploadDurationBuckets[i]);
    out.Sample(std::string("le=\"") + szBound + "\"", unCumulative, "_bucket");
  }
  unCumulative += stM.arrUploadBuckets[kUploadDurationBuckets.size()];
  out.Sample("le=\"+Inf\"", unCumulative, "_bucket");
  out.SampleReal("", stM.dUploadSecondsSum, "_sum");
  out.Sample("", stM.unUploadAttempts, "_count");
  out.Single("cardgate_tls_failures_total", "counter",
             "Connections to the log server whose TLS handshake or verification failed.",
             stM.unTlsFailures);
  return out.Take();
}

std::string RenderStatusJson(const GatewayStatus& stStatus) {
  using json = nlohmann::ordered_json;
  const MetricsSnapshot& stM = stStatus.stMetrics;
  json modules = json::array();
  for (const ModuleMetrics& module : stM.arrModules) {
    modules.push_back({{"index", module.unIndex},
                       {"address", module.strAddress},
                       {"port", module.unPort},
                       {"state", ModuleStateName(module.eState)},
                       {"state_since", module.nStateSinceS},
                       {"sessions", module.unSessions},
                       {"connect_failures", module.unConnectFailures},
                       {"resets", module.unResets},
                       {"late_answers", module.unLateAnswers}});
  }
  json lockouts = json::array();
  for (const LockoutStatus& lockout : stStatus.arrLockouts) {
    lockouts.push_back({{"address", lockout.strAddress}, {"remaining_s", lockout.unRemainingS}});
  }
  json admin = json::object();
  for (size_t c = 0; c < kAdminCommandKinds; ++c) {
    json results = json::object();
    for (size_t r = 0; r < kAdminResultKinds; ++r) {
      results[AdminResultName(static_cast<AdminResult>(r))] = stM.arrAdmin[c][r];
    }
    admin[AdminCommandName(static_cast<AdminCommand>(c))] = results;
  }
  json errors = json::array();
  for (const RecentError& error : stM.arrErrors) {
    errors.push_back({{"time", error.nUnixS}, {"text", error.strText}, {"repeats", error.unRepeats}});
  }
  json history = json::array();
  for (const HistorySample& sample : stStatus.arrHistory) {
    history.push_back({{"time", sample.nUnixS},
                       {"delivered", sample.unDelivered},
                       {"queued", sample.unQueued}});
  }
  const std::vector<std::string> arrProblems = HealthProblems(stStatus);
  const char* szSpool = stStatus.bSpoolWriteFailing ? "failing"
                        : stStatus.bSpoolDurable    ? "files"
                        : stStatus.bSpoolConfigured ? "memory (directory unusable)"
                                                    : "memory";
  json doc = {
      {"version", stStatus.strVersion},
      {"build_time", stStatus.strBuildTime},
      {"time", stStatus.nNowS},
      {"started", stM.nStartedS},
      {"uptime_s", stStatus.unUptimeS},
      {"healthy", arrProblems.empty()},
      {"problems", arrProblems},
      {"accepting", stStatus.bAccepting},
      {"readers", stStatus.unReaders},
      {"modules", modules},
      {"door",
       {{"allow_list_refusals", stM.unAllowRefusals},
        {"login_failures", stM.unLoginFailures},
        {"admin_check_failures", stM.unAdminCheckFailures},
        {"lockouts_total", stM.unLockouts},
        {"lockouts", lockouts},
        {"admin_commands", admin}}},
      {"records",
       {{"queued", stStatus.unQueued},
        {"spooled", stStatus.unSpooled},
        {"bytes", stStatus.unQueuedBytes},
        {"oldest_age_s", stStatus.nOldestAgeS < 0 ? json(nullptr) : json(stStatus.nOldestAgeS)},
        {"max_age_s", stStatus.unMaxRecordAgeS},
        {"spool", szSpool},
        {"log_server_configured", stStatus.bLogServerConfigured},
        {"delivered", stStatus.unDelivered},
        {"retried", stStatus.unRetried},
        {"rejected", stStatus.unRejected},
        {"dropped", stStatus.unDropped},
        {"last_delivery", stM.nLastDeliveryS == 0 ? json(nullptr) : json(stM.nLastDeliveryS)},
        {"upload_attempts", stM.unUploadAttempts},
        {"tls_failures", stM.unTlsFailures}}},
      {"errors", errors},
      {"history", history},
  };
  // Texts from the configuration or the outside are not guaranteed UTF-8: replace what is not.
  return doc.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}
