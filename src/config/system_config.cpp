#include "config/system_config.h"

#include <cstring>

#include "config/byte_io.h"

void EncodeSystemConfig(const SystemConfigStruct& cfg, uint8_t* pOut) {
  using namespace SystemConfigLayout;
  std::memcpy(pOut + kUserName, cfg.szUserName, sizeof(cfg.szUserName));
  std::memcpy(pOut + kPassword, cfg.szPassword, sizeof(cfg.szPassword));
  std::memcpy(pOut + kLogServerIp, cfg.szLogServerIp, sizeof(cfg.szLogServerIp));
  PutLe32(pOut + kLogServerPort, cfg.unLogServerPort);
  std::memcpy(pOut + kNewPassword, cfg.szNewPassword, sizeof(cfg.szNewPassword));
  std::memcpy(pOut + kHttpLogUrl, cfg.szHttpLogUrl, sizeof(cfg.szHttpLogUrl));
  std::memcpy(pOut + kAppKey, cfg.szAppKey, sizeof(cfg.szAppKey));
  std::memcpy(pOut + kSecretKey, cfg.szSecretKey, sizeof(cfg.szSecretKey));
  std::memcpy(pOut + kSign, cfg.szSign, sizeof(cfg.szSign));
}

void DecodeSystemConfig(const uint8_t* pIn, SystemConfigStruct* pCfg) {
  using namespace SystemConfigLayout;
  std::memcpy(pCfg->szUserName, pIn + kUserName, sizeof(pCfg->szUserName));
  std::memcpy(pCfg->szPassword, pIn + kPassword, sizeof(pCfg->szPassword));
  std::memcpy(pCfg->szLogServerIp, pIn + kLogServerIp, sizeof(pCfg->szLogServerIp));
  pCfg->unLogServerPort = GetLe32(pIn + kLogServerPort);
  std::memcpy(pCfg->szNewPassword, pIn + kNewPassword, sizeof(pCfg->szNewPassword));
  std::memcpy(pCfg->szHttpLogUrl, pIn + kHttpLogUrl, sizeof(pCfg->szHttpLogUrl));
  std::memcpy(pCfg->szAppKey, pIn + kAppKey, sizeof(pCfg->szAppKey));
  std::memcpy(pCfg->szSecretKey, pIn + kSecretKey, sizeof(pCfg->szSecretKey));
  std::memcpy(pCfg->szSign, pIn + kSign, sizeof(pCfg->szSign));
}
