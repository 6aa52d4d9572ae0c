// What the status listener says, from readings made by hand: the health rules, the exposition
// format and the JSON document.
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "status/gateway_status.h"
#include "status/status_render.h"

namespace {

constexpr int64_t kNow = 1800000000;

ModuleMetrics Module(uint32_t unIndex, ModuleState eState, const std::string& strAddress = "10.0.0.5") {
  ModuleMetrics module;
  module.unIndex = unIndex;
  module.strAddress = strAddress;
  module.unPort = 16000 + unIndex;
  module.eState = eState;
  module.nStateSinceS = kNow - 90;
  return module;
}

// A gateway that is well: accepting, one module free, a durable spool, nothing old waiting.
GatewayStatus HealthyReading() {
  GatewayStatus stStatus;
  stStatus.strVersion = "1.0.0";
  stStatus.strBuildTime = "2026-12-11 01:00:00 UTC";
  stStatus.nNowS = kNow;
  stStatus.unUptimeS = 3600;
  stStatus.bAccepting = true;
  stStatus.stMetrics.arrModules = {Module(0, ModuleState::Free), Module(1, ModuleState::Error)};
  stStatus.bSpoolConfigured = true;
  stStatus.bSpoolDurable = true;
  stStatus.bLogServerConfigured = true;
  stStatus.unMaxRecordAgeS = 600;
  return stStatus;
}

}  // namespace

TEST(StatusHealthTest, EachFaultGivesItsOwnReason) {
  struct Case {
    const char* szName;
    void (*fnBreak)(GatewayStatus&);
    const char* szReason;  // empty: healthy
  };
  const Case kCases[] = {
      {"well", [](GatewayStatus&) {}, ""},
      {"port closed", [](GatewayStatus& s) { s.bAccepting = false; }, "does not accept readers"},
      {"every module in error",
       [](GatewayStatus& s) { s.stMetrics.arrModules[0].eState = ModuleState::Error; },
       "every module is in ERROR (2)"},
      {"busy counts as usable",
       [](GatewayStatus& s) { s.stMetrics.arrModules[0].eState = ModuleState::Busy; }, ""},
      {"no modules", [](GatewayStatus& s) { s.stMetrics.arrModules.clear(); },
       "no module is configured"},
      {"spool write failing", [](GatewayStatus& s) { s.bSpoolWriteFailing = true; },
       "spool does not take writes"},
      {"spool directory unusable", [](GatewayStatus& s) { s.bSpoolDurable = false; },
       "spool directory cannot be used"},
      {"memory by choice",
       [](GatewayStatus& s) {
         s.bSpoolConfigured = false;
         s.bSpoolDurable = false;
       },
       ""},
      {"oldest just under the limit", [](GatewayStatus& s) { s.nOldestAgeS = 599; }, ""},
      {"oldest at the limit", [](GatewayStatus& s) { s.nOldestAgeS = 600; },
       "oldest queued record is 10 min 0 s old"},
      {"refusing just under the limit",
       [](GatewayStatus& s) { s.stMetrics.nRefusingForS = 599; }, ""},
      {"refusing for the limit",
       [](GatewayStatus& s) { s.stMetrics.nRefusingForS = 600; },
       "refused every record for 10 min 0 s"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    GatewayStatus stStatus = HealthyReading();
    c.fnBreak(stStatus);
    const std::vector<std::string> arrProblems = HealthProblems(stStatus);
    if (c.szReason[0] == '\0') {
      EXPECT_TRUE(arrProblems.empty()) << arrProblems.front();
      EXPECT_EQ(RenderHealth(stStatus), "ok\n");
    } else {
      ASSERT_EQ(arrProblems.size(), 1u);
      EXPECT_NE(arrProblems[0].find(c.szReason), std::string::npos) << arrProblems[0];
      EXPECT_EQ(RenderHealth(stStatus), arrProblems[0] + "\n");
    }
  }
}

TEST(StatusHealthTest, SeveralFaultsGiveOneLineEach) {
  GatewayStatus stStatus = HealthyReading();
  stStatus.bAccepting = false;
  stStatus.bSpoolWriteFailing = true;
  stStatus.nOldestAgeS = 7200;
  const std::string strHealth = RenderHealth(stStatus);
  EXPECT_EQ(std::count(strHealth.begin(), strHealth.end(), '\n'), 3) << strHealth;
  EXPECT_NE(strHealth.find("2 h 0 min"), std::string::npos) << strHealth;
}

namespace {

// The exposition text as families: name -> TYPE, and every sample line by its metric name.
struct Exposition {
  std::map<std::string, std::string> mapType;
  std::map<std::string, int> mapHelp;
  std::vector<std::pair<std::string, std::string>> arrSamples;  // name{labels}, value
};

Exposition ParseExposition(const std::string& strText) {
  Exposition exp;
  size_t unPos = 0;
  while (unPos < strText.size()) {
    size_t unEnd = strText.find('\n', unPos);
    EXPECT_NE(unEnd, std::string::npos) << "the text ends with a line feed";
    const std::string strLine = strText.substr(unPos, unEnd - unPos);
    unPos = unEnd + 1;
    if (strLine.compare(0, 7, "# HELP ") == 0) {
      ++exp.mapHelp[strLine.substr(7, strLine.find(' ', 7) - 7)];
    } else if (strLine.compare(0, 7, "# TYPE ") == 0) {
      const size_t unSpace = strLine.find(' ', 7);
      exp.mapType[strLine.substr(7, unSpace - 7)] = strLine.substr(unSpace + 1);
    } else {
      const size_t unSpace = strLine.rfind(' ');
      exp.arrSamples.emplace_back(strLine.substr(0, unSpace), strLine.substr(unSpace + 1));
    }
  }
  return exp;
}

std::string FamilyOf(const std::string& strSample, const Exposition& exp) {
  std::string strName = strSample.substr(0, strSample.find('{'));
  if (exp.mapType.count(strName) != 0) {
    return strName;
  }
  for (const char* szSuffix : {"_bucket", "_sum", "_count"}) {
    const std::string strSuffix = szSuffix;
    if (strName.size() > strSuffix.size() &&
        strName.compare(strName.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0) {
      return strName.substr(0, strName.size() - strSuffix.size());
    }
  }
  return strName;
}

}  // namespace

TEST(StatusMetricsTest, EveryFamilyIsDescribedAndNamedAsThePrometheusFormatWants) {
  GatewayStatus stStatus = HealthyReading();
  stStatus.stMetrics.arrUploadBuckets[0] = 2;
  stStatus.stMetrics.arrUploadBuckets[5] = 3;
  stStatus.stMetrics.arrUploadBuckets.back() = 1;
  stStatus.stMetrics.unUploadAttempts = 6;
  stStatus.stMetrics.dUploadSecondsSum = 31.5;
  const Exposition exp = ParseExposition(RenderMetrics(stStatus));
  ASSERT_FALSE(exp.arrSamples.empty());
  for (const auto& item : exp.mapType) {
    SCOPED_TRACE(item.first);
    EXPECT_EQ(item.first.compare(0, 9, "cardgate_"), 0);
    EXPECT_EQ(exp.mapHelp.count(item.first), 1u) << "one HELP per family";
    const bool bTotal = item.first.size() > 6 &&
                        item.first.compare(item.first.size() - 6, 6, "_total") == 0;
    EXPECT_EQ(item.second == "counter", bTotal) << "counters, and only they, end in _total";
  }
  std::set<std::string> setSeen;
  for (const auto& sample : exp.arrSamples) {
    SCOPED_TRACE(sample.first);
    EXPECT_EQ(exp.mapType.count(FamilyOf(sample.first, exp)), 1u) << "a sample of a known family";
    EXPECT_TRUE(setSeen.insert(sample.first).second) << "each series once";
    char* pEnd = nullptr;
    (void)std::strtod(sample.second.c_str(), &pEnd);
    EXPECT_EQ(*pEnd, '\0') << "a number: " << sample.second;
  }
  // The histogram's buckets add up, and +Inf is the count.
  std::vector<uint64_t> arrBuckets;
  for (const auto& sample : exp.arrSamples) {
    if (sample.first.compare(0, 48, "cardgate_upload_attempt_duration_seconds_bucket{") == 0) {
      arrBuckets.push_back(std::stoull(sample.second));
    }
  }
  ASSERT_EQ(arrBuckets.size(), kUploadDurationBuckets.size() + 1);
  EXPECT_EQ(arrBuckets.front(), 2u);
  EXPECT_TRUE(std::is_sorted(arrBuckets.begin(), arrBuckets.end()));
  EXPECT_EQ(arrBuckets.back(), 6u);
  EXPECT_EQ(arrBuckets[arrBuckets.size() - 2], 5u);
}

TEST(StatusMetricsTest, ModulesAreLabelledAndOddAddressesEscaped) {
  GatewayStatus stStatus = HealthyReading();
  stStatus.stMetrics.arrModules = {Module(0, ModuleState::Busy, "a\"b\\c\nd")};
  stStatus.stMetrics.arrModules[0].unSessions = 42;
  const std::string strText = RenderMetrics(stStatus);
  const std::string strLabels = "index=\"0\",address=\"a\\\"b\\\\c\\nd\",port=\"16000\"";
  EXPECT_NE(strText.find("cardgate_module_sessions_total{" + strLabels + "} 42\n"),
            std::string::npos)
      << strText;
  EXPECT_NE(strText.find("cardgate_module_state{" + strLabels + ",state=\"busy\"} 1\n"),
            std::string::npos);
  EXPECT_NE(strText.find("cardgate_module_state{" + strLabels + ",state=\"error\"} 0\n"),
            std::string::npos);
  EXPECT_NE(strText.find("cardgate_modules{state=\"busy\"} 1\n"), std::string::npos);
  EXPECT_NE(strText.find("cardgate_healthy 1\n"), std::string::npos) << "a busy module is usable";
}

TEST(StatusJsonTest, CarriesTheSameFactsAsAValidDocument) {
  GatewayStatus stStatus = HealthyReading();
  stStatus.unQueued = 3;
  stStatus.nOldestAgeS = 42;
  stStatus.arrLockouts = {{"192.0.2.9", 55}};
  stStatus.stMetrics.arrErrors = {{kNow - 5, "module 10.0.0.5:16001: did not connect", 3}};
  stStatus.stMetrics.arrModules[1].strAddress = "\xff\xfe";  // not UTF-8: still a document
  stStatus.arrHistory = {{kNow - 30, 1, 2}, {kNow, 4, 3}};
  const nlohmann::json doc = nlohmann::json::parse(RenderStatusJson(stStatus));
  EXPECT_EQ(doc["healthy"], true);
  EXPECT_EQ(doc["modules"].size(), 2u);
  EXPECT_EQ(doc["modules"][1]["state"], "error");
  EXPECT_EQ(doc["records"]["queued"], 3);
  EXPECT_EQ(doc["records"]["oldest_age_s"], 42);
  EXPECT_TRUE(doc["records"]["last_delivery"].is_null());
  EXPECT_EQ(doc["door"]["lockouts"][0]["address"], "192.0.2.9");
  EXPECT_EQ(doc["errors"][0]["text"], "module 10.0.0.5:16001: did not connect");
  EXPECT_EQ(doc["history"].size(), 2u);
  stStatus.nOldestAgeS = -1;
  EXPECT_TRUE(nlohmann::json::parse(RenderStatusJson(stStatus))["records"]["oldest_age_s"].is_null());
}
