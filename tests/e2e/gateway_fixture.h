#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"
#include "support/test_util.h"

// The built gateway in a temporary run directory: a copy of the executable beside its three INI
// files, started in gateway mode and stopped (killed) when the fixture goes.
class GatewayRun {
 public:
  struct Module {
    uint16_t unPort;
    uint16_t unVelmPort;
  };
  GatewayRun();
  // Writes SamvList.ini for the modules (all on 127.0.0.1).
  void SetModules(const std::vector<Module>& arrModules);
  // Writes SystemConfig.ini: administrator admin/adminpw and the log server.
  void SetLogServer(uint16_t unPort, const std::string& strSecretKey = "0123456789abcdef");
  // Lines that SetLogServer appends to SystemConfig.ini, inside its last section [LOG_SERVER];
  // they may open sections of their own. Set before SetLogServer.
  void SetExtraSystemConfig(const std::string& strLines) { m_strExtraSystemConfig = strLines; }
  // Writes UserList.ini with accounts 1001/pass1001 and 1002/pass1002.
  void SetDefaultUsers();
  // "NAME=value" entries for the environment of the gateway started next.
  void SetEnvironment(const std::vector<std::string>& arrEnvironment) {
    m_arrEnvironment = arrEnvironment;
  }
  // Starts the gateway and (bWait) waits for it to come up. False when it did not. A gateway
  // started earlier by this object is killed first.
  bool Start(const std::vector<std::string>& args = {}, bool bWait = true);
  ChildProcess& Process() { return *m_upProcess; }
  const TempDir& Dir() const { return m_dir; }
  bool WaitForLog(const std::string& strText, std::chrono::milliseconds timeout =
                                                  std::chrono::seconds(20)) {
    return m_upProcess->WaitForOutput(strText, timeout);
  }
  size_t CountLog(const std::string& strText) { return m_upProcess->CountOutput(strText); }

 private:
  TempDir m_dir;
  std::vector<std::string> m_arrEnvironment;
  std::string m_strExtraSystemConfig;
  std::unique_ptr<ChildProcess> m_upProcess;
};
