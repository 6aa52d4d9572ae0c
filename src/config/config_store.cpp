#include "config/config_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <system_error>

#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>

#include "config/byte_io.h"
#include "config/directory_sync.h"
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

// The file could not be replaced (the directory not writable, the disk full, ...): the file is
// as it was. The error names the temporary file and the cause.
void LogWriteError(const char* szFunction, int nLine, const std::string& strPath,
                   const std::exception& e) {
  WriteLogF("FUNCTION %s  LINE %d %s Write Error: %s", szFunction, nLine, strPath.c_str(),
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

// A file value as the run log shows it: bytes outside printable ASCII as \xNN, so that a value
// cannot forge a line or colour the terminal.
std::string LogSafeText(const std::string& strText) {
  static const char kHex[] = "0123456789abcdef";
  std::string strOut;
  for (unsigned char c : strText) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      strOut += static_cast<char>(c);
    } else {
      strOut += "\\x";
      strOut += kHex[c >> 4];
      strOut += kHex[c & 0x0F];
    }
  }
  return strOut;
}

// The text fields of SystemConfigStruct with their keys, in the order the file takes them.
struct SystemConfigText {
  const char* szKey;
  size_t unOffset;
  size_t unWidth;
};
const SystemConfigText kSystemConfigTexts[] = {
    {"SYSTEM_ADMINISTRATOR.USER_NAME", offsetof(SystemConfigStruct, szUserName), 32},
    {"SYSTEM_ADMINISTRATOR.PASSWORD", offsetof(SystemConfigStruct, szPassword), 16},
    {"LOG_SERVER.IP_ADDRESS", offsetof(SystemConfigStruct, szLogServerIp), 16},
    {"LOG_SERVER.HTTP_LOG_URL", offsetof(SystemConfigStruct, szHttpLogUrl), 256},
    {"LOG_SERVER.APP_KEY", offsetof(SystemConfigStruct, szAppKey), 128},
    {"LOG_SERVER.SECRET_KEY", offsetof(SystemConfigStruct, szSecretKey), 128},
    {"LOG_SERVER.SIGN", offsetof(SystemConfigStruct, szSign), 128},
};

std::string TextOf(const SystemConfigStruct& cfg, const SystemConfigText& field) {
  const char* p = reinterpret_cast<const char*>(&cfg) + field.unOffset;
  return std::string(p, strnlen(p, field.unWidth));
}

// Why the reader would not give the field's text back as it stands, or null when it would.
const char* WhyNotReadBack(const SystemConfigStruct& cfg, const SystemConfigText& field,
                           std::string* pstrDetail) {
  std::string strText = TextOf(cfg, field);
  if (strText.size() >= field.unWidth) {
    *pstrDetail = std::to_string(strText.size()) + " characters, at most " +
                  std::to_string(field.unWidth - 1) + " are read";
    return "too long";
  }
  if (strText.find_first_of("\r\n") != std::string::npos) {
    *pstrDetail = "a line end would end the value there";
    return "holds a line end";
  }
  if (TrimText(strText) != strText) {
    *pstrDetail = "the reader trims them";
    return "has blanks at its ends";
  }
  return nullptr;
}

}  // namespace

namespace {

// "<file>(<line>): <fault>", the line left out when there is none, the file when unknown.
std::runtime_error IniError(const std::string& strFault, const std::string& strPath,
                            unsigned long ulLine) {
  std::string strText = strPath.empty() ? "<unspecified file>" : strPath;
  if (ulLine > 0) {
    strText += "(" + std::to_string(ulLine) + ")";
  }
  return std::runtime_error(strText + ": " + strFault);
}

// Takes one line of an INI file (without its LF) into the tree being built.
void TakeIniLine(const std::string& strRaw, unsigned long ulLine, const std::string& strPath,
                 pt::ptree* pRoot, pt::ptree** ppSection) {
  const std::string strLine = TrimText(strRaw);
  if (strLine.empty() || strLine[0] == ';' || strLine[0] == '#') {
    return;
  }
  if (strLine[0] == '[') {
    if (*ppSection != nullptr && (*ppSection)->empty()) {
      pRoot->pop_back();
    }
    const std::string::size_type unEnd = strLine.find(']');
    if (unEnd == std::string::npos) {
      throw IniError("unmatched '['", strPath, ulLine);
    }
    std::string strName = TrimText(strLine.substr(1, unEnd - 1));
    if (pRoot->find(strName) != pRoot->not_found()) {
      throw IniError("duplicate section name", strPath, ulLine);
    }
    *ppSection = &pRoot->push_back(std::make_pair(strName, pt::ptree()))->second;
    return;
  }
  pt::ptree& container = *ppSection != nullptr ? **ppSection : *pRoot;
  const std::string::size_type unEq = strLine.find('=');
  if (unEq == std::string::npos) {
    throw IniError("'=' character not found in line", strPath, ulLine);
  }
  if (unEq == 0) {
    throw IniError("key expected", strPath, ulLine);
  }
  std::string strKey = TrimText(strLine.substr(0, unEq));
  std::string strValue = TrimText(strLine.substr(unEq + 1));
  if (container.find(strKey) != container.not_found()) {
    throw IniError("duplicate key name", strPath, ulLine);
  }
  container.push_back(std::make_pair(strKey, pt::ptree(strValue)));
}

void CheckIniDuplicates(const pt::ptree& tree) {
  for (const pt::ptree::value_type& child : tree) {
    if (tree.count(child.first) > 1) {
      throw IniError("duplicate key", "", 0);
    }
  }
}

}  // namespace

void ReadIniFile(const std::string& strPath, pt::ptree* pTree) {
  const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw IniError("cannot open file", strPath, 0);
  }
  std::string strText;
  bool bReadError = false;
  char arrBuffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, arrBuffer, sizeof(arrBuffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      bReadError = n < 0;  // a directory, or the medium failing
      break;
    }
    strText.append(arrBuffer, static_cast<size_t>(n));
  }
  ::close(fd);
  pt::ptree root;
  pt::ptree* pSection = nullptr;
  unsigned long ulLine = 0;
  std::string::size_type unStart = 0;
  for (;;) {
    ++ulLine;
    const std::string::size_type unEnd = strText.find('\n', unStart);
    if (unEnd == std::string::npos) {
      // The last line, without a line end: the lines read before a failure still count first.
      if (bReadError) {
        throw IniError("read error", strPath, ulLine);
      }
      TakeIniLine(strText.substr(unStart), ulLine, strPath, &root, &pSection);
      break;
    }
    TakeIniLine(strText.substr(unStart, unEnd - unStart), ulLine, strPath, &root, &pSection);
    unStart = unEnd + 1;
  }
  if (pSection != nullptr && pSection->empty()) {
    root.pop_back();
  }
  pTree->swap(root);
}

std::string IniText(const pt::ptree& tree) {
  if (!tree.data().empty()) {
    throw IniError("ptree has data on root", "", 0);
  }
  CheckIniDuplicates(tree);
  std::string strText;
  for (const pt::ptree::value_type& key : tree) {
    if (key.second.empty()) {
      strText += key.first + '=' + key.second.data() + '\n';
    }
  }
  for (const pt::ptree::value_type& section : tree) {
    if (section.second.empty()) {
      continue;
    }
    CheckIniDuplicates(section.second);
    if (!section.second.data().empty()) {
      throw IniError("mixed data and children", "", 0);
    }
    strText += '[' + section.first + "]\n";
    for (const pt::ptree::value_type& key : section.second) {
      if (!key.second.empty()) {
        throw IniError("ptree is too deep", "", 0);
      }
      strText += key.first + '=' + key.second.data() + '\n';
    }
  }
  return strText;
}

boost::optional<uint32_t> StreamNumber(const std::string& strValue) {
  const std::string strText = TrimText(strValue);
  size_t i = 0;
  const bool bNegative = !strText.empty() && strText[0] == '-';
  if (!strText.empty() && (strText[0] == '-' || strText[0] == '+')) {
    ++i;
  }
  if (i == strText.size()) {
    return boost::none;
  }
  uint64_t unValue = 0;
  for (; i < strText.size(); ++i) {
    if (strText[i] < '0' || strText[i] > '9') {
      return boost::none;
    }
    unValue = unValue * 10 + static_cast<uint64_t>(strText[i] - '0');
    if (unValue > UINT32_MAX) {
      return boost::none;
    }
  }
  const uint32_t unNumber = static_cast<uint32_t>(unValue);
  return bNegative ? static_cast<uint32_t>(0u - unNumber) : unNumber;
}

bool ParseIniNumber(const std::string& strValue, uint32_t* punValue) {
  *punValue = 0;
  if (strValue.empty() || strValue.size() > 10 ||
      strValue.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  unsigned long long ullValue = std::strtoull(strValue.c_str(), nullptr, 10);
  if (ullValue > UINT32_MAX) {
    return false;
  }
  *punValue = static_cast<uint32_t>(ullValue);
  return true;
}

bool GetIniNumber(const pt::ptree& tree, const std::string& strKey, uint32_t* punValue,
                  const char* szFunction, int nLine, const std::string& strPath) {
  *punValue = 0;
  boost::optional<std::string> value = tree.get_optional<std::string>(strKey);
  if (!value) {
    return true;
  }
  const std::string& strValue = *value;
  bool bNumber = ParseIniNumber(strValue, punValue);
  if (!bNumber) {
    WriteLogF("FUNCTION %s  LINE %d %s %s value \"%s\" is not a number", szFunction, nLine,
              strPath.c_str(), strKey.c_str(), LogSafeText(strValue).c_str());
  }
  return bNumber;
}

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

ConfigStore::ConfigStore() : m_strDirectory(GetConfigDirectory()) {}

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
    ReadIniFile(strPath, &tree);
  } catch (const std::exception& e) {
    LogFileError("BuildSamvResourceList", __LINE__, strPath, e);
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
  uint32_t unCount = 0;
  if (!GetIniNumber(tree, "IP_LIST.SAMV_COUNT", &unCount, "BuildSamvResourceList", __LINE__,
                    strPath)) {
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
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
  // Checked whole before anything is appended: a port that silently read as 0 would leave a
  // server that can never be reached (or managed) in the pool.
  std::vector<SamvServerEntry> arrEntries(unCount);
  for (uint32_t i = 0; i < unCount; ++i) {
    std::string strIndex = std::to_string(i);
    SamvServerEntry& entry = arrEntries[i];
    std::memset(&entry, 0, sizeof(entry));
    TakeIfShorter(entry.IP, tree.get<std::string>("IP_LIST.IP" + strIndex, ""));
    if (!GetIniNumber(tree, "IP_LIST.PORT" + strIndex, &entry.PORT, "BuildSamvResourceList",
                      __LINE__, strPath) ||
        !GetIniNumber(tree, "IP_LIST.VELM_PORT" + strIndex, &entry.VELM_PORT,
                      "BuildSamvResourceList", __LINE__, strPath)) {
      SetStatus(pStatus, ConfigStatus::Malformed);
      return false;
    }
  }
  for (const SamvServerEntry& entry : arrEntries) {
    pList->push_back(new SamvServerEntry(entry));
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
    ReadIniFile(strPath, &tree);
  } catch (const std::exception& e) {
    LogFileError("GetSystemConfig", __LINE__, strPath, e);
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
  uint32_t unPort = 0;
  if (!GetIniNumber(tree, "LOG_SERVER.PORT", &unPort, "GetSystemConfig", __LINE__, strPath)) {
    // Port 0 would switch the card-record upload off without a word.
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
  TakeIfShorter(pConfig->szUserName, tree.get<std::string>("SYSTEM_ADMINISTRATOR.USER_NAME", ""));
  TakeIfShorter(pConfig->szPassword, tree.get<std::string>("SYSTEM_ADMINISTRATOR.PASSWORD", ""));
  TakeIfShorter(pConfig->szLogServerIp, tree.get<std::string>("LOG_SERVER.IP_ADDRESS", ""));
  pConfig->unLogServerPort = unPort;
  TakeIfShorter(pConfig->szHttpLogUrl, tree.get<std::string>("LOG_SERVER.HTTP_LOG_URL", ""));
  TakeIfShorter(pConfig->szAppKey, tree.get<std::string>("LOG_SERVER.APP_KEY", ""));
  TakeIfShorter(pConfig->szSecretKey, tree.get<std::string>("LOG_SERVER.SECRET_KEY", ""));
  TakeIfShorter(pConfig->szSign, tree.get<std::string>("LOG_SERVER.SIGN", ""));
  return true;
}

namespace {

// A positive whole number setting: absent keeps the default; anything else that does not read
// as a number from 1 to 1000000 is logged and keeps it too.
void TakeSetting(const pt::ptree& tree, const char* szKey, const std::string& strPath,
                 uint32_t* punValue) {
  boost::optional<std::string> value = tree.get_optional<std::string>(szKey);
  if (!value) {
    return;
  }
  std::string strText = IniLineValue(*value);
  char* pEnd = nullptr;
  errno = 0;
  unsigned long ul = std::strtoul(strText.c_str(), &pEnd, 10);
  if (strText.empty() || *pEnd != '\0' || errno != 0 || ul == 0 || ul > 1000000 ||
      !std::isdigit(static_cast<unsigned char>(strText[0]))) {
    WriteLogF("FUNCTION %s  LINE %d %s %s is not a whole number from 1 to 1000000: %u is used",
              "GetGatewaySettings", __LINE__, strPath.c_str(), szKey, *punValue);
    return;
  }
  *punValue = static_cast<uint32_t>(ul);
}

// A text setting as one line: an absent key keeps *pstrValue.
void TakeText(const pt::ptree& tree, const char* szKey, std::string* pstrValue) {
  if (boost::optional<std::string> value = tree.get_optional<std::string>(szKey)) {
    *pstrValue = IniLineValue(*value);
  }
}

}  // namespace

bool ConfigStore::GetGatewaySettings(GatewaySettings* pSettings) {
  if (pSettings == nullptr) {
    return false;
  }
  std::string strPath = PathOf(kSystemConfigFile);
  if (!PathExists(strPath)) {
    return false;  // GetSystemConfig has said so
  }
  pt::ptree tree;
  try {
    ReadIniFile(strPath, &tree);
  } catch (const std::exception&) {
    return false;  // GetSystemConfig has said so
  }
  TakeText(tree, "SPOOL.DIR", &pSettings->strSpoolDir);
  TakeSetting(tree, "SPOOL.MAX_MB", strPath, &pSettings->unSpoolMaxMb);
  TakeSetting(tree, "LOG_SERVER.ANSWER_TIMEOUT_S", strPath, &pSettings->unAnswerTimeoutS);
  boost::optional<std::string> tls = tree.get_optional<std::string>("LOG_SERVER.TLS");
  if (tls) {
    const std::string strTls = IniLineValue(*tls);
    if (strTls == "1" || strTls == "0") {
      pSettings->bTls = strTls == "1";
    } else {
      // Neither plain by mistake nor TLS without a word: the operator meant something.
      pSettings->bTls = true;
      WriteLogF("FUNCTION %s  LINE %d %s LOG_SERVER.TLS is neither 0 nor 1: TLS is used",
                "GetGatewaySettings", __LINE__, strPath.c_str());
    }
  }
  boost::optional<std::string> ca = tree.get_optional<std::string>("LOG_SERVER.CA_FILE");
  if (ca && !IniLineValue(*ca).empty()) {
    pSettings->strCaFile = IniLineValue(*ca);
  }
  TakeText(tree, "LOG_SERVER.SERVER_NAME", &pSettings->strServerName);
  return true;
}

namespace {

// SystemConfig.ini as a tree for the settings beyond the record; false (nothing to read) when it
// is missing or malformed, which GetSystemConfig reports.
bool ReadSettingsTree(const std::string& strPath, pt::ptree* pTree) {
  try {
    if (!PathExists(strPath)) {
      return false;
    }
    ReadIniFile(strPath, pTree);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

// A whole number from unMin to unMax: an absent key keeps *punValue; anything else that does not
// read as such a number is logged (szWhat names the unit) and keeps it too.
void TakeBoundedNumber(const pt::ptree& tree, const char* szFunction, const std::string& strPath,
                       const char* szKey, uint32_t unMin, uint32_t unMax, const char* szWhat,
                       uint32_t* punValue) {
  boost::optional<std::string> optValue = tree.get_optional<std::string>(szKey);
  if (!optValue) {
    return;
  }
  std::string strValue = IniLineValue(*optValue);
  bool bValid = !strValue.empty() && strValue.size() <= 9 &&
                strValue.find_first_not_of("0123456789") == std::string::npos;
  uint32_t unValue = bValid ? static_cast<uint32_t>(std::strtoul(strValue.c_str(), nullptr, 10))
                            : 0;
  if (!bValid || unValue < unMin || unValue > unMax) {
    if (unMin == 0) {
      WriteLogF("FUNCTION %s  LINE %d %s %s is not a number of %s up to %u: %u is used",
                szFunction, __LINE__, strPath.c_str(), szKey, szWhat, unMax, *punValue);
    } else {
      WriteLogF("FUNCTION %s  LINE %d %s %s is not a number of %s from %u to %u: %u is used",
                szFunction, __LINE__, strPath.c_str(), szKey, szWhat, unMin, unMax, *punValue);
    }
    return;
  }
  *punValue = unValue;
}

}  // namespace

void ConfigStore::GetSessionLimits(SessionLimits* pLimits) {
  if (pLimits == nullptr) {
    return;
  }
  *pLimits = SessionLimits();
  std::string strPath = PathOf(kSystemConfigFile);
  pt::ptree tree;
  if (!ReadSettingsTree(strPath, &tree)) {
    return;  // GetSystemConfig has logged the file
  }
  TakeBoundedNumber(tree, "GetSessionLimits", strPath, "DEVICE.IDLE_TIMEOUT_S", 0,
                    SessionLimits::kMaxS, "seconds", &pLimits->unDeviceIdleTimeoutS);
  TakeBoundedNumber(tree, "GetSessionLimits", strPath, "SAMV.ANSWER_TIMEOUT_S", 0,
                    SessionLimits::kMaxS, "seconds", &pLimits->unSamvAnswerTimeoutS);
  TakeBoundedNumber(tree, "GetSessionLimits", strPath, "DEVICE.LOGIN_TIMEOUT_S", 0,
                    SessionLimits::kMaxS, "seconds", &pLimits->unDeviceLoginTimeoutS);
}

void ConfigStore::GetSecuritySettings(SecuritySettings* pSettings) {
  if (pSettings == nullptr) {
    return;
  }
  *pSettings = SecuritySettings();
  std::string strPath = PathOf(kSystemConfigFile);
  pt::ptree tree;
  if (!ReadSettingsTree(strPath, &tree)) {
    return;  // GetSystemConfig has logged the file
  }
  TakeBoundedNumber(tree, "GetSecuritySettings", strPath, "SECURITY.MAX_FAILURES", 0,
                    SecuritySettings::kMaxMaxFailures, "failures", &pSettings->unMaxFailures);
  TakeBoundedNumber(tree, "GetSecuritySettings", strPath, "SECURITY.LOCKOUT_S", 1,
                    SecuritySettings::kMaxLockoutS, "seconds", &pSettings->unLockoutS);
  TakeText(tree, "DEVICE.ALLOW", &pSettings->strAllow);
}

void ConfigStore::GetStatusSettings(StatusSettings* pSettings) {
  if (pSettings == nullptr) {
    return;
  }
  *pSettings = StatusSettings();
  std::string strPath = PathOf(kSystemConfigFile);
  pt::ptree tree;
  if (!ReadSettingsTree(strPath, &tree)) {
    return;  // GetSystemConfig has logged the file
  }
  TakeBoundedNumber(tree, "GetStatusSettings", strPath, "STATUS.MAX_RECORD_AGE_S", 1,
                    StatusSettings::kMaxMaxRecordAgeS, "seconds", &pSettings->unMaxRecordAgeS);
  TakeText(tree, "STATUS.LISTEN", &pSettings->strListen);
  TakeText(tree, "STATUS.ALLOW", &pSettings->strAllow);
}

bool ConfigStore::SetSystemConfig(const SystemConfigStruct* pConfig, ConfigStatus* pStatus,
                                  SystemConfigStruct* pReadBack) {
  SetStatus(pStatus, ConfigStatus::Ok);
  if (pConfig == nullptr) {
    return false;
  }
  std::string strPath = PathOf(kSystemConfigFile);
  // A value that the reader would not give back as it stands would be saved and then not taken
  // at the next start (a password that fills its field leaves the administrator out): such a
  // write is refused whole, before the file is touched.
  for (const SystemConfigText& field : kSystemConfigTexts) {
    std::string strDetail;
    const char* szWhy = WhyNotReadBack(*pConfig, field, &strDetail);
    if (szWhy != nullptr) {
      WriteLogF("FUNCTION %s  LINE %d %s %s (%s): not written", "SetSystemConfig", __LINE__,
                field.szKey, szWhy, strDetail.c_str());
      SetStatus(pStatus, ConfigStatus::Malformed);
      return false;
    }
  }
  if (!ConfigFileExists("SetSystemConfig", __LINE__, strPath)) {
    SetStatus(pStatus, ConfigStatus::Missing);
    return false;
  }
  pt::ptree treeOld;
  try {
    // Read first, so keys and sections this gateway does not know survive the rewrite.
    ReadIniFile(strPath, &treeOld);
  } catch (const std::exception& e) {
    LogFileError("SetSystemConfig", __LINE__, strPath, e);
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
  try {
    pt::ptree tree = treeOld;
    tree.put("SYSTEM_ADMINISTRATOR.USER_NAME", FieldText(pConfig->szUserName));
    tree.put("SYSTEM_ADMINISTRATOR.PASSWORD", FieldText(pConfig->szPassword));
    tree.put("LOG_SERVER.IP_ADDRESS", FieldText(pConfig->szLogServerIp));
    tree.put("LOG_SERVER.PORT", std::to_string(pConfig->unLogServerPort));
    tree.put("LOG_SERVER.HTTP_LOG_URL", FieldText(pConfig->szHttpLogUrl));
    tree.put("LOG_SERVER.APP_KEY", FieldText(pConfig->szAppKey));
    tree.put("LOG_SERVER.SECRET_KEY", FieldText(pConfig->szSecretKey));
    tree.put("LOG_SERVER.SIGN", FieldText(pConfig->szSign));
    WriteIniFile(strPath, tree);
  } catch (const std::exception& e) {
    LogWriteError("SetSystemConfig", __LINE__, strPath, e);
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
  if (m_fnSettingsWritten) {
    m_fnSettingsWritten(strPath);
  }
  // What counts is what the next start will read.
  SystemConfigStruct stBack;
  std::memset(&stBack, 0, sizeof(stBack));
  bool bSame = GetSystemConfig(&stBack) && stBack.unLogServerPort == pConfig->unLogServerPort;
  for (const SystemConfigText& field : kSystemConfigTexts) {
    bSame = bSame && TextOf(stBack, field) == TextOf(*pConfig, field);
  }
  if (!bSame) {
    WriteLogF("FUNCTION %s  LINE %d %s does not read back as written: old settings put back",
              "SetSystemConfig", __LINE__, strPath.c_str());
    try {
      WriteIniFile(strPath, treeOld);
    } catch (const std::exception& e) {
      LogWriteError("SetSystemConfig", __LINE__, strPath, e);
    }
    SetStatus(pStatus, ConfigStatus::Malformed);
    return false;
  }
  if (pReadBack != nullptr) {
    *pReadBack = stBack;
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
  const std::string strText = IniText(tree);
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
  bool bWritten = WriteAllAndSync(fd, strText);
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
  // The rename reaches storage with the directory: until then a power cut could bring back the
  // old file after the change was acknowledged. The file is replaced either way, so a failed
  // sync is no failure of the write.
  (void)SyncDirectory(DirectoryOfPath(strTarget));
}

bool PathExists(const std::string& strPath) {
  struct stat st {};
  return ::stat(strPath.c_str(), &st) == 0;
}

bool ConfigFileExists(const char* szFunction, int nLine, const std::string& strPath) {
  if (PathExists(strPath)) {
    return true;
  }
  WriteLogF("FUNCTION %s  LINE %d %s Not Exist!", szFunction, nLine, strPath.c_str());
  return false;
}
