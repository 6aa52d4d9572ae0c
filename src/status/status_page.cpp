#include "status/status_render.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Small on purpose: the page is sent every few seconds by a router. Widths are fluid; only the
// tables scroll sideways on a narrow screen, inside their wrapper.
constexpr char kStyle[] =
    "body{font:1rem/1.45 system-ui,-apple-system,'Segoe UI',Roboto,sans-serif;color:#222;"
    "background:#fbfbfa;max-width:60rem;margin:0 auto;padding:0 1rem 2rem}"
    "h1{font-size:1.5rem;margin:1rem 0 .2rem}"
    "h2{font-size:1.15rem;margin:1.6rem 0 .5rem;border-bottom:1px solid #ddd}"
    "h3{font-size:1rem;margin:1rem 0 .3rem}"
    ".meta,.muted{color:#666}"
    ".wrap{overflow-x:auto}"
    "table{border-collapse:collapse}"
    "th,td{padding:.3rem .6rem;border-bottom:1px solid #e4e4e4;text-align:left;"
    "white-space:nowrap;vertical-align:top}"
    "th{font-weight:600;background:#f0f0ee;white-space:normal}"
    ".n{text-align:right;font-variant-numeric:tabular-nums}"
    "td.text{white-space:normal}"
    "dl{display:grid;grid-template-columns:max-content 1fr;gap:.2rem 1rem;margin:0}"
    "dd{margin:0}"
    ".state{font-weight:600}"
    ".state-free{color:#14632b;background:#e3f4e8}"
    ".state-busy{color:#0b4a8f;background:#e2edfa}"
    ".state-error{color:#a11d1d;background:#fbe5e5}"
    ".good{color:#14632b}.bad{color:#a11d1d}"
    "svg{display:block;width:100%;height:auto;max-width:30rem;margin-top:1rem}";

// The chart, in viewBox units: the plot area between the axes, labels and legend around it.
constexpr int kChartWidth = 300;
constexpr int kChartHeight = 186;
constexpr double kPlotLeft = 40;
constexpr double kPlotRight = 260;
constexpr double kPlotTop = 10;
constexpr double kPlotBottom = 130;
// More points than this add bytes, not detail, at the chart's size.
constexpr size_t kChartMaxPoints = 120;
constexpr char kDeliveredColour[] = "#2f6fb0";
constexpr char kQueuedColour[] = "#c2410c";

std::string Escaped(const std::string& strText) {
  std::string strOut;
  strOut.reserve(strText.size());
  for (char c : strText) {
    switch (c) {
      case '&':
        strOut += "&amp;";
        break;
      case '<':
        strOut += "&lt;";
        break;
      case '>':
        strOut += "&gt;";
        break;
      case '"':
        strOut += "&quot;";
        break;
      case '\'':
        strOut += "&#39;";
        break;
      default:
        strOut += c;
    }
  }
  return strOut;
}

std::string Number(uint64_t unValue) {
  char szText[24];
  std::snprintf(szText, sizeof szText, "%" PRIu64, unValue);
  return szText;
}

// "3 d 4 h", "12 min 5 s", "45 s": the two largest units, the second left out when it is 0.
std::string Duration(uint64_t unSeconds) {
  static const struct {
    uint64_t unSize;
    const char* szName;
  } kUnits[] = {{86400, "d"}, {3600, "h"}, {60, "min"}, {1, "s"}};
  size_t i = 0;
  while (i + 1 < sizeof kUnits / sizeof kUnits[0] && unSeconds < kUnits[i].unSize) {
    ++i;
  }
  std::string strText = Number(unSeconds / kUnits[i].unSize) + ' ' + kUnits[i].szName;
  if (i + 1 < sizeof kUnits / sizeof kUnits[0]) {
    const uint64_t unRest = unSeconds % kUnits[i].unSize / kUnits[i + 1].unSize;
    if (unRest != 0) {
      strText += ' ' + Number(unRest) + ' ' + kUnits[i + 1].szName;
    }
  }
  return strText;
}

// A value in a few characters with a unit of 1000 or 1024: "950", "12.3k", "4.5 MiB".
std::string Scaled(uint64_t unValue, double dBase, const char* const* pUnits, size_t unUnits,
                   const char* szPlain) {
  if (unValue < dBase) {
    return Number(unValue) + szPlain;
  }
  double dValue = static_cast<double>(unValue) / dBase;
  size_t i = 0;
  // 999.7k would print as "1000k": take the next unit instead.
  while (i + 1 < unUnits && dValue >= dBase - 0.5) {
    dValue /= dBase;
    ++i;
  }
  char szText[32];
  std::snprintf(szText, sizeof szText, dValue < 10 ? "%.1f%s" : "%.0f%s", dValue, pUnits[i]);
  return szText;
}

std::string ByteSize(uint64_t unBytes) {
  static const char* const kUnits[] = {" KiB", " MiB", " GiB", " TiB", " PiB", " EiB"};
  return Scaled(unBytes, 1024, kUnits, sizeof kUnits / sizeof kUnits[0], " B");
}

// For the chart's axes, where a label has room for about six characters.
std::string ShortNumber(uint64_t unValue) {
  static const char* const kUnits[] = {"k", "M", "G", "T", "P", "E"};
  return Scaled(unValue, 1000, kUnits, sizeof kUnits / sizeof kUnits[0], "");
}

// "YYYY-MM-DD HH:MM:SS" in the gateway's local time.
std::string LocalTime(int64_t nUnixS) {
  const time_t tmUnix = static_cast<time_t>(nUnixS);
  struct tm stLocal;
  if (localtime_r(&tmUnix, &stLocal) == nullptr) {
    return "?";
  }
  char szText[64];
  std::snprintf(szText, sizeof szText, "%04d-%02d-%02d %02d:%02d:%02d", stLocal.tm_year + 1900,
                stLocal.tm_mon + 1, stLocal.tm_mday, stLocal.tm_hour, stLocal.tm_min,
                stLocal.tm_sec);
  return szText;
}

// "HH:MM" of a local time.
std::string HourMinute(int64_t nUnixS) {
  const std::string strTime = LocalTime(nUnixS);
  return strTime.size() > 16 ? strTime.substr(11, 5) : strTime;
}

// nLaterS - nEarlierS, 0 when nLaterS is not later; unsigned, so no pair of times overflows.
uint64_t SecondsBetween(int64_t nEarlierS, int64_t nLaterS) {
  return nLaterS > nEarlierS ? static_cast<uint64_t>(nLaterS) - static_cast<uint64_t>(nEarlierS)
                             : 0;
}

// A local time with how long ago it was, as table cell content.
std::string TimeAgo(int64_t nThenS, int64_t nNowS) {
  std::string strText = LocalTime(nThenS) + " <span class=\"muted\">(";
  // A clock set back makes a past event look ahead of now.
  strText += nNowS > nThenS ? Duration(SecondsBetween(nThenS, nNowS)) + " ago" : "just now";
  return strText + ")</span>";
}

void Cell(std::string* pPage, const std::string& strHtml, const char* szClass = nullptr) {
  *pPage += szClass != nullptr ? std::string("<td class=\"") + szClass + "\">" : "<td>";
  *pPage += strHtml;
  *pPage += "</td>";
}

// One line of a definition list; szId is the element id a test may read the value by.
void Item(std::string* pPage, const char* szLabel, const std::string& strHtml,
          const char* szId = nullptr) {
  *pPage += "<dt>";
  *pPage += szLabel;
  *pPage += szId != nullptr ? std::string("</dt><dd id=\"") + szId + "\">" : "</dt><dd>";
  *pPage += strHtml;
  *pPage += "</dd>";
}

void Coordinate(std::string* pPage, double dX, double dY) {
  char szText[32];
  std::snprintf(szText, sizeof szText, "%.1f,%.1f ", dX, dY);
  *pPage += szText;
}

void ChartText(std::string* pPage, double dX, double dY, const char* szAnchor, const char* szFill,
               const std::string& strText) {
  char szHead[160];
  std::snprintf(szHead, sizeof szHead,
                "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"%s\" fill=\"%s\">", dX, dY, szAnchor,
                szFill);
  *pPage += szHead;
  *pPage += strText;
  *pPage += "</text>";
}

// Records delivered and queued over the history: delivered as bars of what each interval
// added to the running total (left axis), queued as a line (right axis). Each axis is scaled to
// its own largest value, so a long backlog does not flatten the deliveries.
void AppendChart(std::string* pPage, const std::vector<HistorySample>& arrHistory) {
  const size_t unSamples = arrHistory.size();
  const size_t unPoints = std::min(unSamples, kChartMaxPoints);
  // A long history is thinned to unPoints points: a point's delivered figure is the whole
  // increase since the point before and its queued figure the highest sample it stands for, so
  // neither a burst nor a peak of the backlog is lost.
  std::vector<uint64_t> arrDelivered(unPoints, 0);
  std::vector<uint64_t> arrQueued(unPoints, 0);
  uint64_t unMaxDelivered = 0;
  uint64_t unMaxQueued = 0;
  size_t unPrevious = 0;
  for (size_t k = 0; k < unPoints; ++k) {
    const size_t unAt = unPoints < 2 ? 0 : k * (unSamples - 1) / (unPoints - 1);
    const HistorySample& stSample = arrHistory[unAt];
    arrQueued[k] = stSample.unQueued;
    if (k > 0) {
      const uint64_t unBefore = arrHistory[unPrevious].unDelivered;
      // The total only grows; should it ever step back, that interval shows nothing.
      arrDelivered[k] = stSample.unDelivered > unBefore ? stSample.unDelivered - unBefore : 0;
      for (size_t i = unPrevious + 1; i < unAt; ++i) {
        arrQueued[k] = std::max(arrQueued[k], arrHistory[i].unQueued);
      }
    }
    unMaxDelivered = std::max(unMaxDelivered, arrDelivered[k]);
    unMaxQueued = std::max(unMaxQueued, arrQueued[k]);
    unPrevious = unAt;
  }
  const bool bData = unPoints >= 2;
  std::string strInterval = "interval";
  const uint64_t unSpanS =
      bData ? SecondsBetween(arrHistory.front().nUnixS, arrHistory.back().nUnixS) : 0;
  if (bData && unSpanS >= unPoints - 1) {
    strInterval = Duration(unSpanS / (unPoints - 1));
  }
  std::string strLabel = "Records delivered per " + strInterval + " and records queued, last hour";
  if (bData) {
    strLabel += ": delivered up to " + Number(unMaxDelivered) + " per " + strInterval +
                ", queued up to " + Number(unMaxQueued);
  } else {
    strLabel += ": no data yet";
  }

  char szText[120];
  std::snprintf(szText, sizeof szText,
                "<svg viewBox=\"0 0 %d %d\" width=\"100%%\" font-size=\"11\" role=\"img\" "
                "aria-label=\"",
                kChartWidth, kChartHeight);
  *pPage += szText;
  *pPage += strLabel;
  *pPage += "\"><title>";
  *pPage += strLabel;
  std::snprintf(szText, sizeof szText,
                "</title><path d=\"M%.0f %.0fV%.0fH%.0fV%.0f\" fill=\"none\" stroke=\"#999\"/>",
                kPlotLeft, kPlotTop, kPlotBottom, kPlotRight, kPlotTop);
  *pPage += szText;

  if (!bData) {
    ChartText(pPage, (kPlotLeft + kPlotRight) / 2, (kPlotTop + kPlotBottom) / 2, "middle", "#666",
              "no data yet");
  } else {
    const auto X = [unPoints](size_t k) {
      return kPlotLeft +
             (kPlotRight - kPlotLeft) * static_cast<double>(k) / static_cast<double>(unPoints - 1);
    };
    const auto Y = [](uint64_t unValue, uint64_t unMax) {
      return unMax == 0 ? kPlotBottom
                        : kPlotBottom - (kPlotBottom - kPlotTop) * (static_cast<double>(unValue) /
                                                                    static_cast<double>(unMax));
    };
    // Delivered: one step outline, each interval a bar from the point before to its own.
    *pPage += "<polygon fill=\"#b6d4f0\" stroke=\"";
    *pPage += kDeliveredColour;
    *pPage += "\" stroke-width=\"0.8\" points=\"";
    Coordinate(pPage, X(0), kPlotBottom);
    for (size_t k = 1; k < unPoints; ++k) {
      const double dY = Y(arrDelivered[k], unMaxDelivered);
      Coordinate(pPage, X(k - 1), dY);
      Coordinate(pPage, X(k), dY);
    }
    Coordinate(pPage, X(unPoints - 1), kPlotBottom);
    *pPage += "\"/><polyline fill=\"none\" stroke=\"";
    *pPage += kQueuedColour;
    *pPage += "\" stroke-width=\"1.5\" points=\"";
    for (size_t k = 0; k < unPoints; ++k) {
      Coordinate(pPage, X(k), Y(arrQueued[k], unMaxQueued));
    }
    *pPage += "\"/>";
    ChartText(pPage, kPlotLeft - 4, kPlotTop + 4, "end", kDeliveredColour,
              ShortNumber(unMaxDelivered));
    ChartText(pPage, kPlotLeft - 4, kPlotBottom, "end", kDeliveredColour, "0");
    ChartText(pPage, kPlotRight + 4, kPlotTop + 4, "start", kQueuedColour,
              ShortNumber(unMaxQueued));
    ChartText(pPage, kPlotRight + 4, kPlotBottom, "start", kQueuedColour, "0");
    ChartText(pPage, kPlotLeft, kPlotBottom + 14, "start", "#666",
              HourMinute(arrHistory.front().nUnixS));
    ChartText(pPage, kPlotRight, kPlotBottom + 14, "end", "#666",
              HourMinute(arrHistory.back().nUnixS));
  }
  // The legend, one series a row so it fits a phone.
  *pPage += "<rect x=\"40\" y=\"153\" width=\"12\" height=\"10\" fill=\"#b6d4f0\" stroke=\"";
  *pPage += kDeliveredColour;
  *pPage += "\"/><path d=\"M40 174h12\" stroke=\"";
  *pPage += kQueuedColour;
  *pPage += "\" stroke-width=\"2\"/>";
  ChartText(pPage, 58, 162, "start", "#222", "delivered per " + strInterval + " (left axis)");
  ChartText(pPage, 58, 178, "start", "#222", "queued (right axis)");
  *pPage += "</svg>";
}

}  // namespace

std::string RenderStatusPage(const GatewayStatus& stStatus) {
  const MetricsSnapshot& stM = stStatus.stMetrics;
  const std::vector<std::string> arrProblems = HealthProblems(stStatus);
  std::string strPage;
  strPage.reserve(8192);

  strPage +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta http-equiv=\"refresh\" content=\"5\"><title>cardgate status</title><style>";
  strPage += kStyle;
  strPage += "</style></head>\n<body><header><h1>cardgate status</h1><p class=\"meta\">Version ";
  strPage += Escaped(stStatus.strVersion);
  strPage += " &middot; built ";
  strPage += Escaped(stStatus.strBuildTime);
  strPage += " &middot; up ";
  strPage += Duration(stStatus.unUptimeS);
  strPage += " &middot; as of ";
  strPage += LocalTime(stStatus.nNowS);
  strPage += "</p><p>Health: ";
  strPage += arrProblems.empty() ? "<strong id=\"health\" class=\"good\">healthy</strong></p>"
                                 : "<strong id=\"health\" class=\"bad\">unhealthy</strong></p><ul>";
  for (const std::string& strProblem : arrProblems) {
    strPage += "<li>" + Escaped(strProblem) + "</li>";
  }
  strPage += arrProblems.empty() ? "</header>\n<main>" : "</ul></header>\n<main>";

  // The pool.
  uint64_t arrByState[3] = {0, 0, 0};
  for (const ModuleMetrics& module : stM.arrModules) {
    ++arrByState[static_cast<size_t>(module.eState) % 3];
  }
  strPage += "<section><h2>Decode modules</h2>";
  if (stM.arrModules.empty()) {
    strPage += "<p>No modules configured</p>";
  } else {
    strPage += "<p>" + Number(stM.arrModules.size()) + " modules: <span id=\"modules-free\">" +
               Number(arrByState[0]) + "</span> free, <span id=\"modules-busy\">" +
               Number(arrByState[1]) + "</span> busy, <span id=\"modules-error\">" +
               Number(arrByState[2]) + "</span> error</p>";
    strPage +=
        "<div class=\"wrap\"><table><thead><tr><th>Module</th><th>State</th><th>Since</th>"
        "<th class=\"n\">Sessions</th><th class=\"n\">Connect failures</th>"
        "<th class=\"n\">Resets</th><th class=\"n\">Late answers</th></tr>"
        "</thead><tbody>";
    for (const ModuleMetrics& module : stM.arrModules) {
      const std::string strState = ModuleStateName(module.eState);
      const bool bIpv6 = module.strAddress.find(':') != std::string::npos;
      strPage += "<tr id=\"module-" + Number(module.unIndex) + "\">";
      Cell(&strPage, "#" + Number(module.unIndex) + ' ' + (bIpv6 ? "[" : "") +
                         Escaped(module.strAddress) + (bIpv6 ? "]:" : ":") + Number(module.unPort));
      strPage += "<td class=\"state state-" + strState + "\">" + strState + "</td>";
      Cell(&strPage, TimeAgo(module.nStateSinceS, stStatus.nNowS));
      Cell(&strPage, Number(module.unSessions), "n");
      Cell(&strPage, Number(module.unConnectFailures), "n");
      Cell(&strPage, Number(module.unResets), "n");
      Cell(&strPage, Number(module.unLateAnswers), "n");
      strPage += "</tr>";
    }
    strPage += "</tbody></table></div>";
  }

  // The door.
  strPage += "</section>\n<section><h2>Readers</h2><p><span id=\"readers\">" +
             Number(stStatus.unReaders) + "</span> connected &middot; the device port ";
  strPage += stStatus.bAccepting
                 ? "<strong id=\"accepting\" class=\"good\">accepts readers</strong></p>"
                 : "<strong id=\"accepting\" class=\"bad\">does not accept readers</strong></p>";
  strPage += "<h3>Locked-out addresses</h3>";
  if (stStatus.arrLockouts.empty()) {
    strPage += "<p>none</p>";
  } else {
    strPage +=
        "<div class=\"wrap\"><table><thead><tr><th>Address</th><th "
        "class=\"n\">Remaining</th></tr></thead>"
        "<tbody>";
    for (const LockoutStatus& lockout : stStatus.arrLockouts) {
      strPage += "<tr>";
      Cell(&strPage, Escaped(lockout.strAddress));
      Cell(&strPage, Duration(lockout.unRemainingS), "n");
      strPage += "</tr>";
    }
    strPage += "</tbody></table></div>";
  }

  // The record store and the upload.
  strPage += "</section>\n<section><h2>Card records</h2><dl>";
  Item(&strPage, "Queued", Number(stStatus.unQueued), "queued");
  Item(&strPage, "In spool files", Number(stStatus.unSpooled));
  Item(&strPage, "Size", ByteSize(stStatus.unQueuedBytes));
  const bool bTooOld = stStatus.nOldestAgeS >= static_cast<int64_t>(stStatus.unMaxRecordAgeS);
  Item(&strPage, "Oldest waiting",
       std::string("<span id=\"oldest-age\"") + (bTooOld ? " class=\"bad\">" : ">") +
           (stStatus.nOldestAgeS < 0 ? "none"
                                     : Duration(static_cast<uint64_t>(stStatus.nOldestAgeS))) +
           "</span> <span class=\"muted\">(limit " + Duration(stStatus.unMaxRecordAgeS) +
           ")</span>");
  Item(&strPage, "Delivered", Number(stStatus.unDelivered), "delivered");
  Item(&strPage, "Retried", Number(stStatus.unRetried));
  Item(&strPage, "Rejected", Number(stStatus.unRejected));
  Item(&strPage, "Dropped", Number(stStatus.unDropped));
  Item(
      &strPage, "Last delivery",
      stM.nLastDeliveryS == 0 ? std::string("never") : TimeAgo(stM.nLastDeliveryS, stStatus.nNowS));
  Item(&strPage, "Log server",
       stStatus.bLogServerConfigured ? "configured" : "<span class=\"bad\">not configured</span>");
  Item(&strPage, "Spool",
       stStatus.bSpoolWriteFailing ? "<span class=\"bad\">failing</span>"
       : stStatus.bSpoolDurable    ? "files"
       : stStatus.bSpoolConfigured ? "<span class=\"bad\">memory (directory unusable)</span>"
                                   : "memory");
  strPage += "</dl>";
  AppendChart(&strPage, stStatus.arrHistory);

  strPage += "</section>\n<section><h2>Recent errors</h2>";
  if (stM.arrErrors.empty()) {
    strPage += "<p>none</p>";
  } else {
    strPage +=
        "<div class=\"wrap\"><table><thead><tr><th>Time</th><th>Error</th></tr></thead><tbody>";
    for (auto it = stM.arrErrors.rbegin(); it != stM.arrErrors.rend(); ++it) {
      strPage += "<tr>";
      Cell(&strPage, LocalTime(it->nUnixS));
      std::string strText = Escaped(it->strText);
      if (it->unRepeats > 1) {
        // One fault that goes on is one row: the time is its last occurrence.
        strText += " <span class=\"muted\">(" + std::to_string(it->unRepeats) + " times)</span>";
      }
      Cell(&strPage, strText, "text");
      strPage += "</tr>";
    }
    strPage += "</tbody></table></div>";
  }
  strPage += "</section></main></body></html>\n";
  return strPage;
}
