#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/mutex.hpp>

#include "config/config_store.h"
#include "config/system_config.h"
#include "config/user_struct.h"
#include "decodelog/decode_log_capture.h"
#include "decodelog/decode_log_queue.h"
#include "decodelog/decode_log_record.h"
#include "decodelog/log_upload.h"
#include "core/device_allow_list.h"
#include "core/device_stream_guard.h"
#include "core/login_throttle.h"
#include "mgmt/management_yield.h"
#include "mgmt/velm_api.h"
#include "net/tcp_client.h"
#include "net/tcp_server.h"

// The one central object of the gateway: it is the device server, owns the pool of SAMV
// connections (one CTcpClient per server of SamvList.ini, moved between FREE, BUSY and ERROR),
// the log-server connection, the configuration, the user accounts, the queue of card records
// and the management channel. Static callbacks find it through g_pDataSwitch.
//
// Locks, never nested: m_mtxPool (the pool lists), m_mtxStreamGuards, m_mtxUserList (user list, account table,
// change mark), m_mtxSystemConfig (m_stSystemConfig); the record queue has its own. The run
// log's lock may be taken under any of them. None is held while sleeping, polling or sending.
// One more, m_mtxSystemConfigFile, is held across command 81's rewrite and re-read of
// SystemConfig.ini so that two administrators' writes cannot cross; m_mtxSystemConfig (and no
// other) is taken under it.
//
// Members are public because the subsystems that work on the switch (frame dispatch, capture,
// upload, module management) are free functions or live in their own files; each member says
// which lock or thread owns it.
class DataSwitch : public CTcpServer {
 public:
  // Binds the device port (kDevicePort in the gateway; tests may pass 0) and opens the
  // management channel. strConfigDir holds the INI files (the executable's directory in the
  // gateway). Throws the server's and the channel's errors.
  explicit DataSwitch(const std::string& strConfigDir, uint16_t unPort = kDevicePort);
  ~DataSwitch();

  // Reads the three INI files; in gateway mode also creates the pool, opens the record spool,
  // registers the callbacks, starts accepting and configures the log-server client. Returns false (and starts nothing)
  // when a file exists but cannot be read or parsed: the gateway must not run on half a
  // configuration. Missing files are logged and give empty settings.
  bool DataSwitchInit(bool bGateway);

  // ---- pool (device sessions) ----
  // The five forms: release (c, other), mark error (c, c), recover (null, c), take (null, null,
  // false), take error (null, null, true). Whole operation under m_mtxPool.
  CTcpClient* GetFreeTcpClient(CTcpClient* pRelease, CTcpClient* pMark, bool bTakeError);
  static void* VelmServeAcceptCallback(DeviceHandle hDevice);
  static uint32_t VelmServerReceiveCallback(DeviceHandle hDevice, const uint8_t* pData,
                                            uint32_t unCount, void* pContext);
  static uint32_t VelmServeDisconnectCallback(DeviceHandle hDevice, void* pContext);
  static uint32_t SamvClientReceiveCallback(CTcpClient* pClient,
                                            boost::asio::ip::tcp::socket* pSocket,
                                            const uint8_t* pData, uint32_t unCount,
                                            DeviceHandle hPeer);
  static void* VelmServePairCallback(DeviceHandle hDevice, void* pContext);
  // Accept thread: the allow list, then a FREE client for the device (TakeClientForDevice).
  // Null when the device is refused, or (after the busy reply) when no client is free. The
  // connect is left to the session thread (ProcessVelmServePair), so the next device is taken on
  // while this one's module connects.
  CTcpClient* ProcessVelmServeAccept(DeviceHandle hDevice);
  // Takes a FREE client (now BUSY), clears it and records the device in its work area; null
  // after the pool line, the "GetFreeTcpClient False" line and the busy reply when none is free.
  CTcpClient* TakeClientForDevice(const DeviceHandle& hDevice, const std::string& strIp);
  // Session thread, before the device's first read: pairs the device with pClient, or with the
  // next FREE client when pClient's module does not connect within its 100 ms (pClient goes to
  // ERROR), and so on. Null (after the busy reply) when none is left.
  CTcpClient* ProcessVelmServePair(const DeviceHandle& hDevice, CTcpClient* pClient);
  // Starts pClient (taken by TakeClientForDevice) for the device and waits for its connection.
  // True when it is up in time; false leaves it BUSY for the caller to mark.
  bool PairWithDevice(CTcpClient* pClient, const DeviceHandle& hDevice);
  // Session thread: one read of the device. Its frames are looked at (log-in check, local
  // answers) and what passes goes to the SAMV server, as soon as every frame in it could be
  // looked at whole; until then the bytes are held. Returns the milliseconds until the held
  // bytes are due (ProcessVelmServerQuiet), 0 when nothing is held.
  uint32_t ProcessVelmServerReceive(DeviceHandle hDevice, const uint8_t* pData, uint32_t unCount,
                                    CTcpClient* pClient);
  // Session thread: the device sent nothing more; held bytes that are due are decided now.
  uint32_t ProcessVelmServerQuiet(DeviceHandle hDevice, CTcpClient* pClient);
  static uint32_t VelmServerQuietCallback(DeviceHandle hDevice, void* pContext);
  // The stream guard of the session a pool client serves; null for a client outside the pool.
  CDeviceStreamGuard* StreamGuardOf(CTcpClient* pClient);
  uint32_t ProcessVelmServeDisconnect(DeviceHandle hDevice, CTcpClient* pClient);  // session thread
  // Main thread: retries one ERROR client, at most every 6 s. The pause after a module's restart
  // ends early when m_ManagementYield asks.
  void ProcessSamvErrorClient();
  // IP texts of the ERROR clients joined by ","; an empty list leaves szOut unchanged.
  void GetErrorListText(char* szOut, size_t unSize);
  // "BUSY %d FREE %d ERROR %d" and, with errors, the red ERROR LIST line.
  void WritePoolReport();
  void GetPoolSizes(size_t* punBusy, size_t* punFree, size_t* punError);

  // ---- card records ----
  // Push (record given: a copy is queued and the record deleted; returns null) or pop (null: the
  // oldest record, removed from the queue for good and owned by the caller, or null).
  DecodeLogRecord* SamvDecodeLogQueue(DecodeLogRecord* pRecord);
  size_t DecodeLogQueueSize() { return m_DecodeLogQueue.Size(); }
  // Opens the spool (SPOOL.DIR, relative to the configuration directory unless absolute, and
  // SPOOL.MAX_MB) and queues what earlier runs left in it. DataSwitchInit in gateway mode, before
  // the first reader is accepted.
  void OpenDecodeLogSpool();
  // One run-log line: "STATUS busy=B free=F error=E readers=R queued=Q spooled=S delivered=D
  // retried=T rejected=J dropped=P uptime=Us".
  void WriteStatusLine();
  // Stops accepting readers (the listening socket is shut): the clean stop.
  void StopAccepting() { CTcpServer::StopAccepting(); }

  // ---- settings ----
  SystemConfigStruct GetSystemConfigCopy();
  uint32_t LogServerPort();
  // Device command 81 (write), all under m_mtxSystemConfigFile: fnIsAdministrator (when given)
  // is asked about the settings in memory at that moment, so a write checked against a password
  // that another administrator has just changed does not land; then SystemConfig.ini is
  // rewritten and read back (ConfigStore::SetSystemConfig). Only a write that reads back as
  // written reaches memory and asks the upload to take the new log-server settings before its
  // next attempt.
  enum class SettingsWrite { Written, NotAdministrator, NotSaved };
  SettingsWrite ApplySystemConfig(
      const SystemConfigStruct& stConfig,
      const std::function<bool(const SystemConfigStruct&)>& fnIsAdministrator = nullptr);

  // ---- user accounts ----
  void SetUserInfo(const UserStruct& stUser);
  // Writes pending account changes back 11 s after the last one, or at once with bNow (stop).
  void SynchronizeUserData(bool bNow = false);

  // ---- device port guard ----
  // Main loop: ends (and logs) the lockouts of the throttle that have run out.
  void ProcessLoginLockouts();
  // Carries out the guard's decisions until it holds (or has nothing): looks at the frames,
  // answers or refuses, forwards what passed.
  void RunStreamGuard(const DeviceHandle& hDevice, CTcpClient* pClient, CDeviceStreamGuard& guard,
                      CDeviceStreamGuard::Action eAction);
  // Looks at one frame (or read taken as one) and forwards it when it passes: the dispatch as
  // the gateway always did it for a read. True when forwarded.
  bool DispatchAndForward(const DeviceHandle& hDevice, const uint8_t* pData, uint32_t unCount,
                          CTcpClient* pClient);
  void ForwardToSamv(CTcpClient* pClient, const uint8_t* pData, uint32_t unCount,
                     bool bCardRead);

  // ---- module management (main thread) ----
  void LogBuildTime();
  void ProcessVelmApiGetMcuSerailNo(const char* szAddress, int32_t nPort);
  void ProcessVelmApiGetMcuRtc(const char* szAddress, int32_t nPort);
  void ProcessVelmApiSetMcuRtc(const char* szAddress, int32_t nPort);
  void ProcessVelmApiResetMcu(const char* szAddress, int32_t nPort);
  void ProcessVelmApiCommand(const char* szAddress, int32_t nPort, const char* szCommand);
  // Walks the modules at the first call and then once an hour; gives the loop back between two
  // modules when m_ManagementYield asks, and goes on from there at the next call.
  void ProcessSamvSetRtc();

  // A client for the server of entry (its place unIndex), with its stream guard; not yet in any
  // pool list. Owned by the switch from then on. Main thread (start-up, reload).
  CTcpClient* MakeClient(const SamvServerEntry& entry, uint32_t unIndex);

  // Pool lists (m_mtxPool). m_arrTcpClient holds the client of each server of SamvList.ini, in
  // its order; main thread (start-up, reload, destruction).
  std::vector<CTcpClient*> m_arrFreeTcpClient;
  std::vector<CTcpClient*> m_arrBusyTcpClient;
  std::vector<CTcpClient*> m_arrErrorTcpClient;
  std::vector<CTcpClient*> m_arrTcpClient;
  // Clients of servers that a reload took out of SamvList.ini (m_mtxPool). One that is still BUSY
  // serves its reader to the end and then leaves the pool instead of going back to FREE. They
  // are kept (closed) for a server that comes back, so that their number stays that of the
  // servers ever configured. Every client, in a list or not, is deleted with the switch.
  std::vector<CTcpClient*> m_arrRetiredTcpClient;
  // One stream guard per client, made with it and kept as long as it (m_mtxStreamGuards guards
  // the map; each guard is used by the session thread of the device its client serves).
  boost::mutex m_mtxStreamGuards;
  boost::unordered_map<CTcpClient*, CDeviceStreamGuard*> m_mapStreamGuards;
  ConfigStore m_ConfigStore;                  // change mark under m_mtxUserList
  std::vector<SamvServerEntry*> m_arrSamvList;  // owned; main thread (start-up, reload)
  std::vector<UserStruct*> m_arrUserList;     // owned; m_mtxUserList
  UserPasswordMap m_mapUserPassword;          // m_mtxUserList
  SystemConfigStruct m_stSystemConfig;        // m_mtxSystemConfig; starts zero-filled
  // The spool's settings are those of the start; the rest is the main thread's (a reload).
  GatewaySettings m_stSettings;
  boost::mutex m_mtxPool;
  boost::mutex m_mtxUserList;
  boost::mutex m_mtxSystemConfig;
  boost::mutex m_mtxSystemConfigFile;
  CDecodeLogQueue m_DecodeLogQueue;           // the card records; locks itself
  CLogUpload m_LogUpload;                     // owns the log-server link; upload thread
  CVelmApi m_VelmApi;                         // main thread only
  std::chrono::steady_clock::time_point m_tmStarted;  // for the status line's uptime
  // Failed log-ins and administrator checks per reader address (SECURITY.*); locks itself.
  CLoginThrottle m_LoginThrottle;
  // DEVICE.ALLOW: the readers that may connect; set at start-up and by a reload, read by the
  // accept thread (it locks itself).
  CDeviceAllowList m_DeviceAllowList;
  // SAMV.ANSWER_TIMEOUT_S, set at start-up and by a reload: how long a module may hold a card
  // read (0 = no limit).
  std::atomic<uint32_t> m_unSamvAnswerTimeoutS{0};

  // Main-loop clocks (main thread only): the retry step and the clock synchronisation.
  bool m_bRetryClockSet = false;
  boost::posix_time::ptime m_tmLastRetry;
  bool m_bRtcStarted = false;
  boost::posix_time::ptime m_tmLastRtcSync;
  // Where a clock synchronisation that gave the loop back goes on: the next entry of
  // m_arrSamvList; 0 when none is under way.
  size_t m_unRtcNextEntry = 0;
  // When the retry step and the clock synchronisation give the loop back (main thread).
  CManagementYield m_ManagementYield;
};

// The log server's TLS settings as SystemConfig.ini gives them.
inline LogServerTlsSettings TlsSettingsOf(const GatewaySettings& stSettings) {
  LogServerTlsSettings stTls;
  stTls.bTls = stSettings.bTls;
  stTls.strCaFile = stSettings.strCaFile;
  stTls.strServerName = stSettings.strServerName;
  return stTls;
}

// Set once by the constructor, before any callback can run; never reset.
extern DataSwitch* g_pDataSwitch;

// The capture and the upload work on the record queue and what else they need; these forms hand
// them the data switch's.
inline uint32_t ProcessSamvClientReceive(DataSwitch& ds, CTcpClient* pClient,
                                         boost::asio::ip::tcp::socket* pSocket,
                                         DeviceHandle hDevice, const uint8_t* pData,
                                         uint32_t unCount) {
  return ProcessSamvClientReceive(ds.m_DecodeLogQueue, ds.LogServerPort(), pClient, pSocket,
                                  std::move(hDevice), pData, unCount);
}
inline void QueueUnfinishedFingerprint(DataSwitch& ds, CTcpClient* pClient) {
  QueueUnfinishedFingerprint(ds.m_DecodeLogQueue, ds.LogServerPort(), pClient);
}
inline uint32_t ProcessSendSamvDecodeLog(DataSwitch& ds) {
  return ds.m_LogUpload.ProcessSendSamvDecodeLog();
}
