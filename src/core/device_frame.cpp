#include "core/device_frame.h"

#include <cstring>

#include "config/byte_io.h"
#include "config/shared_random.h"

void MaskDeviceBody(uint8_t* pBody, size_t unCount, const uint8_t* pKey) {
  for (size_t i = 0; i < unCount; ++i) {
    pBody[i] ^= static_cast<uint8_t>(pKey[i % kDeviceKeySize] ^ static_cast<uint8_t>(i & 0xFF));
  }
}

bool ParseDeviceFrame(uint8_t* pFrame, size_t unCount, uint8_t* pCommand, uint8_t* pKey,
                      uint8_t* pParam, uint8_t* pPayload, size_t unPayloadCapacity,
                      size_t* pPayloadLength) {
  if (pFrame == nullptr || pCommand == nullptr || pKey == nullptr || pParam == nullptr ||
      unCount < 20) {
    return false;
  }
  std::memcpy(pKey, pFrame, kDeviceKeySize);
  MaskDeviceBody(pFrame + 8, unCount - 8, pKey);
  *pCommand = pFrame[8];
  std::memcpy(pParam, pFrame + 12, 8);
  if (pPayload != nullptr) {
    size_t unLength = unCount - 20;
    if (unPayloadCapacity < unLength) {
      return false;
    }
    if (unPayloadCapacity == 0) {
      return true;
    }
    if (pPayloadLength != nullptr) {
      *pPayloadLength = unLength;
    }
    std::memcpy(pPayload, pFrame + 20, unLength);
  }
  return true;
}

void DeriveReplyKey(const uint8_t* pSeed, uint8_t* pKeyOut) {
  uint32_t s0 = GetLe32(kReplyKeySeed);
  uint32_t s1 = GetLe32(kReplyKeySeed + 4);
  for (int k = 0; k < 2; ++k) {
    uint32_t r = static_cast<uint32_t>(SharedSeedAndDraw(GetLe32(pSeed + 4 * k)));
    uint32_t lo = r & 0xFF;
    uint32_t hi = (r >> 8) & 0xFF;
    uint32_t m = lo | (hi << 8) | (lo << 16) | (hi << 24);
    s0 ^= m;
    s1 ^= m;
  }
  PutLe32(pKeyOut, s0);
  PutLe32(pKeyOut + 4, s1);
}

size_t BuildDeviceReply(uint8_t byCode, const uint8_t* pPayload, size_t unPayloadLength,
                        const uint8_t* pSeed, uint8_t* pOut, size_t unOutCapacity) {
  if (unPayloadLength >= kDeviceReplyPayloadLimit || pSeed == nullptr || pOut == nullptr) {
    return 0;
  }
  size_t unBody = pPayload != nullptr ? unPayloadLength : 0;
  size_t unTotal = kDeviceReplyHeadSize + unBody;
  if (unOutCapacity < unTotal) {
    return 0;
  }
  uint8_t key[kDeviceKeySize];
  DeriveReplyKey(pSeed, key);
  PutLe32(pOut, static_cast<uint32_t>(unTotal));
  std::memcpy(pOut + 4, key, kDeviceKeySize);
  pOut[12] = byCode;
  pOut[13] = pOut[14] = pOut[15] = 0;
  if (unBody > 0) {
    std::memcpy(pOut + kDeviceReplyHeadSize, pPayload, unBody);
  }
  MaskDeviceBody(pOut + 12, unTotal - 12, key);
  return unTotal;
}
