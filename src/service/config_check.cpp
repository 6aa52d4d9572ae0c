#include "service/config_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "config/byte_io.h"
#include "config/config_store.h"
#include "config/run_log.h"
#include "config/system_config.h"
#include "config/user_struct.h"
#include "core/device_allow_list.h"
#include "decodelog/log_server_link.h"
#include "status/status_server.h"

namespace {

constexpr char kSamvFile[] = "SamvList.ini";
constexpr char kSystemFile[] = "SystemConfig.ini";
constexpr char kUserFile[] = "UserList.ini";
constexpr const char* kFiles[] = {kSamvFile, kSystemFile, kUserFile};

struct KeyLine {
  std::string strKey;      // "KEY" as written
  std::string strFullKey;  // "SECTION.KEY"
  uint32_t unLine;
};

// The keys of an INI file with their lines, as the reader would see them; empty when the file
// cannot be opened.
std::vector<KeyLine> KeyLines(const std::string& strPath) {
  std::vector<KeyLine> arrKeys;
  FILE* pFile = std::fopen(strPath.c_str(), "r");
  if (pFile == nullptr) {
    return arrKeys;
  }
  std::string strSection;
  char szLine[4096];
  uint32_t unLine = 0;
  while (std::fgets(szLine, sizeof szLine, pFile) != nullptr) {
    ++unLine;
    const std::string strText = TrimText(szLine);
    if (strText.empty() || strText[0] == ';' || strText[0] == '#') {
      continue;
    }
    if (strText[0] == '[') {
      strSection = TrimText(strText.substr(1, strText.find(']') - 1));
      continue;
    }
    const size_t unEquals = strText.find('=');
    if (unEquals != std::string::npos) {
      const std::string strKey = TrimText(strText.substr(0, unEquals));
      arrKeys.push_back({strKey, strSection.empty() ? strKey : strSection + "." + strKey, unLine});
    }
  }
  std::fclose(pFile);
  return arrKeys;
}

bool IsKeyChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.';
}

// Whether strText names strKey as a whole word.
bool NamesKey(const std::string& strText, const std::string& strKey) {
  for (size_t unAt = strText.find(strKey); unAt != std::string::npos;
       unAt = strText.find(strKey, unAt + 1)) {
    const size_t unEnd = unAt + strKey.size();
    if ((unAt == 0 || !IsKeyChar(strText[unAt - 1])) &&
        (unEnd == strText.size() || !IsKeyChar(strText[unEnd]))) {
      return true;
    }
  }
  return false;
}

class CChecker {
 public:
  explicit CChecker(const std::string& strDirectory) : m_strDirectory(strDirectory) {
    for (const char* szFile : kFiles) {
      m_arrKeys.emplace_back(szFile, KeyLines(strDirectory + szFile));
    }
  }

  // What the run log said while a reader ran: problems of that reader's file (or, for a message
  // that names no file, of the file whose key it names).
  void TakeLog(std::vector<std::string>* parrLines, bool bError) {
    for (const std::string& strLine : *parrLines) {
      ConfigProblem problem;
      problem.bError = bError;
      problem.strText = strLine;
      Locate(&problem);
      m_arrProblems.push_back(std::move(problem));
    }
    parrLines->clear();
  }

  // A problem the readers do not see, about one key of one file.
  void Add(bool bError, const char* szFile, const std::string& strFullKey,
           const std::string& strText) {
    ConfigProblem problem;
    problem.bError = bError;
    problem.strFile = szFile;
    problem.unLine = LineOf(szFile, strFullKey);
    problem.strText = strFullKey + ": " + strText;
    m_arrProblems.push_back(std::move(problem));
  }

  std::vector<ConfigProblem> Take() { return std::move(m_arrProblems); }

 private:
  uint32_t LineOf(const std::string& strFile, const std::string& strFullKey) const {
    for (const auto& file : m_arrKeys) {
      if (file.first == strFile) {
        for (const KeyLine& key : file.second) {
          if (key.strFullKey == strFullKey) {
            return key.unLine;
          }
        }
      }
    }
    return 0;
  }

  // Finds the file and the line a run-log text is about, and cuts the routine's name and the
  // file's path out of it: what is left is the fault in the reader's words.
  void Locate(ConfigProblem* pProblem) const {
    std::string& strText = pProblem->strText;
    if (strText.compare(0, 9, "FUNCTION ") == 0) {
      const size_t unLineWord = strText.find("  LINE ");
      const size_t unAfterNumber =
          unLineWord == std::string::npos ? std::string::npos : strText.find(' ', unLineWord + 7);
      if (unAfterNumber != std::string::npos) {
        strText.erase(0, unAfterNumber + 1);
      }
    }
    for (const auto& file : m_arrKeys) {
      const std::string strPath = m_strDirectory + file.first;
      if (strText.find(strPath) == std::string::npos) {
        continue;
      }
      pProblem->strFile = file.first;
      // "<path>(<line>): <fault>" from the INI reader itself.
      const size_t unReader = strText.find(strPath + "(");
      if (unReader != std::string::npos) {
        const size_t unNumber = unReader + strPath.size() + 1;
        pProblem->unLine =
            static_cast<uint32_t>(std::strtoul(strText.c_str() + unNumber, nullptr, 10));
        const size_t unFault = strText.find("): ", unNumber);
        if (unFault != std::string::npos) {
          strText.erase(unReader, unFault + 3 - unReader);
        }
      }
      for (size_t unAt = strText.find(strPath); unAt != std::string::npos;
           unAt = strText.find(strPath)) {
        const size_t unEnd = unAt + strPath.size();
        strText.erase(unAt, unEnd < strText.size() && (strText[unEnd] == ' ' || strText[unEnd] == ':')
                                ? strPath.size() + 1
                                : strPath.size());
      }
      break;
    }
    if (pProblem->unLine != 0) {
      return;
    }
    for (const auto& file : m_arrKeys) {
      if (!pProblem->strFile.empty() && pProblem->strFile != file.first) {
        continue;
      }
      for (const KeyLine& key : file.second) {
        if (NamesKey(strText, key.strFullKey) || NamesKey(strText, key.strKey)) {
          pProblem->strFile = file.first;
          pProblem->unLine = key.unLine;
          return;
        }
      }
    }
  }

  std::string m_strDirectory;
  std::vector<std::pair<std::string, std::vector<KeyLine>>> m_arrKeys;
  std::vector<ConfigProblem> m_arrProblems;
};

// Whether the spool directory can be used, or made: what the queue's start would find.
bool SpoolUsable(const std::string& strDir, std::string* pstrWhy) {
  struct stat st;
  if (::stat(strDir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      *pstrWhy = strDir + " is not a directory";
      return false;
    }
    if (::access(strDir.c_str(), W_OK | X_OK) != 0) {
      *pstrWhy = strDir + " cannot be written (" + std::strerror(errno) + ")";
      return false;
    }
    return true;
  }
  std::string strParent = strDir;
  while (strParent.size() > 1 && strParent.back() == '/') {
    strParent.pop_back();
  }
  const size_t unSlash = strParent.rfind('/');
  strParent = unSlash == std::string::npos ? "." : unSlash == 0 ? "/" : strParent.substr(0, unSlash);
  if (::access(strParent.c_str(), W_OK | X_OK) != 0) {
    *pstrWhy = strDir + " does not exist and cannot be made in " + strParent + " (" +
               std::strerror(errno) + ")";
    return false;
  }
  return true;
}

template <size_t N>
std::string FieldText(const char (&szField)[N]) {
  return std::string(szField, FieldLength(szField));
}

}  // namespace

std::vector<ConfigProblem> CheckConfiguration(const std::string& strDirectory) {
  CChecker checker(strDirectory);
  ConfigStore store(strDirectory);
  std::vector<std::string> arrLog;
  const CRunLogCapture capture(&arrLog);  // ends however the check ends (a reader may throw)

  std::vector<std::unique_ptr<SamvServerEntry>> arrModules;
  {
    std::vector<SamvServerEntry*> arrRaw;
    ConfigStatus eStatus = ConfigStatus::Ok;
    store.BuildSamvResourceList(&arrRaw, &eStatus);
    for (SamvServerEntry* p : arrRaw) {
      arrModules.emplace_back(p);
    }
    checker.TakeLog(&arrLog, eStatus == ConfigStatus::Malformed);
  }
  {
    std::vector<UserStruct*> arrUsers;
    UserPasswordMap mapPasswords;
    ConfigStatus eStatus = ConfigStatus::Ok;
    store.BuildUserList(&arrUsers, &mapPasswords, &eStatus);
    for (UserStruct* p : arrUsers) {
      delete p;
    }
    checker.TakeLog(&arrLog, eStatus == ConfigStatus::Malformed);
  }
  SystemConfigStruct stConfig;
  std::memset(&stConfig, 0, sizeof stConfig);
  ConfigStatus eSystem = ConfigStatus::Ok;
  store.GetSystemConfig(&stConfig, &eSystem);
  checker.TakeLog(&arrLog, eSystem == ConfigStatus::Malformed);
  GatewaySettings stSettings;
  SessionLimits stLimits;
  SecuritySettings stSecurity;
  StatusSettings stStatus;
  if (eSystem == ConfigStatus::Ok) {
    (void)store.GetGatewaySettings(&stSettings);
    store.GetSessionLimits(&stLimits);
    store.GetSecuritySettings(&stSecurity);
    store.GetStatusSettings(&stStatus);
    checker.TakeLog(&arrLog, false);
  }

  // What start-up takes on trust.
  for (size_t i = 0; i < arrModules.size(); ++i) {
    const SamvServerEntry& entry = *arrModules[i];
    const std::string strN = std::to_string(i);
    uint32_t unAddress = 0;
    const std::string strIp = FieldText(entry.IP);
    if (!ParseIpv4(strIp, &unAddress)) {
      checker.Add(false, kSamvFile, "IP_LIST.IP" + strN,
                  "\"" + EscapeLogText(strIp) + "\" is not a dotted quad: module " + strN +
                      " cannot be reached");
    }
    if (entry.PORT == 0 || entry.PORT > 65535) {
      checker.Add(false, kSamvFile, "IP_LIST.PORT" + strN,
                  std::to_string(entry.PORT) + " is not a port from 1 to 65535: module " + strN +
                      " cannot be reached");
    }
    if (entry.VELM_PORT > 65535) {
      checker.Add(false, kSamvFile, "IP_LIST.VELM_PORT" + strN,
                  std::to_string(entry.VELM_PORT) + " is not a port up to 65535");
    }
  }
  if (eSystem == ConfigStatus::Ok) {
    std::string strError;
    CDeviceAllowList allow;
    if (!allow.Parse(stSecurity.strAllow, &strError)) {
      checker.Add(true, kSystemFile, "DEVICE.ALLOW",
                  EscapeLogText(strError) + ": the gateway does not start");
    }
    boost::asio::ip::tcp::endpoint endpoint;
    if (!stStatus.strListen.empty() &&
        !ParseStatusListen(stStatus.strListen, &endpoint, &strError)) {
      checker.Add(false, kSystemFile, "STATUS.LISTEN",
                  EscapeLogText(strError) + ": the gateway runs without its status listener");
    }
    CDeviceAllowList statusAllow;
    if (!statusAllow.Parse(stStatus.strAllow, &strError)) {
      checker.Add(false, kSystemFile, "STATUS.ALLOW",
                  EscapeLogText(strError) + ": the gateway runs without its status listener");
    }
    if (stSettings.bTls) {
      LogServerTlsSettings stTls;
      stTls.bTls = true;
      stTls.strCaFile = stSettings.strCaFile;
      stTls.strServerName = stSettings.strServerName;
      CLogServerLink link;
      if (!link.Configure(FieldText(stConfig.szLogServerIp),
                          static_cast<uint16_t>(stConfig.unLogServerPort), stTls, &strError)) {
        checker.Add(false, kSystemFile, "LOG_SERVER.CA_FILE",
                    EscapeLogText(strError) + ": no card record can be delivered");
      }
    }
    if (!stSettings.strSpoolDir.empty()) {
      const std::string strSpool = stSettings.strSpoolDir.front() == '/'
                                       ? stSettings.strSpoolDir
                                       : strDirectory + stSettings.strSpoolDir;
      if (!SpoolUsable(strSpool, &strError)) {
        checker.Add(false, kSystemFile, "SPOOL.DIR",
                    EscapeLogText(strError) + ": card records would be kept in memory only");
      }
    }
  }
  checker.TakeLog(&arrLog, false);  // anything said after the last reader (none expected)
  return checker.Take();
}

std::string ConfigProblemText(const ConfigProblem& problem) {
  std::string strText = problem.strFile.empty() ? std::string("configuration") : problem.strFile;
  if (problem.unLine != 0) {
    strText += ":" + std::to_string(problem.unLine);
  }
  strText += problem.bError ? ": error: " : ": warning: ";
  strText += problem.strText;
  return strText;
}
