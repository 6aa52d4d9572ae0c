#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// Where the frames of a reader's byte stream lie, so that every card command of the log-in group
// (and every administration command) is looked at inside a whole frame, however the reader's bytes
// are split over reads or joined in one.
//
// A frame starts with a 32-bit little-endian length word. The protocol counts it two ways: device
// requests and the gateway's replies count the whole frame, SAMV answers the bytes after the word.
// A module that delimits the stream by the length word may do either, so the guard follows the
// stream under both readings at once, each with its own idea of where the next frame starts, and
// carries that idea from one read to the next.
//
// Per read, each reading walks the held bytes (and the new ones) frame by frame:
//  - a frame whose length is below kMinFrame or above kMaxFrame fits no frame: the reading is
//    dropped for these bytes and starts again at the next read (the frames it found before that
//    point are still looked at: a module of that reading acts on them before it stumbles);
//  - a frame of another command needs only its first 13 bytes (to see its command); its rest
//    passes, also in later reads;
//  - a frame of a checked command needs its head (the bytes the check reads: all of a shorter
//    frame) before it can be looked at; until then it is held, unless another reading has a
//    whole frame of the same start (the same bytes: its check covers this one);
//  - fewer than 13 bytes left at the end (a frame's header cut by the read) are held only when
//    no reading has got to a frame boundary or into a passing frame; otherwise they go on and are
//    carried, to be read again in front of the next read.
// Bytes that fit no reading are taken as one frame, as the gateway always did. Held bytes that
// wait longer than kHoldMs, or more than kHoldLimit of them, are taken so too (see Expire).
//
// Plain data, no locks and no allocation: one guard per device session, used by its session
// thread only (reset between sessions).
class CDeviceStreamGuard {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kReadings = 2;        // 0: the word counts the frame; 1: what follows it
  static constexpr size_t kHoldLimit = 8192;    // held bytes at most
  static constexpr uint32_t kHoldMs = 1000;     // held bytes wait at most about this long
  static constexpr uint32_t kMinFrame = 12;     // length word and key
  static constexpr uint32_t kMaxFrame = 65536;  // far beyond any device frame or SAMV answer
  static constexpr size_t kHeaderBytes = 13;    // up to the command byte
  static constexpr size_t kLoginHead = 24 + 1206;  // head, parameters, log-in payload
  static constexpr size_t kAdminHead = 24 + 752;   // head, parameters, record and account
  static constexpr size_t kCarryLimit = kHeaderBytes - 1;
  // Every frame of both readings, each at least kHeaderBytes long, carried starts included.
  static constexpr size_t kMaxChecked = kReadings * (kHoldLimit / kHeaderBytes + 2);
  static constexpr size_t kFrameCopy = 4 + 4096;

  // A frame to look at: it starts at nStart (negative: that many bytes of it went on with an
  // earlier read and are carried), unLength of its bytes are here (its whole length, or at least
  // its head), unDeclared is what its length word says under the reading that gave it.
  struct Frame {
    int32_t nStart;
    uint32_t unLength;
    uint32_t unDeclared;
    uint8_t byCommand;
    uint8_t byReading;  // whose carried bytes a negative nStart refers to
  };

  enum class Action {
    Hold,        // keep the bytes (Held) and wait for more
    Check,       // look at Frames(); forward Held() when all of them pass (Commit), else drop
                 // them (Revert)
    AsOneFrame,  // no reading fits: look at Frames() (those before a reading stumbled), then
                 // take Held() as one frame, as the gateway always did
  };

  CDeviceStreamGuard() { Reset(); }
  // A new session: nothing held, both readings at a frame start.
  void Reset();

  // Adds one read to the held bytes and decides. A read that would pass kHoldLimit gives
  // AsOneFrame for what was held before it (the read itself is then added by the next Add after
  // Commit or Revert), so the caller must look at Pending().
  Action Add(const uint8_t* pData, size_t unCount, Clock::time_point tmNow);
  // The hold has run out (tmNow past its deadline): what to do with the held bytes, Check or
  // AsOneFrame. Hold is returned when there is nothing to do yet.
  Action Expire(Clock::time_point tmNow);

  // Held bytes, contiguous; the frames' nStart counts from Held().
  const uint8_t* Held() const { return m_arrHeld; }
  size_t HeldSize() const { return m_unHeld; }
  // A frame's bytes, carried ones included, in one piece: at most kFrameCopy of them (the
  // dispatcher reads no further), their count in *punLength. Valid until the next call.
  const uint8_t* FrameBytes(const Frame& frame, size_t* punLength);
  const Frame* Frames() const { return m_arrFrames; }
  size_t FrameCount() const { return m_unFrames; }
  // Whether a read is waiting to be added (it did not fit behind the held bytes).
  bool Pending() const { return m_pPending != nullptr; }

  // After Check: the held bytes went on (Commit) or were dropped with a refusal (Revert): both
  // readings take the state the decision computed, or keep the one from before the held bytes.
  // After AsOneFrame, Commit starts both readings afresh at the next read. Either way the held
  // bytes are gone; a pending read is added at once and its decision returned (Hold when none).
  Action Commit(Clock::time_point tmNow);
  Action Revert(Clock::time_point tmNow);

  // Milliseconds until Expire has work, 0 when nothing is held.
  uint32_t HoldWaitMs(Clock::time_point tmNow) const;

 private:
  struct Reading {
    uint64_t unSkip = 0;           // bytes of a frame already looked at, still to come
    uint8_t arrCarry[kCarryLimit];  // the start of a frame whose header was cut, already sent on
    uint32_t unCarry = 0;
  };
  enum class Walk { Boundary, InFrame, Header, Head, NoFit };
  struct WalkResult {
    Walk eWalk;
    int32_t nPartialStart;     // Header/Head: where the frame that is not here yet starts
    uint64_t unPartialLength;  // Head: its declared length
    Reading next;
  };

  Action Decide(bool bExpired);
  WalkResult WalkReading(size_t unReading, bool bCollect);
  uint8_t ByteAt(const Reading& reading, int64_t nPos) const;
  void AddFrame(const Frame& frame);
  Action TakePending(Clock::time_point tmNow);

  uint8_t m_arrHeld[kHoldLimit];
  size_t m_unHeld = 0;
  Clock::time_point m_tmHeldSince;
  Reading m_arrReadings[kReadings];
  Reading m_arrNext[kReadings];
  bool m_bFreshAfter = false;  // AsOneFrame: both readings start afresh after Commit
  Frame m_arrFrames[kMaxChecked];
  size_t m_unFrames = 0;
  uint8_t m_arrFrameCopy[kFrameCopy];
  const uint8_t* m_pPending = nullptr;  // a read that did not fit behind the held bytes
  size_t m_unPending = 0;
};
