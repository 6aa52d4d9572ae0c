// The device port against a hostile reader on the LAN: throttled guessing, account changes that
// take effect at once, a run log that holds no password and no raw control byte, the allow-list,
// and log-in frames that are checked however the bytes are split or joined.
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "device_sim.h"
#include "gateway_fixture.h"
#include "samv_sim.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint16_t kGatewayPort = 31213;

std::unique_ptr<CSamvSim> StartSamv(SamvSimMode eMode) {
  SamvSimOptions options;
  options.eMode = eMode;
  options.eCardKind = SamvCardKind::Text;
  return std::unique_ptr<CSamvSim>(new CSamvSim(options));
}

LoginRequest Login(uint32_t unAccount, const std::string& strPassword,
                   const std::string& strTransData = "{\"order\":\"A-17\"}") {
  LoginRequest r;
  r.byCommand = 1;
  r.unAccountNo = unAccount;
  r.strPassword = strPassword;
  r.strUserInfo = "operator-7";
  r.strDeviceId = "READER-42";
  r.strTransData = strTransData;
  return r;
}

// A card read's outcome: true when the module's card answer came, false on the refusal.
bool ReadsCard(CDeviceSimClient& device, const LoginRequest& request) {
  CardReadResult result;
  EXPECT_EQ(device.ReadCard(request, &result), ReadStatus::Ok);
  if (result.bRefused) {
    EXPECT_EQ(result.reply.byCode, 1);
    EXPECT_EQ(LoginErrorText(result.reply), "UserAccount Or Password Error!");
  }
  return !result.bRefused && result.arrAnswer.size() == 288;
}

class SecurityTest : public ::testing::Test {
 protected:
  // Gateway with two card modules (two readers at once) and the given extra settings.
  void StartGateway(const std::string& strExtra) {
    m_upSamvA = StartSamv(SamvSimMode::Card);
    m_upSamvB = StartSamv(SamvSimMode::Card);
    m_gateway.SetModules({{m_upSamvA->Port(), 0}, {m_upSamvB->Port(), 0}});
    m_gateway.SetExtraSystemConfig(strExtra);
    m_gateway.SetLogServer(0);
    ASSERT_TRUE(m_gateway.Start());
  }
  uint64_t SamvBytes() { return m_upSamvA->BytesReceived() + m_upSamvB->BytesReceived(); }

  GatewayRun m_gateway;
  std::unique_ptr<CSamvSim> m_upSamvA;
  std::unique_ptr<CSamvSim> m_upSamvB;
};

}  // namespace

TEST_F(SecurityTest, LockedOutAddressIsRefusedWhileAnotherIsServed) {
  StartGateway("[SECURITY]\nMAX_FAILURES=3\nLOCKOUT_S=4\n");
  CDeviceSimClient guesser;
  guesser.SetLocalAddress("127.0.0.2");
  ASSERT_TRUE(guesser.Connect("127.0.0.1", kGatewayPort));
  CDeviceSimClient reader;
  ASSERT_TRUE(reader.Connect("127.0.0.1", kGatewayPort));

  EXPECT_FALSE(ReadsCard(guesser, Login(1001, "guess-1")));
  DeviceReply reply;
  ASSERT_EQ(guesser.CheckAdmin(MakeAdminRecord("admin", "guess-2"), &reply), ReadStatus::Ok);
  EXPECT_FALSE(ReplyAdminMatches(reply));
  EXPECT_TRUE(m_gateway.WaitForLog("administrator check failed from 127.0.0.2]"));
  EXPECT_FALSE(ReadsCard(guesser, Login(1001, "guess-3")));
  ASSERT_TRUE(m_gateway.WaitForLog("127.0.0.2 locked out for 4 s after 3 failed checks"))
      << m_gateway.Process().Output();

  // Locked out: the right password and the right administrator are refused unchecked...
  EXPECT_FALSE(ReadsCard(guesser, Login(1001, "pass1001")));
  ASSERT_EQ(guesser.CheckAdmin(MakeAdminRecord("admin", "adminpw"), &reply), ReadStatus::Ok);
  EXPECT_FALSE(ReplyAdminMatches(reply));
  // ... while another address is served as usual.
  EXPECT_TRUE(ReadsCard(reader, Login(1002, "pass1002")));
  ASSERT_EQ(reader.CheckAdmin(MakeAdminRecord("admin", "adminpw"), &reply), ReadStatus::Ok);
  EXPECT_TRUE(ReplyAdminMatches(reply));

  // The end is logged when it comes, and the address is served again.
  ASSERT_TRUE(m_gateway.WaitForLog("127.0.0.2 lockout ended after 4 s: 5 failed checks"))
      << m_gateway.Process().Output();
  EXPECT_TRUE(ReadsCard(guesser, Login(1001, "pass1001")));
  const std::string strOut = m_gateway.Process().Output();
  EXPECT_EQ(strOut.find("guess-"), std::string::npos) << strOut;
  EXPECT_EQ(m_gateway.CountLog("locked out for"), 1u);
  EXPECT_EQ(m_gateway.CountLog("administrator check failed from"), 1u);
}

TEST_F(SecurityTest, AccountChangedByCommand82LogsInWithItsNewPasswordOnlyAtOnce) {
  StartGateway("");
  CDeviceSimClient device;
  ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
  const SystemConfigStruct admin = MakeAdminRecord("admin", "adminpw");
  ASSERT_TRUE(ReadsCard(device, Login(1001, "pass1001")));
  UserStruct user;
  std::memset(&user, 0, sizeof(user));
  user.unAccountNo = 1001;
  CopyText(user.szPassword, sizeof(user.szPassword), "Fresh-1001");
  DeviceReply reply;
  ASSERT_EQ(device.WriteUser(admin, user, &reply), ReadStatus::Ok);
  EXPECT_EQ(reply.byCode, 82);
  EXPECT_FALSE(ReadsCard(device, Login(1001, "pass1001")));
  EXPECT_TRUE(ReadsCard(device, Login(1001, "Fresh-1001")));
  user.unType = 1;  // listed only from now on
  ASSERT_EQ(device.WriteUser(admin, user, &reply), ReadStatus::Ok);
  EXPECT_FALSE(ReadsCard(device, Login(1001, "Fresh-1001")));
  EXPECT_TRUE(ReadsCard(device, Login(1002, "pass1002")));
  // Logged before the reply to the second change, which a device may have before the line.
  EXPECT_TRUE(m_gateway.WaitForLog("szPassword ***,unType 1")) << m_gateway.Process().Output();
  const std::string strOut = m_gateway.Process().Output();
  EXPECT_EQ(strOut.find("Fresh-1001"), std::string::npos) << strOut;
  EXPECT_NE(strOut.find("szPassword ***,unType 1"), std::string::npos) << strOut;
}

TEST_F(SecurityTest, RunLogHoldsNoPasswordAndNoRawControlByteAfterHostileInput) {
  StartGateway("");
  CDeviceSimClient device;
  ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
  const std::string strForged =
      "x\r\n2030-01-01 00:00:00.000000 [Only Text]\x1b[2J\x1b[H\x07\xff\xc2\x9b 张三";
  EXPECT_FALSE(ReadsCard(device, Login(1001, "Wrong-Secret", strForged)));
  EXPECT_TRUE(ReadsCard(device, Login(1001, "pass1001", strForged)));
  // The capture's own line, logged after the answer is relayed: the forged text holds
  // "[Only Text]" too, but never at a line's end.
  ASSERT_TRUE(m_gateway.WaitForLog("[Only Text]\r\n")) << m_gateway.Process().Output();
  const std::string strOut = m_gateway.Process().Output();
  EXPECT_EQ(strOut.find("Wrong-Secret"), std::string::npos);
  EXPECT_EQ(strOut.find("pass1001"), std::string::npos);
  EXPECT_EQ(strOut.find("\n2030-01-01"), std::string::npos) << strOut;
  EXPECT_NE(strOut.find("QuorvexSerialId[x\\x0d\\x0a2030-01-01 00:00:00.000000 [Only Text]"
                        "\\x1b[2J\\x1b[H\\x07\\xff\\xc2\\x9b 张三]"),
            std::string::npos)
      << strOut;
  // Line ends only where the run log ends its lines; no other control byte at all.
  for (size_t i = 0; i < strOut.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(strOut[i]);
    if (c == '\n') {
      continue;
    }
    if (c == '\r') {
      EXPECT_TRUE(i + 1 < strOut.size() && strOut[i + 1] == '\n') << i;
      continue;
    }
    EXPECT_GE(c, 0x20) << "control byte " << static_cast<int>(c) << " at " << i;
    EXPECT_NE(c, 0x7F) << i;
  }
}

TEST_F(SecurityTest, AllowListRefusesAtAcceptAndAdmits) {
  StartGateway("[DEVICE]\nIDLE_TIMEOUT_S=60\nALLOW=10.1.2.0/24, 127.0.0.2\n");
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    CDeviceSimClient outsider;
    ASSERT_TRUE(outsider.Connect("127.0.0.1", kGatewayPort));
    EXPECT_EQ(outsider.WaitForClose(seconds(10)), ReadStatus::Closed);
    EXPECT_EQ(outsider.PendingBytes(), 0u);  // no reply, not even the busy one
  }
  ASSERT_TRUE(m_gateway.WaitForLog("Device Ip:127.0.0.1 is not in DEVICE.ALLOW: connection closed"));
  CDeviceSimClient member;
  member.SetLocalAddress("127.0.0.2");
  ASSERT_TRUE(member.Connect("127.0.0.1", kGatewayPort));
  EXPECT_TRUE(ReadsCard(member, Login(1001, "pass1001")));
  // No module was taken for the outsiders, and they were named once in the minute.
  EXPECT_EQ(m_upSamvA->Accepted() + m_upSamvB->Accepted(), 1u);
  EXPECT_EQ(m_gateway.CountLog("is not in DEVICE.ALLOW"), 1u) << m_gateway.Process().Output();
  EXPECT_EQ(m_gateway.CountLog("Device Accept Ip:127.0.0.1 "), 0u);
}

TEST_F(SecurityTest, AllowListThatCannotBeReadStopsStartUp) {
  m_gateway.SetExtraSystemConfig("[DEVICE]\nALLOW=192.168.10.0/24,reader-1\n");
  m_gateway.SetLogServer(0);
  m_gateway.Start({}, false);
  int nStatus = 0;
  ASSERT_TRUE(m_gateway.Process().Wait(seconds(60), &nStatus));
  EXPECT_NE(nStatus, 0);
  EXPECT_NE(m_gateway.Process().Output().find("DEVICE.ALLOW: \"reader-1\" is not an address or network"),
            std::string::npos)
      << m_gateway.Process().Output();
}

// A card command placed behind another frame in the same write is looked at like any other: a
// wrong password refuses the whole write and none of it reaches the module.
TEST_F(SecurityTest, CardCommandJoinedBehindAnotherFrameIsChecked) {
  StartGateway("");
  CDeviceSimClient device;
  ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
  const uint8_t key[8] = {3, 1, 4, 1, 5, 9, 2, 6};
  const std::vector<uint8_t> other(40, 0x33);
  std::vector<uint8_t> first = BuildDeviceRequest(key, 4, nullptr, other.data(), other.size());
  struct Row {
    const char* szName;
    std::vector<uint8_t> arrLead;
    std::string strPassword;
  } rows[] = {
      {"behind another command", first, "wrong"},
      {"behind a good card read", {}, "wrong"},
  };
  {
    const std::vector<uint8_t> good = BuildLoginPayload(1001, "pass1001", "op", "R-1", "{}");
    rows[1].arrLead = BuildDeviceRequest(key, 1, nullptr, good.data(), good.size());
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.szName);
    const std::vector<uint8_t> bad = BuildLoginPayload(1001, r.strPassword, "op", "R-1", "{}");
    std::vector<uint8_t> chunk = r.arrLead;
    const std::vector<uint8_t> login = BuildDeviceRequest(key, 1, nullptr, bad.data(), bad.size());
    chunk.insert(chunk.end(), login.begin(), login.end());
    ASSERT_TRUE(device.Send(chunk));
    DeviceReply reply;
    ASSERT_EQ(device.ReadReply(key, &reply), ReadStatus::Ok);
    EXPECT_EQ(reply.byCode, 1);
    EXPECT_EQ(LoginErrorText(reply), "UserAccount Or Password Error!");
  }
  EXPECT_TRUE(ReadsCard(device, Login(1001, "pass1001")));  // the session goes on
  EXPECT_EQ(m_upSamvA->FramesReceived() + m_upSamvB->FramesReceived(), 1u);
  EXPECT_EQ(SamvBytes(), 1230u) << m_gateway.Process().Output();
}

// A log-in frame split over several writes is held and looked at whole: the right password
// reads the card with the whole transaction text, a wrong one reaches no module.
TEST_F(SecurityTest, SplitLogInFrameIsCheckedWhole) {
  StartGateway("");
  CDeviceSimClient device;
  ASSERT_TRUE(device.Connect("127.0.0.1", kGatewayPort));
  const uint8_t key[8] = {2, 7, 1, 8, 2, 8, 1, 8};
  device.SetRequestKey(key);
  const std::string strText = "{\"order\":\"split-" + std::string(600, 'x') + "\"}";
  for (const char* szPassword : {"wrong", "pass1001"}) {
    SCOPED_TRACE(szPassword);
    const std::vector<uint8_t> payload = BuildLoginPayload(1001, szPassword, "op", "R-1", strText);
    const std::vector<uint8_t> frame =
        BuildDeviceRequest(key, 1, nullptr, payload.data(), payload.size());
    // Cut inside the length word, inside the header, inside the account and in the text.
    const size_t arrCuts[] = {0, 3, 10, 70, 700, frame.size()};
    for (size_t i = 0; i + 1 < sizeof(arrCuts) / sizeof(arrCuts[0]); ++i) {
      ASSERT_TRUE(device.Send(frame.data() + arrCuts[i], arrCuts[i + 1] - arrCuts[i]));
      // Separate reads, most likely; the outcome must be the same if they are not.
      std::this_thread::sleep_for(milliseconds(30));
    }
    DeviceFrameKind eKind;
    std::vector<uint8_t> answer;
    ASSERT_EQ(device.ReadFrame(&eKind, &answer, seconds(10)), ReadStatus::Ok);
    if (std::string(szPassword) == "wrong") {
      EXPECT_EQ(eKind, DeviceFrameKind::GatewayReply);
      EXPECT_EQ(SamvBytes(), 0u);
    } else {
      EXPECT_EQ(eKind, DeviceFrameKind::SamvAnswer);
      EXPECT_EQ(answer.size(), 288u);
      EXPECT_EQ(SamvBytes(), frame.size());
      EXPECT_TRUE(m_gateway.WaitForLog("QuorvexSerialId[" + strText + "]"));
    }
  }
  EXPECT_EQ(m_gateway.CountLog("DataLength Error"), 0u) << m_gateway.Process().Output();
}
