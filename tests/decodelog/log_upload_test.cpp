#include "decodelog/log_upload.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "core/data_switch.h"
#include "core/device_frame.h"
#include "logserver_sim.h"
#include "support/test_util.h"

namespace {

const char kSecretKey[] = "0123456789abcdef";

// The upload against a real data switch (configuration from INI files in a temporary directory)
// and the log server simulator on 127.0.0.1.
class LogUploadTest : public ::testing::Test {
 protected:
  // A log server that answers as the mode says.
  std::unique_ptr<CLogServerSim> StartServer(
      LogServerSimMode mode, std::chrono::milliseconds startDelay = std::chrono::milliseconds(0)) {
    LogServerSimOptions options;
    options.strSecretKey = kSecretKey;
    options.mode = mode;
    options.startDelay = startDelay;
    std::unique_ptr<CLogServerSim> upSim(new CLogServerSim(options));
    upSim->Start();
    return upSim;
  }

  // A log server that refuses connections for the whole test: bound, never listening.
  std::unique_ptr<CLogServerSim> DownServer() {
    return StartServer(LogServerSimMode::Normal, std::chrono::hours(1));
  }

  // The data switch in command mode (no pool, no accept thread); the upload configures its
  // log-server client from the settings because the flag asks it to.
  std::unique_ptr<DataSwitch> MakeSwitch(uint16_t unLogPort) {
    m_dir.Write("SystemConfig.ini",
                "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=admin\nPASSWORD=admin123\n"
                "[LOG_SERVER]\nIP_ADDRESS=127.0.0.1\nPORT=" +
                    std::to_string(unLogPort) +
                    "\nHTTP_LOG_URL=/card/log\nAPP_KEY=appkey\nSECRET_KEY=" + kSecretKey +
                    "\nSIGN=sign\nANSWER_TIMEOUT_S=1\n");
    std::unique_ptr<DataSwitch> upDs(new DataSwitch(m_dir.Path(), 0));
    EXPECT_TRUE(upDs->DataSwitchInit(false));
    upDs->m_LogUpload.m_bLogServerReconfigure = true;
    return upDs;
  }

  // A record with a text-only answer whose device identifier names it.
  static DecodeLogRecord* NewRecord(const char* szDeviceId) {
    DecodeLogRecord* p = new DecodeLogRecord;
    std::memset(p, 0, sizeof(*p));
    // A scrambled text-only answer whose text block is all blanks.
    p->unSamvDataLength = 288;
    PutLe32(p->arrSamvData, 284);
    const uint8_t key[kDeviceKeySize] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(p->arrSamvData + 4, key, sizeof(key));
    for (size_t i = 30; i < 30 + 256; i += 2) {
      PutLe16(p->arrSamvData + i, 0x0020);
    }
    MaskDeviceBody(p->arrSamvData + 12, 284 - 8, key);
    CopyText(p->szDeviceId, szDeviceId);
    CopyText(p->szTransData, "{\"n\":1}");
    return p;
  }

  // The device identifiers of the queued records, head first. Taking every record and putting
  // each back in turn leaves the order as it was.
  static std::vector<std::string> Queue(DataSwitch& ds) {
    std::vector<std::string> arr;
    std::vector<uint64_t> arrTickets;
    std::unique_ptr<DecodeLogRecord> upRecord(new DecodeLogRecord);
    uint64_t unTicket = 0;
    while (ds.m_DecodeLogQueue.Take(&unTicket, upRecord.get())) {
      arr.emplace_back(upRecord->szDeviceId, FieldLength(upRecord->szDeviceId));
      arrTickets.push_back(unTicket);
    }
    for (uint64_t un : arrTickets) {
      ds.m_DecodeLogQueue.PutBack(un);
    }
    return arr;
  }

  // Runs one upload step with standard output captured.
  uint32_t Step(DataSwitch& ds, std::string* pstrOutput) {
    ::testing::internal::CaptureStdout();
    uint32_t unResult = ProcessSendSamvDecodeLog(ds);
    *pstrOutput = ::testing::internal::GetCapturedStdout();
    return unResult;
  }

  static bool Has(const std::string& strOutput, const std::string& strText) {
    return strOutput.find(strText) != std::string::npos;
  }

  TempDir m_dir;
};

const char kPrefix[] = "FUNCTION ProcessSendSamvDecodeLog  LINE ";

}  // namespace

TEST_F(LogUploadTest, EmptyQueueDoesNothing) {
  auto upSim = StartServer(LogServerSimMode::Normal);
  auto upDs = MakeSwitch(upSim->Port());
  LogUploadCounters before = GetLogUploadCounters();
  std::string strOut;
  EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
  EXPECT_EQ(strOut, "");
  EXPECT_EQ(GetLogUploadCounters().nSendCount, before.nSendCount);
  EXPECT_EQ(upSim->Connections(), 0u);
}

TEST_F(LogUploadTest, AnsweredRecordIsDeleted) {
  auto upSim = StartServer(LogServerSimMode::Normal);
  auto upDs = MakeSwitch(upSim->Port());
  upDs->SamvDecodeLogQueue(NewRecord("DEV-A"));
  LogUploadCounters before = GetLogUploadCounters();
  std::string strOut;
  EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
  EXPECT_EQ(upDs->DecodeLogQueueSize(), 0u);

  LogUploadCounters after = GetLogUploadCounters();
  EXPECT_EQ(after.nSendCount, before.nSendCount + 1);
  EXPECT_EQ(after.nReceiveSuccessCount, before.nReceiveSuccessCount + 1);
  EXPECT_EQ(after.nReceiveFalseCount, before.nReceiveFalseCount);
  EXPECT_TRUE(Has(strOut, "[delete psttSamvDecodeLog]"));
  EXPECT_FALSE(Has(strOut, "Receive False"));
  EXPECT_TRUE(Has(strOut, " nConnectFalseCount " + std::to_string(after.nConnectFalseCount) +
                              " nSendFalseCount " + std::to_string(after.nSendFalseCount) +
                              " nSendCount " + std::to_string(after.nSendCount) +
                              " nReceiveFalseCount " + std::to_string(after.nReceiveFalseCount) +
                              " nReceiveSuccessCount " +
                              std::to_string(after.nReceiveSuccessCount) + "]"));

  // The server got exactly the record, readable with the shared secret.
  ASSERT_TRUE(WaitFor([&] { return upSim->Documents().size() == 1; }));
  LogServerDocument doc = upSim->Documents()[0];
  EXPECT_TRUE(doc.bValid) << doc.strError;
  EXPECT_EQ(doc.strPath, "/card/log");
  EXPECT_EQ(doc.mapCard["deviceId"], "DEV-A");
  EXPECT_EQ(doc.strAppKey, "appkey");
}

TEST_F(LogUploadTest, UnansweredRecordGoesBackToTheTail) {
  struct Row {
    const char* szName;
    LogServerSimMode mode;
  } const rows[] = {{"server never answers", LogServerSimMode::Silent},
                    {"server closes without answering", LogServerSimMode::Close}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    auto upSim = StartServer(row.mode);
    auto upDs = MakeSwitch(upSim->Port());
    upDs->SamvDecodeLogQueue(NewRecord("DEV-A"));
    LogUploadCounters before = GetLogUploadCounters();
    std::string strOut;
    EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
    EXPECT_EQ(Queue(*upDs), std::vector<std::string>{"DEV-A"});
    LogUploadCounters after = GetLogUploadCounters();
    EXPECT_EQ(after.nSendCount, before.nSendCount + 1);
    EXPECT_EQ(after.nReceiveFalseCount, before.nReceiveFalseCount + 1);
    EXPECT_EQ(after.nReceiveSuccessCount, before.nReceiveSuccessCount);
    EXPECT_TRUE(Has(strOut, "[delete psttSamvDecodeLog]"));
    EXPECT_TRUE(Has(strOut, kPrefix));
    EXPECT_TRUE(Has(strOut, " Receive False]"));
    EXPECT_TRUE(Has(strOut, " nReceiveFalseCount " + std::to_string(after.nReceiveFalseCount)));
    // The request did arrive; only the answer was missing.
    EXPECT_TRUE(WaitFor([&] { return upSim->Requests() == 1; }));
    // The upload closed its connection.
    EXPECT_TRUE(WaitFor([&] { return upSim->OpenConnections() == 0; }));
  }
}

TEST_F(LogUploadTest, UnreachableServerKeepsTheRecord) {
  auto upSim = DownServer();
  auto upDs = MakeSwitch(upSim->Port());
  upDs->SamvDecodeLogQueue(NewRecord("DEV-A"));
  LogUploadCounters before = GetLogUploadCounters();
  std::string strOut;
  EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
  EXPECT_EQ(Queue(*upDs), std::vector<std::string>{"DEV-A"});
  LogUploadCounters after = GetLogUploadCounters();
  EXPECT_EQ(after.nConnectFalseCount, before.nConnectFalseCount + 1);
  EXPECT_EQ(after.nSendCount, before.nSendCount);
  EXPECT_TRUE(Has(strOut, kPrefix));
  EXPECT_TRUE(Has(strOut, " Connect False]"));
  EXPECT_FALSE(Has(strOut, "delete psttSamvDecodeLog"));
  EXPECT_FALSE(Has(strOut, "nConnectFalseCount")) << "no counter line without a connection";

  // The operator points the gateway at a log server that is up (device command 81): the same
  // record is delivered on the next pass.
  auto upLive = StartServer(LogServerSimMode::Normal);
  {
    boost::mutex::scoped_lock lock(upDs->m_mtxSystemConfig);
    upDs->m_stSystemConfig.unLogServerPort = upLive->Port();
  }
  upDs->m_LogUpload.m_bLogServerReconfigure = true;
  EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
  EXPECT_EQ(upDs->DecodeLogQueueSize(), 0u);
  EXPECT_FALSE(upDs->m_LogUpload.m_bLogServerReconfigure.load());
  ASSERT_TRUE(WaitFor([&] { return upLive->ValidDocuments() == 1; }));
  EXPECT_EQ(upLive->Documents()[0].mapCard["deviceId"], "DEV-A");
}

TEST_F(LogUploadTest, TwoRecordsAlternateWhileTheServerIsDown) {
  auto upSim = DownServer();
  auto upDs = MakeSwitch(upSim->Port());
  upDs->SamvDecodeLogQueue(NewRecord("DEV-A"));
  upDs->SamvDecodeLogQueue(NewRecord("DEV-B"));
  std::string strOut;
  EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
  EXPECT_EQ(Queue(*upDs), (std::vector<std::string>{"DEV-B", "DEV-A"}));
  EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
  EXPECT_EQ(Queue(*upDs), (std::vector<std::string>{"DEV-A", "DEV-B"}));
}

TEST_F(LogUploadTest, NoLogServerDrainsOneRecordPerPass) {
  auto upSim = StartServer(LogServerSimMode::Normal);
  auto upDs = MakeSwitch(0);
  upDs->SamvDecodeLogQueue(NewRecord("DEV-A"));
  upDs->SamvDecodeLogQueue(NewRecord("DEV-B"));
  std::string strOut;
  EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
  EXPECT_EQ(Queue(*upDs), std::vector<std::string>{"DEV-B"});
  EXPECT_TRUE(Has(strOut, "[delete psttSamvDecodeLog]"));
  EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
  EXPECT_EQ(upDs->DecodeLogQueueSize(), 0u);
  EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
  EXPECT_EQ(strOut, "");
  EXPECT_EQ(upSim->Connections(), 0u);
}

TEST_F(LogUploadTest, ClientIsReconfiguredOnlyWhenAsked) {
  auto upSim = StartServer(LogServerSimMode::Normal);
  auto upDown = DownServer();
  auto upDs = MakeSwitch(upSim->Port());
  // A client left pointing elsewhere, with no request to reconfigure it, stays as it is.
  upDs->m_LogUpload.m_bLogServerReconfigure = false;
  upDs->m_LogUpload.m_LogServerLink.Configure("127.0.0.1", upDown->Port(), LogServerTlsSettings(),
                                              nullptr);
  upDs->SamvDecodeLogQueue(NewRecord("DEV-A"));
  std::string strOut;
  EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
  EXPECT_EQ(upSim->Connections(), 0u);
  upDs->m_LogUpload.m_bLogServerReconfigure = true;
  EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
  EXPECT_EQ(upDs->DecodeLogQueueSize(), 0u);
  EXPECT_TRUE(WaitFor([&] { return upSim->ValidDocuments() == 1; }));
}

TEST_F(LogUploadTest, NoLogServerKeepsTheSpoolUntilOneIsConfigured) {
  const std::string strSpool = m_dir.File("spool");
  {
    // A run with a log server that is down leaves two records in the spool.
    auto upDown = DownServer();
    auto upDs = MakeSwitch(upDown->Port());
    upDs->m_DecodeLogQueue.Open(strSpool, 1u << 20);
    upDs->SamvDecodeLogQueue(NewRecord("DEV-A"));
    upDs->SamvDecodeLogQueue(NewRecord("DEV-B"));
  }
  ASSERT_EQ(CountFiles(strSpool, ".rec"), 2u);

  // Started with LOG_SERVER.PORT=0, and the port cleared again later (command 81): the spool is
  // named once and kept, however many passes go by.
  auto upDs = MakeSwitch(0);
  upDs->m_DecodeLogQueue.Open(strSpool, 1u << 20);
  std::string strOut;
  EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
  EXPECT_TRUE(Has(strOut, std::string(kPrefix))) << strOut;
  EXPECT_TRUE(Has(strOut, "no log server configured (LOG_SERVER.PORT 0): 2 card records stay in "
                          "the spool " + strSpool + "/ until one is]"))
      << strOut;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
    EXPECT_EQ(strOut, "");
  }
  EXPECT_EQ(CountFiles(strSpool, ".rec"), 2u);
  EXPECT_EQ(upDs->DecodeLogQueueSize(), 2u);

  // A log server configured again receives both, oldest first, and the files go.
  auto upLive = StartServer(LogServerSimMode::Normal);
  auto setPort = [&](uint16_t unPort) {
    boost::mutex::scoped_lock lock(upDs->m_mtxSystemConfig);
    upDs->m_stSystemConfig.unLogServerPort = unPort;
  };
  setPort(upLive->Port());
  upDs->m_LogUpload.RequestReconfigure();
  EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
  setPort(0);
  EXPECT_EQ(Step(*upDs, &strOut), 0u) << strOut;
  EXPECT_TRUE(Has(strOut, ": 1 card records stay in the spool ")) << strOut;
  setPort(upLive->Port());
  EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
  ASSERT_TRUE(WaitFor([&] { return upLive->ValidDocuments() == 2; }));
  EXPECT_EQ(upLive->Documents()[0].mapCard["deviceId"], "DEV-A");
  EXPECT_EQ(upLive->Documents()[1].mapCard["deviceId"], "DEV-B");
  EXPECT_EQ(CountFiles(strSpool, ".rec"), 0u);
}

// A record keeps one transaction identifier however often it is sent: after an answer that never
// came, and after a restart.
TEST_F(LogUploadTest, ARecordKeepsItsTransactionIdAcrossAttemptsAndRestarts) {
  const std::string strSpool = m_dir.File("spool");
  auto upClosing = StartServer(LogServerSimMode::Close);
  {
    auto upDs = MakeSwitch(upClosing->Port());
    upDs->m_DecodeLogQueue.Open(strSpool, 1u << 20);
    upDs->SamvDecodeLogQueue(NewRecord("DEV-A"));
    std::string strOut;
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
      EXPECT_TRUE(Has(strOut, " Receive False]")) << strOut;
    }
  }
  auto upLive = StartServer(LogServerSimMode::Normal);
  auto upDs = MakeSwitch(upLive->Port());
  upDs->m_DecodeLogQueue.Open(strSpool, 1u << 20);
  std::string strOut;
  EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
  ASSERT_TRUE(WaitFor([&] { return upClosing->Requests() == 2 && upLive->ValidDocuments() == 1; }));
  std::vector<LogServerDocument> arrDocs = upClosing->Documents();
  arrDocs.push_back(upLive->Documents()[0]);
  for (const LogServerDocument& doc : arrDocs) {
    ASSERT_TRUE(doc.bValid) << doc.strError;
    EXPECT_EQ(doc.strTransactionId, arrDocs[0].strTransactionId);
  }
}

TEST_F(LogUploadTest, ConnectionCarriesTheNextRecordWhileTheServerKeepsIt) {
  using After = LogServerSimOptions::AfterAnswer;
  struct Row {
    const char* szName;
    After eAfter;
    uint32_t unConnections;  // for three records
  } const rows[] = {{"server keeps its connections", After::Keep, 1},
                    {"server closes after every answer", After::Close, 3},
                    {"server answers Connection: close", After::SayClose, 3}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    LogServerSimOptions options;
    options.strSecretKey = kSecretKey;
    options.eAfterAnswer = row.eAfter;
    CLogServerSim sim(options);
    sim.Start();
    auto upDs = MakeSwitch(sim.Port());
    for (const char* szDevice : {"DEV-A", "DEV-B", "DEV-C"}) {
      upDs->SamvDecodeLogQueue(NewRecord(szDevice));
    }
    for (int i = 0; i < 3; ++i) {
      std::string strOut;
      EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
      EXPECT_FALSE(Has(strOut, " False")) << strOut;
    }
    EXPECT_EQ(upDs->DecodeLogQueueSize(), 0u);
    ASSERT_TRUE(WaitFor([&] { return sim.ValidDocuments() == 3; }));
    EXPECT_EQ(sim.Requests(), 3u);
    EXPECT_EQ(sim.MaxReceiveCount(), 1u) << sim.DuplicateReport();
    EXPECT_EQ(sim.Connections(), row.unConnections);
  }
}

TEST_F(LogUploadTest, KeptConnectionThatTheServerClosedIsReplacedAtOnce) {
  LogServerSimOptions options;
  options.strSecretKey = kSecretKey;
  auto upSim = std::unique_ptr<CLogServerSim>(new CLogServerSim(options));
  upSim->Start();
  auto upDs = MakeSwitch(upSim->Port());
  upDs->SamvDecodeLogQueue(NewRecord("DEV-A"));
  upDs->SamvDecodeLogQueue(NewRecord("DEV-B"));
  std::string strOut;
  EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
  // The server goes away and comes back on the same port while the connection is idle.
  const uint16_t unPort = upSim->Port();
  upSim.reset();
  options.unPort = unPort;
  upSim.reset(new CLogServerSim(options));
  upSim->Start();
  EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
  EXPECT_FALSE(Has(strOut, " False")) << strOut;
  EXPECT_EQ(upDs->DecodeLogQueueSize(), 0u);
  EXPECT_EQ(upSim->ValidDocuments(), 1u);
}

TEST_F(LogUploadTest, TryAgainStatusesKeepTheRecordForTheirRetryAfter) {
  struct Row {
    int nStatus;
    const char* szHeaders;
    bool bHold;  // the next step waits for the Retry-After
  } const rows[] = {{408, "", false},
                    {429, "Retry-After: 1\r\n", true},
                    {503, "Retry-After: 1\r\n", true},
                    {429, "Retry-After: Thu, 01 Jan 1970 00:00:00 GMT\r\n", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.nStatus) + " " + row.szHeaders);
    LogServerSimOptions options;
    options.strSecretKey = kSecretKey;
    options.nStatus = row.nStatus;
    options.unStatusFirst = 1;  // then 200
    options.strAnswerHeaders = row.szHeaders;
    CLogServerSim sim(options);
    sim.Start();
    auto upDs = MakeSwitch(sim.Port());
    upDs->SamvDecodeLogQueue(NewRecord("DEV-A"));
    std::string strOut;
    EXPECT_EQ(Step(*upDs, &strOut), 1u) << strOut;
    EXPECT_TRUE(Has(strOut, "answered with HTTP status " + std::to_string(row.nStatus) +
                                ": the card record is retried"))
        << strOut;
    EXPECT_EQ(Queue(*upDs), std::vector<std::string>{"DEV-A"});
    const auto tmAnswered = std::chrono::steady_clock::now();
    uint32_t unResult = 0;
    ASSERT_TRUE(WaitFor([&] {
      unResult = Step(*upDs, &strOut);
      return unResult == 1u;
    })) << strOut;
    EXPECT_EQ(upDs->DecodeLogQueueSize(), 0u) << strOut;
    if (row.bHold) {
      EXPECT_GE(std::chrono::steady_clock::now() - tmAnswered, std::chrono::milliseconds(900));
    }
    EXPECT_EQ(sim.Requests(), 2u);
  }
}
