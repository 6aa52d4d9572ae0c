#include "device_sim.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "config/byte_io.h"
#include "core/device_frame.h"
#include "sim.h"
#include "support/test_util.h"

namespace {

using boost::asio::ip::tcp;
using std::chrono::milliseconds;

const uint8_t kKey[8] = {0x3C, 0x91, 0x07, 0xE2, 0x5A, 0x18, 0xC4, 0x6F};
const milliseconds kLong(20000);  // generous: the suite also runs under emulation

// A request as the gateway sees it.
struct SeenRequest {
  uint8_t byCommand = 0;
  uint8_t arrKey[8] = {};
  uint8_t arrParam[8] = {};
  std::vector<uint8_t> arrPayload;
};

// Reads one request frame by its length word. Throws when the client goes away.
SeenRequest ReadRequest(tcp::socket& socket) {
  uint8_t word[4];
  boost::asio::read(socket, boost::asio::buffer(word));
  std::vector<uint8_t> rest(GetLe32(word) - 4);
  boost::asio::read(socket, boost::asio::buffer(rest));
  SeenRequest seen;
  std::vector<uint8_t> payload(rest.size());
  size_t unLength = 0;
  EXPECT_TRUE(ParseDeviceFrame(rest.data(), rest.size(), &seen.byCommand, seen.arrKey,
                               seen.arrParam, payload.data(), payload.size(), &unLength));
  payload.resize(unLength);
  seen.arrPayload = payload;
  return seen;
}

std::vector<uint8_t> Reply(uint8_t byCode, const std::vector<uint8_t>& payload,
                           const uint8_t* pSeed) {
  std::vector<uint8_t> frame(kDeviceReplyHeadSize + payload.size());
  size_t n = BuildDeviceReply(byCode, payload.empty() ? nullptr : payload.data(), payload.size(),
                              pSeed, frame.data(), frame.size());
  frame.resize(n);
  return frame;
}

void Write(tcp::socket& socket, const std::vector<uint8_t>& bytes) {
  boost::asio::write(socket, boost::asio::buffer(bytes));
}

// Writes the bytes in two pieces, cut at unCut.
void WriteSplit(tcp::socket& socket, const std::vector<uint8_t>& bytes, size_t unCut) {
  boost::asio::write(socket, boost::asio::buffer(bytes.data(), unCut));
  boost::asio::write(socket, boost::asio::buffer(bytes.data() + unCut, bytes.size() - unCut));
}

// One connection on 127.0.0.1, served by a script on its own thread. Declare it before the
// client: the client goes first and its close ends a script blocked in a read.
class CScriptedPeer {
 public:
  explicit CScriptedPeer(std::function<void(tcp::socket&)> fnScript)
      : m_acceptor(m_io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)),
        m_unPort(m_acceptor.local_endpoint().port()) {
    m_thread = std::thread([this, fnScript] {
      try {
        tcp::socket socket(m_io);
        boost::system::error_code ec;
        bool bDone = false;
        m_acceptor.async_accept(socket, [&](const boost::system::error_code& e) {
          ec = e;
          bDone = true;
        });
        m_io.run_for(kLong);
        if (!bDone) {
          m_acceptor.cancel();
          m_io.restart();
          m_io.run();
          return;
        }
        if (!ec) {
          socket.set_option(tcp::no_delay(true), ec);  // pieces leave as they are written
          fnScript(socket);
        }
      } catch (const std::exception&) {
        // The client went away; what it saw is checked by the test.
      }
    });
  }
  ~CScriptedPeer() { m_thread.join(); }
  uint16_t Port() const { return m_unPort; }

 private:
  boost::asio::io_context m_io;
  tcp::acceptor m_acceptor;
  uint16_t m_unPort;
  std::thread m_thread;
};

// A card answer of unSize bytes in all: u32 count of what follows, key, masked body; the card
// text block (UCS-2 little-endian, blank-padded) filled from the given fields.
std::vector<uint8_t> CardAnswer(size_t unSize,
                                const std::vector<std::pair<size_t, std::u16string>>& fields) {
  std::vector<uint8_t> answer(unSize, 0);
  PutLe32(answer.data(), static_cast<uint32_t>(unSize - 4));
  const uint8_t answerKey[8] = {9, 8, 7, 6, 5, 4, 3, 2};
  std::memcpy(&answer[4], answerKey, 8);
  size_t unBlock = unSize == kCardFingerAnswerSize ? 32 : 30;
  for (size_t i = 0; i < 256; i += 2) {
    PutLe16(&answer[unBlock + i], u' ');
  }
  for (const auto& f : fields) {
    for (size_t i = 0; i < f.second.size(); ++i) {
      PutLe16(&answer[unBlock + f.first + 2 * i], static_cast<uint16_t>(f.second[i]));
    }
  }
  MaskDeviceBody(&answer[12], answer.size() - 12, answerKey);
  return answer;
}

CDeviceSimClient::Duration Ms(int n) {
  return milliseconds(n);
}

}  // namespace

TEST(DeviceSimTest, LoginRequestLandsWhereTheGatewayReadsIt) {
  std::string strTrans = "{\"serial\":\"A1\"}";
  std::vector<uint8_t> payload =
      BuildLoginPayload(0x01020304, "ABCDEFGHIJKLMNOP", "user-block", "dev-7", strTrans);
  ASSERT_EQ(payload.size(), 1206u);
  const uint8_t param[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint8_t> frame = BuildDeviceRequest(kKey, 59, param, payload.data(), payload.size());

  ASSERT_EQ(frame.size(), 24u + 1206u);
  EXPECT_EQ(GetLe32(frame.data()), frame.size());
  EXPECT_EQ(0, std::memcmp(&frame[4], kKey, 8)) << "the key travels in clear";
  EXPECT_EQ(frame[12], 59 ^ kKey[0]) << "the body is masked";

  uint8_t byCommand = 0, key[8], seenParam[8];
  std::vector<uint8_t> seen(4096);
  size_t unLength = 0;
  ASSERT_TRUE(ParseDeviceFrame(&frame[4], frame.size() - 4, &byCommand, key, seenParam, seen.data(),
                               seen.size(), &unLength));
  EXPECT_EQ(byCommand, 59);
  EXPECT_EQ(0, std::memcmp(seenParam, param, 8));
  ASSERT_EQ(unLength, 1206u);
  EXPECT_EQ(GetLe32(&seen[34]), 0x01020304u);
  EXPECT_EQ(0, std::memcmp(&seen[38], "ABCDEFGHIJKLMNOP", 16)) << "16 characters, no NUL";
  EXPECT_EQ(0, std::memcmp(&seen[54], "user-block", 10));
  EXPECT_STREQ(reinterpret_cast<const char*>(&seen[118]), "dev-7");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&seen[182])), strTrans);
}

TEST(DeviceSimTest, OverlongLoginTextsAreCutToTheirFields) {
  std::vector<uint8_t> payload = BuildLoginPayload(7, std::string(20, 'p'), std::string(80, 'u'),
                                                   std::string(70, 'd'), std::string(2000, 't'));
  ASSERT_EQ(payload.size(), 1206u);
  EXPECT_EQ(payload[38 + 15], 'p');
  EXPECT_EQ(payload[54], 'u') << "the password did not spill into the user block";
  EXPECT_EQ(payload[54 + 63], 'u');
  EXPECT_EQ(payload[118], 'd') << "the user block did not spill into the device identifier";
  EXPECT_EQ(payload[118 + 62], 'd');
  EXPECT_EQ(payload[118 + 63], 0);
  EXPECT_EQ(payload[182], 't');
  EXPECT_EQ(payload[182 + 1022], 't');
  EXPECT_EQ(payload[182 + 1023], 0);
}

TEST(DeviceSimTest, AdminPayloadsCarryTheRecordAndTheAccount) {
  SystemConfigStruct admin = MakeAdminRecord("root", "secret");
  UserStruct user{};
  user.unAccountNo = 4242;
  CopyText(user.szPassword, "pw");
  user.unType = 1;
  std::vector<uint8_t> payload = BuildUserWritePayload(admin, user);
  ASSERT_EQ(payload.size(), 724u + 28u);
  SystemConfigStruct back;
  DecodeSystemConfig(payload.data(), &back);
  EXPECT_STREQ(back.szUserName, "root");
  EXPECT_STREQ(back.szPassword, "secret");
  EXPECT_STREQ(back.szNewPassword, "secret") << "a write through it keeps the password";
  UserStruct userBack;
  DecodeUser(&payload[724], &userBack);
  EXPECT_EQ(userBack.unAccountNo, 4242u);
  EXPECT_STREQ(userBack.szPassword, "pw");
  EXPECT_EQ(userBack.unType, 1u);
}

TEST(DeviceSimTest, ReadsRepliesOfEveryCodeAndChecksTheirKeys) {
  const uint8_t wrongSeed[8] = {1, 0, 0, 0, 2, 0, 0, 0};
  const uint8_t zeroSeed[8] = {};
  std::vector<uint8_t> config(724, 0);
  config[0] = 'r';
  std::vector<uint8_t> users(3 * 28, 0x41);
  std::vector<uint8_t> refusal(1024, 0);
  std::memcpy(&refusal[42], "UserAccount Or Password Error!", 30);
  enum class Seed { Request, Wrong, Zero };
  struct Row {
    const char* name;
    uint8_t byCode;
    std::vector<uint8_t> payload;
    Seed seed;
    bool bKeyOk;
  } const rows[] = {
      {"admin match", 83, {1}, Seed::Request, true},
      {"settings", 81, config, Seed::Request, true},
      {"write done, no payload", 81, {}, Seed::Request, true},
      {"three users", 82, users, Seed::Request, true},
      {"log-in refused", 1, refusal, Seed::Request, true},
      {"busy reply keyed by zero seeds", 50, {}, Seed::Zero, true},
      {"key from another request", 83, {1}, Seed::Wrong, false},
      {"busy reply with a request's key", 50, {}, Seed::Request, false},
  };
  const size_t unRows = sizeof(rows) / sizeof(rows[0]);

  CScriptedPeer peer([&](tcp::socket& socket) {
    for (size_t i = 0; i < unRows; ++i) {
      SeenRequest seen = ReadRequest(socket);
      const Row& r = rows[i];
      const uint8_t* pSeed = r.seed == Seed::Request ? seen.arrKey
                             : r.seed == Seed::Zero  ? zeroSeed
                                                     : wrongSeed;
      std::vector<uint8_t> frame = Reply(r.byCode, r.payload, pSeed);
      WriteSplit(socket, frame, frame.size() / 2 + 1);
    }
  });
  CDeviceSimClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port(), kLong));
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_TRUE(client.SendRequest(83, nullptr, BuildAdminPayload(MakeAdminRecord("a", "b"))));
    DeviceReply reply;
    ASSERT_EQ(client.ReadReply(&reply, kLong), ReadStatus::Ok);
    EXPECT_EQ(reply.byCode, r.byCode);
    EXPECT_EQ(reply.unLengthWord, 16 + r.payload.size());
    EXPECT_EQ(reply.arrPayload, r.payload);
    EXPECT_EQ(reply.bKeyOk, r.bKeyOk);
  }
  EXPECT_EQ(client.PendingBytes(), 0u);
  DeviceReply refused;
  refused.byCode = 1;
  refused.arrPayload = refusal;
  EXPECT_EQ(LoginErrorText(refused), "UserAccount Or Password Error!");
}

TEST(DeviceSimTest, PartOfAReplyWaitsForTheRestAcrossATimeout) {
  std::atomic<bool> bSecondHalf{false};
  CScriptedPeer peer([&](tcp::socket& socket) {
    SeenRequest seen = ReadRequest(socket);
    std::vector<uint8_t> frame = Reply(83, {1}, seen.arrKey);
    Write(socket, std::vector<uint8_t>(frame.begin(), frame.begin() + 9));
    if (WaitFor([&] { return bSecondHalf.load(); }, kLong)) {
      Write(socket, std::vector<uint8_t>(frame.begin() + 9, frame.end()));
    }
  });
  CDeviceSimClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port(), kLong));
  ASSERT_TRUE(client.SendRequest(83, nullptr, BuildAdminPayload(MakeAdminRecord("a", "b"))));
  DeviceReply reply;
  // Only part of the frame exists until the peer is told to go on.
  EXPECT_EQ(client.ReadReply(&reply, Ms(100)), ReadStatus::Timeout);
  bSecondHalf = true;
  ASSERT_EQ(client.ReadReply(&reply, kLong), ReadStatus::Ok);
  EXPECT_TRUE(ReplyAdminMatches(reply));
  EXPECT_TRUE(reply.bKeyOk);
}

TEST(DeviceSimTest, AdminHelpersSendTheirFramesAndDecodeTheReplies) {
  UserStruct stored{};
  stored.unAccountNo = 1001;
  CopyText(stored.szPassword, "pw1");
  stored.unIndex = 5;
  std::mutex mtx;
  std::vector<SeenRequest> arrSeen;  // guarded by mtx
  CScriptedPeer peer([&](tcp::socket& socket) {
    for (int i = 0; i < 5; ++i) {
      SeenRequest seen = ReadRequest(socket);
      std::vector<uint8_t> payload;
      if (seen.byCommand == 83) {
        payload = {1};
      } else if (seen.byCommand == 81 && seen.arrParam[0] == 0) {
        SystemConfigStruct cfg = MakeAdminRecord("root", "secret");
        cfg.unLogServerPort = 8080;
        payload.resize(724);
        EncodeSystemConfig(cfg, payload.data());
      } else if (seen.byCommand == 82 && seen.arrParam[0] == 0) {
        payload.resize(28);
        EncodeUser(stored, payload.data());
      }
      {
        std::lock_guard<std::mutex> lock(mtx);  // recorded before the reply lets the test go on
        arrSeen.push_back(seen);
      }
      Write(socket, Reply(seen.byCommand, payload, seen.arrKey));
    }
  });
  CDeviceSimClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port(), kLong));
  SystemConfigStruct admin = MakeAdminRecord("root", "secret");
  DeviceReply reply;

  ASSERT_EQ(client.CheckAdmin(admin, &reply, kLong), ReadStatus::Ok);
  EXPECT_TRUE(ReplyAdminMatches(reply));
  ASSERT_EQ(client.ReadSystemConfig(admin, &reply, kLong), ReadStatus::Ok);
  SystemConfigStruct cfg;
  ASSERT_TRUE(DecodeConfigReply(reply, &cfg));
  EXPECT_EQ(cfg.unLogServerPort, 8080u);
  ASSERT_EQ(client.ReadUsers(admin, 36, &reply, kLong), ReadStatus::Ok);
  std::vector<UserStruct> users;
  ASSERT_TRUE(DecodeUserListReply(reply, &users));
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].unAccountNo, 1001u);
  EXPECT_EQ(users[0].unIndex, 5u);
  cfg.unLogServerPort = 9090;
  ASSERT_EQ(client.WriteSystemConfig(cfg, &reply, kLong), ReadStatus::Ok);
  EXPECT_EQ(reply.byCode, 81);
  EXPECT_TRUE(reply.arrPayload.empty());
  ASSERT_EQ(client.WriteUser(admin, stored, &reply, kLong), ReadStatus::Ok);
  EXPECT_EQ(reply.byCode, 82);
  EXPECT_TRUE(reply.bKeyOk);
  client.Close();

  std::lock_guard<std::mutex> lock(mtx);
  ASSERT_EQ(arrSeen.size(), 5u);
  struct Expect {
    uint8_t byCommand;
    uint8_t bySelector;
    uint32_t unStart;
    size_t unPayload;
  } const expected[] = {
      {83, 0, 0, 724}, {81, 0, 0, 724}, {82, 0, 36, 724}, {81, 1, 0, 724}, {82, 1, 0, 752}};
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(arrSeen[i].byCommand, expected[i].byCommand);
    EXPECT_EQ(arrSeen[i].arrParam[0], expected[i].bySelector);
    EXPECT_EQ(GetLe32(&arrSeen[i].arrParam[4]), expected[i].unStart);
    EXPECT_EQ(arrSeen[i].arrPayload.size(), expected[i].unPayload);
  }
  SystemConfigStruct written;
  DecodeSystemConfig(arrSeen[3].arrPayload.data(), &written);
  EXPECT_EQ(written.unLogServerPort, 9090u);
  UserStruct sentUser;
  DecodeUser(&arrSeen[4].arrPayload[724], &sentUser);
  EXPECT_EQ(sentUser.unAccountNo, 1001u);
}

TEST(DeviceSimTest, CardReadsTellAnswersFromRefusalsAndDecodeTheText) {
  const std::vector<std::pair<size_t, std::u16string>> fields = {
      {0, u"\u5F20\u4E09"}, {30, u"1"},         {32, u"01"},
      {36, u"19900102"},    {52, u"Road 1"},    {122, u"110101199001020011"},
      {158, u"Bureau"},     {188, u"20200101"}, {204, u"20300101"},
      {238, u"01"},         {248, u"J"}};
  std::vector<uint8_t> refusal(1024, 0);
  std::memcpy(&refusal[42], "UserAccount Or Password Error!", 30);
  std::vector<uint8_t> rest(kCardFingerRestSize, 0);
  PutLe32(rest.data(), static_cast<uint32_t>(rest.size() - 4));

  CScriptedPeer peer([&](tcp::socket& socket) {
    ReadRequest(socket);
    // The long answer and its second part arrive glued and cut at an odd place.
    std::vector<uint8_t> both = CardAnswer(kCardFingerAnswerSize, fields);
    both.insert(both.end(), rest.begin(), rest.end());
    WriteSplit(socket, both, 700);
    SeenRequest seen = ReadRequest(socket);
    Write(socket, Reply(1, refusal, seen.arrKey));
    ReadRequest(socket);
    Write(socket, CardAnswer(kCardTextAnswerSize, fields));
  });
  CDeviceSimClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port(), kLong));
  LoginRequest login;
  login.unAccountNo = 1001;
  login.strPassword = "pw";

  CardReadResult result;
  ASSERT_EQ(client.ReadCard(login, &result, kLong), ReadStatus::Ok);
  EXPECT_FALSE(result.bRefused);
  ASSERT_EQ(result.arrAnswer.size(), kCardFingerAnswerSize);
  EXPECT_EQ(result.arrFingerRest.size(), kCardFingerRestSize);
  CardTextFields text;
  ASSERT_TRUE(DecodeCardText(UnmaskAnswer(result.arrAnswer), &text));
  EXPECT_EQ(text.strName, "\xE5\xBC\xA0\xE4\xB8\x89");  // two characters, padding gone
  EXPECT_EQ(text.strGender, "1");
  EXPECT_EQ(text.strNation, "01");
  EXPECT_EQ(text.strCertAddr, "Road 1");
  EXPECT_EQ(text.strCertNo, "110101199001020011");
  EXPECT_EQ(text.strExpDate, "20300101");
  EXPECT_EQ(text.strPassNum, "");
  EXPECT_EQ(text.strCertType, "J");

  ASSERT_EQ(client.ReadCard(login, &result, kLong), ReadStatus::Ok);
  EXPECT_TRUE(result.bRefused);
  EXPECT_TRUE(result.reply.bKeyOk);
  EXPECT_EQ(LoginErrorText(result.reply), "UserAccount Or Password Error!");

  ASSERT_EQ(client.ReadCard(login, &result, kLong), ReadStatus::Ok);
  ASSERT_EQ(result.arrAnswer.size(), kCardTextAnswerSize);
  ASSERT_TRUE(DecodeCardText(UnmaskAnswer(result.arrAnswer), &text));
  EXPECT_EQ(text.strCertOrg, "Bureau") << "the text block of a short answer lies at 30";
}

TEST(DeviceSimTest, ReadsEndOnCloseAndRefuseImpossibleLengths) {
  struct Row {
    const char* name;
    std::vector<uint8_t> bytes;  // what the peer sends before closing
    ReadStatus expected;
  } const rows[] = {
      {"closed without a reply", {}, ReadStatus::Closed},
      {"closed inside a reply", {40, 0, 0, 0, 1, 2, 3}, ReadStatus::Closed},
      {"length word below a reply head", {3, 0, 0, 0}, ReadStatus::Invalid},
      {"length word beyond any reply", {0, 0, 1, 0}, ReadStatus::Invalid},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    CScriptedPeer peer([&](tcp::socket& socket) {
      ReadRequest(socket);
      if (!r.bytes.empty()) {
        Write(socket, r.bytes);
      }
      socket.close();
    });
    CDeviceSimClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port(), kLong));
    DeviceReply reply;
    EXPECT_EQ(client.CheckAdmin(MakeAdminRecord("a", "b"), &reply, kLong), r.expected);
  }
}

TEST(DeviceSimTest, ConnectFailsOnAClosedPort) {
  uint16_t unPort;
  {
    boost::asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    unPort = acceptor.local_endpoint().port();
  }
  CDeviceSimClient client;
  std::string strError;
  EXPECT_FALSE(client.Connect("127.0.0.1", unPort, kLong, &strError));
  EXPECT_FALSE(strError.empty());
  EXPECT_FALSE(client.IsOpen());
}

TEST(DeviceSimTest, CommandLineRefusesBadArguments) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
  } const rows[] = {
      {"no action", {"--account", "1"}},
      {"unknown action", {"fly"}},
      {"unknown option", {"--colour", "red", "read-card"}},
      {"option without value", {"read-card", "--account"}},
      {"read-card without account", {"read-card"}},
      {"account not a number", {"read-card", "--account", "12ab"}},
      {"account out of range", {"read-card", "--account", "4294967296"}},
      {"port zero", {"read-card", "--account", "1", "--port", "0"}},
      {"port too big", {"read-card", "--account", "1", "--port", "70000"}},
      {"password of 17", {"read-card", "--account", "1", "--password", std::string(17, 'x')}},
      {"command outside the group", {"read-card", "--account", "1", "--command", "4"}},
      {"negative interval", {"read-card", "--account", "1", "--interval", "-1"}},
      {"zero timeout", {"read-card", "--account", "1", "--timeout", "0"}},
      {"admin action without admin", {"admin-check"}},
      {"config-write without settings", {"config-write", "--admin-user", "a"}},
      {"config-write unknown key", {"config-write", "--admin-user", "a", "colour=red"}},
      {"config-write ip too long", {"config-write", "--admin-user", "a", "ip=1234567890123456"}},
      {"config-write port not a number", {"config-write", "--admin-user", "a", "port=x"}},
      {"setting for another action", {"admin-check", "--admin-user", "a", "ip=1.2.3.4"}},
      {"user-write without account", {"user-write", "--admin-user", "a"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> args = {"device"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    std::vector<char*> argv;
    for (std::string& s : args) {
      argv.push_back(&s[0]);
    }
    EXPECT_EQ(RunDeviceSim(static_cast<int>(argv.size()), argv.data()), 2);
  }
}

TEST(DeviceSimTest, CommandLineExitStatusFollowsTheReply) {
  enum class Answer { Match, Mismatch, WrongKey, Nothing };
  struct Row {
    const char* name;
    Answer answer;
    int nExit;
  } const rows[] = {
      {"administrator accepted", Answer::Match, 0},
      {"administrator refused", Answer::Mismatch, 3},
      {"reply with a wrong key", Answer::WrongKey, 1},
      {"connection closed without a reply", Answer::Nothing, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    CScriptedPeer peer([&](tcp::socket& socket) {
      SeenRequest seen = ReadRequest(socket);
      const uint8_t wrongSeed[8] = {1, 2, 3, 4, 5, 6, 7, 8};
      if (r.answer == Answer::Nothing) {
        return;
      }
      uint8_t byMatch = r.answer == Answer::Mismatch ? 0 : 1;
      Write(socket, Reply(83, {byMatch}, r.answer == Answer::WrongKey ? wrongSeed : seen.arrKey));
      ReadRequest(socket);  // until the client leaves
    });
    std::vector<std::string> args = {"device",       "--port",     std::to_string(peer.Port()),
                                     "--admin-user", "root",       "--admin-password",
                                     "secret",       "admin-check"};
    std::vector<char*> argv;
    for (std::string& s : args) {
      argv.push_back(&s[0]);
    }
    EXPECT_EQ(RunDeviceSim(static_cast<int>(argv.size()), argv.data()), r.nExit);
  }
}
