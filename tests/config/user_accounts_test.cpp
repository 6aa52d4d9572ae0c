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

// Without USER_COUNT the file's slots cannot be counted. With no account in them the gateway
// starts without accounts and its first write-back gives the file a count; with an account in
// any slot the file is unusable: started, that account would be refused, and the first account
// added would be written with a count of its own over the slots of the file.
TEST_F(UserAccountsTest, CountMissingStartsEmptyOnlyWhenNoSlotHoldsAnAccount) {
  struct Row {
    const char* szName;
    const char* szFile;
    int nAccountSlot;  // the slot the refusal names, or -1: the file is usable
  } rows[] = {
      {"no slots", "[USER_LIST]\n", -1},
      {"slot without a password", "[USER_LIST]\nPASSWORD_0=  \nACCOUNT_NO_0=5\nTYPE_0=1\n", -1},
      {"account in slot 0", "[USER_LIST]\nPASSWORD_0=x\nACCOUNT_NO_0=5\n", 0},
      {"account in a later slot", "[USER_LIST]\nPASSWORD_0=\nPASSWORD_7= y\n", 7},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    ConfigStore store(m_dir.Path());
    m_dir.Write("UserList.ini", r.szFile);
    std::vector<UserStruct*> list;
    ConfigStatus status = ConfigStatus::Missing;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(store.BuildUserList(&list, &m_map, &status));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(list.empty());
    EXPECT_NE(out.find("FUNCTION BuildUserList  LINE 165 Exception in thread:"), std::string::npos)
        << out;
    if (r.nAccountSlot >= 0) {
      EXPECT_EQ(status, ConfigStatus::Malformed);
      EXPECT_NE(out.find(m_dir.File("UserList.ini") + " USER_LIST.USER_COUNT is missing but "
                         "PASSWORD_" + std::to_string(r.nAccountSlot) + " holds an account"),
                std::string::npos)
          << out;
      continue;
    }
    EXPECT_EQ(status, ConfigStatus::Ok);
    EXPECT_EQ(out.find("holds an account"), std::string::npos) << out;
    SetUserInfo(store, list, m_map, m_mtx, User(9, "new", 0));
    Advance(11);
    store.SynchronizeUserData(&list, m_mtx);
    std::string strFile = m_dir.Read("UserList.ini");
    EXPECT_NE(strFile.find("USER_COUNT=1\n"), std::string::npos) << strFile;
    EXPECT_NE(strFile.find("PASSWORD_0=new\n"), std::string::npos) << strFile;
    EXPECT_NE(strFile.find("ACCOUNT_NO_0=9\n"), std::string::npos) << strFile;
    EXPECT_FALSE(store.IsUserListChangePending());
    for (UserStruct* p : list) {
      delete p;
    }
  }
}

TEST_F(UserAccountsTest, OverlongPasswordIsSkipped) {
  std::string out;
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
  // Slot 1 (no account) stays as it was; the new accounts go past the file's count.
  EXPECT_EQ(m_dir.Read("UserList.ini"),
            "[USER_LIST]\nUSER_COUNT=5\nPASSWORD_0=a2\nACCOUNT_NO_0=1\nTYPE_0=0\nPASSWORD_1=\n"
            "PASSWORD_2=c\nACCOUNT_NO_2=3\nTYPE_2=0\nEXTRA=keep\nPASSWORD_3=p1\nACCOUNT_NO_3=50\n"
            "TYPE_3=0\nPASSWORD_4=p2\nACCOUNT_NO_4=51\nTYPE_4=1\n");
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
  // Only the account added is written; slot 0, unchanged, stays as the file had it.
  EXPECT_EQ(m_dir.Read("UserList.ini"),
            "[USER_LIST]\nUSER_COUNT=2\nPASSWORD_0=a\nACCOUNT_NO_0=1\nPASSWORD_1=b\n"
            "ACCOUNT_NO_1=2\nTYPE_1=0\n");
}

// A count that no longer reads as a number, or is gone while slots hold accounts, leaves the file
// alone: the slots it covers are unknown.
TEST_F(UserAccountsTest, WriteBackLeavesAFileWithoutACountAlone) {
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(2, "b", 0));
  struct Row {
    std::string strFile;
    const char* szWhy;
  } rows[] = {
      {"[USER_LIST]\nUSER_COUNT=2 ; two slots\nPASSWORD_0=a\nACCOUNT_NO_0=1\nPASSWORD_1=c\n",
       "USER_LIST.USER_COUNT is not a number: not written"},
      {"[USER_LIST]\nPASSWORD_0=\nPASSWORD_1=c\nACCOUNT_NO_1=1\n",
       "USER_LIST.USER_COUNT is missing but PASSWORD_1 holds an account: not written"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szWhy);
    m_dir.Write("UserList.ini", r.strFile);
    Advance(11);
    testing::internal::CaptureStdout();
    Sync();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(m_dir.File("UserList.ini") + " " + r.szWhy), std::string::npos) << out;
    EXPECT_EQ(m_dir.Read("UserList.ini"), r.strFile);
    EXPECT_TRUE(m_store.IsUserListChangePending());
  }
}

// Every slot read from the file stays where it was and as it was unless command 82 changed its
// account: a slot skipped at start-up (password too long, none at all) too, the last one
// included. New accounts go past the file's count and keep their slots on later write-backs and
// after a restart, while the index that devices see stays the list position it always was.
TEST_F(UserAccountsTest, WriteBackKeepsEverySlotItReadWhereItWas) {
  const std::string strLong(17, 'L');
  m_dir.Write("UserList.ini",
              "[USER_LIST]\nUSER_COUNT=4\nPASSWORD_0=a\nACCOUNT_NO_0=10\nTYPE_0=0\n"
              "PASSWORD_1=\nACCOUNT_NO_1=11\nTYPE_1=3\n"
              "PASSWORD_2=  d\nACCOUNT_NO_2=013\nTYPE_2=0\n"
              "PASSWORD_3=" + strLong + "\nACCOUNT_NO_3=14\nTYPE_3=0\n");
  testing::internal::CaptureStdout();
  ASSERT_TRUE(m_store.BuildUserList(&m_list, &m_map));
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(m_list.size(), 2u);

  SetUserInfo(m_store, m_list, m_map, m_mtx, User(13, "d2", 1));
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(50, "p50", 0));
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(51, "p51", 0));
  ASSERT_EQ(m_list.size(), 4u);
  EXPECT_EQ(m_list[2]->unIndex, 2u);  // what a device reads back, as before
  EXPECT_EQ(m_list[3]->unIndex, 3u);
  Advance(11);
  Sync();
  const std::string strWritten =
      "[USER_LIST]\nUSER_COUNT=6\nPASSWORD_0=a\nACCOUNT_NO_0=10\nTYPE_0=0\n"
      "PASSWORD_1=\nACCOUNT_NO_1=11\nTYPE_1=3\n"
      "PASSWORD_2=d2\nACCOUNT_NO_2=013\nTYPE_2=1\n"
      "PASSWORD_3=" + strLong + "\nACCOUNT_NO_3=14\nTYPE_3=0\n"
      "PASSWORD_4=p50\nACCOUNT_NO_4=50\nTYPE_4=0\nPASSWORD_5=p51\nACCOUNT_NO_5=51\nTYPE_5=0\n";
  EXPECT_EQ(m_dir.Read("UserList.ini"), strWritten);

  // A later change goes to the same slot; an account added now goes after the others.
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(50, "q50", 0));
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(52, "p52", 0));
  Advance(11);
  Sync();
  std::string strExpected = strWritten;
  strExpected.replace(strExpected.find("USER_COUNT=6"), 12, "USER_COUNT=7");
  strExpected.replace(strExpected.find("PASSWORD_4=p50"), 14, "PASSWORD_4=q50");
  strExpected += "PASSWORD_6=p52\nACCOUNT_NO_6=52\nTYPE_6=0\n";
  EXPECT_EQ(m_dir.Read("UserList.ini"), strExpected);

  // The next start finds every account in its slot, and a write-back then changes nothing else.
  ConfigStore restarted(m_dir.Path());
  std::vector<UserStruct*> list;
  UserPasswordMap map;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(restarted.BuildUserList(&list, &map));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("PASSWORD_3 of account 14 is longer than 16 characters"), std::string::npos)
      << out;
  struct Slot {
    uint32_t unIndex;
    uint32_t unAccountNo;
  } expected[] = {{0, 10}, {2, 13}, {4, 50}, {5, 51}, {6, 52}};
  ASSERT_EQ(list.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(list[i]->unIndex, expected[i].unIndex);
    EXPECT_EQ(list[i]->unAccountNo, expected[i].unAccountNo);
  }
  SetUserInfo(restarted, list, map, m_mtx, User(10, "a2", 0));
  Advance(11);
  restarted.SynchronizeUserData(&list, m_mtx);
  strExpected.replace(strExpected.find("PASSWORD_0=a\n"), 13, "PASSWORD_0=a2\n");
  EXPECT_EQ(m_dir.Read("UserList.ini"), strExpected);
  for (UserStruct* p : list) {
    delete p;
  }
}

// A count at the 32-bit limit leaves no slot for a new account: the change stays pending and the
// file as it was; the failure is logged once.
TEST_F(UserAccountsTest, NoSlotLeftIsReportedAndNothingIsWritten) {
  const std::string strFile = "[USER_LIST]\nUSER_COUNT=4294967295\nPASSWORD_0=a\nACCOUNT_NO_0=1\n";
  m_dir.Write("UserList.ini", strFile);
  ASSERT_TRUE(m_store.BuildUserList(&m_list, &m_map));
  SetUserInfo(m_store, m_list, m_map, m_mtx, User(2, "b", 0));
  Advance(11);
  testing::internal::CaptureStdout();
  Sync();
  Sync();
  std::string out = testing::internal::GetCapturedStdout();
  const std::string strLine = m_dir.File("UserList.ini") +
                              " USER_LIST.USER_COUNT leaves no slot for a new account: not written";
  size_t unFirst = out.find(strLine);
  ASSERT_NE(unFirst, std::string::npos) << out;
  EXPECT_EQ(out.find(strLine, unFirst + 1), std::string::npos) << out;
  EXPECT_EQ(m_dir.Read("UserList.ini"), strFile);
  EXPECT_TRUE(m_store.IsUserListChangePending());
}
