// Peers that are there but do not keep up: a reader that stops reading, a SAMV server that stops
// reading, a module that answers slowly, and readers that come while the gateway is out of
// descriptors. The built gateway frees what such a peer holds within its bounds, and leaves
// alone what is merely slow.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_rig.h"
#include "mcu_sim.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

// Built with the undefined-behaviour checker (the gateway too), which cannot work without a
// descriptor of its own.
constexpr bool kSanitizerBuild =
#ifdef CARDGATE_UBSAN_BUILD
    true;
#else
    false;
#endif

// A write that cannot progress fails after about 10 s (the gateway's fixed write bound); the
// end of the session follows at once. Generous for the router build under an emulator.
constexpr seconds kWriteBoundDeadline{30};
// Lower bound of a session ended by the write bound: well above anything else that ends it.
constexpr seconds kWriteBoundAtLeast{8};

std::unique_ptr<CSamvSim> StartSamvWith(SamvSimMode eMode, uint32_t unAnswerDelayMs = 0) {
  SamvSimOptions options;
  options.eMode = eMode;
  options.eCardKind = SamvCardKind::Text;
  options.unAnswerDelayMs = unAnswerDelayMs;
  return std::unique_ptr<CSamvSim>(new CSamvSim(options));
}

// The numbers of a process's open descriptors.
std::set<int> OpenDescriptors(const std::string& strFdDir) {
  std::set<int> setFds;
  DIR* pDir = opendir(strFdDir.c_str());
  if (pDir == nullptr) {
    return setFds;
  }
  while (dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] != '.') {
      setFds.insert(std::atoi(pEntry->d_name));
    }
  }
  closedir(pDir);
  return setFds;
}

// The lines of the run log that contain strText.
std::vector<std::string> LinesWith(const std::string& strLog, const std::string& strText) {
  std::vector<std::string> arrLines;
  size_t unStart = 0;
  while (unStart < strLog.size()) {
    size_t unEnd = strLog.find('\n', unStart);
    if (unEnd == std::string::npos) {
      unEnd = strLog.size();
    }
    std::string strLine = strLog.substr(unStart, unEnd - unStart);
    if (strLine.find(strText) != std::string::npos) {
      arrLines.push_back(strLine);
    }
    unStart = unEnd + 1;
  }
  return arrLines;
}

}  // namespace

// The module streams its answer faster than the reader takes it, and the reader takes nothing:
// the relay to the reader fails after the write bound, the reader's session ends, and the module
// (which did nothing wrong) is free for the next reader.
TEST(StalledPeerTest, ReaderThatStopsReadingLosesItsSessionWithinTheWriteBound) {
  std::unique_ptr<CSamvSim> upFlood = StartSamvWith(SamvSimMode::Flood);
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{upFlood->Port(), 0}}, 0));

  CDeviceSimClient reader;
  ASSERT_TRUE(rig.Connect(reader));
  const Clock::time_point tmStart = Clock::now();
  ASSERT_TRUE(reader.SendLogin(rig.NextLogin(), FaultRig::kDeviceTimeout));
  // The reader reads nothing from here on.
  ASSERT_TRUE(rig.Gateway().WaitForLog(
      "[FUNCTION SendData  LINE 274 Exception in thread:write: Connection timed out!]",
      kWriteBoundDeadline))
      << rig.Output();
  EXPECT_GE(Clock::now() - tmStart, kWriteBoundAtLeast);
  ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 0 FREE 1 ERROR 0", FaultRig::kDeviceTimeout))
      << rig.Output();
  EXPECT_EQ(rig.Gateway().CountLog("Device Disconnect Ip:127.0.0.1"), 1u) << rig.Output();
  EXPECT_EQ(reader.WaitForClose(FaultRig::kDeviceTimeout), ReadStatus::Closed);
  EXPECT_TRUE(WaitFor([&] { return upFlood->Closed() == 1; }, FaultRig::kDeviceTimeout));

  // The module serves the next reader (which reads its card and leaves amid the stream).
  rig.ExpectFreshDeviceReadsCard();
  EXPECT_EQ(upFlood->Accepted(), 2u);
  rig.ExpectGatewaySound();
}

// The reader keeps sending, the module takes nothing: the forward to the module fails after the
// write bound, the reader is closed, and the module, which is faulty, goes to ERROR, where the
// retry resets it; the next reader is served by the other module.
TEST(StalledPeerTest, SamvServerThatStopsReadingEndsTheSessionAndGoesToError) {
  std::unique_ptr<CMcuSim> upMcu(new CMcuSim(0));
  upMcu->Start();
  std::unique_ptr<CSamvSim> upDeaf = StartSamvWith(SamvSimMode::Deaf);
  std::unique_ptr<CSamvSim> upGood = StartSamvWith(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{upDeaf->Port(), upMcu->Port()}, {upGood->Port(), 0}}, upLog->Port()));

  CDeviceSimClient reader;  // paired with the first module of the list
  ASSERT_TRUE(rig.Connect(reader));
  ASSERT_TRUE(WaitFor([&] { return upDeaf->Accepted() == 1; }, FaultRig::kDeviceTimeout));
  // No card read among them, so the answer limit plays no part: bytes until the gateway takes no
  // more (its forward to the module is stuck).
  const std::vector<uint8_t> chunk(64 * 1024, 0x5A);
  const Clock::time_point tmStart = Clock::now();
  size_t unSent = 0;
  while (unSent < 256u * 1024 * 1024 && reader.Send(chunk, milliseconds(500))) {
    unSent += chunk.size();
  }
  ASSERT_LT(unSent, 256u * 1024 * 1024) << "the gateway never stopped taking bytes";
  ASSERT_TRUE(rig.Gateway().WaitForLog(
      "[FUNCTION SendData  LINE 285 Exception in thread:write: Connection timed out!]",
      kWriteBoundDeadline))
      << rig.Output();
  EXPECT_GE(Clock::now() - tmStart, kWriteBoundAtLeast);
  // The failed write ends the session: the reader's side releases it, or the module's receive
  // thread, seeing its connection end, closes the reader first ("... ended the session ..."),
  // whichever comes first. Either way the reader goes and the module is released.
  EXPECT_TRUE(rig.Gateway().WaitForLog("Device Disconnect Ip:127.0.0.1", FaultRig::kDeviceTimeout))
      << rig.Output();
  EXPECT_EQ(reader.WaitForClose(FaultRig::kDeviceTimeout), ReadStatus::Closed) << rig.Output();
  const Clock::time_point tmClosed = Clock::now();
  ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 0 FREE 1 ERROR 1", FaultRig::kDeviceTimeout))
      << rig.Output();
  EXPECT_LT(tmClosed - tmStart, kWriteBoundDeadline);

  rig.ExpectFreshDeviceReadsCard();
  EXPECT_EQ(upGood->Accepted(), 1u);
  EXPECT_TRUE(WaitFor([&] { return upMcu->Resets() >= 1; }, FaultRig::kUploadDeadline))
      << rig.Output();
  rig.ExpectEveryCardUploaded({upLog.get()});
}

// A module that answers every card read late, but within the answer limit, keeps serving: the
// reader gets its cards, nothing is ended, and the module stays in the pool.
TEST(StalledPeerTest, ModuleThatAnswersSlowlyWithinTheLimitIsNotTouched) {
  std::unique_ptr<CMcuSim> upMcu(new CMcuSim(0));
  upMcu->Start();
  std::unique_ptr<CSamvSim> upSlow = StartSamvWith(SamvSimMode::Card, 1500);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{upSlow->Port(), upMcu->Port()}}, upLog->Port(),
                        "[SAMV]\nANSWER_TIMEOUT_S=3\n"));
  {
    CDeviceSimClient reader;
    ASSERT_TRUE(rig.Connect(reader));
    ASSERT_TRUE(rig.ReadCard(reader));
    ASSERT_TRUE(rig.ReadCard(reader));
  }
  ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 0 FREE 1 ERROR 0", FaultRig::kDeviceTimeout))
      << rig.Output();
  rig.ExpectFreshDeviceReadsCard();
  ASSERT_TRUE(rig.WaitForLogCount("BUSY 0 FREE 1 ERROR 0", 2, FaultRig::kDeviceTimeout))
      << rig.Output();
  EXPECT_EQ(upSlow->Accepted(), 2u);
  EXPECT_EQ(upSlow->AnswersSent(), 3u);
  EXPECT_EQ(rig.Gateway().CountLog("gave no answer in time"), 0u) << rig.Output();
  EXPECT_EQ(rig.Gateway().CountLog("ended the session"), 0u) << rig.Output();
  EXPECT_EQ(rig.Gateway().CountLog("ERROR 1"), 0u) << rig.Output();
  EXPECT_EQ(upMcu->Resets(), 0u);
  rig.ExpectEveryCardUploaded({upLog.get()});
}

// Both modules are held and the gateway has no descriptor left: readers that come wait in the
// listen queue while accept fails, which the gateway reports at most once a second. Once the
// holders leave, the waiting reader is served.
TEST(StalledPeerTest, AcceptWithoutDescriptorsBacksOffAndServesOnceTheyAreFree) {
  if (kSanitizerBuild) {
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own: without one, its type "
                    "check cannot read memory (it goes through a pipe) and reports an invalid "
                    "object that is not";
  }
  std::unique_ptr<CSamvSim> upFirst = StartSamvWith(SamvSimMode::Card);
  std::unique_ptr<CSamvSim> upSecond = StartSamvWith(SamvSimMode::Card);
  FaultRig rig;
  // No log server: no upload connection needs a descriptor meanwhile.
  ASSERT_TRUE(rig.Start({{upFirst->Port(), 0}, {upSecond->Port(), 0}}, 0));
  const pid_t pid = rig.Gateway().Process().Pid();
  const std::string strFdDir = "/proc/" + std::to_string(pid) + "/fd";

  CDeviceSimClient holders[2];
  for (CDeviceSimClient& holder : holders) {
    ASSERT_TRUE(rig.Connect(holder));
    ASSERT_TRUE(rig.ReadCard(holder));
  }
  ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 2 FREE 0", FaultRig::kDeviceTimeout));
  // Every descriptor the gateway may open from now on is one too many. The limit caps the
  // number of a new descriptor, not the count of open ones: it goes to the lowest number that
  // is free, so every lower one is in use and the holders' are among them. A blocked accept
  // holds the number it will give its connection while it waits, unseen in /proc: when it went
  // back to waiting before the last holder's module connection was opened, that number is the
  // one gap below the others.
  const std::set<int> setOpen = OpenDescriptors(strFdDir);
  ASSERT_FALSE(setOpen.empty());
  int nLowestFree = 0;
  while (setOpen.count(nLowestFree) != 0) {
    ++nLowestFree;
  }
  const int nGaps = *setOpen.rbegin() + 1 - static_cast<int>(setOpen.size());
  ASSERT_LE(nGaps, 1) << "more than one gap among the gateway's descriptors:\n"
                      << DescribeProcDescriptors(strFdDir);
  struct rlimit limit;
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &limit), 0);
  limit.rlim_cur = static_cast<rlim_t>(nLowestFree);
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);

  // The accept already waiting took its descriptor before the limit came down: the next reader
  // gets it, and the busy reply. The one after that cannot be accepted.
  const std::string strReport = " accept failures since the last report)]";
  {
    CDeviceSimClient turnedAway;
    ASSERT_TRUE(rig.Connect(turnedAway));
    EXPECT_EQ(turnedAway.WaitForClose(FaultRig::kDeviceTimeout), ReadStatus::Closed);
  }
  ASSERT_TRUE(rig.WaitForLogCount(strReport, 1, FaultRig::kDeviceTimeout)) << rig.Output();
  CDeviceSimClient waiting;  // the kernel completes the connection; the gateway cannot take it
  ASSERT_TRUE(rig.Connect(waiting));
  ASSERT_TRUE(rig.WaitForLogCount(strReport, 3, seconds(20))) << rig.Output();
  // Reports at least a second apart carry different time stamps (to the second).
  std::vector<std::string> arrReports = LinesWith(rig.Output(), strReport);
  ASSERT_GE(arrReports.size(), 3u);
  for (size_t i = 1; i < arrReports.size(); ++i) {
    EXPECT_LT(arrReports[i - 1].substr(0, 19), arrReports[i].substr(0, 19))
        << arrReports[i - 1] << "\n" << arrReports[i];
  }
  EXPECT_NE(arrReports[0].find("[FUNCTION ThreadLoop  LINE 127 Exception:accept: Too many open "
                               "files! ("),
            std::string::npos)
      << arrReports[0];

  // The holders leave: their descriptors come back, and the waiting reader is served.
  for (CDeviceSimClient& holder : holders) {
    holder.Close();
  }
  const Clock::time_point tmFreed = Clock::now();
  ASSERT_TRUE(rig.ReadCard(waiting)) << rig.Output();
  EXPECT_LT(Clock::now() - tmFreed, seconds(10));
  waiting.Close();
  ASSERT_TRUE(rig.WaitForLogCount("Device Disconnect", 3, FaultRig::kDeviceTimeout))
      << rig.Output();
  rig.ExpectFreshDeviceReadsCard();
  rig.ExpectGatewaySound();
}
