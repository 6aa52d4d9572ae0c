// A fingerprint card answer comes in two parts. A reader may leave, or read its next card, at
// any point of it; the built gateway relays each part before the reader can act on it, so its
// records race the reader. Whatever the order, every record the log server gets names the card
// read it belongs to, and a card is recorded at most once.
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_rig.h"

TEST(FingerprintRaceTest, ReaderActingAtEachPointOfTheAnswerLeavesTheRightRecordsOrNone) {
  enum class Point { BeforeTheAnswer, AfterPart1, AfterPart2 };
  enum class Act { Leaves, ReadsItsNextCard };
  struct Row {
    const char* szName;
    Point ePoint;
    Act eAct;
    size_t unMinRecords;  // per round
    size_t unMaxRecords;
  } rows[] = {
      // The answer may be relayed (part 1 alone is then recorded at the release) or not.
      {"leaves once its request is out", Point::BeforeTheAnswer, Act::Leaves, 0, 1},
      // The second part races the release: a whole record, or the first part alone.
      {"leaves with the first part", Point::AfterPart1, Act::Leaves, 1, 1},
      {"leaves with the whole answer", Point::AfterPart2, Act::Leaves, 1, 1},
      {"reads its next card at once", Point::AfterPart2, Act::ReadsItsNextCard, 2, 2},
  };
  constexpr int kRounds = 3;

  SamvSimOptions options;
  options.eMode = SamvSimMode::Card;
  options.eCardKind = SamvCardKind::Fingerprint;
  CSamvSim samv(options);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FaultRig rig;
  ASSERT_TRUE(rig.Start({{samv.Port(), 0}}, upLog->Port()));
  constexpr char kIdle[] = "BUSY 0 FREE 1 ERROR 0";

  std::set<std::string> setSent;  // transaction data of every card read asked for
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    for (int nRound = 0; nRound < kRounds; ++nRound) {
      SCOPED_TRACE(nRound);
      const size_t unIdleBefore = rig.Gateway().CountLog(kIdle);
      const size_t unRecordsBefore = rig.CapturedCards();
      CDeviceSimClient reader;
      ASSERT_TRUE(rig.Connect(reader));
      LoginRequest first = rig.NextLogin();
      setSent.insert(first.strTransData);
      ASSERT_TRUE(reader.SendLogin(first, FaultRig::kDeviceTimeout));
      std::vector<uint8_t> answer;
      if (r.ePoint != Point::BeforeTheAnswer) {
        ASSERT_EQ(reader.ReadAnswer(&answer, FaultRig::kDeviceTimeout), ReadStatus::Ok);
        ASSERT_EQ(answer.size(), kCardFingerAnswerSize);
      }
      if (r.ePoint == Point::AfterPart2) {
        ASSERT_EQ(reader.ReadAnswer(&answer, FaultRig::kDeviceTimeout), ReadStatus::Ok);
        ASSERT_EQ(answer.size(), kCardFingerRestSize);
        rig.Delivered(first);
      }
      if (r.eAct == Act::ReadsItsNextCard) {
        LoginRequest next = rig.NextLogin();
        setSent.insert(next.strTransData);
        CardReadResult result;
        ASSERT_EQ(reader.ReadCard(next, &result, FaultRig::kDeviceTimeout), ReadStatus::Ok);
        ASSERT_EQ(result.arrAnswer.size(), kCardFingerAnswerSize);
        ASSERT_EQ(result.arrFingerRest.size(), kCardFingerRestSize);
        rig.Delivered(next);
      }
      reader.Close();
      ASSERT_TRUE(rig.WaitForLogCount(kIdle, unIdleBefore + 1, FaultRig::kDeviceTimeout))
          << rig.Output();
      // A record made at the release is logged before the release is reported; one of an answer
      // the module's thread relayed is logged by that thread after the relay, which may come
      // after the report: wait for the least the round makes. (A round that made more than its
      // most with a line still on its way is seen by a later round's count.)
      (void)WaitFor([&] { return rig.CapturedCards() - unRecordsBefore >= r.unMinRecords; },
                    FaultRig::kDeviceTimeout);
      const size_t unRecords = rig.CapturedCards() - unRecordsBefore;
      EXPECT_GE(unRecords, r.unMinRecords) << rig.Output();
      EXPECT_LE(unRecords, r.unMaxRecords) << rig.Output();
    }
  }

  // Every card a reader got is uploaded, and the records are as many distinct card reads as
  // the gateway captured: none names another read's request, none is empty.
  rig.ExpectEveryCardUploaded({upLog.get()});
  std::map<std::string, size_t> mapRecords;
  for (const LogServerDocument& doc : upLog->Documents()) {
    ASSERT_TRUE(doc.bValid) << doc.strError;
    EXPECT_EQ(setSent.count(doc.strTransData), 1u) << "a record of no card read: '"
                                                   << doc.strTransData << "'";
    EXPECT_EQ(doc.mapCard["deviceId"], "READER-F");
    ++mapRecords[doc.strTransData];
  }
  EXPECT_EQ(mapRecords.size(), rig.CapturedCards()) << rig.Output();
}
