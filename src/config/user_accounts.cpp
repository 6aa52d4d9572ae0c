// The user-account half of ConfigStore: UserList.ini, the change mark and SetUserInfo.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <boost/optional.hpp>
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

// A slot number past every slot a USER_COUNT can cover: marks a list position not yet placed.
constexpr uint32_t kNoSlot = 0xFFFFFFFFu;

// The slots below unCount that have a PASSWORD_<slot> key, in ascending order: only they can
// hold an account, so the slot loop costs what the file holds, not what USER_COUNT claims (a
// mistyped count of billions would otherwise keep the gateway from ever starting). Only the key
// that the loop would look up counts: decimal, no sign, no leading zero.
std::vector<uint32_t> PasswordSlots(const pt::ptree& tree, uint64_t unCount) {
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

// The lowest slot of any number whose password holds an account, if there is one.
boost::optional<uint32_t> FirstAccountSlot(const pt::ptree& tree) {
  for (uint32_t i : PasswordSlots(tree, uint64_t{1} << 32)) {
    if (!IniLineValue(tree.get<std::string>("USER_LIST.PASSWORD_" + std::to_string(i), ""))
             .empty()) {
      return i;
    }
  }
  return boost::none;
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
  // Records already in the list did not come from this file: they are placed and written like
  // new ones.
  m_arrUserSlots.clear();
  m_unNextUserSlot = 0;
  m_arrUserChanged.assign(pList->size(), true);
  std::string strPath = PathOf(kUserListFile);
  if (!ConfigFileExists("BuildUserList", 153, strPath)) {
    if (pStatus != nullptr) {
      *pStatus = ConfigStatus::Missing;
    }
    return false;
  }
  pt::ptree tree;
  try {
    ReadIniFile(strPath, &tree);
  } catch (const std::exception& e) {
    WriteLogF("FUNCTION %s  LINE %d %s Read Error: %s", "BuildUserList", __LINE__, strPath.c_str(),
              e.what());
    SetMalformed(pStatus);
    return false;
  }
  uint32_t unCount = 0;
  if (!tree.get_optional<std::string>("USER_LIST.USER_COUNT")) {
    try {
      // Throws "No such node (USER_LIST.USER_COUNT)": the key is absent here.
      unCount = StreamNumber(tree.get_child("USER_LIST.USER_COUNT").data()).value_or(0);
    } catch (const std::exception& e) {
      WriteLogF("FUNCTION %s  LINE %d Exception in thread:%s!", "BuildUserList", 165, e.what());
      unCount = 0;
    }
    boost::optional<uint32_t> slot = FirstAccountSlot(tree);
    if (slot) {
      // Started without them, the accounts would be refused for this run, and the first account
      // added would be written with a count of its own over the slots of the file.
      WriteLogF("FUNCTION %s  LINE %d %s USER_LIST.USER_COUNT is missing but PASSWORD_%u holds "
                "an account: the slots cannot be counted",
                "BuildUserList", __LINE__, strPath.c_str(), *slot);
      SetMalformed(pStatus);
      return false;
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
  // Each record goes back to the slot it came from; accounts added later go past every slot
  // the file counts, so that none is written over, not even one that was skipped here.
  m_arrUserSlots.assign(pList->size(), kNoSlot);
  for (const UserStruct* pUser : arrRead) {
    m_arrUserSlots.push_back(pUser->unIndex);
  }
  m_unNextUserSlot = unCount;
  pList->insert(pList->end(), arrRead.begin(), arrRead.end());
  for (const std::pair<uint32_t, std::string>& entry : arrTable) {
    (*pTable)[entry.first] = entry.second;
  }
  return true;
}

void ConfigStore::MarkUserListChanged(size_t unPosition) {
  if (m_arrUserChanged.size() <= unPosition) {
    m_arrUserChanged.resize(unPosition + 1, false);
  }
  m_arrUserChanged[unPosition] = true;
  m_tmUserListChanged = LocalClockNow();
  m_bUserListChangePending = true;
}

void ConfigStore::SynchronizeUserData(const std::vector<UserStruct*>* pList,
                                      boost::mutex& mtxUserList, bool bNow) {
  if (pList == nullptr) {
    return;
  }
  std::vector<boost::optional<UserStruct>> arrCopy;  // none where the list holds no record
  std::vector<uint32_t> arrSlots;                     // the slot of each record in the file
  std::vector<size_t> arrTaken;                       // the changed positions copied
  bool bPlaced = false;
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
    // Only the records changed since the last write-back: a slot that the operator edited in
    // the file (and then had read again) is not written back over with what memory held.
    arrCopy.reserve(pList->size());
    for (size_t p = 0; p < pList->size(); ++p) {
      const UserStruct* pUser = (*pList)[p];
      const bool bChanged = p < m_arrUserChanged.size() && m_arrUserChanged[p];
      arrCopy.push_back(pUser != nullptr && bChanged ? boost::optional<UserStruct>(*pUser)
                                                     : boost::none);
      if (bChanged) {
        arrTaken.push_back(p);
        m_arrUserChanged[p] = false;
      }
    }
    bPlaced = PlaceUserRecords(arrCopy, &arrSlots);
  }
  std::string strError;
  bool bWritten = false;
  if (bPlaced) {
    bWritten = WriteUserList(arrCopy, arrSlots, &strError);
  } else {
    char szLine[1024] = {0};
    std::snprintf(szLine, sizeof(szLine),
                  "FUNCTION %s  LINE %d %s USER_LIST.USER_COUNT leaves no slot for a new "
                  "account: not written",
                  "SynchronizeUserData", __LINE__, PathOf(kUserListFile).c_str());
    strError = szLine;
  }
  {
    // The mark stays until the file holds the change, so a failed write is tried again on the
    // next pass; a change made while the file was written keeps it for the next write.
    boost::mutex::scoped_lock lock(mtxUserList);
    if (bWritten && m_tmUserListChanged == tmChange) {
      m_bUserListChangePending = false;
    }
    if (!bWritten) {
      for (size_t p : arrTaken) {
        m_arrUserChanged[p] = true;  // written with the next attempt
      }
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

bool ConfigStore::PlaceUserRecords(const std::vector<boost::optional<UserStruct>>& arrCopy,
                                   std::vector<uint32_t>* parrSlots) {
  bool bPlaced = true;
  if (m_arrUserSlots.size() < arrCopy.size()) {
    m_arrUserSlots.resize(arrCopy.size(), kNoSlot);
  }
  for (size_t p = 0; p < arrCopy.size(); ++p) {
    if (!arrCopy[p] || m_arrUserSlots[p] != kNoSlot) {
      continue;
    }
    // The count written must cover the slot: slot + 1 has to fit in 32 bits.
    if (m_unNextUserSlot >= kNoSlot) {
      bPlaced = false;
      continue;
    }
    m_arrUserSlots[p] = static_cast<uint32_t>(m_unNextUserSlot++);
  }
  parrSlots->assign(m_arrUserSlots.begin(), m_arrUserSlots.begin() + arrCopy.size());
  return bPlaced;
}

bool ConfigStore::WriteUserList(const std::vector<boost::optional<UserStruct>>& arrCopy,
                                const std::vector<uint32_t>& arrSlots, std::string* pstrError) {
  char szLine[1024] = {0};
  std::string strPath = PathOf(kUserListFile);
  if (!PathExists(strPath)) {
    std::snprintf(szLine, sizeof(szLine), "FUNCTION %s  LINE %d %s Not Exist!",
                  "SynchronizeUserData", 570, strPath.c_str());
    *pstrError = szLine;
    return false;
  }
  try {
    pt::ptree tree;
    ReadIniFile(strPath, &tree);
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
      boost::optional<uint32_t> slot = FirstAccountSlot(tree);
      if (slot) {
        // A count written now would decide which of the file's slots are accounts.
        std::snprintf(szLine, sizeof(szLine),
                      "FUNCTION %s  LINE %d %s USER_LIST.USER_COUNT is missing but PASSWORD_%u "
                      "holds an account: not written",
                      "SynchronizeUserData", __LINE__, strPath.c_str(), *slot);
        *pstrError = szLine;
        return false;
      }
    }
    // The count only grows: every slot of the file stays inside it, and every record's slot too.
    uint64_t unCount = unFileCount;
    for (size_t p = 0; p < arrCopy.size(); ++p) {
      if (arrCopy[p]) {
        unCount = std::max<uint64_t>(unCount, uint64_t{arrSlots[p]} + 1);
      }
    }
    if (!countText || unFileCount != unCount) {
      tree.put("USER_LIST.USER_COUNT", std::to_string(static_cast<uint32_t>(unCount)));
    }
    for (size_t p = 0; p < arrCopy.size(); ++p) {
      if (!arrCopy[p]) {
        continue;
      }
      const UserStruct& user = *arrCopy[p];
      std::string strIndex = std::to_string(arrSlots[p]);
      std::string strKey = "USER_LIST.PASSWORD_" + strIndex;
      boost::optional<std::string> password = tree.get_optional<std::string>(strKey);
      if (!password) {
        tree.put(strKey, std::string());
      }
      // Compared as the loader reads it, so a slot read and not changed keeps its text.
      std::string strRecordPassword = OneLineText(PasswordText(user));
      if (IniLineValue(password ? *password : std::string()) != strRecordPassword) {
        tree.put(strKey, strRecordPassword);
      }
      strKey = "USER_LIST.ACCOUNT_NO_" + strIndex;
      boost::optional<std::string> accountText = tree.get_optional<std::string>(strKey);
      boost::optional<uint32_t> account = accountText ? StreamNumber(*accountText) : boost::none;
      if (!account || *account != user.unAccountNo) {
        tree.put(strKey, std::to_string(user.unAccountNo));
      }
      strKey = "USER_LIST.TYPE_" + strIndex;
      boost::optional<std::string> typeText = tree.get_optional<std::string>(strKey);
      boost::optional<uint32_t> type = typeText ? StreamNumber(*typeText) : boost::none;
      if (!type || *type != user.unType) {
        tree.put(strKey, std::to_string(user.unType));
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
  size_t unFound = 0;
  for (size_t p = 0; p < arrUserList.size(); ++p) {
    UserStruct* pUser = arrUserList[p];
    if (pUser != nullptr && pUser->unAccountNo == user.unAccountNo) {
      pFound = pUser;
      unFound = p;
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
    store.MarkUserListChanged(arrUserList.size() - 1);
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
  store.MarkUserListChanged(unFound);
  WriteLogF("FUNCTION %s  LINE %d ", kFn, 1361);
}
