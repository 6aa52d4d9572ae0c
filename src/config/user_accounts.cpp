// The user-account half of ConfigStore: UserList.ini, the change mark and SetUserInfo.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "config/byte_io.h"
#include "config/config_store.h"
#include "config/run_log.h"

namespace pt = boost::property_tree;

namespace {

constexpr char kUserListFile[] = "UserList.ini";
constexpr int64_t kWriteBackDelayUs = 11000000;

std::string PasswordText(const UserStruct& user) {
  return std::string(user.szPassword, FieldLength(user.szPassword));
}

// The slots below unCount that have a PASSWORD_<slot> key, in ascending order: only they can
// hold an account, so the slot loop costs what the file holds, not what USER_COUNT claims (a
// mistyped count of billions would otherwise keep the gateway from ever starting). Only the key
// that the loop would look up counts: decimal, no sign, no leading zero.
std::vector<uint32_t> PasswordSlots(const pt::ptree& tree, uint32_t unCount) {
  static const std::string kPrefix = "PASSWORD_";
  std::vector<uint32_t> arrSlots;
  boost::optional<const pt::ptree&> section = tree.get_child_optional("USER_LIST");
  if (!section) {
    return arrSlots;
  }
  for (const pt::ptree::value_type& child : *section) {
    const std::string& strKey = child.first;
    if (strKey.compare(0, kPrefix.size(), kPrefix) != 0) {
      continue;
    }
    std::string strDigits = strKey.substr(kPrefix.size());
    if (strDigits.empty() || strDigits.size() > 10 ||
        strDigits.find_first_not_of("0123456789") != std::string::npos ||
        (strDigits.size() > 1 && strDigits[0] == '0')) {
      continue;
    }
    uint64_t unSlot = std::stoull(strDigits);
    if (unSlot < unCount) {
      arrSlots.push_back(static_cast<uint32_t>(unSlot));
    }
  }
  std::sort(arrSlots.begin(), arrSlots.end());
  arrSlots.erase(std::unique(arrSlots.begin(), arrSlots.end()), arrSlots.end());
  return arrSlots;
}

void SetMalformed(ConfigStatus* pStatus) {
  if (pStatus != nullptr) {
    *pStatus = ConfigStatus::Malformed;
  }
}

}  // namespace

bool ConfigStore::BuildUserList(std::vector<UserStruct*>* pList, UserPasswordMap* pTable,
                                ConfigStatus* pStatus) {
  if (pStatus != nullptr) {
    *pStatus = ConfigStatus::Ok;
  }
  if (pList == nullptr || pTable == nullptr) {
    return false;
  }
  std::string strPath = PathOf(kUserListFile);
  if (!ConfigFileExists("BuildUserList", 153, strPath)) {
    if (pStatus != nullptr) {
      *pStatus = ConfigStatus::Missing;
    }
    return false;
  }
  pt::ptree tree;
  try {
    pt::read_ini(strPath, tree);
  } catch (const std::exception& e) {
    WriteLogF("FUNCTION %s  LINE %d %s Read Error: %s", "BuildUserList", __LINE__, strPath.c_str(),
              e.what());
    SetMalformed(pStatus);
    return false;
  }
  uint32_t unCount = 0;
  if (!tree.get_optional<std::string>("USER_LIST.USER_COUNT")) {
    try {
      unCount = tree.get<uint32_t>("USER_LIST.USER_COUNT");
    } catch (const std::exception& e) {
      WriteLogF("FUNCTION %s  LINE %d Exception in thread:%s!", "BuildUserList", 165, e.what());
      unCount = 0;
    }
  } else if (!GetIniNumber(tree, "USER_LIST.USER_COUNT", &unCount, "BuildUserList", __LINE__,
                           strPath)) {
    // Read as 0, the accounts would be gone for this run and the next account change would
    // write them out of the file.
    SetMalformed(pStatus);
    return false;
  }
  if (unCount == 0) {
    return false;
  }
  // Every slot's numbers are checked before an account is taken: a half-read list must not start.
  std::vector<UserStruct*> arrRead;
  std::vector<std::pair<uint32_t, std::string>> arrTable;
  bool bNumbersOk = true;
  for (uint32_t i : PasswordSlots(tree, unCount)) {
    std::string strIndex = std::to_string(i);
    std::string strPassword =
        IniLineValue(tree.get<std::string>("USER_LIST.PASSWORD_" + strIndex, ""));
    if (strPassword.empty()) {
      continue;
    }
    uint32_t unAccountNo = 0;
    uint32_t unType = 0;
    if (!GetIniNumber(tree, "USER_LIST.ACCOUNT_NO_" + strIndex, &unAccountNo, "BuildUserList",
                      __LINE__, strPath) ||
        !GetIniNumber(tree, "USER_LIST.TYPE_" + strIndex, &unType, "BuildUserList", __LINE__,
                      strPath)) {
      bNumbersOk = false;
      break;
    }
    if (strPassword.size() > sizeof(UserStruct::szPassword)) {
      // The record and a device's frame hold at most 16 password bytes, so nobody could ever
      // log in with this one; say so instead of keeping an account that silently never works.
      WriteLogF("FUNCTION %s  LINE %d PASSWORD_%u of account %u is longer than 16 characters: "
                "slot skipped",
                "BuildUserList", __LINE__, i, unAccountNo);
      continue;
    }
    UserStruct* pUser = new UserStruct();
    std::memset(pUser, 0, sizeof(*pUser));
    std::memcpy(pUser->szPassword, strPassword.data(), strPassword.size());
    pUser->unAccountNo = unAccountNo;
    pUser->unType = unType;
    pUser->unIndex = i;
    arrRead.push_back(pUser);
    if (pUser->unType == 0) {
      arrTable.emplace_back(unAccountNo, strPassword);
    }
  }
  if (!bNumbersOk) {
    for (UserStruct* pUser : arrRead) {
      delete pUser;
    }
    SetMalformed(pStatus);
    return false;
  }
  pList->insert(pList->end(), arrRead.begin(), arrRead.end());
  for (const std::pair<uint32_t, std::string>& entry : arrTable) {
    (*pTable)[entry.first] = entry.second;
  }
  return true;
}

void ConfigStore::MarkUserListChanged() {
  m_tmUserListChanged = LocalClockNow();
  m_bUserListChangePending = true;
}

void ConfigStore::SynchronizeUserData(const std::vector<UserStruct*>* pList,
                                      boost::mutex& mtxUserList, bool bNow) {
  if (pList == nullptr) {
    return;
  }
  std::vector<boost::optional<UserStruct>> arrCopy;  // none where the list holds no record
  boost::posix_time::ptime tmChange;
  {
    boost::mutex::scoped_lock lock(mtxUserList);
    if (!m_bUserListChangePending) {
      return;
    }
    boost::posix_time::ptime tmNow = LocalClockNow();
    int64_t nElapsedUs = (tmNow - m_tmUserListChanged).total_microseconds();
    if (nElapsedUs < 0 && !bNow) {
      // The clock was set back. Waiting for it to pass the change again would keep the change
      // out of the file (and lose it with a restart) for as long as the clock went back: count
      // the delay from now instead.
      m_tmUserListChanged = tmNow;
      return;
    }
    if (nElapsedUs < kWriteBackDelayUs && !bNow) {
      return;
    }
    tmChange = m_tmUserListChanged;
    arrCopy.reserve(pList->size());
    for (const UserStruct* pUser : *pList) {
      arrCopy.push_back(pUser != nullptr ? boost::optional<UserStruct>(*pUser) : boost::none);
    }
  }
  std::string strError;
  const bool bWritten = WriteUserList(arrCopy, &strError);
  {
    // The mark stays until the file holds the change, so a failed write is tried again on the
    // next pass; a change made while the file was written keeps it for the next write.
    boost::mutex::scoped_lock lock(mtxUserList);
    if (bWritten && m_tmUserListChanged == tmChange) {
      m_bUserListChangePending = false;
    }
  }
  if (bWritten) {
    if (!m_strUserListWriteError.empty()) {
      WriteLogF("FUNCTION %s  LINE %d %s written after failed attempts", "SynchronizeUserData",
                __LINE__, PathOf(kUserListFile).c_str());
      m_strUserListWriteError.clear();
    }
    return;
  }
  // Retried on every pass: the same failure is logged once, not ten times a second.
  if (strError != m_strUserListWriteError) {
    WriteLog(strError.c_str());
    m_strUserListWriteError = strError;
  }
}

bool ConfigStore::WriteUserList(const std::vector<boost::optional<UserStruct>>& arrCopy,
                                std::string* pstrError) {
  char szLine[1024] = {0};
  std::string strPath = PathOf(kUserListFile);
  boost::system::error_code ec;
  if (!boost::filesystem::exists(strPath, ec)) {
    std::snprintf(szLine, sizeof(szLine), "FUNCTION %s  LINE %d %s Not Exist!",
                  "SynchronizeUserData", 570, strPath.c_str());
    *pstrError = szLine;
    return false;
  }
  try {
    pt::ptree tree;
    pt::read_ini(strPath, tree);
    uint32_t unSize = static_cast<uint32_t>(arrCopy.size());
    boost::optional<std::string> countText = tree.get_optional<std::string>("USER_LIST.USER_COUNT");
    uint32_t unFileCount = 0;
    if (countText && !ParseIniNumber(*countText, &unFileCount)) {
      // How many slots the file holds is unknown: a count written over it could put accounts
      // out of the file.
      std::snprintf(szLine, sizeof(szLine),
                    "FUNCTION %s  LINE %d %s USER_LIST.USER_COUNT is not a number: not written",
                    "SynchronizeUserData", __LINE__, strPath.c_str());
      *pstrError = szLine;
      return false;
    }
    if (!countText) {
      tree.put("USER_LIST.USER_COUNT", 0u);
    }
    if (!countText || unFileCount != unSize) {
      tree.put("USER_LIST.USER_COUNT", unSize);
    }
    for (uint32_t p = 0; p < unSize; ++p) {
      if (!arrCopy[p]) {
        continue;
      }
      const UserStruct& user = *arrCopy[p];
      std::string strIndex = std::to_string(p);
      std::string strKey = "USER_LIST.PASSWORD_" + strIndex;
      boost::optional<std::string> password = tree.get_optional<std::string>(strKey);
      if (!password) {
        tree.put(strKey, std::string());
      }
      std::string strRecordPassword = OneLineText(PasswordText(user));
      if (TrimText(password ? *password : std::string()) != strRecordPassword) {
        tree.put(strKey, strRecordPassword);
      }
      strKey = "USER_LIST.ACCOUNT_NO_" + strIndex;
      boost::optional<uint32_t> account = tree.get_optional<uint32_t>(strKey);
      if (!account || *account != user.unAccountNo) {
        tree.put(strKey, user.unAccountNo);
      }
      strKey = "USER_LIST.TYPE_" + strIndex;
      boost::optional<uint32_t> type = tree.get_optional<uint32_t>(strKey);
      if (!type || *type != user.unType) {
        tree.put(strKey, user.unType);
      }
    }
    if (m_strUserListWriteError.empty()) {
      WriteLogF("FUNCTION %s  LINE %d ", "SynchronizeUserData", 647);
    }
    WriteIniFile(strPath, tree);
    WriteLogF("FUNCTION %s  LINE %d ", "SynchronizeUserData", 652);
  } catch (const std::exception& e) {
    std::snprintf(szLine, sizeof(szLine), "FUNCTION %s  LINE %d %s Write Error: %s",
                  "SynchronizeUserData", __LINE__, strPath.c_str(), e.what());
    *pstrError = szLine;
    return false;
  }
  return true;
}

void SetUserInfo(ConfigStore& store, std::vector<UserStruct*>& arrUserList,
                 UserPasswordMap& mapUserPassword, boost::mutex& mtxUserList,
                 const UserStruct& user) {
  static const char* const kFn = "SetUserInfo";
  boost::mutex::scoped_lock lock(mtxUserList);
  UserStruct* pFound = nullptr;
  for (UserStruct* pUser : arrUserList) {
    if (pUser != nullptr && pUser->unAccountNo == user.unAccountNo) {
      pFound = pUser;
      break;
    }
  }
  WriteLogF("FUNCTION %s  LINE %d unAccountNo %d", kFn, 1313, static_cast<int>(user.unAccountNo));
  if (pFound == nullptr) {
    UserStruct* pNew = new (std::nothrow) UserStruct(user);
    if (pNew == nullptr) {
      WriteLogF("FUNCTION %s  LINE %d NEW UserStruct FALSE", kFn, 1389);
      return;
    }
    pNew->unIndex = static_cast<uint32_t>(arrUserList.size());
    arrUserList.push_back(pNew);
    if (pNew->unType == 0) {
      mapUserPassword[pNew->unAccountNo] = TrimText(PasswordText(user));
    }
    store.MarkUserListChanged();
    WriteLogF("FUNCTION %s  LINE %d m_arrUserList.size() %d ", kFn, 1412,
              static_cast<int>(arrUserList.size()));
    return;
  }
  WriteLogF("FUNCTION %s  LINE %d ", kFn, 1321);
  if (user.szPassword[0] == 0) {
    WriteLogF("FUNCTION %s  LINE %d ", kFn, 1329);
    return;
  }
  WriteLogF("FUNCTION %s  LINE %d ", kFn, 1336);
  if (PasswordText(*pFound) == PasswordText(user) && pFound->unType == user.unType) {
    WriteLogF("FUNCTION %s  LINE %d NO CHANGE ", kFn, 1343);
    return;
  }
  WriteLogF("FUNCTION %s  LINE %d unIndex %d", kFn, 1350, static_cast<int>(pFound->unIndex));
  std::memcpy(pFound->szPassword, user.szPassword, sizeof(pFound->szPassword));
  pFound->unType = user.unType;
  // The administrator was told the change is made: the old password (or an account no longer
  // allowed to log in) must stop working now, not at the next start.
  if (pFound->unType == 0) {
    mapUserPassword[pFound->unAccountNo] = TrimText(PasswordText(*pFound));
  } else {
    mapUserPassword.erase(pFound->unAccountNo);
  }
  store.MarkUserListChanged();
  WriteLogF("FUNCTION %s  LINE %d ", kFn, 1361);
}
