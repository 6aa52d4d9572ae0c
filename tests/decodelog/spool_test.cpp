// The record file format, the durable queue and the reading of the log server's answer.
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "config/directory_sync.h"
#include "decodelog/decode_log_queue.h"
#include "decodelog/log_upload.h"
#include "decodelog/spool_record.h"
#include "support/test_util.h"

namespace {

DecodeLogRecord MakeRecord(uint32_t unAccount, uint32_t unDataLength) {
  DecodeLogRecord record;
  std::memset(&record, 0, sizeof(record));
  record.unAccountNo = unAccount;
  record.unRequestCount = 0x01020304;
  record.unAnswerCount = 7;
  CopyText(record.szDeviceIp, "10.0.0.9");
  CopyText(record.szDeviceId, "READER-1");
  std::memset(record.szTransData, 'T', sizeof(record.szTransData));  // fills it, no NUL
  record.unSamvDataLength = unDataLength;
  for (uint32_t i = 0; i < unDataLength && i < kSamvDataCapacity; ++i) {
    record.arrSamvData[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  return record;
}

uint32_t TakeAccount(CDecodeLogQueue& queue, uint64_t* punTicket) {
  std::unique_ptr<DecodeLogRecord> upRecord(new DecodeLogRecord);
  return queue.Take(punTicket, upRecord.get()) ? upRecord->unAccountNo : 0;
}

}  // namespace

TEST(SpoolRecordTest, RoundTripKeepsEveryFieldAndCutsTheUnusedAnswerBytes) {
  for (uint32_t unLength : {0u, 288u, 1311u, 2354u}) {
    SCOPED_TRACE(unLength);
    DecodeLogRecord record = MakeRecord(42, unLength);
    std::vector<uint8_t> arrFile = EncodeSpoolRecord(record);
    EXPECT_EQ(arrFile.size(), kSpoolHeaderSize + kSpoolFixedPayload + unLength);
    // Integers are little-endian whatever the host.
    EXPECT_EQ(GetLe32(arrFile.data() + kSpoolHeaderSize + 124), 0x01020304u);
    DecodeLogRecord back;
    ASSERT_EQ(DecodeSpoolRecord(arrFile.data(), arrFile.size(), &back), SpoolRecordStatus::Ok);
    EXPECT_EQ(std::memcmp(&back, &record, sizeof(record)), 0);
  }
}

TEST(SpoolRecordTest, DamagedFilesAreRecognised) {
  const std::vector<uint8_t> arrGood = EncodeSpoolRecord(MakeRecord(1, 288));
  struct Row {
    const char* szName;
    std::vector<uint8_t> arrFile;
    SpoolRecordStatus eExpected;
  };
  std::vector<Row> rows;
  rows.push_back({"empty", {}, SpoolRecordStatus::Truncated});
  rows.push_back({"header only", std::vector<uint8_t>(arrGood.begin(), arrGood.begin() + 16),
                  SpoolRecordStatus::Truncated});
  rows.push_back({"cut in the answer", std::vector<uint8_t>(arrGood.begin(), arrGood.end() - 1),
                  SpoolRecordStatus::Truncated});
  std::vector<uint8_t> arr = arrGood;
  arr[kSpoolHeaderSize + 1500] ^= 1;
  rows.push_back({"flipped bit", arr, SpoolRecordStatus::BadChecksum});
  arr = arrGood;
  PutLe16(arr.data() + 4, kSpoolRecordVersion + 1);
  rows.push_back({"newer version", arr, SpoolRecordStatus::UnknownVersion});
  arr = arrGood;
  arr[0] = 'X';
  rows.push_back({"other file", arr, SpoolRecordStatus::BadMagic});
  arr = arrGood;
  arr.push_back(0);
  rows.push_back({"trailing byte", arr, SpoolRecordStatus::BadLength});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    DecodeLogRecord back;
    EXPECT_EQ(DecodeSpoolRecord(row.arrFile.data(), row.arrFile.size(), &back), row.eExpected);
  }
}

TEST(DecodeLogQueueTest, RecordsOutliveTheQueueAndComeBackOldestFirst) {
  TempDir dir;
  const std::string strSpool = dir.File("spool");
  {
    CDecodeLogQueue queue;
    queue.Open(strSpool, 1u << 20);
    ASSERT_TRUE(queue.Durable());
    for (uint32_t i = 1; i <= 3; ++i) {
      ASSERT_TRUE(queue.Push(MakeRecord(i, 288)));
    }
    // A prepared record that was withdrawn leaves nothing behind.
    queue.Withdraw(queue.Prepare(MakeRecord(99, 288)));
    uint64_t unTicket = 0;
    EXPECT_EQ(TakeAccount(queue, &unTicket), 1u);
    queue.Delivered(unTicket);
    EXPECT_EQ(queue.Size(), 2u);
    EXPECT_EQ(queue.Spooled(), 2u);
    EXPECT_EQ(CountFiles(strSpool, ".rec"), 2u);
  }
  CDecodeLogQueue queue;
  queue.Open(strSpool, 1u << 20);
  EXPECT_EQ(queue.Size(), 2u);
  uint64_t unTicket = 0;
  EXPECT_EQ(TakeAccount(queue, &unTicket), 2u);
  queue.PutBack(unTicket);  // a failed attempt: to the tail
  EXPECT_TRUE(queue.Push(MakeRecord(4, 288)));
  EXPECT_EQ(TakeAccount(queue, &unTicket), 3u);
  queue.Reject(unTicket);
  EXPECT_EQ(CountFiles(strSpool + "/rejected", ".rec"), 1u);
  EXPECT_EQ(TakeAccount(queue, &unTicket), 2u);
  queue.Delivered(unTicket);
  EXPECT_EQ(TakeAccount(queue, &unTicket), 4u);
  queue.Delivered(unTicket);
  EXPECT_EQ(TakeAccount(queue, &unTicket), 0u);
  EXPECT_EQ(CountFiles(strSpool, ".rec"), 0u);
}

TEST(DecodeLogQueueTest, BoundDropsTheOldestInBothModes) {
  // A file counts its size; a record in memory counts the whole structure it takes.
  const size_t unFile = EncodeSpoolRecord(MakeRecord(0, 288)).size();
  for (bool bDurable : {true, false}) {
    SCOPED_TRACE(bDurable ? "spool" : "memory only");
    const size_t unCost = bDurable ? unFile : CDecodeLogQueue::kMemoryRecordBytes;
    TempDir dir;
    CDecodeLogQueue queue;
    ::testing::internal::CaptureStdout();
    queue.Open(bDurable ? dir.File("spool") : std::string(), 3 * unCost + unCost / 2);
    for (uint32_t i = 1; i <= 5; ++i) {
      ASSERT_TRUE(queue.Push(MakeRecord(i, 288)));
    }
    const std::string strOut = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(strOut.find("the oldest record was dropped, 2 dropped so far"), std::string::npos)
        << strOut;
    EXPECT_EQ(queue.Dropped(), 2u);
    EXPECT_EQ(queue.Size(), 3u);
    EXPECT_EQ(queue.Spooled(), bDurable ? 3u : 0u);
    uint64_t unTicket = 0;
    EXPECT_EQ(TakeAccount(queue, &unTicket), 3u);
  }
}

TEST(DecodeLogQueueTest, UnusableDirectoryFallsBackToMemory) {
  TempDir dir;
  dir.Write("file", "x");  // a directory below a plain file cannot be made, even by root
  CDecodeLogQueue queue;
  ::testing::internal::CaptureStdout();
  queue.Open(dir.File("file/spool"), 1u << 20);
  const std::string strOut = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(strOut.find("kept in memory only"), std::string::npos) << strOut;
  EXPECT_FALSE(queue.Durable());
  ASSERT_TRUE(queue.Push(MakeRecord(5, 288)));
  uint64_t unTicket = 0;
  EXPECT_EQ(TakeAccount(queue, &unTicket), 5u);
}

TEST(DecodeLogQueueTest, SetAsideNeverReplacesAnEarlierFile) {
  TempDir dir;
  const std::string strSpool = dir.File("spool/");
  ASSERT_EQ(::mkdir(strSpool.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((strSpool + "rejected").c_str(), 0755), 0);
  // Refused in an earlier life of a spool that was emptied since: numbering starts again at 1.
  dir.Write("spool/rejected/0000000000000001.rec", "earlier");
  CDecodeLogQueue queue;
  ::testing::internal::CaptureStdout();
  queue.Open(strSpool, 1u << 20);
  ASSERT_TRUE(queue.Push(MakeRecord(1, 288)));
  uint64_t unTicket = 0;
  ASSERT_EQ(TakeAccount(queue, &unTicket), 1u);
  queue.Reject(unTicket);
  const std::string strOut = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(strOut.find("card record 0000000000000001.rec.1 set aside in rejected/"),
            std::string::npos)
      << strOut;
  EXPECT_EQ(dir.Read("spool/rejected/0000000000000001.rec"), "earlier");
  EXPECT_TRUE(boost::filesystem::exists(strSpool + "rejected/0000000000000001.rec.1"));
}

TEST(DecodeLogQueueTest, SpoolThatStopsTakingRecordsIsReportedOncePerSpell) {
  TempDir dir;
  const std::string strSpool = dir.File("spool");
  CDecodeLogQueue queue;
  ::testing::internal::CaptureStdout();
  queue.Open(strSpool, 1u << 20);
  ASSERT_TRUE(queue.Durable());
  // The directory vanishes under the gateway (an unmounted stick): records go to memory.
  ASSERT_EQ(::rmdir(strSpool.c_str()), 0);
  for (uint32_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(queue.Push(MakeRecord(i, 288)));
  }
  EXPECT_EQ(queue.Spooled(), 0u);
  ASSERT_EQ(::mkdir(strSpool.c_str(), 0755), 0);
  ASSERT_TRUE(queue.Push(MakeRecord(4, 288)));
  const std::string strOut = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(CountOccurrences(strOut, "spool write failed"), 1u) << strOut;
  EXPECT_EQ(CountOccurrences(strOut, "spool writes again"), 1u) << strOut;
  EXPECT_EQ(queue.Size(), 4u);
  EXPECT_EQ(queue.Spooled(), 1u);
  uint64_t unTicket = 0;
  EXPECT_EQ(TakeAccount(queue, &unTicket), 1u);
}

TEST(DecodeLogQueueTest, LeftoverAndForeignFilesAtStartUp) {
  TempDir dir;
  const std::string strSpool = dir.File("spool/");
  ASSERT_EQ(::mkdir(strSpool.c_str(), 0755), 0);
  std::vector<uint8_t> arrFile = EncodeSpoolRecord(MakeRecord(8, 288));
  dir.Write("spool/0000000000000005.rec", std::string(arrFile.begin(), arrFile.end()));
  dir.Write("spool/0000000000000004.rec", std::string(arrFile.begin(), arrFile.begin() + 40));
  dir.Write("spool/0000000000000006.tmp", "half a write");
  dir.Write("spool/notes.txt", "an operator's file");
  CDecodeLogQueue queue;
  ::testing::internal::CaptureStdout();
  queue.Open(strSpool, 1u << 20);
  const std::string strOut = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(strOut.find("0000000000000004.rec set aside in bad/ (truncated)"), std::string::npos)
      << strOut;
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_FALSE(boost::filesystem::exists(strSpool + "0000000000000006.tmp"));
  EXPECT_TRUE(boost::filesystem::exists(strSpool + "notes.txt"));
  // New records are numbered after the old ones, so they come after them at the next start.
  ASSERT_TRUE(queue.Push(MakeRecord(9, 288)));
  EXPECT_TRUE(boost::filesystem::exists(strSpool + "0000000000000006.rec"));
}

// The answer as the upload sees it once all these bytes came.
static HttpAnswer ParseWholeAnswer(const std::string& strAnswer, bool bClosed) {
  const std::string strTail = strAnswer.substr(strAnswer.size() > 5 ? strAnswer.size() - 5 : 0);
  return ParseHttpAnswer(strAnswer, strAnswer.size(), strTail, bClosed);
}

TEST(HttpAnswerTest, StatusAndCompleteness) {
  struct Row {
    const char* szAnswer;
    bool bClosed;
    HttpAnswerState eState;
    int nStatus;
  } const rows[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", false, HttpAnswerState::Complete, 200},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n{}", false, HttpAnswerState::Incomplete, 200},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n{}", true, HttpAnswerState::Complete, 200},
      {"HTTP/1.0 500 Internal Server Error\r\n\r\n", false, HttpAnswerState::Incomplete, 500},
      {"HTTP/1.0 500 Internal Server Error\r\n\r\nbusy", true, HttpAnswerState::Complete, 500},
      {"HTTP/1.1 204 No Content\r\n\r\n", false, HttpAnswerState::Complete, 204},
      {"HTTP/1.1 400 Bad Request\r\ntransfer-encoding: chunked\r\n\r\n2\r\nno\r\n0\r\n\r\n",
       false, HttpAnswerState::Complete, 400},
      {"HTTP/1.1 201 Created\r\nContent-Len", false, HttpAnswerState::Incomplete, 201},
      {"HTTP/1.1 201 Created\r\nContent-Len", true, HttpAnswerState::Complete, 201},
      {"HTTP/1.1 2", false, HttpAnswerState::Incomplete, 0},
      {"HTTP/1.1 2", true, HttpAnswerState::Malformed, 0},
      {"OK\r\n", false, HttpAnswerState::Malformed, 0},
      {"{\"code\":0}", false, HttpAnswerState::Malformed, 0},
      {"HTTP/1.1 20x OK\r\n\r\n", false, HttpAnswerState::Malformed, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: many\r\n\r\n", false, HttpAnswerState::Malformed, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szAnswer);
    HttpAnswer answer = ParseWholeAnswer(row.szAnswer, row.bClosed);
    EXPECT_EQ(answer.eState, row.eState);
    if (row.eState != HttpAnswerState::Malformed) {
      EXPECT_EQ(answer.nStatus, row.nStatus);
    }
  }
}

TEST(HttpAnswerTest, InterimAnswersPersistenceAndRetryAfter) {
  struct Row {
    const char* szAnswer;
    bool bClosed;
    HttpAnswerState eState;
    int nStatus;
    bool bKeepAlive;
    long nRetryAfterS;
  } const rows[] = {
      // Interim answers are read past to the final one.
      {"HTTP/1.1 100 Continue\r\n\r\n", false, HttpAnswerState::Incomplete, 0, false, -1},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", false,
       HttpAnswerState::Complete, 200, true, -1},
      {"HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n",
       false, HttpAnswerState::Complete, 500, true, -1},
      {"HTTP/1.1 100 Continue\r\n\r\n", true, HttpAnswerState::Complete, 100, false, -1},
      // Whether the connection can carry the next request.
      {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}", false,
       HttpAnswerState::Complete, 200, false, -1},
      {"HTTP/1.1 200 OK\r\nConnection: Keep-Alive, Close\r\nContent-Length: 0\r\n\r\n", false,
       HttpAnswerState::Complete, 200, false, -1},
      {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n{}", false, HttpAnswerState::Complete, 200,
       false, -1},
      {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\n{}", false,
       HttpAnswerState::Complete, 200, true, -1},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", true, HttpAnswerState::Complete, 200,
       false, -1},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}x", false, HttpAnswerState::Complete, 200,
       false, -1},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", false,
       HttpAnswerState::Complete, 200, true, -1},
      {"HTTP/1.1 204 No Content\r\n\r\n", false, HttpAnswerState::Complete, 204, true, -1},
      // Retry-After in seconds; a date is kept as a time (not shown here); nonsense is ignored.
      {"HTTP/1.1 429 Too Many\r\nRetry-After: 7\r\nContent-Length: 0\r\n\r\n", false,
       HttpAnswerState::Complete, 429, true, 7},
      {"HTTP/1.1 503 Busy\r\nRetry-After: soon\r\nContent-Length: 0\r\n\r\n", false,
       HttpAnswerState::Complete, 503, true, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szAnswer);
    HttpAnswer answer = ParseWholeAnswer(row.szAnswer, row.bClosed);
    EXPECT_EQ(answer.eState, row.eState);
    EXPECT_EQ(answer.nStatus, row.nStatus);
    EXPECT_EQ(answer.bKeepAlive, row.bKeepAlive);
    EXPECT_EQ(answer.nRetryAfterS, row.nRetryAfterS);
  }
  const std::string strDated =
      "HTTP/1.1 503 Busy\r\nRetry-After: Fri, 31 Dec 1999 23:59:59 GMT\r\n\r\n";
  EXPECT_EQ(ParseHttpAnswer(strDated, strDated.size(), "", true).nRetryAtEpochS, 946684799);
}

TEST(DecodeLogQueueTest, FiguresNameTheOldestWaitingRecordWhereverItIs) {
  TempDir dir;
  const std::string strSpool = dir.File("spool");
  {
    CDecodeLogQueue queue;
    queue.Open(strSpool, 1u << 20);
    EXPECT_EQ(queue.GetFigures().nOldestAgeS, -1);
    ASSERT_TRUE(queue.Push(MakeRecord(1, 288)));
    ASSERT_TRUE(queue.Push(MakeRecord(2, 288)));
    EXPECT_LE(queue.GetFigures().nOldestAgeS, 1);
  }
  // A record of an earlier run is as old as its file; one dated in the future counts as new.
  const std::string strFirst = strSpool + "/0000000000000001.rec";
  const std::string strSecond = strSpool + "/0000000000000002.rec";
  ASSERT_TRUE(boost::filesystem::exists(strFirst));
  boost::filesystem::last_write_time(strFirst, std::time(nullptr) - 3600);
  boost::filesystem::last_write_time(strSecond, std::time(nullptr) + 86400);
  CDecodeLogQueue queue;
  queue.Open(strSpool, 1u << 20);
  CDecodeLogQueue::Figures figures = queue.GetFigures();
  EXPECT_EQ(figures.unQueued, 2u);
  EXPECT_EQ(figures.unSpooled, 2u);
  EXPECT_GT(figures.unBytes, 0u);
  EXPECT_GE(figures.nOldestAgeS, 3600);
  EXPECT_LE(figures.nOldestAgeS, 3600 + 60);
  // Taken for an attempt it still waits; put back, it sits at the tail and is still the oldest.
  uint64_t unTicket = 0;
  ASSERT_EQ(TakeAccount(queue, &unTicket), 1u);
  EXPECT_GE(queue.GetFigures().nOldestAgeS, 3600);
  queue.PutBack(unTicket);
  EXPECT_GE(queue.GetFigures().nOldestAgeS, 3600);
  ASSERT_EQ(TakeAccount(queue, &unTicket), 2u);
  queue.Delivered(unTicket);
  EXPECT_GE(queue.GetFigures().nOldestAgeS, 3600);
  ASSERT_EQ(TakeAccount(queue, &unTicket), 1u);
  queue.Delivered(unTicket);
  ASSERT_TRUE(queue.Push(MakeRecord(3, 288)));
  ASSERT_EQ(TakeAccount(queue, &unTicket), 3u);
  queue.Delivered(unTicket);
  figures = queue.GetFigures();
  EXPECT_EQ(figures.unQueued, 0u);
  EXPECT_EQ(figures.nOldestAgeS, -1);
}

// Every change to the spool directory is synced once it is made, in each directory it touches:
// a power cut then neither brings back a delivered or set-aside record (sent again) nor loses a
// queued one. Each sync is seen as "<directory below the test's> <record files in it then>".
TEST(DecodeLogQueueTest, EveryChangeToTheSpoolIsSyncedWhereItWasMade) {
  TempDir dir;
  std::vector<std::string> arrSynced;
  SetDirectorySyncObserver([&](const std::string& strDir) {
    arrSynced.push_back(strDir.substr(dir.Path().size()) + " " +
                        std::to_string(CountFiles(strDir, ".rec")));
  });
  struct Unhook {
    ~Unhook() { SetDirectorySyncObserver(nullptr); }
  } unhook;
  CDecodeLogQueue queue;
  queue.Open(dir.File("spool"), 1u << 20);
  uint64_t unTicket = 0;
  struct Step {
    const char* szName;
    std::function<void()> fnAction;
    std::vector<std::string> arrSyncs;
  } const steps[] = {
      {"a record is queued", [&] { ASSERT_TRUE(queue.Push(MakeRecord(1, 288))); }, {"spool 1"}},
      {"the log server took it",
       [&] {
         ASSERT_EQ(TakeAccount(queue, &unTicket), 1u);
         queue.Delivered(unTicket);
       },
       {"spool 0"}},
      {"the log server refused the next",
       [&] {
         ASSERT_TRUE(queue.Push(MakeRecord(2, 288)));
         ASSERT_EQ(TakeAccount(queue, &unTicket), 2u);
         queue.Reject(unTicket);
       },
       {"spool 1", "spool/rejected 1", "spool 0"}},
      {"a damaged file is found at the next start",
       [&] {
         dir.Write("spool/0000000000000009.rec", "not a record");
         CDecodeLogQueue next;
         next.Open(dir.File("spool"), 1u << 20);
       },
       {"spool/bad 1", "spool 0"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.szName);
    arrSynced.clear();
    ::testing::internal::CaptureStdout();
    step.fnAction();
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_EQ(arrSynced, step.arrSyncs);
  }
}

// The capture time is the record's transaction identifier (to 100 µs): the queue keeps it as
// captured, gives one to a record without, moves it on when another record of this run has it or
// is less than a second later, and keeps it across a restart.
TEST(DecodeLogQueueTest, EachRecordKeepsACaptureTimeOfItsOwn) {
  TempDir dir;
  struct Row {
    const char* szCaptured;
    const char* szKept;  // null: the time of storing, whatever it is
  } const rows[] = {
      {"2026-05-06 10:00:00.123456", "2026-05-06 10:00:00.123456"},
      {"2026-05-06 10:00:00.123499", "2026-05-06 10:00:00.123500"},  // same 100 µs
      {"2026-05-06 10:00:00", "2026-05-06 10:00:00.123600"},          // stepped back a little
      {"2026-05-06 10:00:02.500000", "2026-05-06 10:00:02.500000"},
      {"2026-05-06 10:00:01", "2026-05-06 10:00:01"},  // more than a second back: its own
      {"", nullptr},
  };
  std::vector<std::string> arrKept;
  {
    CDecodeLogQueue queue;
    ::testing::internal::CaptureStdout();
    queue.Open(dir.File("spool"), 1u << 20);
    (void)::testing::internal::GetCapturedStdout();
    for (const Row& row : rows) {
      DecodeLogRecord record = MakeRecord(1, 288);
      CopyText(record.szDecodeTime, row.szCaptured);
      ASSERT_TRUE(queue.Push(record));
    }
  }
  CDecodeLogQueue queue;  // the next start reads the same times back
  ::testing::internal::CaptureStdout();
  queue.Open(dir.File("spool"), 1u << 20);
  (void)::testing::internal::GetCapturedStdout();
  std::unique_ptr<DecodeLogRecord> upRecord(new DecodeLogRecord);
  uint64_t unTicket = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szCaptured);
    ASSERT_TRUE(queue.Take(&unTicket, upRecord.get()));
    const std::string strKept(upRecord->szDecodeTime, FieldLength(upRecord->szDecodeTime));
    if (row.szKept != nullptr) {
      EXPECT_EQ(strKept, row.szKept);
    } else {
      boost::posix_time::ptime tm;
      EXPECT_TRUE(GetDecodeTime(*upRecord, &tm)) << strKept;
    }
  }
}
