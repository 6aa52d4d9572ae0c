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
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

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

// One device session paired with a SAMV client, account 1001 having asked for a card: the data
// switch (with a log server, so records are queued), the client with its work area, and the
// device's connection.
struct Session {
  explicit Session(const char* szTransData) {
    dir.Write("SystemConfig.ini", "[LOG_SERVER]\nIP_ADDRESS=127.0.0.1\nPORT=9\n");
    ds.DataSwitchInit(false);
    client.Close();
    client.SetDeviceInfo("127.0.0.9");
    SetRequest(client, 1001, szTransData);
  }
  // The SAMV server's answer, relayed and captured as the client thread does it.
  uint32_t Answer(const std::vector<uint8_t>& answer) {
    return ProcessSamvClientReceive(ds, &client, &pair.Peer(), pair.Gateway(), answer.data(),
                                    static_cast<uint32_t>(answer.size()));
  }

  TempDir dir;
  DataSwitch ds{dir.Path(), 0};
  CTcpClient client;
  LoopbackPair pair;
};

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
    Session session("{\"order\":\"first\"}");
    DataSwitch& ds = session.ds;
    CTcpClient& client = session.client;
    LoopbackPair& pair = session.pair;
    std::vector<uint8_t> answer(kAnswerTextOnly, 0x5A);

    // The capture thread logs the answer kind between the relay and the capture: holding
    // standard output stops it right there, after the device has the answer.
    flockfile(stdout);
    std::thread capture([&] { (void)session.Answer(answer); });
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

// A fingerprint read ends with the device leaving: after the second part (normal end), or after
// the first (the second never comes). The release looks at the work area for a first part still
// waiting, so the area must hold each part by the time the device has it; otherwise the card is
// queued twice (a partial record beside the complete one) or not at all.
TEST(CaptureRaceTest, WorkAreaHoldsEachFingerprintPartBeforeTheDeviceHasIt) {
  struct Row {
    const char* szName;
    bool bSecondPart;
    uint32_t unRecordLength;
  } rows[] = {
      {"the device leaves after the second part", true,
       kAnswerFingerprintPart1 + kAnswerFingerprintPart2},
      {"the device leaves after the first part", false, kAnswerFingerprintPart1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    Session session("{\"order\":\"finger\"}");
    DataSwitch& ds = session.ds;
    CTcpClient& client = session.client;
    LoopbackPair& pair = session.pair;
    std::vector<uint8_t> part1(kAnswerFingerprintPart1, 0x11);
    std::vector<uint8_t> part2(kAnswerFingerprintPart2, 0x22);

    if (r.bSecondPart) {
      ASSERT_EQ(session.Answer(part1), 1u);
      ASSERT_EQ(pair.ReadExactly(kAnswerFingerprintPart1), part1);
    }
    const std::vector<uint8_t>& last = r.bSecondPart ? part2 : part1;
    // Hold the capture thread in its log line, after the device has the part.
    flockfile(stdout);
    std::thread capture([&] { (void)session.Answer(last); });
    bool bRelayed = pair.ReadExactly(last.size()) == last;
    uint32_t unAreaLength = client.WithWorkArea(
        [](DecodeLogRecord& area) { return area.unSamvDataLength; });
    funlockfile(stdout);
    capture.join();
    // The device's release: a first part still waiting is queued, then the area is cleared.
    QueueUnfinishedFingerprint(ds, &client);
    client.Close();

    ASSERT_TRUE(bRelayed);
    EXPECT_EQ(unAreaLength, r.unRecordLength);
    std::unique_ptr<DecodeLogRecord> upRecord(ds.SamvDecodeLogQueue(nullptr));
    ASSERT_TRUE(upRecord);
    EXPECT_EQ(upRecord->unAccountNo, 1001u);
    EXPECT_EQ(upRecord->unSamvDataLength, r.unRecordLength);
    EXPECT_EQ(upRecord->arrSamvData[kAnswerFingerprintPart1 - 1], 0x11);
    if (r.bSecondPart) {
      EXPECT_EQ(upRecord->arrSamvData[kAnswerFingerprintPart1], 0x22);
    }
    EXPECT_FALSE(ds.SamvDecodeLogQueue(nullptr)) << "the card was queued twice";
  }
}

// The release of a device races the SAMV client's own thread relaying a card answer to it: the
// answer may come before, during or after the release, at any point of a two-part fingerprint
// answer. Whatever the order, every record queued names the request the answer belongs to, and
// a card is queued at most once.
TEST(CaptureRaceTest, ReleaseRacingTheClientThreadLeavesTheRightRecordOrNone) {
  using boost::asio::ip::tcp;
  struct Row {
    const char* szName;
    std::vector<uint32_t> arrParts;
  } rows[] = {
      {"a text answer", {kAnswerTextOnly}},
      {"a fingerprint answer in two parts", {kAnswerFingerprintPart1, kAnswerFingerprintPart2}},
  };
  constexpr int kRounds = 24;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    for (int nRound = 0; nRound < kRounds; ++nRound) {
      SCOPED_TRACE(nRound);
      Session session("{\"order\":\"first\"}");
      CTcpClient& client = session.client;
      boost::asio::io_context io;
      tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
      client.Configure("127.0.0.1", acceptor.local_endpoint().port(), 0, 0);
      client.SetReceiveCallback(&DataSwitch::SamvClientReceiveCallback);
      client.Start(session.pair.Gateway());
      tcp::socket samv(io);
      acceptor.accept(samv);
      ASSERT_TRUE(WaitFor([&] { return client.IsConnected(); }));

      // The SAMV server answers part by part (each part a read of its own: the next is sent
      // once the device has the one before), while the device leaves after a delay that moves
      // through the answer from round to round.
      std::thread server([&] {
        for (uint32_t unPart : r.arrParts) {
          std::vector<uint8_t> part(unPart, static_cast<uint8_t>(unPart));
          boost::system::error_code ec;
          (void)boost::asio::write(samv, boost::asio::buffer(part), ec);
          if (ec || session.pair.ReadExactly(unPart, std::chrono::milliseconds(2000)).size() !=
                        unPart) {
            return;  // the release came first
          }
        }
      });
      std::this_thread::sleep_for(std::chrono::microseconds(nRound * 150));
      EXPECT_EQ(session.ds.ProcessVelmServeDisconnect(session.pair.Gateway(), &client), 1u);
      boost::system::error_code ec;  // the server ends the device's connection after its release
      (void)session.pair.Gateway()->shutdown(tcp::socket::shutdown_both, ec);
      server.join();
      ASSERT_TRUE(WaitFor([&] { return client.ThreadCount() == 0; }));

      size_t unRecords = 0;
      while (DecodeLogRecord* p = session.ds.SamvDecodeLogQueue(nullptr)) {
        std::unique_ptr<DecodeLogRecord> upRecord(p);
        ++unRecords;
        EXPECT_EQ(upRecord->unAccountNo, 1001u);
        EXPECT_STREQ(upRecord->szTransData, "{\"order\":\"first\"}");
        EXPECT_STREQ(upRecord->szDeviceId, "READER-R");
        EXPECT_STREQ(upRecord->szDeviceIp, "127.0.0.9");
        EXPECT_EQ(upRecord->arrSamvData[0], static_cast<uint8_t>(r.arrParts[0]));
      }
      EXPECT_LE(unRecords, 1u) << "the card was queued twice";
      EXPECT_EQ(client.GetWorkArea()->unSamvDataLength, 0u);
    }
  }
}
