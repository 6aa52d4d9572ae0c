#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "mgmt/mcu_rtc_record.h"

class CUdpClient;

// Management frames of the SAMV module controllers (MCU), pure functions for both ends (the
// gateway and the simulator).

constexpr size_t kMcuFrameSize = 256;
constexpr uint8_t kMcuReplyMask[4] = {0xA4, 0x1D, 0x6B, 0xE2};

// nonce[k] = byte k of the seed (little-endian) XOR character k of the lowercase hexadecimal
// MD5 digest of those four bytes.
void McuNonceFromSeed(uint32_t unSeed, uint8_t* pNonce4);

// Builds a request frame into pFrame (kMcuFrameSize bytes, cleared first): length byte, nonce,
// scrambled sequence/command/big-endian length/payload, XOR checksum. Returns its length
// L + 10, or 0 when L exceeds 246.
size_t BuildMcuRequest(uint8_t* pFrame, const uint8_t* pNonce4, uint8_t bySequence,
                       uint8_t byCommand, const uint8_t* pPayload, size_t unLength);

// Scrambles (or unscrambles: its own inverse) the reply bytes 1..n-2 in place with the request's
// nonce and kMcuReplyMask.
void ScrambleMcuReply(uint8_t* pFrame, size_t unCount, const uint8_t* pNonce4);

// The management channel to one module at a time (the target). Owned by the data switch; used
// from the main thread only (clock synchronisation, pool maintenance, command-line mode).
class CVelmApi {
 public:
  CVelmApi();
  ~CVelmApi();
  CVelmApi(const CVelmApi&) = delete;
  CVelmApi& operator=(const CVelmApi&) = delete;

  // Creates the UDP client bound to 0.0.0.0:0 and clears the target. Throws what the client's
  // constructor throws.
  void Open();
  void Close();
  // Clears the target, then sets it when szAddress is non-null and unPort is not 0 (the address
  // is cut to 31 characters).
  void SetTarget(const char* szAddress, uint32_t unPort);

  // One request and at most one reply within one second. True when the reply passed the length
  // and checksum tests and its result byte is 0; its data is then at ReceivedFrame() + 3.
  bool Transact(uint8_t byCommand, const uint8_t* pPayload, size_t unLength);
  // From now on a transaction stops waiting for its reply (false, as when none came) as soon as
  // fnInterrupted says so; asked every 50 ms. The gateway's stop does not wait out a silent
  // module. Empty (the default): never.
  void SetInterrupt(std::function<bool()> fnInterrupted) {
    m_fnInterrupted = std::move(fnInterrupted);
  }

  bool GetLibBuildTime(char* szOut, size_t unCapacity);
  // Upper-case hexadecimal serial number, at most (unCapacity - 1) / 2 bytes so that the text
  // always ends in a NUL. False when szOut is null or unCapacity is below 64.
  bool GetMcuSerailNo(char* szOut, size_t unCapacity);
  bool GetMcuRtc(McuRtcRecord* pRecord);
  bool SetMcuRtc(McuRtcRecord* pRecord);
  bool ResetMcu();

  uint32_t LastResult() const { return m_unLastResult; }
  uint8_t Sequence() const { return m_bySequence; }
  const uint8_t* SentFrame() const { return m_arrSendFrame; }
  const uint8_t* ReceivedFrame() const { return m_arrReceiveFrame; }
  const char* TargetAddress() const { return m_szTargetAddress; }
  uint32_t TargetPort() const { return m_unTargetPort; }

 private:
  bool SendFrame(uint8_t byCommand, const uint8_t* pPayload, size_t unLength);
  bool ReceiveFrame();

  uint8_t m_arrSendFrame[kMcuFrameSize] = {0};
  uint8_t m_arrReceiveFrame[kMcuFrameSize] = {0};
  uint8_t m_bySequence = 0;
  uint32_t m_unLastResult = 0;
  std::unique_ptr<CUdpClient> m_upUdpClient;
  char m_szTargetAddress[32] = {0};
  uint32_t m_unTargetPort = 0;
  std::function<bool()> m_fnInterrupted;  // see SetInterrupt
};
