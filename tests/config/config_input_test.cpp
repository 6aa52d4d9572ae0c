// Hand-edited INI files that once stopped or broke the gateway: counts far beyond what the file
// holds, and values with a NUL byte in them.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "config/config_store.h"
#include "support/test_util.h"

namespace {

class ConfigInputTest : public ::testing::Test {
 protected:
  ConfigInputTest() : m_store(m_dir.Path()) {}
  ~ConfigInputTest() override {
    Clear();
  }
  void Clear() {
    for (SamvServerEntry* p : m_servers) {
      delete p;
    }
    m_servers.clear();
    for (UserStruct* p : m_users) {
      delete p;
    }
    m_users.clear();
    m_table.clear();
  }

  TempDir m_dir;
  ConfigStore m_store;
  std::vector<SamvServerEntry*> m_servers;
  std::vector<UserStruct*> m_users;
  UserPasswordMap m_table;
};

std::string PasswordOf(const UserStruct& user) {
  return std::string(user.szPassword, FieldLength(user.szPassword));
}

}  // namespace

TEST_F(ConfigInputTest, SamvCountBeyondTheLimitIsRefusedWithoutAllocating) {
  struct Row {
    const char* count;
    bool bTaken;
  } rows[] = {{"1024", true}, {"1025", false}, {"4000000000", false}, {"4294967295", false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.count);
    Clear();
    m_dir.Write("SamvList.ini", std::string("[IP_LIST]\nSAMV_COUNT=") + r.count +
                                    "\nIP0=127.0.0.1\nPORT0=16000\nVELM_PORT0=16100\n");
    ConfigStatus status = ConfigStatus::Missing;
    testing::internal::CaptureStdout();
    bool bRead = m_store.BuildSamvResourceList(&m_servers, &status);
    std::string out = testing::internal::GetCapturedStdout();
    if (r.bTaken) {
      EXPECT_TRUE(bRead);
      EXPECT_EQ(status, ConfigStatus::Ok);
      ASSERT_EQ(m_servers.size(), 1024u);
      EXPECT_STREQ(m_servers[0]->IP, "127.0.0.1");
      EXPECT_STREQ(m_servers[1023]->IP, "");
    } else {
      // Unusable as it stands: the gateway stops at start-up instead of running out of memory.
      EXPECT_FALSE(bRead);
      EXPECT_EQ(status, ConfigStatus::Malformed);
      EXPECT_TRUE(m_servers.empty());
      EXPECT_NE(out.find("FUNCTION BuildSamvResourceList  LINE "), std::string::npos) << out;
      EXPECT_NE(out.find(std::string("SAMV_COUNT ") + r.count + " is more than 1024 servers!"),
                std::string::npos)
          << out;
    }
  }
}

TEST_F(ConfigInputTest, UserCountOfBillionsReadsOnlyTheSlotsPresent) {
  // Before, the slot loop ran USER_COUNT times whatever the file held: start-up never ended.
  m_dir.Write("UserList.ini",
              "[USER_LIST]\nUSER_COUNT=4000000000\n"
              "PASSWORD_3999999999=last\nACCOUNT_NO_3999999999=9\n"
              "PASSWORD_0=first\nACCOUNT_NO_0=1\n"
              "PASSWORD_7=seven\nACCOUNT_NO_7=7\nTYPE_7=1\n"
              // Not keys the slot loop looks up: beyond the count, leading zero, sign, no digits.
              "PASSWORD_4000000000=x\nPASSWORD_07=x\nPASSWORD_+8=x\nPASSWORD_=x\nPASSWORDS_9=x\n");
  ConfigStatus status = ConfigStatus::Missing;
  ASSERT_TRUE(m_store.BuildUserList(&m_users, &m_table, &status));
  EXPECT_EQ(status, ConfigStatus::Ok);
  ASSERT_EQ(m_users.size(), 3u);
  struct Expected {
    uint32_t unIndex;
    uint32_t unAccountNo;
    const char* password;
    uint32_t unType;
  } expected[] = {{0, 1, "first", 0}, {7, 7, "seven", 1}, {3999999999u, 9, "last", 0}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(m_users[i]->unIndex, expected[i].unIndex);
    EXPECT_EQ(m_users[i]->unAccountNo, expected[i].unAccountNo);
    EXPECT_EQ(PasswordOf(*m_users[i]), expected[i].password);
    EXPECT_EQ(m_users[i]->unType, expected[i].unType);
  }
  EXPECT_EQ(m_table.size(), 2u);
  EXPECT_EQ(m_table[9], "last");
}

TEST_F(ConfigInputTest, PasswordEndsAtANulByteOrACr) {
  // Before, " \0pw" was an account whose record showed no password while the table held three
  // bytes nobody could send; the next write-back then erased the slot from the file.
  std::string text = "[USER_LIST]\nUSER_COUNT=3\n";
  text += std::string("PASSWORD_0= \0pw0\n", 17);
  text += "ACCOUNT_NO_0=10\n";
  text += std::string("PASSWORD_1=pw1\0rest\n", 20);
  text += "ACCOUNT_NO_1=11\n";
  text += "PASSWORD_2=pw2 \rx\nACCOUNT_NO_2=12\n";  // written back, it would end at the CR
  m_dir.Write("UserList.ini", text);
  ASSERT_TRUE(m_store.BuildUserList(&m_users, &m_table));
  ASSERT_EQ(m_users.size(), 2u);
  EXPECT_EQ(m_users[0]->unAccountNo, 11u);
  EXPECT_EQ(PasswordOf(*m_users[0]), "pw1");
  EXPECT_EQ(m_users[1]->unAccountNo, 12u);
  EXPECT_EQ(PasswordOf(*m_users[1]), "pw2");
  EXPECT_EQ(m_table.count(10), 0u);
  EXPECT_EQ(m_table[11], "pw1");
  EXPECT_EQ(m_table[12], "pw2");
}

TEST_F(ConfigInputTest, SettingsWithANulOrACrReadBackAsTheyAreWritten) {
  // Before, "adm \0x" gave the name "adm " with its blank, which the next rewrite of the file
  // (any settings change from a device) turned into "adm": the administrator was locked out.
  std::string text = "[SYSTEM_ADMINISTRATOR]\n";
  text += std::string("USER_NAME=adm \0x\n", 17);
  text += "PASSWORD=pw \rtail\n[LOG_SERVER]\nIP_ADDRESS=127.0.0.1\nPORT=9\nSIGN=s\n";
  m_dir.Write("SystemConfig.ini", text);
  SystemConfigStruct stRead;
  std::memset(&stRead, 0, sizeof(stRead));
  ASSERT_TRUE(m_store.GetSystemConfig(&stRead));
  EXPECT_STREQ(stRead.szUserName, "adm");
  EXPECT_STREQ(stRead.szPassword, "pw");
  ASSERT_TRUE(m_store.SetSystemConfig(&stRead));
  SystemConfigStruct stAgain;
  std::memset(&stAgain, 0, sizeof(stAgain));
  ASSERT_TRUE(m_store.GetSystemConfig(&stAgain));
  EXPECT_STREQ(stAgain.szUserName, "adm");
  EXPECT_STREQ(stAgain.szPassword, "pw");
  EXPECT_STREQ(stAgain.szSign, "s");
}

// A number that does not convert makes its file unusable (the gateway then does not start),
// named with its file, key and value, instead of reading as 0: a count of 0 started the gateway
// without accounts, and the next account change wrote them out of the file.
TEST_F(ConfigInputTest, NumberThatDoesNotConvertMakesTheFileUnusable) {
  const std::string strUsers = "[USER_LIST]\nUSER_COUNT=2\nPASSWORD_0=a\nACCOUNT_NO_0=1\n"
                               "PASSWORD_1=b\nACCOUNT_NO_1=2\nTYPE_1=0\n";
  const std::string strServers = "[IP_LIST]\nSAMV_COUNT=1\nIP0=127.0.0.1\nPORT0=6000\n"
                                 "VELM_PORT0=6001\n";
  const std::string strSettings = "[LOG_SERVER]\nIP_ADDRESS=127.0.0.1\nPORT=8080\n";
  struct Row {
    const char* szFile;
    std::string strText;
    const char* szKey;
  } rows[] = {
      {"UserList.ini", "[USER_LIST]\nUSER_COUNT=2 ; two slots\nPASSWORD_0=a\nACCOUNT_NO_0=1\n",
       "USER_LIST.USER_COUNT"},
      {"UserList.ini", strUsers + "ACCOUNT_NO_5=x\n", nullptr},  // beyond the count: not read
      {"UserList.ini", "[USER_LIST]\nUSER_COUNT=1\nPASSWORD_0=a\nACCOUNT_NO_0=-1\n",
       "USER_LIST.ACCOUNT_NO_0"},
      {"UserList.ini", strUsers.substr(0, strUsers.size() - 9) + "TYPE_1=1x\n",
       "USER_LIST.TYPE_1"},
      {"SamvList.ini", "[IP_LIST]\nSAMV_COUNT=two\n", "IP_LIST.SAMV_COUNT"},
      {"SamvList.ini", strServers + "IP1=x\n", nullptr},
      {"SamvList.ini", "[IP_LIST]\nSAMV_COUNT=1\nPORT0=6000 # main\n", "IP_LIST.PORT0"},
      {"SamvList.ini", "[IP_LIST]\nSAMV_COUNT=1\nVELM_PORT0=0x10\n", "IP_LIST.VELM_PORT0"},
      {"SystemConfig.ini", strSettings, nullptr},
      {"SystemConfig.ini", "[LOG_SERVER]\nPORT=99999999999\n", "LOG_SERVER.PORT"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.strText);
    Clear();
    m_dir.Write(r.szFile, r.strText);
    ConfigStatus status = ConfigStatus::Missing;
    SystemConfigStruct stConfig;
    std::memset(&stConfig, 0, sizeof(stConfig));
    testing::internal::CaptureStdout();
    if (std::string(r.szFile) == "UserList.ini") {
      m_store.BuildUserList(&m_users, &m_table, &status);
    } else if (std::string(r.szFile) == "SamvList.ini") {
      m_store.BuildSamvResourceList(&m_servers, &status);
    } else {
      m_store.GetSystemConfig(&stConfig, &status);
    }
    std::string out = testing::internal::GetCapturedStdout();
    if (r.szKey == nullptr) {
      EXPECT_EQ(status, ConfigStatus::Ok) << out;
      EXPECT_EQ(m_users.size() + m_servers.size() + (stConfig.unLogServerPort == 8080 ? 1 : 0),
                std::string(r.szFile) == "UserList.ini" ? 2u : 1u);
      continue;
    }
    EXPECT_EQ(status, ConfigStatus::Malformed);
    EXPECT_TRUE(m_users.empty());
    EXPECT_TRUE(m_table.empty());
    EXPECT_TRUE(m_servers.empty());
    EXPECT_EQ(stConfig.unLogServerPort, 0u);
    EXPECT_NE(out.find(m_dir.File(r.szFile) + " " + r.szKey + " value \""), std::string::npos)
        << out;
    EXPECT_NE(out.find("is not a number"), std::string::npos) << out;
  }
}

TEST(SecretEqualsTest, EqualOnlyForTheSameLengthAndBytes) {
  struct Row {
    std::string a;
    std::string b;
    bool bEqual;
  } rows[] = {
      {"pass1001", "pass1001", true},  {"pass1001", "pass1002", false},
      {"pass", "pass1001", false},     {"pass1001", "pass", false},
      {"", "", true},                  {"", "x", false},
      {std::string(16, 'p'), std::string(16, 'p'), true},
      {std::string(17, 'p'), std::string(17, 'p'), false},  // wider than the field: never
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.a + " / " + r.b);
    EXPECT_EQ(SecretEquals(r.a.data(), r.a.size(), r.b.data(), r.b.size(), 16), r.bEqual);
  }
}
