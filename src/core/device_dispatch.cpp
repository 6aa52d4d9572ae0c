#include "core/device_dispatch.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "config/byte_io.h"
#include "config/run_log.h"
#include "config/system_config.h"
#include "config/user_struct.h"
#include "core/data_switch.h"
#include "core/device_frame.h"
#include "metrics/gateway_metrics.h"
#include "net/tcp_client.h"

namespace {

constexpr size_t kWorkBufferSize = 4096;
constexpr size_t kMinFrame = 24;  // length word, key, command, three bytes, parameters

// Log-in payload: where the request fields lie.
namespace LoginLayout {
constexpr size_t kRequestHead = 0;   // 32 bytes kept as arrRequestHead
constexpr size_t kAccountNo = 34;    // uint32
constexpr size_t kPassword = 38;     // char[16]
constexpr size_t kUserInfo = 54;     // 64 bytes
constexpr size_t kDeviceId = 118;    // char[64]
constexpr size_t kTransData = 182;   // char[1024]
constexpr size_t kPasswordWidth = 16;
constexpr size_t kMinLength = 182;
constexpr size_t kErrorPayload = 1024;
constexpr size_t kErrorText = 42;
}  // namespace LoginLayout

constexpr size_t kUserRecordOffset = SystemConfigLayout::kSize;  // command 82 write
constexpr size_t kMaxUsersPerReply = 36;

std::string BoundedText(const uint8_t* p, size_t unWidth) {
  const char* s = reinterpret_cast<const char*>(p);
  return std::string(s, strnlen(s, unWidth));
}

// The administrator of a device command matches the configured one. An administrator without
// a password is no administrator: an unconfigured gateway must not hand out its settings.
bool AdminMatches(const uint8_t* pPayload, const SystemConfigStruct& stConfig) {
  using namespace SystemConfigLayout;
  std::string strName = BoundedText(pPayload + kUserName, 32);
  std::string strPassword = BoundedText(pPayload + kPassword, 16);
  std::string strConfigName(stConfig.szUserName, FieldLength(stConfig.szUserName));
  std::string strConfigPassword(stConfig.szPassword, FieldLength(stConfig.szPassword));
  // Both compared whole, whatever the first gives: the time tells nothing of either.
  const bool bName = SecretEquals(strName.data(), strName.size(), strConfigName.data(),
                                  strConfigName.size(), sizeof(stConfig.szUserName));
  const bool bPassword = SecretEquals(strPassword.data(), strPassword.size(),
                                      strConfigPassword.data(), strConfigPassword.size(),
                                      sizeof(stConfig.szPassword));
  return !strConfigPassword.empty() && bName && bPassword;
}

uint32_t ReplyAdminMismatch(DataSwitch& ds, const DeviceHandle& hDevice, const uint8_t* pKey) {
  const uint8_t byNo = 0;
  SendDeviceReply(ds, hDevice, DeviceCommand::kAdminCheck, &byNo, 1, pKey);
  return 1;
}

// The reader's address, as the throttle counts it; empty when the connection is gone.
std::string PeerAddress(const DeviceHandle& hDevice) {
  boost::system::error_code ec;
  boost::asio::ip::tcp::endpoint ep = hDevice->remote_endpoint(ec);
  return ec ? std::string() : ep.address().to_string();
}

// The administrator check of commands 81, 82 and 83, throttled per address: while the address
// is locked out the answer is a mismatch without a look at the record. Every mismatch is logged
// with the address (never with what was tried) and counted.
bool CheckAdministrator(DataSwitch& ds, const DeviceHandle& hDevice, const uint8_t* pPayload,
                        const SystemConfigStruct& stConfig) {
  const std::string strAddress = PeerAddress(hDevice);
  const CLoginThrottle::Clock::time_point tmNow = CLoginThrottle::Clock::now();
  if (ds.m_LoginThrottle.IsLockedOut(strAddress, tmNow)) {
    return false;
  }
  if (AdminMatches(pPayload, stConfig)) {
    hDevice->MarkLoggedIn();  // an administrator's tool is no stray connection either
    return true;
  }
  WriteLogF("FUNCTION %s  LINE %d administrator check failed from %s", "ProcessDeviceData",
            __LINE__, strAddress.c_str());
  GatewayMetrics().AdminCheckFailure();
  ds.m_LoginThrottle.RecordFailure(strAddress, tmNow);
  return false;
}

uint32_t LoginCheck(DataSwitch& ds, const DeviceHandle& hDevice, uint8_t byCommand,
                    const uint8_t* pKey, const uint8_t* pParam, const uint8_t* pPayload,
                    size_t unPayloadLength, CTcpClient* pClient) {
  using namespace LoginLayout;
  pClient->SetRequestHead(pPayload + kRequestHead, pParam);
  const char* szError = "UserAccount Or Password DataLength Error!";
  const std::string strAddress = PeerAddress(hDevice);
  const CLoginThrottle::Clock::time_point tmNow = CLoginThrottle::Clock::now();
  if (ds.m_LoginThrottle.IsLockedOut(strAddress, tmNow)) {
    // Refused unchecked, with the reply of a wrong password: a guesser learns nothing here.
    szError = "UserAccount Or Password Error!";
  } else if (unPayloadLength >= kMinLength) {
    uint32_t unAccountNo = GetLe32(pPayload + kAccountNo);
    std::string strPassword = BoundedText(pPayload + kPassword, 16);
    std::string strTransData = BoundedText(pPayload + kTransData, 1024);
    WriteLogF("QuorvexSerialId[%s]", EscapeLogText(strTransData).c_str());
    bool bPass = false;
    {
      boost::mutex::scoped_lock lock(ds.m_mtxUserList);
      UserPasswordMap::const_iterator it = ds.m_mapUserPassword.find(unAccountNo);
      bPass = it != ds.m_mapUserPassword.end() && !it->second.empty() &&
              SecretEquals(it->second.data(), it->second.size(), strPassword.data(),
                           strPassword.size(), kPasswordWidth);
    }
    if (bPass) {
      hDevice->MarkLoggedIn();  // from here the module is this reader's for as long as it reads
      pClient->SetRequestInfo(unAccountNo, pPayload + kUserInfo, pPayload + kDeviceId,
                              pPayload + kTransData);
      WriteLogF("SDT:%d nRealDataLength %d", byCommand, static_cast<int>(unPayloadLength));
      return 1;
    }
    szError = "UserAccount Or Password Error!";
    WriteLog(szError);
    GatewayMetrics().LoginFailure();
    ds.m_LoginThrottle.RecordFailure(strAddress, tmNow);
  }
  uint8_t arrReply[kErrorPayload] = {0};
  std::memcpy(arrReply + kErrorText, szError, std::min(std::strlen(szError), kErrorPayload - kErrorText));
  SendDeviceReply(ds, hDevice, DeviceCommand::kReplyLoginError, arrReply, kErrorPayload, pKey);
  return 0;
}

void SystemConfigCommand(DataSwitch& ds, const DeviceHandle& hDevice, const uint8_t* pKey,
                         const uint8_t* pParam, const uint8_t* pPayload) {
  SystemConfigStruct stCurrent = ds.GetSystemConfigCopy();
  if (!CheckAdministrator(ds, hDevice, pPayload, stCurrent)) {
    GatewayMetrics().AdminCommandDone(AdminCommand::Settings, AdminResult::Refused);
    ReplyAdminMismatch(ds, hDevice, pKey);
    return;
  }
  if (pParam[0] == 0) {
    uint8_t arrConfig[SystemConfigLayout::kSize];
    EncodeSystemConfig(stCurrent, arrConfig);
    GatewayMetrics().AdminCommandDone(AdminCommand::Settings, AdminResult::Ok);
    SendDeviceReply(ds, hDevice, DeviceCommand::kSystemConfig, arrConfig, sizeof(arrConfig), pKey);
    return;
  }
  SystemConfigStruct stNew;
  DecodeSystemConfig(pPayload, &stNew);
  // The gateway never fills the new-password field in its read reply, so a device that writes
  // back what it read sends it empty; taking that as the new password would blank the
  // administrator's password and lock the administrator out.
  if (stNew.szNewPassword[0] != '\0' &&
      std::memcmp(stNew.szNewPassword, stNew.szPassword, sizeof(stNew.szPassword)) != 0) {
    std::memcpy(stNew.szPassword, stNew.szNewPassword, sizeof(stNew.szPassword));
  }
  // The device hears of success only when the file holds what it sent and memory follows it.
  DataSwitch::SettingsWrite eResult = ds.ApplySystemConfig(
      stNew, [pPayload](const SystemConfigStruct& stNow) { return AdminMatches(pPayload, stNow); });
  if (eResult != DataSwitch::SettingsWrite::Written) {
    GatewayMetrics().AdminCommandDone(AdminCommand::Settings,
                                      eResult == DataSwitch::SettingsWrite::NotAdministrator
                                          ? AdminResult::Refused
                                          : AdminResult::Failed);
    ReplyAdminMismatch(ds, hDevice, pKey);
    return;
  }
  GatewayMetrics().AdminCommandDone(AdminCommand::Settings, AdminResult::Ok);
  SendDeviceReply(ds, hDevice, DeviceCommand::kSystemConfig, nullptr, 0, pKey);
}

void UserListCommand(DataSwitch& ds, const DeviceHandle& hDevice, const uint8_t* pKey,
                     const uint8_t* pParam, const uint8_t* pPayload) {
  if (!CheckAdministrator(ds, hDevice, pPayload, ds.GetSystemConfigCopy())) {
    GatewayMetrics().AdminCommandDone(AdminCommand::Accounts, AdminResult::Refused);
    ReplyAdminMismatch(ds, hDevice, pKey);
    return;
  }
  GatewayMetrics().AdminCommandDone(AdminCommand::Accounts, AdminResult::Ok);
  if (pParam[0] != 0) {
    UserStruct stUser;
    DecodeUser(pPayload + kUserRecordOffset, &stUser);
    // The password never goes to the run log: the field keeps its place, its value is masked.
    WriteLogF("FUNCTION %s  LINE %d unAccountNo %d, unIndex %d, szPassword %s,unType %d",
              "ProcessDeviceData", 805, static_cast<int>(stUser.unAccountNo),
              static_cast<int>(stUser.unIndex), "***", static_cast<int>(stUser.unType));
    stUser.unIndex = 0;
    ds.SetUserInfo(stUser);
    SendDeviceReply(ds, hDevice, DeviceCommand::kUserList, nullptr, 0, pKey);
    return;
  }
  uint32_t unStart = GetLe32(pParam + 4);
  uint8_t arrUsers[kMaxUsersPerReply * UserLayout::kSize];
  size_t unCopied = 0;
  {
    boost::mutex::scoped_lock lock(ds.m_mtxUserList);
    for (size_t i = unStart; i < ds.m_arrUserList.size() && unCopied < kMaxUsersPerReply; ++i) {
      const UserStruct* pUser = ds.m_arrUserList[i];
      if (pUser == nullptr) {
        continue;
      }
      EncodeUser(*pUser, arrUsers + unCopied * UserLayout::kSize);
      ++unCopied;
    }
  }
  SendDeviceReply(ds, hDevice, DeviceCommand::kUserList, arrUsers,
                  static_cast<uint32_t>(unCopied * UserLayout::kSize), pKey);
}

}  // namespace

uint32_t SendDeviceReply(DataSwitch& /*ds*/, DeviceHandle hDevice, uint8_t byCode,
                         const uint8_t* pPayload, uint32_t unPayloadLength, const uint8_t* pSeed) {
  uint8_t arrFrame[kDeviceReplyHeadSize + kDeviceReplyPayloadLimit];
  size_t unFrame =
      BuildDeviceReply(byCode, pPayload, unPayloadLength, pSeed, arrFrame, sizeof(arrFrame));
  if (unFrame == 0) {
    return 0;
  }
  char szError[512] = {0};
  (void)CTcpServer::SendData(hDevice, arrFrame, static_cast<uint32_t>(unFrame), szError,
                             sizeof(szError));  // a failed write is logged by the server
  return 0;
}

uint32_t ProcessDeviceData(DataSwitch& ds, DeviceHandle hDevice, const uint8_t* pData,
                           uint32_t unCount, CTcpClient* pClient, bool* pbHandled) {
  if (pData == nullptr || pClient == nullptr || pbHandled == nullptr) {
    return 0;
  }
  *pbHandled = false;
  if (unCount < kMinFrame) {
    // Too short to carry an account, but a module may still take its command: a card command
    // here is refused as too short, never passed unchecked.
    constexpr size_t kCommandOffset = 4 + kDeviceKeySize;
    if (unCount > kCommandOffset &&
        DeviceCommand::IsCardRead(static_cast<uint8_t>(pData[kCommandOffset] ^ pData[4]))) {
      uint8_t arrReply[LoginLayout::kErrorPayload] = {0};
      const char* szError = "UserAccount Or Password DataLength Error!";
      std::memcpy(arrReply + LoginLayout::kErrorText, szError, std::strlen(szError));
      SendDeviceReply(ds, hDevice, DeviceCommand::kReplyLoginError, arrReply,
                      LoginLayout::kErrorPayload, pData + 4);
      return 0;
    }
    return 1;
  }
  // Work on an unmasked copy; the chunk itself goes on to the SAMV server as it came.
  uint8_t arrWork[kWorkBufferSize] = {0};
  uint8_t arrPayload[kWorkBufferSize] = {0};
  size_t unFrame = std::min<size_t>(unCount - 4, kWorkBufferSize);
  std::memcpy(arrWork, pData + 4, unFrame);
  uint8_t byCommand = 0;
  uint8_t arrKey[kDeviceKeySize];
  uint8_t arrParam[8];
  size_t unPayloadLength = 0;
  if (!ParseDeviceFrame(arrWork, unFrame, &byCommand, arrKey, arrParam, arrPayload,
                        sizeof(arrPayload), &unPayloadLength)) {
    return 1;
  }
  if (DeviceCommand::IsCardRead(byCommand)) {
    return LoginCheck(ds, hDevice, byCommand, arrKey, arrParam, arrPayload, unPayloadLength,
                      pClient);
  }
  switch (byCommand) {
    case DeviceCommand::kSystemConfig:
      *pbHandled = true;
      SystemConfigCommand(ds, hDevice, arrKey, arrParam, arrPayload);
      return 1;
    case DeviceCommand::kUserList:
      *pbHandled = true;
      UserListCommand(ds, hDevice, arrKey, arrParam, arrPayload);
      return 1;
    case DeviceCommand::kAdminCheck: {
      *pbHandled = true;
      const uint8_t byMatch =
          CheckAdministrator(ds, hDevice, arrPayload, ds.GetSystemConfigCopy()) ? 1 : 0;
      GatewayMetrics().AdminCommandDone(AdminCommand::Check,
                                        byMatch != 0 ? AdminResult::Ok : AdminResult::Refused);
      SendDeviceReply(ds, hDevice, DeviceCommand::kAdminCheck, &byMatch, 1, arrKey);
      return 1;
    }
    default:
      return 1;
  }
}
