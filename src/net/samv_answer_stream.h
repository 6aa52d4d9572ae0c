#pragma once

#include <cstddef>
#include <cstdint>

#include "decodelog/decode_log_record.h"

// What a SAMV connection knows about the answers of the current device session: where the
// module's frames begin and end in its byte stream, and which forwarded card command each answer
// belongs to.

// One frame of a module's answer stream, as CSamvAnswerFramer hands it out.
struct SamvFrame {
  uint32_t unSize = 0;              // the whole frame, length word included
  const uint8_t* pBytes = nullptr;  // the whole frame when it was kept (see below), else null
  bool bUnframed = false;           // the stream was out of step: the rest of one read, as it came
};

// Cuts a module's answer stream into frames by their length words (u32 LE: the bytes that follow),
// whatever the reads: a frame split over several reads, or several frames in one read, come out
// as the module wrote them. A frame of at most kKeepCapacity bytes is handed out whole (pointing
// into the read when it lies in one, else into the framer's own buffer); a longer one only by
// its size, since no card answer is that long. Nothing is allocated.
//
// A length word above kMaxLengthWord means the stream is not framed as expected (or the framer
// lost its step): the rest of that read comes out as one unframed block, and the next read is
// taken to begin a frame again, which is how a module that writes one answer per read is read.
//
// Not thread-safe: used by the connection's receive thread alone, and reset between sessions
// when no receive callback runs.
class CSamvAnswerFramer {
 public:
  static constexpr uint32_t kKeepCapacity = 1313;     // the longest card answer
  static constexpr uint32_t kMaxLengthWord = 65536;   // longer frames: out of step
  static constexpr uint32_t kLengthWordSize = 4;

  // Takes bytes from pData (unCount > 0) up to the end of the next frame that ends within them.
  // Returns how many it took; *pbEnded tells whether a frame ended (then *pFrame describes it,
  // and its bytes stay valid until the next call or until pData is gone).
  uint32_t Next(const uint8_t* pData, uint32_t unCount, SamvFrame* pFrame, bool* pbEnded);
  // True when the next byte begins a frame.
  bool AtBoundary() const { return m_unHave == 0; }
  void Reset() { m_unHave = 0; m_unSize = 0; }

 private:
  uint32_t m_unHave = 0;  // bytes of the current frame seen so far (header included)
  uint32_t m_unSize = 0;  // the current frame's size once its length word is whole, else 0
  uint8_t m_arrKeep[kKeepCapacity] = {};  // the current frame's bytes when it is kept
};

// The fields of one forwarded card command that its answer's record carries.
struct RequestFields {
  uint32_t unAccountNo = 0;
  uint8_t arrRequestHead[32] = {};
  uint8_t arrRequestParam[8] = {};
  uint8_t arrUserInfo[64] = {};
  char szDeviceId[64] = {};
  char szTransData[1024] = {};
};
// The request fields a work area holds now, and the same written into a record.
RequestFields RequestFieldsOf(const DecodeLogRecord& area);
void ApplyRequestFields(const RequestFields& fields, DecodeLogRecord* pRecord);

// The card commands of a session forwarded to the module and not yet answered, oldest first. The
// module answers in order, so each answer belongs to the oldest command still waiting.
//
// Bounded: past kCapacity waiting commands, the fields of later ones are not kept, only counted;
// their answers come after those of every kept command, and until they are all answered no
// command is kept (so the order stays right). Not thread-safe (kept under the work-area lock).
class CRequestFieldQueue {
 public:
  static constexpr size_t kCapacity = 8;
  enum class Popped { Fields, Untracked, Nothing };

  // False when the fields could not be kept (the command is counted all the same).
  bool Push(const RequestFields& fields);
  // The oldest waiting command: Fields (copied to *pFields when given), Untracked (an answered
  // command whose fields were not kept), or Nothing (no command is waiting).
  Popped Pop(RequestFields* pFields);
  size_t Waiting() const { return m_unCount + m_unUntracked; }
  void Clear() { m_unHead = 0; m_unCount = 0; m_unUntracked = 0; }

 private:
  RequestFields m_arrEntries[kCapacity];
  size_t m_unHead = 0;
  size_t m_unCount = 0;
  uint32_t m_unUntracked = 0;
};

// The answer side of one device session on a SAMV connection (kept beside the work area, under
// its lock): the commands waiting for their answers, and a fingerprint answer whose first part
// came and whose second has not.
struct SamvAnswerState {
  CRequestFieldQueue pending;
  bool bPart1Waiting = false;
  RequestFields stPart1Owner;   // the command the waiting first part answers
  uint64_t unPart1Ticket = 0;   // its record, stored and not yet queued (0: none)
  bool bOverflowLogged = false;  // the session's commands outran the queue (logged once)

  void Reset() {
    pending.Clear();
    bPart1Waiting = false;
    unPart1Ticket = 0;
    bOverflowLogged = false;
  }
};
