// The operator's status page as a real browser sees it: headless Chromium loads the page of the
// built gateway, with one module serving a reader and one that cannot be reached, and the
// document it rendered is read back by element id. With CARDGATE_STATUS_SCREENSHOT naming a file
// the same page is also saved there as a picture (scripts/status-screenshot makes the README's).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "device_sim.h"
#include "gateway_fixture.h"
#include "logserver_sim.h"
#include "mcu_sim.h"
#include "samv_sim.h"
#include "support/http_exchange.h"

namespace {

using std::chrono::seconds;

constexpr uint16_t kGatewayPort = 31213;
constexpr char kChromium[] = "/usr/bin/chromium";
// The browser stays native when the gateway runs under an emulator; every wait allows for a
// slow gateway and a slow first start of the browser.
constexpr auto kWait = seconds(60);
// The page's chart gets a point every 30 s: a picture shows this many, made in at most this time.
constexpr size_t kTrafficSamples = 10;
constexpr auto kTrafficTime = seconds(360);
constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";

LoginRequest Login() {
  LoginRequest r;
  r.byCommand = 1;
  r.unAccountNo = 1001;
  r.strPassword = "pass1001";
  r.strUserInfo = "operator-7";
  r.strDeviceId = "READER-42";
  r.strTransData = "{\"order\":\"A-17\"}";
  return r;
}

std::string ShellQuoted(const std::string& strText) {
  std::string strOut = "'";
  for (char c : strText) {
    strOut += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return strOut + "'";
}

// Runs headless Chromium with a fresh profile strProfile in strDir and the arguments given (already
// quoted for the shell), at most kWait; its standard output goes to *pstrOut, its standard error
// (noisy even when all is well) to strDir's chromium.err. Returns the exit status, -1 when it did
// not run or ended by a signal.
int RunChromium(const std::string& strDir, const std::string& strProfile,
                const std::string& strArgs, std::string* pstrOut) {
  const std::string strCommand =
      "timeout -k 5 " + std::to_string(kWait.count()) + " " + kChromium +
      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update --disable-sync"
      " --no-proxy-server --user-data-dir=" +
      ShellQuoted(strDir + strProfile) + " " + strArgs + " </dev/null 2>>" +
      ShellQuoted(strDir + "chromium.err");
  FILE* pPipe = ::popen(strCommand.c_str(), "r");
  if (pPipe == nullptr) {
    return -1;
  }
  char buffer[4096];
  size_t unRead = 0;
  while ((unRead = std::fread(buffer, 1, sizeof buffer, pPipe)) > 0) {
    pstrOut->append(buffer, unRead);
  }
  const int nStatus = ::pclose(pPipe);
  return nStatus != -1 && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

// The text of the element with id strId up to its first child tag, as the browser serialised it.
std::string TextById(const std::string& strDom, const std::string& strId) {
  const size_t unAt = strDom.find("id=\"" + strId + "\"");
  const size_t unOpen = unAt == std::string::npos ? unAt : strDom.find('>', unAt);
  if (unOpen == std::string::npos) {
    return "(no element with id " + strId + ")";
  }
  return strDom.substr(unOpen + 1, strDom.find('<', unOpen) - unOpen - 1);
}

// The markup of the element with id strId, start tag to the first end tag of its name (none of
// the page's ids is on an element that nests its own kind); "" when there is none.
std::string ElementById(const std::string& strDom, const std::string& strId) {
  const size_t unAt = strDom.find("id=\"" + strId + "\"");
  const size_t unStart = unAt == std::string::npos ? unAt : strDom.rfind('<', unAt);
  if (unStart == std::string::npos) {
    return "";
  }
  const size_t unNameEnd = strDom.find_first_of(" >", unStart);
  const std::string strEnd = "</" + strDom.substr(unStart + 1, unNameEnd - unStart - 1) + ">";
  const size_t unEnd = strDom.find(strEnd, unStart);
  return unEnd == std::string::npos ? "" : strDom.substr(unStart, unEnd + strEnd.size() - unStart);
}

}  // namespace

TEST(StatusPageBrowserTest, ChromiumShowsThePoolTheReadersAndTheRecords) {
  if (::access(kChromium, X_OK) != 0) {
    GTEST_SKIP() << kChromium << " (Debian package chromium) is not installed; scripts/test "
                 << "installs it";
  }
  SamvSimOptions samvOptions;
  samvOptions.eMode = SamvSimMode::Card;
  CSamvSim samv(samvOptions);
  CMcuSim mcu(0);
  mcu.Start();
  LogServerSimOptions logOptions;
  logOptions.strSecretKey = "0123456789abcdef";
  CLogServerSim logServer(logOptions);
  logServer.Start();

  GatewayRun gateway;
  const uint16_t unDeadPort = FreeLoopbackPort();
  gateway.SetModules({{samv.Port(), mcu.Port()}, {unDeadPort, 0}});
  const uint16_t unStatusPort = FreeLoopbackPort();
  gateway.SetExtraSystemConfig("[STATUS]\nLISTEN=127.0.0.1:" + std::to_string(unStatusPort) + "\n");
  gateway.SetLogServer(logServer.Port());
  ASSERT_TRUE(gateway.Start() && gateway.WaitForLog("status page on http://", kWait))
      << gateway.Process().Output();

  // The first reader reads a card and stays, holding the first module; the second is offered
  // the dead one, which goes to ERROR.
  CDeviceSimClient reader;
  ASSERT_TRUE(reader.Connect("127.0.0.1", kGatewayPort));
  CardReadResult result;
  ASSERT_EQ(reader.ReadCard(Login(), &result, kWait), ReadStatus::Ok);
  ASSERT_FALSE(result.bRefused);
  CDeviceSimClient second;
  ASSERT_TRUE(second.Connect("127.0.0.1", kGatewayPort));
  ASSERT_TRUE(gateway.WaitForLog("GetFreeTcpClient False", kWait)) << gateway.Process().Output();

  nlohmann::json status;
  ASSERT_TRUE(WaitFor(
      [&] {
        const HttpExchange exchange = GetHttp(unStatusPort, "/status");
        status = nlohmann::json::parse(exchange.strBody, nullptr, false);
        return exchange.nStatus == 200 && !status.is_discarded() &&
               status["modules"][0]["state"] == "busy" &&
               status["modules"][1]["state"] == "error" && status["records"]["delivered"] == 1 &&
               status["records"]["queued"] == 0 && status["readers"] == 1;
      },
      kWait))
      << status.dump();

  TempDir browserDir;
  const std::string strUrl = "http://127.0.0.1:" + std::to_string(unStatusPort) + "/";
  std::string strDom;
  const int nExit =
      RunChromium(browserDir.Path(), "dom", "--dump-dom " + ShellQuoted(strUrl), &strDom);
  ASSERT_EQ(nExit, 0) << ReadFile(browserDir.File("chromium.err"));
  ASSERT_NE(strDom.find("<title>cardgate status</title>"), std::string::npos)
      << strDom << "\n"
      << ReadFile(browserDir.File("chromium.err"));

  const std::string strRow0 = ElementById(strDom, "module-0");
  EXPECT_NE(strRow0.find("127.0.0.1:" + std::to_string(samv.Port()) + "</td>"), std::string::npos)
      << strRow0;
  EXPECT_NE(strRow0.find("<td class=\"state state-busy\">busy</td>"), std::string::npos) << strRow0;
  const std::string strRow1 = ElementById(strDom, "module-1");
  EXPECT_NE(strRow1.find("127.0.0.1:" + std::to_string(unDeadPort) + "</td>"), std::string::npos)
      << strRow1;
  EXPECT_NE(strRow1.find("<td class=\"state state-error\">error</td>"), std::string::npos)
      << strRow1;
  EXPECT_EQ(TextById(strDom, "modules-free"), "0");
  EXPECT_EQ(TextById(strDom, "modules-busy"), "1");
  EXPECT_EQ(TextById(strDom, "modules-error"), "1");
  EXPECT_EQ(TextById(strDom, "readers"), "1");
  EXPECT_EQ(TextById(strDom, "accepting"), "accepts readers");
  EXPECT_EQ(TextById(strDom, "queued"), "0");
  EXPECT_EQ(TextById(strDom, "oldest-age"), "none");
  EXPECT_EQ(TextById(strDom, "delivered"), "1");
  // One module in ERROR out of two leaves the gateway healthy.
  EXPECT_EQ(TextById(strDom, "health"), "healthy");

  const char* szPicture = std::getenv("CARDGATE_STATUS_SCREENSHOT");
  if (szPicture == nullptr || *szPicture == '\0') {
    return;
  }
  // A picture of a few minutes of traffic, so that the chart has something to show: a card now
  // and then, and for a while a log server that answers 503, so that a backlog forms and drains.
  // The listener samples every 30 s; the pace of the reads only shapes the picture.
  const auto tmTrafficEnd = std::chrono::steady_clock::now() + kTrafficTime;
  size_t unSamples = 0;
  for (uint32_t unRead = 0;
       unSamples < kTrafficSamples && std::chrono::steady_clock::now() < tmTrafficEnd; ++unRead) {
    logServer.SetStatus(unSamples >= 3 && unSamples < 6 ? 503 : 200);
    ASSERT_EQ(reader.ReadCard(Login(), &result, kWait), ReadStatus::Ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000 + 1000 * (unRead % 4)));
    status = nlohmann::json::parse(GetHttp(unStatusPort, "/status").strBody, nullptr, false);
    unSamples = status.is_discarded() ? unSamples : status["history"].size();
  }
  logServer.SetStatus(200);
  ASSERT_GE(unSamples, kTrafficSamples) << status.dump();
  const char* szWindow = std::getenv("CARDGATE_STATUS_SCREENSHOT_WINDOW");
  const std::string strWindow = szWindow != nullptr && *szWindow != '\0' ? szWindow : "1200,1400";
  std::remove(szPicture);
  std::string strOutput;
  ASSERT_EQ(RunChromium(browserDir.Path(), "picture",
                        "--hide-scrollbars --window-size=" + ShellQuoted(strWindow) +
                            " --screenshot=" + ShellQuoted(szPicture) + " " + ShellQuoted(strUrl),
                        &strOutput),
            0)
      << strOutput << ReadFile(browserDir.File("chromium.err"));
  EXPECT_EQ(ReadFile(szPicture).substr(0, sizeof kPngSignature - 1), kPngSignature)
      << szPicture << " is not a PNG picture";
}
