#include "service/config_reload.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "config/byte_io.h"
#include "config/run_log.h"
#include "core/data_switch.h"
#include "metrics/gateway_metrics.h"
#include "service/config_check.h"

namespace {

constexpr char kFunction[] = "ReloadConfiguration";

// The index of a client that is out of the pool: no module entry of the metrics has it, so what
// happens to the client there counts for no module.
constexpr uint32_t kOutOfPoolIndex = ModuleSeat::kNewModule;

// What makes a module the same module: the address and port its readers' data goes to. (A new
// management port is the same module, told where its controller now listens: two clients of one
// decode service would pair two readers with it.)
struct ModuleKey {
  std::string strAddress;
  int32_t nPort = 0;
  int32_t nVelmPort = 0;  // not part of the identity
  bool operator==(const ModuleKey& other) const {
    return strAddress == other.strAddress && nPort == other.nPort;
  }
};

ModuleKey KeyOf(const SamvServerEntry& entry) {
  return {std::string(entry.IP, FieldLength(entry.IP)), static_cast<int32_t>(entry.PORT),
          static_cast<int32_t>(entry.VELM_PORT)};
}

ModuleKey KeyOf(const CTcpClient& client) {
  char szAddress[64] = {0};
  ModuleKey key;
  uint32_t unIndex = 0;
  client.GetServerInfo(szAddress, sizeof szAddress, &key.nPort, &key.nVelmPort, &unIndex);
  key.strAddress = szAddress;
  return key;
}

// The first of arrClients (not yet taken) that is the module of key; its position, or npos.
size_t FindModule(const std::vector<ModuleKey>& arrKeys, const std::vector<bool>& arrTaken,
                  const ModuleKey& key) {
  for (size_t i = 0; i < arrKeys.size(); ++i) {
    if (!arrTaken[i] && arrKeys[i] == key) {
      return i;
    }
  }
  return std::string::npos;
}

bool Contains(const std::vector<CTcpClient*>& arr, const CTcpClient* pClient) {
  return std::find(arr.begin(), arr.end(), pClient) != arr.end();
}

void Remove(std::vector<CTcpClient*>& arr, const CTcpClient* pClient) {
  arr.erase(std::remove(arr.begin(), arr.end(), pClient), arr.end());
}

bool SameSpool(const GatewaySettings& a, const GatewaySettings& b) {
  return a.strSpoolDir == b.strSpoolDir && a.unSpoolMaxMb == b.unSpoolMaxMb;
}

bool SameStatus(const StatusSettings& a, const StatusSettings& b) {
  return a.strListen == b.strListen && a.strAllow == b.strAllow &&
         a.unMaxRecordAgeS == b.unMaxRecordAgeS;
}

constexpr const char* kFiles[] = {"SamvList.ini", "SystemConfig.ini", "UserList.ini"};

// The bytes of the file at strPath; none when there is no file. False when it cannot be read.
bool FileBytes(const std::string& strPath, boost::optional<std::string>* pBytes) {
  pBytes->reset();
  std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
  if (pFile == nullptr) {
    return errno == ENOENT;
  }
  std::string strBytes;
  char arrBuffer[4096];
  size_t unRead = 0;
  while ((unRead = std::fread(arrBuffer, 1, sizeof arrBuffer, pFile)) > 0) {
    strBytes.append(arrBuffer, unRead);
  }
  const bool bError = std::ferror(pFile) != 0;
  std::fclose(pFile);
  if (!bError) {
    *pBytes = std::move(strBytes);
  }
  return !bError;
}

// The three files as the reload takes them: each read whole (twice alike, so that an edit in
// place caught half-way is not taken) and copied into a directory of its own, from which every
// reader of the reload reads. A file written meanwhile can thus never give one reader its old
// text, another its new one and a third the defaults of an empty file. The copies go when the
// snapshot does.
class CFileSnapshot {
 public:
  CFileSnapshot() = default;
  CFileSnapshot(const CFileSnapshot&) = delete;
  CFileSnapshot& operator=(const CFileSnapshot&) = delete;
  ~CFileSnapshot() {
    if (m_strDirectory.empty()) {
      return;
    }
    for (const char* szFile : kFiles) {
      (void)std::remove((m_strDirectory + szFile).c_str());
    }
    (void)::rmdir(m_strDirectory.c_str());
  }

  // False with *pstrWhy when a file cannot be taken whole, is empty, or no copy can be made.
  bool Take(const std::string& strDirectory, std::string* pstrWhy) {
    std::vector<boost::optional<std::string>> arrBytes;
    for (const char* szFile : kFiles) {
      boost::optional<std::string> first;
      boost::optional<std::string> second;
      bool bAlike = false;
      for (int nTry = 0; nTry < 5 && !bAlike; ++nTry) {
        if (!FileBytes(strDirectory + szFile, &first) ||
            !FileBytes(strDirectory + szFile, &second)) {
          *pstrWhy = std::string(szFile) + " cannot be read: " + std::strerror(errno);
          return false;
        }
        bAlike = first == second;
      }
      if (!bAlike) {
        *pstrWhy = std::string(szFile) + " changed while it was read; send SIGHUP again";
        return false;
      }
      if (first && first->empty()) {
        // Caught between the truncation and the write of an edit in place, or emptied by
        // mistake: either way not what the operator means the gateway to run on.
        *pstrWhy = std::string(szFile) + " is empty";
        return false;
      }
      arrBytes.push_back(std::move(first));
    }
    // Beside the files (the gateway may write there: commands 81 and 82 do), else in the
    // temporary directory.
    const char* szTmp = std::getenv("TMPDIR");
    for (const std::string& strParent :
         {strDirectory, std::string(szTmp != nullptr && *szTmp != '\0' ? szTmp : "/tmp") + "/"}) {
      std::string strTemplate = strParent + ".cardgate-reload-XXXXXX";
      if (::mkdtemp(&strTemplate[0]) != nullptr) {
        m_strDirectory = strTemplate + "/";
        break;
      }
    }
    if (m_strDirectory.empty()) {
      *pstrWhy = std::string("no directory for a copy of the files: ") + std::strerror(errno);
      return false;
    }
    for (size_t i = 0; i < arrBytes.size(); ++i) {
      if (!arrBytes[i]) {
        continue;  // missing: the readers say so
      }
      std::FILE* pFile = std::fopen((m_strDirectory + kFiles[i]).c_str(), "wb");
      const bool bWritten =
          pFile != nullptr &&
          std::fwrite(arrBytes[i]->data(), 1, arrBytes[i]->size(), pFile) == arrBytes[i]->size();
      if (pFile == nullptr || std::fclose(pFile) != 0 || !bWritten) {
        *pstrWhy = std::string("no copy of ") + kFiles[i] + ": " + std::strerror(errno);
        return false;
      }
    }
    return true;
  }

  const std::string& Directory() const { return m_strDirectory; }

 private:
  std::string m_strDirectory;  // with its trailing slash; empty until taken
};

// Everything the files say, read before anything changes.
struct ReadConfiguration {
  std::vector<std::unique_ptr<SamvServerEntry>> arrModules;
  std::vector<std::unique_ptr<UserStruct>> arrUsers;
  UserPasswordMap mapPasswords;
  SystemConfigStruct stConfig;
  GatewaySettings stSettings;
  SessionLimits stLimits;
  SecuritySettings stSecurity;
  StatusSettings stStatus;
};

const char* StatusWord(ConfigStatus eStatus) {
  return eStatus == ConfigStatus::Missing ? "is missing" : "does not read";
}

// Reads the three files with a store of their own. False with *pstrWhy when one of them is
// missing or does not read.
bool ReadFiles(ConfigStore& store, const SystemConfigStruct& stBase, ReadConfiguration* pRead,
               std::string* pstrWhy) {
  ConfigStatus eStatus = ConfigStatus::Ok;
  std::vector<SamvServerEntry*> arrModules;
  store.BuildSamvResourceList(&arrModules, &eStatus);
  for (SamvServerEntry* p : arrModules) {
    pRead->arrModules.emplace_back(p);
  }
  if (eStatus != ConfigStatus::Ok) {
    *pstrWhy = std::string("SamvList.ini ") + StatusWord(eStatus);
    return false;
  }
  std::vector<UserStruct*> arrUsers;
  store.BuildUserList(&arrUsers, &pRead->mapPasswords, &eStatus);
  for (UserStruct* p : arrUsers) {
    pRead->arrUsers.emplace_back(p);
  }
  if (eStatus != ConfigStatus::Ok) {
    *pstrWhy = std::string("UserList.ini ") + StatusWord(eStatus);
    return false;
  }
  pRead->stConfig = stBase;  // as at start-up, a text too long for its field keeps what it was
  if (!store.GetSystemConfig(&pRead->stConfig, &eStatus)) {
    *pstrWhy = std::string("SystemConfig.ini ") + StatusWord(eStatus);
    return false;
  }
  (void)store.GetGatewaySettings(&pRead->stSettings);
  store.GetSessionLimits(&pRead->stLimits);
  store.GetSecuritySettings(&pRead->stSecurity);
  store.GetStatusSettings(&pRead->stStatus);
  return true;
}

}  // namespace

void ApplyModuleList(DataSwitch& ds, std::vector<SamvServerEntry*> arrEntries,
                     ReloadOutcome* pOutcome) {
  // The keys are read before the pool lock is taken: a client's own lock is never taken under it.
  const std::vector<CTcpClient*> arrActive = ds.m_arrTcpClient;
  std::vector<CTcpClient*> arrRetired;
  {
    boost::mutex::scoped_lock lock(ds.m_mtxPool);
    arrRetired = ds.m_arrRetiredTcpClient;
  }
  std::vector<ModuleKey> arrActiveKeys;
  std::vector<ModuleKey> arrRetiredKeys;
  for (const CTcpClient* p : arrActive) {
    arrActiveKeys.push_back(KeyOf(*p));
  }
  for (const CTcpClient* p : arrRetired) {
    arrRetiredKeys.push_back(KeyOf(*p));
  }
  std::vector<bool> arrActiveKept(arrActive.size(), false);
  std::vector<bool> arrRetiredBack(arrRetired.size(), false);

  // Each entry's client: the one that serves its module now, one kept from an earlier list, or
  // a new one.
  struct Place {
    CTcpClient* pClient = nullptr;
    uint32_t unFormerIndex = ModuleSeat::kNewModule;  // a module that stays
    bool bBack = false;                               // a client back from the retired ones
  };
  std::vector<Place> arrPlaces(arrEntries.size());
  for (size_t i = 0; i < arrEntries.size(); ++i) {
    if (arrEntries[i] == nullptr) {
      continue;
    }
    const ModuleKey key = KeyOf(*arrEntries[i]);
    Place& place = arrPlaces[i];
    size_t unAt = FindModule(arrActiveKeys, arrActiveKept, key);
    if (unAt != std::string::npos) {
      arrActiveKept[unAt] = true;
      place.pClient = arrActive[unAt];
      place.unFormerIndex = place.pClient->Index();
      continue;
    }
    unAt = FindModule(arrRetiredKeys, arrRetiredBack, key);
    if (unAt != std::string::npos) {
      arrRetiredBack[unAt] = true;
      place.pClient = arrRetired[unAt];
      place.bBack = true;
      continue;
    }
    place.pClient = ds.MakeClient(*arrEntries[i], static_cast<uint32_t>(i));
  }
  // A module that stays or comes back with another management port: its client is told (its own
  // lock, before the pool's is taken; the index is set with the pool below).
  for (size_t i = 0; i < arrEntries.size(); ++i) {
    CTcpClient* pClient = arrPlaces[i].pClient;
    if (pClient != nullptr && KeyOf(*pClient).nVelmPort != KeyOf(*arrEntries[i]).nVelmPort) {
      pClient->Configure(arrEntries[i]->IP, static_cast<int32_t>(arrEntries[i]->PORT),
                         static_cast<int32_t>(arrEntries[i]->VELM_PORT), pClient->Index());
    }
  }

  std::vector<CTcpClient*> arrNewActive;
  std::vector<CTcpClient*> arrLeftNow;
  std::vector<ModuleSeat> arrSeats(arrEntries.size());
  {
    // One step under the pool lock, metrics included, so that the pool never shows a module in
    // two places and the states the metrics show change in the pool's order.
    boost::mutex::scoped_lock lock(ds.m_mtxPool);
    for (size_t i = 0; i < arrActive.size(); ++i) {
      if (arrActiveKept[i]) {
        continue;
      }
      CTcpClient* pClient = arrActive[i];
      pClient->SetIndex(kOutOfPoolIndex);
      ds.m_arrRetiredTcpClient.push_back(pClient);
      if (Contains(ds.m_arrBusyTcpClient, pClient)) {
        ++pOutcome->unLeaving;  // leaves at its release
      } else {
        Remove(ds.m_arrFreeTcpClient, pClient);
        Remove(ds.m_arrErrorTcpClient, pClient);
        arrLeftNow.push_back(pClient);
        ++pOutcome->unLeft;
      }
    }
    for (size_t i = 0; i < arrEntries.size(); ++i) {
      const Place& place = arrPlaces[i];
      ModuleSeat& seat = arrSeats[i];
      if (arrEntries[i] != nullptr) {
        seat.strAddress.assign(arrEntries[i]->IP, FieldLength(arrEntries[i]->IP));
        seat.unPort = arrEntries[i]->PORT;
      }
      if (place.pClient == nullptr) {
        seat.eState = ModuleState::Error;  // no client: it serves nobody, as at start-up
        continue;
      }
      place.pClient->SetIndex(static_cast<uint32_t>(i));
      arrNewActive.push_back(place.pClient);
      seat.unFormerIndex = place.unFormerIndex;
      if (place.unFormerIndex != ModuleSeat::kNewModule) {
        continue;
      }
      ++pOutcome->unJoined;
      if (place.bBack) {
        Remove(ds.m_arrRetiredTcpClient, place.pClient);
        if (Contains(ds.m_arrBusyTcpClient, place.pClient)) {
          seat.eState = ModuleState::Busy;  // still with the reader it had: it stays now
          continue;
        }
      }
      ds.m_arrFreeTcpClient.push_back(place.pClient);
    }
    GatewayMetrics().RearrangeModules(arrSeats);
  }
  for (size_t i = 0; i < arrActive.size(); ++i) {
    if (std::find(arrLeftNow.begin(), arrLeftNow.end(), arrActive[i]) != arrLeftNow.end()) {
      WriteLogF("module %s:%d left the pool (no longer in SamvList.ini)",
                arrActiveKeys[i].strAddress.c_str(), arrActiveKeys[i].nPort);
    }
  }
  ds.m_arrTcpClient.swap(arrNewActive);
  for (SamvServerEntry* p : ds.m_arrSamvList) {
    delete p;
  }
  ds.m_arrSamvList.swap(arrEntries);
  pOutcome->unModules = ds.m_arrSamvList.size();
}

ReloadOutcome ReloadConfiguration(DataSwitch& ds, const StatusSettings& stRunningStatus) {
  ReloadOutcome outcome;
  const std::string strDirectory = ds.m_ConfigStore.Directory();
  WriteLogF("FUNCTION %s  LINE %d reloading the configuration in %s", kFunction, __LINE__,
            strDirectory.c_str());
  auto refuse = [&](const std::string& strWhy) {
    outcome.strWhy = strWhy;
    WriteLogF("FUNCTION %s  LINE %d configuration not reloaded: %s; the gateway goes on as it ran",
              kFunction, __LINE__, strWhy.c_str());
    return outcome;
  };

  // Account changes made by readers since the last write-back go to the file first: the file
  // read next must hold them.
  ds.SynchronizeUserData(true);
  {
    boost::mutex::scoped_lock lock(ds.m_mtxUserList);
    if (ds.m_ConfigStore.IsUserListChangePending()) {
      return refuse("account changes cannot be written to UserList.ini");
    }
  }

  // Command 81 writes SystemConfig.ini under this lock: its write lands before the files are
  // taken or after the reload, never between the two.
  boost::mutex::scoped_lock fileLock(ds.m_mtxSystemConfigFile);
  CFileSnapshot snapshot;
  std::string strWhy;
  if (!snapshot.Take(strDirectory, &strWhy)) {
    return refuse(strWhy);
  }
  size_t unErrors = 0;
  std::string strFirstError;
  for (const ConfigProblem& problem : CheckConfiguration(snapshot.Directory())) {
    if (problem.bError) {
      if (unErrors++ == 0) {
        strFirstError = ConfigProblemText(problem);
      }
      WriteLogF("FUNCTION %s  LINE %d %s", kFunction, __LINE__,
                EscapeLogText(ConfigProblemText(problem)).c_str());
    }
  }
  if (unErrors > 0) {
    return refuse(EscapeLogText(strFirstError) +
                  (unErrors > 1 ? " (and " + std::to_string(unErrors - 1) + " more)" : ""));
  }

  // What the readers say (a default taken, a slot skipped) names the files where they live.
  ConfigStore store(snapshot.Directory());
  ReadConfiguration read;
  std::vector<std::string> arrReaderLog;
  bool bRead = false;
  {
    const CRunLogCapture capture(&arrReaderLog);
    bRead = ReadFiles(store, ds.GetSystemConfigCopy(), &read, &strWhy);
  }
  for (std::string& strLine : arrReaderLog) {
    for (size_t unAt = strLine.find(snapshot.Directory()); unAt != std::string::npos;
         unAt = strLine.find(snapshot.Directory(), unAt + strDirectory.size())) {
      strLine.replace(unAt, snapshot.Directory().size(), strDirectory);
    }
    WriteLog(strLine.c_str());
  }
  if (!bRead) {
    return refuse(strWhy);
  }
  CDeviceAllowList allowCheck;
  std::string strAllowError;
  if (!allowCheck.Parse(read.stSecurity.strAllow, &strAllowError)) {
    return refuse("SystemConfig.ini DEVICE.ALLOW: " + EscapeLogText(strAllowError));
  }

  // Nothing can fail from here on.
  // TLS first: an attempt that takes the new log server takes it with its own TLS setting.
  ds.m_LogUpload.SetAnswerTimeout(read.stSettings.unAnswerTimeoutS);
  ds.m_LogUpload.SetTls(TlsSettingsOf(read.stSettings));
  {
    boost::mutex::scoped_lock lock(ds.m_mtxSystemConfig);
    ds.m_stSystemConfig = read.stConfig;
  }
  fileLock.unlock();
  ds.m_LogUpload.RequestReconfigure();  // queued records go where the files now say
  if (!SameSpool(read.stSettings, ds.m_stSettings)) {
    WriteLogF("FUNCTION %s  LINE %d SPOOL.DIR and SPOOL.MAX_MB take effect at the next start",
              kFunction, __LINE__);
  }
  ds.m_stSettings.unAnswerTimeoutS = read.stSettings.unAnswerTimeoutS;
  ds.m_stSettings.bTls = read.stSettings.bTls;
  ds.m_stSettings.strCaFile = read.stSettings.strCaFile;
  ds.m_stSettings.strServerName = read.stSettings.strServerName;

  ds.SetIdleTimeout(read.stLimits.unDeviceIdleTimeoutS);
  ds.SetLoginTimeout(read.stLimits.unDeviceLoginTimeoutS);
  ds.m_unSamvAnswerTimeoutS = read.stLimits.unSamvAnswerTimeoutS;
  CLoginThrottle::Settings stThrottle;
  stThrottle.unMaxFailures = read.stSecurity.unMaxFailures;
  stThrottle.unLockoutS = read.stSecurity.unLockoutS;
  ds.m_LoginThrottle.Retune(stThrottle);
  (void)ds.m_DeviceAllowList.Parse(read.stSecurity.strAllow, nullptr);

  std::vector<UserStruct*> arrOldUsers;
  size_t unAccounts = 0;
  bool bAccountsKept = false;
  {
    boost::mutex::scoped_lock lock(ds.m_mtxUserList);
    if (ds.m_ConfigStore.IsUserListChangePending()) {
      // A reader changed an account after the write-back above: the file read lacks it, and the
      // change must not be lost. The accounts stay as they run until the next reload.
      bAccountsKept = true;
    } else {
      arrOldUsers.swap(ds.m_arrUserList);
      for (std::unique_ptr<UserStruct>& upUser : read.arrUsers) {
        ds.m_arrUserList.push_back(upUser.release());
      }
      ds.m_mapUserPassword.swap(read.mapPasswords);
      ds.m_ConfigStore.AdoptUserSlots(store);
    }
    unAccounts = ds.m_arrUserList.size();
  }
  if (bAccountsKept) {
    WriteLogF("FUNCTION %s  LINE %d accounts not reloaded: one was changed meanwhile", kFunction,
              __LINE__);
  }
  for (UserStruct* p : arrOldUsers) {
    delete p;
  }

  std::vector<SamvServerEntry*> arrEntries;
  for (std::unique_ptr<SamvServerEntry>& upEntry : read.arrModules) {
    arrEntries.push_back(upEntry.release());
  }
  ApplyModuleList(ds, std::move(arrEntries), &outcome);
  if (outcome.unJoined > 0) {
    ds.m_bRtcStarted = false;  // the next pass sets the clocks, the joined modules' with them
    ds.m_unRtcNextEntry = 0;   // from the first module of the new list
  }
  outcome.bStatusChanged = !SameStatus(read.stStatus, stRunningStatus);
  outcome.bApplied = true;
  WriteLogF("FUNCTION %s  LINE %d configuration reloaded: %u modules (%u joined, %u left, %u leave "
            "once their readers have gone), %u accounts",
            kFunction, __LINE__, static_cast<unsigned>(outcome.unModules),
            static_cast<unsigned>(outcome.unJoined), static_cast<unsigned>(outcome.unLeft),
            static_cast<unsigned>(outcome.unLeaving), static_cast<unsigned>(unAccounts));
  ds.WritePoolReport();
  return outcome;
}
