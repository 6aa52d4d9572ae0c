#include "samv_sim.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "config/byte_io.h"
#include "core/device_frame.h"
#include "net/net_test_util.h"
#include "net/tcp_client.h"
#include "sim.h"
#include "support/test_util.h"

namespace {

using boost::asio::ip::tcp;
using std::chrono::milliseconds;

const uint8_t kKey[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

// Unmasks a framed block in a copy: the length word and key stay, the body is unmasked.
std::vector<uint8_t> Unmask(const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> plain = frame;
  if (plain.size() > SamvAnswer::kBodyOffset) {
    MaskDeviceBody(&plain[SamvAnswer::kBodyOffset], plain.size() - SamvAnswer::kBodyOffset,
                   &plain[SamvAnswer::kKeyOffset]);
  }
  return plain;
}

// One field of a text block as UCS-2 units, blanks kept.
std::vector<uint16_t> Units(const std::vector<uint8_t>& block, size_t unOffset, size_t unBytes) {
  std::vector<uint16_t> units;
  for (size_t i = 0; i < unBytes; i += 2) {
    units.push_back(GetLe16(&block[unOffset + i]));
  }
  return units;
}

// The units of a text padded with blanks to unBytes.
std::vector<uint16_t> Padded(const std::string& strUtf8, size_t unBytes) {
  std::vector<uint16_t> units;
  EXPECT_TRUE(Utf8ToUcs2Units(strUtf8, &units));
  units.resize(unBytes / 2, 0x0020);
  return units;
}

TEST(SamvCardAnswerTest, BlocksHaveDesignSizesFramingAndOffsets) {
  SamvCardFields fields;
  struct Row {
    const char* szName;
    SamvAnswerBlock eBlock;
    size_t unSize;
    size_t unTextOffset;   // 0: none
    size_t unPhotoOffset;  // 0: none
  } const rows[] = {
      {"text", SamvAnswerBlock::Text, 288, 30, 0},
      {"text and photo", SamvAnswerBlock::TextPhoto, 1311, 30, 286},
      {"fingerprint part 1", SamvAnswerBlock::FingerprintPart1, 1313, 32, 288},
      {"fingerprint part 2", SamvAnswerBlock::FingerprintPart2, 1041, 0, 0},
  };
  std::vector<uint8_t> text = BuildCardTextBlock(fields);
  std::vector<uint8_t> photo = SamvPhotoBytes(fields);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    std::vector<uint8_t> answer = BuildCardAnswer(row.eBlock, fields, kKey, 9);
    ASSERT_EQ(answer.size(), row.unSize);
    EXPECT_EQ(GetLe32(&answer[0]), row.unSize - 4);
    EXPECT_EQ(std::memcmp(&answer[4], kKey, 8), 0);
    std::vector<uint8_t> plain = Unmask(answer);
    EXPECT_NE(plain, answer);  // the body is masked on the wire
    EXPECT_EQ(plain[SamvAnswer::kCommandOffset], 9);
    if (row.unTextOffset != 0) {
      EXPECT_EQ(std::vector<uint8_t>(plain.begin() + row.unTextOffset,
                                     plain.begin() + row.unTextOffset + 256),
                text);
    }
    if (row.unPhotoOffset != 0) {
      EXPECT_EQ(std::vector<uint8_t>(plain.begin() + row.unPhotoOffset,
                                     plain.begin() + row.unPhotoOffset + 1024),
                photo);
    }
    // Masking again restores the wire bytes.
    EXPECT_EQ(Unmask(plain), answer);
  }
}

TEST(SamvCardAnswerTest, KindsGiveTheirBlocksInOrder) {
  SamvCardFields fields;
  struct Row {
    SamvCardKind eKind;
    std::vector<size_t> sizes;
  } const rows[] = {
      {SamvCardKind::Text, {288}},
      {SamvCardKind::Photo, {1311}},
      {SamvCardKind::Fingerprint, {1313, 1041}},
      {SamvCardKind::FingerprintPart1, {1313}},
      {SamvCardKind::PhotoStrayPart2, {1311, 1041}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(SamvCardKindName(row.eKind));
    auto blocks = BuildCardAnswers(row.eKind, fields, kKey);
    std::vector<size_t> sizes;
    for (const auto& block : blocks) {
      sizes.push_back(block.size());
    }
    EXPECT_EQ(sizes, row.sizes);
  }
  std::vector<uint8_t> ack = BuildSamvAck(4, kKey);
  ASSERT_EQ(ack.size(), SamvAnswer::kAckSize);
  EXPECT_EQ(GetLe32(&ack[0]), 16u);
  EXPECT_EQ(Unmask(ack)[12], 4);
}

TEST(SamvCardAnswerTest, TextBlockHoldsUcs2FieldsPaddedWithBlanks) {
  SamvCardFields fields;
  fields.strName = "王·小明";
  fields.strGender = "2";
  fields.strNation = "43";
  fields.strPassNum = "P1234";
  fields.strSignCount = "01";
  fields.strCertType = "J";
  std::vector<uint8_t> block = BuildCardTextBlock(fields);
  ASSERT_EQ(block.size(), 256u);
  struct Row {
    const char* szName;
    size_t unOffset;
    size_t unBytes;
    std::string strValue;
  } const rows[] = {
      {"name", SamvCardText::kName, 30, fields.strName},
      {"gender", SamvCardText::kGender, 2, "2"},
      {"nation", SamvCardText::kNation, 4, "43"},
      {"birthDate", SamvCardText::kBirthDate, 16, fields.strBirth},
      {"certAddr", SamvCardText::kCertAddr, 70, fields.strAddress},
      {"certNo", SamvCardText::kCertNo, 36, fields.strCertNo},
      {"certOrg", SamvCardText::kCertOrg, 30, fields.strOrg},
      {"effDate", SamvCardText::kEffDate, 16, fields.strEff},
      {"expDate", SamvCardText::kExpDate, 16, fields.strExp},
      {"passNum", SamvCardText::kPassNum, 18, "P1234"},
      {"signCount", SamvCardText::kSignCount, 4, "01"},
      {"certType", SamvCardText::kCertType, 2, "J"},
      {"reserved 242", 242, 6, ""},
      {"reserved 250", 250, 6, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    EXPECT_EQ(Units(block, row.unOffset, row.unBytes), Padded(row.strValue, row.unBytes));
  }
  // The name's characters: U+738B U+00B7 U+5C0F U+660E.
  EXPECT_EQ(GetLe16(&block[0]), 0x738B);
  EXPECT_EQ(GetLe16(&block[2]), 0x00B7);
}

TEST(SamvCardAnswerTest, Utf8ConversionAcceptsBmpTextOnly) {
  struct Row {
    const char* szName;
    std::string strText;
    bool bValid;
    std::vector<uint16_t> units;
  } const rows[] = {
      {"empty", "", true, {}},
      {"ascii", "A1 ", true, {0x41, 0x31, 0x20}},
      {"two bytes", "\xC2\xB7", true, {0x00B7}},
      {"three bytes", "\xE5\xBC\xA0", true, {0x5F20}},
      {"four bytes", "\xF0\x9F\x98\x80", false, {}},
      {"cut short", "\xE5\xBC", false, {}},
      {"stray continuation", "\x80", false, {}},
      {"overlong", "\xC0\x80", false, {}},
      {"surrogate", "\xED\xA0\x80", false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    std::vector<uint16_t> units;
    EXPECT_EQ(Utf8ToUcs2Units(row.strText, &units), row.bValid);
    if (row.bValid) {
      EXPECT_EQ(units, row.units);
    }
  }
}

TEST(SamvCardAnswerTest, FieldsAreCheckedAgainstTheirWidth) {
  SamvCardFields fields;
  std::string strError;
  EXPECT_TRUE(SetSamvCardField(&fields, "name", "一二三四五六七八九十一二三四五", &strError));
  EXPECT_FALSE(SetSamvCardField(&fields, "name", "一二三四五六七八九十一二三四五六", &strError));
  EXPECT_NE(strError.find("at most 15"), std::string::npos) << strError;
  EXPECT_FALSE(SetSamvCardField(&fields, "gender", "12", &strError));
  EXPECT_FALSE(SetSamvCardField(&fields, "colour", "red", &strError));
  EXPECT_NE(strError.find("unknown"), std::string::npos) << strError;
  EXPECT_TRUE(SetSamvCardField(&fields, "cert-no", "12345678901234567X", &strError));
  EXPECT_EQ(fields.strCertNo, "12345678901234567X");
}

TEST(SamvCardAnswerTest, CardAndPhotoFilesAreRead) {
  TempDir dir;
  dir.Write("card.txt",
            "# a test card\n"
            "name = 李四\n"
            "\n"
            "address=上海市 浦东新区\n"
            "sign-count=02\r\n");
  SamvCardFields fields;
  std::string strError;
  ASSERT_TRUE(LoadSamvCardFile(dir.File("card.txt"), &fields, &strError)) << strError;
  EXPECT_EQ(fields.strName, "李四");
  EXPECT_EQ(fields.strAddress, "上海市 浦东新区");
  EXPECT_EQ(fields.strSignCount, "02");

  dir.Write("bad.txt", "name=x\nno equals sign\n");
  EXPECT_FALSE(LoadSamvCardFile(dir.File("bad.txt"), &fields, &strError));
  EXPECT_NE(strError.find("bad.txt:2"), std::string::npos) << strError;
  EXPECT_FALSE(LoadSamvCardFile(dir.File("missing.txt"), &fields, &strError));

  std::string strPhoto(1024, '\0');
  for (size_t i = 0; i < strPhoto.size(); ++i) {
    strPhoto[i] = static_cast<char>(255 - i % 256);
  }
  dir.Write("photo.bin", strPhoto);
  ASSERT_TRUE(LoadSamvPhotoFile(dir.File("photo.bin"), &fields, &strError)) << strError;
  std::vector<uint8_t> plain = Unmask(BuildCardAnswer(SamvAnswerBlock::TextPhoto, fields, kKey));
  EXPECT_EQ(std::memcmp(&plain[SamvAnswer::kPhotoOffset], strPhoto.data(), 1024), 0);
  dir.Write("short.bin", std::string(1000, 'x'));
  EXPECT_FALSE(LoadSamvPhotoFile(dir.File("short.bin"), &fields, &strError));
  EXPECT_NE(strError.find("1000"), std::string::npos) << strError;
}

// ---- the simulator on loopback ----

struct Received {
  std::mutex mtx;
  std::vector<std::vector<uint8_t>> blocks;
};
Received g_received;

uint32_t CollectBlock(CTcpClient*, tcp::socket*, const uint8_t* pData, uint32_t unCount,
                      DeviceHandle) {
  std::lock_guard<std::mutex> lock(g_received.mtx);
  g_received.blocks.emplace_back(pData, pData + unCount);
  return 1;
}

std::vector<uint8_t> Request(uint8_t byCommand) {
  std::vector<uint8_t> body(12 + 200, 0);  // code, three zero bytes, 8 parameter bytes, payload
  body[0] = byCommand;
  for (size_t i = 12; i < body.size(); ++i) {
    body[i] = static_cast<uint8_t>(i);
  }
  return BuildSamvFrame(kKey, body);
}

class CSamvSimTest : public testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(g_received.mtx);
    g_received.blocks.clear();
  }
  void TearDown() override {
    m_client.Close();
    EXPECT_TRUE(WaitFor([this] { return m_client.ThreadCount() == 0; }));
  }
  void ConnectTo(const CSamvSim& sim) {
    m_client.SetReceiveCallback(CollectBlock);
    m_client.Configure("127.0.0.1", sim.Port(), 0, 0);
    m_client.Start(DeviceHandle());
    ASSERT_TRUE(WaitFor([this] { return m_client.IsConnected(); }));
  }
  std::vector<size_t> BlockSizes() {
    std::lock_guard<std::mutex> lock(g_received.mtx);
    std::vector<size_t> sizes;
    for (const auto& block : g_received.blocks) {
      sizes.push_back(block.size());
    }
    return sizes;
  }
  size_t BlockCount() {
    std::lock_guard<std::mutex> lock(g_received.mtx);
    return g_received.blocks.size();
  }

  CTcpClient m_client;
};

TEST_F(CSamvSimTest, CardModeAnswersCardReadsByKindAndOtherFramesWithAck) {
  struct Row {
    SamvCardKind eKind;
    std::vector<size_t> sizes;
  } const rows[] = {
      {SamvCardKind::Text, {288}},
      {SamvCardKind::Photo, {1311}},
      {SamvCardKind::Fingerprint, {1313, 1041}},
      {SamvCardKind::FingerprintPart1, {1313}},
      {SamvCardKind::PhotoStrayPart2, {1311, 1041}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(SamvCardKindName(row.eKind));
    SetUp();
    SamvSimOptions options;
    options.eMode = SamvSimMode::Card;
    options.eCardKind = row.eKind;
    CSamvSim sim(options);
    ConnectTo(sim);
    std::vector<uint8_t> request = Request(71);
    ASSERT_EQ(m_client.SendData(request.data(), static_cast<uint32_t>(request.size())),
              request.size());
    ASSERT_TRUE(WaitFor([&] { return BlockCount() == row.sizes.size(); }));
    EXPECT_EQ(BlockSizes(), row.sizes);
    {
      std::lock_guard<std::mutex> lock(g_received.mtx);
      EXPECT_EQ(std::memcmp(&g_received.blocks[0][4], kKey, 8), 0);  // the request's key
      EXPECT_EQ(Unmask(g_received.blocks[0])[SamvAnswer::kCommandOffset], 71);
    }
    // Any other frame: the 20-byte acknowledgement.
    request = Request(4);
    ASSERT_EQ(m_client.SendData(request.data(), static_cast<uint32_t>(request.size())),
              request.size());
    ASSERT_TRUE(WaitFor([&] { return BlockCount() == row.sizes.size() + 1; }));
    EXPECT_EQ(BlockSizes().back(), 20u);
    EXPECT_EQ(sim.FramesReceived(), 2u);
    EXPECT_EQ(sim.CommandCodes(), (std::vector<uint8_t>{71, 4}));
    TearDown();
  }
}

TEST_F(CSamvSimTest, EchoModeWritesBackAndRecordsChunks) {
  CSamvSim sim(SamvSimOptions{});
  ConnectTo(sim);
  const uint8_t arrShort[3] = {1, 2, 3};
  ASSERT_EQ(m_client.SendData(arrShort, 3), 3u);
  ASSERT_TRUE(WaitFor([this] { return BlockCount() == 1; }));
  EXPECT_EQ(BlockSizes(), std::vector<size_t>{3});
  EXPECT_EQ(sim.Chunks(), (std::vector<std::vector<uint8_t>>{{1, 2, 3}}));
  EXPECT_EQ(sim.FramesReceived(), 0u);
  EXPECT_EQ(sim.BytesReceived(), 3u);
}

TEST_F(CSamvSimTest, KeepAliveModeSendsZeroBlocksTheClientDrops) {
  SamvSimOptions options;
  options.eMode = SamvSimMode::KeepAlive;
  options.unKeepAliveMs = 10;
  CSamvSim sim(options);
  ConnectTo(sim);
  // Blocks that hold anything but zero bytes, and lone keep-alives that were let through. A
  // keep-alive read alone is dropped; the client's thread can be late, though, and then finds
  // two or more in one read, which it passes on (eight zero bytes are no keep-alive), and a
  // keep-alive written just before or after the echo can share its read.
  auto Look = [](size_t* pDataBlocks, size_t* pLoneKeepAlives) {
    std::lock_guard<std::mutex> lock(g_received.mtx);
    *pDataBlocks = 0;
    *pLoneKeepAlives = 0;
    for (const std::vector<uint8_t>& block : g_received.blocks) {
      const bool bZero = std::all_of(block.begin(), block.end(), [](uint8_t by) { return by == 0; });
      *pDataBlocks += bZero ? 0 : 1;
      *pLoneKeepAlives += bZero && block.size() == 4 ? 1 : 0;
    }
  };
  ASSERT_TRUE(WaitFor([&sim] { return sim.KeepAlivesSent() >= 5; }));
  size_t unDataBlocks = 0;
  size_t unLone = 0;
  Look(&unDataBlocks, &unLone);
  EXPECT_EQ(unDataBlocks, 0u);
  EXPECT_EQ(unLone, 0u);
  const uint8_t arrData[5] = {5, 4, 3, 2, 1};
  ASSERT_EQ(m_client.SendData(arrData, 5), 5u);
  ASSERT_TRUE(WaitFor([&] {
    Look(&unDataBlocks, &unLone);
    return unDataBlocks >= 1;
  }));
  EXPECT_EQ(unLone, 0u);
  std::lock_guard<std::mutex> lock(g_received.mtx);
  for (const std::vector<uint8_t>& block : g_received.blocks) {
    std::vector<uint8_t> arrNonZero;
    std::copy_if(block.begin(), block.end(), std::back_inserter(arrNonZero),
                 [](uint8_t by) { return by != 0; });
    if (!arrNonZero.empty()) {  // the echo, whole, with whole keep-alives beside it at most
      EXPECT_EQ(arrNonZero, std::vector<uint8_t>(arrData, arrData + 5));
      EXPECT_EQ((block.size() - 5) % 4, 0u);
    }
  }
}

TEST_F(CSamvSimTest, SilentModeReadsButNeverAnswers) {
  SamvSimOptions options;
  options.eMode = SamvSimMode::Silent;
  CSamvSim sim(options);
  ConnectTo(sim);
  std::vector<uint8_t> request = Request(1);
  ASSERT_EQ(m_client.SendData(request.data(), static_cast<uint32_t>(request.size())),
            request.size());
  ASSERT_TRUE(WaitFor([&sim] { return sim.FramesReceived() == 1; }));
  EXPECT_FALSE(WaitFor([this] { return BlockCount() > 0; }, milliseconds(200)));
  EXPECT_EQ(sim.AnswersSent(), 0u);
}

TEST_F(CSamvSimTest, CloseModeAndRefuseModeEndConnections) {
  boost::asio::io_context io;
  SamvSimOptions options;
  options.eMode = SamvSimMode::Close;
  CSamvSim closing(options);
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), closing.Port()));
  EXPECT_TRUE(nettest::SeesEndWithin(socket, milliseconds(5000)));
  EXPECT_TRUE(WaitFor([&closing] { return closing.Closed() == 1; }));

  options.eMode = SamvSimMode::Refuse;
  CSamvSim refusing(options);
  ASSERT_NE(refusing.Port(), 0);
  tcp::socket refused(io);
  boost::system::error_code ec;
  refused.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), refusing.Port()), ec);
  EXPECT_EQ(ec, boost::asio::error::connection_refused);
  EXPECT_EQ(refusing.Accepted(), 0u);
}

TEST_F(CSamvSimTest, StopClosesOpenConnections) {
  SamvSimOptions options;
  std::vector<std::string> events;
  std::mutex mtxEvents;
  options.fnEvent = [&](const std::string& strLine) {
    std::lock_guard<std::mutex> lock(mtxEvents);
    events.push_back(strLine);
  };
  CSamvSim sim(options);
  ConnectTo(sim);
  ASSERT_TRUE(WaitFor([&sim] { return sim.Accepted() == 1; }));
  sim.Stop();
  EXPECT_EQ(sim.OpenConnections(), 0u);
  EXPECT_TRUE(WaitFor([this] { return !m_client.IsConnected(); }));
  sim.Stop();  // twice is harmless
  std::lock_guard<std::mutex> lock(mtxEvents);
  ASSERT_GE(events.size(), 2u);
  EXPECT_NE(events[0].find("accepted from 127.0.0.1:"), std::string::npos) << events[0];
}

TEST(SamvSimCommandTest, HelpAndBadArguments) {
  auto run = [](std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& strArg : args) {
      argv.push_back(&strArg[0]);
    }
    return RunSamvSim(static_cast<int>(argv.size()), argv.data());
  };
  testing::internal::CaptureStdout();
  EXPECT_EQ(run({"samv", "--help"}), 0);
  std::string strHelp = testing::internal::GetCapturedStdout();
  EXPECT_NE(strHelp.find("--card-kind"), std::string::npos);

  struct Row {
    std::vector<std::string> args;
    const char* szMessage;
  } const rows[] = {
      {{"samv"}, "at least one --port"},
      {{"samv", "--port", "70000"}, "bad port"},
      {{"samv", "--port", "-1"}, "bad port"},
      {{"samv", "--port", "1", "--mode", "loud"}, "unknown mode"},
      {{"samv", "--port", "1", "--card-kind", "huge"}, "unknown card kind"},
      {{"samv", "--port", "1", "--colour", "red"}, "unknown option"},
      {{"samv", "--port", "1", "--gender", "12"}, "at most 1"},
      {{"samv", "--port"}, "needs a value"},
      {{"samv", "stray"}, "unexpected argument"},
      {{"samv", "--port", "1", "--photo", "/nonexistent/photo"}, "cannot read photo"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szMessage);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(row.args), 2);
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find(row.szMessage), std::string::npos) << strErr;
  }
}

}  // namespace
