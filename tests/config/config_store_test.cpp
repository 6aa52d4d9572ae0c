#include "config/config_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "config/directory_sync.h"
#include "support/test_util.h"

namespace {

class ConfigStoreTest : public ::testing::Test {
 protected:
  ConfigStoreTest() : m_store(m_dir.Path()) {}
  ~ConfigStoreTest() override {
    for (SamvServerEntry* p : m_list) {
      delete p;
    }
  }
  TempDir m_dir;
  ConfigStore m_store;
  std::vector<SamvServerEntry*> m_list;
};

SystemConfigStruct ZeroConfig() {
  SystemConfigStruct cfg;
  std::memset(&cfg, 0, sizeof(cfg));
  return cfg;
}

}  // namespace

TEST_F(ConfigStoreTest, SamvListFillsEntriesInIndexOrderWithDefaults) {
  m_dir.Write("SamvList.ini",
              "; servers\n[IP_LIST]\nSAMV_COUNT=3\nIP0 = 10.0.0.1 \nPORT0=6000\nVELM_PORT0=6001\n"
              "IP1=10.0.0.2\nIP2=" + std::string(32, '1') + "\nPORT2=7\n");
  EXPECT_TRUE(m_store.BuildSamvResourceList(&m_list));
  ASSERT_EQ(m_list.size(), 3u);
  EXPECT_STREQ(m_list[0]->IP, "10.0.0.1");
  EXPECT_EQ(m_list[0]->PORT, 6000u);
  EXPECT_EQ(m_list[0]->VELM_PORT, 6001u);
  EXPECT_STREQ(m_list[1]->IP, "10.0.0.2");
  EXPECT_EQ(m_list[1]->PORT, 0u);  // absent
  EXPECT_EQ(m_list[1]->VELM_PORT, 0u);
  EXPECT_STREQ(m_list[2]->IP, "");  // 32 characters do not fit
  EXPECT_EQ(m_list[2]->PORT, 7u);
}

TEST_F(ConfigStoreTest, SamvListWithoutCountOrFileAppendsNothing) {
  ConfigStatus status;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m_store.BuildSamvResourceList(&m_list, &status));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, ConfigStatus::Missing);
  EXPECT_NE(out.find("FUNCTION BuildSamvResourceList  LINE "), std::string::npos);
  EXPECT_NE(out.find("SamvList.ini Not Exist!"), std::string::npos);

  m_dir.Write("SamvList.ini", "[IP_LIST]\nIP0=1.2.3.4\n");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m_store.BuildSamvResourceList(&m_list, &status));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(status, ConfigStatus::Ok);
  EXPECT_TRUE(m_list.empty());
}

TEST_F(ConfigStoreTest, MalformedFilesAreReportedAndTold) {
  const char* bad[] = {"[IP_LIST\nSAMV_COUNT=1\n", "[IP_LIST]\nSAMV_COUNT=1\nSAMV_COUNT=2\n",
                       "[IP_LIST]\nSAMV_COUNT\n", "[IP_LIST]\nSAMV_COUNT=1\n[IP_LIST]\nIP0=x\n"};
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    m_dir.Write("SamvList.ini", text);
    ConfigStatus status = ConfigStatus::Ok;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(m_store.BuildSamvResourceList(&m_list, &status));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, ConfigStatus::Malformed);
    EXPECT_NE(out.find("SamvList.ini Read Error: "), std::string::npos) << out;
  }
  EXPECT_TRUE(m_list.empty());
}

TEST_F(ConfigStoreTest, SystemConfigTakesOnlyTextsShorterThanTheirFields) {
  m_dir.Write("SystemConfig.ini",
              "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=admin\nPASSWORD=" + std::string(16, 'p') +
                  "\n[LOG_SERVER]\nIP_ADDRESS=127.0.0.1\nPORT=8080\nHTTP_LOG_URL=/log\n"
                  "APP_KEY=app\nSECRET_KEY=0123456789abcdef\n");
  SystemConfigStruct cfg = ZeroConfig();
  CopyText(cfg.szPassword, "old");
  CopyText(cfg.szSign, "stale");
  ASSERT_TRUE(m_store.GetSystemConfig(&cfg));
  EXPECT_STREQ(cfg.szUserName, "admin");
  EXPECT_STREQ(cfg.szPassword, "old");  // 16 characters do not fit: field kept
  EXPECT_STREQ(cfg.szLogServerIp, "127.0.0.1");
  EXPECT_EQ(cfg.unLogServerPort, 8080u);
  EXPECT_STREQ(cfg.szHttpLogUrl, "/log");
  EXPECT_STREQ(cfg.szSecretKey, "0123456789abcdef");
  EXPECT_STREQ(cfg.szSign, "");  // absent key empties the field

  m_dir.Write("SystemConfig.ini", "[SYSTEM_ADMINISTRATOR]\nPASSWORD=" + std::string(15, 'q') + "\n");
  ASSERT_TRUE(m_store.GetSystemConfig(&cfg));
  EXPECT_EQ(std::string(cfg.szPassword), std::string(15, 'q'));
}

// Whatever is written must come back at the next start: a value the reader would cut, trim or
// skip is refused whole, with the key and the reason in the run log, and the file is untouched.
TEST_F(ConfigStoreTest, SetSystemConfigRefusesWhatWouldNotReadBack) {
  const std::string strOld =
      "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=admin\nPASSWORD=adminpw\n[LOG_SERVER]\nPORT=1\n";
  SystemConfigStruct base = ZeroConfig();
  CopyText(base.szUserName, "admin");
  CopyText(base.szPassword, "adminpw");
  struct Row {
    const char* szName;
    size_t unOffset;
    size_t unWidth;
    std::string strValue;
    const char* szLog;
  } rows[] = {
      {"16-character password", offsetof(SystemConfigStruct, szPassword), 16,
       std::string(16, 'p'), "SYSTEM_ADMINISTRATOR.PASSWORD too long (16 characters, at most 15"},
      {"32-character user name", offsetof(SystemConfigStruct, szUserName), 32,
       std::string(32, 'u'), "SYSTEM_ADMINISTRATOR.USER_NAME too long"},
      {"256-character URL", offsetof(SystemConfigStruct, szHttpLogUrl), 256,
       "/" + std::string(255, 'x'), "LOG_SERVER.HTTP_LOG_URL too long"},
      {"128-character APP_KEY", offsetof(SystemConfigStruct, szAppKey), 128,
       std::string(128, 'k'), "LOG_SERVER.APP_KEY too long"},
      {"128-character SIGN", offsetof(SystemConfigStruct, szSign), 128, std::string(128, 's'),
       "LOG_SERVER.SIGN too long"},
      {"password with an end blank", offsetof(SystemConfigStruct, szPassword), 16, "newpw ",
       "SYSTEM_ADMINISTRATOR.PASSWORD has blanks at its ends"},
      {"user name with a leading tab", offsetof(SystemConfigStruct, szUserName), 32, "\tadmin",
       "SYSTEM_ADMINISTRATOR.USER_NAME has blanks at its ends"},
      {"URL with a line end", offsetof(SystemConfigStruct, szHttpLogUrl), 256,
       "/x\r\nINJECTED=1", "LOG_SERVER.HTTP_LOG_URL holds a line end"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    m_dir.Write("SystemConfig.ini", strOld);
    SystemConfigStruct cfg = base;
    char* pField = reinterpret_cast<char*>(&cfg) + r.unOffset;
    std::memset(pField, 0, r.unWidth);
    std::memcpy(pField, r.strValue.data(), std::min(r.strValue.size(), r.unWidth));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(m_store.SetSystemConfig(&cfg));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(r.szLog), std::string::npos) << out;
    EXPECT_NE(out.find("not written"), std::string::npos) << out;
    EXPECT_EQ(m_dir.Read("SystemConfig.ini"), strOld);
  }
  // The longest values that fit are written and read back whole.
  SystemConfigStruct cfg = base;
  CopyText(cfg.szPassword, std::string(15, 'p').c_str());
  CopyText(cfg.szUserName, std::string(31, 'u').c_str());
  CopyText(cfg.szSign, ("a b" + std::string(124, 's')).c_str());
  SystemConfigStruct back = ZeroConfig();
  ASSERT_TRUE(m_store.SetSystemConfig(&cfg, nullptr, &back));
  EXPECT_EQ(std::string(back.szPassword), std::string(15, 'p'));
  EXPECT_EQ(std::string(back.szUserName), std::string(31, 'u'));
  EXPECT_EQ(std::string(back.szSign), "a b" + std::string(124, 's'));
}

// The write lands, or the caller hears it did not: a file the reader rejects, or one that
// cannot be replaced (its temporary name taken by a directory, which stops root as well).
// The run log tells the two apart: a file that does not parse is a read error, one that cannot
// be replaced a write error.
TEST_F(ConfigStoreTest, SetSystemConfigReportsAFileItCouldNotWrite) {
  SystemConfigStruct cfg = ZeroConfig();
  CopyText(cfg.szUserName, "root");
  CopyText(cfg.szPassword, "secret");
  const std::string strPath = m_dir.File("SystemConfig.ini");
  m_dir.Write("SystemConfig.ini", "[LOG_SERVER\nPORT=1\n");
  ConfigStatus status = ConfigStatus::Ok;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m_store.SetSystemConfig(&cfg, &status));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, ConfigStatus::Malformed);
  EXPECT_EQ(m_dir.Read("SystemConfig.ini"), "[LOG_SERVER\nPORT=1\n");
  EXPECT_NE(out.find("FUNCTION SetSystemConfig  LINE "), std::string::npos) << out;
  EXPECT_NE(out.find(" " + strPath + " Read Error: "), std::string::npos) << out;
  EXPECT_EQ(out.find("Write Error"), std::string::npos) << out;

  m_dir.Write("SystemConfig.ini", "[LOG_SERVER]\nPORT=1\n");
  ASSERT_EQ(::mkdir(m_dir.File("SystemConfig.ini.tmp").c_str(), 0755), 0);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m_store.SetSystemConfig(&cfg, &status));
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, ConfigStatus::Malformed);
  EXPECT_EQ(m_dir.Read("SystemConfig.ini"), "[LOG_SERVER]\nPORT=1\n");
  EXPECT_NE(out.find(" " + strPath + " Write Error: " + strPath + ".tmp: "), std::string::npos)
      << out;
  EXPECT_EQ(out.find("Read Error"), std::string::npos) << out;
  EXPECT_EQ(out.find("does not read back"), std::string::npos) << out;
  ASSERT_EQ(::rmdir(m_dir.File("SystemConfig.ini.tmp").c_str()), 0);
  EXPECT_TRUE(m_store.SetSystemConfig(&cfg));
}

// No write of this gateway leaves a file that reads back otherwise, but an edit from outside or
// storage that does not keep what it was given can. The caller then hears false, gets no record,
// and the file holds the old settings again.
TEST_F(ConfigStoreTest, SetSystemConfigPutsTheOldFileBackWhenItDoesNotReadBackAsWritten) {
  const std::string strOld =
      "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=root\nPASSWORD=old\n[LOG_SERVER]\nPORT=1\n"
      "SIGN=s\n[EXTRA]\nKEEP=1\n";
  struct Row {
    const char* szName;
    const char* szFound;  // what the read-back meets instead of what was written
  } rows[] = {
      {"another password", "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=root\nPASSWORD=other\n"
                           "[LOG_SERVER]\nPORT=2\nSIGN=s\n"},
      {"another port", "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=root\nPASSWORD=new\n"
                       "[LOG_SERVER]\nPORT=3\nSIGN=s\n"},
      {"an empty file", ""},
      {"a file that does not parse", "[SYSTEM_ADMINISTRATOR\nPASSWORD=new\n"},
  };
  SystemConfigStruct cfg = ZeroConfig();
  CopyText(cfg.szUserName, "root");
  CopyText(cfg.szPassword, "new");
  cfg.unLogServerPort = 2;
  CopyText(cfg.szSign, "s");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    m_dir.Write("SystemConfig.ini", strOld);
    std::string strHookPath;
    m_store.SetSettingsWrittenHook([&](const std::string& strPath) {
      strHookPath = strPath;
      m_dir.Write("SystemConfig.ini", r.szFound);
    });
    SystemConfigStruct back = ZeroConfig();
    CopyText(back.szPassword, "untouched");
    ConfigStatus status = ConfigStatus::Ok;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(m_store.SetSystemConfig(&cfg, &status, &back));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(strHookPath, m_dir.File("SystemConfig.ini"));
    EXPECT_EQ(status, ConfigStatus::Malformed);
    EXPECT_STREQ(back.szPassword, "untouched");
    EXPECT_NE(out.find("FUNCTION SetSystemConfig  LINE "), std::string::npos) << out;
    EXPECT_NE(out.find(" " + strHookPath +
                       " does not read back as written: old settings put back"),
              std::string::npos)
        << out;
    EXPECT_EQ(m_dir.Read("SystemConfig.ini"), strOld);
  }
  // Without the interference the same write lands.
  m_store.SetSettingsWrittenHook(nullptr);
  m_dir.Write("SystemConfig.ini", strOld);
  SystemConfigStruct back = ZeroConfig();
  ASSERT_TRUE(m_store.SetSystemConfig(&cfg, nullptr, &back));
  EXPECT_STREQ(back.szPassword, "new");
  EXPECT_EQ(back.unLogServerPort, 2u);
}

TEST_F(ConfigStoreTest, SessionLimitsTakeWholeSecondsAndKeepDefaultsOtherwise) {
  struct Row {
    const char* szName;
    const char* szFile;  // nullptr: no file at all
    uint32_t unIdle;
    uint32_t unAnswer;
    uint32_t unLogin;
    bool bLogged;
  } rows[] = {
      {"no file", nullptr, 60, 10, 5, false},
      {"no keys", "[LOG_SERVER]\nPORT=1\n", 60, 10, 5, false},
      {"both set", "[DEVICE]\nIDLE_TIMEOUT_S=5\n[SAMV]\nANSWER_TIMEOUT_S= 3 \n", 5, 3, 5, false},
      {"0 turns them off", "[DEVICE]\nIDLE_TIMEOUT_S=0\n[SAMV]\nANSWER_TIMEOUT_S=0\n", 0, 0, 5,
       false},
      {"the largest", "[DEVICE]\nIDLE_TIMEOUT_S=86400\n", 86400, 10, 5, false},
      {"too large", "[DEVICE]\nIDLE_TIMEOUT_S=86401\n", 60, 10, 5, true},
      {"negative", "[SAMV]\nANSWER_TIMEOUT_S=-1\n", 60, 10, 5, true},
      {"not a number", "[DEVICE]\nIDLE_TIMEOUT_S=1m\n", 60, 10, 5, true},
      {"empty", "[SAMV]\nANSWER_TIMEOUT_S=\n", 60, 10, 5, true},
      {"log-in limit", "[DEVICE]\nLOGIN_TIMEOUT_S=2\n", 60, 10, 2, false},
      {"log-in limit off", "[DEVICE]\nLOGIN_TIMEOUT_S=0\n", 60, 10, 0, false},
      {"log-in limit too large", "[DEVICE]\nLOGIN_TIMEOUT_S=86401\n", 60, 10, 5, true},
      {"malformed file", "[DEVICE\nIDLE_TIMEOUT_S=5\n", 60, 10, 5, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    (void)std::remove(m_dir.File("SystemConfig.ini").c_str());
    if (r.szFile != nullptr) {
      m_dir.Write("SystemConfig.ini", r.szFile);
    }
    SessionLimits limits;
    limits.unDeviceIdleTimeoutS = 7;  // overwritten: the defaults come first
    testing::internal::CaptureStdout();
    m_store.GetSessionLimits(&limits);
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ(limits.unDeviceIdleTimeoutS, r.unIdle);
    EXPECT_EQ(limits.unSamvAnswerTimeoutS, r.unAnswer);
    EXPECT_EQ(limits.unDeviceLoginTimeoutS, r.unLogin);
    EXPECT_EQ(strOut.find("is not a number of seconds up to 86400") != std::string::npos,
              r.bLogged)
        << strOut;
  }
}

TEST_F(ConfigStoreTest, SetSystemConfigKeepsUnknownKeysAndNeverCreatesTheFile) {
  SystemConfigStruct cfg = ZeroConfig();
  CopyText(cfg.szUserName, "root");
  CopyText(cfg.szPassword, "secret");
  CopyText(cfg.szLogServerIp, "10.1.1.1");
  cfg.unLogServerPort = 9000;
  CopyText(cfg.szHttpLogUrl, "/x");
  ConfigStatus status;
  EXPECT_FALSE(m_store.SetSystemConfig(&cfg, &status));
  EXPECT_EQ(status, ConfigStatus::Missing);
  EXPECT_EQ(m_dir.Read("SystemConfig.ini"), "");

  m_dir.Write("SystemConfig.ini",
              "; comment\n[EXTRA]\nKEEP=me\n[LOG_SERVER]\nPORT=1\nOTHER=2\n");
  ASSERT_TRUE(m_store.SetSystemConfig(&cfg));
  EXPECT_EQ(m_dir.Read("SystemConfig.ini"),
            "[EXTRA]\nKEEP=me\n[LOG_SERVER]\nPORT=9000\nOTHER=2\nIP_ADDRESS=10.1.1.1\n"
            "HTTP_LOG_URL=/x\nAPP_KEY=\nSECRET_KEY=\nSIGN=\n"
            "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=root\nPASSWORD=secret\n");
  SystemConfigStruct back = ZeroConfig();
  ASSERT_TRUE(m_store.GetSystemConfig(&back));
  EXPECT_STREQ(back.szUserName, "root");
  EXPECT_EQ(back.unLogServerPort, 9000u);
}

// The rewrite replaces the file whole: a reader that opened the old file keeps reading all of it
// (a rewrite in place would empty it under the reader, and a power cut would leave it torn), no
// temporary file is left behind, and a file reached through a link is replaced at its target.
TEST_F(ConfigStoreTest, SetSystemConfigReplacesTheFileWholeAndFollowsALink) {
  SystemConfigStruct cfg = ZeroConfig();
  CopyText(cfg.szUserName, "root");
  cfg.unLogServerPort = 9000;
  const std::string strOld = "[LOG_SERVER]\nPORT=1\n";
  for (bool bLinked : {false, true}) {
    SCOPED_TRACE(bLinked ? "linked file" : "plain file");
    TempDir elsewhere;
    std::string strFile = m_dir.File("SystemConfig.ini");
    std::remove(strFile.c_str());
    if (bLinked) {
      elsewhere.Write("real.ini", strOld);
      ASSERT_EQ(::symlink(elsewhere.File("real.ini").c_str(), strFile.c_str()), 0);
    } else {
      m_dir.Write("SystemConfig.ini", strOld);
    }
    std::ifstream oldReader(strFile);
    // The directory where the file was replaced is synced, with the new text already in place:
    // once the change is acknowledged, a power cut cannot bring the old file back.
    const std::string strTarget = bLinked ? elsewhere.File("real.ini") : strFile;
    std::vector<std::string> arrSynced;
    SetDirectorySyncObserver([&](const std::string& strDir) {
      arrSynced.push_back(strDir + (ReadFile(strTarget).find("PORT=9000") != std::string::npos
                                        ? " new"
                                        : " old"));
    });
    const bool bWritten = m_store.SetSystemConfig(&cfg);
    SetDirectorySyncObserver(nullptr);
    ASSERT_TRUE(bWritten);
    char* szReal = ::realpath(strTarget.c_str(), nullptr);
    ASSERT_NE(szReal, nullptr);
    const std::string strRealDir = DirectoryOfPath(szReal);
    std::free(szReal);
    EXPECT_EQ(arrSynced, std::vector<std::string>{strRealDir + " new"});
    std::string strSeen((std::istreambuf_iterator<char>(oldReader)),
                        std::istreambuf_iterator<char>());
    EXPECT_EQ(strSeen, strOld);
    EXPECT_NE(m_dir.Read("SystemConfig.ini").find("PORT=9000"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::lstat(strFile.c_str(), &st), 0);
    EXPECT_EQ(S_ISLNK(st.st_mode), bLinked);
    if (bLinked) {
      EXPECT_NE(elsewhere.Read("real.ini").find("USER_NAME=root"), std::string::npos);
    }
    EXPECT_NE(::access((strFile + ".tmp").c_str(), F_OK), 0);
    EXPECT_NE(::access(elsewhere.File("real.ini.tmp").c_str(), F_OK), 0);
  }
}

TEST(SystemConfigLayoutTest, EncodesLittleEndianAtFixedOffsets) {
  SystemConfigStruct cfg = ZeroConfig();
  CopyText(cfg.szUserName, "admin");
  CopyText(cfg.szPassword, "pw");
  cfg.unLogServerPort = 0x01020304;
  CopyText(cfg.szSign, "S");
  uint8_t out[724];
  std::memset(out, 0xEE, sizeof(out));
  EncodeSystemConfig(cfg, out);
  EXPECT_EQ(0, std::memcmp(out, "admin\0", 6));
  EXPECT_EQ(0, std::memcmp(out + 32, "pw\0", 3));
  const uint8_t port[4] = {4, 3, 2, 1};
  EXPECT_EQ(0, std::memcmp(out + 64, port, 4));
  EXPECT_EQ(out[596], 'S');
  EXPECT_EQ(out[723], 0);
  SystemConfigStruct back;
  DecodeSystemConfig(out, &back);
  EXPECT_EQ(0, std::memcmp(&back, &cfg, sizeof(cfg)));
}
