// The status listener's request path: any bytes a client may send, parsed with the listener's
// own limits and answered (AnswerRequestBytes), with one fixed reading of a gateway that has a
// little of everything (modules in each state, counters, history, a lockout, an error text with
// bytes that are not text).
//
// Input: the bytes as they arrive on the connection, nothing else. The request line is split
// here as the parser splits it (method SP target SP version, no leading blank line), so that the
// answer can be checked against what was asked.
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_util.h"
#include "status/status_server.h"

namespace {

// A gateway that is not healthy (one module in ERROR is fine, a failing spool is not), so that
// /health answers 503 with its reasons.
GatewayStatus FixedReading() {
  GatewayStatus st;
  st.strVersion = "1.4.0";
  st.strBuildTime = "2026-01-02 03:04:05";
  st.nNowS = 1767323045;
  st.unUptimeS = 93784;
  MetricsSnapshot& m = st.stMetrics;
  m.nStartedS = st.nNowS - static_cast<int64_t>(st.unUptimeS);
  const ModuleState kStates[] = {ModuleState::Free, ModuleState::Busy, ModuleState::Error,
                                 ModuleState::Free};
  for (uint32_t i = 0; i < 4; ++i) {
    ModuleMetrics module;
    module.unIndex = i;
    module.strAddress = "10.0.0." + std::to_string(20 + i);
    module.unPort = 6000 + i;
    module.eState = kStates[i];
    module.nStateSinceS = st.nNowS - 60 * (i + 1);
    module.unSessions = 1000 * i + 7;
    module.unConnectFailures = i;
    module.unResets = i / 2;
    module.unLateAnswers = i == 2 ? 3 : 0;
    m.arrModules.push_back(module);
  }
  m.arrModules[3].strAddress = "mod\"ule\\<b>\n&x";  // as configured, escaped by each renderer
  m.unAllowRefusals = 5;
  m.unLoginFailures = 11;
  m.unAdminCheckFailures = 2;
  m.unLockouts = 1;
  for (size_t c = 0; c < kAdminCommandKinds; ++c) {
    for (size_t r = 0; r < kAdminResultKinds; ++r) {
      m.arrAdmin[c][r] = c * 3 + r;
    }
  }
  m.unTlsFailures = 4;
  m.nLastDeliveryS = st.nNowS - 2;
  m.nRefusingForS = -1;
  for (size_t i = 0; i < m.arrUploadBuckets.size(); ++i) {
    m.arrUploadBuckets[i] = i % 3;
  }
  m.dUploadSecondsSum = 12.375;
  m.unUploadAttempts = 14;
  m.arrErrors.push_back({st.nNowS - 300, "log server 127.0.0.1:9000 refused a record", 4});
  m.arrErrors.push_back(
      {st.nNowS - 10, "bad \xff\xfe\xc3( <script>\"'&\\ ]]> \x01\x7f end", 1});

  st.bAccepting = true;
  st.unReaders = 3;
  st.arrLockouts.push_back({"192.168.1.77", 41});
  st.unQueued = 12;
  st.unSpooled = 9;
  st.unQueuedBytes = 12 * 2400;
  st.nOldestAgeS = 75;
  st.bSpoolConfigured = true;
  st.bSpoolDurable = true;
  st.bSpoolWriteFailing = true;
  st.unDelivered = 5120;
  st.unRetried = 17;
  st.unRejected = 2;
  st.unDropped = 1;
  st.bLogServerConfigured = true;
  st.unMaxRecordAgeS = 600;
  for (int64_t i = 0; i < 8; ++i) {
    st.arrHistory.push_back({st.nNowS - 30 * (8 - i), static_cast<uint64_t>(5000 + 15 * i),
                             static_cast<uint64_t>(i % 4)});
  }
  return st;
}

struct Harness {
  Harness() { SilenceRunLog(); }
  const GatewayStatus stReading = FixedReading();
};

bool StartsWith(const std::string& strText, const char* szPrefix) {
  return strText.compare(0, std::strlen(szPrefix), szPrefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize) {
  static const Harness* pHarness = new Harness();  // never deleted: see fuzz_util.h

  const std::string strBytes(reinterpret_cast<const char*>(pData), unSize);
  unsigned unReads = 0;
  bool bAnswered = false;
  const StatusAnswer answer = AnswerRequestBytes(
      strBytes,
      [&unReads] {
        ++unReads;
        return pHarness->stReading;
      },
      &bAnswered);

  FUZZ_CHECK(unReads <= 1);
  if (!bAnswered) {
    FUZZ_CHECK(unReads == 0);
    return 0;
  }
  const unsigned unStatus = answer.unStatus;
  FUZZ_CHECK(unStatus == 200 || unStatus == 400 || unStatus == 404 || unStatus == 405 ||
             unStatus == 413 || unStatus == 431 || unStatus == 503);
  // Every answer is a reading or one of the fixed texts; only a path that exists is read.
  const bool bRead = unStatus == 200 || unStatus == 503;
  FUZZ_CHECK(unReads == (bRead ? 1u : 0u));
  FUZZ_CHECK(answer.bAllowHeader == (unStatus == 405));
  FUZZ_CHECK(!answer.strContentType.empty());

  // A request read whole (not 400, 413 or 431) has the request line the parser accepted.
  const bool bReadWhole = bRead || unStatus == 404 || unStatus == 405;
  std::string strMethod;
  std::string strPath;
  if (bReadWhole) {
    const size_t unMethodEnd = strBytes.find(' ');
    FUZZ_CHECK(unMethodEnd != std::string::npos);
    const size_t unTargetEnd = strBytes.find(' ', unMethodEnd + 1);
    FUZZ_CHECK(unTargetEnd != std::string::npos);
    strMethod = strBytes.substr(0, unMethodEnd);
    const std::string strTarget = strBytes.substr(unMethodEnd + 1, unTargetEnd - unMethodEnd - 1);
    strPath = strTarget.substr(0, strTarget.find('?'));
    const bool bServed = strMethod == "GET" || strMethod == "HEAD";
    const bool bKnown = strPath == "/" || strPath == "/index.html" || strPath == "/metrics" ||
                        strPath == "/health" || strPath == "/status";
    FUZZ_CHECK((unStatus == 405) == !bServed);
    FUZZ_CHECK((unStatus == 404) == (bServed && !bKnown));
    FUZZ_CHECK(unStatus != 503 || strPath == "/health");
  }

  if (bReadWhole && strMethod == "HEAD") {
    FUZZ_CHECK(answer.strBody.empty());
    FUZZ_CHECK(answer.unContentLength > 0);  // the length a GET would have had
    return 0;
  }
  FUZZ_CHECK(answer.unContentLength == answer.strBody.size());
  if (!bRead) {
    return 0;
  }
  const std::string& strBody = answer.strBody;
  if (strPath == "/metrics") {
    FUZZ_CHECK(StartsWith(strBody, "# HELP cardgate_"));
  } else if (strPath == "/health") {
    FUZZ_CHECK((unStatus == 200) == (strBody == "ok\n"));
  } else if (strPath == "/status") {
    const nlohmann::json doc = nlohmann::json::parse(strBody, nullptr, false);
    FUZZ_CHECK(!doc.is_discarded() && doc.is_object());
  } else {
    FUZZ_CHECK(StartsWith(strBody, "<!DOCTYPE html>"));
  }
  return 0;
}
