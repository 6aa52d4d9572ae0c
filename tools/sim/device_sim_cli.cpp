// cardgate-sim device: one terminal on the command line, one line per event.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/byte_io.h"
#include "device_sim.h"
#include "sim.h"

namespace {

// Exit statuses.
constexpr int kExitOk = 0;       // every expected reply arrived with a good key
constexpr int kExitFailed = 1;   // no connection, no reply in time, a bad key, an odd reply
constexpr int kExitUsage = 2;    // bad arguments
constexpr int kExitRefused = 3;  // the gateway refused the log-in or the administrator

void Usage(FILE* out) {
  std::fprintf(
      out,
      "usage: cardgate-sim device [options] <action> [KEY=VALUE...]\n"
      "A card reader terminal: connects to the gateway and prints one line per event.\n"
      "\n"
      "actions:\n"
      "  read-card              log in and read a card; prints the answer and the card text\n"
      "  admin-check            ask whether the administrator name and password are right\n"
      "  config-read            print the gateway's settings\n"
      "  config-write KEY=VALUE...  read the settings, change the given ones, write them back;\n"
      "                         keys: ip, port, url, appkey, secretkey, sign, new-password\n"
      "  users-read             list the user accounts (at most 36, from --start)\n"
      "  user-write             add or change an account (--user-account, --user-password,\n"
      "                         --user-type)\n"
      "\n"
      "options:\n"
      "  --host H               gateway address (default 127.0.0.1)\n"
      "  --port P               gateway port (default 31213)\n"
      "  --timeout S            seconds to wait for each reply (default 5)\n"
      "  --account N            account number of the log-in (read-card, required)\n"
      "  --password PW          password of the log-in, at most 16 characters\n"
      "  --device-id ID         device identifier, at most 63 characters\n"
      "  --trans-data JSON      transaction data, at most 1023 characters\n"
      "  --user-info TEXT       user block, at most 64 characters\n"
      "  --command N            card command of the log-in group: 1, 9, 14, 59, 71 or 78\n"
      "                         (default 1)\n"
      "  --repeat N             read N cards, 0 for no end (default 1)\n"
      "  --interval S           seconds between card reads (default 3)\n"
      "  --reconnect            a new connection for every card read\n"
      "  --admin-user NAME      administrator name (administration actions, required)\n"
      "  --admin-password PW    administrator password, at most 15 characters\n"
      "  --start N              first account position of users-read (default 0)\n"
      "  --user-account N       account of user-write (required)\n"
      "  --user-password PW     its password, at most 16 characters\n"
      "  --user-type T          its type: 0 may log in, others are listed only (default 0)\n"
      "\n"
      "exit status: 0 every expected reply arrived with a good key; 1 no connection, no reply\n"
      "in time, a bad reply key or an unexpected reply; 2 bad arguments; 3 the gateway refused\n"
      "the log-in or the administrator.\n");
}

struct Options {
  std::string strHost = "127.0.0.1";
  uint16_t unPort = 31213;
  double dTimeoutSeconds = 5;
  bool bHaveAccount = false;
  LoginRequest login;
  uint32_t unRepeat = 1;
  double dIntervalSeconds = 3;
  bool bReconnect = false;
  bool bHaveAdmin = false;
  std::string strAdminUser;
  std::string strAdminPassword;
  uint32_t unStart = 0;
  bool bHaveUserAccount = false;
  UserStruct user{};
  std::string strAction;
  std::vector<std::string> arrSettings;  // KEY=VALUE of config-write
};

// Thrown for a bad argument; the text says which.
struct UsageError : std::runtime_error {
  explicit UsageError(const std::string& strText) : std::runtime_error(strText) {}
};

uint32_t ParseUnsigned(const std::string& strName, const std::string& strValue, uint32_t unMax) {
  if (strValue.empty() || strValue.find_first_not_of("0123456789") != std::string::npos) {
    throw UsageError{strName + " needs a decimal number, not '" + strValue + "'"};
  }
  errno = 0;
  unsigned long long ullValue = std::strtoull(strValue.c_str(), nullptr, 10);
  if (errno != 0 || ullValue > unMax) {
    throw UsageError{strName + " " + strValue + " is out of range (at most " +
                     std::to_string(unMax) + ")"};
  }
  return static_cast<uint32_t>(ullValue);
}

double ParseSeconds(const std::string& strName, const std::string& strValue, bool bZeroOk) {
  char* pEnd = nullptr;
  double dValue = std::strtod(strValue.c_str(), &pEnd);
  if (strValue.empty() || *pEnd != '\0' || !std::isfinite(dValue) || dValue < 0 ||
      (!bZeroOk && dValue == 0) || dValue > 86400) {
    throw UsageError{strName + " needs seconds between 0 and 86400, not '" + strValue + "'"};
  }
  return dValue;
}

void CheckLength(const std::string& strName, const std::string& strValue, size_t unMax) {
  if (strValue.size() > unMax) {
    throw UsageError{strName + " is longer than " + std::to_string(unMax) + " characters"};
  }
}

Options ParseOptions(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string strArg = argv[i];
    if (strArg.compare(0, 2, "--") != 0) {
      if (opt.strAction.empty()) {
        opt.strAction = strArg;
      } else {
        opt.arrSettings.push_back(strArg);
      }
      continue;
    }
    if (strArg == "--reconnect") {
      opt.bReconnect = true;
      continue;
    }
    if (i + 1 >= argc) {
      throw UsageError{strArg + " needs a value"};
    }
    std::string strValue = argv[++i];
    if (strArg == "--host") {
      if (strValue.empty()) {
        throw UsageError{"--host needs an address"};
      }
      opt.strHost = strValue;
    } else if (strArg == "--port") {
      opt.unPort = static_cast<uint16_t>(ParseUnsigned(strArg, strValue, 65535));
      if (opt.unPort == 0) {
        throw UsageError{"--port 0 is not a port"};
      }
    } else if (strArg == "--timeout") {
      opt.dTimeoutSeconds = ParseSeconds(strArg, strValue, false);
    } else if (strArg == "--account") {
      opt.login.unAccountNo = ParseUnsigned(strArg, strValue, UINT32_MAX);
      opt.bHaveAccount = true;
    } else if (strArg == "--password") {
      CheckLength(strArg, strValue, 16);
      opt.login.strPassword = strValue;
    } else if (strArg == "--device-id") {
      CheckLength(strArg, strValue, 63);
      opt.login.strDeviceId = strValue;
    } else if (strArg == "--trans-data") {
      CheckLength(strArg, strValue, 1023);
      opt.login.strTransData = strValue;
    } else if (strArg == "--user-info") {
      CheckLength(strArg, strValue, 64);
      opt.login.strUserInfo = strValue;
    } else if (strArg == "--command") {
      uint32_t unCommand = ParseUnsigned(strArg, strValue, 255);
      if (!IsLoginCommand(static_cast<uint8_t>(unCommand))) {
        throw UsageError{"--command " + strValue + " is not a card command of the log-in group"};
      }
      opt.login.byCommand = static_cast<uint8_t>(unCommand);
    } else if (strArg == "--repeat") {
      opt.unRepeat = ParseUnsigned(strArg, strValue, UINT32_MAX);
    } else if (strArg == "--interval") {
      opt.dIntervalSeconds = ParseSeconds(strArg, strValue, true);
    } else if (strArg == "--admin-user") {
      CheckLength(strArg, strValue, 31);
      opt.strAdminUser = strValue;
      opt.bHaveAdmin = true;
    } else if (strArg == "--admin-password") {
      CheckLength(strArg, strValue, 15);
      opt.strAdminPassword = strValue;
    } else if (strArg == "--start") {
      opt.unStart = ParseUnsigned(strArg, strValue, UINT32_MAX);
    } else if (strArg == "--user-account") {
      opt.user.unAccountNo = ParseUnsigned(strArg, strValue, UINT32_MAX);
      opt.bHaveUserAccount = true;
    } else if (strArg == "--user-password") {
      CheckLength(strArg, strValue, 16);
      // A 16-character password fills the field without a NUL.
      std::memset(opt.user.szPassword, 0, sizeof(opt.user.szPassword));
      std::memcpy(opt.user.szPassword, strValue.data(), strValue.size());
    } else if (strArg == "--user-type") {
      opt.user.unType = ParseUnsigned(strArg, strValue, UINT32_MAX);
    } else {
      throw UsageError{"unknown option " + strArg};
    }
  }

  static const char* const kActions[] = {"read-card",    "admin-check", "config-read",
                                         "config-write", "users-read",  "user-write"};
  bool bKnown = false;
  for (const char* szAction : kActions) {
    bKnown = bKnown || opt.strAction == szAction;
  }
  if (opt.strAction.empty()) {
    throw UsageError{"no action given"};
  }
  if (!bKnown) {
    throw UsageError{"unknown action " + opt.strAction};
  }
  if (!opt.arrSettings.empty() && opt.strAction != "config-write") {
    throw UsageError{"unexpected argument " + opt.arrSettings.front()};
  }
  if (opt.strAction == "read-card") {
    if (!opt.bHaveAccount) {
      throw UsageError{"read-card needs --account"};
    }
  } else if (!opt.bHaveAdmin) {
    throw UsageError{opt.strAction + " needs --admin-user"};
  }
  if (opt.strAction == "config-write" && opt.arrSettings.empty()) {
    throw UsageError{"config-write needs at least one KEY=VALUE"};
  }
  if (opt.strAction == "user-write" && !opt.bHaveUserAccount) {
    throw UsageError{"user-write needs --user-account"};
  }
  return opt;
}

// Applies KEY=VALUE settings to the record; throws UsageError for unknown keys or values that
// do not fit.
void ApplySettings(const std::vector<std::string>& arrSettings, SystemConfigStruct* pRecord) {
  for (const std::string& strSetting : arrSettings) {
    size_t unEq = strSetting.find('=');
    if (unEq == std::string::npos || unEq == 0) {
      throw UsageError{"'" + strSetting + "' is not KEY=VALUE"};
    }
    std::string strKey = strSetting.substr(0, unEq);
    std::string strValue = strSetting.substr(unEq + 1);
    struct {
      const char* szKey;
      char* pField;
      size_t unSize;
    } const texts[] = {
        {"ip", pRecord->szLogServerIp, sizeof(pRecord->szLogServerIp)},
        {"url", pRecord->szHttpLogUrl, sizeof(pRecord->szHttpLogUrl)},
        {"appkey", pRecord->szAppKey, sizeof(pRecord->szAppKey)},
        {"secretkey", pRecord->szSecretKey, sizeof(pRecord->szSecretKey)},
        {"sign", pRecord->szSign, sizeof(pRecord->szSign)},
        {"new-password", pRecord->szNewPassword, sizeof(pRecord->szNewPassword)},
    };
    bool bDone = false;
    if (strKey == "port") {
      pRecord->unLogServerPort = ParseUnsigned(strKey, strValue, 65535);
      bDone = true;
    }
    for (const auto& t : texts) {
      if (strKey == t.szKey) {
        CheckLength(strKey, strValue, t.unSize - 1);
        CopyText(t.pField, t.unSize, strValue.c_str());
        bDone = true;
      }
    }
    if (!bDone) {
      throw UsageError{"unknown setting " + strKey};
    }
  }
}

std::string FieldText(const char* pField, size_t unSize) {
  return std::string(pField, strnlen(pField, unSize));
}

template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return FieldText(field, N);
}

// Secrets are shown by their length only.
std::string SecretText(const std::string& strSecret) {
  return strSecret.empty() ? "not set" : std::to_string(strSecret.size()) + " characters";
}

const char* DescribeReplyCode(uint8_t byCode) {
  switch (byCode) {
    case kReplyLoginRefused:
      return "log-in refused";
    case kReplyBusy:
      return "gateway busy, no free decode server";
    case kReplySystemConfig:
      return "settings";
    case kReplyUserList:
      return "user accounts";
    case kReplyAdminCheck:
      return "administrator check";
    default:
      return "unknown";
  }
}

// Prints a reply line; returns false when its key is wrong.
bool PrintReply(const DeviceReply& reply) {
  std::string strDetail;
  if (reply.byCode == kReplyLoginRefused) {
    strDetail = ": " + LoginErrorText(reply);
  } else if (reply.byCode == kReplyAdminCheck && reply.arrPayload.size() == 1) {
    strDetail = reply.arrPayload[0] == 1 ? ": administrator accepted" : ": administrator refused";
  }
  std::printf("reply code %u (%s%s), %zu payload bytes, key check %s\n", reply.byCode,
              DescribeReplyCode(reply.byCode), strDetail.c_str(), reply.arrPayload.size(),
              reply.bKeyOk ? "OK" : "BAD");
  return reply.bKeyOk;
}

void PrintCardText(const std::vector<uint8_t>& arrAnswer) {
  CardTextFields f;
  if (!DecodeCardText(UnmaskAnswer(arrAnswer), &f)) {
    return;
  }
  const char* szGender = f.strGender == "1" ? " (male)" : f.strGender == "2" ? " (female)" : "";
  std::printf("  name: %s\n", f.strName.c_str());
  std::printf("  gender: %s%s\n", f.strGender.c_str(), szGender);
  std::printf("  nation code: %s\n", f.strNation.c_str());
  std::printf("  birth date: %s\n", f.strBirthDate.c_str());
  std::printf("  address: %s\n", f.strCertAddr.c_str());
  std::printf("  card number: %s\n", f.strCertNo.c_str());
  std::printf("  issued by: %s\n", f.strCertOrg.c_str());
  std::printf("  valid from: %s\n", f.strEffDate.c_str());
  std::printf("  valid until: %s\n", f.strExpDate.c_str());
  std::printf("  pass number: %s\n", f.strPassNum.c_str());
  std::printf("  issue count: %s\n", f.strSignCount.c_str());
  std::printf("  card type: %s\n", f.strCertType.c_str());
}

// Maps a read outcome that is not Ok to a line and the exit status.
int ReportReadFailure(ReadStatus status) {
  std::printf("no reply: %s\n", DescribeReadStatus(status));
  return kExitFailed;
}

CDeviceSimClient::Duration TimeoutOf(const Options& opt) {
  return CDeviceSimClient::Duration(
      std::max<int64_t>(1, static_cast<int64_t>(opt.dTimeoutSeconds * 1000)));
}

bool ConnectClient(CDeviceSimClient* pClient, const Options& opt) {
  std::string strError;
  if (!pClient->Connect(opt.strHost, opt.unPort, TimeoutOf(opt), &strError)) {
    std::printf("cannot connect to %s:%u: %s\n", opt.strHost.c_str(), opt.unPort, strError.c_str());
    return false;
  }
  std::printf("connected to %s:%u\n", opt.strHost.c_str(), opt.unPort);
  return true;
}

int ReadOneCard(CDeviceSimClient* pClient, const Options& opt, CDeviceSimClient::Duration timeout) {
  if (!pClient->IsOpen() && !ConnectClient(pClient, opt)) {
    return kExitFailed;
  }
  std::printf("request: card command %u with account %u\n", opt.login.byCommand,
              opt.login.unAccountNo);
  CardReadResult result;
  ReadStatus status = pClient->ReadCard(opt.login, &result, timeout);
  if (!result.arrAnswer.empty()) {
    CardAnswerKind kind = ClassifyAnswer(result.arrAnswer.size());
    std::printf("answer %zu bytes: %s\n", result.arrAnswer.size(), DescribeAnswerKind(kind));
    PrintCardText(result.arrAnswer);
    if (!result.arrFingerRest.empty()) {
      std::printf("answer %zu bytes: %s\n", result.arrFingerRest.size(),
                  DescribeAnswerKind(ClassifyAnswer(result.arrFingerRest.size())));
    }
    if (status != ReadStatus::Ok) {
      return ReportReadFailure(status);
    }
    bool bCard = kind == CardAnswerKind::Text || kind == CardAnswerKind::TextPhoto ||
                 (kind == CardAnswerKind::TextPhotoFinger &&
                  result.arrFingerRest.size() == kCardFingerRestSize);
    return bCard ? kExitOk : kExitFailed;
  }
  if (status != ReadStatus::Ok) {
    return ReportReadFailure(status);
  }
  if (!PrintReply(result.reply)) {
    return kExitFailed;
  }
  return result.reply.byCode == kReplyLoginRefused ? kExitRefused : kExitFailed;
}

int RunReadCard(const Options& opt, CDeviceSimClient::Duration timeout) {
  CDeviceSimClient client;
  int nWorst = kExitOk;
  auto interval = std::chrono::duration<double>(opt.dIntervalSeconds);
  for (uint32_t n = 0; opt.unRepeat == 0 || n < opt.unRepeat; ++n) {
    if (n > 0) {
      std::fflush(stdout);
      std::this_thread::sleep_for(interval);  // the pace of a person presenting cards
    }
    int nResult = ReadOneCard(&client, opt, timeout);
    // A failure outranks a refusal in the exit status.
    if (nResult == kExitFailed || (nResult == kExitRefused && nWorst == kExitOk)) {
      nWorst = nResult;
    }
    if (opt.bReconnect || nResult == kExitFailed) {
      client.Close();  // a failed read leaves the stream in an unknown state
    }
  }
  return nWorst;
}

// Checks an administration reply: the key, and a code-83 refusal.
int CheckAdminReply(ReadStatus status, const DeviceReply& reply, uint8_t byExpected) {
  if (status != ReadStatus::Ok) {
    return ReportReadFailure(status);
  }
  if (!PrintReply(reply)) {
    return kExitFailed;
  }
  if (reply.byCode == kReplyAdminCheck && byExpected != kReplyAdminCheck) {
    return kExitRefused;
  }
  return reply.byCode == byExpected ? kExitOk : kExitFailed;
}

void PrintSettings(const SystemConfigStruct& cfg) {
  std::printf("  administrator: %s\n", FieldText(cfg.szUserName).c_str());
  std::printf("  administrator password: %s\n", SecretText(FieldText(cfg.szPassword)).c_str());
  std::printf("  log server: %s:%u\n", FieldText(cfg.szLogServerIp).c_str(), cfg.unLogServerPort);
  std::printf("  upload path: %s\n", FieldText(cfg.szHttpLogUrl).c_str());
  std::printf("  appKey: %s\n", FieldText(cfg.szAppKey).c_str());
  std::printf("  secret key: %s\n", SecretText(FieldText(cfg.szSecretKey)).c_str());
  std::printf("  sign: %s\n", FieldText(cfg.szSign).c_str());
}

int RunAdmin(const Options& opt, CDeviceSimClient::Duration timeout) {
  CDeviceSimClient client;
  if (!ConnectClient(&client, opt)) {
    return kExitFailed;
  }
  SystemConfigStruct admin = MakeAdminRecord(opt.strAdminUser, opt.strAdminPassword);
  DeviceReply reply;
  if (opt.strAction == "admin-check") {
    std::printf("request: administrator check for %s\n", opt.strAdminUser.c_str());
    ReadStatus status = client.CheckAdmin(admin, &reply, timeout);
    int nResult = CheckAdminReply(status, reply, kReplyAdminCheck);
    if (nResult == kExitOk && !ReplyAdminMatches(reply)) {
      nResult = kExitRefused;
    }
    return nResult;
  }
  if (opt.strAction == "users-read") {
    std::printf("request: user list from position %u\n", opt.unStart);
    int nResult = CheckAdminReply(client.ReadUsers(admin, opt.unStart, &reply, timeout), reply,
                                  kReplyUserList);
    std::vector<UserStruct> arrUsers;
    if (nResult != kExitOk || !DecodeUserListReply(reply, &arrUsers)) {
      return nResult != kExitOk ? nResult : kExitFailed;
    }
    std::printf("%zu accounts from position %u\n", arrUsers.size(), opt.unStart);
    for (const UserStruct& u : arrUsers) {
      std::printf("  account %u, type %u (%s), index %u, password %s\n", u.unAccountNo, u.unType,
                  u.unType == 0 ? "may log in" : "listed only", u.unIndex,
                  SecretText(FieldText(u.szPassword)).c_str());
    }
    if (arrUsers.size() == kUserListReplyMax) {
      std::printf("more may follow: --start %zu\n", opt.unStart + arrUsers.size());
    }
    return kExitOk;
  }
  if (opt.strAction == "user-write") {
    std::printf("request: write account %u, type %u\n", opt.user.unAccountNo, opt.user.unType);
    return CheckAdminReply(client.WriteUser(admin, opt.user, &reply, timeout), reply,
                           kReplyUserList);
  }
  // config-read and config-write both start from the settings as they stand.
  std::printf("request: settings read\n");
  int nResult =
      CheckAdminReply(client.ReadSystemConfig(admin, &reply, timeout), reply, kReplySystemConfig);
  SystemConfigStruct cfg;
  if (nResult != kExitOk || !DecodeConfigReply(reply, &cfg)) {
    return nResult != kExitOk ? nResult : kExitFailed;
  }
  PrintSettings(cfg);
  if (opt.strAction == "config-read") {
    return kExitOk;
  }
  // The gateway copies the new-password field over the password whenever the two differ, so it
  // must repeat the password unless a new one is asked for.
  SystemConfigStruct record = cfg;
  std::memcpy(record.szUserName, admin.szUserName, sizeof(record.szUserName));
  std::memcpy(record.szPassword, admin.szPassword, sizeof(record.szPassword));
  std::memcpy(record.szNewPassword, admin.szPassword, sizeof(record.szNewPassword));
  ApplySettings(opt.arrSettings, &record);
  std::printf("request: settings write\n");
  nResult =
      CheckAdminReply(client.WriteSystemConfig(record, &reply, timeout), reply, kReplySystemConfig);
  if (nResult == kExitOk) {
    // As the gateway stores them: a differing new password takes the password's place.
    std::memcpy(record.szPassword, record.szNewPassword, sizeof(record.szPassword));
    std::printf("settings written:\n");
    PrintSettings(record);
  }
  return nResult;
}

}  // namespace

int RunDeviceSim(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage(stdout);
      return kExitOk;
    }
  }
  Options opt;
  try {
    opt = ParseOptions(argc, argv);
    if (opt.strAction == "config-write") {
      SystemConfigStruct probe{};
      ApplySettings(opt.arrSettings, &probe);  // reject bad settings before connecting
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "cardgate-sim device: %s\n", e.what());
    std::fprintf(stderr, "'cardgate-sim device --help' describes the options.\n");
    return kExitUsage;
  }
  auto timeout = TimeoutOf(opt);
  int nResult;
  try {
    nResult = opt.strAction == "read-card" ? RunReadCard(opt, timeout) : RunAdmin(opt, timeout);
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
    nResult = kExitFailed;
  }
  std::fflush(stdout);
  return nResult;
}
