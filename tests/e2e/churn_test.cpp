// A few hundred device connections, in bursts that find the only server busy and one at a time
// that find it free, ending every way a device can end: the built gateway is left with the
// descriptors and threads it had before, and still serves.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_rig.h"

namespace {

constexpr int kRounds = 20;
constexpr int kBurst = 10;      // devices at once: one is paired, the others get the busy reply
constexpr int kOneByOne = 100;  // devices one after another

// How a churning device ends its connection.
void EndDevice(CDeviceSimClient& device, int nWay) {
  switch (nWay % 4) {
    case 0:
      device.Close(CloseMode::Normal);
      break;
    case 1:
      device.Close(CloseMode::Reset);
      break;
    case 2:
      // The gateway ends the connection once it sees the end of the device's stream.
      device.Close(CloseMode::HalfClose);
      (void)device.WaitForClose(FaultRig::kDeviceTimeout);
      device.Close(CloseMode::Normal);
      break;
    default:
      break;  // the destructor closes it
  }
}

}  // namespace

TEST(ChurnTest, DeviceChurnLeavesNoDescriptorOrThreadBehind) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  FaultRig rig;
  // No log server: the card records are not kept, and no upload connection comes and goes.
  ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, 0));
  const std::string strProc = "/proc/" + std::to_string(rig.Gateway().Process().Pid());

  // Warm-up: one card read, so that what the gateway keeps for good exists (the sockets' I/O
  // services) before the baseline is taken.
  rig.ExpectFreshDeviceReadsCard();
  ASSERT_TRUE(rig.WaitForLogCount("BUSY 0 FREE 1 ERROR 0", 1, FaultRig::kDeviceTimeout))
      << rig.Output();
  const int nBaseFds = CountProcEntries(strProc + "/fd");
  const int nBaseThreads = CountProcEntries(strProc + "/task");
  ASSERT_GT(nBaseFds, 0);
  ASSERT_GT(nBaseThreads, 0);

  int nConnections = 0;
  for (int nRound = 0; nRound < kRounds; ++nRound) {
    std::vector<std::unique_ptr<CDeviceSimClient>> burst;
    for (int i = 0; i < kBurst; ++i) {
      burst.emplace_back(new CDeviceSimClient());
      ASSERT_TRUE(rig.Connect(*burst.back()));
      ++nConnections;
    }
    for (int i = 0; i < kBurst; ++i) {
      if (i % 2 == 0) {
        // Answered by the server or refused as busy: either is fine here.
        (void)burst[i]->SendLogin(rig.NextLogin(), FaultRig::kDeviceTimeout);
      }
      EndDevice(*burst[i], nRound + i);
    }
  }
  for (int i = 0; i < kOneByOne; ++i) {
    CDeviceSimClient device;
    ASSERT_TRUE(rig.Connect(device));
    ++nConnections;
    if (i % 3 == 0) {
      (void)device.SendLogin(rig.NextLogin(), FaultRig::kDeviceTimeout);
    }
    EndDevice(device, i);
  }
  EXPECT_EQ(nConnections, kRounds * kBurst + kOneByOne);

  // Every connection went through the accept loop (a device that reset while still waiting in
  // the backlog fails there, on its peer address); once the last one is let go, the gateway is
  // back where it was.
  ASSERT_TRUE(WaitFor(
      [&] {
        return rig.Gateway().CountLog("Device Accept Ip:") +
                   rig.Gateway().CountLog("FUNCTION ThreadLoop  LINE 127 Exception:") >=
               static_cast<size_t>(nConnections) + 1;
      },
      FaultRig::kUploadDeadline))
      << rig.Output();
  std::string strWhy;
  EXPECT_TRUE(WaitForProcCountsAtMost(strProc, nBaseFds, nBaseThreads, "baseline",
                                      FaultRig::kUploadDeadline, &strWhy))
      << strWhy;
  EXPECT_GT(rig.Gateway().CountLog("GetFreeTcpClient False"), 0u);  // some found the server busy

  // Descriptor and thread counts can be back before the last paired device's release has been
  // reported: wait for the pool report of that release, the last one once every accept is done.
  // Each accept line is followed by a pool report of its own (the module taken, or none free),
  // written a moment later: until that report is in, the last report read may be an older
  // release's, with the last device still holding the module.
  ASSERT_TRUE(WaitFor(
      [&] {
        std::string strOut = rig.Output();
        size_t unLast = strOut.rfind("[BUSY ");
        const size_t unLastAccept = strOut.rfind("Device Accept Ip:");
        return unLast != std::string::npos &&
               (unLastAccept == std::string::npos || unLast > unLastAccept) &&
               strOut.compare(unLast, 23, "[BUSY 0 FREE 1 ERROR 0]") == 0;
      },
      FaultRig::kDeviceTimeout))
      << rig.Output();
  rig.ExpectFreshDeviceReadsCard();
  rig.ExpectGatewaySound();
}
