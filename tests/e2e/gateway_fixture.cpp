#include "gateway_fixture.h"

#include <boost/filesystem/operations.hpp>

GatewayRun::GatewayRun() {
  boost::filesystem::copy_file(CARDGATE_EXE, m_dir.File("cardgate"),
                               boost::filesystem::copy_options::overwrite_existing);
  SetModules({});
  SetLogServer(0);
  SetDefaultUsers();
}

void GatewayRun::SetModules(const std::vector<Module>& arrModules) {
  std::string s = "[IP_LIST]\nSAMV_COUNT=" + std::to_string(arrModules.size()) + "\n";
  for (size_t i = 0; i < arrModules.size(); ++i) {
    std::string n = std::to_string(i);
    s += "IP" + n + "=127.0.0.1\nPORT" + n + "=" + std::to_string(arrModules[i].unPort) +
         "\nVELM_PORT" + n + "=" + std::to_string(arrModules[i].unVelmPort) + "\n";
  }
  m_dir.Write("SamvList.ini", s);
}

void GatewayRun::SetLogServer(uint16_t unPort, const std::string& strSecretKey) {
  m_dir.Write("SystemConfig.ini",
              "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=admin\nPASSWORD=adminpw\n[LOG_SERVER]\n"
              "IP_ADDRESS=127.0.0.1\nPORT=" + std::to_string(unPort) +
                  "\nHTTP_LOG_URL=/card/log\nAPP_KEY=app01\nSECRET_KEY=" + strSecretKey +
                  "\nSIGN=sig\n" + m_strExtraSystemConfig);
}

void GatewayRun::SetDefaultUsers() {
  m_dir.Write("UserList.ini",
              "[USER_LIST]\nUSER_COUNT=2\nPASSWORD_0=pass1001\nACCOUNT_NO_0=1001\nTYPE_0=0\n"
              "PASSWORD_1=pass1002\nACCOUNT_NO_1=1002\nTYPE_1=0\n");
}

bool GatewayRun::Start(const std::vector<std::string>& args, bool bWait) {
  // An earlier gateway of this run goes first, killed and reaped: one that was only sent a
  // signal may still hold the device port when the next one binds it.
  m_upProcess.reset();
  m_upProcess.reset(
      new ChildProcess(m_dir.File("cardgate"), args, m_dir.Path(), m_arrEnvironment));
  return !bWait || m_upProcess->WaitForOutput("Press any key to exit!");
}
