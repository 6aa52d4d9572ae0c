#pragma once

#include <cstdint>

#include "net/tcp_server.h"

class CTcpClient;
class DataSwitch;

// Device command codes the gateway looks at.
namespace DeviceCommand {
constexpr uint8_t kLoginGroup[] = {1, 9, 14, 59, 71, 78};  // card reads: need an account
constexpr uint8_t kSystemConfig = 81;
constexpr uint8_t kUserList = 82;
constexpr uint8_t kAdminCheck = 83;
constexpr uint8_t kReplyLoginError = 1;
constexpr uint8_t kReplyBusy = 50;

// Whether a command code is a card read of the log-in group.
constexpr bool IsCardRead(uint8_t byCommand) {
  for (uint8_t c : kLoginGroup) {
    if (c == byCommand) {
      return true;
    }
  }
  return false;
}
}  // namespace DeviceCommand

// Sends one reply frame (code, payload, key derived from the 8 seed bytes) to the device. A
// payload of 4085 bytes or more, or missing seeds, sends nothing. Always returns 0. Any thread.
uint32_t SendDeviceReply(DataSwitch& ds, DeviceHandle hDevice, uint8_t byCode,
                         const uint8_t* pPayload, uint32_t unPayloadLength, const uint8_t* pSeed);

// Looks into one device chunk (taken as one frame) on its session thread. Returns 0: do not
// forward (a log-in that failed and was answered). Non-zero with *pbHandled clear: forward the
// chunk unchanged. Non-zero with *pbHandled set: answered here (commands 81, 82, 83). The chunk
// itself is never changed; any bytes of any length are safe.
uint32_t ProcessDeviceData(DataSwitch& ds, DeviceHandle hDevice, const uint8_t* pData,
                           uint32_t unCount, CTcpClient* pClient, bool* pbHandled);
