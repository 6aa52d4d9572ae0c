#include "decodelog/decode_log_capture.h"

#include <dirent.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "core/data_switch.h"
#include "support/loopback.h"
#include "support/test_util.h"

namespace {

class CaptureTest : public ::testing::Test {
 protected:
  CaptureTest() {
    SetLogPort(9);
    m_upSwitch.reset(new DataSwitch(m_dir.Path(), 0));
    m_upSwitch->DataSwitchInit(false);
    m_client.Close();  // a session starts from a zero-filled work area
  }
  ~CaptureTest() override {
    while (DecodeLogRecord* p = m_upSwitch->SamvDecodeLogQueue(nullptr)) {
      delete p;
    }
  }
  void SetLogPort(int nPort) {
    m_dir.Write("SystemConfig.ini", "[LOG_SERVER]\nIP_ADDRESS=127.0.0.1\nPORT=" +
                                        std::to_string(nPort) + "\n[SPOOL]\nDIR=spool\n");
  }
  // Relays an answer of unCount bytes and returns what was logged.
  std::string Answer(uint32_t unCount, uint32_t* punResult = nullptr) {
    std::vector<uint8_t> answer(unCount);
    for (uint32_t i = 0; i < unCount; ++i) {
      answer[i] = static_cast<uint8_t>(i * 13);
    }
    testing::internal::CaptureStdout();
    uint32_t unResult = ProcessSamvClientReceive(*m_upSwitch, &m_client, &m_pair.Peer(),
                                                 m_pair.Gateway(), answer.data(), unCount);
    std::string out = testing::internal::GetCapturedStdout();
    if (punResult != nullptr) {
      *punResult = unResult;
    }
    EXPECT_EQ(m_pair.ReadExactly(unCount), answer);  // relayed unchanged
    return out;
  }
  std::unique_ptr<DecodeLogRecord> Pop() {
    return std::unique_ptr<DecodeLogRecord>(m_upSwitch->SamvDecodeLogQueue(nullptr));
  }
  // A card command of the log-in group passed the check and goes to the module.
  void Command(const std::string& strTransData) {
    uint8_t arrTrans[1024] = {0};
    std::memcpy(arrTrans, strTransData.data(), strTransData.size());
    m_client.SetRequestInfo(1001, nullptr, nullptr, arrTrans);
  }
  // Relays one block as the client read it; returns what was logged.
  std::string Block(const std::vector<uint8_t>& block) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(ProcessSamvClientReceive(*m_upSwitch, &m_client, &m_pair.Peer(), m_pair.Gateway(),
                                       block.data(), static_cast<uint32_t>(block.size())),
              1u);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(m_pair.ReadExactly(block.size()), block);  // relayed unchanged
    return out;
  }
  // The records queued so far, as "<captured length> <transaction text>".
  std::vector<std::string> Records() {
    std::vector<std::string> arr;
    while (std::unique_ptr<DecodeLogRecord> rec = Pop()) {
      arr.push_back(std::to_string(rec->unSamvDataLength) + " " + rec->szTransData);
    }
    return arr;
  }
  // Record files in the spool, prepared or queued.
  size_t SpoolFiles() {
    size_t unCount = 0;
    if (DIR* pDir = opendir((m_dir.Path() + "spool").c_str())) {
      while (dirent* pEntry = readdir(pDir)) {
        unCount += std::string(pEntry->d_name).find(".rec") != std::string::npos;
      }
      closedir(pDir);
    }
    return unCount;
  }

  TempDir m_dir;
  std::unique_ptr<DataSwitch> m_upSwitch;
  CTcpClient m_client;
  LoopbackPair m_pair;
};

// An answer frame as a module writes it: its length word, then bytes that tell frames apart.
std::vector<uint8_t> Framed(uint32_t unSize, uint8_t bySeed) {
  std::vector<uint8_t> frame(unSize);
  PutLe32(frame.data(), unSize - 4);
  for (uint32_t i = 4; i < unSize; ++i) {
    frame[i] = static_cast<uint8_t>(bySeed + i * 13);
  }
  return frame;
}

size_t Count(const std::string& strText, const std::string& strWhat) {
  size_t unCount = 0;
  for (size_t i = strText.find(strWhat); i != std::string::npos; i = strText.find(strWhat, i + 1)) {
    ++unCount;
  }
  return unCount;
}

}  // namespace

TEST_F(CaptureTest, CardSizesAreCapturedAndQueued) {
  struct Row {
    uint32_t unCount;
    const char* message;
  } rows[] = {{288, "[Only Text]"}, {1311, "[Text Image]"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.unCount);
    uint32_t unResult = 0;
    EXPECT_NE(Answer(r.unCount, &unResult).find(r.message), std::string::npos);
    EXPECT_EQ(unResult, 1u);
    std::unique_ptr<DecodeLogRecord> rec = Pop();
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->unSamvDataLength, r.unCount);
    EXPECT_EQ(rec->arrSamvData[r.unCount - 1], static_cast<uint8_t>((r.unCount - 1) * 13));
    EXPECT_GE(std::string(rec->szDecodeTime).size(), 19u);
    EXPECT_FALSE(Pop());
  }
  EXPECT_EQ(m_client.GetWorkArea()->unAnswerCount, 2u);
}

TEST_F(CaptureTest, FingerprintNeedsBothPartsAndNeverOverflows) {
  EXPECT_NE(Answer(1313).find("[Text Image Fingerprint Part1]"), std::string::npos);
  EXPECT_FALSE(Pop());
  EXPECT_NE(Answer(1041).find("[Text Image Fingerprint Part2]"), std::string::npos);
  std::unique_ptr<DecodeLogRecord> rec = Pop();
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->unSamvDataLength, 2354u);
  EXPECT_EQ(rec->arrSamvData[1313], 0);  // first byte of the second part (0 * 13)
  // A second part behind a complete answer is no card: not appended, no record.
  std::string out = Answer(1041);
  EXPECT_NE(out.find("Part2 behind 2354 captured bytes, not behind a Part1"), std::string::npos);
  EXPECT_FALSE(Pop());
  EXPECT_EQ(m_client.GetWorkArea()->unSamvDataLength, 2354u);
}

// A second part belongs behind a first part alone. Behind a text-and-photo answer (or nothing)
// it once made a 2352-byte record read with the fingerprint offsets: the previous card again,
// every field shifted. It is relayed and not captured, and the capture is left as it was.
TEST_F(CaptureTest, SecondPartWithoutAFirstPartIsNotCaptured) {
  struct Row {
    uint32_t unBefore;  // the answer before the second part; 0: none in this session
    size_t unRecordsBefore;
  } rows[] = {{1311, 1}, {288, 1}, {0, 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.unBefore);
    m_client.Close();
    if (r.unBefore != 0) {
      Answer(r.unBefore);
    }
    for (size_t i = 0; i < r.unRecordsBefore; ++i) {
      EXPECT_TRUE(Pop());
    }
    std::string out = Answer(1041);
    EXPECT_EQ(out.find("[Text Image Fingerprint Part2]"), std::string::npos) << out;
    EXPECT_NE(out.find("not behind a Part1: relayed, not captured"), std::string::npos) << out;
    EXPECT_FALSE(Pop());
    EXPECT_EQ(m_client.GetWorkArea()->unSamvDataLength, r.unBefore);
  }
}

TEST_F(CaptureTest, UnfinishedFingerprintIsQueuedWhenTheDeviceLeaves) {
  Answer(1313);
  testing::internal::CaptureStdout();
  QueueUnfinishedFingerprint(*m_upSwitch, &m_client);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("[Not Exist Part2]"), std::string::npos);
  std::unique_ptr<DecodeLogRecord> rec = Pop();
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->unSamvDataLength, 1313u);
}

// TCP gives the module's answers in reads of any size: split inside any part of a frame, or
// several frames in one read. Whatever the reads, the records are those of the frames as the
// module wrote them: each card once, with the fields of the command it answers, and nothing for
// an acknowledgement or a keep-alive.
TEST_F(CaptureTest, SplitAndJoinedAnswersGiveTheRecordsOfTheFramesAsWritten) {
  // Five commands sent before any answer; the fourth is answered with a short acknowledgement.
  const std::vector<std::string> arrCommands = {"A", "B", "C", "D", "E"};
  std::vector<std::vector<uint8_t>> arrFrames = {Framed(288, 1),  Framed(4, 0),   Framed(1311, 2),
                                                 Framed(1313, 3), Framed(1041, 4), Framed(20, 5),
                                                 Framed(288, 6)};
  std::fill(arrFrames[1].begin(), arrFrames[1].end(), 0);  // a keep-alive between answers
  const std::vector<std::string> arrExpected = {"288 A", "1311 B", "2354 C", "288 E"};
  std::vector<uint8_t> stream;
  std::vector<size_t> arrStarts;
  for (const std::vector<uint8_t>& frame : arrFrames) {
    arrStarts.push_back(stream.size());
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  // Reads: every frame alone, all in one, 100-byte pieces, and one cut at each offset class of
  // each frame (in the length word, just behind it, in the body, a byte before the end).
  std::vector<std::vector<size_t>> arrCutSets = {arrStarts, {}, {}};
  for (size_t i = 100; i < stream.size(); i += 100) {
    arrCutSets[2].push_back(i);
  }
  for (size_t i = 0; i < arrFrames.size(); ++i) {
    for (size_t unOffset : {1, 3, 4, 5, 12, 200, 1040, 1312}) {
      if (unOffset < arrFrames[i].size()) {
        arrCutSets.push_back({arrStarts[i] + unOffset});
      }
    }
  }
  for (const std::vector<size_t>& arrCuts : arrCutSets) {
    std::ostringstream trace;
    for (size_t unCut : arrCuts) {
      trace << unCut << " ";
    }
    SCOPED_TRACE("reads cut at " + trace.str());
    m_client.Close();
    for (const std::string& strCommand : arrCommands) {
      Command(strCommand);
    }
    std::string strLog;
    size_t unFrom = 0;
    std::vector<size_t> arrEnds = arrCuts;
    arrEnds.push_back(stream.size());
    for (size_t unEnd : arrEnds) {
      if (unEnd > unFrom) {
        strLog += Block(std::vector<uint8_t>(stream.begin() + unFrom, stream.begin() + unEnd));
      }
      unFrom = unEnd;
    }
    EXPECT_EQ(Records(), arrExpected);
    EXPECT_EQ(Count(strLog, "[Only Text]"), 2u) << strLog;
    EXPECT_EQ(Count(strLog, "[Text Image]"), 1u) << strLog;
    EXPECT_EQ(Count(strLog, "[Text Image Fingerprint Part1]"), 1u) << strLog;
    EXPECT_EQ(Count(strLog, "[Text Image Fingerprint Part2]"), 1u) << strLog;
  }
}

// A reader may send its next card command (or several) before the module answered: each answer
// is recorded with the fields of the oldest command still waiting, and a session's end drops
// what was never answered.
TEST_F(CaptureTest, EachAnswerIsRecordedWithTheCommandItAnswers) {
  struct Row {
    const char* szName;
    const char* szScript;  // "c:X" a command, "a:N" an answer of N bytes, "close" the release
    std::vector<std::string> arrRecords;
    size_t unNotExistPart2;
  } rows[] = {
      {"two commands, two texts", "c:1 c:2 a:288 a:1311", {"288 1", "1311 2"}, 0},
      {"three commands: fingerprint, text, photo",
       "c:1 c:2 c:3 a:1313 a:1041 a:288 a:1311",
       {"2354 1", "288 2", "1311 3"},
       0},
      {"a command between the two parts", "c:1 a:1313 c:2 a:1041 a:288", {"2354 1", "288 2"}, 0},
      {"a first part that another answer follows", "c:1 c:2 a:1313 a:288", {"1313 1", "288 2"}, 1},
      {"an answer that is no card answers its command", "c:1 c:2 a:20 a:288", {"288 2"}, 0},
      {"a close in the middle", "c:1 c:2 a:1313 close a:288", {"1313 1", "288 3"}, 1},
      {"no command waits: the latest command's fields", "c:1 a:288 a:288", {"288 1", "288 1"}, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    m_client.Close();
    std::istringstream script(r.szScript);
    std::string strStep;
    std::string strLog;
    uint8_t bySeed = 0;
    while (script >> strStep) {
      if (strStep == "close") {
        testing::internal::CaptureStdout();
        QueueUnfinishedFingerprint(*m_upSwitch, &m_client);
        strLog += testing::internal::GetCapturedStdout();
        m_client.Close();
        Command("3");  // the next session's command
      } else if (strStep.compare(0, 2, "c:") == 0) {
        Command(strStep.substr(2));
      } else {
        strLog += Block(Framed(static_cast<uint32_t>(std::stoul(strStep.substr(2))), ++bySeed));
      }
    }
    testing::internal::CaptureStdout();
    QueueUnfinishedFingerprint(*m_upSwitch, &m_client);  // the session ends
    strLog += testing::internal::GetCapturedStdout();
    EXPECT_EQ(Records(), r.arrRecords);
    EXPECT_EQ(Count(strLog, "[Not Exist Part2]"), r.unNotExistPart2) << strLog;
  }
}

// A reader that sends card commands without end keeps no more than a bounded number of them, and
// says so once.
TEST_F(CaptureTest, CommandsThatOutrunTheirAnswersAreBounded) {
  testing::internal::CaptureStdout();
  for (int i = 0; i < 1000; ++i) {
    Command(std::to_string(i));
  }
  std::string strLog = testing::internal::GetCapturedStdout();
  EXPECT_EQ(Count(strLog, "card commands wait for their answers"), 1u) << strLog;
  Block(Framed(288, 1));
  std::vector<std::string> arrRecords = Records();
  ASSERT_EQ(arrRecords.size(), 1u);
  EXPECT_EQ(arrRecords[0], "288 0");
}

// A fingerprint card's first part reaches the reader with its record already stored: a stop or
// a crash before the second part still leaves the card on record. The second part completes that
// record in place, so the card is stored once.
TEST_F(CaptureTest, FirstPartIsStoredBeforeTheReaderHasItAndCompletedInPlace) {
  m_upSwitch->OpenDecodeLogSpool();
  ASSERT_EQ(SpoolFiles(), 0u);
  Command("F");
  Block(Framed(1313, 1));
  EXPECT_EQ(SpoolFiles(), 1u);  // stored, not yet queued
  EXPECT_FALSE(Pop());
  Block(Framed(1041, 2));
  EXPECT_EQ(SpoolFiles(), 1u);
  EXPECT_EQ(Records(), std::vector<std::string>{"2354 F"});
  // Stored with the first part, then restarted: the record is queued by the next run, once.
  Command("G");
  Block(Framed(1313, 3));
  EXPECT_EQ(SpoolFiles(), 1u);
  DataSwitch restarted(m_dir.Path(), 0);
  restarted.DataSwitchInit(false);
  restarted.OpenDecodeLogSpool();
  std::unique_ptr<DecodeLogRecord> upRecord(restarted.SamvDecodeLogQueue(nullptr));
  ASSERT_TRUE(upRecord);
  EXPECT_EQ(upRecord->unSamvDataLength, 1313u);
  EXPECT_STREQ(upRecord->szTransData, "G");
  EXPECT_FALSE(restarted.SamvDecodeLogQueue(nullptr));
}

TEST_F(CaptureTest, OtherSizesAreRelayedOnly) {
  EXPECT_EQ(Answer(20), "");
  EXPECT_EQ(Answer(289), "");
  EXPECT_FALSE(Pop());
}

TEST_F(CaptureTest, WithoutALogServerNothingIsQueued) {
  SetLogPort(0);
  DataSwitch ds(m_dir.Path(), 0);
  ds.DataSwitchInit(false);
  std::vector<uint8_t> answer(288, 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ProcessSamvClientReceive(ds, &m_client, &m_pair.Peer(), m_pair.Gateway(), answer.data(),
                                     288),
            1u);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("[Only Text]"), std::string::npos);
  EXPECT_EQ(ds.DecodeLogQueueSize(), 0u);
}

TEST_F(CaptureTest, FailedRelayCapturesNothing) {
  m_pair.Gateway()->close();
  std::vector<uint8_t> answer(288, 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ProcessSamvClientReceive(*m_upSwitch, &m_client, &m_pair.Peer(), m_pair.Gateway(),
                                     answer.data(), 288),
            0u);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("Only Text"), std::string::npos);
  EXPECT_EQ(m_upSwitch->DecodeLogQueueSize(), 0u);
}

TEST_F(CaptureTest, QueueIsFirstInFirstOut) {
  EXPECT_EQ(m_upSwitch->SamvDecodeLogQueue(nullptr), nullptr);
  // The queue keeps copies: a push hands the record over, a pop hands a new one out.
  DecodeLogRecord* a = new DecodeLogRecord();
  DecodeLogRecord* b = new DecodeLogRecord();
  a->unAccountNo = 1;
  b->unAccountNo = 2;
  m_upSwitch->SamvDecodeLogQueue(a);
  m_upSwitch->SamvDecodeLogQueue(b);
  std::unique_ptr<DecodeLogRecord> upFirst(m_upSwitch->SamvDecodeLogQueue(nullptr));
  std::unique_ptr<DecodeLogRecord> upSecond(m_upSwitch->SamvDecodeLogQueue(nullptr));
  ASSERT_TRUE(upFirst && upSecond);
  EXPECT_EQ(upFirst->unAccountNo, 1u);
  EXPECT_EQ(upSecond->unAccountNo, 2u);
  EXPECT_EQ(m_upSwitch->SamvDecodeLogQueue(nullptr), nullptr);
}
