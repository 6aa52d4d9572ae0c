// The built gateway between real simulator peers: card reads, relaying, the pool, log-ins,
// administration and card capture.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "device_sim.h"
#include "gateway_fixture.h"
#include "logserver_sim.h"
#include "mcu_sim.h"
#include "samv_sim.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint16_t kGatewayPort = 31213;

std::unique_ptr<CSamvSim> StartSamv(SamvSimMode eMode, SamvCardKind eKind = SamvCardKind::Text) {
  SamvSimOptions options;
  options.eMode = eMode;
  options.eCardKind = eKind;
  return std::unique_ptr<CSamvSim>(new CSamvSim(options));
}

std::unique_ptr<CMcuSim> StartMcu() {
  std::unique_ptr<CMcuSim> upMcu(new CMcuSim(0));
  upMcu->Start();
  return upMcu;
}

LoginRequest Login(uint32_t unAccount = 1001, const std::string& strPassword = "pass1001") {
  LoginRequest r;
  r.byCommand = 1;
  r.unAccountNo = unAccount;
  r.strPassword = strPassword;
  r.strUserInfo = "operator-7";
  r.strDeviceId = "READER-42";
  r.strTransData = "{\"order\":\"A-17\",\"lane\":3}";
  return r;
}

bool Connect(CDeviceSimClient& device) { return device.Connect("127.0.0.1", kGatewayPort); }

class GatewayTest : public ::testing::Test {
 protected:
  GatewayRun m_gateway;
};

}  // namespace

TEST_F(GatewayTest, CardReadReachesTheDeviceAndTheLogServer) {
  std::unique_ptr<CSamvSim> upSamv = StartSamv(SamvSimMode::Card, SamvCardKind::Photo);
  std::unique_ptr<CMcuSim> upMcu = StartMcu();
  LogServerSimOptions logOptions;
  logOptions.strSecretKey = "0123456789abcdef";
  CLogServerSim logServer(logOptions);
  logServer.Start();
  m_gateway.SetModules({{upSamv->Port(), upMcu->Port()}});
  m_gateway.SetLogServer(logServer.Port());
  ASSERT_TRUE(m_gateway.Start());

  CDeviceSimClient device;
  ASSERT_TRUE(Connect(device));
  CardReadResult result;
  ASSERT_EQ(device.ReadCard(Login(), &result), ReadStatus::Ok);
  ASSERT_FALSE(result.bRefused);
  ASSERT_EQ(result.arrAnswer.size(), 1311u);
  CardTextFields fields;
  ASSERT_TRUE(DecodeCardText(UnmaskAnswer(result.arrAnswer), &fields));
  EXPECT_EQ(fields.strName, "张三");
  EXPECT_TRUE(m_gateway.WaitForLog("[Text Image]"));
  EXPECT_TRUE(m_gateway.WaitForLog("QuorvexSerialId[{\"order\":\"A-17\",\"lane\":3}]"));

  ASSERT_TRUE(WaitFor([&] { return logServer.ValidDocuments() >= 1; }, seconds(30)))
      << m_gateway.Process().Output();
  LogServerDocument doc = logServer.Documents().front();
  EXPECT_EQ(doc.strPath, "/card/log");
  EXPECT_EQ(doc.mapCard["name"], "张三");
  EXPECT_EQ(doc.mapCard["nation"], "汉");
  EXPECT_EQ(doc.mapCard["deviceId"], "READER-42");
  EXPECT_EQ(doc.strTransData, "{\"lane\":3,\"order\":\"A-17\"}");
  EXPECT_TRUE(m_gateway.WaitForLog("nReceiveSuccessCount 1"));
}

TEST_F(GatewayTest, RelaysBytesUnchangedBothWays) {
  std::unique_ptr<CSamvSim> upSamv = StartSamv(SamvSimMode::Echo);
  m_gateway.SetModules({{upSamv->Port(), 0}});
  ASSERT_TRUE(m_gateway.Start());
  CDeviceSimClient device;
  ASSERT_TRUE(Connect(device));
  const uint8_t key[8] = {9, 8, 7, 6, 5, 4, 3, 2};
  std::vector<uint8_t> payload(3000);
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(i * 31 + 7);
  }
  std::vector<uint8_t> frame = BuildDeviceRequest(key, 4, nullptr, payload.data(), payload.size());
  std::vector<uint8_t> small = {1, 2, 3};
  ASSERT_TRUE(device.Send(frame));
  std::vector<uint8_t> back;
  ASSERT_EQ(device.ReadRaw(frame.size(), &back, seconds(10)), ReadStatus::Ok);
  EXPECT_EQ(back, frame);
  ASSERT_TRUE(device.Send(small));
  ASSERT_EQ(device.ReadRaw(3, &back, seconds(10)), ReadStatus::Ok);
  EXPECT_EQ(back, small);
  ASSERT_TRUE(WaitFor([&] { return upSamv->BytesReceived() == frame.size() + 3; }));
}

TEST_F(GatewayTest, ThirdDeviceGetsTheBusyReplyAndAFreedServerIsReused) {
  std::unique_ptr<CSamvSim> upA = StartSamv(SamvSimMode::Silent);
  std::unique_ptr<CSamvSim> upB = StartSamv(SamvSimMode::Silent);
  m_gateway.SetModules({{upA->Port(), 0}, {upB->Port(), 0}});
  ASSERT_TRUE(m_gateway.Start());

  CDeviceSimClient first, second, third, fourth;
  ASSERT_TRUE(Connect(first));
  ASSERT_TRUE(WaitFor([&] { return upA->Accepted() == 1; }));
  ASSERT_TRUE(Connect(second));
  ASSERT_TRUE(WaitFor([&] { return upB->Accepted() == 1; }));
  ASSERT_TRUE(Connect(third));
  const uint8_t zero[8] = {0};
  DeviceReply reply;
  ASSERT_EQ(third.ReadReply(zero, &reply), ReadStatus::Ok);
  EXPECT_EQ(reply.byCode, 50);
  EXPECT_EQ(reply.unLengthWord, 16u);
  EXPECT_TRUE(reply.bKeyOk);
  const uint8_t fixedKey[8] = {0x5E, 0xA2, 0x17, 0xC9, 0x03, 0xD4, 0x88, 0x6B};
  EXPECT_EQ(0, std::memcmp(reply.arrKey, fixedKey, 8));
  EXPECT_EQ(third.WaitForClose(), ReadStatus::Closed);
  EXPECT_TRUE(m_gateway.WaitForLog("GetFreeTcpClient False"));

  first.Close();
  ASSERT_TRUE(m_gateway.WaitForLog("Device Disconnect"));
  // The first accept reported the same counts; wait for the release's own report.
  ASSERT_TRUE(WaitFor([&] { return m_gateway.CountLog("BUSY 1 FREE 1 ERROR 0") == 2; }));
  ASSERT_TRUE(Connect(fourth));
  EXPECT_TRUE(WaitFor([&] { return upA->Accepted() == 2; })) << m_gateway.Process().Output();
  EXPECT_EQ(upB->Accepted(), 1u);
}

TEST_F(GatewayTest, RefusingServerGoesToErrorAndIsResetOverItsManagementPort) {
  std::unique_ptr<CSamvSim> upDead = StartSamv(SamvSimMode::Refuse);
  std::unique_ptr<CMcuSim> upDeadMcu = StartMcu();
  std::unique_ptr<CMcuSim> upOtherMcu = StartMcu();
  std::unique_ptr<CSamvSim> upGood = StartSamv(SamvSimMode::Echo);
  m_gateway.SetModules({{upDead->Port(), upDeadMcu->Port()}, {upGood->Port(), upOtherMcu->Port()}});
  ASSERT_TRUE(m_gateway.Start());

  // The first device finds the dead server first; it is offered the next free one and served.
  CDeviceSimClient device;
  ASSERT_TRUE(Connect(device));
  ASSERT_TRUE(WaitFor([&] { return upGood->Accepted() == 1; }));
  const std::vector<uint8_t> small = {1, 2, 3};
  ASSERT_TRUE(device.Send(small));
  std::vector<uint8_t> back;
  ASSERT_EQ(device.ReadRaw(3, &back, seconds(10)), ReadStatus::Ok);
  EXPECT_EQ(back, small);
  ASSERT_TRUE(m_gateway.WaitForLog("BUSY 1 FREE 0 ERROR 1"));
  EXPECT_TRUE(m_gateway.WaitForLog("\033[1;31mERROR LIST: 127.0.0.1\033[0m"));
  EXPECT_EQ(m_gateway.CountLog("GetFreeTcpClient False"), 0u);

  // With the good server held and the dead one in ERROR, the next device gets the busy reply.
  CDeviceSimClient next;
  ASSERT_TRUE(Connect(next));
  const uint8_t zero[8] = {0};
  DeviceReply reply;
  ASSERT_EQ(next.ReadReply(zero, &reply), ReadStatus::Ok);
  EXPECT_EQ(reply.byCode, 50);

  // Within about 6 s the retry fails and restarts that module, and only that one.
  ASSERT_TRUE(WaitFor([&] { return upDeadMcu->Resets() >= 1; }, seconds(30)))
      << m_gateway.Process().Output();
  EXPECT_EQ(upOtherMcu->Resets(), 0u);
}

// When no free server connects in time, each goes to ERROR and the device gets the busy reply.
TEST_F(GatewayTest, DeviceGetsTheBusyReplyWhenNoFreeServerConnects) {
  std::unique_ptr<CSamvSim> upDeadA = StartSamv(SamvSimMode::Refuse);
  std::unique_ptr<CSamvSim> upDeadB = StartSamv(SamvSimMode::Refuse);
  m_gateway.SetModules({{upDeadA->Port(), 0}, {upDeadB->Port(), 0}});
  ASSERT_TRUE(m_gateway.Start());
  CDeviceSimClient device;
  ASSERT_TRUE(Connect(device));
  const uint8_t zero[8] = {0};
  DeviceReply reply;
  ASSERT_EQ(device.ReadReply(zero, &reply), ReadStatus::Ok);
  EXPECT_EQ(reply.byCode, 50);
  EXPECT_EQ(device.WaitForClose(), ReadStatus::Closed);
  // The last of the lines is written just before the reply; the reply can be here first.
  EXPECT_TRUE(m_gateway.WaitForLog("GetFreeTcpClient False")) << m_gateway.Process().Output();
  const std::string strOut = m_gateway.Process().Output();
  std::vector<size_t> arrPos;
  for (const char* szLine :
       {"BUSY 1 FREE 1 ERROR 0", "BUSY 1 FREE 0 ERROR 1", "BUSY 0 FREE 0 ERROR 2",
        "\033[1;31mERROR LIST: 127.0.0.1,127.0.0.1\033[0m", "GetFreeTcpClient False"}) {
    arrPos.push_back(strOut.find(szLine));
    EXPECT_NE(arrPos.back(), std::string::npos) << szLine << "\n" << strOut;
  }
  for (size_t i = 1; i < arrPos.size(); ++i) {
    EXPECT_LT(arrPos[i - 1], arrPos[i]) << strOut;
  }
}

TEST_F(GatewayTest, LoginRefusalsAreAnsweredAndNotForwarded) {
  std::unique_ptr<CSamvSim> upSamv = StartSamv(SamvSimMode::Card);
  m_gateway.SetModules({{upSamv->Port(), 0}});
  ASSERT_TRUE(m_gateway.Start());
  CDeviceSimClient device;
  ASSERT_TRUE(Connect(device));

  CardReadResult result;
  ASSERT_EQ(device.ReadCard(Login(1001, "wrong"), &result), ReadStatus::Ok);
  ASSERT_TRUE(result.bRefused);
  EXPECT_EQ(result.reply.byCode, 1);
  EXPECT_TRUE(result.reply.bKeyOk);
  EXPECT_EQ(LoginErrorText(result.reply), "UserAccount Or Password Error!");
  EXPECT_TRUE(m_gateway.WaitForLog("Server Receive:"));

  LoginRequest shortLogin = Login();
  std::vector<uint8_t> payload = BuildLoginPayload(1001, "pass1001", "", "", "");
  payload.resize(181);
  const uint8_t key[8] = {1, 1, 2, 3, 5, 8, 13, 21};
  ASSERT_TRUE(device.Send(BuildDeviceRequest(key, 9, nullptr, payload.data(), payload.size())));
  DeviceReply reply;
  ASSERT_EQ(device.ReadReply(key, &reply), ReadStatus::Ok);
  EXPECT_EQ(LoginErrorText(reply), "UserAccount Or Password DataLength Error!");
  EXPECT_EQ(upSamv->FramesReceived(), 0u);

  ASSERT_EQ(device.ReadCard(Login(), &result), ReadStatus::Ok);
  EXPECT_FALSE(result.bRefused);
  EXPECT_EQ(result.arrAnswer.size(), 288u);
  EXPECT_EQ(upSamv->FramesReceived(), 1u);
}

TEST_F(GatewayTest, AdministrationRewritesTheFiles) {
  std::unique_ptr<CSamvSim> upSamv = StartSamv(SamvSimMode::Echo);
  m_gateway.SetModules({{upSamv->Port(), 0}});
  ASSERT_TRUE(m_gateway.Start());
  CDeviceSimClient device;
  ASSERT_TRUE(Connect(device));
  SystemConfigStruct admin = MakeAdminRecord("admin", "adminpw");
  DeviceReply reply;
  ASSERT_EQ(device.CheckAdmin(admin, &reply), ReadStatus::Ok);
  EXPECT_TRUE(ReplyAdminMatches(reply));
  ASSERT_EQ(device.CheckAdmin(MakeAdminRecord("admin", "nope"), &reply), ReadStatus::Ok);
  EXPECT_FALSE(ReplyAdminMatches(reply));

  SystemConfigStruct config;
  ASSERT_EQ(device.ReadSystemConfig(admin, &reply), ReadStatus::Ok);
  ASSERT_TRUE(DecodeConfigReply(reply, &config));
  EXPECT_STREQ(config.szHttpLogUrl, "/card/log");
  CopyText(config.szHttpLogUrl, "/other/path");
  CopyText(config.szNewPassword, config.szPassword);
  ASSERT_EQ(device.WriteSystemConfig(config, &reply), ReadStatus::Ok);
  EXPECT_EQ(reply.byCode, 81);
  EXPECT_NE(m_gateway.Dir().Read("SystemConfig.ini").find("HTTP_LOG_URL=/other/path\n"),
            std::string::npos);

  UserStruct user;
  std::memset(&user, 0, sizeof(user));
  user.unAccountNo = 3003;
  CopyText(user.szPassword, sizeof(user.szPassword), "pass3003");
  ASSERT_EQ(device.WriteUser(admin, user, &reply), ReadStatus::Ok);
  EXPECT_EQ(reply.byCode, 82);
  std::vector<UserStruct> users;
  ASSERT_EQ(device.ReadUsers(admin, 0, &reply), ReadStatus::Ok);
  ASSERT_TRUE(DecodeUserListReply(reply, &users));
  ASSERT_EQ(users.size(), 3u);
  EXPECT_EQ(users[2].unAccountNo, 3003u);
  EXPECT_EQ(upSamv->BytesReceived(), 0u);  // administration never reaches a SAMV server

  // The new account is written back about 11 s after the change.
  EXPECT_TRUE(WaitFor(
      [&] { return m_gateway.Dir().Read("UserList.ini").find("ACCOUNT_NO_2=3003") !=
                   std::string::npos; },
      seconds(40)));
  EXPECT_NE(m_gateway.Dir().Read("UserList.ini").find("USER_COUNT=3"), std::string::npos);
}

TEST_F(GatewayTest, EveryCardAnswerKindIsCaptured) {
  struct Row {
    SamvCardKind eKind;
    const char* szLog;
    size_t unExpectedLength;
    bool bLeaveEarly;
  } rows[] = {
      {SamvCardKind::Text, "[Only Text]", 288, false},
      {SamvCardKind::Photo, "[Text Image]", 1311, false},
      {SamvCardKind::Fingerprint, "[Text Image Fingerprint Part2]", 1313, false},
      {SamvCardKind::FingerprintPart1, "[Not Exist Part2]", 1313, true},
  };
  std::vector<std::unique_ptr<CSamvSim>> sims;
  std::vector<GatewayRun::Module> modules;
  for (const Row& r : rows) {
    sims.push_back(StartSamv(SamvSimMode::Card, r.eKind));
    modules.push_back({sims.back()->Port(), 0});
  }
  LogServerSimOptions logOptions;
  logOptions.strSecretKey = "0123456789abcdef";
  CLogServerSim logServer(logOptions);
  logServer.Start();
  m_gateway.SetModules(modules);
  m_gateway.SetLogServer(logServer.Port());
  ASSERT_TRUE(m_gateway.Start());

  // Devices hold their servers, so each device gets the next module in file order.
  std::vector<std::unique_ptr<CDeviceSimClient>> devices;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szLog);
    devices.emplace_back(new CDeviceSimClient());
    ASSERT_TRUE(Connect(*devices.back()));
    if (r.bLeaveEarly) {
      // Only the first part comes: read it alone, then leave.
      std::vector<uint8_t> answer;
      ASSERT_TRUE(devices.back()->SendLogin(Login()));
      ASSERT_EQ(devices.back()->ReadAnswer(&answer), ReadStatus::Ok);
      EXPECT_EQ(answer.size(), r.unExpectedLength);
    } else {
      CardReadResult result;
      ASSERT_EQ(devices.back()->ReadCard(Login(), &result), ReadStatus::Ok);
      EXPECT_EQ(result.arrAnswer.size(), r.unExpectedLength);
    }
    if (r.bLeaveEarly) {
      devices.back()->Close();
    }
    EXPECT_TRUE(m_gateway.WaitForLog(r.szLog));
  }
  ASSERT_TRUE(WaitFor([&] { return logServer.ValidDocuments() >= 4; }, seconds(60)))
      << m_gateway.Process().Output();
  for (const LogServerDocument& doc : logServer.Documents()) {
    EXPECT_EQ(doc.mapCard["name"], "张三");
    EXPECT_EQ(doc.mapCard["deviceId"], "READER-42");
  }
}

// A second part that follows a text-and-photo answer belongs to no card: relayed, not captured.
// Captured, it once made a record read with the fingerprint offsets, the card again with every
// field shifted.
TEST_F(GatewayTest, SecondPartBehindATextAndPhotoAnswerIsNotCaptured) {
  std::unique_ptr<CSamvSim> upSamv = StartSamv(SamvSimMode::Card, SamvCardKind::PhotoStrayPart2);
  LogServerSimOptions logOptions;
  logOptions.strSecretKey = "0123456789abcdef";
  CLogServerSim logServer(logOptions);
  logServer.Start();
  m_gateway.SetModules({{upSamv->Port(), 0}});
  m_gateway.SetLogServer(logServer.Port());
  ASSERT_TRUE(m_gateway.Start());
  CDeviceSimClient device;
  ASSERT_TRUE(Connect(device));
  for (size_t i = 1; i <= 2; ++i) {
    SCOPED_TRACE(i);
    CardReadResult result;
    ASSERT_EQ(device.ReadCard(Login(), &result), ReadStatus::Ok);
    ASSERT_EQ(result.arrAnswer.size(), 1311u);
    std::vector<uint8_t> stray;
    ASSERT_EQ(device.ReadAnswer(&stray), ReadStatus::Ok);  // relayed all the same
    EXPECT_EQ(stray.size(), 1041u);
    ASSERT_TRUE(WaitFor([&] { return m_gateway.CountLog("not behind a Part1") == i; }))
        << m_gateway.Process().Output();
  }
  // Records go up in the order captured: a record made of the first stray part would come second.
  ASSERT_TRUE(WaitFor([&] { return logServer.Documents().size() >= 2; }, seconds(60)))
      << m_gateway.Process().Output();
  for (const LogServerDocument& doc : logServer.Documents()) {
    EXPECT_TRUE(doc.bValid);
    EXPECT_EQ(doc.mapCard["name"], "张三");
  }
  EXPECT_EQ(m_gateway.CountLog("[Text Image]"), 2u);
  EXPECT_EQ(m_gateway.CountLog("[Text Image Fingerprint Part2]"), 0u);
}

TEST_F(GatewayTest, SecondInstanceFailsWhileThePortIsTaken) {
  ASSERT_TRUE(m_gateway.Start());
  GatewayRun second;
  second.Start({"GETLIBBUILDTIME"}, false);
  int nStatus = 0;
  ASSERT_TRUE(second.Process().Wait(seconds(20), &nStatus));
  EXPECT_NE(nStatus, 0);
  EXPECT_NE(second.Process().Errors().find("bind"), std::string::npos)
      << second.Process().Errors();
  EXPECT_EQ(second.Process().Output().find("BuildTime"), std::string::npos);
}

// Command 81 reports success only for what a restart reads back: a password that fills its
// field, a value with an end blank and a write that cannot reach the file are refused (83 with
// 0), the settings in memory stay as they were, and the administrator still works after a
// restart.
TEST_F(GatewayTest, SettingsWritesThatWouldNotReadBackAreRefused) {
  std::unique_ptr<CSamvSim> upSamv = StartSamv(SamvSimMode::Echo);
  m_gateway.SetModules({{upSamv->Port(), 0}});
  ASSERT_TRUE(m_gateway.Start());
  CDeviceSimClient device;
  ASSERT_TRUE(Connect(device));
  const SystemConfigStruct admin = MakeAdminRecord("admin", "adminpw");
  const std::string strFile = m_gateway.Dir().Read("SystemConfig.ini");
  struct Row {
    const char* szName;
    std::string strNewPassword;
    const char* szUrl;
    bool bBlockFile;
    const char* szLog;
  } rows[] = {
      {"16-character password", std::string(16, 'n'), "/card/log", false,
       "SYSTEM_ADMINISTRATOR.PASSWORD too long"},
      {"URL with an end blank", "", "/card/log ", false,
       "LOG_SERVER.HTTP_LOG_URL has blanks at its ends"},
      {"read-only directory", "newpw", "/other/path", true, "SystemConfig.ini.tmp"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    DeviceReply reply;
    SystemConfigStruct config;
    ASSERT_EQ(device.ReadSystemConfig(admin, &reply), ReadStatus::Ok);
    ASSERT_TRUE(DecodeConfigReply(reply, &config));
    std::memset(config.szNewPassword, 0, sizeof(config.szNewPassword));
    std::memcpy(config.szNewPassword, r.strNewPassword.data(), r.strNewPassword.size());
    CopyText(config.szHttpLogUrl, r.szUrl);
    if (r.bBlockFile) {
      // Root writes into a read-only directory all the same; a directory under the name of the
      // file's replacement stops it too.
      ASSERT_EQ(::mkdir(m_gateway.Dir().File("SystemConfig.ini.tmp").c_str(), 0755), 0);
      ASSERT_EQ(::chmod(m_gateway.Dir().Path().c_str(), 0555), 0);
    }
    ASSERT_EQ(device.WriteSystemConfig(config, &reply), ReadStatus::Ok);
    if (r.bBlockFile) {
      ASSERT_EQ(::chmod(m_gateway.Dir().Path().c_str(), 0755), 0);
      ASSERT_EQ(::rmdir(m_gateway.Dir().File("SystemConfig.ini.tmp").c_str()), 0);
    }
    EXPECT_EQ(reply.byCode, 83);
    EXPECT_FALSE(ReplyAdminMatches(reply));
    EXPECT_TRUE(m_gateway.WaitForLog(r.szLog)) << m_gateway.Process().Output();
    EXPECT_EQ(m_gateway.Dir().Read("SystemConfig.ini"), strFile);
    ASSERT_EQ(device.ReadSystemConfig(admin, &reply), ReadStatus::Ok);
    ASSERT_TRUE(DecodeConfigReply(reply, &config));
    EXPECT_STREQ(config.szHttpLogUrl, "/card/log");
    EXPECT_STREQ(config.szPassword, "adminpw");
  }

  m_gateway.Process().Signal(SIGKILL);
  int nStatus = 0;
  ASSERT_TRUE(m_gateway.Process().Wait(seconds(20), &nStatus));
  ASSERT_TRUE(m_gateway.Start());
  CDeviceSimClient again;
  ASSERT_TRUE(Connect(again));
  DeviceReply reply;
  ASSERT_EQ(again.CheckAdmin(admin, &reply), ReadStatus::Ok);
  EXPECT_TRUE(ReplyAdminMatches(reply));
}

// A count with an inline comment (kept in the value by the INI reader) once read as 0: the
// gateway ran without accounts and the next account change wrote them out of the file.
TEST_F(GatewayTest, AccountCountThatIsNotANumberStopsStartUp) {
  const std::string strUsers =
      "[USER_LIST]\nUSER_COUNT=2 ; two slots\nPASSWORD_0=pass1001\nACCOUNT_NO_0=1001\n"
      "PASSWORD_1=pass1002\nACCOUNT_NO_1=1002\n";
  m_gateway.Dir().Write("UserList.ini", strUsers);
  m_gateway.Start({}, false);
  int nStatus = 0;
  ASSERT_TRUE(m_gateway.Process().Wait(seconds(60), &nStatus));
  EXPECT_NE(nStatus, 0);
  const std::string strOut = m_gateway.Process().Output();
  EXPECT_NE(strOut.find(m_gateway.Dir().File("UserList.ini") +
                        " USER_LIST.USER_COUNT value \"2 ; two slots\" is not a number"),
            std::string::npos)
      << strOut;
  EXPECT_EQ(strOut.find("Press any key to exit!"), std::string::npos);
  EXPECT_NE(m_gateway.Process().Errors().find("cannot start"), std::string::npos);
  EXPECT_EQ(m_gateway.Dir().Read("UserList.ini"), strUsers);
}

// An account write-back that fails is tried again and lands once the file can be replaced.
TEST_F(GatewayTest, AccountWriteBackThatFailsIsRetriedAndLands) {
  std::unique_ptr<CSamvSim> upSamv = StartSamv(SamvSimMode::Echo);
  m_gateway.SetModules({{upSamv->Port(), 0}});
  ASSERT_TRUE(m_gateway.Start());
  ASSERT_EQ(::mkdir(m_gateway.Dir().File("UserList.ini.tmp").c_str(), 0755), 0);
  CDeviceSimClient device;
  ASSERT_TRUE(Connect(device));
  UserStruct user;
  std::memset(&user, 0, sizeof(user));
  user.unAccountNo = 3003;
  CopyText(user.szPassword, sizeof(user.szPassword), "pass3003");
  DeviceReply reply;
  ASSERT_EQ(device.WriteUser(MakeAdminRecord("admin", "adminpw"), user, &reply), ReadStatus::Ok);
  EXPECT_EQ(reply.byCode, 82);
  // Written back about 11 s after the change: the first attempt fails.
  ASSERT_TRUE(m_gateway.WaitForLog("UserList.ini.tmp", seconds(60)))
      << m_gateway.Process().Output();
  ASSERT_EQ(::rmdir(m_gateway.Dir().File("UserList.ini.tmp").c_str()), 0);
  EXPECT_TRUE(WaitFor(
      [&] {
        return m_gateway.Dir().Read("UserList.ini").find("ACCOUNT_NO_2=3003") !=
               std::string::npos;
      },
      seconds(30)));
  EXPECT_TRUE(m_gateway.WaitForLog("written after failed attempts"));
  EXPECT_EQ(m_gateway.CountLog("Write Error"), 1u) << m_gateway.Process().Output();
}
