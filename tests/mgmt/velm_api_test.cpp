#include "mgmt/velm_api.h"

#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/shared_random.h"
#include "mcu_sim.h"
#include "support/test_util.h"

namespace {

std::vector<uint8_t> Frame(const uint8_t* p, size_t n) {
  return std::vector<uint8_t>(p, p + n);
}

McuRtcRecord Rtc(uint16_t y, uint8_t mo, uint8_t d, uint8_t h, uint8_t mi, uint8_t s) {
  McuRtcRecord rec = {};
  rec.unYear = y;
  rec.byMonth = mo;
  rec.byDay = d;
  rec.byHour = h;
  rec.byMinute = mi;
  rec.bySecond = s;
  return rec;
}

std::vector<uint8_t> RtcBytes(const McuRtcRecord& rec) {
  uint8_t arr[McuRtcLayout::kSize];
  EncodeMcuRtc(rec, arr);
  return Frame(arr, sizeof(arr));
}

TEST(McuFrameTest, RequestFramesMatchKnownBytes) {
  struct Case {
    const char* szName;
    uint8_t arrNonce[4];
    uint8_t bySequence;
    uint8_t byCommand;
    std::vector<uint8_t> arrExpected;
  } const cases[] = {
      {"zero nonce serial number",
       {0, 0, 0, 0},
       0,
       0x38,
       {0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x39, 0x02, 0x03, 0x31}},
      {"reset",
       {0x11, 0x22, 0x33, 0x44},
       5,
       0xEC,
       {0x09, 0x11, 0x22, 0x33, 0x44, 0x14, 0xCF, 0x31, 0x47, 0xE0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szName);
    uint8_t arrFrame[kMcuFrameSize];
    std::memset(arrFrame, 0xAA, sizeof(arrFrame));
    size_t n = BuildMcuRequest(arrFrame, c.arrNonce, c.bySequence, c.byCommand, nullptr, 0);
    EXPECT_EQ(Frame(arrFrame, n), c.arrExpected);
    EXPECT_EQ(arrFrame[n], 0) << "the rest of the frame is cleared";
  }
}

TEST(McuFrameTest, PayloadIsScrambledAfterTheBigEndianLength) {
  const uint8_t arrNonce[4] = {0x9A, 0x01, 0x7F, 0xC3};
  std::vector<uint8_t> arrPayload(13);
  for (size_t i = 0; i < arrPayload.size(); ++i) {
    arrPayload[i] = static_cast<uint8_t>(0xB0 + i);
  }
  uint8_t arrFrame[kMcuFrameSize];
  size_t n = BuildMcuRequest(arrFrame, arrNonce, 0x42, 0x5C, arrPayload.data(), arrPayload.size());
  ASSERT_EQ(n, 23u);
  EXPECT_EQ(arrFrame[0], 22);
  EXPECT_EQ(Frame(arrFrame + 1, 4), Frame(arrNonce, 4));
  uint8_t byXor = 0;
  for (size_t i = 0; i < n; ++i) {
    byXor ^= arrFrame[i];
  }
  EXPECT_EQ(byXor, 0);
  // Undo the scrambling by hand: byte 5 + i ^= nonce[i % 4] ^ i.
  std::vector<uint8_t> arrPlain(arrFrame + 5, arrFrame + n - 1);
  for (size_t i = 0; i < arrPlain.size(); ++i) {
    arrPlain[i] ^= static_cast<uint8_t>(arrNonce[i % 4] ^ i);
  }
  EXPECT_EQ(arrPlain[0], 0x42);
  EXPECT_EQ(arrPlain[1], 0x5C);
  EXPECT_EQ(arrPlain[2], 0x00);
  EXPECT_EQ(arrPlain[3], 0x0D);
  EXPECT_EQ(std::vector<uint8_t>(arrPlain.begin() + 4, arrPlain.end()), arrPayload);

  EXPECT_EQ(BuildMcuRequest(arrFrame, arrNonce, 0, 0x5C, nullptr, 246), 256u);
  EXPECT_EQ(BuildMcuRequest(arrFrame, arrNonce, 0, 0x5C, nullptr, 247), 0u);
}

TEST(McuFrameTest, NonceFromSeed) {
  uint8_t arrNonce[4] = {0};
  McuNonceFromSeed(0x12345678, arrNonce);  // bytes 78 56 34 12, digest text "f653..."
  EXPECT_EQ(Frame(arrNonce, 4), (std::vector<uint8_t>{0x1E, 0x60, 0x01, 0x21}));
}

TEST(McuFrameTest, ReplyScramblingLeavesLengthAndChecksumAndUndoesItself) {
  const uint8_t arrNonce[4] = {0x01, 0x02, 0x03, 0x04};
  uint8_t arrReply[8] = {7, 0x10, 0x00, 0x02, 0xAB, 0xCD, 0xEF, 0x99};
  uint8_t arrCopy[8];
  std::memcpy(arrCopy, arrReply, sizeof(arrReply));
  ScrambleMcuReply(arrReply, sizeof(arrReply), arrNonce);
  EXPECT_EQ(arrReply[0], 7);
  EXPECT_EQ(arrReply[7], 0x99);
  // Byte 1 + i ^= i ^ nonce[i % 4] ^ mask[i % 4].
  EXPECT_EQ(arrReply[1], 0x10 ^ 0 ^ 0x01 ^ 0xA4);
  EXPECT_EQ(arrReply[5], 0xCD ^ 4 ^ 0x01 ^ 0xA4);
  ScrambleMcuReply(arrReply, sizeof(arrReply), arrNonce);
  EXPECT_EQ(Frame(arrReply, 8), Frame(arrCopy, 8));
  uint8_t arrTiny[2] = {1, 0x55};
  ScrambleMcuReply(arrTiny, 2, arrNonce);  // nothing between length and checksum
  EXPECT_EQ(arrTiny[1], 0x55);
}

// A channel aimed at an in-process module controller.
class CVelmApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sim.Start();
    m_api.Open();
    m_api.SetTarget("127.0.0.1", m_sim.Port());
  }

  // The frame accessors are const; the non-const names are the channel's own steps.
  const CVelmApi& Api() const { return m_api; }

  CMcuSim m_sim;
  CVelmApi m_api;
};

TEST_F(CVelmApiTest, SequenceStartsAtZeroAndFollowsTheReplies) {
  EXPECT_EQ(m_api.Sequence(), 0);
  ASSERT_TRUE(m_api.ResetMcu());  // a 5-byte reply with byte 0 = 4
  EXPECT_EQ(m_api.LastResult(), 0u);
  EXPECT_EQ(m_sim.LastRequest().bySequence, 0);
  EXPECT_EQ(m_api.Sequence(), 1);
  m_sim.SetSequenceStep(0x40);
  ASSERT_TRUE(m_api.ResetMcu());
  EXPECT_EQ(m_sim.LastRequest().bySequence, 1);
  EXPECT_EQ(m_api.Sequence(), 0x41);
  EXPECT_EQ(m_sim.Resets(), 2u);
  EXPECT_EQ(m_sim.BadRequests(), 0u);
}

TEST_F(CVelmApiTest, NonceComesFromTheSeededDrawsAndTheFrameCounter) {
  // Find the generator seed (the time in seconds) and the frame counter behind each nonce the
  // module saw. Two requests in a row use consecutive counter values.
  auto findCounter = [](const uint8_t* pNonce, time_t tFirst, time_t tLast, uint32_t* pCounter) {
    for (time_t t = tFirst; t <= tLast; ++t) {
      CRandomType3 gen(static_cast<uint32_t>(t));
      uint32_t r1 = static_cast<uint32_t>(gen.Next());
      uint32_t r2 = static_cast<uint32_t>(gen.Next());
      uint32_t unBase = (r1 << 16) + r2;
      for (uint32_t c = 1; c < 100000; ++c) {
        uint8_t arrNonce[4];
        McuNonceFromSeed(unBase ^ c, arrNonce);
        if (std::memcmp(arrNonce, pNonce, 4) == 0) {
          *pCounter = c;
          return true;
        }
      }
    }
    return false;
  };
  uint32_t arrCounters[2] = {0, 0};
  for (uint32_t& unCounter : arrCounters) {
    time_t tBefore = time(nullptr);
    ASSERT_TRUE(m_api.ResetMcu());
    time_t tAfter = time(nullptr);
    McuSimRequest req = m_sim.LastRequest();
    EXPECT_EQ(Frame(req.arrNonce, 4), Frame(m_api.SentFrame() + 1, 4));
    ASSERT_TRUE(findCounter(req.arrNonce, tBefore, tAfter, &unCounter));
  }
  EXPECT_EQ(arrCounters[1], arrCounters[0] + 1);
}

TEST_F(CVelmApiTest, RepliesAreCheckedInOrder) {
  struct Case {
    const char* szName;
    McuSimMode mode;
    std::vector<uint8_t> arrRaw;  // sent verbatim when not empty
    uint32_t unResult;
    int nSequenceChange;  // -1: unchanged; else new - old (1: counted; 0x33: the module's byte 1)
  } const cases[] = {
      {"single byte 00", McuSimMode::Normal, {0x00}, 4, -1},
      {"6 bytes claiming 5", McuSimMode::Normal, {0x04, 1, 2, 3, 4, 0}, 3, -1},
      {"length byte too small", McuSimMode::Normal, {0x01, 0x00, 0x00}, 3, -1},
      {"bad checksum", McuSimMode::BadChecksum, {}, 5, 1},
      {"raw bad checksum", McuSimMode::Normal, {0x04, 0x10, 0x20, 0x30, 0x41}, 5, 1},
      {"module error code", McuSimMode::Error, {}, 7, 0x33},
      {"good reply", McuSimMode::Normal, {}, 0, 0x33},
  };
  m_sim.SetSequenceStep(0x33);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szName);
    m_sim.SetMode(c.mode);
    m_sim.SetRawReply(c.arrRaw);
    uint8_t byBefore = m_api.Sequence();
    bool bOk = m_api.ResetMcu();
    EXPECT_EQ(bOk, c.unResult == 0);
    EXPECT_EQ(m_api.LastResult(), c.unResult);
    uint8_t byExpected =
        c.nSequenceChange < 0 ? byBefore : static_cast<uint8_t>(byBefore + c.nSequenceChange);
    EXPECT_EQ(m_api.Sequence(), byExpected);
  }
}

TEST_F(CVelmApiTest, SilentModuleGivesResultThreeWithSequenceUnchanged) {
  ASSERT_TRUE(m_api.ResetMcu());
  uint8_t bySequence = m_api.Sequence();
  m_sim.SetMode(McuSimMode::Silent);
  EXPECT_FALSE(m_api.ResetMcu());
  EXPECT_EQ(m_api.LastResult(), 3u);
  EXPECT_EQ(m_api.Sequence(), bySequence);
  EXPECT_EQ(m_sim.Resets(), 2u);  // the request did go out
}

// The wait for a reply asks the interrupt every 50 ms: a reply that comes meanwhile is taken as
// always, and once the interrupt says so the wait ends as if nothing had come.
TEST_F(CVelmApiTest, AWaitingTransactionAsksTheInterruptAndEndsWhenItSaysSo) {
  m_sim.SetMode(McuSimMode::Hold);
  int nAsked = 0;
  m_api.SetInterrupt([&] {
    if (++nAsked == 4) {
      m_sim.ReleaseHeld();  // the module answers while the transaction waits
    }
    return false;
  });
  EXPECT_TRUE(m_api.ResetMcu());
  EXPECT_GE(nAsked, 4);

  nAsked = 0;
  m_api.SetInterrupt([&] { return ++nAsked == 3; });
  EXPECT_FALSE(m_api.ResetMcu());
  EXPECT_EQ(m_api.LastResult(), 3u);
  EXPECT_EQ(nAsked, 3);
  EXPECT_EQ(m_sim.Resets(), 2u);  // the request did go out
}

TEST_F(CVelmApiTest, EmptyTargetFailsAtOnceWithoutSending) {
  struct Case {
    const char* szAddress;
    uint32_t unPort;
    uint32_t unStoredPort;
  } const cases[] = {{nullptr, 0, 0}, {nullptr, 5, 0}, {"127.0.0.1", 0, 0}, {"", 5, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szAddress == nullptr ? "(null)" : c.szAddress);
    m_api.SetTarget(c.szAddress, c.unPort);
    EXPECT_EQ(m_api.TargetAddress()[0], '\0');
    EXPECT_EQ(m_api.TargetPort(), c.unStoredPort);
    EXPECT_FALSE(m_api.ResetMcu());
    EXPECT_EQ(m_api.LastResult(), 1u);
  }
  // Nothing reached the module: the next real request is the first it sees.
  m_api.SetTarget("127.0.0.1", m_sim.Port());
  ASSERT_TRUE(m_api.ResetMcu());
  EXPECT_EQ(m_sim.Requests(), 1u);
}

TEST(CVelmApiClosedTest, WithoutAChannelNothingIsSent) {
  CVelmApi api;
  api.SetTarget("127.0.0.1", 9);
  EXPECT_FALSE(api.ResetMcu());
  EXPECT_EQ(api.LastResult(), 1u);
  api.Open();  // clears the target
  EXPECT_EQ(api.TargetPort(), 0u);
  EXPECT_FALSE(api.ResetMcu());
  EXPECT_EQ(api.LastResult(), 1u);
  api.Close();
}

// A reply that came after its exchange gave up once became the answer to the next request (and
// so on, one behind, for every later exchange). It is dropped before the next request goes out.
TEST_F(CVelmApiTest, LateReplyIsDroppedBeforeTheNextTransaction) {
  m_sim.SetMode(McuSimMode::Hold);
  EXPECT_FALSE(m_api.ResetMcu());
  EXPECT_EQ(m_api.LastResult(), 3u);

  m_sim.SetMode(McuSimMode::Normal);
  m_sim.ReleaseHeld();
  ASSERT_TRUE(WaitFor([this] { return m_sim.RepliesSent() == 1; }));
  m_sim.SetClock(Rtc(2026, 5, 6, 10, 11, 5), true);
  McuRtcRecord rec = {};
  ASSERT_TRUE(m_api.GetMcuRtc(&rec)) << m_api.LastResult();
  EXPECT_EQ(Api().ReceivedFrame()[0], 16);  // the 17-byte clock reply, not the 5-byte reset one
  EXPECT_EQ(rec.unYear, 2026);
  EXPECT_EQ(rec.byMinute, 11);
  ASSERT_TRUE(m_api.ResetMcu());
  EXPECT_EQ(Api().ReceivedFrame()[0], 4);
}

// Only the addressed module's address and port answer: a datagram from elsewhere (here a refusal
// of the very request, from another port) is ignored with one run-log line, and the module's
// own reply, coming after it, is taken.
TEST_F(CVelmApiTest, DatagramFromAnotherPortIsIgnored) {
  m_sim.SetStrayReplyFirst(true);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(m_api.ResetMcu());
  EXPECT_TRUE(m_api.ResetMcu());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(m_api.LastResult(), 0u);
  EXPECT_EQ(m_sim.StraysSent(), 2u);
  EXPECT_EQ(m_sim.Resets(), 2u);
  const std::string strLine =
      "ignored: waiting for 127.0.0.1:" + std::to_string(m_sim.Port());
  size_t unFirst = out.find(strLine);
  ASSERT_NE(unFirst, std::string::npos) << out;
  size_t unSecond = out.find(strLine, unFirst + 1);
  ASSERT_NE(unSecond, std::string::npos) << out;  // one line per exchange
  EXPECT_EQ(out.find(strLine, unSecond + 1), std::string::npos) << out;

  // A stranger alone leaves the exchange without a reply at its deadline.
  m_sim.SetMode(McuSimMode::Silent);
  EXPECT_FALSE(m_api.ResetMcu());
  EXPECT_EQ(m_api.LastResult(), 3u);
}

TEST_F(CVelmApiTest, SerialNumberIsUpperCaseHex) {
  m_sim.SetSerialNo({0x01, 0xA2, 0xFF});
  char szSerial[64];
  std::memset(szSerial, 'x', sizeof(szSerial));
  ASSERT_TRUE(m_api.GetMcuSerailNo(szSerial, sizeof(szSerial)));
  EXPECT_STREQ(szSerial, "01A2FF");
  EXPECT_EQ(szSerial[63], '\0') << "the whole buffer is cleared";
  EXPECT_EQ(m_sim.SerialNoRequests(), 1u);
  EXPECT_EQ(m_sim.LastRequest().arrPayload.size(), 0u);
}

TEST_F(CVelmApiTest, SerialNumberTextAlwaysEndsInsideTheBuffer) {
  struct Case {
    size_t unSerialBytes;
    int nClaimed;  // the module's data-length byte, -1: the true one
    size_t unCapacity;
    size_t unExpectedChars;
  } const cases[] = {
      {31, -1, 64, 62},
      {32, -1, 64, 62},
      {40, -1, 65, 64},
      {40, -1, 1000, 80},
      {40, 255, 1000, 2 * (kMcuFrameSize - 4)},  // a count past the frame reads no further
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.unSerialBytes) + " bytes, capacity " +
                 std::to_string(c.unCapacity));
    std::vector<uint8_t> arrSerial(c.unSerialBytes, 0xC5);
    m_sim.SetSerialNo(arrSerial);
    m_sim.SetClaimedDataLength(c.nClaimed);
    std::vector<char> buf(c.unCapacity, 'x');
    ASSERT_TRUE(m_api.GetMcuSerailNo(buf.data(), buf.size()));
    EXPECT_EQ(strnlen(buf.data(), buf.size()), c.unExpectedChars);
    EXPECT_EQ(std::string(buf.data(), 4), "C5C5");
  }
}

TEST_F(CVelmApiTest, SerialNumberNeedsSixtyFourBytes) {
  char szSerial[64] = {0};
  EXPECT_FALSE(m_api.GetMcuSerailNo(szSerial, 63));
  EXPECT_FALSE(m_api.GetMcuSerailNo(nullptr, 64));
  ASSERT_TRUE(m_api.ResetMcu());  // the first request the module sees
  EXPECT_EQ(m_sim.Requests(), 1u);
}

TEST_F(CVelmApiTest, BuildTimeNeedsThirtyTwoBytes) {
  char szText[40];
  std::memset(szText, 'x', sizeof(szText));
  EXPECT_FALSE(m_api.GetLibBuildTime(szText, 31));
  EXPECT_EQ(szText[0], 'x');
  EXPECT_FALSE(m_api.GetLibBuildTime(nullptr, 32));
  ASSERT_TRUE(m_api.GetLibBuildTime(szText, 32));
  EXPECT_STREQ(szText, "2023-09-24 06:45:01");
  EXPECT_EQ(m_sim.Requests(), 0u);
}

TEST_F(CVelmApiTest, ClockIsReadAndSet) {
  McuRtcRecord stModule = Rtc(2026, 3, 4, 5, 6, 7);
  const uint8_t arrOpaque[5] = {0x11, 0x22, 0x33, 0x44, 0x55};
  std::memcpy(stModule.arrOpaque, arrOpaque, 5);
  m_sim.SetClock(stModule, true);

  McuRtcRecord rec = Rtc(1999, 12, 31, 23, 59, 58);
  ASSERT_TRUE(m_api.GetMcuRtc(&rec));
  EXPECT_EQ(RtcBytes(rec),
            (std::vector<uint8_t>{0xEA, 0x07, 3, 4, 5, 6, 7, 0x11, 0x22, 0x33, 0x44, 0x55}));
  McuSimRequest req = m_sim.LastRequest();
  std::vector<uint8_t> arrExpectedPayload = {0x00};
  std::vector<uint8_t> arrSent = RtcBytes(Rtc(1999, 12, 31, 23, 59, 58));
  arrExpectedPayload.insert(arrExpectedPayload.end(), arrSent.begin(), arrSent.end());
  EXPECT_EQ(req.byCommand, 0x5C);
  EXPECT_EQ(req.arrPayload, arrExpectedPayload);

  McuRtcRecord stNew = Rtc(2027, 1, 2, 3, 4, 5);
  ASSERT_TRUE(m_api.SetMcuRtc(&stNew));
  EXPECT_EQ(m_sim.LastRequest().arrPayload[0], 0x01);
  EXPECT_EQ(RtcBytes(m_sim.LastClockSet()), RtcBytes(Rtc(2027, 1, 2, 3, 4, 5)));
  EXPECT_EQ(RtcBytes(stNew), RtcBytes(m_sim.Clock())) << "the record holds the module's answer";

  EXPECT_FALSE(m_api.SetMcuRtc(nullptr));
  EXPECT_FALSE(m_api.GetMcuRtc(nullptr));
  // A module that refuses leaves the record as it was.
  m_sim.SetMode(McuSimMode::Error);
  McuRtcRecord stKept = Rtc(2001, 2, 3, 4, 5, 6);
  EXPECT_FALSE(m_api.GetMcuRtc(&stKept));
  EXPECT_EQ(RtcBytes(stKept), RtcBytes(Rtc(2001, 2, 3, 4, 5, 6)));
  EXPECT_EQ(m_sim.BadRequests(), 0u);
}

}  // namespace
