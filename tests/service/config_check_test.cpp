// The configuration check: each kind of fault found, with its file and line, and told apart as
// what stops a start (error) or what the gateway runs with (warning).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service/config_check.h"
#include "config/run_log.h"
#include "support/test_util.h"

namespace {

constexpr char kSamv[] =
    "[IP_LIST]\nSAMV_COUNT=2\nIP0=127.0.0.1\nPORT0=16000\nVELM_PORT0=16100\n"
    "IP1=127.0.0.1\nPORT1=16001\nVELM_PORT1=16101\n";
constexpr char kSystem[] =
    "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=admin\nPASSWORD=admin123\n"
    "[LOG_SERVER]\nIP_ADDRESS=127.0.0.1\nPORT=16200\nHTTP_LOG_URL=/card/log\nAPP_KEY=k\n"
    "SECRET_KEY=0123456789abcdef\nSIGN=s\nTLS=0\n"
    "[SPOOL]\nDIR=spool\n"
    "[DEVICE]\nALLOW=\n"
    "[SECURITY]\nLOCKOUT_S=60\n"
    "[STATUS]\nLISTEN=127.0.0.1:8480\n";
constexpr char kUsers[] =
    "[USER_LIST]\nUSER_COUNT=1\nPASSWORD_0=pass1001\nACCOUNT_NO_0=1001\nTYPE_0=0\n";

// kText with the line that starts with strFrom replaced by strTo (appended when none does).
std::string With(std::string strText, const std::string& strFrom, const std::string& strTo) {
  const size_t unAt = strText.find(strFrom);
  if (unAt == std::string::npos) {
    return strText + strTo + "\n";
  }
  return strText.replace(unAt, strText.find('\n', unAt) - unAt, strTo);
}

}  // namespace

TEST(ConfigCheckTest, FindsEachFaultWithItsFileAndLine) {
  struct Case {
    const char* szName;
    std::string strSamv;
    std::string strSystem;
    std::string strUsers;
    std::string strExpected;  // the one problem, as printed; "" for none
  };
  const std::vector<Case> kCases = {
      {"the bundled kind of configuration", kSamv, kSystem, kUsers, ""},
      {"an unmatched bracket", With(kSamv, "IP1=", "[IP_LIST"), kSystem, kUsers,
       "SamvList.ini:6: error: Read Error: unmatched '['"},
      {"a count that is not a number", With(kSamv, "SAMV_COUNT=", "SAMV_COUNT=2 ; two"), kSystem,
       kUsers, "SamvList.ini:2: error: IP_LIST.SAMV_COUNT value \"2 ; two\" is not a number"},
      {"a host name for a module", With(kSamv, "IP1=", "IP1=decoder.local"), kSystem, kUsers,
       "SamvList.ini:6: warning: IP_LIST.IP1: \"decoder.local\" is not a dotted quad: module 1 "
       "cannot be reached"},
      {"a port out of range", With(kSamv, "PORT0=", "PORT0=70000"), kSystem, kUsers,
       "SamvList.ini:4: warning: IP_LIST.PORT0: 70000 is not a port from 1 to 65535: module 0 "
       "cannot be reached"},
      {"a device allow list that does not read", kSamv,
       With(kSystem, "ALLOW=", "ALLOW=10.0.0.0/40"), kUsers,
       "SystemConfig.ini:15: error: DEVICE.ALLOW: "},
      {"a lockout out of range", kSamv, With(kSystem, "LOCKOUT_S=", "LOCKOUT_S=0"), kUsers,
       "SystemConfig.ini:17: warning: SECURITY.LOCKOUT_S is not a number of seconds from 1 to "
       "3600: 60 is used"},
      {"a status address that does not read", kSamv,
       With(kSystem, "LISTEN=", "LISTEN=localhost:8480"), kUsers,
       "SystemConfig.ini:19: warning: STATUS.LISTEN: \"localhost\" is not an IPv4 address: the "
       "gateway runs without its status listener"},
      {"TLS with a CA file that is not there", kSamv,
       With(With(kSystem, "TLS=", "TLS=1"), "[SPOOL]", "CA_FILE=/nonexistent/ca.pem\n[SPOOL]"),
       kUsers, "SystemConfig.ini:12: warning: LOG_SERVER.CA_FILE: CA file /nonexistent/ca.pem"},
      {"a spool that cannot be made", kSamv,
       With(kSystem, "DIR=", "DIR=/dev/null/spool"), kUsers,
       "SystemConfig.ini:13: warning: SPOOL.DIR: /dev/null/spool does not exist and cannot be "
       "made in /dev/null"},
      {"a password too long", kSamv, kSystem,
       With(kUsers, "PASSWORD_0=", "PASSWORD_0=" + std::string(20, 'p')),
       "UserList.ini:3: warning: PASSWORD_0 of account 1001 is longer than 16 characters"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    TempDir dir;
    dir.Write("SamvList.ini", c.strSamv);
    dir.Write("SystemConfig.ini", c.strSystem);
    dir.Write("UserList.ini", c.strUsers);
    const std::vector<ConfigProblem> arrProblems = CheckConfiguration(dir.Path());
    std::string strAll;
    for (const ConfigProblem& problem : arrProblems) {
      strAll += ConfigProblemText(problem) + "\n";
    }
    if (c.strExpected.empty()) {
      EXPECT_TRUE(arrProblems.empty()) << strAll;
      continue;
    }
    ASSERT_EQ(arrProblems.size(), 1u) << strAll;
    EXPECT_EQ(ConfigProblemText(arrProblems[0]).compare(0, c.strExpected.size(), c.strExpected), 0)
        << strAll;
    EXPECT_EQ(strAll.find(dir.Path()), std::string::npos) << "the path is said once, by the caller";
  }
}

TEST(ConfigCheckTest, AMissingFileIsAWarningAndTheRunLogIsBackAfterwards) {
  TempDir dir;
  dir.Write("SystemConfig.ini", kSystem);
  dir.Write("UserList.ini", kUsers);
  const std::vector<ConfigProblem> arrProblems = CheckConfiguration(dir.Path());
  ASSERT_EQ(arrProblems.size(), 1u);
  EXPECT_EQ(ConfigProblemText(arrProblems[0]), "SamvList.ini: warning: Not Exist!");
  testing::internal::CaptureStdout();
  WriteLog("after the check");
  EXPECT_NE(testing::internal::GetCapturedStdout().find("after the check"), std::string::npos);
}
