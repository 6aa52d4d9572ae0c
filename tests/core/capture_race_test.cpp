// A card answer is relayed to the device before it is captured. A device that has its answer may
// act at once: send its next request, or leave (the release zero-fills the client's work area).
// The record must still describe the request the answer belongs to.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/data_switch.h"
#include "decodelog/decode_log_capture.h"
#include "support/loopback.h"
#include "support/test_util.h"

namespace {

// The request fields of one card read, as frame dispatch writes them into the work area.
void SetRequest(CTcpClient& client, uint32_t unAccountNo, const char* szTransData) {
  uint8_t arrUser[64] = {0};
  uint8_t arrDevice[64] = {0};
  uint8_t arrTrans[1024] = {0};
  std::memcpy(arrDevice, "READER-R", 8);
  std::memcpy(arrTrans, szTransData, std::strlen(szTransData));
  client.SetRequestInfo(unAccountNo, arrUser, arrDevice, arrTrans);
}

}  // namespace

TEST(CaptureRaceTest, RecordDescribesTheRequestAnsweredWhateverTheDeviceDoesNext) {
  enum class Next { SendsTheNextRequest, Leaves };
  struct Row {
    const char* szName;
    Next eNext;
  } rows[] = {
      {"the device sends its next request", Next::SendsTheNextRequest},
      {"the device leaves and its client is released", Next::Leaves},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    TempDir dir;
    dir.Write("SystemConfig.ini", "[LOG_SERVER]\nIP_ADDRESS=127.0.0.1\nPORT=9\n");
    DataSwitch ds(dir.Path(), 0);
    ds.DataSwitchInit(false);
    CTcpClient client;
    client.Close();
    client.SetDeviceInfo("127.0.0.9");
    SetRequest(client, 1001, "{\"order\":\"first\"}");
    LoopbackPair pair;
    std::vector<uint8_t> answer(kAnswerTextOnly, 0x5A);

    // The capture thread logs the answer kind between the relay and the capture: holding
    // standard output stops it right there, after the device has the answer.
    flockfile(stdout);
    std::thread capture([&] {
      (void)ProcessSamvClientReceive(ds, &client, &pair.Peer(), pair.Gateway(), answer.data(),
                                     kAnswerTextOnly);
    });
    bool bRelayed = pair.ReadExactly(kAnswerTextOnly) == answer;
    if (r.eNext == Next::SendsTheNextRequest) {
      SetRequest(client, 1002, "{\"order\":\"second\"}");
    } else {
      client.Close();
    }
    funlockfile(stdout);
    capture.join();

    ASSERT_TRUE(bRelayed);
    std::unique_ptr<DecodeLogRecord> upRecord(ds.SamvDecodeLogQueue(nullptr));
    ASSERT_TRUE(upRecord);
    EXPECT_EQ(upRecord->unAccountNo, 1001u);
    EXPECT_STREQ(upRecord->szTransData, "{\"order\":\"first\"}");
    EXPECT_STREQ(upRecord->szDeviceId, "READER-R");
    EXPECT_STREQ(upRecord->szDeviceIp, "127.0.0.9");
    EXPECT_EQ(upRecord->unSamvDataLength, kAnswerTextOnly);
    EXPECT_EQ(upRecord->arrSamvData[0], 0x5A);
    EXPECT_FALSE(ds.SamvDecodeLogQueue(nullptr));

    // The work area keeps what came after: the next request with the answer, or nothing at all
    // once released.
    const DecodeLogRecord& area = *client.GetWorkArea();
    if (r.eNext == Next::SendsTheNextRequest) {
      EXPECT_EQ(area.unAccountNo, 1002u);
      EXPECT_EQ(area.unSamvDataLength, kAnswerTextOnly);
    } else {
      EXPECT_EQ(area.unAccountNo, 0u);
      EXPECT_EQ(area.unSamvDataLength, 0u);
    }
  }
}
