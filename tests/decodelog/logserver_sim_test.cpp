#include "logserver_sim.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "decodelog/card_document.h"
#include "sim.h"
#include "support/test_util.h"

namespace {

const char kKey[] = "0123456789abcdef";

std::string Request(const std::string& strBody, const std::string& strPath = "/log") {
  return "POST " + strPath +
         " HTTP/1.1\r\nHost: 127.0.0.1:80\r\nContent-Length: " + std::to_string(strBody.size()) +
         "\r\nContent-Type: application/json\r\n\r\n" + strBody;
}

const char kInner[] =
    "{\"transdata\": 7, \"cardInfo\" : {\"name\" : \"N\", \"gender\" : 1, \"nation\" : \"汉\", "
    "\"birthDate\" : \"B\", \"certAddr\" : \"A\", \"certNo\" : \"C\", \"headPic\" : \"P\", "
    "\"certOrg\" : \"O\", \"effDate\" : \"E\", \"expDate\" : \"X\", \"signCount\" : \"S\", "
    "\"passNum\" : \"Q\", \"certType\" : \"T\", \"deviceId\" : \"D\", }}";

std::string Envelope(const std::string& strTransactionId, const std::string& strReqTime,
                     const std::string& strReqData, const std::string& strAppKey = "ak") {
  return "{\"contractRoot\": {\"tcpCont\": {\"transactionId\": \"" + strTransactionId +
         "\", \"svcCode\": \"card.accept.cardData\", \"appKey\": \"" + strAppKey +
         "\", \"sign\": \"sg\", \"reqTime\": \"" + strReqTime +
         "\", \"version\": \"V1.0\"}, \"svcCont\": {\"reqData\": \"" + strReqData + "\"}}}";
}

std::string GoodEnvelope() {
  return Envelope("ak202601020304056789", "20260102030405678", AesEcbEncryptToHex(kInner, kKey));
}

// A blocking client for one connection to the simulator.
class Client {
 public:
  explicit Client(uint16_t unPort) : m_socket(m_io) {
    m_socket.connect(
        boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), unPort));
  }
  void Send(const std::string& strText) {
    boost::asio::write(m_socket, boost::asio::buffer(strText));
  }
  void ShutdownSend() { m_socket.shutdown(boost::asio::ip::tcp::socket::shutdown_send); }
  // Everything until the server closes.
  std::string ReadToEnd() {
    std::string strOut;
    boost::system::error_code ec;
    char buf[1024];
    for (;;) {
      size_t n = m_socket.read_some(boost::asio::buffer(buf), ec);
      if (ec) {
        return strOut;
      }
      strOut.append(buf, n);
    }
  }
  // Reads until strEnd has arrived (or the server closes).
  std::string ReadUntil(const std::string& strEnd) {
    std::string strOut;
    boost::system::error_code ec;
    char buf[1024];
    while (strOut.find(strEnd) == std::string::npos) {
      size_t n = m_socket.read_some(boost::asio::buffer(buf), ec);
      if (ec) {
        break;
      }
      strOut.append(buf, n);
    }
    return strOut;
  }

 private:
  boost::asio::io_context m_io;
  boost::asio::ip::tcp::socket m_socket;
};

std::unique_ptr<CLogServerSim> StartSim(
    LogServerSimMode mode, std::vector<std::string>* pEvents,
    std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
  LogServerSimOptions options;
  options.strSecretKey = kKey;
  options.mode = mode;
  options.startDelay = delay;
  std::unique_ptr<CLogServerSim> upSim(new CLogServerSim(options));
  if (pEvents != nullptr) {
    upSim->SetEventSink([pEvents](const std::string& s) { pEvents->push_back(s); });
  }
  upSim->Start();
  return upSim;
}

}  // namespace

TEST(LogServerSimTest, ReadsTheGatewayHeadStrictly) {
  const std::string strBody = "{}";
  struct Row {
    const char* szName;
    std::string strInput;
    HttpParse result;
  } const rows[] = {
      {"the gateway's request", Request(strBody), HttpParse::Complete},
      {"head not finished", Request(strBody).substr(0, 30), HttpParse::NeedMore},
      {"body not finished", Request(strBody).substr(0, Request(strBody).size() - 1),
       HttpParse::NeedMore},
      {"another method",
       "GET /log HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nContent-Type: application/json"
       "\r\n\r\n{}",
       HttpParse::Invalid},
      {"another version",
       "POST /log HTTP/1.0\r\nHost: h\r\nContent-Length: 2\r\nContent-Type: application/json"
       "\r\n\r\n{}",
       HttpParse::Invalid},
      {"no path",
       "POST  HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nContent-Type: "
       "application/json\r\n\r\n{}",
       HttpParse::Invalid},
      {"lines in another order",
       "POST /log HTTP/1.1\r\nContent-Length: 2\r\nHost: h\r\nContent-Type: application/json"
       "\r\n\r\n{}",
       HttpParse::Invalid},
      {"an extra line",
       "POST /log HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nContent-Type: application/json"
       "\r\nX: y\r\n\r\n{}",
       HttpParse::Invalid},
      {"no Content-Type", "POST /log HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\n{}",
       HttpParse::Invalid},
      {"another Content-Type",
       "POST /log HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\n{}",
       HttpParse::Invalid},
      {"length not a number",
       "POST /log HTTP/1.1\r\nHost: h\r\nContent-Length: 2x\r\nContent-Type: application/json"
       "\r\n\r\n{}",
       HttpParse::Invalid},
      {"line end without CR", "POST /log HTTP/1.1\nHost: h\n", HttpParse::Invalid},
      {"body over 1 MiB",
       "POST /log HTTP/1.1\r\nHost: h\r\nContent-Length: 1048577\r\nContent-Type: "
       "application/json\r\n\r\n",
       HttpParse::Invalid},
      {"head over 8 KiB", "POST /" + std::string(9000, 'a'), HttpParse::Invalid},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    LogServerDocument doc;
    size_t unUsed = 0;
    std::string strError;
    EXPECT_EQ(ParseLogServerRequest(row.strInput, &doc, &unUsed, &strError), row.result);
    if (row.result == HttpParse::Complete) {
      EXPECT_EQ(doc.strPath, "/log");
      EXPECT_EQ(doc.strHost, "127.0.0.1:80");
      EXPECT_EQ(doc.strBody, strBody);
      EXPECT_EQ(unUsed, row.strInput.size());
    } else if (row.result == HttpParse::Invalid) {
      EXPECT_FALSE(strError.empty());
    }
  }
  // Two requests in one read: the first is taken, the second stays.
  std::string strTwo = Request("{\"a\":1}") + Request("{}");
  size_t unUsed = 0;
  LogServerDocument doc;
  ASSERT_EQ(ParseLogServerRequest(strTwo, &doc, &unUsed, nullptr), HttpParse::Complete);
  EXPECT_EQ(doc.strBody, "{\"a\":1}");
  EXPECT_EQ(unUsed, Request("{\"a\":1}").size());
}

TEST(LogServerSimTest, RemovesOnlyCommasBeforeAClosingBrace) {
  struct Row {
    const char* szIn;
    const char* szOut;
    bool bRemoved;
  } const rows[] = {
      {"{\"a\": 1, }", "{\"a\": 1 }", true},
      {"[1, 2,\r\n\t]", "[1, 2\r\n\t]", true},
      {"{\"a\": {\"b\": 1,},}", "{\"a\": {\"b\": 1}}", true},
      {"{\"a\": \",}\"}", "{\"a\": \",}\"}", false},
      {"{\"a\": \"\\\",}\"}", "{\"a\": \"\\\",}\"}", false},
      {"{\"a\": 1, \"b\": 2}", "{\"a\": 1, \"b\": 2}", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szIn);
    bool bRemoved = !row.bRemoved;
    EXPECT_EQ(RemoveTrailingCommas(row.szIn, &bRemoved), row.szOut);
    EXPECT_EQ(bRemoved, row.bRemoved);
  }
}

TEST(LogServerSimTest, OpensAndChecksTheEnvelope) {
  LogServerDocument doc;
  ASSERT_TRUE(DecodeLogServerBody(GoodEnvelope(), kKey, &doc)) << doc.strError;
  EXPECT_TRUE(doc.bTrailingCommaRemoved);
  EXPECT_EQ(doc.strTransData, "7");
  EXPECT_EQ(doc.mapCard["gender"], "1");
  EXPECT_EQ(doc.mapCard["nation"], "汉");
  EXPECT_EQ(doc.mapCard["deviceId"], "D");
  EXPECT_NE(DescribeLogServerDocument(doc).find("name N, male, nation 汉"), std::string::npos);

  const std::string strReqData = AesEcbEncryptToHex(kInner, kKey);
  std::string strLower = strReqData;
  for (char& c : strLower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  struct Row {
    const char* szName;
    std::string strBody;
    std::string strKey;
  } const rows[] = {
      {"not JSON", "{\"contractRoot\": ", kKey},
      {"stamp that is no date and time",
       Envelope("ak202613020304056799", "20260102030405680", strReqData), kKey},
      {"transactionId without the appKey",
       Envelope("xx202601020304056789", "20260102030405678", strReqData), kKey},
      {"reqTime too short", Envelope("ak202601020304056789", "2026010203040567", strReqData), kKey},
      {"empty reqData", Envelope("ak202601020304056789", "20260102030405678", ""), kKey},
      {"lower-case hex", Envelope("ak202601020304056789", "20260102030405678", strLower), kKey},
      {"cut cipher text",
       Envelope("ak202601020304056789", "20260102030405678", strReqData.substr(2)), kKey},
      {"another key", GoodEnvelope(), "fedcba9876543210"},
      {"inner document without cardInfo",
       Envelope("ak202601020304056789", "20260102030405678",
                AesEcbEncryptToHex("{\"transdata\": 1}", kKey)),
       kKey},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    LogServerDocument bad;
    EXPECT_FALSE(DecodeLogServerBody(row.strBody, row.strKey, &bad));
    EXPECT_FALSE(bad.bValid);
    EXPECT_FALSE(bad.strError.empty());
  }
}

TEST(LogServerSimTest, NormalModeAnswersEveryRequest) {
  std::vector<std::string> events;
  auto upSim = StartSim(LogServerSimMode::Normal, &events);
  Client client(upSim->Port());
  client.Send(Request(GoodEnvelope(), "/card/log"));
  std::string strAnswer = client.ReadUntil("accepted\"}");
  EXPECT_EQ(strAnswer.compare(0, 17, "HTTP/1.1 200 OK\r\n"), 0) << strAnswer;
  // The same connection carries a second request; an unreadable record gets a 400.
  client.Send(Request(Envelope("ak1", "2", "00")));
  strAnswer = client.ReadUntil("record\"}");
  EXPECT_EQ(strAnswer.compare(0, 26, "HTTP/1.1 400 Bad Request\r\n"), 0) << strAnswer;
  // A broken head is answered with 400 and the connection closed.
  client.Send("BREW /pot HTTP/1.1\r\n\r\n");
  strAnswer = client.ReadToEnd();
  EXPECT_EQ(strAnswer.compare(0, 26, "HTTP/1.1 400 Bad Request\r\n"), 0) << strAnswer;

  EXPECT_EQ(upSim->Requests(), 2u);
  EXPECT_EQ(upSim->ValidDocuments(), 1u);
  EXPECT_EQ(upSim->BadRequests(), 2u);
  EXPECT_EQ(upSim->Answers(), 3u);
  std::vector<LogServerDocument> docs = upSim->Documents();
  ASSERT_EQ(docs.size(), 2u);
  EXPECT_EQ(docs[0].strPath, "/card/log");
  EXPECT_TRUE(docs[0].bValid);
  upSim->Stop();
  bool bCardLine = false;
  for (const std::string& s : events) {
    bCardLine = bCardLine || s.find("card record for /card/log: name N") != std::string::npos;
  }
  EXPECT_TRUE(bCardLine);
}

TEST(LogServerSimTest, SilentAndCloseModesNeverAnswer) {
  struct Row {
    LogServerSimMode mode;
    bool bKeepsConnection;
  } const rows[] = {{LogServerSimMode::Silent, true}, {LogServerSimMode::Close, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(LogServerSimModeName(row.mode));
    auto upSim = StartSim(row.mode, nullptr);
    Client client(upSim->Port());
    client.Send(Request(GoodEnvelope()));
    ASSERT_TRUE(WaitFor([&] { return upSim->Requests() == 1; }));
    if (row.bKeepsConnection) {
      // Still open: a second request on it is read as well.
      client.Send(Request(GoodEnvelope()));
      ASSERT_TRUE(WaitFor([&] { return upSim->Requests() == 2; }));
      EXPECT_EQ(upSim->OpenConnections(), 1u);
      client.ShutdownSend();
    }
    EXPECT_EQ(client.ReadToEnd(), "");
    EXPECT_TRUE(WaitFor([&] { return upSim->OpenConnections() == 0; }));
    EXPECT_EQ(upSim->Answers(), 0u);
    EXPECT_EQ(upSim->ValidDocuments(), upSim->Requests());
  }
}

TEST(LogServerSimTest, RefusesConnectionsUntilItListens) {
  auto upSim = StartSim(LogServerSimMode::Normal, nullptr, std::chrono::hours(1));
  EXPECT_FALSE(upSim->Listening());
  EXPECT_THROW(Client client(upSim->Port()), boost::system::system_error);
  upSim->Stop();  // does not wait for the delay

  auto upLate = StartSim(LogServerSimMode::Normal, nullptr, std::chrono::milliseconds(50));
  ASSERT_TRUE(WaitFor([&] { return upLate->Listening(); }));
  Client client(upLate->Port());
  client.Send(Request(GoodEnvelope()));
  EXPECT_EQ(client.ReadUntil("accepted\"}").compare(0, 15, "HTTP/1.1 200 OK"), 0);
}

TEST(LogServerSimTest, CommandLineRejectsBadArguments) {
  struct Row {
    std::vector<std::string> args;
    int nStatus;
  } const rows[] = {
      {{"--help"}, 0},
      {{}, 2},
      {{"--port", "0"}, 2},
      {{"--secret-key", kKey}, 2},
      {{"--port", "65536", "--secret-key", kKey}, 2},
      {{"--port", "-1", "--secret-key", kKey}, 2},
      {{"--port", "0", "--secret-key", "short"}, 2},
      {{"--port", "0", "--secret-key", kKey, "--mode", "loud"}, 2},
      {{"--port", "0", "--secret-key", kKey, "--start-delay", "soon"}, 2},
      {{"--port", "0", "--secret-key", kKey, "--start-delay", "-1"}, 2},
      {{"--port", "0", "--secret-key", kKey, "--address", "localhost.x"}, 2},
      {{"--port", "0", "--secret-key", kKey, "--verbose"}, 2},
      {{"--port"}, 2},
  };
  for (const Row& row : rows) {
    std::string strTrace;
    std::vector<char*> argv;
    std::vector<std::string> args = row.args;
    args.insert(args.begin(), "logserver");
    for (std::string& s : args) {
      strTrace += s + " ";
      argv.push_back(&s[0]);
    }
    SCOPED_TRACE(strTrace);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    int nStatus = RunLogServerSim(static_cast<int>(argv.size()), argv.data());
    std::string strOut = ::testing::internal::GetCapturedStdout();
    std::string strErr = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(nStatus, row.nStatus);
    if (row.nStatus == 2) {
      EXPECT_NE(strErr.find("cardgate-sim logserver: "), std::string::npos);
    } else {
      EXPECT_NE(strOut.find("usage: cardgate-sim logserver"), std::string::npos);
    }
  }
}

TEST(LogServerSimTest, SlowServerAnswersLateAndNotToAPeerThatLeft) {
  LogServerSimOptions options;
  options.strSecretKey = kKey;
  options.answerDelay = std::chrono::milliseconds(300);
  CLogServerSim sim(options);
  sim.Start();
  {
    Client leaver(sim.Port());
    leaver.Send(Request(GoodEnvelope()));
    ASSERT_TRUE(WaitFor([&] { return sim.Requests() == 1; }));
  }  // gone before its answer is due
  auto tmSent = std::chrono::steady_clock::now();
  Client client(sim.Port());
  client.Send(Request(GoodEnvelope()));
  std::string strAnswer = client.ReadUntil("accepted\"}");
  EXPECT_GE(std::chrono::steady_clock::now() - tmSent, std::chrono::milliseconds(300));
  EXPECT_EQ(strAnswer.compare(0, 15, "HTTP/1.1 200 OK"), 0) << strAnswer;
  EXPECT_EQ(sim.Requests(), 2u);
  // The count follows the write the client has just read; none goes to the peer that left.
  EXPECT_TRUE(WaitFor([&] { return sim.Answers() >= 1; }));
  EXPECT_EQ(sim.Answers(), 1u);
}
