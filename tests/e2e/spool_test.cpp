// The card-record spool and the delivery rules, with the built gateway among simulated peers:
// records survive a killed gateway, unreadable files are set aside, a refusing or slow log
// server is handled, and the stop is clean.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "decodelog/spool_record.h"
#include "fault_rig.h"
#include "support/test_util.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Reads nCount cards on one device; every read must be answered. Returns once the gateway has
// released the device's module again (its pool report follows the release), so the next device
// finds it free.
void ReadCards(FaultRig& rig, int nCount) {
  const size_t unReports = rig.Gateway().CountLog("[BUSY ");
  {
    CDeviceSimClient device;
    ASSERT_TRUE(rig.Connect(device));
    for (int i = 0; i < nCount; ++i) {
      ASSERT_TRUE(rig.ReadCard(device)) << rig.Output();
    }
  }
  ASSERT_TRUE(rig.WaitForLogCount("[BUSY ", unReports + 2, FaultRig::kDeviceTimeout))
      << rig.Output();
}

}  // namespace

TEST(SpoolTest, BacklogSurvivesAKilledGatewayAndArrivesOnceAfterTheRestart) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  // Bound, not listening: the log server is down while the cards are read.
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer(false);
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
  ReadCards(rig, 5);
  const std::string strSpool = rig.Gateway().Dir().File("spool");
  // Each record is on storage before its reader gets the answer.
  EXPECT_EQ(CountFiles(strSpool, ".rec"), 5u);
  rig.Gateway().Process().Signal(SIGKILL);
  int nStatus = 0;
  ASSERT_TRUE(rig.Gateway().Process().Wait(seconds(10), &nStatus));

  upLog->Start();
  ASSERT_TRUE(rig.Gateway().Start());
  EXPECT_TRUE(rig.Gateway().WaitForLog("5 card records queued from earlier runs")) << rig.Output();
  ASSERT_TRUE(WaitFor([&] { return upLog->ValidDocuments() == 5; }, FaultRig::kUploadDeadline))
      << rig.Output();
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(upLog->ReceiveCount("{\"order\":\"F-" + std::to_string(i) + "\"}", "READER-F"), 1u)
        << upLog->DuplicateReport();
  }
  ASSERT_TRUE(WaitFor([&] { return CountFiles(strSpool, ".rec") == 0; }, seconds(30)));
  rig.ExpectGatewaySound();
}

TEST(SpoolTest, UnreadableSpoolFilesAreSetAsideAndTheRestIsDelivered) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FaultRig rig;
  // Three record files as an earlier run left them: one whole, one damaged, one cut short.
  const std::string strSpool = rig.Gateway().Dir().File("spool/");
  ASSERT_EQ(::mkdir(strSpool.c_str(), 0755), 0);
  DecodeLogRecord record;
  std::memset(&record, 0, sizeof(record));
  record.unSamvDataLength = 288;
  CopyText(record.szDeviceId, "READER-OLD");
  CopyText(record.szTransData, "{\"order\":\"old\"}");
  std::vector<uint8_t> arrFile = EncodeSpoolRecord(record);
  auto write = [&](const char* szName, const std::vector<uint8_t>& arr) {
    rig.Gateway().Dir().Write(std::string("spool/") + szName, std::string(arr.begin(), arr.end()));
  };
  write("0000000000000001.rec", arrFile);
  std::vector<uint8_t> arrDamaged = arrFile;
  arrDamaged[kSpoolHeaderSize + 300] ^= 0x40;
  write("0000000000000002.rec", arrDamaged);
  write("0000000000000003.rec", std::vector<uint8_t>(arrFile.begin(), arrFile.begin() + 100));

  ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
  EXPECT_TRUE(rig.Gateway().WaitForLog("(checksum mismatch)")) << rig.Output();
  EXPECT_TRUE(rig.Gateway().WaitForLog("(truncated)")) << rig.Output();
  ReadCards(rig, 1);
  rig.ExpectEveryCardUploaded({upLog.get()});
  ASSERT_TRUE(WaitFor([&] { return upLog->ValidDocuments() == 2; }, seconds(30)));
  EXPECT_EQ(upLog->ReceiveCount("{\"order\":\"old\"}", "READER-OLD"), 1u);
  EXPECT_EQ(CountFiles(strSpool + "bad", ".rec"), 2u);
}

TEST(SpoolTest, UnusableSpoolDirectoryLeavesTheGatewayServingFromMemory) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FaultRig rig;
  // A directory below a plain file cannot be made, whoever runs the test (root included).
  rig.Gateway().Dir().Write("not-a-directory", "x");
  rig.Gateway().SetExtraSystemConfig("[SPOOL]\nDIR=not-a-directory/spool\n");
  ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
  EXPECT_TRUE(rig.Gateway().WaitForLog("kept in memory only")) << rig.Output();
  ReadCards(rig, 2);
  rig.ExpectEveryCardUploaded({upLog.get()});
}

TEST(SpoolTest, ServerErrorIsRetriedAndARefusalIsSetAside) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  // The first answer is "500": that record comes again and is then taken.
  upLog->SetStatus(500, 1);
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
  ReadCards(rig, 1);
  ASSERT_TRUE(WaitFor([&] { return upLog->MaxReceiveCount() == 2; }, seconds(30)))
      << rig.Output();
  EXPECT_TRUE(rig.Gateway().WaitForLog("answered with HTTP status 500")) << rig.Output();
  EXPECT_TRUE(rig.WaitForLogCount("nReceiveSuccessCount 1", 1)) << rig.Output();

  // A "400" refuses the record for good: it is moved aside and never sent again.
  upLog->SetStatus(400);
  ReadCards(rig, 1);
  EXPECT_TRUE(rig.Gateway().WaitForLog("refused the card record with HTTP status 400"))
      << rig.Output();
  const std::string strRejected = rig.Gateway().Dir().File("spool/rejected");
  ASSERT_TRUE(WaitFor([&] { return CountFiles(strRejected, ".rec") == 1; }));
  upLog->SetStatus(200);
  ReadCards(rig, 1);
  ASSERT_TRUE(WaitFor([&] { return upLog->Requests() == 4; }, seconds(30))) << rig.Output();
  // The server has the request before the gateway has its answer: the status line is asked for
  // once the gateway has counted the delivery.
  EXPECT_TRUE(rig.WaitForLogCount("nReceiveSuccessCount 2", 1)) << rig.Output();
  // The status line counts each outcome.
  rig.Gateway().Process().Signal(SIGUSR1);
  EXPECT_TRUE(rig.Gateway().WaitForLog("queued=0 spooled=0 delivered=2 retried=1 rejected=1 "))
      << rig.Output();
  EXPECT_EQ(upLog->Requests(), 4u);
}

TEST(SpoolTest, SlowServerReceivesEachRecordOnce) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer(false);
  upLog->SetAnswerDelay(milliseconds(2000));
  upLog->Start();
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
  ReadCards(rig, 3);
  ASSERT_TRUE(rig.WaitForLogCount("nReceiveSuccessCount 3", 1)) << rig.Output();
  EXPECT_EQ(rig.Gateway().CountLog("Receive False"), 0u);
  EXPECT_EQ(upLog->Requests(), 3u);
  EXPECT_EQ(upLog->MaxReceiveCount(), 1u) << upLog->DuplicateReport();
}

TEST(SpoolTest, FullSpoolDropsTheOldestAndSaysSo) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer(false);
  FaultRig rig;
  // One megabyte holds 658 text-only records of 1592 bytes; the log server is down.
  rig.Gateway().SetExtraSystemConfig("[SPOOL]\nMAX_MB=1\n");
  const std::string strSpool = rig.Gateway().Dir().File("spool/");
  ASSERT_EQ(::mkdir(strSpool.c_str(), 0755), 0);
  DecodeLogRecord record;
  std::memset(&record, 0, sizeof(record));
  record.unSamvDataLength = 288;
  std::vector<uint8_t> arrFile = EncodeSpoolRecord(record);
  ASSERT_EQ(arrFile.size(), 1592u);
  for (int i = 1; i <= 658; ++i) {
    char szName[32];
    std::snprintf(szName, sizeof(szName), "spool/%016x.rec", i);
    rig.Gateway().Dir().Write(szName, std::string(arrFile.begin(), arrFile.end()));
  }
  ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
  ASSERT_TRUE(rig.Gateway().WaitForLog("658 card records queued from earlier runs"))
      << rig.Output();
  ReadCards(rig, 2);
  EXPECT_TRUE(rig.Gateway().WaitForLog("the oldest record was dropped, 2 dropped so far"))
      << rig.Output();
  EXPECT_EQ(CountFiles(strSpool, ".rec"), 658u);
  // The oldest went; the one out for an upload attempt at that moment is not dropped under it.
  int nOldLeft = 0;
  for (const char* szName : {"0000000000000001.rec", "0000000000000002.rec",
                             "0000000000000003.rec"}) {
    nOldLeft += boost::filesystem::exists(strSpool + szName) ? 1 : 0;
  }
  EXPECT_EQ(nOldLeft, 1);
  EXPECT_TRUE(boost::filesystem::exists(strSpool + "0000000000000004.rec"));
}

TEST(SpoolTest, StopSignalWritesPendingAccountsAndExitsCleanly) {
  struct Row {
    const char* szName;
    int nSignal;
  } const rows[] = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
    std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer(false);
    FaultRig rig;
    ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
    ReadCards(rig, 1);
    // An account change waits 11 s for its write-back; the stop writes it at once.
    DeviceReply reply;
    ASSERT_EQ(rig.WriteAccount(3003, "pass3003", &reply), ReadStatus::Ok);
    ASSERT_EQ(reply.byCode, 82);

    const auto tmSignal = std::chrono::steady_clock::now();
    rig.Gateway().Process().Signal(row.nSignal);
    int nStatus = -1;
    ASSERT_TRUE(rig.Gateway().Process().Wait(seconds(10), &nStatus)) << rig.Output();
    const auto elapsed = std::chrono::steady_clock::now() - tmSignal;
    EXPECT_EQ(nStatus, 0) << rig.Output();
    // The limit is 3 s; an emulated router build is allowed its slowness here.
    EXPECT_LT(elapsed, seconds(9));
    EXPECT_NE(rig.Gateway().Dir().Read("UserList.ini").find("pass3003"), std::string::npos);
    EXPECT_NE(rig.Output().find("stopped: 1 card records stay queued for the next start"),
              std::string::npos)
        << rig.Output();
    // The device port no longer listens.
    CDeviceSimClient late;
    EXPECT_FALSE(late.Connect("127.0.0.1", FaultRig::kGatewayPort, seconds(2)));
  }
}

// Modules whose controllers never answer cost the clock synchronisation a second each. A status
// request, and then a stop, are taken between two of them instead of after the whole walk, and
// the stop still writes the pending account change.
TEST(SpoolTest, StatusRequestAndStopDoNotWaitForSilentModules) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer(false);
  // Bound and never read: every management request to them goes unanswered.
  boost::asio::io_context io;
  std::vector<std::unique_ptr<boost::asio::ip::udp::socket>> arrControllers;
  std::vector<GatewayRun::Module> arrModules;
  constexpr size_t kModules = 10;
  for (size_t i = 0; i < kModules; ++i) {
    arrControllers.emplace_back(new boost::asio::ip::udp::socket(
        io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)));
    arrModules.push_back({upSamv->Port(), arrControllers.back()->local_endpoint().port()});
  }
  FaultRig rig;
  ASSERT_TRUE(rig.Start(arrModules, upLog->Port()));
  // The first pass walks the modules, one silent second each.
  ASSERT_TRUE(rig.Gateway().WaitForLog("GetMcuRtc FALSE")) << rig.Output();
  rig.Gateway().Process().Signal(SIGUSR1);
  ASSERT_TRUE(rig.Gateway().WaitForLog("[STATUS busy=")) << rig.Output();
  EXPECT_LT(rig.Gateway().CountLog("GetMcuRtc FALSE"), kModules) << rig.Output();
  DeviceReply reply;
  ASSERT_EQ(rig.WriteAccount(3003, "pass3003", &reply), ReadStatus::Ok);
  ASSERT_EQ(reply.byCode, 82);

  const auto tmSignal = std::chrono::steady_clock::now();
  rig.Gateway().Process().Signal(SIGTERM);
  int nStatus = -1;
  ASSERT_TRUE(rig.Gateway().Process().Wait(seconds(30), &nStatus)) << rig.Output();
  const auto elapsed = std::chrono::steady_clock::now() - tmSignal;
  EXPECT_EQ(nStatus, 0) << rig.Output();
  EXPECT_LT(rig.Gateway().CountLog("GetMcuRtc FALSE"), kModules) << rig.Output();
  // About 2 s; an emulated router build is allowed its slowness here.
  EXPECT_LT(elapsed, seconds(9));
  EXPECT_NE(rig.Gateway().Dir().Read("UserList.ini").find("pass3003"), std::string::npos);
  EXPECT_NE(rig.Output().find("stopped: 0 card records stay queued for the next start"),
            std::string::npos)
      << rig.Output();
}

TEST(SpoolTest, StopSignalIsTakenWhateverTheGatewayInherited) {
  // A shell starts a background job with SIGINT ignored; a service manager may hand on a blocked
  // mask. Either way the signal must stop the gateway cleanly, and a second one at once.
  struct Row {
    const char* szName;
    int nSignal;
    bool bIgnore;  // inherited ignored, else inherited blocked
  } const rows[] = {{"SIGINT ignored", SIGINT, true}, {"SIGTERM blocked", SIGTERM, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
    std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer(false);
    FaultRig rig;
    struct sigaction saOld;
    struct sigaction saIgnore;
    std::memset(&saIgnore, 0, sizeof(saIgnore));
    saIgnore.sa_handler = SIG_IGN;
    sigset_t setBlock;
    sigset_t setOld;
    sigemptyset(&setBlock);
    sigaddset(&setBlock, row.nSignal);
    if (row.bIgnore) {
      ASSERT_EQ(::sigaction(row.nSignal, &saIgnore, &saOld), 0);
    } else {
      ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &setBlock, &setOld), 0);
    }
    const bool bStarted = rig.Start({{upSamv->Port(), 0}}, upLog->Port());
    if (row.bIgnore) {
      ::sigaction(row.nSignal, &saOld, nullptr);
    } else {
      ::pthread_sigmask(SIG_SETMASK, &setOld, nullptr);
    }
    ASSERT_TRUE(bStarted) << rig.Output();
    ReadCards(rig, 1);
    rig.Gateway().Process().Signal(row.nSignal);
    int nStatus = -1;
    ASSERT_TRUE(rig.Gateway().Process().Wait(seconds(10), &nStatus)) << rig.Output();
    EXPECT_EQ(nStatus, 0) << rig.Output();
    EXPECT_NE(rig.Output().find("stopped: 1 card records stay queued for the next start"),
              std::string::npos)
        << rig.Output();
  }
}

TEST(SpoolTest, SecondStopSignalEndsTheGatewayAtOnce) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer(false);
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
  // A paired reader keeps its module busy, so the stop waits out its grace for answers.
  CDeviceSimClient device;
  ASSERT_TRUE(rig.Connect(device));
  ASSERT_TRUE(rig.ReadCard(device)) << rig.Output();
  rig.Gateway().Process().Signal(SIGTERM);
  ASSERT_TRUE(rig.Gateway().WaitForLog("stopping")) << rig.Output();
  if (rig.Output().find("stopped:") != std::string::npos) {
    // This machine took longer than the whole grace to show the first line.
    GTEST_SKIP() << "the stop was over before the second signal could be sent";
  }
  const std::chrono::system_clock::time_point tmSecond = std::chrono::system_clock::now();
  rig.Gateway().Process().Signal(SIGTERM);
  int nStatus = -1;
  ASSERT_TRUE(rig.Gateway().Process().Wait(seconds(10), &nStatus)) << rig.Output();
  const std::string strOutput = rig.Output();
  const size_t unStopped = strOutput.find("stopped:");
  if (nStatus == 0 && unStopped != std::string::npos) {
    // A clean stop: right only when it was over before the second signal went. The run log's
    // line says when (local time, to the microsecond, from the clock this test reads).
    const size_t unLine = strOutput.rfind('\n', unStopped) + 1;  // npos + 1 = 0
    std::tm tmLine{};
    double dSeconds = 0;
    ASSERT_EQ(std::sscanf(strOutput.c_str() + unLine, "%d-%d-%d %d:%d:%lf", &tmLine.tm_year,
                          &tmLine.tm_mon, &tmLine.tm_mday, &tmLine.tm_hour, &tmLine.tm_min,
                          &dSeconds),
              6)
        << strOutput;
    tmLine.tm_year -= 1900;
    tmLine.tm_mon -= 1;
    tmLine.tm_isdst = -1;
    const double dStopped = static_cast<double>(std::mktime(&tmLine)) + dSeconds;
    const double dSecond =
        std::chrono::duration<double>(tmSecond.time_since_epoch()).count();
    if (dStopped < dSecond) {
      GTEST_SKIP() << "the stop was over before the second signal was sent";
    }
  }
  EXPECT_EQ(nStatus, 128 + SIGTERM) << strOutput;
  EXPECT_EQ(unStopped, std::string::npos) << strOutput;
}
