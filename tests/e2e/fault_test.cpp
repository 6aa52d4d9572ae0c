// Peers that fail around the built gateway: SAMV servers that hang up, close at once or never
// answer; devices that reset, half-close or go silent; a log server that is away, slow, or closes
// without answering; module controllers that are silent or talk garbage; the gateway's clock set
// back. In every case a fresh device still reads a card afterwards, and every card the gateway
// captured reaches the log server at least once.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "config/byte_io.h"
#include "fault_rig.h"
#include "mcu_sim.h"
#include "support/emulation.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::unique_ptr<CMcuSim> StartMcu() {
  std::unique_ptr<CMcuSim> upMcu(new CMcuSim(0));
  upMcu->Start();
  return upMcu;
}

// The date and time that start a run-log line ("YYYY-MM-DD HH:MM:SS").
std::string StampOfLastLine(const std::string& strLog, const std::string& strText) {
  size_t unPos = strLog.rfind(strText);
  if (unPos == std::string::npos) {
    return std::string();
  }
  size_t unStart = strLog.rfind('\n', unPos);
  unStart = unStart == std::string::npos ? 0 : unStart + 1;
  return strLog.substr(unStart, 19);
}

// The pool's report after a release that left the only client free. A device that comes before
// it may find no free client ("Device Disconnect" is logged before the client is put back).
constexpr char kOneServerIdle[] = "BUSY 0 FREE 1 ERROR 0";

// The preloaded clock library keeps a shared-memory pair per process, which only a clean exit
// removes; the gateway is killed. Removes them once the gateway with that process id is gone.
struct FakeTimeLeftovers {
  pid_t pid = 0;
  ~FakeTimeLeftovers() {
    if (pid > 0) {
      (void)std::remove(("/dev/shm/faketime_shm_" + std::to_string(pid)).c_str());
      (void)std::remove(("/dev/shm/sem.faketime_sem_" + std::to_string(pid)).c_str());
    }
  }
};

}  // namespace

TEST(FaultTest, FailingSamvServerCostsNoCardAndOthersServe) {
  enum class Fault { HangsUp, ClosesAtOnce, NeverAnswers };
  struct Row {
    const char* szName;
    Fault eFault;
  } rows[] = {
      {"hangs up in the middle of a session", Fault::HangsUp},
      {"accepts and closes at once", Fault::ClosesAtOnce},
      {"never answers", Fault::NeverAnswers},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    FaultRig rig;
    std::unique_ptr<CSamvSim> upFaulty;
    switch (r.eFault) {
      case Fault::HangsUp:  // answers the first card read, hangs up on the second
        upFaulty = FaultRig::StartSamv(SamvSimMode::Card, 2);
        break;
      case Fault::ClosesAtOnce:
        upFaulty = FaultRig::StartSamv(SamvSimMode::Close);
        break;
      case Fault::NeverAnswers:
        upFaulty = FaultRig::StartSamv(SamvSimMode::Silent);
        break;
    }
    std::unique_ptr<CSamvSim> upGood = FaultRig::StartSamv(SamvSimMode::Card);
    std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
    ASSERT_TRUE(rig.Start({{upFaulty->Port(), 0}, {upGood->Port(), 0}}, upLog->Port()));

    // The first device gets the failing server (first in the list).
    CDeviceSimClient first;
    ASSERT_TRUE(rig.Connect(first));
    if (r.eFault == Fault::HangsUp) {
      ASSERT_TRUE(rig.ReadCard(first));
    }
    // The read the server fails on. The gateway may already have dropped a device whose server
    // closed at once, so the send may fail.
    (void)first.SendLogin(rig.NextLogin(), FaultRig::kDeviceTimeout);
    ASSERT_TRUE(WaitFor(
        [&] {
          switch (r.eFault) {
            case Fault::HangsUp:
              return upFaulty->Closed() >= 1;
            case Fault::ClosesAtOnce:
              return upFaulty->Accepted() >= 1 && upFaulty->Closed() >= 1;
            case Fault::NeverAnswers:
              return upFaulty->FramesReceived() >= 1;
          }
          return false;
        },
        FaultRig::kDeviceTimeout))
        << rig.Output();

    if (r.eFault == Fault::HangsUp) {
      // The server ended the session: the gateway closes the device's connection, so that the
      // device comes back to a working server, and frees the client.
      EXPECT_EQ(first.WaitForClose(FaultRig::kDeviceTimeout), ReadStatus::Closed) << rig.Output();
    }
    if (r.eFault == Fault::ClosesAtOnce) {
      // The pairing may have seen that connection up before it closed (the device then held the
      // failing server and is closed with it) or not (that server went to ERROR and the device
      // was given the good one). Either way, once the device has left, a fresh one is served.
      first.Close();
      ASSERT_TRUE(WaitFor(
          [&] {
            return rig.Gateway().CountLog("BUSY 0 FREE 2 ERROR 0") +
                       rig.Gateway().CountLog("BUSY 0 FREE 1 ERROR 1") >=
                   1;
          },
          FaultRig::kDeviceTimeout))
          << rig.Output();
    }
    // While the first device still holds its session (or is being let go), another one is served
    // by the good server.
    rig.ExpectFreshDeviceReadsCard();
    first.Close();

    if (r.eFault == Fault::HangsUp) {
      // Both clients are back in FREE once the release of the first device has been reported.
      ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 0 FREE 2 ERROR 0", FaultRig::kDeviceTimeout))
          << rig.Output();
      // The client whose server hung up serves again: of two devices at once (the releases
      // came in either order), one is paired with it and reads a card over a new connection.
      CDeviceSimClient holder;
      ASSERT_TRUE(rig.Connect(holder));
      ASSERT_TRUE(rig.ReadCard(holder));
      rig.ExpectFreshDeviceReadsCard();
      EXPECT_EQ(upGood->Accepted(), 2u);
      EXPECT_EQ(upFaulty->Accepted(), 2u);
    }
    rig.ExpectEveryCardUploaded({upLog.get()});
  }
}

TEST(FaultTest, FailingDeviceReleasesItsServer) {
  enum class Fault { Resets, HalfCloses, GoesSilent };
  struct Row {
    const char* szName;
    Fault eFault;
    size_t unServers;  // one server: the fresh device is served only if the first released it
  } rows[] = {
      {"resets its connection with a read pending", Fault::Resets, 1},
      {"half-closes with a read pending", Fault::HalfCloses, 1},
      {"goes silent in the middle of a frame", Fault::GoesSilent, 2},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    FaultRig rig;
    std::vector<std::unique_ptr<CSamvSim>> sims;
    std::vector<GatewayRun::Module> modules;
    for (size_t i = 0; i < r.unServers; ++i) {
      sims.push_back(FaultRig::StartSamv(SamvSimMode::Card));
      modules.push_back({sims.back()->Port(), 0});
    }
    std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
    ASSERT_TRUE(rig.Start(modules, upLog->Port()));

    CDeviceSimClient faulty;
    ASSERT_TRUE(rig.Connect(faulty));
    ASSERT_TRUE(rig.ReadCard(faulty));
    LoginRequest pending = rig.NextLogin();
    switch (r.eFault) {
      case Fault::Resets:
        // The answer races the reset: it is relayed and captured, or its relay fails.
        ASSERT_TRUE(faulty.SendLogin(pending));
        faulty.Close(CloseMode::Reset);
        break;
      case Fault::HalfCloses: {
        ASSERT_TRUE(faulty.SendLogin(pending));
        faulty.Close(CloseMode::HalfClose);
        // The gateway ends the session at the end of the device's stream; the answer may still
        // come first. Either way the connection ends.
        std::vector<uint8_t> answer;
        if (faulty.ReadAnswer(&answer, FaultRig::kDeviceTimeout) == ReadStatus::Ok &&
            answer.size() == kCardTextAnswerSize) {
          rig.Delivered(pending);
        }
        EXPECT_EQ(faulty.WaitForClose(FaultRig::kDeviceTimeout), ReadStatus::Closed);
        break;
      }
      case Fault::GoesSilent: {
        const uint8_t key[8] = {3, 1, 4, 1, 5, 9, 2, 6};
        std::vector<uint8_t> payload = BuildLoginPayload(1001, "pass1001", "", "", "");
        std::vector<uint8_t> frame =
            BuildDeviceRequest(key, 1, nullptr, payload.data(), payload.size());
        frame.resize(10);  // a frame's start, and then nothing
        ASSERT_TRUE(faulty.Send(frame));
        break;
      }
    }
    if (r.eFault != Fault::GoesSilent) {
      ASSERT_TRUE(rig.WaitForLogCount(kOneServerIdle, 1, FaultRig::kDeviceTimeout)) << rig.Output();
    }
    rig.ExpectFreshDeviceReadsCard();
    rig.ExpectEveryCardUploaded({upLog.get()});
  }
}

TEST(FaultTest, LogServerAwayForAWhileGetsEveryCardWhenBack) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  // Bound but not listening: the gateway's connections are refused.
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer(false);
  const uint16_t unLogPort = upLog->Port();
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, unLogPort));

  {
    CDeviceSimClient device;
    ASSERT_TRUE(rig.Connect(device));
    ASSERT_TRUE(rig.ReadCard(device));
    ASSERT_TRUE(rig.ReadCard(device));
  }
  // Both records were tried and put back; device traffic goes on meanwhile (once the pool has
  // reported the first device's release, its only client is free).
  ASSERT_TRUE(rig.WaitForLogCount("Connect False", 2)) << rig.Output();
  ASSERT_TRUE(rig.WaitForLogCount(kOneServerIdle, 1, FaultRig::kDeviceTimeout)) << rig.Output();
  rig.ExpectFreshDeviceReadsCard();
  upLog->Start();
  rig.ExpectEveryCardUploaded({upLog.get()});

  // Away again, then back on the same port as a new process would be.
  upLog->Stop();
  const size_t unFailedBefore = rig.Gateway().CountLog("Connect False");
  ASSERT_TRUE(rig.WaitForLogCount(kOneServerIdle, 2, FaultRig::kDeviceTimeout)) << rig.Output();
  rig.ExpectFreshDeviceReadsCard();
  ASSERT_TRUE(rig.WaitForLogCount("Connect False", unFailedBefore + 1)) << rig.Output();
  std::unique_ptr<CLogServerSim> upBack = FaultRig::MakeLogServer(true, unLogPort);
  rig.ExpectEveryCardUploaded({upLog.get(), upBack.get()});
  EXPECT_TRUE(rig.WaitForLogCount("nReceiveSuccessCount 4", 1)) << rig.Output();
}

TEST(FaultTest, LogServerThatDoesNotAnswerInTimeGetsTheRecordAgain) {
  struct Row {
    const char* szName;
    LogServerSimMode eMode;
    milliseconds answerDelay;  // past the gateway's answer wait, set to 1 s below
  } rows[] = {
      {"answers too late", LogServerSimMode::Normal, milliseconds(2000)},
      {"closes without answering", LogServerSimMode::Close, milliseconds(0)},
      {"never answers", LogServerSimMode::Silent, milliseconds(0)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
    std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer(false, 0, r.eMode);
    upLog->SetAnswerDelay(r.answerDelay);
    upLog->Start();
    FaultRig rig;
    rig.Gateway().SetExtraSystemConfig("ANSWER_TIMEOUT_S=1\n");
    ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
    {
      CDeviceSimClient device;
      ASSERT_TRUE(rig.Connect(device));
      ASSERT_TRUE(rig.ReadCard(device));
      ASSERT_TRUE(rig.ReadCard(device));
    }
    // The server has both records, but the gateway saw no answer and keeps them.
    ASSERT_TRUE(WaitFor([&] { return upLog->ValidDocuments() >= 2; }, FaultRig::kUploadDeadline));
    ASSERT_TRUE(rig.WaitForLogCount("Receive False", 2)) << rig.Output();
    EXPECT_EQ(rig.Gateway().CountLog("nReceiveSuccessCount 1"), 0u);
    ASSERT_TRUE(rig.WaitForLogCount(kOneServerIdle, 1, FaultRig::kDeviceTimeout)) << rig.Output();
    rig.ExpectFreshDeviceReadsCard();

    upLog->SetAnswerDelay(milliseconds(0));
    upLog->SetMode(LogServerSimMode::Normal);
    rig.ExpectEveryCardUploaded({upLog.get()});
    // Each record counts as delivered once, and then the queue is empty.
    EXPECT_TRUE(rig.WaitForLogCount("nReceiveSuccessCount 3", 1)) << rig.Output();
  }
}

TEST(FaultTest, SilentOrGarbageModuleControllersCostNoCard) {
  struct Row {
    const char* szName;
    McuSimMode eMode;
    std::vector<uint8_t> arrRawReply;  // sent instead of the reply when not empty
  };
  // The controllers of two unreachable servers: the pool sends them resets.
  const Row resetRows[] = {
      {"silent", McuSimMode::Silent, {}},
      {"a spoiled checksum", McuSimMode::BadChecksum, {}},
  };
  // The controllers of working servers: the clock synchronisation at start-up asks them.
  const Row clockRows[] = {
      {"a zero length byte", McuSimMode::Normal, {0x00}},
      {"three bytes that pass the length and checksum tests",
       McuSimMode::Normal,
       {0x02, 0x01, 0x03}},
      {"a full frame of 0xFF", McuSimMode::Normal, std::vector<uint8_t>(256, 0xFF)},
      {"an error result", McuSimMode::Error, {}},
  };
  std::vector<std::unique_ptr<CMcuSim>> mcus;
  std::vector<std::unique_ptr<CSamvSim>> sims;
  std::vector<GatewayRun::Module> modules;
  auto add = [&](const Row& r, SamvSimMode eSamvMode) {
    mcus.push_back(StartMcu());
    mcus.back()->SetMode(r.eMode);
    if (!r.arrRawReply.empty()) {
      mcus.back()->SetRawReply(r.arrRawReply);
    }
    sims.push_back(FaultRig::StartSamv(eSamvMode));
    modules.push_back({sims.back()->Port(), mcus.back()->Port()});
  };
  for (const Row& r : resetRows) {
    add(r, SamvSimMode::Refuse);
  }
  for (const Row& r : clockRows) {
    add(r, SamvSimMode::Card);
  }
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FaultRig rig;
  ASSERT_TRUE(rig.Start(modules, upLog->Port()));

  // The first device finds the unreachable servers, which go to ERROR, and is served by the
  // next free one.
  rig.ExpectFreshDeviceReadsCard();
  EXPECT_TRUE(rig.Gateway().WaitForLog("ERROR 2")) << rig.Output();

  // Every controller was asked for its clock; the failed retries sent both resets, in vain.
  for (size_t i = 0; i < mcus.size(); ++i) {
    SCOPED_TRACE(i < 2 ? resetRows[i].szName : clockRows[i - 2].szName);
    EXPECT_TRUE(WaitFor([&] { return mcus[i]->Requests() >= 1; }, FaultRig::kDeviceTimeout));
    if (i < 2) {
      EXPECT_TRUE(WaitFor([&] { return mcus[i]->Resets() >= 1; }, FaultRig::kUploadDeadline))
          << rig.Output();
    }
  }
  EXPECT_TRUE(rig.WaitForLogCount("ResetMcu FALSE", 2)) << rig.Output();
  rig.ExpectFreshDeviceReadsCard();
  rig.ExpectEveryCardUploaded({upLog.get()});
}

TEST(FaultTest, ClockSetBackDelaysNoRetryAndNoAccountWrite) {
  if (kUnderEmulator) {
    GTEST_SKIP() << "the clock is set back through LD_PRELOAD of a host library, which cannot "
                    "reach an emulated gateway";
  }
  const std::string strFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
  ASSERT_TRUE(boost::filesystem::exists(strFakeTime))
      << "needs Debian's faketime package (scripts/common.sh installs it)";

  std::unique_ptr<CMcuSim> upMcu = StartMcu();
  // A server that is down when the first device comes (nothing listens on its port).
  std::unique_ptr<CSamvSim> upFlaky = FaultRig::StartSamv(SamvSimMode::Refuse);
  const uint16_t unFlakyPort = upFlaky->Port();
  std::unique_ptr<CSamvSim> upGood = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FakeTimeLeftovers leftovers;  // after the rig, which kills the gateway
  FaultRig rig;
  // The gateway's wall clock is the host's plus the offset in this file, read at every call;
  // its monotonic clock stays true, as a clock set by hand would leave it.
  const std::string strClockFile = rig.Gateway().Dir().File("faketime.rc");
  rig.Gateway().Dir().Write("faketime.rc", "+0\n");
  const char* szAsan = std::getenv("ASAN_OPTIONS");
  const char* szTsan = std::getenv("TSAN_OPTIONS");
  // The clock library's own reading of that file races with itself; that is not the gateway's.
  // Its timed condition wait calls the system's directly, so the race checker never sees the
  // wait give its mutex up: the next lock of that mutex by another thread looks like a second
  // lock by the waiter, and the order of locks after it like an inversion.
  rig.Gateway().Dir().Write(
      "faketime.supp",
      "race:libfaketime.so.1\nmutex:condition_variable\ndeadlock:condition_variable\n");
  rig.Gateway().SetEnvironment({
      "LD_PRELOAD=" + strFakeTime,
      "FAKETIME_TIMESTAMP_FILE=" + strClockFile,
      "FAKETIME_NO_CACHE=1",
      "FAKETIME_DONT_FAKE_MONOTONIC=1",
      // Without this the library misreads the monotonic deadlines of timed waits (every sleep)
      // as wall-clock ones and moves them by the offset: a day's set back, a day's sleep.
      "FAKETIME_FORCE_MONOTONIC_FIX=0",
      // The sanitizer build wants its runtime first; the preloaded clock comes before it.
      std::string("ASAN_OPTIONS=") + (szAsan != nullptr ? std::string(szAsan) + ":" : "") +
          "verify_asan_link_order=0",
      std::string("TSAN_OPTIONS=") + (szTsan != nullptr ? std::string(szTsan) + ":" : "") +
          "suppressions=" + rig.Gateway().Dir().File("faketime.supp"),
  });
  ASSERT_TRUE(rig.Start({{unFlakyPort, upMcu->Port()}, {upGood->Port(), 0}}, upLog->Port()));
  leftovers.pid = rig.Gateway().Process().Pid();
  const std::string strStartStamp = StampOfLastLine(rig.Output(), "Samv Device Size");

  // The first device finds the server down (it goes to ERROR) and is served by the good one.
  {
    CDeviceSimClient first;
    ASSERT_TRUE(rig.Connect(first));
    ASSERT_TRUE(rig.ReadCard(first));
  }
  ASSERT_TRUE(rig.WaitForLogCount("BUSY 0 FREE 1 ERROR 1", 1, FaultRig::kDeviceTimeout));

  // An account written through administration is marked for the file; then the clock goes back
  // a day.
  {
    DeviceReply reply;
    ASSERT_EQ(rig.WriteAccount(3003, "pass3003", &reply), ReadStatus::Ok)
        << rig.Output() << rig.Gateway().Process().Errors();
    EXPECT_EQ(reply.byCode, kReplyUserList);
  }
  // Released: the good server is free again, the other one still in ERROR.
  ASSERT_TRUE(rig.WaitForLogCount("BUSY 0 FREE 1 ERROR 1", 2, FaultRig::kDeviceTimeout));
  // The start-up synchronisation read the module's clock and found it in step.
  ASSERT_TRUE(WaitFor([&] { return upMcu->GetRtcRequests() >= 1; }, FaultRig::kDeviceTimeout));
  const uint32_t unRtcReads = upMcu->GetRtcRequests();
  EXPECT_EQ(upMcu->SetRtcRequests(), 0u);
  rig.Gateway().Dir().Write("faketime.rc", "-1d\n");
  rig.ExpectFreshDeviceReadsCard();
  ASSERT_TRUE(rig.WaitForLogCount("Device Disconnect", 3, FaultRig::kDeviceTimeout));
  const std::string strBackStamp = StampOfLastLine(rig.Output(), "Device Disconnect");
  ASSERT_EQ(strStartStamp.size(), 19u);
  ASSERT_EQ(strBackStamp.size(), 19u);
  ASSERT_LT(strBackStamp, strStartStamp) << "the clock did not go back:\n" << rig.Output();
  // The module clocks are synchronised at once, not a day and an hour later: read, and set to
  // the gateway's clock, which is now a day behind the module's.
  EXPECT_TRUE(WaitFor([&] { return upMcu->SetRtcRequests() >= 1; }, FaultRig::kDeviceTimeout))
      << rig.Output();
  EXPECT_GT(upMcu->GetRtcRequests(), unRtcReads);

  // The server comes back. The pool retries it about 6 s after the last try by the monotonic
  // passage of time, not a day later, and the account reaches the file about 11 s after its
  // change was marked.
  upFlaky.reset();  // a refusing simulator keeps its port reserved while it exists
  upFlaky = FaultRig::StartSamv(SamvSimMode::Card, 0, unFlakyPort);
  ASSERT_TRUE(rig.Gateway().WaitForLog("BUSY 0 FREE 2 ERROR 0", FaultRig::kUploadDeadline))
      << rig.Output();
  EXPECT_TRUE(WaitFor(
      [&] {
        return rig.Gateway().Dir().Read("UserList.ini").find("ACCOUNT_NO_2=3003") !=
               std::string::npos;
      },
      FaultRig::kUploadDeadline));

  // With the good server held, the recovered one serves the next device.
  CDeviceSimClient holder;
  ASSERT_TRUE(rig.Connect(holder));
  ASSERT_TRUE(rig.ReadCard(holder));
  rig.ExpectFreshDeviceReadsCard();
  EXPECT_EQ(upFlaky->Accepted(), 2u);  // the retry's connection, then the device's
  rig.ExpectEveryCardUploaded({upLog.get()});
}
