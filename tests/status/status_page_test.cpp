#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "status/gateway_status.h"
#include "status/status_render.h"
#include "support/test_util.h"

namespace {

constexpr int64_t kNowS = 1700000000;  // 2023-11-14 22:13:20 UTC

// The text content of the element with id strId, up to its first inner tag; "" when absent.
std::string TextById(const std::string& strPage, const std::string& strId) {
  const size_t unAt = strPage.find("id=\"" + strId + "\"");
  if (unAt == std::string::npos) {
    return "";
  }
  const size_t unStart = strPage.find('>', unAt) + 1;
  return strPage.substr(unStart, strPage.find('<', unStart) - unStart);
}

// The markup from the first occurrence of strFrom to the end of the first strTo after it.
std::string Between(const std::string& strPage, const std::string& strFrom,
                    const std::string& strTo) {
  const size_t unStart = strPage.find(strFrom);
  if (unStart == std::string::npos) {
    return "";
  }
  const size_t unEnd = strPage.find(strTo, unStart);
  return unEnd == std::string::npos ? "" : strPage.substr(unStart, unEnd + strTo.size() - unStart);
}

// Every element that is opened is closed, in order; void (meta) and self-closed tags stand alone.
::testing::AssertionResult TagsBalance(const std::string& strHtml) {
  static const std::regex kTag("<(/?)([A-Za-z][A-Za-z0-9]*)[^>]*?(/?)>");
  std::vector<std::string> arrOpen;
  for (std::sregex_iterator it(strHtml.begin(), strHtml.end(), kTag), end; it != end; ++it) {
    const std::string strName = (*it)[2];
    if (strName == "meta" || (*it)[3] == "/") {
      continue;
    }
    if ((*it)[1] != "/") {
      arrOpen.push_back(strName);
    } else if (arrOpen.empty() || arrOpen.back() != strName) {
      return ::testing::AssertionFailure()
             << "</" << strName << "> at " << it->position() << " closes <"
             << (arrOpen.empty() ? "nothing" : arrOpen.back()) << ">";
    } else {
      arrOpen.pop_back();
    }
  }
  if (!arrOpen.empty()) {
    return ::testing::AssertionFailure() << "<" << arrOpen.back() << "> is never closed";
  }
  return ::testing::AssertionSuccess();
}

struct Point {
  double dX;
  double dY;
};

// The coordinates of every points="..." attribute, one list per attribute.
std::vector<std::vector<Point>> PointLists(const std::string& strSvg) {
  static const std::regex kPoints("points=\"([^\"]*)\"");
  std::vector<std::vector<Point>> arrLists;
  for (std::sregex_iterator it(strSvg.begin(), strSvg.end(), kPoints), end; it != end; ++it) {
    std::vector<Point> arrPoints;
    const std::string strList = (*it)[1];
    const char* p = strList.c_str();
    char* pEnd = nullptr;
    for (;;) {
      const double dX = std::strtod(p, &pEnd);
      if (pEnd == p || *pEnd != ',') {
        break;
      }
      p = pEnd + 1;
      const double dY = std::strtod(p, &pEnd);
      arrPoints.push_back({dX, dY});
      p = pEnd;
    }
    arrLists.push_back(arrPoints);
  }
  return arrLists;
}

class StatusPageTest : public ::testing::Test {
 protected:
  // Local times on the page are read in UTC, whatever the machine's zone.
  void SetUp() override {
    const char* szZone = getenv("TZ");
    m_bHadZone = szZone != nullptr;
    m_strZone = m_bHadZone ? szZone : "";
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (m_bHadZone) {
      setenv("TZ", m_strZone.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  // A healthy gateway: three modules (free, busy, error), one lockout, two errors, some history.
  static GatewayStatus Reading() {
    GatewayStatus st;
    st.strVersion = "1.0.0";
    st.strBuildTime = "2023-11-01 08:00:00";
    st.nNowS = kNowS;
    st.unUptimeS = 3 * 86400 + 4 * 3600 + 59;
    st.stMetrics.nStartedS = kNowS - static_cast<int64_t>(st.unUptimeS);
    const ModuleState arrStates[] = {ModuleState::Free, ModuleState::Busy, ModuleState::Error};
    for (uint32_t i = 0; i < 3; ++i) {
      ModuleMetrics module;
      module.unIndex = i;
      module.strAddress = "10.0.0." + std::to_string(11 + i);
      module.unPort = 7000 + i;
      module.eState = arrStates[i];
      module.nStateSinceS = kNowS - 300;
      module.unSessions = 40 + i;
      module.unConnectFailures = 2;
      module.unResets = 1;
      module.unLateAnswers = 0;
      st.stMetrics.arrModules.push_back(module);
    }
    st.stMetrics.nLastDeliveryS = kNowS - 12;
    st.stMetrics.arrErrors = {{kNowS - 600, "module 10.0.0.13:7002 did not answer"},
                              {kNowS - 60, "log server 10.0.0.2:443 refused a record (400)"}};
    st.bAccepting = true;
    st.unReaders = 4;
    st.arrLockouts = {{"192.168.1.50", 95}};
    st.unQueued = 7;
    st.unSpooled = 5;
    st.unQueuedBytes = 1572864;
    st.nOldestAgeS = 42;
    st.bSpoolConfigured = true;
    st.bSpoolDurable = true;
    st.unDelivered = 1234;
    st.unRetried = 3;
    st.unRejected = 1;
    st.bLogServerConfigured = true;
    uint64_t unDelivered = 0;
    for (int64_t i = 0; i < 60; ++i) {
      unDelivered += static_cast<uint64_t>(i * 37 % 23);
      st.arrHistory.push_back({kNowS - 3600 + i * 60, unDelivered, static_cast<uint64_t>(i % 9)});
    }
    return st;
  }

 private:
  bool m_bHadZone = false;
  std::string m_strZone;
};

TEST_F(StatusPageTest, ShowsEachModuleWithItsStateAndTheCounts) {
  const std::string strPage = RenderStatusPage(Reading());
  const char* const arrWords[] = {"free", "busy", "error"};
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const std::string strRow =
        Between(strPage, "<tr id=\"module-" + std::to_string(i) + "\"", "</tr>");
    ASSERT_FALSE(strRow.empty());
    EXPECT_NE(strRow.find("10.0.0." + std::to_string(11 + i) + ":" + std::to_string(7000 + i)),
              std::string::npos);
    EXPECT_NE(
        strRow.find(std::string("class=\"state state-") + arrWords[i] + "\">" + arrWords[i] + "<"),
        std::string::npos);
    EXPECT_NE(strRow.find("2023-11-14 22:08:20"), std::string::npos);
    EXPECT_NE(strRow.find("(5 min ago)"), std::string::npos);
    EXPECT_NE(strRow.find(">" + std::to_string(40 + i) + "<"), std::string::npos);
  }
  EXPECT_EQ(TextById(strPage, "modules-free"), "1");
  EXPECT_EQ(TextById(strPage, "modules-busy"), "1");
  EXPECT_EQ(TextById(strPage, "modules-error"), "1");
  EXPECT_EQ(TextById(strPage, "readers"), "4");
  EXPECT_EQ(TextById(strPage, "queued"), "7");
  EXPECT_EQ(TextById(strPage, "oldest-age"), "42 s");
  EXPECT_EQ(TextById(strPage, "delivered"), "1234");
  EXPECT_EQ(TextById(strPage, "health"), "healthy");
  EXPECT_NE(strPage.find("1.5 MiB"), std::string::npos);
  EXPECT_NE(strPage.find("up 3 d 4 h"), std::string::npos);
  EXPECT_NE(strPage.find("192.168.1.50"), std::string::npos);
  // The newest error first.
  const size_t unNewest = strPage.find("refused a record");
  const size_t unOldest = strPage.find("did not answer");
  ASSERT_NE(unNewest, std::string::npos);
  ASSERT_NE(unOldest, std::string::npos);
  EXPECT_LT(unNewest, unOldest);

  if (const char* szSample = std::getenv("CARDGATE_STATUS_SAMPLE")) {
    WriteFile(szSample, strPage);  // a page to look at in a browser
  }
}

TEST_F(StatusPageTest, HealthListsEveryProblem) {
  struct Case {
    const char* szName;
    void (*fnChange)(GatewayStatus*);
  };
  const Case arrCases[] = {
      {"healthy", [](GatewayStatus*) {}},
      {"door closed", [](GatewayStatus* p) { p->bAccepting = false; }},
      {"every module in error",
       [](GatewayStatus* p) {
         for (ModuleMetrics& module : p->stMetrics.arrModules) {
           module.eState = ModuleState::Error;
         }
       }},
      {"spool failing and a record too old",
       [](GatewayStatus* p) {
         p->bSpoolWriteFailing = true;
         p->nOldestAgeS = 3600;
       }},
  };
  for (const Case& c : arrCases) {
    SCOPED_TRACE(c.szName);
    GatewayStatus st = Reading();
    c.fnChange(&st);
    const std::vector<std::string> arrProblems = HealthProblems(st);
    const std::string strPage = RenderStatusPage(st);
    EXPECT_EQ(TextById(strPage, "health"), arrProblems.empty() ? "healthy" : "unhealthy");
    EXPECT_EQ(CountOccurrences(strPage, "<li>"), arrProblems.size());
    for (const std::string& strProblem : arrProblems) {
      EXPECT_NE(strPage.find("<li>" + strProblem + "</li>"), std::string::npos) << strProblem;
    }
  }
}

TEST_F(StatusPageTest, ShowsWhatIsMissingInWords) {
  GatewayStatus st;
  st.nNowS = kNowS;
  st.bSpoolDurable = true;
  const std::string strPage = RenderStatusPage(st);
  EXPECT_NE(strPage.find("No modules configured"), std::string::npos);
  EXPECT_EQ(strPage.find("<tr id=\"module-"), std::string::npos);
  EXPECT_EQ(TextById(strPage, "oldest-age"), "none");
  EXPECT_EQ(TextById(strPage, "readers"), "0");
  EXPECT_NE(strPage.find("<dt>Last delivery</dt><dd>never</dd>"), std::string::npos);
  // Lockouts and errors both say so.
  EXPECT_EQ(CountOccurrences(strPage, "<p>none</p>"), 2u);
  EXPECT_EQ(TextById(strPage, "health"), "unhealthy");
}

TEST_F(StatusPageTest, EscapesEveryTextFromOutside) {
  const std::string strEvil = "<script>alert(\"x\")</script> & 'q'";
  const std::string strEscaped =
      "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#39;q&#39;";
  GatewayStatus st = Reading();
  st.strVersion = strEvil;
  st.strBuildTime = strEvil;
  st.stMetrics.arrModules[1].strAddress = strEvil;
  st.arrLockouts[0].strAddress = strEvil;
  st.stMetrics.arrErrors[0].strText = strEvil;
  const std::string strPage = RenderStatusPage(st);
  EXPECT_EQ(strPage.find(strEvil), std::string::npos);
  EXPECT_EQ(strPage.find("<script"), std::string::npos);
  EXPECT_EQ(strPage.find("alert(\""), std::string::npos);
  EXPECT_EQ(CountOccurrences(strPage, strEscaped), 5u);
  EXPECT_TRUE(TagsBalance(strPage));
}

TEST_F(StatusPageTest, IsOneSelfContainedDocument) {
  GatewayStatus stEmpty;
  stEmpty.nNowS = kNowS;
  // Values at the ends of their types: times no calendar holds, counters about to wrap.
  GatewayStatus stExtreme = Reading();
  const int64_t kMaxS = std::numeric_limits<int64_t>::max();
  const uint64_t kHuge = std::numeric_limits<uint64_t>::max();
  stExtreme.nNowS = kMaxS;
  stExtreme.unUptimeS = kHuge;
  stExtreme.stMetrics.arrModules[0].nStateSinceS = std::numeric_limits<int64_t>::min();
  stExtreme.stMetrics.arrModules[1].unSessions = kHuge;
  stExtreme.stMetrics.nLastDeliveryS = kMaxS;
  stExtreme.stMetrics.arrErrors[0].nUnixS = kMaxS;
  stExtreme.unQueuedBytes = kHuge;
  stExtreme.nOldestAgeS = kMaxS;
  stExtreme.arrLockouts[0].unRemainingS = std::numeric_limits<uint32_t>::max();
  for (const GatewayStatus& st : {Reading(), stEmpty, stExtreme}) {
    const std::string strPage = RenderStatusPage(st);
    EXPECT_EQ(strPage.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(strPage.substr(strPage.size() - 8), "</html>\n");
    EXPECT_NE(strPage.find("<meta http-equiv=\"refresh\" content=\"5\">"), std::string::npos);
    EXPECT_NE(
        strPage.find("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"),
        std::string::npos);
    EXPECT_NE(strPage.find("<title>cardgate status</title>"), std::string::npos);
    std::string strLower = strPage;
    std::transform(strLower.begin(), strLower.end(), strLower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* szExternal : {"<script", "src=", "href=", "http:", "https:", "//", "url(",
                                   "@import", "<link", "<iframe", "<object", "<embed", "<img"}) {
      EXPECT_EQ(strLower.find(szExternal), std::string::npos) << szExternal;
    }
    EXPECT_FALSE(std::regex_search(strLower, std::regex("\\son[a-z]+\\s*=")));  // no handlers
    EXPECT_TRUE(TagsBalance(strPage));
  }
}

TEST_F(StatusPageTest, ChartStaysInsideItsViewBox) {
  const uint64_t kHuge = std::numeric_limits<uint64_t>::max();
  const int64_t kMinS = std::numeric_limits<int64_t>::min();
  const int64_t kMaxS = std::numeric_limits<int64_t>::max();
  struct Case {
    const char* szName;
    std::vector<HistorySample> arrHistory;
  };
  std::vector<Case> arrCases = {
      {"no samples", {}},
      {"one sample", {{kNowS, 5, 3}}},
      {"two samples", {{kNowS - 60, 5, 3}, {kNowS, 9, 0}}},
      {"counter steps back", {{kNowS - 120, 50, 1}, {kNowS - 60, 10, 2}, {kNowS, 20, 3}}},
      {"nothing moves", {{kNowS - 60, 0, 0}, {kNowS - 60, 0, 0}, {kNowS, 0, 0}}},
      {"times beyond the calendar", {{kMinS, 1, 1}, {kMaxS, 2, 2}}},
  };
  Case stHuge{"a day of seconds, huge values", {}};
  for (int64_t i = 0; i < 86400; ++i) {
    stHuge.arrHistory.push_back(
        {kNowS - 86400 + i, static_cast<uint64_t>(i) * 100000000000000, i % 2 == 0 ? kHuge : 0});
  }
  arrCases.push_back(std::move(stHuge));

  static const std::regex kViewBox("viewBox=\"0 0 ([0-9.]+) ([0-9.]+)\"");
  for (const Case& c : arrCases) {
    SCOPED_TRACE(c.szName);
    GatewayStatus st = Reading();
    st.arrHistory = c.arrHistory;
    const std::string strPage = RenderStatusPage(st);
    EXPECT_EQ(CountOccurrences(strPage, "<svg"), 1u);
    const std::string strSvg = Between(strPage, "<svg", "</svg>");
    ASSERT_FALSE(strSvg.empty());
    EXPECT_TRUE(TagsBalance(strSvg));
    EXPECT_NE(strSvg.find("role=\"img\""), std::string::npos);
    EXPECT_NE(strSvg.find("aria-label=\""), std::string::npos);
    EXPECT_NE(strSvg.find("<title>"), std::string::npos);
    EXPECT_NE(strSvg.find("width=\"100%\""), std::string::npos);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(strSvg, match, kViewBox));
    const double dWidth = std::stod(match[1]);
    const double dHeight = std::stod(match[2]);

    const std::vector<std::vector<Point>> arrLists = PointLists(strSvg);
    const bool bData = c.arrHistory.size() >= 2;
    EXPECT_EQ(strSvg.find("no data yet") != std::string::npos, !bData);
    EXPECT_EQ(arrLists.size(), bData ? 2u : 0u);
    for (const std::vector<Point>& arrPoints : arrLists) {
      EXPECT_GE(arrPoints.size(), 2u);
      for (const Point& point : arrPoints) {
        EXPECT_TRUE(point.dX >= 0 && point.dX <= dWidth && point.dY >= 0 && point.dY <= dHeight)
            << point.dX << "," << point.dY;
      }
    }
    // Axis labels stay short enough for their margin, however large the values.
    static const std::regex kText("<text[^>]*>([^<]*)</text>");
    for (std::sregex_iterator it(strSvg.begin(), strSvg.end(), kText), end; it != end; ++it) {
      const std::string strLabel = (*it)[1];
      if (strLabel.find(' ') == std::string::npos) {
        EXPECT_LE(strLabel.size(), 6u) << strLabel;
      }
    }
  }
}

// Delivered is a running total: the chart shows what each interval added, not the total.
TEST_F(StatusPageTest, ChartShowsDeliveriesPerInterval) {
  GatewayStatus st = Reading();
  st.arrHistory = {
      {kNowS - 180, 100, 0}, {kNowS - 120, 110, 0}, {kNowS - 60, 110, 0}, {kNowS, 130, 0}};
  const std::string strSvg = Between(RenderStatusPage(st), "<svg", "</svg>");
  const std::vector<std::vector<Point>> arrLists = PointLists(strSvg);
  ASSERT_EQ(arrLists.size(), 2u);
  // The delivered outline: baseline, then each interval's height at its two ends, then baseline.
  const std::vector<Point>& arrBars = arrLists[0];
  ASSERT_EQ(arrBars.size(), 8u);
  const double dBase = arrBars[0].dY;
  const double dFirst = arrBars[1].dY;   // +10
  const double dSecond = arrBars[3].dY;  // +0
  const double dThird = arrBars[5].dY;   // +20, the largest
  EXPECT_DOUBLE_EQ(dSecond, dBase);
  EXPECT_LT(dThird, dFirst);
  EXPECT_NEAR(dBase - dFirst, (dBase - dThird) / 2, 0.2);
  EXPECT_NE(strSvg.find(">20</text>"), std::string::npos);
  EXPECT_NE(strSvg.find("delivered per 1 min"), std::string::npos);
}

// A long history is drawn with fewer points than samples; a short peak of the backlog between
// two drawn points still reaches the top of the chart.
TEST_F(StatusPageTest, ChartKeepsABacklogPeakOfALongHistory) {
  GatewayStatus st = Reading();
  st.arrHistory.clear();
  for (int64_t i = 0; i < 1000; ++i) {
    st.arrHistory.push_back({kNowS - 1000 + i, 0, i == 500 ? 77u : 0u});
  }
  const std::string strSvg = Between(RenderStatusPage(st), "<svg", "</svg>");
  EXPECT_NE(strSvg.find(">77</text>"), std::string::npos);
  const std::vector<std::vector<Point>> arrLists = PointLists(strSvg);
  ASSERT_EQ(arrLists.size(), 2u);
  EXPECT_LT(arrLists[1].size(), st.arrHistory.size());
}

}  // namespace
