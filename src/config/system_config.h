#pragma once

#include <cstddef>
#include <cstdint>

// One SAMV decode server of SamvList.ini: allocated singly, owned through the data switch's
// server list.
struct SamvServerEntry {
  char IP[32];         // dotted-quad text, at most 31 characters, NUL-terminated
  uint32_t PORT;       // TCP port of the decode service
  uint32_t VELM_PORT;  // UDP port of the module's management controller
};

// The settings of SystemConfig.ini as one fixed 724-byte record. The same layout travels in the
// device administration frames, so it is converted field by field (little-endian) by
// EncodeSystemConfig / DecodeSystemConfig; the struct itself is only the in-memory form.
struct SystemConfigStruct {
  char szUserName[32];      // SYSTEM_ADMINISTRATOR.USER_NAME
  char szPassword[16];      // SYSTEM_ADMINISTRATOR.PASSWORD
  char szLogServerIp[16];   // LOG_SERVER.IP_ADDRESS
  uint32_t unLogServerPort; // LOG_SERVER.PORT
  char szNewPassword[16];   // only carried by the device command that rewrites the settings
  char szHttpLogUrl[256];   // LOG_SERVER.HTTP_LOG_URL
  char szAppKey[128];       // LOG_SERVER.APP_KEY
  char szSecretKey[128];    // LOG_SERVER.SECRET_KEY
  char szSign[128];         // LOG_SERVER.SIGN
};

namespace SystemConfigLayout {
constexpr size_t kUserName = 0;
constexpr size_t kPassword = kUserName + 32;
constexpr size_t kLogServerIp = kPassword + 16;
constexpr size_t kLogServerPort = kLogServerIp + 16;
constexpr size_t kNewPassword = kLogServerPort + 4;
constexpr size_t kHttpLogUrl = kNewPassword + 16;
constexpr size_t kAppKey = kHttpLogUrl + 256;
constexpr size_t kSecretKey = kAppKey + 128;
constexpr size_t kSign = kSecretKey + 128;
constexpr size_t kSize = kSign + 128;
static_assert(kSize == 724, "SystemConfigStruct is 724 bytes on the wire");
}  // namespace SystemConfigLayout

static_assert(sizeof(SystemConfigStruct) == SystemConfigLayout::kSize, "no padding");
static_assert(offsetof(SystemConfigStruct, szPassword) == SystemConfigLayout::kPassword, "");
static_assert(offsetof(SystemConfigStruct, szLogServerIp) == SystemConfigLayout::kLogServerIp, "");
static_assert(offsetof(SystemConfigStruct, unLogServerPort) == SystemConfigLayout::kLogServerPort,
              "");
static_assert(offsetof(SystemConfigStruct, szNewPassword) == SystemConfigLayout::kNewPassword, "");
static_assert(offsetof(SystemConfigStruct, szHttpLogUrl) == SystemConfigLayout::kHttpLogUrl, "");
static_assert(offsetof(SystemConfigStruct, szAppKey) == SystemConfigLayout::kAppKey, "");
static_assert(offsetof(SystemConfigStruct, szSecretKey) == SystemConfigLayout::kSecretKey, "");
static_assert(offsetof(SystemConfigStruct, szSign) == SystemConfigLayout::kSign, "");

// REQUIRES: pOut holds SystemConfigLayout::kSize bytes.
void EncodeSystemConfig(const SystemConfigStruct& cfg, uint8_t* pOut);
// REQUIRES: pIn holds SystemConfigLayout::kSize bytes. Text fields are taken as they stand (a
// field that fills its width has no NUL: readers use FieldLength).
void DecodeSystemConfig(const uint8_t* pIn, SystemConfigStruct* pCfg);
