#include "decodelog/decode_log_capture.h"

#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

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
                                        std::to_string(nPort) + "\n");
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

  TempDir m_dir;
  std::unique_ptr<DataSwitch> m_upSwitch;
  CTcpClient m_client;
  LoopbackPair m_pair;
};

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

// A reader that sends its next card request between the two parts: the first part is recorded
// with the fields of its own request, and the late second part, which would otherwise be
// appended under the next request's fields, is relayed and not captured.
TEST_F(CaptureTest, NextRequestBetweenThePartsKeepsEachRecordToItsOwnRequest) {
  uint8_t arrTrans[1024] = {0};
  std::memcpy(arrTrans, "first", 5);
  m_client.SetRequestInfo(1001, nullptr, nullptr, arrTrans);
  Answer(1313);
  testing::internal::CaptureStdout();
  QueueUnfinishedFingerprint(*m_upSwitch, &m_client);  // what the next request does first
  EXPECT_NE(testing::internal::GetCapturedStdout().find("[Not Exist Part2]"), std::string::npos);
  std::memcpy(arrTrans, "second", 6);
  m_client.SetRequestInfo(1001, nullptr, nullptr, arrTrans);
  std::unique_ptr<DecodeLogRecord> rec = Pop();
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->unSamvDataLength, 1313u);
  EXPECT_STREQ(rec->szTransData, "first");
  EXPECT_NE(Answer(1041).find("not behind a Part1: relayed, not captured"), std::string::npos);
  EXPECT_FALSE(Pop());
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
