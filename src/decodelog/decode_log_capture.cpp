#include "decodelog/decode_log_capture.h"

#include <algorithm>
#include <cstring>

#include "config/run_log.h"
#include "decodelog/decode_log_queue.h"
#include "decodelog/decode_log_record.h"
#include "net/tcp_client.h"

namespace {

enum class CaptureResult { NotCard, Waiting, Complete, NotBehindPart1 };

static_assert(kAnswerFingerprintPart1 + kAnswerFingerprintPart2 <= kSamvDataCapacity,
              "a second part always fits behind a first part");

// Updates the work area for one answer block; the caller holds the work-area lock.
CaptureResult CaptureIntoArea(DecodeLogRecord& area, const uint8_t* pData, uint32_t unCount) {
  switch (unCount) {
    case kAnswerTextOnly:
    case kAnswerTextImage:
    case kAnswerFingerprintPart1:
      area.unSamvDataLength = unCount;
      std::memcpy(area.arrSamvData, pData, unCount);
      return unCount == kAnswerFingerprintPart1 ? CaptureResult::Waiting : CaptureResult::Complete;
    case kAnswerFingerprintPart2:
      // Only a first part makes a second part a card: behind a text-and-photo answer it would
      // make a record read with the fingerprint offsets, every field shifted.
      if (area.unSamvDataLength != kAnswerFingerprintPart1) {
        return CaptureResult::NotBehindPart1;
      }
      std::memcpy(area.arrSamvData + area.unSamvDataLength, pData, unCount);
      area.unSamvDataLength += unCount;
      return CaptureResult::Complete;
    default:
      return CaptureResult::NotCard;
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

// Whether the work area still belongs to the session a snapshot was taken from: pairing stamps
// the connect time and the device address, and the release zero-fills them.
bool SameSession(const DecodeLogRecord& area, const DecodeLogRecord& snapshot) {
  return std::memcmp(area.szConnectTime, snapshot.szConnectTime, sizeof(area.szConnectTime)) == 0 &&
         std::memcmp(area.szDeviceIp, snapshot.szDeviceIp, sizeof(area.szDeviceIp)) == 0;
}

}  // namespace

uint32_t ProcessSamvClientReceive(CDecodeLogQueue& queue, uint32_t unLogServerPort,
                                  CTcpClient* pClient,
                                  boost::asio::ip::tcp::socket* pSocket, DeviceHandle hDevice,
                                  const uint8_t* pData, uint32_t unCount) {
  if (!hDevice || pSocket == nullptr || pData == nullptr || unCount == 0) {
    return 0;
  }
  if (pClient != nullptr) {
    pClient->IncAnswerCount();
  }
  const char* szMessage = AnswerMessage(unCount);
  // The work area takes the answer before the device does. Once the device has it, it may send
  // its next request (new request fields) or leave (the release first looks for a fingerprint
  // answer still waiting for its second part, then zero-fills the area); both must find the area
  // as this answer leaves it, and the record must describe the request the answer belongs to.
  DecodeLogRecord stBefore;   // the answer data before, put back if the device never gets this one
  DecodeLogRecord stSession;  // the area as this answer leaves it
  CaptureResult eResult = CaptureResult::NotCard;
  if (szMessage != nullptr && pClient != nullptr) {
    pClient->WithWorkArea([&](DecodeLogRecord& area) {
      stBefore = area;
      eResult = CaptureIntoArea(area, pData, unCount);
      stSession = area;
    });
  }
  // A finished card is stored before the device gets its answer: once the reader has its card,
  // the record survives a crash or a power cut.
  uint64_t unTicket = 0;
  if (eResult == CaptureResult::Complete && unLogServerPort != 0) {
    DecodeLogRecord stRecord = stSession;
    std::memset(stRecord.szDecodeTime, 0, sizeof(stRecord.szDecodeTime));
    GetLocalTimeString(stRecord.szDecodeTime);
    unTicket = queue.Prepare(stRecord);
  }
  char szError[512] = {0};
  if (CTcpServer::SendData(hDevice, pData, unCount, szError, sizeof(szError)) < unCount) {
    // The server has logged the failed write; nothing is captured.
    queue.Withdraw(unTicket);
    if (eResult == CaptureResult::Waiting || eResult == CaptureResult::Complete) {
      pClient->WithWorkArea([&](DecodeLogRecord& area) {
        if (SameSession(area, stSession) && area.unSamvDataLength == stSession.unSamvDataLength) {
          area.unSamvDataLength = std::min<uint32_t>(stBefore.unSamvDataLength, kSamvDataCapacity);
          std::memcpy(area.arrSamvData, stBefore.arrSamvData, area.unSamvDataLength);
        }
      });
    }
    return 0;
  }
  if (szMessage == nullptr) {
    return 1;
  }
  if (eResult == CaptureResult::NotBehindPart1) {
    WriteLogF("FUNCTION %s  LINE %d Part2 behind %u captured bytes, not behind a Part1: relayed, "
              "not captured",
              "ProcessSamvClientReceive", __LINE__, stSession.unSamvDataLength);
    return 1;
  }
  WriteLog(szMessage);
  if (pClient == nullptr) {
    return 1;
  }
  // The record becomes visible to the upload only now, after the message that names its card.
  queue.Commit(unTicket);
  return 1;
}

void QueueUnfinishedFingerprint(CDecodeLogQueue& queue, uint32_t unLogServerPort,
                                CTcpClient* pClient) {
  if (pClient == nullptr) {
    return;
  }
  const bool bQueue = unLogServerPort != 0;
  bool bUnfinished = false;
  DecodeLogRecord stRecord;
  pClient->WithWorkArea([&](DecodeLogRecord& area) {
    bUnfinished = area.unSamvDataLength == kAnswerFingerprintPart1;
    if (bUnfinished && bQueue) {
      stRecord = area;
    }
    if (bUnfinished) {
      // Taken: a second part that still comes is no longer behind a first part.
      area.unSamvDataLength = 0;
    }
  });
  if (bUnfinished) {
    WriteLog("Not Exist Part2");
  }
  if (bUnfinished && bQueue) {
    std::memset(stRecord.szDecodeTime, 0, sizeof(stRecord.szDecodeTime));
    GetLocalTimeString(stRecord.szDecodeTime);
    (void)queue.Push(stRecord);
  }
}
