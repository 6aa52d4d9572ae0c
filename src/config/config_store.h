#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/optional/optional.hpp>
#include <boost/property_tree/ptree_fwd.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/unordered_map.hpp>

#include "config/system_config.h"
#include "config/user_struct.h"

// What became of one configuration file operation, for callers that must tell a missing file
// (the gateway goes on) from one the INI reader rejected or that could not be read or written
// (at start-up the gateway stops).
enum class ConfigStatus { Ok, Missing, Malformed };

// Settings of SystemConfig.ini beyond the device record, with their defaults.
struct GatewaySettings {
  std::string strSpoolDir = "spool";  // SPOOL.DIR as written: empty means memory only
  uint32_t unSpoolMaxMb = 16;         // SPOOL.MAX_MB, at least 1
  uint32_t unAnswerTimeoutS = 10;     // LOG_SERVER.ANSWER_TIMEOUT_S, at least 1
  bool bTls = false;                  // LOG_SERVER.TLS: 1 uploads over verified TLS
  std::string strCaFile = "/etc/ssl/certs/ca-certificates.crt";  // LOG_SERVER.CA_FILE
  std::string strServerName;          // LOG_SERVER.SERVER_NAME; empty: the IP_ADDRESS
};

// True when strValue is a plain decimal number of 32 bits (digits only); *punValue is then it.
bool ParseIniNumber(const std::string& strValue, uint32_t* punValue);

// A value of an INI file read as a decimal unsigned 32-bit number. An absent key gives 0; a value
// that is not a plain decimal number of 32 bits ("2 ; two slots", "-1", "0x10") is no number.
// Returns false for no number, after logging "FUNCTION <szFunction>  LINE <nLine> <path> <key>
// value "<value>" is not a number" (the value escaped): the file is then unusable.
bool GetIniNumber(const boost::property_tree::ptree& tree, const std::string& strKey,
                  uint32_t* punValue, const char* szFunction, int nLine,
                  const std::string& strPath);

// Limits on device sessions from SystemConfig.ini, in seconds; 0 turns a limit off. They are not
// part of the settings record that devices read and write.
struct SessionLimits {
  static constexpr uint32_t kDefaultDeviceIdleS = 60;
  static constexpr uint32_t kDefaultSamvAnswerS = 10;
  static constexpr uint32_t kDefaultDeviceLoginS = 5;
  // A day: more would overflow the millisecond waits; far beyond any sensible setting.
  static constexpr uint32_t kMaxS = 86400;
  uint32_t unDeviceIdleTimeoutS = kDefaultDeviceIdleS;  // DEVICE.IDLE_TIMEOUT_S
  uint32_t unSamvAnswerTimeoutS = kDefaultSamvAnswerS;  // SAMV.ANSWER_TIMEOUT_S
  uint32_t unDeviceLoginTimeoutS = kDefaultDeviceLoginS;  // DEVICE.LOGIN_TIMEOUT_S
};

// What guards the device port, from SystemConfig.ini; not part of the record devices read.
struct SecuritySettings {
  static constexpr uint32_t kDefaultMaxFailures = 5;
  static constexpr uint32_t kMaxMaxFailures = 1000;
  static constexpr uint32_t kDefaultLockoutS = 60;
  static constexpr uint32_t kMaxLockoutS = 3600;
  uint32_t unMaxFailures = kDefaultMaxFailures;  // SECURITY.MAX_FAILURES; 0: no throttling
  uint32_t unLockoutS = kDefaultLockoutS;        // SECURITY.LOCKOUT_S, 1 to kMaxLockoutS
  std::string strAllow;                          // DEVICE.ALLOW as written; empty: every address
};

// The operator's window (the status listener), from SystemConfig.ini; not part of the record
// devices read.
struct StatusSettings {
  static constexpr uint32_t kDefaultMaxRecordAgeS = 600;
  static constexpr uint32_t kMaxMaxRecordAgeS = 604800;  // a week
  std::string strListen;  // STATUS.LISTEN as written ("address:port"); empty: no listener
  std::string strAllow;   // STATUS.ALLOW as written; empty: whoever reaches the listener
  uint32_t unMaxRecordAgeS = kDefaultMaxRecordAgeS;  // STATUS.MAX_RECORD_AGE_S, 1 to a week
};

// Account number -> password of every account that may log in (type 0).
using UserPasswordMap = boost::unordered_map<uint32_t, std::string>;

// Reads and writes the three INI files (SamvList.ini, SystemConfig.ini, UserList.ini) through
// Boost.PropertyTree. Every operation works on a tree of its own that lives only for the call,
// so the file operations may run on any thread; they take no lock. The only state is the
// directory the files live in and the user-list change mark, which is guarded by the data
// switch's user-list lock (the REQUIRES below).
class ConfigStore {
 public:
  // The files live in GetConfigDirectory() (beside the running executable, unless
  // CARDGATE_CONFIG_DIR names another directory).
  ConfigStore();
  // The files live in strDirectory (tests). A non-empty directory must end with "/".
  explicit ConfigStore(std::string strDirectory);

  const std::string& Directory() const { return m_strDirectory; }
  std::string PathOf(const char* szFileName) const { return m_strDirectory + szFileName; }

  // Appends one new entry per server of SamvList.ini (the list is not cleared). True when the
  // file was read and SAMV_COUNT is not 0. A missing or malformed file is logged and appends
  // nothing; *pStatus (optional) tells which.
  bool BuildSamvResourceList(std::vector<SamvServerEntry*>* pList, ConfigStatus* pStatus = nullptr);

  // Fills *pConfig from SystemConfig.ini. A text too long for its field leaves the field as it
  // was; an absent key empties it. False (record untouched) when the file is missing or malformed.
  bool GetSystemConfig(SystemConfigStruct* pConfig, ConfigStatus* pStatus = nullptr);

  // Fills *pSettings from SystemConfig.ini; keys that are absent keep their defaults, a number
  // that does not read (or is 0 where 0 makes no sense) is logged and keeps its default. False
  // when the file is missing or malformed (the defaults stand).
  bool GetGatewaySettings(GatewaySettings* pSettings);

  // Fills *pLimits from SystemConfig.ini. A key that is absent keeps its default; a value that
  // is not a whole number of seconds up to SessionLimits::kMaxS is logged and keeps the default.
  // A missing or malformed file leaves the defaults (GetSystemConfig reports the file).
  void GetSessionLimits(SessionLimits* pLimits);

  // Fills *pSettings from SystemConfig.ini, like GetSessionLimits: absent keys keep their
  // defaults; a number out of its range is logged and keeps its default. DEVICE.ALLOW is taken
  // as one line of text; the caller parses it.
  void GetSecuritySettings(SecuritySettings* pSettings);

  // Fills *pSettings from SystemConfig.ini, like GetSecuritySettings: absent keys keep their
  // defaults, a number out of its range is logged and keeps its default; LISTEN and ALLOW are
  // taken as text for the caller to parse.
  void GetStatusSettings(StatusSettings* pSettings);

  // Rewrites the eight keys of SystemConfig.ini from *pConfig, keeping every other key and
  // section, then reads the file back and compares. A text that the reader would not give back
  // as it stands (one that fills its field, has blanks at either end or holds a line end) is
  // refused with a run-log line naming the key, and nothing is written. A missing file is not
  // created. False when refused, missing, malformed, not writable, or not read back as written
  // (the old settings are then put back). On true, *pReadBack (optional) is the record as read
  // back from the file, its new-password field empty.
  bool SetSystemConfig(const SystemConfigStruct* pConfig, ConfigStatus* pStatus = nullptr,
                       SystemConfigStruct* pReadBack = nullptr);

  // fn is called with the path once SetSystemConfig has replaced SystemConfig.ini, before the
  // file is read back. Tests stand in there for what no write of this gateway causes: an edit
  // from outside or storage that does not keep what it was given. Set before any write.
  void SetSettingsWrittenHook(std::function<void(const std::string&)> fn) {
    m_fnSettingsWritten = std::move(fn);
  }

  // Reads UserList.ini into the list (new zero-filled records) and the table (type 0 only).
  // True when at least one slot was read. A file whose USER_COUNT is absent while a slot holds
  // an account is malformed. Remembers each record's slot for the write-back.
  // REQUIRES: the user-list lock is held, or no other thread runs yet.
  bool BuildUserList(std::vector<UserStruct*>* pList, UserPasswordMap* pTable,
                     ConfigStatus* pStatus = nullptr);

  // A reload: the list that other (a store of the same directory) has just read replaces this
  // store's, so its records' slots are taken over. REQUIRES: the user-list lock is held and no
  // change is pending.
  void AdoptUserSlots(const ConfigStore& other) {
    m_arrUserSlots = other.m_arrUserSlots;
    m_unNextUserSlot = other.m_unNextUserSlot;
    m_arrUserChanged.clear();
  }

  // The record at unPosition of the list was added or changed; the write-back writes it (and
  // only the records so marked: what an operator edited in the file meanwhile stays).
  // REQUIRES: the user-list lock is held.
  void MarkUserListChanged(size_t unPosition);
  bool IsUserListChangePending() const { return m_bUserListChangePending; }  // REQUIRES: lock

  // Main loop: writes the list back to UserList.ini once 11 s have passed since the last change.
  // Takes mtxUserList itself to test the mark and to copy the records, does the file work after
  // releasing it, and clears the mark only once the file holds the change. Never throws; a file
  // that is missing or cannot be read or written is tried again on the next call, its failure
  // logged once (and a later success after it).
  // bNow writes pending changes at once (the stop).
  void SynchronizeUserData(const std::vector<UserStruct*>* pList, boost::mutex& mtxUserList,
                           bool bNow = false);

 private:
  // Gives every record of the copy that has no slot in UserList.ini yet the next free one and
  // returns the slot of each position in *parrSlots. False when a record finds no slot left
  // (the file's count is at the 32-bit limit). REQUIRES: the user-list lock is held.
  bool PlaceUserRecords(const std::vector<boost::optional<UserStruct>>& arrCopy,
                        std::vector<uint32_t>* parrSlots);
  // The file work of SynchronizeUserData: record p goes to slot arrSlots[p]. False with the
  // run-log line in *pstrError.
  bool WriteUserList(const std::vector<boost::optional<UserStruct>>& arrCopy,
                     const std::vector<uint32_t>& arrSlots, std::string* pstrError);

  std::string m_strDirectory;
  std::function<void(const std::string&)> m_fnSettingsWritten;  // tests only
  boost::posix_time::ptime m_tmUserListChanged;  // not-a-date-time until the first change
  bool m_bUserListChangePending = false;
  std::string m_strUserListWriteError;  // the last write-back failure logged; main thread only
  // Slot in UserList.ini of each list position: the slot a record was read from, or the one an
  // added account was given at its first write-back (0xFFFFFFFF: not placed yet). Added accounts
  // take slots from m_unNextUserSlot on, which starts at the file's USER_COUNT, so a slot of the
  // file (one skipped at start-up too) is never written over. Guarded by the user-list lock.
  std::vector<uint32_t> m_arrUserSlots;
  uint64_t m_unNextUserSlot = 0;
  // Per list position: changed since the last write-back (user-list lock).
  std::vector<bool> m_arrUserChanged;
};

// Device command 82 (write): adds a new account or changes the password and type of an existing
// one in the list, under mtxUserList. Every change reaches the log-in table at once: a new or
// changed type-0 account logs in with its new password only; a type that becomes non-zero
// removes the account from the table.
void SetUserInfo(ConfigStore& store, std::vector<UserStruct*>& arrUserList,
                 UserPasswordMap& mapUserPassword, boost::mutex& mtxUserList,
                 const UserStruct& user);

// Reads the INI file at strPath into *pTree: sections become children of the root, their keys
// children of the sections, in file order; blanks around names and values are trimmed, lines
// starting with ';' or '#' are comments, and a section without keys is left out. Throws
// std::runtime_error naming the file and line ("<path>(<line>): <fault>": unmatched '[',
// duplicate section name, '=' character not found in line, key expected, duplicate key name,
// read error; "<path>: cannot open file"); *pTree is then as it was. Reads without the stream
// library, whose locale machinery would otherwise be linked into the router binary for this alone.
void ReadIniFile(const std::string& strPath, boost::property_tree::ptree* pTree);

// The INI text of tree: root keys first ("KEY=VALUE" lines), then each section ("[NAME]" and its
// keys). Throws std::runtime_error ("<unspecified file>: <fault>") for a tree the format cannot
// hold: data on the root, a duplicate key, data beside keys, or a tree deeper than sections.
std::string IniText(const boost::property_tree::ptree& tree);

// A value as the stream extraction of an unsigned 32-bit number reads it: blanks around it, an
// optional sign ('-' wraps around), decimal digits, within 32 bits; anything else is none.
boost::optional<uint32_t> StreamNumber(const std::string& strValue);

// Replaces the INI file at strPath (the file a symbolic link names, if it is one) with tree: the
// text goes to "<file>.tmp" beside it, reaches the disk, and is renamed over the file, and the
// directory is synced so the rename itself survives a power cut. A reader, or a power cut, meets
// the old file or the new one, never an empty or half-written one, and once this returns the
// new one. Throws
// std::exception when any step fails; the file is then as it was.
void WriteIniFile(const std::string& strPath, const boost::property_tree::ptree& tree);

// Whether anything exists under strPath (what stat finds; a path it cannot search counts as
// nothing there).
bool PathExists(const std::string& strPath);

// Locates a configuration file: true when anything exists under strPath (a directory too, which
// then fails to read); otherwise logs "FUNCTION <szFunction>  LINE <nLine> <path> Not Exist!".
bool ConfigFileExists(const char* szFunction, int nLine, const std::string& strPath);

// Trims the C isspace set from both ends.
std::string TrimText(const std::string& strText);

// A text value as it goes into an INI file: cut at its first line end, which would add keys.
std::string OneLineText(const std::string& strText);

// A value read from an INI file as one line of text: it ends at a NUL byte (as it does in the
// record it is copied into) or a lone CR (as it is written back, OneLineText), and is trimmed
// as the reader trims every value, so that what is written back reads back the same.
std::string IniLineValue(const std::string& strValue);
