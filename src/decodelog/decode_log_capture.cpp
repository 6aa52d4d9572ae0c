#include "decodelog/decode_log_capture.h"

#include <algorithm>
#include <cstring>

#include "config/run_log.h"
#include "decodelog/decode_log_queue.h"
#include "decodelog/decode_log_record.h"
#include "net/samv_answer_stream.h"
#include "net/tcp_client.h"

namespace {

enum class FrameKind { KeepAlive, TextOnly, TextImage, Part1, Part2, Other };

static_assert(kAnswerFingerprintPart1 + kAnswerFingerprintPart2 <= kSamvDataCapacity,
              "a second part always fits behind a first part");
static_assert(kAnswerTextImage <= CSamvAnswerFramer::kKeepCapacity &&
                  kAnswerFingerprintPart1 <= CSamvAnswerFramer::kKeepCapacity,
              "the framer keeps every card answer whole");

FrameKind KindOf(const SamvFrame& frame) {
  if (!frame.bUnframed && frame.unSize == CSamvAnswerFramer::kLengthWordSize) {
    return FrameKind::KeepAlive;  // a length word of 0
  }
  if (frame.pBytes == nullptr) {
    return FrameKind::Other;
  }
  switch (frame.unSize) {
    case kAnswerTextOnly:
      return FrameKind::TextOnly;
    case kAnswerTextImage:
      return FrameKind::TextImage;
    case kAnswerFingerprintPart1:
      return FrameKind::Part1;
    case kAnswerFingerprintPart2:
      return FrameKind::Part2;
    default:
      return FrameKind::Other;
  }
}

const char* AnswerMessage(uint32_t unCount) {
  switch (unCount) {
    case kAnswerTextOnly:
      return "Only Text";
    case kAnswerTextImage:
      return "Text Image";
    case kAnswerFingerprintPart1:
      return "Text Image Fingerprint Part1";
    case kAnswerFingerprintPart2:
      return "Text Image Fingerprint Part2";
    default:
      return nullptr;
  }
}

// What a card frame of one block did, to be finished once the block is relayed (or undone when
// the device never gets it).
struct Step {
  FrameKind eKind = FrameKind::Other;
  uint32_t unSize = 0;
  uint64_t unTicket = 0;          // the record stored for it (0: none)
  bool bNotBehindPart1 = false;   // a second part with no first part before it
  uint32_t unCapturedBefore = 0;  // then: what the work area held
};

// Card frames of one block: a block of at most 4096 bytes ends at most 14 of them.
constexpr size_t kMaxSteps = 16;

// A first part that no second part will follow stands alone: queued ("Not Exist Part2") when a
// log server is configured, else forgotten.
void FinishFirstPartAlone(CDecodeLogQueue& queue, uint32_t unLogServerPort, uint64_t unTicket) {
  WriteLog("Not Exist Part2");
  if (unLogServerPort != 0) {
    queue.Commit(unTicket);
  } else {
    queue.Withdraw(unTicket);
  }
}

void StampDecodeTime(DecodeLogRecord* pRecord) {
  std::memset(pRecord->szDecodeTime, 0, sizeof(pRecord->szDecodeTime));
  GetLocalTimeString(pRecord->szDecodeTime);
}

// Follows one frame of the module's answers: which command it answers, what it captures, and
// the record it stores (not yet queued). Client thread.
Step CaptureFrame(CDecodeLogQueue& queue, uint32_t unLogServerPort, CTcpClient& client,
                  const SamvFrame& frame) {
  Step step;
  step.eKind = KindOf(frame);
  step.unSize = frame.unSize;
  if (step.eKind == FrameKind::KeepAlive) {
    return step;
  }
  DecodeLogRecord stRecord;
  bool bRecord = false;
  bool bAlone = false;  // a waiting first part that no second part follows
  uint64_t unAloneTicket = 0;
  uint64_t unPart1Ticket = 0;  // the first part a second part completes
  client.WithAnswerState([&](DecodeLogRecord& area, SamvAnswerState& state) {
    if (state.bPart1Waiting && step.eKind != FrameKind::Part2) {
      bAlone = true;
      unAloneTicket = state.unPart1Ticket;
      state.bPart1Waiting = false;
      state.unPart1Ticket = 0;
    }
    switch (step.eKind) {
      case FrameKind::KeepAlive:
        return;
      case FrameKind::Other:
        // An answer that is no card still answers its command.
        (void)state.pending.Pop(nullptr);
        return;
      case FrameKind::Part2:
        // Only a first part makes a second part a card: behind a text-and-photo answer it would
        // make a record read with the fingerprint offsets, every field shifted.
        if (!state.bPart1Waiting ||
            area.unSamvDataLength + frame.unSize > sizeof(area.arrSamvData)) {
          step.bNotBehindPart1 = true;
          step.unCapturedBefore = area.unSamvDataLength;
          return;
        }
        std::memcpy(area.arrSamvData + area.unSamvDataLength, frame.pBytes, frame.unSize);
        area.unSamvDataLength += frame.unSize;
        stRecord = area;
        ApplyRequestFields(state.stPart1Owner, &stRecord);
        unPart1Ticket = state.unPart1Ticket;
        state.bPart1Waiting = false;
        state.unPart1Ticket = 0;
        bRecord = true;
        return;
      case FrameKind::TextOnly:
      case FrameKind::TextImage:
      case FrameKind::Part1: {
        RequestFields owner;
        if (state.pending.Pop(&owner) != CRequestFieldQueue::Popped::Fields) {
          // No command of its own is known (none waits, or its fields were not kept): the
          // latest command's, which is never empty once a command passed.
          owner = RequestFieldsOf(area);
        }
        area.unSamvDataLength = frame.unSize;
        std::memcpy(area.arrSamvData, frame.pBytes, frame.unSize);
        stRecord = area;
        ApplyRequestFields(owner, &stRecord);
        if (step.eKind == FrameKind::Part1) {
          state.bPart1Waiting = true;
          state.stPart1Owner = owner;
        }
        bRecord = true;
        return;
      }
    }
  });
  if (bAlone) {
    FinishFirstPartAlone(queue, unLogServerPort, unAloneTicket);
  }
  if (!bRecord || unLogServerPort == 0) {
    if (unPart1Ticket != 0) {
      queue.Withdraw(unPart1Ticket);  // no log server any more
    }
    return step;
  }
  StampDecodeTime(&stRecord);
  if (step.eKind == FrameKind::Part2 && unPart1Ticket != 0 &&
      queue.Rewrite(unPart1Ticket, stRecord)) {
    step.unTicket = unPart1Ticket;  // the first part's record, completed where it lies
  } else {
    queue.Withdraw(unPart1Ticket);
    step.unTicket = queue.Prepare(stRecord);
  }
  if (step.eKind == FrameKind::Part1) {
    client.WithAnswerState([&](DecodeLogRecord&, SamvAnswerState& state) {
      state.unPart1Ticket = step.unTicket;
    });
  }
  return step;
}

// The block went to the device: each card of it is logged and queued.
void FinishStep(CDecodeLogQueue& queue, const Step& step) {
  if (step.bNotBehindPart1) {
    WriteLogF("FUNCTION %s  LINE %d Part2 behind %u captured bytes, not behind a Part1: relayed, "
              "not captured",
              "ProcessSamvClientReceive", __LINE__, step.unCapturedBefore);
    return;
  }
  const char* szMessage = AnswerMessage(step.unSize);
  if (szMessage == nullptr) {
    return;
  }
  WriteLog(szMessage);
  // A record becomes visible to the upload only now, after the message that names its card. A
  // first part's waits for its second part or the session's end.
  if (step.eKind != FrameKind::Part1) {
    queue.Commit(step.unTicket);
  }
}

// The device did not get the block: what its frames captured is taken back. A completed
// fingerprint answer becomes its first part again (the device has that one), waiting as before.
void UndoStep(CDecodeLogQueue& queue, uint32_t unLogServerPort, CTcpClient& client,
              const Step& step) {
  switch (step.eKind) {
    case FrameKind::TextOnly:
    case FrameKind::TextImage:
      queue.Withdraw(step.unTicket);
      return;
    case FrameKind::Part1:
      queue.Withdraw(step.unTicket);
      client.WithAnswerState([&](DecodeLogRecord& area, SamvAnswerState& state) {
        state.bPart1Waiting = false;
        state.unPart1Ticket = 0;
        area.unSamvDataLength = 0;
      });
      return;
    case FrameKind::Part2: {
      if (step.bNotBehindPart1) {
        return;
      }
      DecodeLogRecord stRecord;
      client.WithAnswerState([&](DecodeLogRecord& area, SamvAnswerState& state) {
        area.unSamvDataLength = kAnswerFingerprintPart1;
        std::memset(area.arrSamvData + kAnswerFingerprintPart1, 0,
                    sizeof(area.arrSamvData) - kAnswerFingerprintPart1);
        stRecord = area;
        ApplyRequestFields(state.stPart1Owner, &stRecord);
        state.bPart1Waiting = true;
        state.unPart1Ticket = step.unTicket;
      });
      if (step.unTicket != 0 && unLogServerPort != 0) {
        StampDecodeTime(&stRecord);
        (void)queue.Rewrite(step.unTicket, stRecord);
      }
      return;
    }
    case FrameKind::KeepAlive:
    case FrameKind::Other:
      return;
  }
}

}  // namespace

uint32_t ProcessSamvClientReceive(CDecodeLogQueue& queue, uint32_t unLogServerPort,
                                  CTcpClient* pClient,
                                  boost::asio::ip::tcp::socket* pSocket, DeviceHandle hDevice,
                                  const uint8_t* pData, uint32_t unCount) {
  if (!hDevice || pSocket == nullptr || pData == nullptr || unCount == 0) {
    return 0;
  }
  char szError[512] = {0};
  if (pClient == nullptr) {
    // No connection, no capture: relayed, and a block of a card's size is named.
    if (CTcpServer::SendData(hDevice, pData, unCount, szError, sizeof(szError)) < unCount) {
      return 0;
    }
    if (const char* szMessage = AnswerMessage(unCount)) {
      WriteLog(szMessage);
    }
    return 1;
  }
  pClient->IncAnswerCount();
  // Every card in the block is stored before the device gets the block: once the reader has its
  // card, the record survives a crash or a power cut.
  Step arrSteps[kMaxSteps];
  size_t unSteps = 0;
  CSamvAnswerFramer& framer = pClient->AnswerFramer();
  for (uint32_t unOffset = 0; unOffset < unCount;) {
    SamvFrame frame;
    bool bEnded = false;
    unOffset += framer.Next(pData + unOffset, unCount - unOffset, &frame, &bEnded);
    if (!bEnded) {
      continue;
    }
    Step step = CaptureFrame(queue, unLogServerPort, *pClient, frame);
    if (step.eKind == FrameKind::KeepAlive || step.eKind == FrameKind::Other) {
      continue;
    }
    if (unSteps == kMaxSteps) {
      FinishStep(queue, step);  // cannot be taken back; stored all the same
      continue;
    }
    arrSteps[unSteps++] = step;
  }
  if (CTcpServer::SendData(hDevice, pData, unCount, szError, sizeof(szError)) < unCount) {
    // The server has logged the failed write; nothing is captured.
    for (size_t i = unSteps; i-- > 0;) {
      UndoStep(queue, unLogServerPort, *pClient, arrSteps[i]);
    }
    return 0;
  }
  for (size_t i = 0; i < unSteps; ++i) {
    FinishStep(queue, arrSteps[i]);
  }
  return 1;
}

void QueueUnfinishedFingerprint(CDecodeLogQueue& queue, uint32_t unLogServerPort,
                                CTcpClient* pClient) {
  if (pClient == nullptr) {
    return;
  }
  bool bUnfinished = false;
  uint64_t unTicket = 0;
  pClient->WithAnswerState([&](DecodeLogRecord& area, SamvAnswerState& state) {
    bUnfinished = state.bPart1Waiting;
    unTicket = state.unPart1Ticket;
    state.bPart1Waiting = false;
    state.unPart1Ticket = 0;
    if (bUnfinished) {
      // Taken: a second part that still comes is no longer behind a first part.
      area.unSamvDataLength = 0;
    }
  });
  if (bUnfinished) {
    FinishFirstPartAlone(queue, unLogServerPort, unTicket);
  }
}
