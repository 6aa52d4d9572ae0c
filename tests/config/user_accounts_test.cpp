#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "config/config_store.h"
#include "config/run_log.h"
#include "support/test_util.h"

namespace {

boost::posix_time::ptime g_tmNow;
boost::posix_time::ptime TestNow() { return g_tmNow; }

class UserAccountsTest : public ::testing::Test {
 protected:
  UserAccountsTest() : m_store(m_dir.Path()) {
    g_tmNow = boost::posix_time::time_from_string("2026-05-06 10:00:00");
    SetLocalClockSource(&TestNow);
  }
  ~UserAccountsTest() override {
    SetLocalClockSource(nullptr);
    for (UserStruct* p : m_list) {
      delete p;
    }
  }
  void Advance(int nSeconds) { g_tmNow += boost::posix_time::seconds(nSeconds); }
  UserStruct User(uint32_t unAccount, const char* szPassword, uint32_t unType) {
    UserStruct u;
    std::memset(&u, 0, sizeof(u));
    u.unAccountNo = unAccount;
    std::strncpy(u.szPassword, szPassword, sizeof(u.szPassword));
    u.unType = unType;
    return u;
  }
  void Sync() { m_store.SynchronizeUserData(&m_list, m_mtx); }

  TempDir m_dir;
  ConfigStore m_store;
  std::vector<UserStruct*> m_list;
  UserPasswordMap m_map;
  boost::mutex m_mtx;
};

}  // namespace

TEST_F(UserAccountsTest, BuildSkipsEmptySlotsAndTrimsPasswords) {
  m_dir.Write("UserList.ini",
              "[USER_LIST]\nUSER_COUNT=4\nPASSWORD_0=  abc\t\nACCOUNT_NO_0=100\nTYPE_0=0\n"
              "PASSWORD_1=\nACCOUNT_NO_1=101\nPASSWORD_2=two\nACCOUNT_NO_2=102\nTYPE_2=1\n"
              "PASSWORD_3=late\nACCOUNT_NO_3=100\n");
  ASSERT_TRUE(m_store.BuildUserList(&m_list, &m_map));
  ASSERT_EQ(m_list.size(), 3u);
  EXPECT_EQ(m_list[0]->unIndex, 0u);
  EXPECT_STREQ(m_list[0]->szPassword, "abc");
  EXPECT_EQ(m_list[1]->unIndex, 2u);
  EXPECT_EQ(m_list[1]->unType, 1u);
  EXPECT_EQ(m_list[2]->unIndex, 3u);
  EXPECT_EQ(m_map.size(), 1u);  // the type-1 account cannot log in
  EXPECT_EQ(m_map[100], "late");  // the later slot wins in the table
}

TEST_F(UserAccountsTest, CountMissingIsReportedOverlongPasswordSkipped) {
  m_dir.Write("UserList.ini", "[USER_LIST]\nPASSWORD_0=x\n");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m_store.BuildUserList(&m_list, &m_map));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("FUNCTION BuildUserList  LINE 165 Exception in thread:"), std::string::npos);

  m_dir.Write("UserList.ini", "[USER_LIST]\nUSER_COUNT=2\nPASSWORD_0=" + std::string(17, 'x') +
                                  "\nACCOUNT_NO_0=5\nPASSWORD_1=" + std::string(16, 'y') +
                                  "\nACCOUNT_NO_1=6\n");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(m_store.BuildUserList(&m_list, &m_map));
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("longer than 16 characters"), std::string::npos);
  ASSERT_EQ(m_list.size(), 1u);
  EXPECT_EQ(m_list[0]->unAccountNo, 6u);
  EXPECT_EQ(std::string(m_list[0]->szPassword, FieldLength(m_list[0]->szPassword)),
            std::string(16, 'y'));
  EXPECT_EQ(m_map[6], std::string(16, 'y'));
}

// Every change reaches the log-in table at once: the administrator is told it is made.
TEST_F(UserAccountsTest, EveryChangeReachesTheLogInTableAtOnce) {
  m_dir.Write("UserList.ini", "[USER_LIST]\nUSER_COUNT=0\n");
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(7, " pw ", 0));
  ASSERT_EQ(m_list.size(), 1u);
  EXPECT_EQ(m_map[7], "pw");
  EXPECT_TRUE(m_store.IsUserListChangePending());
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(7, " new ", 0));
  EXPECT_STREQ(m_list[0]->szPassword, " new ");  // the record as sent; the file write trims
  EXPECT_EQ(m_map[7], "new");
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(7, "new", 2));  // listed only from now on
  EXPECT_EQ(m_map.count(7), 0u);
  EXPECT_EQ(m_list[0]->unType, 2u);
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(7, "again", 0));  // and back
  EXPECT_EQ(m_map[7], "again");
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(8, "listed", 1));  // new, type 1: never
  EXPECT_EQ(m_map.count(8), 0u);
}

TEST_F(UserAccountsTest, UnchangedOrEmptyPasswordChangesNothing) {
  m_list.push_back(new UserStruct(User(9, "same", 0)));
  testing::internal::CaptureStdout();
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(9, "same", 0));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("FUNCTION SetUserInfo  LINE 1343 NO CHANGE "), std::string::npos);
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(9, "", 3));
  EXPECT_EQ(m_list[0]->unType, 0u);
  EXPECT_FALSE(m_store.IsUserListChangePending());
}

TEST_F(UserAccountsTest, BurstIsWrittenOnceElevenSecondsAfterTheLastChange) {
  m_dir.Write("UserList.ini",
              "[USER_LIST]\nUSER_COUNT=3\nPASSWORD_0=a\nACCOUNT_NO_0=1\nTYPE_0=0\nPASSWORD_1=\n"
              "PASSWORD_2=c\nACCOUNT_NO_2=3\nTYPE_2=0\nEXTRA=keep\n");
  ASSERT_TRUE(m_store.BuildUserList(&m_list, &m_map));
  ASSERT_EQ(m_list.size(), 2u);
  std::string before = m_dir.Read("UserList.ini");

  SetUserInfo(m_store, m_list, m_map, m_mtx, User(50, "p1", 0));
  Advance(5);
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(51, "p2", 1));
  Advance(5);
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(1, "a2", 0));
  Advance(10);
  Sync();
  EXPECT_EQ(m_dir.Read("UserList.ini"), before);
  Advance(1);
  Sync();
  EXPECT_EQ(m_dir.Read("UserList.ini"),
            "[USER_LIST]\nUSER_COUNT=4\nPASSWORD_0=a2\nACCOUNT_NO_0=1\nTYPE_0=0\nPASSWORD_1=c\n"
            "PASSWORD_2=p1\nACCOUNT_NO_2=50\nTYPE_2=0\nEXTRA=keep\nACCOUNT_NO_1=3\nTYPE_1=0\n"
            "PASSWORD_3=p2\nACCOUNT_NO_3=51\nTYPE_3=1\n");
  EXPECT_FALSE(m_store.IsUserListChangePending());
}

TEST_F(UserAccountsTest, ClockSetBackWaitsTheDelayAgainAndMissingFileIsNotCreated) {
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(1, "x", 0));
  Advance(-3600);
  Sync();
  EXPECT_TRUE(m_store.IsUserListChangePending());
  // The delay counts from the set back, not from the change an hour "ahead".
  Advance(10);
  Sync();
  EXPECT_TRUE(m_store.IsUserListChangePending());
  Advance(1);
  testing::internal::CaptureStdout();
  Sync();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("FUNCTION SynchronizeUserData  LINE 570 "), std::string::npos);
  // Not created, and not forgotten: the change waits for the file.
  EXPECT_TRUE(m_store.IsUserListChangePending());
  EXPECT_EQ(m_dir.Read("UserList.ini"), "");
}

// A write-back that fails keeps the change pending and is tried on each later pass, its failure
// logged once; when the file can be written again the change lands. A change made meanwhile is
// written with it.
TEST_F(UserAccountsTest, FailedWriteBackIsRetriedAndLoggedOnce) {
  m_dir.Write("UserList.ini", "[USER_LIST]\nUSER_COUNT=1\nPASSWORD_0=a\nACCOUNT_NO_0=1\n");
  ASSERT_TRUE(m_store.BuildUserList(&m_list, &m_map));
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(2, "b", 0));
  Advance(11);
  // The temporary file's name taken by a directory: the file cannot be replaced, even by root.
  ASSERT_EQ(::mkdir(m_dir.File("UserList.ini.tmp").c_str(), 0755), 0);
  testing::internal::CaptureStdout();
  for (int i = 0; i < 5; ++i) {
    Sync();
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(m_store.IsUserListChangePending());
  EXPECT_EQ(m_dir.Read("UserList.ini").find("ACCOUNT_NO_1=2"), std::string::npos);
  size_t unFirst = out.find("Write Error");
  ASSERT_NE(unFirst, std::string::npos) << out;
  EXPECT_EQ(out.find("Write Error", unFirst + 1), std::string::npos) << out;

  ASSERT_EQ(::rmdir(m_dir.File("UserList.ini.tmp").c_str()), 0);
  testing::internal::CaptureStdout();
  Sync();
  out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(m_store.IsUserListChangePending());
  EXPECT_NE(out.find("written after failed attempts"), std::string::npos) << out;
  EXPECT_EQ(m_dir.Read("UserList.ini"),
            "[USER_LIST]\nUSER_COUNT=2\nPASSWORD_0=a\nACCOUNT_NO_0=1\nTYPE_0=0\nPASSWORD_1=b\n"
            "ACCOUNT_NO_1=2\nTYPE_1=0\n");
}

// A count that no longer reads as a number leaves the file alone: the slots it covers are unknown.
TEST_F(UserAccountsTest, WriteBackLeavesAFileWithoutACountAlone) {
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(2, "b", 0));
  const std::string strFile =
      "[USER_LIST]\nUSER_COUNT=2 ; two slots\nPASSWORD_0=a\nACCOUNT_NO_0=1\nPASSWORD_1=c\n";
  m_dir.Write("UserList.ini", strFile);
  Advance(11);
  testing::internal::CaptureStdout();
  Sync();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("USER_LIST.USER_COUNT is not a number: not written"), std::string::npos)
      << out;
  EXPECT_EQ(m_dir.Read("UserList.ini"), strFile);
  EXPECT_TRUE(m_store.IsUserListChangePending());
}
