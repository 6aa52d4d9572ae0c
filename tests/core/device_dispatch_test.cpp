#include "core/device_dispatch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "core/data_switch.h"
#include "net/tcp_client.h"
#include "support/loopback.h"
#include "support/test_util.h"

namespace {

const uint8_t kKey[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
const uint8_t kRead[8] = {0};
const uint8_t kWrite[8] = {1};

std::vector<uint8_t> LoginPayload(uint32_t unAccount, const std::string& strPassword,
                                  size_t unLength = 1206) {
  std::vector<uint8_t> p(unLength, 0);
  for (size_t i = 0; i < 32 && i < p.size(); ++i) {
    p[i] = static_cast<uint8_t>(0xC0 + i);
  }
  if (p.size() >= 38) {
    PutLe32(p.data() + 34, unAccount);
  }
  if (p.size() >= 54) {
    std::memcpy(p.data() + 38, strPassword.data(), std::min<size_t>(strPassword.size(), 16));
  }
  if (p.size() >= 182) {
    std::memset(p.data() + 54, 0x55, 64);
    std::memcpy(p.data() + 118, "DEV-01", 6);
  }
  if (p.size() >= 200) {
    std::memcpy(p.data() + 182, "{\"order\":7}", 11);
  }
  return p;
}

std::vector<uint8_t> AdminPayload(const char* szUser, const char* szPassword,
                                  size_t unExtra = 0) {
  std::vector<uint8_t> p(724 + unExtra, 0);
  std::memcpy(p.data(), szUser, std::strlen(szUser));
  std::memcpy(p.data() + 32, szPassword, std::strlen(szPassword));
  return p;
}

class DeviceDispatchTest : public ::testing::Test {
 protected:
  DeviceDispatchTest() {
    m_dir.Write("SystemConfig.ini",
                "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=admin\nPASSWORD=adminpw\n[LOG_SERVER]\n"
                "IP_ADDRESS=127.0.0.1\nPORT=9\nHTTP_LOG_URL=/log\nAPP_KEY=app\n"
                "SECRET_KEY=0123456789abcdef\nSIGN=s\n");
    std::string users = "[USER_LIST]\nUSER_COUNT=41\n";
    for (int i = 0; i < 40; ++i) {
      users += "PASSWORD_" + std::to_string(i) + "=pw" + std::to_string(i) + "\nACCOUNT_NO_" +
               std::to_string(i) + "=" + std::to_string(1000 + i) + "\nTYPE_" + std::to_string(i) +
               "=" + (i == 39 ? "1" : "0") + "\n";
    }
    m_dir.Write("UserList.ini", users);
    m_upSwitch.reset(new DataSwitch(m_dir.Path(), 0));
    EXPECT_TRUE(m_upSwitch->DataSwitchInit(false));
  }

  uint32_t Dispatch(const std::vector<uint8_t>& frame, bool* pbHandled) {
    return ProcessDeviceData(*m_upSwitch, m_pair.Gateway(), frame.data(),
                             static_cast<uint32_t>(frame.size()), &m_client, pbHandled);
  }
  UnmaskedReply Reply() {
    UnmaskedReply r = UnmaskReply(m_pair.ReadReply(), kKey);
    EXPECT_TRUE(r.bValid);
    EXPECT_TRUE(r.bKeyMatches);
    return r;
  }

  TempDir m_dir;
  std::unique_ptr<DataSwitch> m_upSwitch;
  CTcpClient m_client;
  LoopbackPair m_pair;
};

}  // namespace

TEST_F(DeviceDispatchTest, OtherCommandsAndShortChunksPassUnanswered) {
  struct Row {
    const char* name;
    std::vector<uint8_t> chunk;
  } rows[] = {
      {"command 4", MakeDeviceRequest(kKey, 4, kRead, std::vector<uint8_t>(10, 7))},
      {"3 bytes", {1, 2, 3}},
      {"23 bytes", std::vector<uint8_t>(23, 0xFF)},
      {"command 84", MakeDeviceRequest(kKey, 84, kRead, {})},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    bool bHandled = true;
    EXPECT_EQ(Dispatch(r.chunk, &bHandled), 1u);
    EXPECT_FALSE(bHandled);
  }
  EXPECT_TRUE(m_pair.NothingWithin(std::chrono::milliseconds(100)));
}

TEST_F(DeviceDispatchTest, LoginChecksLengthAccountAndPassword) {
  m_upSwitch->m_mapUserPassword[77] = "";  // a stored empty password never logs in
  struct Row {
    const char* name;
    std::vector<uint8_t> payload;
    const char* error;
  } rows[] = {
      {"181-byte payload", LoginPayload(1000, "pw0", 181),
       "UserAccount Or Password DataLength Error!"},
      {"wrong password", LoginPayload(1000, "pw1"), "UserAccount Or Password Error!"},
      {"unknown account", LoginPayload(5, "pw0"), "UserAccount Or Password Error!"},
      {"type 1 account", LoginPayload(1039, "pw39"), "UserAccount Or Password Error!"},
      {"empty stored password", LoginPayload(77, ""), "UserAccount Or Password Error!"},
      {"password prefix", LoginPayload(1000, "pw"), "UserAccount Or Password Error!"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    bool bHandled = true;
    EXPECT_EQ(Dispatch(MakeDeviceRequest(kKey, 9, kRead, r.payload), &bHandled), 0u);
    EXPECT_FALSE(bHandled);
    UnmaskedReply reply = Reply();
    EXPECT_EQ(reply.byCode, 1);
    ASSERT_EQ(reply.payload.size(), 1024u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.payload.data()) + 42), r.error);
    EXPECT_EQ(reply.payload[41], 0);
  }
}

TEST_F(DeviceDispatchTest, LoginSuccessFillsTheWorkAreaAndForwards) {
  const uint8_t param[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (uint8_t byCommand : {1, 14, 59, 71, 78}) {
    SCOPED_TRACE(static_cast<int>(byCommand));
    bool bHandled = true;
    EXPECT_EQ(Dispatch(MakeDeviceRequest(kKey, byCommand, param, LoginPayload(1000, "pw0", 182)),
                       &bHandled),
              1u);
    EXPECT_FALSE(bHandled);
  }
  DecodeLogRecord* pArea = m_client.GetWorkArea();
  EXPECT_EQ(pArea->unAccountNo, 1000u);
  EXPECT_EQ(pArea->arrRequestHead[31], 0xC0 + 31);
  EXPECT_EQ(0, std::memcmp(pArea->arrRequestParam, param, 8));
  EXPECT_EQ(pArea->arrUserInfo[63], 0x55);
  EXPECT_STREQ(pArea->szDeviceId, "DEV-01");
  EXPECT_EQ(pArea->szTransData[0], 0);  // a 182-byte payload carries no transaction text
  EXPECT_TRUE(m_pair.NothingWithin(std::chrono::milliseconds(100)));
}

TEST_F(DeviceDispatchTest, AdminCheckAndRefusals) {
  bool bHandled = false;
  EXPECT_EQ(Dispatch(MakeDeviceRequest(kKey, 83, kRead, AdminPayload("admin", "adminpw")), &bHandled),
            1u);
  EXPECT_TRUE(bHandled);
  UnmaskedReply r = Reply();
  EXPECT_EQ(r.byCode, 83);
  EXPECT_EQ(r.payload, std::vector<uint8_t>{1});

  for (uint8_t byCommand : {81, 82, 83}) {
    SCOPED_TRACE(static_cast<int>(byCommand));
    Dispatch(MakeDeviceRequest(kKey, byCommand, kRead, AdminPayload("admin", "wrong")), &bHandled);
    EXPECT_TRUE(bHandled);
    r = Reply();
    EXPECT_EQ(r.byCode, 83);
    EXPECT_EQ(r.payload, std::vector<uint8_t>{0});
  }
}

TEST_F(DeviceDispatchTest, SystemConfigReadAndWrite) {
  bool bHandled = false;
  Dispatch(MakeDeviceRequest(kKey, 81, kRead, AdminPayload("admin", "adminpw")), &bHandled);
  UnmaskedReply r = Reply();
  EXPECT_EQ(r.byCode, 81);
  ASSERT_EQ(r.payload.size(), 724u);
  SystemConfigStruct cfg;
  DecodeSystemConfig(r.payload.data(), &cfg);
  EXPECT_STREQ(cfg.szLogServerIp, "127.0.0.1");
  EXPECT_EQ(cfg.unLogServerPort, 9u);

  // Write with a new password and a new log server.
  CopyText(cfg.szNewPassword, "fresh");
  CopyText(cfg.szLogServerIp, "10.0.0.9");
  cfg.unLogServerPort = 8088;
  std::vector<uint8_t> payload(724);
  EncodeSystemConfig(cfg, payload.data());
  m_upSwitch->m_LogUpload.m_bLogServerReconfigure = false;
  Dispatch(MakeDeviceRequest(kKey, 81, kWrite, payload), &bHandled);
  r = Reply();
  EXPECT_EQ(r.byCode, 81);
  EXPECT_TRUE(r.payload.empty());
  SystemConfigStruct now = m_upSwitch->GetSystemConfigCopy();
  EXPECT_STREQ(now.szPassword, "fresh");
  EXPECT_EQ(now.unLogServerPort, 8088u);
  EXPECT_TRUE(m_upSwitch->m_LogUpload.m_bLogServerReconfigure);
  std::string file = m_dir.Read("SystemConfig.ini");
  EXPECT_NE(file.find("PASSWORD=fresh\n"), std::string::npos) << file;
  EXPECT_NE(file.find("IP_ADDRESS=10.0.0.9\n"), std::string::npos);

  // A write whose new password equals the password keeps it and still rewrites the rest.
  cfg = now;
  CopyText(cfg.szNewPassword, "fresh");
  CopyText(cfg.szSign, "newsign");
  EncodeSystemConfig(cfg, payload.data());
  Dispatch(MakeDeviceRequest(kKey, 81, kWrite, payload), &bHandled);
  Reply();
  EXPECT_STREQ(m_upSwitch->GetSystemConfigCopy().szPassword, "fresh");
  EXPECT_STREQ(m_upSwitch->GetSystemConfigCopy().szSign, "newsign");

  // Writing back a record as read (empty new-password field) keeps the password.
  Dispatch(MakeDeviceRequest(kKey, 81, kRead, AdminPayload("admin", "fresh")), &bHandled);
  r = Reply();
  ASSERT_EQ(r.payload.size(), 724u);
  DecodeSystemConfig(r.payload.data(), &cfg);
  EXPECT_EQ(cfg.szNewPassword[0], 0);
  Dispatch(MakeDeviceRequest(kKey, 81, kWrite, r.payload), &bHandled);
  Reply();
  EXPECT_STREQ(m_upSwitch->GetSystemConfigCopy().szPassword, "fresh");
}

// Command 81 tells the device of success only when the file holds the settings and a restart
// would read them: otherwise the refusal (83 with 0), and memory and file keep the old settings.
TEST_F(DeviceDispatchTest, SettingsWriteThatWouldNotReadBackOrNotLandIsRefused) {
  const std::string strFile = m_dir.Read("SystemConfig.ini");
  const SystemConfigStruct stBefore = m_upSwitch->GetSystemConfigCopy();
  struct Row {
    const char* szName;
    std::string strNewPassword;
    std::string strSign;
    bool bBlockFile;
    bool bEditedUnderTheWrite;  // the written file is changed before it is read back
  } rows[] = {
      {"16-character new password", std::string(16, 'n'), "s", false, false},
      {"sign with an end blank", "", "s ", false, false},
      {"file cannot be replaced", "fresh", "s", true, false},
      {"file does not read back as written", "fresh", "s2", false, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    SystemConfigStruct cfg = stBefore;
    std::memset(cfg.szNewPassword, 0, sizeof(cfg.szNewPassword));
    std::memcpy(cfg.szNewPassword, r.strNewPassword.data(), r.strNewPassword.size());
    CopyText(cfg.szSign, r.strSign.c_str());
    std::vector<uint8_t> payload(724);
    EncodeSystemConfig(cfg, payload.data());
    if (r.bBlockFile) {
      ASSERT_EQ(::mkdir(m_dir.File("SystemConfig.ini.tmp").c_str(), 0755), 0);
    }
    if (r.bEditedUnderTheWrite) {
      m_upSwitch->m_ConfigStore.SetSettingsWrittenHook([this](const std::string&) {
        m_dir.Write("SystemConfig.ini", "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=admin\n");
      });
    }
    m_upSwitch->m_LogUpload.m_bLogServerReconfigure = false;
    bool bHandled = false;
    EXPECT_EQ(Dispatch(MakeDeviceRequest(kKey, 81, kWrite, payload), &bHandled), 1u);
    EXPECT_TRUE(bHandled);
    UnmaskedReply reply = Reply();
    EXPECT_EQ(reply.byCode, 83);
    EXPECT_EQ(reply.payload, std::vector<uint8_t>{0});
    if (r.bBlockFile) {
      ASSERT_EQ(::rmdir(m_dir.File("SystemConfig.ini.tmp").c_str()), 0);
    }
    m_upSwitch->m_ConfigStore.SetSettingsWrittenHook(nullptr);
    EXPECT_EQ(m_dir.Read("SystemConfig.ini"), strFile);
    const SystemConfigStruct stNow = m_upSwitch->GetSystemConfigCopy();
    EXPECT_EQ(0, std::memcmp(&stBefore, &stNow, sizeof(stBefore)));
    EXPECT_FALSE(m_upSwitch->m_LogUpload.m_bLogServerReconfigure);
  }
  bool bHandled = false;
  Dispatch(MakeDeviceRequest(kKey, 83, kRead, AdminPayload("admin", "adminpw")), &bHandled);
  EXPECT_EQ(Reply().payload, std::vector<uint8_t>{1});
}

// The administrator is checked under the lock that orders the writes, against the settings of
// that moment: a write checked with a password that another administrator has changed since
// does not land (it would put the old password back).
TEST_F(DeviceDispatchTest, SettingsWriteIsCheckedAgainstThePasswordOfItsTurn) {
  SystemConfigStruct cfg = m_upSwitch->GetSystemConfigCopy();
  CopyText(cfg.szPassword, "changed");
  ASSERT_EQ(m_upSwitch->ApplySystemConfig(cfg), DataSwitch::SettingsWrite::Written);
  const std::string strFile = m_dir.Read("SystemConfig.ini");
  SystemConfigStruct stStale = cfg;
  CopyText(stStale.szPassword, "adminpw");
  CopyText(stStale.szSign, "stale");
  std::string strSeen;
  EXPECT_EQ(m_upSwitch->ApplySystemConfig(stStale,
                                          [&](const SystemConfigStruct& stNow) {
                                            strSeen = stNow.szPassword;
                                            return strSeen == "adminpw";
                                          }),
            DataSwitch::SettingsWrite::NotAdministrator);
  EXPECT_EQ(strSeen, "changed");
  EXPECT_EQ(m_dir.Read("SystemConfig.ini"), strFile);
  EXPECT_STREQ(m_upSwitch->GetSystemConfigCopy().szPassword, "changed");
}

// Administrators on several devices write the settings at once: every write finds a whole file
// (never an empty one, which would read as log server port 0 and an empty administrator), and the
// settings in memory end equal to the file's.
TEST_F(DeviceDispatchTest, ConcurrentSettingsWritesLeaveFileAndMemoryAgreeing) {
  constexpr int kThreads = 4;
  constexpr int kWrites = 25;
  const SystemConfigStruct stBase = m_upSwitch->GetSystemConfigCopy();
  std::vector<std::thread> writers;
  std::atomic<int> nEmptied{0};
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) {
        SystemConfigStruct cfg = stBase;
        cfg.unLogServerPort = static_cast<uint32_t>(10000 + t * 100 + i);
        m_upSwitch->ApplySystemConfig(cfg);
        SystemConfigStruct now = m_upSwitch->GetSystemConfigCopy();
        if (now.unLogServerPort == 0 || std::strcmp(now.szPassword, "adminpw") != 0) {
          ++nEmptied;
        }
      }
    });
  }
  for (std::thread& w : writers) {
    w.join();
  }
  EXPECT_EQ(nEmptied.load(), 0);
  SystemConfigStruct stFile;
  std::memset(&stFile, 0, sizeof(stFile));
  ConfigStore store(m_dir.Path());
  ASSERT_TRUE(store.GetSystemConfig(&stFile));
  SystemConfigStruct stMemory = m_upSwitch->GetSystemConfigCopy();
  EXPECT_EQ(stFile.unLogServerPort, stMemory.unLogServerPort);
  EXPECT_GE(stMemory.unLogServerPort, 10000u);
  EXPECT_STREQ(stFile.szPassword, "adminpw");
}

TEST_F(DeviceDispatchTest, UserListPagesOfAtMostThirtySix) {
  struct Row {
    uint32_t unStart;
    size_t unRecords;
  } rows[] = {{0, 36}, {36, 4}, {40, 0}, {0xFFFFFFFF, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.unStart);
    uint8_t param[8] = {0};
    PutLe32(param + 4, row.unStart);
    bool bHandled = false;
    Dispatch(MakeDeviceRequest(kKey, 82, param, AdminPayload("admin", "adminpw")), &bHandled);
    UnmaskedReply r = Reply();
    EXPECT_EQ(r.byCode, 82);
    ASSERT_EQ(r.payload.size(), row.unRecords * 28);
    if (row.unRecords > 0) {
      UserStruct u;
      DecodeUser(r.payload.data(), &u);
      EXPECT_EQ(u.unAccountNo, 1000 + row.unStart);
      EXPECT_EQ(u.unIndex, row.unStart);
    }
  }
}

TEST_F(DeviceDispatchTest, UserWriteAddsAnAccountThatLogsInAtOnce) {
  UserStruct u;
  std::memset(&u, 0, sizeof(u));
  u.unAccountNo = 4242;
  CopyText(u.szPassword, sizeof(u.szPassword), "newpw");
  u.unIndex = 99;
  std::vector<uint8_t> payload = AdminPayload("admin", "adminpw", 28);
  EncodeUser(u, payload.data() + 724);
  bool bHandled = false;
  Dispatch(MakeDeviceRequest(kKey, 82, kWrite, payload), &bHandled);
  UnmaskedReply r = Reply();
  EXPECT_EQ(r.byCode, 82);
  EXPECT_TRUE(r.payload.empty());
  ASSERT_EQ(m_upSwitch->m_arrUserList.size(), 41u);
  EXPECT_EQ(m_upSwitch->m_arrUserList.back()->unIndex, 40u);
  EXPECT_EQ(Dispatch(MakeDeviceRequest(kKey, 1, kRead, LoginPayload(4242, "newpw")), &bHandled), 1u);
}

TEST_F(DeviceDispatchTest, BusyReplyCarriesTheFixedKey) {
  const uint8_t zero[8] = {0};
  SendDeviceReply(*m_upSwitch, m_pair.Gateway(), 50, nullptr, 0, zero);
  std::vector<uint8_t> frame = m_pair.ReadReply();
  ASSERT_EQ(frame.size(), 16u);
  const uint8_t key[8] = {0x5E, 0xA2, 0x17, 0xC9, 0x03, 0xD4, 0x88, 0x6B};
  EXPECT_EQ(0, std::memcmp(frame.data() + 4, key, 8));
  EXPECT_EQ(UnmaskReply(frame, zero).byCode, 50);
}

// Any bytes of any length: forwarded, answered or refused, never a crash.
TEST_F(DeviceDispatchTest, ArbitraryBytesNeverCrash) {
  uint32_t unState = 12345;
  std::vector<uint8_t> chunk;
  for (int n = 0; n < 3000; ++n) {
    unState = unState * 1103515245u + 12345u;
    size_t unLength = (unState >> 8) % 4097;
    chunk.resize(unLength);
    for (auto& b : chunk) {
      unState = unState * 1103515245u + 12345u;
      b = static_cast<uint8_t>(unState >> 16);
    }
    bool bHandled = false;
    ProcessDeviceData(*m_upSwitch, m_pair.Gateway(), chunk.data(),
                      static_cast<uint32_t>(chunk.size()), &m_client, &bHandled);
    m_pair.Drain();
  }
  SUCCEED();
}

// The account write never shows its password, and hostile transaction text cannot forge a line
// or send a terminal escape, refused or not.
TEST_F(DeviceDispatchTest, RunLogHoldsNoPasswordAndNoRawControlByte) {
  testing::internal::CaptureStdout();
  UserStruct u;
  std::memset(&u, 0, sizeof(u));
  u.unAccountNo = 4243;
  CopyText(u.szPassword, sizeof(u.szPassword), "Secret-77");
  std::vector<uint8_t> payload = AdminPayload("admin", "adminpw", 28);
  EncodeUser(u, payload.data() + 724);
  bool bHandled = false;
  Dispatch(MakeDeviceRequest(kKey, 82, kWrite, payload), &bHandled);
  Reply();
  std::vector<uint8_t> login = LoginPayload(1000, "wrong");
  const char kHostile[] = "x\r\n2030-01-01 00:00:00.000000 [Only Text]\x1b[2J\xff 张三";
  std::memcpy(login.data() + 182, kHostile, sizeof(kHostile));
  Dispatch(MakeDeviceRequest(kKey, 1, kRead, login), &bHandled);
  Reply();
  const std::string strOut = testing::internal::GetCapturedStdout();
  EXPECT_EQ(strOut.find("Secret-77"), std::string::npos) << strOut;
  EXPECT_NE(strOut.find("unAccountNo 4243, unIndex 0, szPassword ***,unType 0"), std::string::npos)
      << strOut;
  EXPECT_NE(strOut.find("QuorvexSerialId[x\\x0d\\x0a2030-01-01 00:00:00.000000 [Only Text]"
                        "\\x1b[2J\\xff 张三]"),
            std::string::npos)
      << strOut;
  // Every line is one stamp, one bracketed text, CR LF: no raw control byte inside.
  for (char c : strOut) {
    const unsigned char uc = static_cast<unsigned char>(c);
    EXPECT_TRUE(uc >= 0x20 || c == '\r' || c == '\n') << static_cast<int>(uc);
  }
  EXPECT_EQ(strOut.find("\n2030-01-01"), std::string::npos);
}

// A password changed by command 82 replaces the old one at once; a type made non-zero stops the
// account at once.
TEST_F(DeviceDispatchTest, AccountChangesTakeEffectAtOnce) {
  auto WriteUser = [&](uint32_t unAccount, const char* szPassword, uint32_t unType) {
    UserStruct u;
    std::memset(&u, 0, sizeof(u));
    u.unAccountNo = unAccount;
    CopyText(u.szPassword, sizeof(u.szPassword), szPassword);
    u.unType = unType;
    std::vector<uint8_t> payload = AdminPayload("admin", "adminpw", 28);
    EncodeUser(u, payload.data() + 724);
    bool bHandled = false;
    Dispatch(MakeDeviceRequest(kKey, 82, kWrite, payload), &bHandled);
    EXPECT_EQ(Reply().byCode, 82);
  };
  auto LogsIn = [&](uint32_t unAccount, const char* szPassword) {
    bool bHandled = false;
    uint32_t unResult =
        Dispatch(MakeDeviceRequest(kKey, 1, kRead, LoginPayload(unAccount, szPassword)), &bHandled);
    if (unResult == 0) {
      Reply();
    }
    return unResult == 1;
  };
  ASSERT_TRUE(LogsIn(1001, "pw1"));
  WriteUser(1001, "changed", 0);
  EXPECT_FALSE(LogsIn(1001, "pw1"));
  EXPECT_TRUE(LogsIn(1001, "changed"));
  WriteUser(1001, "changed", 1);
  EXPECT_FALSE(LogsIn(1001, "changed"));
  EXPECT_TRUE(LogsIn(1002, "pw2"));  // the others are untouched
}
