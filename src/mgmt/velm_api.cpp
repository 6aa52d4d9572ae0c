#include "mgmt/velm_api.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include "config/byte_io.h"
#include "config/run_log.h"
#include "config/shared_random.h"
#include "crypto/record_cipher.h"
#include "net/udp_client.h"

namespace {

// Request frame layout; L is the payload length.
constexpr size_t kReqLength = 0;                // N - 1
constexpr size_t kReqNonce = kReqLength + 1;    // 4 bytes, in clear
constexpr size_t kReqSequence = kReqNonce + 4;  // first scrambled byte
constexpr size_t kReqCommand = kReqSequence + 1;
constexpr size_t kReqPayloadLength = kReqCommand + 1;  // big-endian
constexpr size_t kReqPayload = kReqPayloadLength + 2;
constexpr size_t kReqOverhead = kReqPayload + 1;  // everything but the payload
static_assert(kReqOverhead == 10, "a request is L + 10 bytes");
constexpr size_t kMaxPayload = kMcuFrameSize - kReqOverhead;
static_assert(kMaxPayload == 246, "the longest payload that fits one frame");

// Reply frame layout (after unscrambling).
constexpr size_t kRepSequence = 1;
constexpr size_t kRepResult = kRepSequence + 1;
constexpr size_t kRepDataLength = kRepResult + 1;
constexpr size_t kRepData = kRepDataLength + 1;  // the module's error code when result != 0

// Command codes.
constexpr uint8_t kCmdSerialNo = 0x38;
constexpr uint8_t kCmdRtc = 0x5C;
constexpr uint8_t kCmdReset = 0xEC;
constexpr uint8_t kRtcGet = 0x00;
constexpr uint8_t kRtcSet = 0x01;
constexpr size_t kRtcPayloadSize = 1 + McuRtcLayout::kSize;

// Last-result codes.
constexpr uint32_t kResultOk = 0;
constexpr uint32_t kResultStarted = 1;
constexpr uint32_t kResultBadLength = 3;
constexpr uint32_t kResultEmpty = 4;
constexpr uint32_t kResultBadChecksum = 5;

// A module gets one second to answer.
constexpr std::chrono::nanoseconds kReplyTimeout(1000000000);
// How often a waiting transaction asks whether it is to give up (SetInterrupt).
constexpr std::chrono::milliseconds kInterruptPoll(50);

// Fixed when this build was made.
constexpr int kBuildYear = 2023;
constexpr int kBuildMonth = 9;
constexpr int kBuildDay = 24;
constexpr const char* kBuildTimeText = "06:45:01";
constexpr size_t kBuildTimeCapacity = 32;
constexpr size_t kSerialNoCapacity = 64;

// Counts every nonce the process forms, so two requests in the same second (same generator
// seed) still get different nonces.
std::atomic<uint32_t> g_unMcuFrameCounter{0};

}  // namespace

void McuNonceFromSeed(uint32_t unSeed, uint8_t* pNonce4) {
  uint8_t arrSeed[4];
  PutLe32(arrSeed, unSeed);
  uint8_t arrDigest[16] = {0};
  Md5Digest(arrSeed, sizeof(arrSeed), arrDigest);
  static const char kHex[] = "0123456789abcdef";
  // Only the first four characters of the lowercase hex text are used: two digest bytes.
  char arrText[4] = {kHex[arrDigest[0] >> 4], kHex[arrDigest[0] & 0x0F], kHex[arrDigest[1] >> 4],
                     kHex[arrDigest[1] & 0x0F]};
  for (size_t k = 0; k < 4; ++k) {
    pNonce4[k] = static_cast<uint8_t>(arrSeed[k] ^ static_cast<uint8_t>(arrText[k]));
  }
}

size_t BuildMcuRequest(uint8_t* pFrame, const uint8_t* pNonce4, uint8_t bySequence,
                       uint8_t byCommand, const uint8_t* pPayload, size_t unLength) {
  if (pFrame == nullptr || pNonce4 == nullptr || unLength > kMaxPayload) {
    return 0;
  }
  std::memset(pFrame, 0, kMcuFrameSize);
  const size_t unFrameLength = unLength + kReqOverhead;
  pFrame[kReqLength] = static_cast<uint8_t>(unFrameLength - 1);
  std::memcpy(pFrame + kReqNonce, pNonce4, 4);
  pFrame[kReqSequence] = bySequence;
  pFrame[kReqCommand] = byCommand;
  PutBe16(pFrame + kReqPayloadLength, static_cast<uint16_t>(unLength));
  if (pPayload != nullptr && unLength > 0) {
    std::memcpy(pFrame + kReqPayload, pPayload, unLength);
  }
  // Sequence, command, length and payload travel scrambled; the nonce is in clear so that the
  // module can undo it.
  for (size_t i = 0; i < unLength + 4; ++i) {
    pFrame[kReqSequence + i] ^= static_cast<uint8_t>(pNonce4[i % 4] ^ (i & 0xFF));
  }
  uint8_t byChecksum = 0;
  for (size_t i = 0; i < unFrameLength - 1; ++i) {
    byChecksum ^= pFrame[i];
  }
  pFrame[unFrameLength - 1] = byChecksum;
  return unFrameLength;
}

void ScrambleMcuReply(uint8_t* pFrame, size_t unCount, const uint8_t* pNonce4) {
  if (pFrame == nullptr || pNonce4 == nullptr) {
    return;
  }
  // Bytes 1 .. n-2: the length byte and the checksum stay as they travel.
  for (size_t i = 0; i + 3 <= unCount; ++i) {
    pFrame[1 + i] ^= static_cast<uint8_t>((i & 0xFF) ^ pNonce4[i % 4] ^ kMcuReplyMask[i % 4]);
  }
}

CVelmApi::CVelmApi() = default;

CVelmApi::~CVelmApi() = default;

void CVelmApi::Open() {
  m_upUdpClient.reset(
      new CUdpClient(boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::any(), 0)));
  std::memset(m_szTargetAddress, 0, sizeof(m_szTargetAddress));
  m_unTargetPort = 0;
}

void CVelmApi::Close() {
  m_upUdpClient.reset();
}

void CVelmApi::SetTarget(const char* szAddress, uint32_t unPort) {
  std::memset(m_szTargetAddress, 0, sizeof(m_szTargetAddress));
  m_unTargetPort = 0;
  if (szAddress != nullptr && unPort != 0) {
    CopyText(m_szTargetAddress, szAddress);
    m_unTargetPort = unPort;
  }
}

bool CVelmApi::SendFrame(uint8_t byCommand, const uint8_t* pPayload, size_t unLength) {
  // The generator is reseeded and drawn for every request, even one that goes nowhere; both
  // draws happen under the generator's lock so a device session cannot reseed in between.
  int32_t nFirst = 0;
  int32_t nSecond = 0;
  SharedSeedAndDrawTwo(static_cast<uint32_t>(time(nullptr)), &nFirst, &nSecond);
  if (m_unTargetPort == 0 || m_szTargetAddress[0] == '\0' || !m_upUdpClient) {
    return false;
  }
  if (unLength > kMaxPayload) {
    return false;
  }
  uint32_t unCounter = g_unMcuFrameCounter.fetch_add(1) + 1;
  uint32_t unSeed =
      ((static_cast<uint32_t>(nFirst) << 16) + static_cast<uint32_t>(nSecond)) ^ unCounter;
  uint8_t arrNonce[4];
  McuNonceFromSeed(unSeed, arrNonce);
  size_t unFrameLength =
      BuildMcuRequest(m_arrSendFrame, arrNonce, m_bySequence, byCommand, pPayload, unLength);
  // A reply that came after its own exchange gave up would otherwise be taken as the answer to
  // this request, and every later exchange would be one reply behind.
  (void)m_upUdpClient->Drain();
  int32_t nSent = m_upUdpClient->SendData(m_szTargetAddress, static_cast<int32_t>(m_unTargetPort),
                                          m_arrSendFrame, unFrameLength);
  return nSent > 0 && static_cast<size_t>(nSent) == unFrameLength;
}

bool CVelmApi::ReceiveFrame() {
  if (!m_upUdpClient || m_unTargetPort == 0 || m_szTargetAddress[0] == '\0') {
    return false;
  }
  boost::system::error_code ec;
  boost::asio::ip::udp::endpoint target(
      boost::asio::ip::make_address(m_szTargetAddress, ec), static_cast<uint16_t>(m_unTargetPort));
  if (ec) {
    return false;  // the send could not have gone out either
  }
  // Only the addressed module's address and port can answer; anything else is ignored and the
  // wait goes on to the same deadline.
  const std::chrono::steady_clock::time_point tmDeadline =
      std::chrono::steady_clock::now() + kReplyTimeout;
  bool bStrangerLogged = false;
  size_t unCount = 0;
  for (;;) {
    std::memset(m_arrReceiveFrame, 0, sizeof(m_arrReceiveFrame));
    const std::chrono::steady_clock::duration left = tmDeadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
      unCount = 0;
      break;
    }
    if (m_fnInterrupted && m_fnInterrupted()) {
      unCount = 0;
      break;
    }
    boost::asio::ip::udp::endpoint sender;
    const std::chrono::steady_clock::duration slice =
        m_fnInterrupted ? std::min<std::chrono::steady_clock::duration>(left, kInterruptPoll)
                        : left;
    unCount = m_upUdpClient->Receive(m_arrReceiveFrame, sizeof(m_arrReceiveFrame), slice, ec,
                                     &sender);
    if (ec == boost::asio::error::operation_aborted && slice < left) {
      continue;  // one slice of the wait is over: ask again whether to go on
    }
    if (ec) {
      unCount = 0;  // nothing came in time
      break;
    }
    if (sender == target) {
      break;
    }
    if (!bStrangerLogged) {
      bStrangerLogged = true;
      WriteLogF("FUNCTION %s  LINE %d datagram from %s:%u ignored: waiting for %s:%u",
                "ReceiveFrame", __LINE__, sender.address().to_string().c_str(),
                static_cast<unsigned>(sender.port()), m_szTargetAddress,
                static_cast<unsigned>(m_unTargetPort));
    }
  }
  std::memset(m_arrReceiveFrame + unCount, 0, sizeof(m_arrReceiveFrame) - unCount);
  if (unCount != static_cast<size_t>(m_arrReceiveFrame[0]) + 1) {
    m_unLastResult = kResultBadLength;  // also: nothing arrived
    return false;
  }
  if (m_arrReceiveFrame[0] == 0) {
    m_unLastResult = kResultEmpty;
    return false;
  }
  ++m_bySequence;
  uint8_t byXor = 0;
  for (size_t i = 0; i < unCount; ++i) {
    byXor ^= m_arrReceiveFrame[i];
  }
  if (byXor != 0) {
    m_unLastResult = kResultBadChecksum;
    return false;
  }
  ScrambleMcuReply(m_arrReceiveFrame, unCount, m_arrSendFrame + kReqNonce);
  m_bySequence = m_arrReceiveFrame[kRepSequence];
  if (m_arrReceiveFrame[kRepResult] != 0) {
    m_unLastResult = m_arrReceiveFrame[kRepData];
    return false;
  }
  m_unLastResult = kResultOk;
  return true;
}

bool CVelmApi::Transact(uint8_t byCommand, const uint8_t* pPayload, size_t unLength) {
  m_unLastResult = kResultStarted;
  if (!SendFrame(byCommand, pPayload, unLength)) {
    return false;
  }
  return ReceiveFrame();
}

bool CVelmApi::GetLibBuildTime(char* szOut, size_t unCapacity) {
  if (szOut == nullptr || unCapacity < kBuildTimeCapacity) {
    return false;
  }
  std::snprintf(szOut, unCapacity, "%d-%02d-%02d %s", kBuildYear, kBuildMonth, kBuildDay,
                kBuildTimeText);
  return true;
}

bool CVelmApi::GetMcuSerailNo(char* szOut, size_t unCapacity) {
  if (szOut == nullptr || unCapacity < kSerialNoCapacity) {
    return false;
  }
  std::memset(szOut, 0, unCapacity);
  if (!Transact(kCmdSerialNo, nullptr, 0)) {
    return false;
  }
  // The module says how many bytes it sent; render no more than the text buffer can hold with
  // its NUL, and never read past the receive frame whatever that count claims.
  size_t unBytes = m_arrReceiveFrame[kRepDataLength];
  if (unBytes > (unCapacity - 1) / 2) {
    unBytes = (unCapacity - 1) / 2;
  }
  if (unBytes > kMcuFrameSize - kRepData) {
    unBytes = kMcuFrameSize - kRepData;
  }
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < unBytes; ++i) {
    uint8_t by = m_arrReceiveFrame[kRepData + i];
    szOut[2 * i] = kHex[by >> 4];
    szOut[2 * i + 1] = kHex[by & 0x0F];
  }
  return true;
}

bool CVelmApi::GetMcuRtc(McuRtcRecord* pRecord) {
  if (pRecord == nullptr) {
    return false;
  }
  uint8_t arrPayload[kRtcPayloadSize] = {0};
  arrPayload[0] = kRtcGet;
  EncodeMcuRtc(*pRecord, arrPayload + 1);
  if (!Transact(kCmdRtc, arrPayload, sizeof(arrPayload))) {
    return false;
  }
  DecodeMcuRtc(m_arrReceiveFrame + kRepData, pRecord);
  return true;
}

bool CVelmApi::SetMcuRtc(McuRtcRecord* pRecord) {
  if (pRecord == nullptr) {
    return false;
  }
  uint8_t arrPayload[kRtcPayloadSize] = {0};
  arrPayload[0] = kRtcSet;
  EncodeMcuRtc(*pRecord, arrPayload + 1);
  if (!Transact(kCmdRtc, arrPayload, sizeof(arrPayload))) {
    return false;
  }
  DecodeMcuRtc(m_arrReceiveFrame + kRepData, pRecord);
  return true;
}

bool CVelmApi::ResetMcu() {
  return Transact(kCmdReset, nullptr, 0);
}
