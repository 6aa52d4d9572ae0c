// The gateway's command-line mode, run as a separate process against in-process module
// controllers.
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "gateway_fixture.h"
#include "mcu_sim.h"
#include "support/process.h"
#include "support/test_util.h"

namespace {

// Generous: the suite may run under an emulator; a reset alone waits five seconds.
constexpr std::chrono::seconds kExitDeadline(90);

struct Entry {
  std::string strIp;
  uint16_t unVelmPort;
};

// A run directory with a copy of the gateway and a SamvList.ini of the given entries.
class CliRun {
 public:
  explicit CliRun(const std::vector<Entry>& arrEntries) {
    boost::filesystem::copy_file(CARDGATE_EXE, m_dir.File("cardgate"),
                                 boost::filesystem::copy_options::overwrite_existing);
    std::string s = "[IP_LIST]\nSAMV_COUNT=" + std::to_string(arrEntries.size()) + "\n";
    for (size_t i = 0; i < arrEntries.size(); ++i) {
      std::string n = std::to_string(i);
      s += "IP" + n + "=" + arrEntries[i].strIp + "\nPORT" + n + "=" + std::to_string(16000 + i) +
           "\nVELM_PORT" + n + "=" + std::to_string(arrEntries[i].unVelmPort) + "\n";
    }
    m_dir.Write("SamvList.ini", s);
  }

  // Runs the gateway with the arguments, a newline waiting on its standard input, until it
  // exits (killed at the deadline). True when it exited in time.
  bool Run(const std::vector<std::string>& args) {
    // A gateway that fails at start-up may be gone before its newline is written; that must
    // end the write, not this test process.
    signal(SIGPIPE, SIG_IGN);
    m_upProcess.reset(new ChildProcess(m_dir.File("cardgate"), args, m_dir.Path()));
    m_upProcess->WriteStdin("\n");
    return m_upProcess->Wait(kExitDeadline, &m_nStatus);
  }

  int Status() const { return m_nStatus; }
  std::string Output() { return m_upProcess->Output(); }
  std::string Errors() { return m_upProcess->Errors(); }
  // The part of the output after the start-up lines: what the command wrote.
  std::string CommandOutput() {
    std::string s = Output();
    size_t pos = s.find("Press any key to exit!\n");
    return pos == std::string::npos ? std::string() : s.substr(pos + 23);
  }

 private:
  TempDir m_dir;
  std::unique_ptr<ChildProcess> m_upProcess;
  int m_nStatus = -1;
};

std::string At(const std::string& strIp, const CMcuSim& sim) {
  return strIp + ":" + std::to_string(sim.Port());
}

McuRtcRecord Clock(const char* szText) {
  McuRtcRecord rec = {};
  EXPECT_TRUE(CMcuSim::ParseClock(szText, &rec)) << szText;
  return rec;
}

// Positions of the texts in the output, in the order given; npos for a missing one.
std::vector<size_t> Positions(const std::string& strOut, const std::vector<std::string>& arrTexts) {
  std::vector<size_t> arrPos;
  for (const std::string& t : arrTexts) {
    arrPos.push_back(strOut.find(t));
  }
  return arrPos;
}

TEST(CliTest, CommandWordsReachOneModuleOrAll) {
  CMcuSim first(0, "127.0.0.1");
  CMcuSim second(0, "127.0.0.2");
  first.SetSerialNo({0x01, 0xA2, 0xFF});
  second.SetSerialNo({0xBE, 0xEF});
  first.SetClock(Clock("2026-03-04 05:06:07"), true);
  second.SetClock(Clock("2025-01-02 03:04:05"), true);
  first.Start();
  second.Start();
  CliRun run({{"127.0.0.1", first.Port()}, {"127.0.0.2", second.Port()}});

  const std::string strSerialA =
      "GetMcuSerailNo " + At("127.0.0.1", first) + "  McuSerialNo 01A2FF";
  const std::string strSerialB = "GetMcuSerailNo " + At("127.0.0.2", second) + "  McuSerialNo BEEF";
  const std::string strRtcB = "Rtc " + At("127.0.0.2", second) + "  2025-01-02 03:04:05";
  const std::string strRtcA = "Rtc " + At("127.0.0.1", first) + "  2026-03-04 05:06:07";
  const std::string strSetA = "SetMcuRtc " + At("127.0.0.1", first) + "  ";
  struct Case {
    const char* szName;
    std::vector<std::string> args;
    std::vector<std::string> arrExpected;  // in this order, after the start-up lines
    uint32_t unFirstRequests;
    uint32_t unSecondRequests;
  } const cases[] = {
      {"build time", {"GetLibBuildTime"}, {"[BuildTime 2023-09-24 06:45:01]"}, 0, 0},
      {"serial number, all modules", {"getmcuserailno"}, {strSerialA, strSerialB}, 1, 1},
      {"clock of one address", {"127.0.0.2", "GETMCURTC"}, {strRtcB}, 0, 1},
      {"clock of the other, with a port", {"127.0.0.1", "31213", "getmcurtc"}, {strRtcA}, 1, 0},
      {"empty address as an argument", {"", "0", "GETMCURTC"}, {strRtcA, strRtcB}, 1, 1},
      {"address that matches none", {"127.0.0.3", "GETMCURTC"}, {}, 0, 0},
      {"unknown word", {"GETTIME"}, {}, 0, 0},
      {"four arguments fall back to the defaults", {"", "0", "GETMCURTC", "x"}, {}, 0, 0},
      {"set the clock of one address (last: it moves the clock)",
       {"127.0.0.1", "0", "SetMcuRtc"},
       {strSetA},
       1,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szName);
    uint32_t unFirst = first.Requests();
    uint32_t unSecond = second.Requests();
    ASSERT_TRUE(run.Run(c.args)) << run.Output();
    EXPECT_EQ(run.Status(), 0) << run.Errors();
    std::string strOut = run.CommandOutput();
    std::vector<size_t> arrPos = Positions(strOut, c.arrExpected);
    for (size_t i = 0; i < arrPos.size(); ++i) {
      EXPECT_NE(arrPos[i], std::string::npos) << c.arrExpected[i] << "\n" << run.Output();
      if (i > 0) {
        EXPECT_LT(arrPos[i - 1], arrPos[i]) << "out of order\n" << run.Output();
      }
    }
    if (c.arrExpected.empty()) {
      EXPECT_EQ(strOut, "") << run.Output();
    }
    EXPECT_EQ(first.Requests() - unFirst, c.unFirstRequests);
    EXPECT_EQ(second.Requests() - unSecond, c.unSecondRequests);
  }
  EXPECT_TRUE(first.HasClockSet());
  EXPECT_FALSE(second.HasClockSet());
}

TEST(CliTest, SilentModuleFailsAndTheWalkGoesOn) {
  CMcuSim first;
  CMcuSim silent;
  CMcuSim third;
  silent.SetMode(McuSimMode::Silent);
  first.Start();
  silent.Start();
  third.Start();
  CliRun run(
      {{"127.0.0.1", first.Port()}, {"127.0.0.1", silent.Port()}, {"127.0.0.1", third.Port()}});
  ASSERT_TRUE(run.Run({"GETMCURTC"})) << run.Output();
  EXPECT_EQ(run.Status(), 0);
  std::vector<size_t> arrPos =
      Positions(run.CommandOutput(), {"Rtc " + At("127.0.0.1", first) + "  ",
                                      At("127.0.0.1", silent) + " GetMcuRtc FALSE]",
                                      "Rtc " + At("127.0.0.1", third) + "  "});
  for (size_t p : arrPos) {
    EXPECT_NE(p, std::string::npos) << run.Output();
  }
  EXPECT_LT(arrPos[0], arrPos[1]);
  EXPECT_LT(arrPos[1], arrPos[2]);
  EXPECT_EQ(silent.GetRtcRequests(), 1u);
}

// One late reply once spoiled every later exchange of the walk (each took the reply meant for
// the one before), and a stranger's datagram could stand in for a module's answer. Here the
// first module answers 1.2 s late, while the second, slow too, is still awaited; and a stranger
// answers the request to the third before it does: the first fails, the others are read.
TEST(CliTest, LateReplyAndStrangerSpoilNoOtherExchange) {
  CMcuSim late(0, "127.0.0.1");
  CMcuSim second(0, "127.0.0.2");
  CMcuSim third(0, "127.0.0.3");
  CMcuSim fourth(0, "127.0.0.4");
  late.DelayNextReply(std::chrono::milliseconds(1200));
  second.DelayNextReply(std::chrono::milliseconds(500));
  third.SetStrayReplyFirst(true);
  for (CMcuSim* pSim : {&late, &second, &third, &fourth}) {
    pSim->Start();
  }
  CliRun run({{"127.0.0.1", late.Port()},
              {"127.0.0.2", second.Port()},
              {"127.0.0.3", third.Port()},
              {"127.0.0.4", fourth.Port()}});
  ASSERT_TRUE(run.Run({"GETMCURTC"})) << run.Output();
  EXPECT_EQ(run.Status(), 0);
  std::vector<size_t> arrPos =
      Positions(run.CommandOutput(), {At("127.0.0.1", late) + " GetMcuRtc FALSE]",
                                      "Rtc " + At("127.0.0.2", second) + "  ",
                                      "ignored: waiting for " + At("127.0.0.3", third),
                                      "Rtc " + At("127.0.0.3", third) + "  ",
                                      "Rtc " + At("127.0.0.4", fourth) + "  "});
  for (size_t i = 0; i < arrPos.size(); ++i) {
    EXPECT_NE(arrPos[i], std::string::npos) << i << "\n" << run.Output();
    if (i > 0) {
      EXPECT_LT(arrPos[i - 1], arrPos[i]) << "out of order\n" << run.Output();
    }
  }
  EXPECT_EQ(late.RepliesSent(), 1u);  // during the wait for the second
  EXPECT_EQ(third.StraysSent(), 1u);
}

// A module is chosen by its whole address: an argument that only begins with a module's address
// (here one that fills the 31 characters of the field) must not reach that module.
TEST(CliTest, AddressArgumentIsComparedWhole) {
  const std::string strIp(31, '9');  // not an address: the command fails at once, naming it
  CliRun run({{strIp, 9}});
  struct Case {
    std::string strArgument;
    bool bSelected;
  } const cases[] = {{strIp, true}, {strIp + "9", false}, {strIp + "99999", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.strArgument);
    ASSERT_TRUE(run.Run({c.strArgument, "GETMCURTC"})) << run.Output();
    EXPECT_EQ(run.Status(), 0);
    EXPECT_EQ(run.CommandOutput().find(strIp + ":9 GetMcuRtc FALSE]") != std::string::npos,
              c.bSelected)
        << run.Output();
  }
}

TEST(CliTest, ResetOfAllModulesWaitsForTheController) {
  CMcuSim sim;
  sim.Start();
  CliRun run({{"127.0.0.1", sim.Port()}});
  ASSERT_TRUE(run.Run({"resetmcu"})) << run.Output();
  EXPECT_EQ(run.Status(), 0);
  std::vector<size_t> arrPos =
      Positions(run.CommandOutput(),
                {"GetMcuSerailNo " + At("127.0.0.1", sim) + "  ResetMcu]", "Wait 5 Second]"});
  EXPECT_NE(arrPos[0], std::string::npos) << run.Output();
  EXPECT_NE(arrPos[1], std::string::npos) << run.Output();
  EXPECT_LT(arrPos[0], arrPos[1]);
  EXPECT_EQ(sim.Resets(), 1u);
}

TEST(CliTest, SecondInstanceFailsWhileTheDevicePortIsTaken) {
  GatewayRun gateway;  // a running gateway holds the device port
  ASSERT_TRUE(gateway.Start()) << gateway.Process().Output();

  CMcuSim sim;
  sim.Start();
  CliRun run({{"127.0.0.1", sim.Port()}});
  ASSERT_TRUE(run.Run({"GETMCURTC"})) << run.Output();
  EXPECT_NE(run.Status(), 0);
  EXPECT_NE(run.Errors(), "");
  EXPECT_EQ(run.Output().find("Press any key to exit!"), std::string::npos) << run.Output();
  EXPECT_EQ(sim.Requests(), 0u);
}

}  // namespace
