#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "config/run_log.h"
#include "core/data_switch.h"
#include "mcu_sim.h"
#include "mgmt/module_clock.h"
#include "support/test_util.h"

namespace {

using boost::posix_time::hours;
using boost::posix_time::microseconds;
using boost::posix_time::milliseconds;
using boost::posix_time::minutes;
using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::time_from_string;

// The gateway's clock as the tests set it (main thread only).
ptime g_tmFake;
ptime FakeClock() {
  return g_tmFake;
}

McuRtcRecord Rtc(const std::string& strText) {
  McuRtcRecord rec = {};
  EXPECT_TRUE(CMcuSim::ParseClock(strText, &rec)) << strText;
  return rec;
}

std::vector<uint8_t> RtcBytes(const McuRtcRecord& rec) {
  uint8_t arr[McuRtcLayout::kSize];
  EncodeMcuRtc(rec, arr);
  return std::vector<uint8_t>(arr, arr + sizeof(arr));
}

// The texts of the run-log lines in captured output, with the source line numbers replaced by
// "#" so that tests compare whole messages.
std::vector<std::string> Messages(const std::string& strOut) {
  static const std::regex kLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}(\.\d{6})? \[(.*)\]$)");
  static const std::regex kLineNo(R"(  LINE \d+ )");
  std::vector<std::string> arrTexts;
  size_t pos = 0;
  while (pos < strOut.size()) {
    size_t end = strOut.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated line: " << strOut.substr(pos);
      break;
    }
    std::smatch m;
    std::string strLine = strOut.substr(pos, end - pos);
    if (std::regex_match(strLine, m, kLine)) {
      arrTexts.push_back(std::regex_replace(m[2].str(), kLineNo, "  LINE # "));
    } else {
      ADD_FAILURE() << "not a run-log line: " << strLine;
    }
    pos = end + 2;
  }
  return arrTexts;
}

// A data switch in command mode over SamvList.ini entries that point at in-process controllers.
class CModuleCommandsTest : public ::testing::Test {
 protected:
  void TearDown() override { SetLocalClockSource(nullptr); }

  // Starts a controller and returns it; its port goes into the entries the test writes.
  CMcuSim& AddSim(McuSimMode mode = McuSimMode::Normal) {
    m_arrSims.emplace_back(new CMcuSim());
    m_arrSims.back()->SetMode(mode);
    m_arrSims.back()->Start();
    return *m_arrSims.back();
  }

  // Writes SamvList.ini with the (IP, VELM_PORT) entries and builds the data switch.
  void Load(const std::vector<std::pair<std::string, uint32_t>>& arrEntries) {
    std::string strIni = "[IP_LIST]\nSAMV_COUNT=" + std::to_string(arrEntries.size()) + "\n";
    for (size_t i = 0; i < arrEntries.size(); ++i) {
      std::string n = std::to_string(i);
      strIni += "IP" + n + "=" + arrEntries[i].first + "\nPORT" + n + "=" +
                std::to_string(16000 + i) + "\nVELM_PORT" + n + "=" +
                std::to_string(arrEntries[i].second) + "\n";
    }
    m_dir.Write("SamvList.ini", strIni);
    testing::internal::CaptureStdout();
    m_upSwitch.reset(new DataSwitch(m_dir.Path(), 0));
    bool bOk = m_upSwitch->DataSwitchInit(false);
    (void)testing::internal::GetCapturedStdout();
    ASSERT_TRUE(bOk);
    ASSERT_EQ(m_upSwitch->m_arrSamvList.size(), arrEntries.size());
  }

  template <typename Fn>
  std::vector<std::string> Logged(Fn fn) {
    testing::internal::CaptureStdout();
    fn();
    return Messages(testing::internal::GetCapturedStdout());
  }

  DataSwitch& Switch() { return *m_upSwitch; }

  static std::string At(const CMcuSim& sim) { return "127.0.0.1:" + std::to_string(sim.Port()); }

  TempDir m_dir;
  std::vector<std::unique_ptr<CMcuSim>> m_arrSims;
  std::unique_ptr<DataSwitch> m_upSwitch;
};

TEST_F(CModuleCommandsTest, DispatcherRunsOnlyTheExactCommandWords) {
  CMcuSim& sim = AddSim();
  sim.SetSerialNo({0x01, 0xA2, 0xFF});
  sim.SetClock(Rtc("2026-03-04 05:06:07"), true);
  g_tmFake = time_from_string("2026-05-06 10:11:50");
  SetLocalClockSource(&FakeClock);
  Load({{"127.0.0.1", sim.Port()}});
  const std::string strSerial = "FUNCTION ProcessVelmApiGetMcuSerailNo  LINE # GetMcuSerailNo " +
                                At(sim) + "  McuSerialNo 01A2FF";
  const std::string strRtc =
      "FUNCTION ProcessVelmApiGetMcuRtc  LINE # Rtc " + At(sim) + "  2026-03-04 05:06:07";
  const std::string strSet =
      "FUNCTION ProcessVelmApiSetMcuRtc  LINE # SetMcuRtc " + At(sim) + "  2026-05-06 10:11:50";
  struct Case {
    const char* szWord;
    std::vector<std::string> arrExpected;
    uint32_t unRequests;
  } const cases[] = {
      {"GETLIBBUILDTIME", {"BuildTime 2023-09-24 06:45:01"}, 0},
      {"GETMCUSERAILNO", {strSerial}, 1},
      {"GETMCURTC", {strRtc}, 1},
      {"SETMCURTC", {strSet}, 1},
      {"GETRTC", {}, 0},  // the command line's default word
      {"getmcurtc", {}, 0},
      {"GETMCURTC ", {}, 0},
      {"", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szWord);
    sim.SetClock(Rtc("2026-03-04 05:06:07"), true);
    uint32_t unBefore = sim.Requests();
    EXPECT_EQ(Logged([&] { Switch().ProcessVelmApiCommand("", 0, c.szWord); }), c.arrExpected);
    EXPECT_EQ(sim.Requests() - unBefore, c.unRequests);
  }
  EXPECT_EQ(sim.SerialNoRequests(), 1u);
  EXPECT_EQ(sim.GetRtcRequests(), 1u);
  EXPECT_EQ(sim.SetRtcRequests(), 1u);
  EXPECT_EQ(RtcBytes(sim.LastClockSet()), RtcBytes(Rtc("2026-05-06 10:11:50")));

  // Null texts do nothing; the port argument plays no part in the selection.
  EXPECT_TRUE(Logged([&] { Switch().ProcessVelmApiCommand(nullptr, 0, "GETMCURTC"); }).empty());
  EXPECT_TRUE(Logged([&] { Switch().ProcessVelmApiCommand("", 0, nullptr); }).empty());
  EXPECT_EQ(Logged([&] { Switch().ProcessVelmApiCommand("127.0.0.1", 31213, "GETMCURTC"); }),
            std::vector<std::string>{strRtc});
}

TEST_F(CModuleCommandsTest, AllModulesAreWalkedInOrderPastASilentOne) {
  CMcuSim& first = AddSim();
  CMcuSim& silent = AddSim(McuSimMode::Silent);
  CMcuSim& third = AddSim();
  McuRtcRecord stFirst = Rtc("2026-03-04 05:06:07");
  const uint8_t arrOpaque[5] = {1, 2, 3, 4, 5};
  std::memcpy(stFirst.arrOpaque, arrOpaque, sizeof(arrOpaque));
  first.SetClock(stFirst, true);
  third.SetClock(Rtc("2025-12-31 23:59:58"), true);
  Load({{"127.0.0.1", first.Port()}, {"127.0.0.1", silent.Port()}, {"127.0.0.1", third.Port()}});

  std::vector<std::string> arrLog = Logged([&] { Switch().ProcessVelmApiGetMcuRtc("", 0); });
  const std::string strHead = "FUNCTION ProcessVelmApiGetMcuRtc  LINE # ";
  EXPECT_EQ(arrLog, (std::vector<std::string>{
                        strHead + "Rtc " + At(first) + "  2026-03-04 05:06:07",
                        strHead + At(silent) + " GetMcuRtc FALSE",
                        strHead + "Rtc " + At(third) + "  2025-12-31 23:59:58",
                    }));
  // One record serves the walk: the third module is asked with what the first one returned.
  std::vector<uint8_t> arrPayload = {0x00};
  std::vector<uint8_t> arrRecord = RtcBytes(stFirst);
  arrPayload.insert(arrPayload.end(), arrRecord.begin(), arrRecord.end());
  EXPECT_EQ(third.LastRequest().arrPayload, arrPayload);
  EXPECT_EQ(silent.GetRtcRequests(), 1u);
}

TEST_F(CModuleCommandsTest, AddressSelectsExactMatchesAndNullEntriesAreReported) {
  CMcuSim& a = AddSim();
  CMcuSim& b = AddSim();
  CMcuSim& c = AddSim();
  a.SetSerialNo({0xAA});
  c.SetSerialNo({0xCC});
  // b's entry names another address, so it must never be asked.
  Load({{"127.0.0.1", a.Port()}, {"127.0.0.2", b.Port()}, {"127.0.0.1", c.Port()}});
  Switch().m_arrSamvList.insert(Switch().m_arrSamvList.begin() + 2, nullptr);

  const std::string strHead = "FUNCTION ProcessVelmApiGetMcuSerailNo  LINE # ";
  const std::string strNull = strHead + "m_arrSamvList have NULL";
  struct Case {
    const char* szAddress;
    std::vector<std::string> arrExpected;
  } const cases[] = {
      {"127.0.0.1",
       {strHead + "GetMcuSerailNo " + At(a) + "  McuSerialNo AA", strNull,
        strHead + "GetMcuSerailNo " + At(c) + "  McuSerialNo CC"}},
      {"127.0.0.10", {strNull}},
      {"127.0.0.", {strNull}},
      {" 127.0.0.1", {strNull}},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.szAddress);
    EXPECT_EQ(Logged([&] { Switch().ProcessVelmApiGetMcuSerailNo(cs.szAddress, 0); }),
              cs.arrExpected);
  }
  EXPECT_EQ(a.Requests(), 1u);
  EXPECT_EQ(b.Requests(), 0u);
  EXPECT_EQ(c.Requests(), 1u);
  EXPECT_TRUE(Logged([&] { Switch().ProcessVelmApiGetMcuSerailNo(nullptr, 0); }).empty());
}

TEST_F(CModuleCommandsTest, ClockIsSetFromTheGatewayClockAndFailuresDoNotStopTheWalk) {
  CMcuSim& refusing = AddSim(McuSimMode::Error);
  CMcuSim& good = AddSim();
  good.SetClock(Rtc("2000-01-01 00:00:00"), true);
  g_tmFake = time_from_string("2026-05-06 10:11:50.654321");
  SetLocalClockSource(&FakeClock);
  Load({{"127.0.0.1", 0}, {"127.0.0.1", refusing.Port()}, {"127.0.0.1", good.Port()}});

  const std::string strHead = "FUNCTION ProcessVelmApiSetMcuRtc  LINE # ";
  EXPECT_EQ(Logged([&] { Switch().ProcessVelmApiSetMcuRtc("", 0); }),
            (std::vector<std::string>{
                strHead + "127.0.0.1:0 SetMcuRtc FALSE",
                strHead + At(refusing) + " SetMcuRtc FALSE",
                strHead + "SetMcuRtc " + At(good) + "  2026-05-06 10:11:50",
            }));
  // A record built here carries zeros in the bytes the gateway does not interpret.
  EXPECT_EQ(RtcBytes(good.LastClockSet()), RtcBytes(Rtc("2026-05-06 10:11:50")));
  EXPECT_FALSE(refusing.HasClockSet());
  EXPECT_EQ(refusing.SetRtcRequests(), 1u);
}

TEST_F(CModuleCommandsTest, ResetWaitsAfterEveryModuleItSelects) {
  CMcuSim& first = AddSim();
  CMcuSim& other = AddSim();
  CMcuSim& silent = AddSim(McuSimMode::Silent);
  Load({{"127.0.0.1", first.Port()}, {"127.0.0.2", other.Port()}, {"127.0.0.1", silent.Port()}});

  const std::string strHead = "FUNCTION ProcessVelmApiResetMcu  LINE # ";
  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> arrLog =
      Logged([&] { Switch().ProcessVelmApiCommand("127.0.0.1", 0, "RESETMCU"); });
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(arrLog, (std::vector<std::string>{
                        strHead + "ResetMcu " + At(first) + " ",
                        strHead + "Wait 5 Second",
                        strHead + At(silent) + " ResetMcu FALSE",
                        strHead + "Wait 5 Second",
                    }));
  EXPECT_GE(elapsed, std::chrono::seconds(10)) << "each selected module gets its restart time";
  EXPECT_EQ(first.Resets(), 1u);
  EXPECT_EQ(silent.Resets(), 1u);
  EXPECT_EQ(other.Requests(), 0u);
}

// ---- hourly clock synchronisation ----

class CClockSyncTest : public CModuleCommandsTest {
 protected:
  void SetUp() override {
    g_tmFake = time_from_string("2026-05-06 10:11:50");
    SetLocalClockSource(&FakeClock);
  }
  std::vector<std::string> SyncAt(const ptime& tm) {
    g_tmFake = tm;
    return Logged([&] { Switch().ProcessSamvSetRtc(); });
  }
};

TEST_F(CClockSyncTest, FirstCallSyncsAtOnceThenOnceAnHour) {
  CMcuSim& sim = AddSim();
  sim.SetClock(Rtc("2026-05-06 10:11:05"), true);
  Load({{"127.0.0.1", sim.Port()}});
  const ptime t0 = time_from_string("2026-05-06 10:11:50");
  struct Step {
    const char* szName;
    ptime tm;
    bool bSyncs;
  } const steps[] = {
      {"first call", t0, true},
      {"100 ms later", t0 + milliseconds(100), false},
      {"59:59 later", t0 + minutes(59) + seconds(59), false},
      {"an hour less 1 us", t0 + hours(1) - microseconds(1), false},
      {"an hour later", t0 + hours(1), true},
      // The modules may have been set from the clock that was wrong: they are set again at
      // once, and the hour counts from the set back.
      {"set back a day", t0 - hours(24), true},
      {"59 minutes after the set back", t0 - hours(23) - minutes(1), false},
      {"an hour after the set back", t0 - hours(23), true},
      {"set back by a second", t0 - hours(23) - seconds(1), true},
      {"an hour less 1 us after that", t0 - hours(22) - seconds(1) - microseconds(1), false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.szName);
    McuRtcRecord stInStep = {};
    LocalTimeToMcuRtc(s.tm, &stInStep);
    sim.SetClock(stInStep, true);
    uint32_t unBefore = sim.GetRtcRequests();
    std::vector<std::string> arrLog = SyncAt(s.tm);
    EXPECT_EQ(sim.GetRtcRequests() - unBefore, s.bSyncs ? 1u : 0u);
    EXPECT_EQ(arrLog.size(), s.bSyncs ? 1u : 0u);  // the module is in step: only its "Rtc" line
  }
  EXPECT_EQ(sim.SetRtcRequests(), 0u) << "the module was in step throughout";
}

TEST_F(CClockSyncTest, ModuleIsSetWhenTheMinuteDiffers) {
  struct Case {
    const char* szModule;
    const char* szGateway;
    bool bSet;
  } const cases[] = {
      {"2026-05-06 10:11:05", "2026-05-06 10:11:50", false},  // seconds are not compared
      {"2026-05-06 10:59:59", "2026-05-06 11:00:01", true},
      {"2000-01-01 00:00:00", "2026-05-06 10:11:50", true},  // lost its power
      {"2026-05-07 10:11:50", "2026-05-06 10:11:50", true},
      {"2025-05-06 10:11:50", "2026-05-06 10:11:50", true},
  };
  const uint8_t arrOpaque[5] = {9, 8, 7, 6, 5};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.szModule) + " vs " + c.szGateway);
    m_arrSims.clear();
    CMcuSim& sim = AddSim();
    McuRtcRecord stModule = Rtc(c.szModule);
    std::memcpy(stModule.arrOpaque, arrOpaque, sizeof(arrOpaque));
    sim.SetClock(stModule, true);
    Load({{"127.0.0.1", sim.Port()}});  // a fresh switch: its first call syncs

    const std::string strHead = "FUNCTION ProcessSamvSetRtc  LINE # ";
    std::vector<std::string> arrExpected = {strHead + "Rtc " + At(sim) + "  " + c.szModule};
    if (c.bSet) {
      arrExpected.push_back(strHead + At(sim) + " SetMcuRtc OK");
    }
    EXPECT_EQ(SyncAt(time_from_string(c.szGateway)), arrExpected);
    EXPECT_EQ(sim.HasClockSet(), c.bSet);
    if (c.bSet) {
      // The gateway's time, seconds included; the module's own bytes go back as they came.
      McuRtcRecord stExpected = Rtc(c.szGateway);
      std::memcpy(stExpected.arrOpaque, arrOpaque, sizeof(arrOpaque));
      EXPECT_EQ(RtcBytes(sim.LastClockSet()), RtcBytes(stExpected));
    }
  }
}

TEST_F(CClockSyncTest, FailuresAndNullEntriesAreLoggedAndSkipped) {
  CMcuSim& refusing = AddSim(McuSimMode::Error);
  CMcuSim& readOnly = AddSim();
  CMcuSim& good = AddSim();
  readOnly.SetClock(Rtc("2001-01-01 01:01:01"), true);
  readOnly.SetClockWritable(false);
  good.SetClock(Rtc("2002-02-02 02:02:02"), true);
  Load(
      {{"127.0.0.1", refusing.Port()}, {"127.0.0.1", readOnly.Port()}, {"127.0.0.1", good.Port()}});
  Switch().m_arrSamvList.insert(Switch().m_arrSamvList.begin() + 1, nullptr);

  const std::string strHead = "FUNCTION ProcessSamvSetRtc  LINE # ";
  EXPECT_EQ(SyncAt(time_from_string("2026-05-06 10:11:50")),
            (std::vector<std::string>{
                strHead + At(refusing) + " GetMcuRtc FALSE",
                strHead + "m_arrSamvList have NULL",
                strHead + "Rtc " + At(readOnly) + "  2001-01-01 01:01:01",
                strHead + At(readOnly) + " SetMcuRtc FALSE",
                strHead + "Rtc " + At(good) + "  2002-02-02 02:02:02",
                strHead + At(good) + " SetMcuRtc OK",
            }));
  EXPECT_EQ(RtcBytes(good.LastClockSet()), RtcBytes(Rtc("2026-05-06 10:11:50")));
  // No retry within the hour.
  EXPECT_TRUE(SyncAt(time_from_string("2026-05-06 10:41:50")).empty());
  EXPECT_EQ(refusing.Requests(), 1u);
}

// A walk over silent modules would hold the main loop a second per module: when a stop, a status
// request or a reload waits, it gives the loop back after the module at hand, and the next call
// goes on with the next module, not from the first and not an hour later.
TEST_F(CClockSyncTest, AWalkGivesTheLoopBackBetweenModulesAndGoesOnWhereItStopped) {
  CMcuSim* pSims[3] = {&AddSim(), &AddSim(), &AddSim()};
  for (CMcuSim* pSim : pSims) {
    pSim->SetClock(Rtc("2026-05-06 10:11:05"), true);
  }
  Load({{"127.0.0.1", pSims[0]->Port()},
        {"127.0.0.1", pSims[1]->Port()},
        {"127.0.0.1", pSims[2]->Port()}});
  bool bYield = true;
  Switch().m_ManagementYield.Install([&bYield] { return bYield; });
  const ptime t0 = time_from_string("2026-05-06 10:11:50");
  struct Step {
    const char* szName;
    ptime tm;
    bool bYield;
    std::vector<uint32_t> arrRequests;  // of each module, so far
  } const steps[] = {
      {"first call, a signal waits", t0, true, {1, 0, 0}},
      {"next pass", t0 + milliseconds(100), true, {1, 1, 0}},
      {"next pass", t0 + milliseconds(200), true, {1, 1, 1}},
      {"walk done", t0 + milliseconds(300), true, {1, 1, 1}},
      {"an hour later, no signal", t0 + hours(1), false, {2, 2, 2}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.szName);
    bYield = step.bYield;
    (void)SyncAt(step.tm);
    EXPECT_EQ((std::vector<uint32_t>{pSims[0]->GetRtcRequests(), pSims[1]->GetRtcRequests(),
                                     pSims[2]->GetRtcRequests()}),
              step.arrRequests);
  }
}

TEST_F(CClockSyncTest, EmptyListSendsAndLogsNothingButStarts) {
  Load({});
  EXPECT_FALSE(Switch().m_bRtcStarted);
  EXPECT_TRUE(SyncAt(time_from_string("2026-05-06 10:11:50")).empty());
  EXPECT_TRUE(Switch().m_bRtcStarted);
}

}  // namespace
