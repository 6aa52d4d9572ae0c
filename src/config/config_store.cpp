#include "config/config_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sstream>
#include <system_error>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "config/byte_io.h"
#include "config/run_log.h"

namespace pt = boost::property_tree;

namespace {

constexpr char kSamvListFile[] = "SamvList.ini";
constexpr char kSystemConfigFile[] = "SystemConfig.ini";
// Far above any installation (each server is a pooled connection and a managed module), far
// below what would exhaust the router: a count beyond it is a typing error in the file.
constexpr uint32_t kMaxSamvServers = 1024;

void SetStatus(ConfigStatus* pStatus, ConfigStatus eStatus) {
  if (pStatus != nullptr) {
    *pStatus = eStatus;
  }
}

// The reader's and writer's errors (unmatched '[', duplicate key, unreadable file, ...) name the
// file and line themselves; the message adds who was reading.
void LogFileError(const char* szFunction, int nLine, const std::string& strPath,
                  const std::exception& e) {
  WriteLogF("FUNCTION %s  LINE %d %s Read Error: %s", szFunction, nLine, strPath.c_str(),
            e.what());
}

// Copies a file value (one line of text, IniLineValue) into a text field only when it is shorter
// than the field.
template <size_t N>
void TakeIfShorter(char (&field)[N], const std::string& strValue) {
  std::string strText = IniLineValue(strValue);
  if (strText.size() < N) {
    CopyText(field, strText.c_str());
  }
}

// A field's text as it goes into the INI file. A line end would let a device-sent value add keys
// of its own to the file, so the text ends at the first CR or LF.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return OneLineText(std::string(field, FieldLength(field)));
}

}  // namespace

std::string TrimText(const std::string& strText) {
  size_t b = 0;
  size_t e = strText.size();
  while (b < e && std::isspace(static_cast<unsigned char>(strText[b]))) {
    ++b;
  }
  while (e > b && std::isspace(static_cast<unsigned char>(strText[e - 1]))) {
    --e;
  }
  return strText.substr(b, e - b);
}

std::string OneLineText(const std::string& strText) {
  return strText.substr(0, strText.find_first_of("\r\n"));
}

std::string IniLineValue(const std::string& strValue) {
  static const std::string kLineEnds("\0\r\n", 3);
  return TrimText(strValue.substr(0, strValue.find_first_of(kLineEnds)));
}

ConfigStore::ConfigStore() : m_strDirectory(GetExeDirectory()) {}

ConfigStore::ConfigStore(std::string strDirectory) : m_strDirectory(std::move(strDirectory)) {}

bool ConfigStore::BuildSamvResourceList(std::vector<SamvServerEntry*>* pList,
                                        ConfigStatus* pStatus) {
  SetStatus(pStatus, ConfigStatus::Ok);
  if (pList == nullptr) {
    return false;
  }
  std::string strPath = PathOf(kSamvListFile);
  if (!ConfigFileExists("BuildSamvResourceList", __LINE__, strPath)) {
    SetStatus(pStatus, ConfigStatus::Missing);
    return false;
  }
  pt::ptree tree;
  try {
    pt::read_ini(strPath, tree);
  } catch (const std::exception& e) {
    LogFileError("BuildSamvResourceList", __LINE__, strPath, e);
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
  uint32_t unCount = tree.get<uint32_t>("IP_LIST.SAMV_COUNT", 0);
  if (unCount == 0) {
    return false;
  }
  if (unCount > kMaxSamvServers) {
    // Every server gets an entry even without keys, so a mistyped count would allocate until the
    // process dies. The file is unusable as it stands, like one the reader rejects.
    WriteLogF("FUNCTION %s  LINE %d %s SAMV_COUNT %u is more than %u servers!",
              "BuildSamvResourceList", __LINE__, strPath.c_str(), unCount, kMaxSamvServers);
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
  for (uint32_t i = 0; i < unCount; ++i) {
    std::string strIndex = std::to_string(i);
    SamvServerEntry* pEntry = new SamvServerEntry();
    std::memset(pEntry, 0, sizeof(*pEntry));
    TakeIfShorter(pEntry->IP, tree.get<std::string>("IP_LIST.IP" + strIndex, ""));
    pEntry->PORT = tree.get<uint32_t>("IP_LIST.PORT" + strIndex, 0);
    pEntry->VELM_PORT = tree.get<uint32_t>("IP_LIST.VELM_PORT" + strIndex, 0);
    pList->push_back(pEntry);
  }
  return true;
}

bool ConfigStore::GetSystemConfig(SystemConfigStruct* pConfig, ConfigStatus* pStatus) {
  SetStatus(pStatus, ConfigStatus::Ok);
  if (pConfig == nullptr) {
    return false;
  }
  std::string strPath = PathOf(kSystemConfigFile);
  if (!ConfigFileExists("GetSystemConfig", __LINE__, strPath)) {
    SetStatus(pStatus, ConfigStatus::Missing);
    return false;
  }
  pt::ptree tree;
  try {
    pt::read_ini(strPath, tree);
  } catch (const std::exception& e) {
    LogFileError("GetSystemConfig", __LINE__, strPath, e);
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
  TakeIfShorter(pConfig->szUserName, tree.get<std::string>("SYSTEM_ADMINISTRATOR.USER_NAME", ""));
  TakeIfShorter(pConfig->szPassword, tree.get<std::string>("SYSTEM_ADMINISTRATOR.PASSWORD", ""));
  TakeIfShorter(pConfig->szLogServerIp, tree.get<std::string>("LOG_SERVER.IP_ADDRESS", ""));
  pConfig->unLogServerPort = tree.get<uint32_t>("LOG_SERVER.PORT", 0);
  TakeIfShorter(pConfig->szHttpLogUrl, tree.get<std::string>("LOG_SERVER.HTTP_LOG_URL", ""));
  TakeIfShorter(pConfig->szAppKey, tree.get<std::string>("LOG_SERVER.APP_KEY", ""));
  TakeIfShorter(pConfig->szSecretKey, tree.get<std::string>("LOG_SERVER.SECRET_KEY", ""));
  TakeIfShorter(pConfig->szSign, tree.get<std::string>("LOG_SERVER.SIGN", ""));
  return true;
}

void ConfigStore::GetSessionLimits(SessionLimits* pLimits) {
  if (pLimits == nullptr) {
    return;
  }
  *pLimits = SessionLimits();
  std::string strPath = PathOf(kSystemConfigFile);
  pt::ptree tree;
  try {
    if (!boost::filesystem::exists(strPath)) {
      return;
    }
    pt::read_ini(strPath, tree);
  } catch (const std::exception&) {
    return;  // GetSystemConfig has logged the file
  }
  struct Key {
    const char* szKey;
    uint32_t* punValue;
  } keys[] = {{"DEVICE.IDLE_TIMEOUT_S", &pLimits->unDeviceIdleTimeoutS},
              {"SAMV.ANSWER_TIMEOUT_S", &pLimits->unSamvAnswerTimeoutS}};
  for (const Key& k : keys) {
    boost::optional<std::string> optValue = tree.get_optional<std::string>(k.szKey);
    if (!optValue) {
      continue;
    }
    std::string strValue = IniLineValue(*optValue);
    bool bValid = !strValue.empty() && strValue.size() <= 5 &&
                  strValue.find_first_not_of("0123456789") == std::string::npos;
    uint32_t unValue = bValid ? static_cast<uint32_t>(std::strtoul(strValue.c_str(), nullptr, 10))
                              : 0;
    if (!bValid || unValue > SessionLimits::kMaxS) {
      WriteLogF("FUNCTION %s  LINE %d %s %s is not a number of seconds up to %u: %u is used",
                "GetSessionLimits", __LINE__, strPath.c_str(), k.szKey, SessionLimits::kMaxS,
                *k.punValue);
      continue;
    }
    *k.punValue = unValue;
  }
}

bool ConfigStore::SetSystemConfig(const SystemConfigStruct* pConfig, ConfigStatus* pStatus) {
  SetStatus(pStatus, ConfigStatus::Ok);
  if (pConfig == nullptr) {
    return false;
  }
  std::string strPath = PathOf(kSystemConfigFile);
  if (!ConfigFileExists("SetSystemConfig", __LINE__, strPath)) {
    SetStatus(pStatus, ConfigStatus::Missing);
    return false;
  }
  try {
    // Read first, so keys and sections this gateway does not know survive the rewrite.
    pt::ptree tree;
    pt::read_ini(strPath, tree);
    tree.put("SYSTEM_ADMINISTRATOR.USER_NAME", FieldText(pConfig->szUserName));
    tree.put("SYSTEM_ADMINISTRATOR.PASSWORD", FieldText(pConfig->szPassword));
    tree.put("LOG_SERVER.IP_ADDRESS", FieldText(pConfig->szLogServerIp));
    tree.put("LOG_SERVER.PORT", pConfig->unLogServerPort);
    tree.put("LOG_SERVER.HTTP_LOG_URL", FieldText(pConfig->szHttpLogUrl));
    tree.put("LOG_SERVER.APP_KEY", FieldText(pConfig->szAppKey));
    tree.put("LOG_SERVER.SECRET_KEY", FieldText(pConfig->szSecretKey));
    tree.put("LOG_SERVER.SIGN", FieldText(pConfig->szSign));
    WriteIniFile(strPath, tree);
  } catch (const std::exception& e) {
    LogFileError("SetSystemConfig", __LINE__, strPath, e);
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
  return true;
}

namespace {

// Writes all of strText to fd and makes it durable; errno tells what failed.
bool WriteAllAndSync(int fd, const std::string& strText) {
  const char* p = strText.data();
  size_t nLeft = strText.size();
  while (nLeft > 0) {
    ssize_t n = ::write(fd, p, nLeft);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    p += n;
    nLeft -= static_cast<size_t>(n);
  }
  return ::fsync(fd) == 0;
}

}  // namespace

void WriteIniFile(const std::string& strPath, const pt::ptree& tree) {
  std::ostringstream out;
  pt::write_ini(out, tree);
  // An operator may keep the file elsewhere and link it here: replace the file, not the link.
  std::string strTarget = strPath;
  if (char* szReal = ::realpath(strPath.c_str(), nullptr)) {
    strTarget = szReal;
    std::free(szReal);
  }
  struct stat stOld {};
  mode_t mode = ::stat(strTarget.c_str(), &stOld) == 0 ? (stOld.st_mode & 07777) : 0644;
  const std::string strTemp = strTarget + ".tmp";
  int fd = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), strTemp);
  }
  bool bWritten = WriteAllAndSync(fd, out.str());
  int nError = errno;
  if (::close(fd) != 0 && bWritten) {
    bWritten = false;
    nError = errno;
  }
  if (!bWritten || ::rename(strTemp.c_str(), strTarget.c_str()) != 0) {
    nError = bWritten ? errno : nError;
    ::unlink(strTemp.c_str());
    throw std::system_error(nError, std::generic_category(), strTemp);
  }
}

bool ConfigFileExists(const char* szFunction, int nLine, const std::string& strPath) {
  boost::system::error_code ec;
  if (boost::filesystem::exists(strPath, ec)) {
    return true;
  }
  WriteLogF("FUNCTION %s  LINE %d %s Not Exist!", szFunction, nLine, strPath.c_str());
  return false;
}
