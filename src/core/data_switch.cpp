#include "core/data_switch.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <iterator>
#include <new>


#include "config/byte_io.h"
#include "config/run_log.h"
#include "core/device_dispatch.h"
#include "core/device_frame.h"
#include "decodelog/decode_log_capture.h"
#include "metrics/gateway_metrics.h"

DataSwitch* g_pDataSwitch = nullptr;

namespace {

// A module's connect ends by itself after 100 ms (connected, refused or cancelled), and the
// pairing waits for that end: it logs before the pairing goes on, so a module that did not
// connect is reported before the next one is tried. This bound only covers a thread that is slow
// to report.
constexpr uint32_t kPairConnectWaitMs = 1000;
constexpr uint32_t kRetryConnectWaitMs = 501;  // a module on trial must connect within this
constexpr int64_t kRetryPeriodUs = 6000000;
constexpr size_t kErrorListTextSize = 640;

// "module <address>:<port>", as the operator's window names a module in its recent errors.
std::string ModuleName(const CTcpClient& client) {
  char szIp[64] = {0};
  int32_t nPort = 0;
  uint32_t unIndex = 0;
  client.GetServerInfo(szIp, sizeof(szIp), &nPort, nullptr, &unIndex);
  return "module " + std::string(szIp) + ":" + std::to_string(nPort);
}

void RemoveAll(std::vector<CTcpClient*>& arr, CTcpClient* pClient) {
  arr.erase(std::remove(arr.begin(), arr.end(), pClient), arr.end());
}

// Whether a device chunk starts a card command of the log-in group: its command code is the first
// body byte, behind the length word and the key, masked with key[0] (the mask of body byte 0).
bool StartsCardRead(const uint8_t* pData, uint32_t unCount) {
  constexpr size_t kKeyOffset = 4;
  constexpr size_t kCommandOffset = kKeyOffset + kDeviceKeySize;
  if (unCount <= kCommandOffset) {
    return false;
  }
  uint8_t byCommand = pData[kCommandOffset];
  MaskDeviceBody(&byCommand, 1, pData + kKeyOffset);
  return DeviceCommand::IsCardRead(byCommand);
}

// The device's address for the run log; the session may already be gone, so a failed read of the
// peer address falls back to what the pairing recorded.
void DeviceAddress(const DeviceHandle& hDevice, std::string* pstrIp, int* pnPort, bool bThrow) {
  boost::system::error_code ec;
  boost::asio::ip::tcp::endpoint ep = hDevice->remote_endpoint(ec);
  if (ec) {
    if (bThrow) {
      throw boost::system::system_error(ec, "remote_endpoint");
    }
    pstrIp->clear();
    *pnPort = 0;
    return;
  }
  *pstrIp = ep.address().to_string();
  *pnPort = ep.port();
}

}  // namespace

DataSwitch::DataSwitch(const std::string& strConfigDir, uint16_t unPort)
    : CTcpServer(unPort),
      m_ConfigStore(strConfigDir),
      m_LogUpload(m_DecodeLogQueue, [this] { return GetSystemConfigCopy(); }),
      m_tmStarted(std::chrono::steady_clock::now()) {
  std::memset(&m_stSystemConfig, 0, sizeof(m_stSystemConfig));
  m_VelmApi.Open();
  g_pDataSwitch = this;
}

DataSwitch::~DataSwitch() {
  Stop();
  for (SamvServerEntry* p : m_arrSamvList) {
    delete p;
  }
  m_arrSamvList.clear();
  {
    boost::mutex::scoped_lock lock(m_mtxUserList);
    for (UserStruct* p : m_arrUserList) {
      delete p;
    }
    m_arrUserList.clear();
    m_mapUserPassword.clear();
  }
  m_LogUpload.Stop();
  for (CTcpClient* p : m_arrTcpClient) {
    p->Close();
    delete p;
  }
  for (CTcpClient* p : m_arrRetiredTcpClient) {
    p->Close();
    delete p;
  }
  m_arrRetiredTcpClient.clear();
  for (auto& entry : m_mapStreamGuards) {
    delete entry.second;
  }
  m_mapStreamGuards.clear();
  {
    boost::mutex::scoped_lock lock(m_mtxPool);
    m_arrFreeTcpClient.clear();
    m_arrBusyTcpClient.clear();
    m_arrErrorTcpClient.clear();
  }
  m_arrTcpClient.clear();
  m_LogUpload.m_LogServerLink.Close();
  m_VelmApi.Close();
}

bool DataSwitch::DataSwitchInit(bool bGateway) {
  ConfigStatus eSamv = ConfigStatus::Ok;
  ConfigStatus eUsers = ConfigStatus::Ok;
  ConfigStatus eSystem = ConfigStatus::Ok;
  m_ConfigStore.BuildSamvResourceList(&m_arrSamvList, &eSamv);
  {
    boost::mutex::scoped_lock lock(m_mtxUserList);
    m_mapUserPassword.clear();
    m_ConfigStore.BuildUserList(&m_arrUserList, &m_mapUserPassword, &eUsers);
  }
  SystemConfigStruct stConfig = GetSystemConfigCopy();
  if (m_ConfigStore.GetSystemConfig(&stConfig, &eSystem)) {
    boost::mutex::scoped_lock lock(m_mtxSystemConfig);
    m_stSystemConfig = stConfig;
  }
  (void)m_ConfigStore.GetGatewaySettings(&m_stSettings);
  m_LogUpload.SetAnswerTimeout(m_stSettings.unAnswerTimeoutS);
  m_LogUpload.SetTls(TlsSettingsOf(m_stSettings));
  SecuritySettings stSecurity;
  m_ConfigStore.GetSecuritySettings(&stSecurity);
  CLoginThrottle::Settings stThrottle;
  stThrottle.unMaxFailures = stSecurity.unMaxFailures;
  stThrottle.unLockoutS = stSecurity.unLockoutS;
  m_LoginThrottle.Configure(stThrottle);
  std::string strAllowError;
  const bool bAllowOk = m_DeviceAllowList.Parse(stSecurity.strAllow, &strAllowError);
  if (!bAllowOk) {
    WriteLogF("FUNCTION %s  LINE %d %sSystemConfig.ini DEVICE.ALLOW: %s", "DataSwitchInit",
              __LINE__, m_ConfigStore.Directory().c_str(), EscapeLogText(strAllowError).c_str());
  }
  WriteLogF("Samv Device Size %d", static_cast<int>(m_arrSamvList.size()));
  if (eSamv == ConfigStatus::Malformed || eUsers == ConfigStatus::Malformed ||
      eSystem == ConfigStatus::Malformed || !bAllowOk) {
    // An allow-list that cannot be read must not open the port to everyone either.
    // Running on half a configuration would refuse every log-in or drop every card record
    // without a word: stop before anything is accepted or sent.
    WriteLogF("FUNCTION %s  LINE %d configuration files in %s cannot be read: not started",
              "DataSwitchInit", __LINE__, m_ConfigStore.Directory().c_str());
    return false;
  }
  if (!bGateway) {
    return true;
  }
  for (size_t i = 0; i < m_arrSamvList.size(); ++i) {
    SamvServerEntry* pEntry = m_arrSamvList.at(i);
    if (pEntry == nullptr) {
      WriteLogF("FUNCTION %s  LINE %d m_arrSamvList have NULL", "DataSwitchInit", 65);
      continue;
    }
    CTcpClient* pClient = MakeClient(*pEntry, static_cast<uint32_t>(i));
    if (pClient == nullptr) {
      continue;
    }
    m_arrTcpClient.push_back(pClient);
    boost::mutex::scoped_lock lock(m_mtxPool);
    m_arrFreeTcpClient.push_back(pClient);
  }
  std::vector<ModuleMetrics> arrModules(m_arrSamvList.size());
  for (size_t i = 0; i < m_arrSamvList.size(); ++i) {
    if (const SamvServerEntry* pEntry = m_arrSamvList[i]) {
      arrModules[i].strAddress.assign(pEntry->IP, FieldLength(pEntry->IP));
      arrModules[i].unPort = pEntry->PORT;
    }
  }
  GatewayMetrics().SetModules(arrModules);
  // A module that got no connection object serves nobody: it shows as in ERROR for good.
  std::vector<bool> arrInPool(m_arrSamvList.size(), false);
  for (CTcpClient* pClient : m_arrTcpClient) {
    arrInPool[pClient->Index()] = true;
  }
  for (size_t i = 0; i < arrInPool.size(); ++i) {
    if (!arrInPool[i]) {
      GatewayMetrics().ModuleStateChanged(static_cast<uint32_t>(i), ModuleState::Error);
    }
  }
  SessionLimits stLimits;
  m_ConfigStore.GetSessionLimits(&stLimits);
  SetIdleTimeout(stLimits.unDeviceIdleTimeoutS);
  SetLoginTimeout(stLimits.unDeviceLoginTimeoutS);
  m_unSamvAnswerTimeoutS = stLimits.unSamvAnswerTimeoutS;
  // The records of earlier runs are queued before the first reader can add one.
  OpenDecodeLogSpool();
  SetReceiveCallback(&DataSwitch::VelmServerReceiveCallback);
  SetAcceptCallback(&DataSwitch::VelmServeAcceptCallback);
  SetPairCallback(&DataSwitch::VelmServePairCallback);
  SetCloseCallback(&DataSwitch::VelmServeDisconnectCallback);
  SetQuietCallback(&DataSwitch::VelmServerQuietCallback);
  Start();
  m_LogUpload.RequestReconfigure();  // the upload takes the log server's address before its first try
  return true;
}

// ---- pool ----

CTcpClient* DataSwitch::MakeClient(const SamvServerEntry& entry, uint32_t unIndex) {
  std::unique_ptr<CTcpClient> upClient(new (std::nothrow) CTcpClient());
  std::unique_ptr<CDeviceStreamGuard> upGuard(new (std::nothrow) CDeviceStreamGuard());
  if (!upClient || !upGuard) {
    WriteLogF("FUNCTION %s  LINE %d new CTcpClient false", "DataSwitchInit", 78);
    return nullptr;
  }
  upClient->Configure(entry.IP, static_cast<int32_t>(entry.PORT),
                      static_cast<int32_t>(entry.VELM_PORT), unIndex);
  upClient->SetReceiveCallback(&DataSwitch::SamvClientReceiveCallback);
  boost::mutex::scoped_lock lock(m_mtxStreamGuards);
  m_mapStreamGuards[upClient.get()] = upGuard.release();
  return upClient.release();
}

CTcpClient* DataSwitch::GetFreeTcpClient(CTcpClient* pRelease, CTcpClient* pMark,
                                         bool bTakeError) {
  // Every move between the lists is told to the metrics under the pool lock, so the states
  // they show change in the order the pool made them.
  CGatewayMetrics& metrics = GatewayMetrics();
  boost::mutex::scoped_lock lock(m_mtxPool);
  if (pRelease != nullptr) {
    if (std::find(m_arrRetiredTcpClient.begin(), m_arrRetiredTcpClient.end(), pRelease) !=
        m_arrRetiredTcpClient.end()) {
      // Its server was taken out of SamvList.ini while it served this reader: it leaves now
      // (named once the lock is let go: the client's own lock is never taken under the pool's).
      RemoveAll(m_arrBusyTcpClient, pRelease);
      lock.unlock();
      WriteLogF("%s left the pool (no longer in SamvList.ini)", ModuleName(*pRelease).c_str());
      return nullptr;
    }
    if (pMark == pRelease) {
      m_arrErrorTcpClient.push_back(pRelease);  // mark error
      metrics.ModuleStateChanged(pRelease->Index(), ModuleState::Error);
    } else {
      m_arrFreeTcpClient.push_back(pRelease);  // release
      metrics.ModuleStateChanged(pRelease->Index(), ModuleState::Free);
    }
    RemoveAll(m_arrBusyTcpClient, pRelease);
    return nullptr;
  }
  if (pMark != nullptr) {  // recover
    m_arrFreeTcpClient.push_back(pMark);
    RemoveAll(m_arrErrorTcpClient, pMark);
    metrics.ModuleStateChanged(pMark->Index(), ModuleState::Free);
    return nullptr;
  }
  if (bTakeError) {
    if (m_arrErrorTcpClient.empty()) {
      return nullptr;
    }
    CTcpClient* pClient = m_arrErrorTcpClient.front();
    RemoveAll(m_arrErrorTcpClient, pClient);
    return pClient;
  }
  if (m_arrFreeTcpClient.empty() || m_arrFreeTcpClient.front() == nullptr) {
    return nullptr;
  }
  CTcpClient* pClient = m_arrFreeTcpClient.front();
  RemoveAll(m_arrFreeTcpClient, pClient);
  m_arrBusyTcpClient.push_back(pClient);
  metrics.ModuleStateChanged(pClient->Index(), ModuleState::Busy);
  return pClient;
}

void* DataSwitch::VelmServeAcceptCallback(DeviceHandle hDevice) {
  if (g_pDataSwitch == nullptr) {
    return nullptr;
  }
  return g_pDataSwitch->ProcessVelmServeAccept(hDevice);
}

void* DataSwitch::VelmServePairCallback(DeviceHandle hDevice, void* pContext) {
  if (g_pDataSwitch == nullptr) {
    return nullptr;
  }
  return g_pDataSwitch->ProcessVelmServePair(hDevice, static_cast<CTcpClient*>(pContext));
}

uint32_t DataSwitch::VelmServerReceiveCallback(DeviceHandle hDevice, const uint8_t* pData,
                                               uint32_t unCount, void* pContext) {
  if (g_pDataSwitch == nullptr) {
    return 0;
  }
  return g_pDataSwitch->ProcessVelmServerReceive(hDevice, pData, unCount,
                                                 static_cast<CTcpClient*>(pContext));
}

uint32_t DataSwitch::VelmServerQuietCallback(DeviceHandle hDevice, void* pContext) {
  if (g_pDataSwitch == nullptr) {
    return 0;
  }
  return g_pDataSwitch->ProcessVelmServerQuiet(hDevice, static_cast<CTcpClient*>(pContext));
}

uint32_t DataSwitch::VelmServeDisconnectCallback(DeviceHandle hDevice, void* pContext) {
  if (g_pDataSwitch == nullptr) {
    return 0;
  }
  // The server does not guard the close callback: nothing may escape from here.
  try {
    return g_pDataSwitch->ProcessVelmServeDisconnect(hDevice, static_cast<CTcpClient*>(pContext));
  } catch (const std::exception& e) {
    WriteLogF("FUNCTION %s  LINE %d Exception:%s!", "VelmServeDisconnectCallback", __LINE__,
              e.what());
  } catch (...) {
    WriteLogF("FUNCTION %s  LINE %d Exception:unknown!", "VelmServeDisconnectCallback", __LINE__);
  }
  return 0;
}

uint32_t DataSwitch::SamvClientReceiveCallback(CTcpClient* pClient,
                                               boost::asio::ip::tcp::socket* pSocket,
                                               const uint8_t* pData, uint32_t unCount,
                                               DeviceHandle hPeer) {
  if (g_pDataSwitch == nullptr) {
    return 0;
  }
  // The client's thread does not guard its callback.
  try {
    return ProcessSamvClientReceive(*g_pDataSwitch, pClient, pSocket, hPeer, pData, unCount);
  } catch (const std::exception& e) {
    WriteLogF("FUNCTION %s  LINE %d Exception:%s!", "SamvClientReceiveCallback", __LINE__,
              e.what());
  } catch (...) {
    WriteLogF("FUNCTION %s  LINE %d Exception:unknown!", "SamvClientReceiveCallback", __LINE__);
  }
  return 0;
}

CTcpClient* DataSwitch::ProcessVelmServeAccept(DeviceHandle hDevice) {
  std::string strIp;
  int nPort = 0;
  DeviceAddress(hDevice, &strIp, &nPort, true);  // a failure leaves before a client is taken
  if (!m_DeviceAllowList.Allows(strIp)) {
    // Closed before any module is taken; a host that keeps trying is named once a minute.
    uint32_t unRefused = 0;
    GatewayMetrics().AllowListRefusal();
    if (m_DeviceAllowList.NoteRefusal(strIp, CDeviceAllowList::Clock::now(), &unRefused)) {
      WriteLogF("FUNCTION %s  LINE %d Device Ip:%s is not in DEVICE.ALLOW: connection closed "
                "(%u refused since this address was last named)",
                "ProcessVelmServeAccept", __LINE__, strIp.c_str(), unRefused);
    }
    return nullptr;
  }
  WriteLogF("Device Accept Ip:%s Port: %d!", strIp.c_str(), nPort);
  return TakeClientForDevice(hDevice, strIp);
}

CTcpClient* DataSwitch::TakeClientForDevice(const DeviceHandle& hDevice, const std::string& strIp) {
  CTcpClient* pClient = GetFreeTcpClient(nullptr, nullptr, false);
  WritePoolReport();
  if (pClient == nullptr) {
    WriteLogF("FUNCTION %s  LINE %d GetFreeTcpClient False", "ProcessVelmServeAccept", 213);
    const uint8_t seed[8] = {0};
    SendDeviceReply(*this, hDevice, DeviceCommand::kReplyBusy, nullptr, 0, seed);
    return nullptr;
  }
  pClient->Close();
  if (CDeviceStreamGuard* pGuard = StreamGuardOf(pClient)) {
    pGuard->Reset();  // no session serves this client until the device's starts
  }
  pClient->SetDeviceInfo(strIp.c_str());
  return pClient;
}

CTcpClient* DataSwitch::ProcessVelmServePair(const DeviceHandle& hDevice, CTcpClient* pClient) {
  // A module that does not connect in time goes to ERROR and the device is offered the next
  // FREE one, each with the same bound: only when none is left does it get the busy reply.
  for (;;) {
    if (PairWithDevice(pClient, hDevice)) {
      GatewayMetrics().ModuleSessionServed(pClient->Index());
      return pClient;
    }
    GatewayMetrics().ModuleConnectFailed(pClient->Index());
    GatewayMetrics().NoteError(ModuleName(*pClient) + ": did not connect; now ERROR");
    const std::string strIp = pClient->WithWorkArea([](const DecodeLogRecord& stArea) {
      return std::string(stArea.szDeviceIp, strnlen(stArea.szDeviceIp, sizeof stArea.szDeviceIp));
    });
    // The device lives on with another module: a late connect must not leave this one relaying
    // to it, so the attempt is cancelled here rather than left to end by itself.
    pClient->Close();
    GetFreeTcpClient(pClient, pClient, false);  // BUSY to ERROR
    pClient = TakeClientForDevice(hDevice, strIp);
    if (pClient == nullptr) {
      return nullptr;
    }
  }
}

bool DataSwitch::PairWithDevice(CTcpClient* pClient, const DeviceHandle& hDevice) {
  try {
    pClient->Start(hDevice);
  } catch (...) {
    GetFreeTcpClient(pClient, nullptr, false);  // no thread: the client is free again
    throw;
  }
  char szServerIp[64] = {0};
  int32_t nServerPort = 0;
  int32_t nVelmPort = 0;
  uint32_t unIndex = 0;
  pClient->GetServerInfo(szServerIp, sizeof(szServerIp), &nServerPort, &nVelmPort, &unIndex);
  WriteLogF("Samv Server Ip %s Port %d Index %d", szServerIp, nServerPort,
            static_cast<int>(unIndex));
  return pClient->WaitConnected(kPairConnectWaitMs);
}

CDeviceStreamGuard* DataSwitch::StreamGuardOf(CTcpClient* pClient) {
  boost::mutex::scoped_lock lock(m_mtxStreamGuards);
  auto it = m_mapStreamGuards.find(pClient);
  return it != m_mapStreamGuards.end() ? it->second : nullptr;
}

void DataSwitch::ForwardToSamv(CTcpClient* pClient, const uint8_t* pData, uint32_t unCount,
                               bool bCardRead) {
  uint32_t unAnswerTimeoutS = m_unSamvAnswerTimeoutS.load();
  if (unAnswerTimeoutS > 0 && bCardRead) {
    // Set before the request goes out, so that a quick answer cannot come before it. A module
    // that holds the request past the limit ends the session and goes to ERROR at the release.
    pClient->ExpectAnswerWithin(unAnswerTimeoutS * 1000);
  }
  (void)pClient->SendData(pData, unCount);  // a dead SAMV connection shows at the device's end
  pClient->IncRequestCount();
}

bool DataSwitch::DispatchAndForward(const DeviceHandle& hDevice, const uint8_t* pData,
                                    uint32_t unCount, CTcpClient* pClient) {
  bool bHandled = false;
  uint32_t unResult = ProcessDeviceData(*this, hDevice, pData, unCount, pClient, &bHandled);
  if (unResult == 0) {
    WriteLogF("FUNCTION %s  LINE %d Server Receive:%d!", "ProcessVelmServerReceive", 383,
              static_cast<int>(unCount));
    return false;
  }
  if (bHandled) {
    return false;
  }
  ForwardToSamv(pClient, pData, unCount, StartsCardRead(pData, unCount));
  return true;
}

void DataSwitch::RunStreamGuard(const DeviceHandle& hDevice, CTcpClient* pClient,
                                CDeviceStreamGuard& guard, CDeviceStreamGuard::Action eAction) {
  using Action = CDeviceStreamGuard::Action;
  while (eAction != Action::Hold) {
    const CDeviceStreamGuard::Clock::time_point tmNow = CDeviceStreamGuard::Clock::now();
    const uint32_t unHeld = static_cast<uint32_t>(guard.HeldSize());
    // Every frame is looked at in order; the first refusal drops all of them, and frames
    // answered here (administration) are never forwarded, nor is anything beside them.
    bool bRefused = false;
    bool bAnswered = false;
    bool bCardRead = false;
    for (size_t i = 0; i < guard.FrameCount() && !bRefused; ++i) {
      const CDeviceStreamGuard::Frame& frame = guard.Frames()[i];
      size_t unLength = 0;
      const uint8_t* pFrame = guard.FrameBytes(frame, &unLength);
      bool bHandled = false;
      const uint32_t unResult = ProcessDeviceData(
          *this, hDevice, pFrame, static_cast<uint32_t>(unLength), pClient, &bHandled);
      bRefused = unResult == 0;
      bAnswered = bAnswered || bHandled;
      bCardRead = bCardRead || (!bHandled && unResult != 0);
    }
    if (bRefused) {
      WriteLogF("FUNCTION %s  LINE %d Server Receive:%d!", "ProcessVelmServerReceive", 383,
                static_cast<int>(unHeld));
      eAction = guard.Revert(tmNow);
      continue;
    }
    if (eAction == Action::AsOneFrame && !bAnswered) {
      eAction = DispatchAndForward(hDevice, guard.Held(), unHeld, pClient) ? guard.Commit(tmNow)
                                                                            : guard.Revert(tmNow);
      continue;
    }
    if (bAnswered || unHeld == 0) {
      eAction = guard.Revert(tmNow);
      continue;
    }
    ForwardToSamv(pClient, guard.Held(), unHeld, bCardRead);
    eAction = guard.Commit(tmNow);
  }
}

uint32_t DataSwitch::ProcessVelmServerReceive(DeviceHandle hDevice, const uint8_t* pData,
                                              uint32_t unCount, CTcpClient* pClient) {
  if (!hDevice || pData == nullptr || unCount == 0 || pClient == nullptr) {
    return 0;
  }
  CDeviceStreamGuard* pGuard = StreamGuardOf(pClient);
  if (pGuard == nullptr) {
    (void)DispatchAndForward(hDevice, pData, unCount, pClient);  // a read taken as one frame
    return 0;
  }
  const CDeviceStreamGuard::Action eAction =
      pGuard->Add(pData, unCount, CDeviceStreamGuard::Clock::now());
  RunStreamGuard(hDevice, pClient, *pGuard, eAction);
  return pGuard->HoldWaitMs(CDeviceStreamGuard::Clock::now());
}

uint32_t DataSwitch::ProcessVelmServerQuiet(DeviceHandle hDevice, CTcpClient* pClient) {
  CDeviceStreamGuard* pGuard = hDevice ? StreamGuardOf(pClient) : nullptr;
  if (pGuard == nullptr) {
    return 0;
  }
  const CDeviceStreamGuard::Clock::time_point tmNow = CDeviceStreamGuard::Clock::now();
  RunStreamGuard(hDevice, pClient, *pGuard, pGuard->Expire(tmNow));
  return pGuard->HoldWaitMs(CDeviceStreamGuard::Clock::now());
}

uint32_t DataSwitch::ProcessVelmServeDisconnect(DeviceHandle hDevice, CTcpClient* pClient) {
  if (!hDevice || pClient == nullptr) {
    return 0;
  }
  std::string strIp;
  int nPort = 0;
  DeviceAddress(hDevice, &strIp, &nPort, false);
  if (strIp.empty()) {
    // A reset connection no longer has a peer address; name the device by the address recorded
    // when it was paired.
    strIp = pClient->WithWorkArea([](DecodeLogRecord& area) {
      return std::string(area.szDeviceIp, FieldLength(area.szDeviceIp));
    });
  }
  char szServerIp[64] = {0};
  int32_t nServerPort = 0;
  int32_t nVelmPort = 0;
  uint32_t unIndex = 0;
  pClient->GetServerInfo(szServerIp, sizeof(szServerIp), &nServerPort, &nVelmPort, &unIndex);
  WriteLogF("Device Disconnect Ip:%s Port: %d SamvServerIndex %d", strIp.c_str(), nPort,
            static_cast<int>(unIndex));
  // No answer is relayed or captured once the connection has stopped, so the look for a
  // fingerprint answer still waiting for its second part cannot race with that second part.
  pClient->StopConnection();
  QueueUnfinishedFingerprint(*this, pClient);
  pClient->Close();
  // A module that left a card read unanswered, or stopped reading what was sent to it, goes to
  // ERROR: the retry step tests it again and resets it over UDP, instead of pairing the next
  // device with it.
  if (pClient->AnswerTimedOut()) {
    GatewayMetrics().ModuleAnswerLate(pClient->Index());
    GatewayMetrics().NoteError(ModuleName(*pClient) +
                               ": left a card read unanswered past SAMV.ANSWER_TIMEOUT_S; now "
                               "ERROR");
  } else if (pClient->ServerFailed()) {
    GatewayMetrics().NoteError(ModuleName(*pClient) + ": stopped taking data; now ERROR");
  }
  GetFreeTcpClient(pClient, pClient->ServerFailed() ? pClient : nullptr, false);
  WritePoolReport();
  return 1;
}

void DataSwitch::ProcessSamvErrorClient() {
  boost::posix_time::ptime tmNow = LocalClockNow();
  if (!m_bRetryClockSet) {
    m_bRetryClockSet = true;
    m_tmLastRetry = tmNow;
  }
  int64_t nElapsedUs = (tmNow - m_tmLastRetry).total_microseconds();
  if (nElapsedUs < 0) {
    // The clock was set back. Waiting for it to pass the last retry again would leave a server
    // that has come back unused for as long as the clock went back (a day, a year): count the
    // period from now instead.
    m_tmLastRetry = tmNow;
    return;
  }
  if (nElapsedUs < kRetryPeriodUs) {
    return;
  }
  CTcpClient* pClient = GetFreeTcpClient(nullptr, nullptr, true);
  if (pClient == nullptr) {
    return;
  }
  m_tmLastRetry = LocalClockNow();
  // A module that left a card read unanswered, or stopped reading, usually still accepts
  // connections: it is reset once, as an unreachable one is, before it serves again.
  const bool bLeftReadUnanswered = pClient->ServerFailed();
  pClient->Close();
  try {
    pClient->Start(DeviceHandle());
  } catch (...) {
    // No thread for the connect (the router is short of threads): the client goes back to
    // ERROR for a later retry rather than out of the pool, and the main loop logs the error.
    GetFreeTcpClient(pClient, pClient, false);
    throw;
  }
  const bool bConnected = pClient->WaitConnected(kRetryConnectWaitMs);
  pClient->Close();
  if (bConnected && !bLeftReadUnanswered) {
    GetFreeTcpClient(nullptr, pClient, false);
  } else {
    GetFreeTcpClient(pClient, pClient, false);
    if (!bConnected) {
      GatewayMetrics().ModuleConnectFailed(pClient->Index());
    }
    char szServerIp[64] = {0};
    int32_t nServerPort = 0;
    int32_t nVelmPort = 0;
    uint32_t unIndex = 0;
    pClient->GetServerInfo(szServerIp, sizeof(szServerIp), &nServerPort, &nVelmPort, &unIndex);
    m_VelmApi.SetTarget(szServerIp, static_cast<uint32_t>(nVelmPort));
    const bool bReset = m_VelmApi.ResetMcu();
    GatewayMetrics().ModuleResetSent(pClient->Index());
    GatewayMetrics().NoteError(
        ModuleName(*pClient) + (bConnected ? ": failed before" : ": cannot be reached") +
        (bReset ? "; restart acknowledged" : "; the restart request was not answered"));
    if (bReset) {
      // The module restarts meanwhile. A stop or a status request cuts the pause short; the next
      // retry may then come up to a second sooner.
      (void)m_ManagementYield.Pause(1000);
      m_tmLastRetry = LocalClockNow();
    } else {
      WriteLog("ResetMcu FALSE");
    }
  }
  WritePoolReport();
}

void DataSwitch::GetErrorListText(char* szOut, size_t unSize) {
  if (szOut == nullptr || unSize == 0) {
    return;
  }
  std::vector<CTcpClient*> arrError;
  {
    boost::mutex::scoped_lock lock(m_mtxPool);
    arrError = m_arrErrorTcpClient;
  }
  if (arrError.empty()) {
    return;
  }
  std::string strText;
  for (CTcpClient* pClient : arrError) {
    if (pClient == nullptr) {
      continue;
    }
    char szIp[64] = {0};
    int32_t nPort = 0;
    uint32_t unIndex = 0;
    pClient->GetServerInfo(szIp, sizeof(szIp), &nPort, nullptr, &unIndex);
    if (!strText.empty()) {
      strText += ",";
    }
    strText += szIp;
  }
  CopyText(szOut, unSize, strText.c_str());
}

void DataSwitch::GetPoolSizes(size_t* punBusy, size_t* punFree, size_t* punError) {
  boost::mutex::scoped_lock lock(m_mtxPool);
  *punBusy = m_arrBusyTcpClient.size();
  *punFree = m_arrFreeTcpClient.size();
  *punError = m_arrErrorTcpClient.size();
}

void DataSwitch::WritePoolReport() {
  size_t unBusy = 0;
  size_t unFree = 0;
  size_t unError = 0;
  GetPoolSizes(&unBusy, &unFree, &unError);
  WriteLogF("BUSY %d FREE %d ERROR %d", static_cast<int>(unBusy), static_cast<int>(unFree),
            static_cast<int>(unError));
  if (unError > 0) {
    char szList[kErrorListTextSize] = {0};
    GetErrorListText(szList, sizeof(szList));
    WriteLogF("\033[1;31mERROR LIST: %s\033[0m", szList);
  }
}

// ---- device port guard ----

void DataSwitch::ProcessLoginLockouts() {
  m_LoginThrottle.ExpireLockouts(CLoginThrottle::Clock::now());
}

// ---- card records ----

DecodeLogRecord* DataSwitch::SamvDecodeLogQueue(DecodeLogRecord* pRecord) {
  if (pRecord != nullptr) {
    (void)m_DecodeLogQueue.Push(*pRecord);
    delete pRecord;
    return nullptr;
  }
  std::unique_ptr<DecodeLogRecord> upHead(new DecodeLogRecord);
  uint64_t unTicket = 0;
  if (!m_DecodeLogQueue.Take(&unTicket, upHead.get())) {
    return nullptr;
  }
  m_DecodeLogQueue.Discard(unTicket);
  return upHead.release();
}

void DataSwitch::OpenDecodeLogSpool() {
  std::string strDir = m_stSettings.strSpoolDir;
  if (!strDir.empty() && strDir.front() != '/') {
    strDir = m_ConfigStore.Directory() + strDir;
  }
  m_DecodeLogQueue.Open(strDir, static_cast<uint64_t>(m_stSettings.unSpoolMaxMb) * 1024u * 1024u);
}

void DataSwitch::WriteStatusLine() {
  size_t unBusy = 0;
  size_t unFree = 0;
  size_t unError = 0;
  GetPoolSizes(&unBusy, &unFree, &unError);
  LogUploadOutcomes outcomes = GetLogUploadOutcomes();
  const long long nUptime = static_cast<long long>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                       m_tmStarted)
          .count());
  WriteLogF("STATUS busy=%u free=%u error=%u readers=%u queued=%u spooled=%u delivered=%llu "
            "retried=%llu rejected=%llu dropped=%llu uptime=%llds",
            static_cast<unsigned>(unBusy), static_cast<unsigned>(unFree),
            static_cast<unsigned>(unError), static_cast<unsigned>(SessionCount()),
            static_cast<unsigned>(m_DecodeLogQueue.Size()),
            static_cast<unsigned>(m_DecodeLogQueue.Spooled()),
            static_cast<unsigned long long>(outcomes.unDelivered),
            static_cast<unsigned long long>(outcomes.unRetried),
            static_cast<unsigned long long>(outcomes.unRejected),
            static_cast<unsigned long long>(m_DecodeLogQueue.Dropped()), nUptime);
}

// ---- settings ----

SystemConfigStruct DataSwitch::GetSystemConfigCopy() {
  boost::mutex::scoped_lock lock(m_mtxSystemConfig);
  return m_stSystemConfig;
}

uint32_t DataSwitch::LogServerPort() {
  boost::mutex::scoped_lock lock(m_mtxSystemConfig);
  return m_stSystemConfig.unLogServerPort;
}

DataSwitch::SettingsWrite DataSwitch::ApplySystemConfig(
    const SystemConfigStruct& stConfig,
    const std::function<bool(const SystemConfigStruct&)>& fnIsAdministrator) {
  boost::mutex::scoped_lock fileLock(m_mtxSystemConfigFile);
  if (fnIsAdministrator && !fnIsAdministrator(GetSystemConfigCopy())) {
    return SettingsWrite::NotAdministrator;
  }
  SystemConfigStruct stFresh;
  if (!m_ConfigStore.SetSystemConfig(&stConfig, nullptr, &stFresh)) {
    return SettingsWrite::NotSaved;  // the store has said why; memory keeps the old settings
  }
  {
    boost::mutex::scoped_lock lock(m_mtxSystemConfig);
    m_stSystemConfig = stFresh;
  }
  m_LogUpload.RequestReconfigure();
  return SettingsWrite::Written;
}

// ---- user accounts ----

void DataSwitch::SetUserInfo(const UserStruct& stUser) {
  ::SetUserInfo(m_ConfigStore, m_arrUserList, m_mapUserPassword, m_mtxUserList, stUser);
}

void DataSwitch::SynchronizeUserData(bool bNow) {
  m_ConfigStore.SynchronizeUserData(&m_arrUserList, m_mtxUserList, bNow);
}
