#include "net/samv_answer_stream.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"

namespace {

// A frame of unSize bytes as a module writes it: the length word, then bytes that tell the frame
// and the position apart.
std::vector<uint8_t> Frame(uint32_t unSize, uint8_t bySeed) {
  std::vector<uint8_t> frame(unSize);
  PutLe32(frame.data(), unSize - 4);
  for (uint32_t i = 4; i < unSize; ++i) {
    frame[i] = static_cast<uint8_t>(bySeed + i * 7);
  }
  return frame;
}

struct Seen {
  uint32_t unSize;
  std::vector<uint8_t> bytes;  // empty when the framer did not keep the frame
  bool bUnframed;
  bool operator==(const Seen& o) const {
    return unSize == o.unSize && bytes == o.bytes && bUnframed == o.bUnframed;
  }
};

// Feeds the stream cut into the given reads and gathers the frames.
std::vector<Seen> FeedReads(CSamvAnswerFramer& framer, const std::vector<uint8_t>& stream,
                            const std::vector<size_t>& arrCuts) {
  std::vector<Seen> seen;
  size_t unStart = 0;
  std::vector<size_t> cuts = arrCuts;
  cuts.push_back(stream.size());
  for (size_t unEnd : cuts) {
    // Each read in a buffer of its own, gone after the read, as the receive thread's buffer is
    // overwritten by the next read.
    std::vector<uint8_t> read(stream.begin() + unStart, stream.begin() + unEnd);
    for (uint32_t unOffset = 0; unOffset < read.size();) {
      SamvFrame frame;
      bool bEnded = false;
      uint32_t unTaken = framer.Next(read.data() + unOffset,
                                     static_cast<uint32_t>(read.size() - unOffset), &frame,
                                     &bEnded);
      EXPECT_GT(unTaken, 0u);
      unOffset += unTaken;
      if (bEnded) {
        seen.push_back({frame.unSize,
                        frame.pBytes ? std::vector<uint8_t>(frame.pBytes, frame.pBytes + frame.unSize)
                                     : std::vector<uint8_t>(),
                        frame.bUnframed});
      }
    }
    unStart = unEnd;
  }
  return seen;
}

}  // namespace

// Whatever the reads, the frames come out as the module wrote them: every answer kind, an
// acknowledgement, a keep-alive and an answer too long to keep, cut at every offset once and
// at every pair of offsets around each frame boundary.
TEST(SamvAnswerFramerTest, SplitsAndJoinsGiveTheFramesAsWritten) {
  const std::vector<uint32_t> arrSizes = {288, 4, 1311, 20, 1313, 1041, 3000, 4, 288};
  std::vector<uint8_t> stream;
  std::vector<Seen> expected;
  std::vector<size_t> arrBoundaries;
  for (size_t i = 0; i < arrSizes.size(); ++i) {
    std::vector<uint8_t> frame = Frame(arrSizes[i], static_cast<uint8_t>(i));
    stream.insert(stream.end(), frame.begin(), frame.end());
    arrBoundaries.push_back(stream.size());
    expected.push_back({arrSizes[i], arrSizes[i] <= CSamvAnswerFramer::kKeepCapacity
                                         ? frame
                                         : std::vector<uint8_t>(),
                        false});
  }
  {
    CSamvAnswerFramer framer;
    EXPECT_EQ(FeedReads(framer, stream, {}), expected) << "all in one read";
    EXPECT_TRUE(framer.AtBoundary());
  }
  for (size_t unCut = 1; unCut < stream.size(); ++unCut) {
    CSamvAnswerFramer framer;
    ASSERT_EQ(FeedReads(framer, stream, {unCut}), expected) << "one cut at " << unCut;
  }
  // Two cuts near each boundary: inside the length word, just behind it, a byte before the end.
  for (size_t unBoundary : arrBoundaries) {
    for (size_t a : {unBoundary - 1, unBoundary + 1, unBoundary + 2, unBoundary + 3,
                     unBoundary + 4, unBoundary + 5}) {
      for (size_t b = a + 1; b < std::min(stream.size(), a + 6); ++b) {
        if (a == 0 || a >= stream.size()) {
          continue;
        }
        CSamvAnswerFramer framer;
        ASSERT_EQ(FeedReads(framer, stream, {a, b}), expected) << "cuts at " << a << ", " << b;
      }
    }
  }
  // One byte per read.
  std::vector<size_t> arrEveryByte;
  for (size_t i = 1; i < stream.size(); ++i) {
    arrEveryByte.push_back(i);
  }
  CSamvAnswerFramer framer;
  EXPECT_EQ(FeedReads(framer, stream, arrEveryByte), expected) << "a byte per read";
}

// A stream that does not carry length words (or a length word beyond any answer) is taken a read
// at a time, as it came, and the framer begins again with the next read.
TEST(SamvAnswerFramerTest, ALengthWordBeyondAnyAnswerTakesTheReadAsItCame) {
  CSamvAnswerFramer framer;
  std::vector<uint8_t> garbage(288, 0x5A);  // length word 0x5A5A5A5A
  std::vector<uint8_t> text = Frame(288, 1);
  std::vector<uint8_t> stream = garbage;
  stream.insert(stream.end(), text.begin(), text.end());
  std::vector<Seen> seen = FeedReads(framer, stream, {288});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (Seen{288, garbage, true}));
  EXPECT_EQ(seen[1], (Seen{288, text, false}));
  // Behind good frames in the same read, the rest of that read.
  CSamvAnswerFramer framer2;
  std::vector<uint8_t> joined = text;
  joined.insert(joined.end(), garbage.begin(), garbage.begin() + 100);
  seen = FeedReads(framer2, joined, {});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (Seen{288, text, false}));
  EXPECT_EQ(seen[1].unSize, 100u);
  EXPECT_TRUE(seen[1].bUnframed);
  EXPECT_TRUE(framer2.AtBoundary());
}

TEST(RequestFieldQueueTest, KeepsOrderAndStaysBoundedWhenCommandsOutrunAnswers) {
  CRequestFieldQueue queue;
  auto fields = [](uint32_t unNo) {
    RequestFields f;
    f.unAccountNo = unNo;
    return f;
  };
  RequestFields out;
  EXPECT_EQ(queue.Pop(&out), CRequestFieldQueue::Popped::Nothing);
  const size_t kCapacity = CRequestFieldQueue::kCapacity;
  for (uint32_t i = 1; i <= kCapacity; ++i) {
    EXPECT_TRUE(queue.Push(fields(i)));
  }
  // Full: the next ones are counted, not kept, and one that comes after an answer is not kept
  // either, or it would take the answer of a counted one.
  EXPECT_FALSE(queue.Push(fields(100)));
  ASSERT_EQ(queue.Pop(&out), CRequestFieldQueue::Popped::Fields);
  EXPECT_EQ(out.unAccountNo, 1u);
  EXPECT_FALSE(queue.Push(fields(101)));
  EXPECT_EQ(queue.Waiting(), kCapacity + 1);
  for (uint32_t i = 2; i <= kCapacity; ++i) {
    ASSERT_EQ(queue.Pop(&out), CRequestFieldQueue::Popped::Fields);
    EXPECT_EQ(out.unAccountNo, i);
  }
  EXPECT_EQ(queue.Pop(&out), CRequestFieldQueue::Popped::Untracked);
  EXPECT_EQ(queue.Pop(&out), CRequestFieldQueue::Popped::Untracked);
  EXPECT_EQ(queue.Pop(&out), CRequestFieldQueue::Popped::Nothing);
  // Caught up: commands are kept again, wrapping round the ring.
  EXPECT_TRUE(queue.Push(fields(7)));
  ASSERT_EQ(queue.Pop(&out), CRequestFieldQueue::Popped::Fields);
  EXPECT_EQ(out.unAccountNo, 7u);
}
