#include "core/device_stream_guard.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "support/loopback.h"

namespace {

using Action = CDeviceStreamGuard::Action;
using Bytes = std::vector<uint8_t>;

const uint8_t kKey[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};

// A frame whose length word counts the whole frame (bAfterWord false) or the bytes after it.
Bytes Frame(uint8_t byCommand, size_t unPayload, bool bAfterWord = false) {
  Bytes frame = MakeDeviceRequest(kKey, byCommand, nullptr, Bytes(unPayload, 0));
  PutLe32(frame.data(), static_cast<uint32_t>(frame.size() - (bAfterWord ? 4 : 0)));
  return frame;
}
Bytes WithWord(Bytes frame, uint32_t unWord) {
  PutLe32(frame.data(), unWord);
  return frame;
}
Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) {
    all.insert(all.end(), p.begin(), p.end());
  }
  return all;
}
Bytes Part(const Bytes& b, size_t unFrom, size_t unTo) {
  return Bytes(b.begin() + unFrom, b.begin() + std::min(unTo, b.size()));
}

const Bytes kLogin = Frame(1, 1206);                 // 1230 bytes, the usual card read
const Bytes kLoginAfterWord = Frame(1, 1206, true);  // its length word counts 1226
const Bytes kShortLogin = Frame(9, 300);             // 324 bytes
const Bytes kOther = Frame(4, 100);                  // 124 bytes, passes unlooked-at
const Bytes kOtherAfterWord = Frame(4, 100, true);
const Bytes kAdmin = Frame(83, 724);                 // 748 bytes

// One read, or (bExpire) a second of silence; what the guard decides, and the frames it hands
// over to be looked at as (start, command).
struct Step {
  Bytes read;
  bool bExpire;
  Action eAction;
  std::vector<std::pair<int, uint8_t>> frames;
};
Step Read(Bytes b, Action e, std::vector<std::pair<int, uint8_t>> f = {}) {
  return Step{std::move(b), false, e, std::move(f)};
}
Step Quiet(Action e, std::vector<std::pair<int, uint8_t>> f = {}) {
  return Step{Bytes(), true, e, std::move(f)};
}

}  // namespace

TEST(DeviceStreamGuardTest, FramesAreFoundHoweverTheBytesAreSplitOrJoined) {
  struct Row {
    const char* szName;
    std::vector<Step> steps;
  } rows[] = {
      {"one whole frame", {Read(kLogin, Action::Check, {{0, 1}})}},
      {"one whole frame, word counts what follows",
       {Read(kLoginAfterWord, Action::Check, {{0, 1}})}},
      {"one short card read", {Read(kShortLogin, Action::Check, {{0, 9}})}},
      {"another command passes unlooked-at", {Read(kOther, Action::Check)}},
      {"administration", {Read(kAdmin, Action::Check, {{0, 83}})}},
      {"joined behind another frame", {Read(Join({kOther, kLogin}), Action::Check, {{124, 1}})}},
      {"joined, word counts what follows",
       {Read(Join({kOtherAfterWord, kLoginAfterWord}), Action::Check, {{124, 1}})}},
      {"three joined", {Read(Join({kLogin, kOther, kShortLogin}), Action::Check,
                             {{0, 1}, {1354, 9}})}},
      {"split log-in frame is held and looked at whole",
       {Read(Part(kLogin, 0, 600), Action::Hold), Read(Part(kLogin, 600, 1230), Action::Check,
                                                       {{0, 1}})}},
      {"header cut", {Read(Part(kLogin, 0, 8), Action::Hold),
                      Read(Part(kLogin, 8, 1230), Action::Check, {{0, 1}})}},
      {"a frame's rest joined to the next log-in",
       {Read(Join({kOther, Part(kLogin, 0, 100)}), Action::Hold),
        Read(Part(kLogin, 100, 1230), Action::Check, {{124, 1}})}},
      {"a long other frame passes in pieces",
       {Read(Part(Frame(4, 3000), 0, 1000), Action::Check),
        Read(Part(Frame(4, 3000), 1000, 3024), Action::Check)}},
      {"length word that fits neither reading", {Read(WithWord(kLogin, 0), Action::AsOneFrame)}},
      {"absurd length", {Read(WithWord(kLogin, 0xFFFFFFFF), Action::AsOneFrame)}},
      {"too short a length", {Read(WithWord(kLogin, 11), Action::AsOneFrame)}},
      {"beyond the largest frame", {Read(WithWord(kLogin, 65537), Action::AsOneFrame)}},
      {"whole card read with a word too large: its head is all a check reads",
       {Read(WithWord(kLogin, 5000), Action::Check, {{0, 1}})}},
      {"short card read with a word too large: held, then looked at as it came",
       {Read(WithWord(kShortLogin, 5000), Action::Hold), Quiet(Action::Check, {{0, 9}})}},
      {"three bytes: held, then passed on",
       {Read({1, 2, 3}, Action::Hold), Quiet(Action::Check)}},
      {"three bytes behind a frame go on at once",
       {Read(Frame(4, 3000), Action::Check), Read({1, 2, 3}, Action::Check)}},
      // A module counting the bytes after the word is 4 bytes into the next read when the first
      // read splits exactly under the other reading: the log-in frame there is still found.
      {"four bytes apart between the readings",
       {Read(kOther, Action::Check), Read(Join({Bytes(4, 0x41), kLoginAfterWord}), Action::Check,
                                          {{4, 1}})}},
      // A header cut at the end of a read that otherwise fits goes on, and is read again in
      // front of the next read: the frame it starts is found there.
      {"header carried into the next read",
       {Read(Frame(4, 3000), Action::Check), Read(Part(kLogin, 0, 3), Action::Check),
        Read(Part(kLogin, 3, 1230), Action::Check, {{-3, 1}})}},
      {"a cut header with nothing else fitting is held",
       {Read(Join({kOtherAfterWord, Part(kLoginAfterWord, 0, 8)}), Action::Hold),
        Read(Part(kLoginAfterWord, 8, 1230), Action::Check, {{124, 1}})}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    CDeviceStreamGuard guard;
    CDeviceStreamGuard::Clock::time_point tm = CDeviceStreamGuard::Clock::now();
    for (size_t i = 0; i < r.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const Step& s = r.steps[i];
      Action e;
      if (s.bExpire) {
        EXPECT_EQ(guard.Expire(tm + std::chrono::milliseconds(500)), Action::Hold);
        tm += std::chrono::milliseconds(1100);
        e = guard.Expire(tm);
      } else {
        e = guard.Add(s.read.data(), s.read.size(), tm);
      }
      ASSERT_EQ(e, s.eAction);
      std::vector<std::pair<int, uint8_t>> frames;
      for (size_t f = 0; f < guard.FrameCount(); ++f) {
        frames.emplace_back(guard.Frames()[f].nStart, guard.Frames()[f].byCommand);
      }
      EXPECT_EQ(frames, s.frames);
      if (e != Action::Hold) {
        EXPECT_EQ(guard.Commit(tm), Action::Hold);
        EXPECT_EQ(guard.HeldSize(), 0u);
      }
    }
  }
}

TEST(DeviceStreamGuardTest, FrameBytesAreTheFrameWithItsCarriedStart) {
  CDeviceStreamGuard guard;
  const auto tm = CDeviceStreamGuard::Clock::now();
  for (const Bytes& read : {Frame(4, 3000), Part(kLogin, 0, 3)}) {
    ASSERT_EQ(guard.Add(read.data(), read.size(), tm), Action::Check);
    ASSERT_EQ(guard.Commit(tm), Action::Hold);
  }
  Bytes rest = Part(kLogin, 3, 1230);
  ASSERT_EQ(guard.Add(rest.data(), rest.size(), tm), Action::Check);
  ASSERT_EQ(guard.FrameCount(), 1u);
  size_t unLength = 0;
  const uint8_t* p = guard.FrameBytes(guard.Frames()[0], &unLength);
  EXPECT_EQ(Bytes(p, p + unLength), kLogin);
}

// A refused read is not forwarded: the readings stay where they were, so the next read is
// walked as if the refused one had never come.
TEST(DeviceStreamGuardTest, RevertKeepsTheReadingsAndBoundsHold) {
  CDeviceStreamGuard guard;
  auto tm = CDeviceStreamGuard::Clock::now();
  Bytes bad = Join({kOther, kLogin});
  ASSERT_EQ(guard.Add(bad.data(), bad.size(), tm), Action::Check);
  ASSERT_EQ(guard.Revert(tm), Action::Hold);
  ASSERT_EQ(guard.Add(kLogin.data(), kLogin.size(), tm), Action::Check);
  ASSERT_EQ(guard.FrameCount(), 1u);
  EXPECT_EQ(guard.Frames()[0].nStart, 0);
  ASSERT_EQ(guard.Commit(tm), Action::Hold);

  // Held bytes never pass the bound: a read that does not fit behind them has them decided
  // first, then is added itself.
  Bytes start = Part(Frame(1, 8000), 0, 4096);  // a card read longer than its head: checked
  ASSERT_EQ(guard.Add(start.data(), 10, tm), Action::Hold);
  EXPECT_EQ(guard.HoldWaitMs(tm), CDeviceStreamGuard::kHoldMs);
  EXPECT_EQ(guard.HoldWaitMs(tm + std::chrono::milliseconds(400)), 600u);
  for (int i = 0; i < 2; ++i) {
    Bytes junk(4096, 0);
    Action e = guard.Add(junk.data(), junk.size(), tm);
    while (e != Action::Hold) {
      EXPECT_LE(guard.HeldSize(), CDeviceStreamGuard::kHoldLimit);
      e = guard.Commit(tm);
    }
  }
  EXPECT_LE(guard.HeldSize(), CDeviceStreamGuard::kHoldLimit);
}

// A reading that stumbles on a length no frame can have still delimited the frames before it:
// a module of that reading acts on them, so they are looked at, also when no reading fits.
TEST(DeviceStreamGuardTest, FramesBeforeAStumbleAreStillLookedAt) {
  CDeviceStreamGuard guard;
  const auto tm = CDeviceStreamGuard::Clock::now();
  // Whole-frame reading: other, log-in, then a length word of 0; the other reading fits nowhere.
  Bytes read = Join({kOther, kLogin, Bytes(8, 0)});
  ASSERT_EQ(guard.Add(read.data(), read.size(), tm), Action::AsOneFrame);
  ASSERT_EQ(guard.FrameCount(), 1u);
  EXPECT_EQ(guard.Frames()[0].nStart, 124);
  EXPECT_EQ(guard.Frames()[0].byCommand, 1);
}
