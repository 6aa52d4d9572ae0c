// Readers and modules that hold a session without using it: the gateway ends such sessions
// within its limits, and the module serves the next reader.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_rig.h"
#include "mcu_sim.h"

TEST(SessionLimitsTest, SilentReadersAreClosedAfterTheIdleLimitAndARealReaderIsServed) {
  std::unique_ptr<CSamvSim> upFirst = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CSamvSim> upSecond = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{upFirst->Port(), 0}, {upSecond->Port(), 0}}, upLog->Port(),
                        "[DEVICE]\nIDLE_TIMEOUT_S=1\n"));

  // Two connections that never send a byte hold both modules; a third reader is turned away.
  CDeviceSimClient silent[2];
  for (CDeviceSimClient& device : silent) {
    ASSERT_TRUE(rig.Connect(device));
  }
  ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 2 FREE 0", FaultRig::kDeviceTimeout)) << rig.Output();
  {
    CDeviceSimClient turnedAway;
    ASSERT_TRUE(rig.Connect(turnedAway));
    EXPECT_EQ(turnedAway.WaitForClose(FaultRig::kDeviceTimeout), ReadStatus::Closed);
  }
  // After the limit both are closed, each named in the run log, and the modules are free.
  for (CDeviceSimClient& device : silent) {
    EXPECT_EQ(device.WaitForClose(FaultRig::kDeviceTimeout), ReadStatus::Closed) << rig.Output();
  }
  EXPECT_TRUE(rig.WaitForLogCount("sent nothing for 1 s: connection closed", 2,
                                  FaultRig::kDeviceTimeout))
      << rig.Output();
  EXPECT_EQ(rig.Gateway().CountLog("[Device Idle Ip:127.0.0.1 Port: "), 2u) << rig.Output();
  ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 0 FREE 2 ERROR 0", FaultRig::kDeviceTimeout))
      << rig.Output();

  // A reader that reads cards within the limit is served, and more than once.
  CDeviceSimClient reader;
  ASSERT_TRUE(rig.Connect(reader));
  ASSERT_TRUE(rig.ReadCard(reader));
  ASSERT_TRUE(rig.ReadCard(reader));
  reader.Close();
  rig.ExpectEveryCardUploaded({upLog.get()});
}

// Connections that never log in but send a byte now and then (never idle) hold their modules
// only for DEVICE.LOGIN_TIMEOUT_S; a reader that logged in at once keeps its module past it.
TEST(SessionLimitsTest, ConnectionsThatNeverLogInAreClosedAfterTheLogInLimit) {
  std::unique_ptr<CSamvSim> upSamv[3];
  std::vector<GatewayRun::Module> arrModules;
  for (auto& upModule : upSamv) {
    upModule = FaultRig::StartSamv(SamvSimMode::Card);
    arrModules.push_back({upModule->Port(), 0});
  }
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FaultRig rig;
  ASSERT_TRUE(rig.Start(arrModules, upLog->Port(), "[DEVICE]\nLOGIN_TIMEOUT_S=2\n"));

  CDeviceSimClient reader;
  ASSERT_TRUE(rig.Connect(reader));
  ASSERT_TRUE(rig.ReadCard(reader));
  CDeviceSimClient strays[2];
  for (CDeviceSimClient& stray : strays) {
    ASSERT_TRUE(rig.Connect(stray));
  }
  ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 3 FREE 0", FaultRig::kDeviceTimeout)) << rig.Output();
  {
    CDeviceSimClient turnedAway;
    ASSERT_TRUE(rig.Connect(turnedAway));
    EXPECT_EQ(turnedAway.WaitForClose(FaultRig::kDeviceTimeout), ReadStatus::Closed);
  }
  // A byte from each stray every half second or so, until the gateway has closed both.
  bool bOpen[2] = {true, true};
  const auto tmDeadline = std::chrono::steady_clock::now() + FaultRig::kDeviceTimeout;
  while ((bOpen[0] || bOpen[1]) && std::chrono::steady_clock::now() < tmDeadline) {
    for (int i = 0; i < 2; ++i) {
      const uint8_t byNoise = 0x5A;
      if (bOpen[i] && (!strays[i].Send(&byNoise, 1) ||
                       strays[i].WaitForClose(std::chrono::milliseconds(250)) ==
                           ReadStatus::Closed)) {
        bOpen[i] = false;
      }
    }
  }
  EXPECT_FALSE(bOpen[0] || bOpen[1]) << rig.Output();
  EXPECT_TRUE(rig.WaitForLogCount("did not log in within 2 s: connection closed", 2,
                                  FaultRig::kDeviceTimeout))
      << rig.Output();
  EXPECT_EQ(rig.Gateway().CountLog("[Device Ip:127.0.0.1 Port: "), 2u) << rig.Output();
  ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 1 FREE 2", FaultRig::kDeviceTimeout)) << rig.Output();

  // The reader that logged in at once is past the limit too, and reads on; a new reader is served.
  ASSERT_TRUE(rig.ReadCard(reader)) << rig.Output();
  CDeviceSimClient next;
  ASSERT_TRUE(rig.Connect(next));
  ASSERT_TRUE(rig.ReadCard(next)) << rig.Output();
  reader.Close();
  next.Close();
  rig.ExpectEveryCardUploaded({upLog.get()});
}

// A released module keeps nothing of its former reader: once every reader has left, however it
// left, the gateway has the descriptors and threads it started with.
TEST(SessionLimitsTest, DescriptorsReturnToTheStartUpCountOnceEveryReaderHasLeft) {
  std::unique_ptr<CSamvSim> upFirst = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CSamvSim> upSecond = FaultRig::StartSamv(SamvSimMode::Card);
  FaultRig rig;
  // No log server: no upload connection comes and goes.
  ASSERT_TRUE(rig.Start({{upFirst->Port(), 0}, {upSecond->Port(), 0}}, 0));
  const std::string strProc = "/proc/" + std::to_string(rig.Gateway().Process().Pid());
  const int nStartFds = CountProcEntries(strProc + "/fd");
  const int nStartThreads = CountProcEntries(strProc + "/task");
  ASSERT_GT(nStartFds, 0);
  ASSERT_GT(nStartThreads, 0);

  size_t unRounds = 0;
  for (CloseMode eMode : {CloseMode::Normal, CloseMode::Reset, CloseMode::HalfClose}) {
    // Both modules serve a reader at once, so both are released.
    CDeviceSimClient readers[2];
    for (CDeviceSimClient& reader : readers) {
      ASSERT_TRUE(rig.Connect(reader));
      ASSERT_TRUE(rig.ReadCard(reader));
    }
    for (CDeviceSimClient& reader : readers) {
      reader.Close(eMode);
      if (eMode == CloseMode::HalfClose) {
        EXPECT_EQ(reader.WaitForClose(FaultRig::kDeviceTimeout), ReadStatus::Closed);
        reader.Close();
      }
    }
    ASSERT_TRUE(rig.WaitForLogCount("BUSY 0 FREE 2 ERROR 0", ++unRounds, FaultRig::kDeviceTimeout))
        << rig.Output();
  }
  ASSERT_TRUE(rig.WaitForLogCount("Device Disconnect", 6, FaultRig::kDeviceTimeout))
      << rig.Output();
  std::string strWhy;
  EXPECT_TRUE(WaitForProcCountsAtMost(strProc, nStartFds, nStartThreads, "at start-up",
                                      FaultRig::kDeviceTimeout, &strWhy))
      << strWhy;
  rig.ExpectFreshDeviceReadsCard();
  rig.ExpectGatewaySound();
}

// A module whose decode service accepts a card read and never answers: after the answer limit
// the reader is closed, the module goes to ERROR and is reset over its management port, and the
// next reader is paired with another module.
TEST(SessionLimitsTest, ModuleThatDoesNotAnswerGoesToErrorAndIsReset) {
  std::unique_ptr<CMcuSim> upMcu(new CMcuSim(0));
  upMcu->Start();
  std::unique_ptr<CSamvSim> upSilent = FaultRig::StartSamv(SamvSimMode::Silent);
  std::unique_ptr<CSamvSim> upGood = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{upSilent->Port(), upMcu->Port()}, {upGood->Port(), 0}}, upLog->Port(),
                        "[SAMV]\nANSWER_TIMEOUT_S=1\n"));

  CDeviceSimClient first;
  ASSERT_TRUE(rig.Connect(first));
  ASSERT_TRUE(first.SendLogin(rig.NextLogin(), FaultRig::kDeviceTimeout));
  EXPECT_EQ(first.WaitForClose(FaultRig::kDeviceTimeout), ReadStatus::Closed) << rig.Output();
  EXPECT_TRUE(rig.Gateway().WaitForLog("gave no answer in time", FaultRig::kDeviceTimeout))
      << rig.Output();
  ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 0 FREE 1 ERROR 1", FaultRig::kDeviceTimeout))
      << rig.Output();

  // The next reader gets the working module; the silent one is reset by the retry step.
  rig.ExpectFreshDeviceReadsCard();
  EXPECT_EQ(upGood->Accepted(), 1u);
  EXPECT_TRUE(WaitFor([&] { return upMcu->Resets() >= 1; }, FaultRig::kUploadDeadline))
      << rig.Output();
  rig.ExpectEveryCardUploaded({upLog.get()});
}
