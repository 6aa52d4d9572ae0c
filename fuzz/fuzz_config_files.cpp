// The INI readers and writers on files edited by hand: the input is written as SamvList.ini,
// SystemConfig.ini and UserList.ini, and every reader runs on it. Then the two writers run on the
// same file: the settings read are written back and must read back the same; one account is
// added and the user list is synchronised, and the file must then hold exactly the list.
#include <cstring>
#include <exception>
#include <string>
#include <memory>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/thread/mutex.hpp>

#include "config/byte_io.h"
#include "config/config_store.h"
#include "config/run_log.h"
#include "config/system_config.h"
#include "config/user_struct.h"
#include "fuzz_util.h"

namespace {

// The write-back waits 11 s after the last change; the target moves this clock instead.
boost::posix_time::ptime g_tmNow(boost::gregorian::date(2026, 1, 2));
boost::posix_time::ptime FuzzClock() {
  return g_tmNow;
}

template <size_t N>
bool TerminatedWithin(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

// Owns what the readers allocate.
template <typename T>
struct OwnedList {
  ~OwnedList() {
    for (T* p : arr) {
      delete p;
    }
  }
  std::vector<T*> arr;
};

bool SameSettings(const SystemConfigStruct& a, const SystemConfigStruct& b) {
  return std::strcmp(a.szUserName, b.szUserName) == 0 &&
         std::strcmp(a.szPassword, b.szPassword) == 0 &&
         std::strcmp(a.szLogServerIp, b.szLogServerIp) == 0 &&
         a.unLogServerPort == b.unLogServerPort &&
         std::strcmp(a.szHttpLogUrl, b.szHttpLogUrl) == 0 &&
         std::strcmp(a.szAppKey, b.szAppKey) == 0 &&
         std::strcmp(a.szSecretKey, b.szSecretKey) == 0 && std::strcmp(a.szSign, b.szSign) == 0;
}

std::string PasswordOf(const UserStruct& user) {
  return std::string(user.szPassword, FieldLength(user.szPassword));
}

// Whether the file has a key outside any section named like a section the settings are
// written to.
bool RootKeyNamesASettingsSection(const std::string& strPath) {
  boost::property_tree::ptree tree;
  try {
    ReadIniFile(strPath, &tree);
  } catch (const std::exception&) {
    return false;
  }
  for (const char* szSection : {"SYSTEM_ADMINISTRATOR", "LOG_SERVER"}) {
    auto it = tree.find(szSection);
    if (it != tree.not_found() && !it->second.data().empty()) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize) {
  static FuzzDir* pDir = [] {
    SilenceRunLog();
    SetLocalClockSource(&FuzzClock);
    return new FuzzDir();
  }();
  for (const char* szName : {"SamvList.ini", "SystemConfig.ini", "UserList.ini"}) {
    pDir->Write(szName, pData, unSize);
  }
  ConfigStore store(pDir->Path());

  {
    OwnedList<SamvServerEntry> servers;
    ConfigStatus eStatus = ConfigStatus::Missing;
    bool bRead = store.BuildSamvResourceList(&servers.arr, &eStatus);
    FUZZ_CHECK(!bRead || (eStatus == ConfigStatus::Ok && !servers.arr.empty()));
    for (const SamvServerEntry* pEntry : servers.arr) {
      FUZZ_CHECK(pEntry != nullptr && TerminatedWithin(pEntry->IP));
    }
  }

  SystemConfigStruct stConfig;
  std::memset(&stConfig, 0, sizeof(stConfig));
  ConfigStatus eConfig = ConfigStatus::Missing;
  bool bConfig = store.GetSystemConfig(&stConfig, &eConfig);
  FUZZ_CHECK(bConfig == (eConfig == ConfigStatus::Ok));
  FUZZ_CHECK(TerminatedWithin(stConfig.szUserName) && TerminatedWithin(stConfig.szPassword) &&
             TerminatedWithin(stConfig.szLogServerIp) && TerminatedWithin(stConfig.szHttpLogUrl) &&
             TerminatedWithin(stConfig.szAppKey) && TerminatedWithin(stConfig.szSecretKey) &&
             TerminatedWithin(stConfig.szSign));

  OwnedList<UserStruct> users;
  UserPasswordMap mapPasswords;
  ConfigStatus eUsers = ConfigStatus::Missing;
  store.BuildUserList(&users.arr, &mapPasswords, &eUsers);
  for (size_t i = 0; i < users.arr.size(); ++i) {
    FUZZ_CHECK(users.arr[i] != nullptr && users.arr[i]->szPassword[0] != '\0');
    FUZZ_CHECK(i == 0 || users.arr[i]->unIndex > users.arr[i - 1]->unIndex);
  }
  for (const auto& entry : mapPasswords) {
    FUZZ_CHECK(!entry.second.empty() && entry.second.size() <= sizeof(UserStruct::szPassword));
  }

  if (bConfig) {
    // Settings that were read are written back and read again unchanged. The one write that is
    // refused is one the file cannot take: a key outside any section that bears the name of a
    // section the settings go to (its value and the section's keys cannot both be written).
    // Then the file stays as it was, and so do the settings read from it.
    const bool bWritten = store.SetSystemConfig(&stConfig);
    FUZZ_CHECK(bWritten || RootKeyNamesASettingsSection(pDir->Path() + "/SystemConfig.ini"));
    SystemConfigStruct stAgain;
    std::memset(&stAgain, 0, sizeof(stAgain));
    FUZZ_CHECK(store.GetSystemConfig(&stAgain));
    FUZZ_CHECK(SameSettings(stConfig, stAgain));
  }

  if (eUsers == ConfigStatus::Ok) {
    // A new account marks the list changed; 12 s later the file is brought in line with the
    // list. Reading it back must give the list as it is in memory, position by position, every
    // account read from the file in the slot it came from.
    boost::mutex mtxUserList;
    UserStruct stNew;
    std::memset(&stNew, 0, sizeof(stNew));
    stNew.unAccountNo = 0xFFFFFFF0u;
    CopyText(stNew.szPassword, "fuzzpw");
    const size_t unRead = users.arr.size();
    g_tmNow += boost::posix_time::hours(1);
    SetUserInfo(store, users.arr, mapPasswords, mtxUserList, stNew);
    if (!store.IsUserListChangePending()) {
      return 0;  // the file already held that account with that password: nothing to write
    }
    g_tmNow += boost::posix_time::seconds(12);
    store.SynchronizeUserData(&users.arr, mtxUserList);
    FUZZ_CHECK(!store.IsUserListChangePending());

    OwnedList<UserStruct> again;
    UserPasswordMap mapAgain;
    ConfigStatus eAgain = ConfigStatus::Missing;
    store.BuildUserList(&again.arr, &mapAgain, &eAgain);
    FUZZ_CHECK(eAgain == ConfigStatus::Ok);
    FUZZ_CHECK(again.arr.size() == users.arr.size());
    for (size_t i = 0; i < again.arr.size(); ++i) {
      FUZZ_CHECK(i == 0 || again.arr[i]->unIndex > again.arr[i - 1]->unIndex);
      FUZZ_CHECK(i >= unRead || again.arr[i]->unIndex == users.arr[i]->unIndex);
      FUZZ_CHECK(again.arr[i]->unAccountNo == users.arr[i]->unAccountNo);
      FUZZ_CHECK(again.arr[i]->unType == users.arr[i]->unType);
      FUZZ_CHECK(PasswordOf(*again.arr[i]) == PasswordOf(*users.arr[i]));
    }
  }
  return 0;
}
