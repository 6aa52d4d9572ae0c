#include "logserver_sim.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <thread>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/write.hpp>
#include <nlohmann/json.hpp>

#include "crypto/record_cipher.h"
#include "net/thread_stack.h"
#include "sim.h"

namespace {

constexpr size_t kMaxHead = 8 * 1024;
constexpr size_t kMaxBody = 1024 * 1024;
constexpr int kPollMs = 50;
constexpr size_t kReadChunk = 4096;

constexpr size_t kReqTimeDigits = 17;
constexpr size_t kStampDigits = 18;

// The members of cardInfo, in the order the gateway writes them.
const char* const kCardKeys[] = {"name",      "gender",  "nation",   "birthDate", "certAddr",
                                 "certNo",    "headPic", "certOrg",  "effDate",   "expDate",
                                 "signCount", "passNum", "certType", "deviceId"};

bool AllDigits(const std::string& s) {
  for (char c : s) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

// Reads one "Name: value" line; false unless the name matches exactly.
bool HeaderValue(const std::string& strLine, const char* szName, std::string* pValue) {
  std::string strPrefix = std::string(szName) + ": ";
  if (strLine.compare(0, strPrefix.size(), strPrefix) != 0) {
    return false;
  }
  *pValue = strLine.substr(strPrefix.size());
  return true;
}

std::string JsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A string member of an object, or false.
bool StringMember(const nlohmann::json& obj, const char* szKey, std::string* pOut) {
  auto it = obj.find(szKey);
  if (it == obj.end() || !it->is_string()) {
    return false;
  }
  *pOut = it->get<std::string>();
  return true;
}

// "YYYYMMDDHHMMSSffff" (or longer) with a month, day, hour, minute and second that exist.
bool StampIsDateTime(const std::string& strStamp) {
  if (strStamp.size() < 14 || !AllDigits(strStamp)) {
    return false;
  }
  auto number = [&strStamp](size_t unAt) { return std::atoi(strStamp.substr(unAt, 2).c_str()); };
  return number(4) >= 1 && number(4) <= 12 && number(6) >= 1 && number(6) <= 31 &&
         number(8) < 24 && number(10) < 60 && number(12) < 60;
}

bool Fail(LogServerDocument* pDoc, const std::string& strError) {
  pDoc->bValid = false;
  pDoc->strError = strError;
  return false;
}

}  // namespace

bool HexDecodeUpper(const std::string& strHex, std::vector<uint8_t>* pOut) {
  if (pOut == nullptr || strHex.size() % 2 != 0) {
    return false;
  }
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') {
      return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
    }
    return -1;
  };
  pOut->clear();
  pOut->reserve(strHex.size() / 2);
  for (size_t i = 0; i < strHex.size(); i += 2) {
    int nHigh = digit(strHex[i]);
    int nLow = digit(strHex[i + 1]);
    if (nHigh < 0 || nLow < 0) {
      return false;
    }
    pOut->push_back(static_cast<uint8_t>((nHigh << 4) | nLow));
  }
  return true;
}

bool AesEcbDecryptFromHex(const std::string& strHex, const std::string& strKey, std::string* pPlain,
                          std::string* pError) {
  std::string strIgnored;
  std::string& strError = pError != nullptr ? *pError : strIgnored;
  if (pPlain == nullptr) {
    strError = "no output";
    return false;
  }
  if (strKey.size() != 16 && strKey.size() != 24 && strKey.size() != 32) {
    strError =
        "the secret key is " + std::to_string(strKey.size()) + " bytes long, not 16, 24 or 32";
    return false;
  }
  std::vector<uint8_t> arrCipher;
  if (!HexDecodeUpper(strHex, &arrCipher)) {
    strError = "reqData is not upper-case hexadecimal";
    return false;
  }
  if (arrCipher.empty() || arrCipher.size() % 16 != 0) {
    strError = "reqData holds " + std::to_string(arrCipher.size()) +
               " bytes, not a whole number of 16-byte blocks";
    return false;
  }
  std::string strPlain(arrCipher.size(), '\0');
  if (!AesEcbDecrypt(strKey, arrCipher.data(), arrCipher.size(),
                     reinterpret_cast<uint8_t*>(&strPlain[0]))) {
    strError = "the secret key was refused by the cipher";
    return false;
  }
  size_t unPad = static_cast<unsigned char>(strPlain.back());
  if (unPad < 1 || unPad > 16) {
    strError = "bad padding (wrong secret key?)";
    return false;
  }
  for (size_t i = strPlain.size() - unPad; i < strPlain.size(); ++i) {
    if (static_cast<unsigned char>(strPlain[i]) != unPad) {
      strError = "bad padding (wrong secret key?)";
      return false;
    }
  }
  strPlain.resize(strPlain.size() - unPad);
  *pPlain = strPlain;
  return true;
}

std::string RemoveTrailingCommas(const std::string& strJson, bool* pRemoved) {
  std::string strOut;
  strOut.reserve(strJson.size());
  bool bInString = false;
  bool bRemoved = false;
  for (size_t i = 0; i < strJson.size(); ++i) {
    char c = strJson[i];
    if (bInString) {
      strOut += c;
      if (c == '\\' && i + 1 < strJson.size()) {
        strOut += strJson[++i];
      } else if (c == '"') {
        bInString = false;
      }
      continue;
    }
    if (c == '"') {
      bInString = true;
    } else if (c == ',') {
      size_t j = i + 1;
      while (j < strJson.size() && (strJson[j] == ' ' || strJson[j] == '\t' || strJson[j] == '\r' ||
                                    strJson[j] == '\n')) {
        ++j;
      }
      if (j < strJson.size() && (strJson[j] == '}' || strJson[j] == ']')) {
        bRemoved = true;
        continue;
      }
    }
    strOut += c;
  }
  if (pRemoved != nullptr) {
    *pRemoved = bRemoved;
  }
  return strOut;
}

bool DecodeLogServerBody(const std::string& strBody, const std::string& strKey,
                         LogServerDocument* pDoc) {
  if (pDoc == nullptr) {
    return false;
  }
  pDoc->bValid = false;
  nlohmann::json outer = nlohmann::json::parse(strBody, nullptr, false);
  if (outer.is_discarded() || !outer.is_object()) {
    return Fail(pDoc, "the envelope is not a JSON object");
  }
  auto itRoot = outer.find("contractRoot");
  if (itRoot == outer.end() || !itRoot->is_object()) {
    return Fail(pDoc, "the envelope has no contractRoot object");
  }
  auto itTcp = itRoot->find("tcpCont");
  auto itSvc = itRoot->find("svcCont");
  if (itTcp == itRoot->end() || !itTcp->is_object() || itSvc == itRoot->end() ||
      !itSvc->is_object()) {
    return Fail(pDoc, "contractRoot lacks the tcpCont or svcCont object");
  }
  struct {
    const char* szKey;
    std::string* pValue;
  } const members[] = {{"transactionId", &pDoc->strTransactionId},
                       {"svcCode", &pDoc->strSvcCode},
                       {"appKey", &pDoc->strAppKey},
                       {"sign", &pDoc->strSign},
                       {"reqTime", &pDoc->strReqTime},
                       {"version", &pDoc->strVersion}};
  for (const auto& m : members) {
    if (!StringMember(*itTcp, m.szKey, m.pValue)) {
      return Fail(pDoc, std::string("tcpCont lacks the text ") + m.szKey);
    }
  }
  if (!StringMember(*itSvc, "reqData", &pDoc->strReqData)) {
    return Fail(pDoc, "svcCont lacks the text reqData");
  }
  if (pDoc->strSvcCode != "card.accept.cardData") {
    return Fail(pDoc, "unknown svcCode " + pDoc->strSvcCode);
  }
  if (pDoc->strVersion != "V1.0") {
    return Fail(pDoc, "unknown version " + pDoc->strVersion);
  }
  if (pDoc->strReqTime.size() != kReqTimeDigits || !AllDigits(pDoc->strReqTime)) {
    return Fail(pDoc, "reqTime is not 17 digits");
  }
  const std::string& strId = pDoc->strTransactionId;
  if (strId.size() != pDoc->strAppKey.size() + kStampDigits ||
      strId.compare(0, pDoc->strAppKey.size(), pDoc->strAppKey) != 0 ||
      !AllDigits(strId.substr(pDoc->strAppKey.size()))) {
    return Fail(pDoc, "transactionId is not appKey followed by 18 digits");
  }
  // The stamp is the record's capture time, reqTime that of the attempt: they differ on every
  // attempt but a record's first, taken at its capture.
  if (!StampIsDateTime(strId.substr(pDoc->strAppKey.size()))) {
    return Fail(pDoc, "transactionId's stamp is not a date and time");
  }
  if (pDoc->strReqData.empty()) {
    return Fail(pDoc, "reqData is empty (the gateway's secret key has a wrong length?)");
  }
  std::string strError;
  if (!AesEcbDecryptFromHex(pDoc->strReqData, strKey, &pDoc->strInner, &strError)) {
    return Fail(pDoc, strError);
  }
  nlohmann::json inner = nlohmann::json::parse(pDoc->strInner, nullptr, false);
  pDoc->bTrailingCommaRemoved = false;
  if (inner.is_discarded()) {
    bool bRemoved = false;
    inner = nlohmann::json::parse(RemoveTrailingCommas(pDoc->strInner, &bRemoved), nullptr, false);
    pDoc->bTrailingCommaRemoved = bRemoved && !inner.is_discarded();
  }
  if (inner.is_discarded() || !inner.is_object()) {
    return Fail(pDoc, "the card document is not a JSON object");
  }
  auto itTrans = inner.find("transdata");
  auto itCard = inner.find("cardInfo");
  if (itTrans == inner.end() || itCard == inner.end() || !itCard->is_object()) {
    return Fail(pDoc, "the card document lacks transdata or the cardInfo object");
  }
  pDoc->strTransData = JsonText(*itTrans);
  pDoc->mapCard.Clear();
  for (const char* szKey : kCardKeys) {
    auto it = itCard->find(szKey);
    if (it == itCard->end()) {
      return Fail(pDoc, std::string("cardInfo lacks ") + szKey);
    }
    pDoc->mapCard.Set(szKey, it->is_string() ? it->get<std::string>() : JsonText(*it));
  }
  pDoc->bValid = true;
  pDoc->strError.clear();
  return true;
}

HttpParse ParseLogServerRequest(const std::string& strBuffer, LogServerDocument* pDoc,
                                size_t* punConsumed, std::string* pError) {
  std::string strIgnored;
  std::string& strError = pError != nullptr ? *pError : strIgnored;
  size_t unHeadEnd = strBuffer.find("\r\n\r\n");
  if (unHeadEnd == std::string::npos) {
    if (strBuffer.size() > kMaxHead) {
      strError = "the head is longer than 8 KiB";
      return HttpParse::Invalid;
    }
    // A line end without CR can be refused before the head is complete.
    size_t unLf = strBuffer.find('\n');
    if (unLf != std::string::npos && (unLf == 0 || strBuffer[unLf - 1] != '\r')) {
      strError = "a head line ends without CR LF";
      return HttpParse::Invalid;
    }
    return HttpParse::NeedMore;
  }
  if (unHeadEnd > kMaxHead) {
    strError = "the head is longer than 8 KiB";
    return HttpParse::Invalid;
  }
  std::vector<std::string> arrLines;
  size_t unPos = 0;
  while (unPos < unHeadEnd) {
    size_t unEnd = strBuffer.find("\r\n", unPos);
    arrLines.push_back(strBuffer.substr(unPos, unEnd - unPos));
    unPos = unEnd + 2;
  }
  for (const std::string& strLine : arrLines) {
    if (strLine.find('\n') != std::string::npos || strLine.find('\r') != std::string::npos) {
      strError = "a head line ends without CR LF";
      return HttpParse::Invalid;
    }
  }
  if (arrLines.size() != 4) {
    strError = "the head has " + std::to_string(arrLines.size()) +
               " lines, not the request line with Host, Content-Length and Content-Type";
    return HttpParse::Invalid;
  }
  const std::string& strRequest = arrLines[0];
  const std::string strMethod = "POST ";
  const std::string strVersion = " HTTP/1.1";
  if (strRequest.size() <= strMethod.size() + strVersion.size() ||
      strRequest.compare(0, strMethod.size(), strMethod) != 0 ||
      strRequest.compare(strRequest.size() - strVersion.size(), strVersion.size(), strVersion) !=
          0) {
    strError = "the request line is not \"POST <path> HTTP/1.1\"";
    return HttpParse::Invalid;
  }
  std::string strPath =
      strRequest.substr(strMethod.size(), strRequest.size() - strMethod.size() - strVersion.size());
  if (strPath.empty() || strPath.find(' ') != std::string::npos) {
    strError = "the request line is not \"POST <path> HTTP/1.1\"";
    return HttpParse::Invalid;
  }
  std::string strHost;
  std::string strLength;
  std::string strType;
  if (!HeaderValue(arrLines[1], "Host", &strHost) || strHost.empty()) {
    strError = "the second head line is not \"Host: <address>:<port>\"";
    return HttpParse::Invalid;
  }
  if (!HeaderValue(arrLines[2], "Content-Length", &strLength) || strLength.empty() ||
      strLength.size() > 9 || !AllDigits(strLength)) {
    strError = "the third head line is not \"Content-Length: <decimal>\"";
    return HttpParse::Invalid;
  }
  if (!HeaderValue(arrLines[3], "Content-Type", &strType) || strType != "application/json") {
    strError = "the fourth head line is not \"Content-Type: application/json\"";
    return HttpParse::Invalid;
  }
  size_t unLength = std::strtoul(strLength.c_str(), nullptr, 10);
  if (unLength > kMaxBody) {
    strError = "the body is longer than 1 MiB";
    return HttpParse::Invalid;
  }
  size_t unBody = unHeadEnd + 4;
  if (strBuffer.size() < unBody + unLength) {
    return HttpParse::NeedMore;
  }
  if (pDoc != nullptr) {
    pDoc->strPath = strPath;
    pDoc->strHost = strHost;
    pDoc->strBody = strBuffer.substr(unBody, unLength);
  }
  if (punConsumed != nullptr) {
    *punConsumed = unBody + unLength;
  }
  return HttpParse::Complete;
}

std::string DescribeLogServerDocument(const LogServerDocument& doc) {
  if (!doc.bValid) {
    return "unreadable card record for " + doc.strPath + ": " + doc.strError;
  }
  auto card = [&doc](const char* szKey) { return doc.mapCard[szKey]; };
  std::string strGender = card("gender");
  std::string strGenderWords = strGender == "1"   ? "male"
                               : strGender == "0" ? "female"
                                                  : "gender " + strGender;
  std::string s = "card record for " + doc.strPath + ": name " + card("name") + ", " +
                  strGenderWords + ", nation " + card("nation") + ", born " + card("birthDate") +
                  ", address " + card("certAddr") + ", certificate " + card("certNo") +
                  " issued by " + card("certOrg") + " valid " + card("effDate") + " to " +
                  card("expDate") + ", pass " + card("passNum") + ", sign count " +
                  card("signCount") + ", type " + card("certType") + ", photo " +
                  std::to_string(card("headPic").size()) + " Base64 characters; device " +
                  card("deviceId") + ", transdata " + doc.strTransData + ", transaction " +
                  doc.strTransactionId + " at " + doc.strReqTime;
  if (doc.bTrailingCommaRemoved) {
    s += " (read after removing the trailing comma behind the last cardInfo member)";
  }
  return s;
}

const char* LogServerSimModeName(LogServerSimMode mode) {
  switch (mode) {
    case LogServerSimMode::Normal:
      return "normal";
    case LogServerSimMode::Silent:
      return "silent";
    case LogServerSimMode::Close:
      return "close";
  }
  return "?";
}

// ---- the server ----

struct CLogServerSim::Connection {
  explicit Connection(boost::asio::io_context& io) : socket(io) {}
  boost::asio::ip::tcp::socket socket;
  std::string strPeer;
  std::string strBuffer;
  bool bIgnoreInput = false;  // silent mode after an unreadable head: read and drop
  bool bClosing = false;      // answered, and closed after the answer
  struct Pending {
    std::chrono::steady_clock::time_point tmDue;
    int nStatus;
    std::string strBody;
  };
  std::deque<Pending> arrPending;  // delayed answers, oldest first
};

CLogServerSim::CLogServerSim(const LogServerSimOptions& options)
    : m_options(options),
      m_acceptor(m_io),
      m_mode(options.mode),
      m_nAnswerDelayMs(options.answerDelay.count()) {
  SetStatus(options.nStatus, options.unStatusFirst);
  const bool bTls = !options.strTlsCert.empty() && !options.strTlsKey.empty();
  if (bTls) {
    m_upTlsFront.reset(new CTlsFront(options.strAddress, options.unPort, options.strTlsCert,
                                     options.strTlsKey));
  }
  boost::asio::ip::tcp::endpoint endpoint(
      boost::asio::ip::make_address(bTls ? std::string("127.0.0.1") : options.strAddress),
      bTls ? 0 : options.unPort);
  m_acceptor.open(endpoint.protocol());
  m_acceptor.set_option(boost::asio::socket_base::reuse_address(true));
  m_acceptor.bind(endpoint);
  m_unPort = m_acceptor.local_endpoint().port();
}

CLogServerSim::~CLogServerSim() {
  Stop();
}

void CLogServerSim::SetEventSink(std::function<void(const std::string&)> fnSink) {
  m_fnSink = std::move(fnSink);
}

void CLogServerSim::Start() {
  if (m_upThread) {
    return;
  }
  if (m_upTlsFront) {
    // The HTTPS face listens at once; its connections wait for the plain server behind it.
    m_upTlsFront->Start(m_unPort, [this](const std::string& strLine) { Emit(strLine); });
  }
  if (m_options.startDelay.count() <= 0) {
    // Listening before Start returns: a client may connect as soon as it has the port.
    StartListening();
  }
  boost::thread::attributes attrs;
  attrs.set_stack_size(kThreadStackSize);
  m_upThread.reset(new boost::thread(attrs, [this] { ThreadLoop(); }));
}

void CLogServerSim::StartListening() {
  m_acceptor.listen(128);
  m_acceptor.non_blocking(true);
  m_bListening.store(true);
  Emit("listening on " + m_options.strAddress + ":" + std::to_string(Port()) +
       (m_upTlsFront ? " (HTTPS)" : "") + ", mode " +
       LogServerSimModeName(m_mode.load()));
}

void CLogServerSim::Stop() {
  if (m_upTlsFront) {
    m_upTlsFront->Stop();
  }
  m_bStop.store(true);
  if (m_upThread) {
    if (m_upThread->joinable()) {
      m_upThread->join();
    }
    m_upThread.reset();
  }
  boost::system::error_code ec;
  m_acceptor.close(ec);
  m_arrConnections.clear();
  m_unOpen.store(0);
  m_bListening.store(false);
}

std::vector<LogServerDocument> CLogServerSim::Documents() const {
  boost::mutex::scoped_lock lock(m_mtxDocuments);
  return m_arrDocuments;
}

void CLogServerSim::Emit(const std::string& strLine) {
  if (m_fnSink) {
    m_fnSink(strLine);
  }
}

void CLogServerSim::ThreadLoop() {
  try {
    Loop();
  } catch (const std::exception& e) {
    Emit(std::string("log server stopped by an error: ") + e.what());
  } catch (...) {
    Emit("log server stopped by an unknown error");
  }
  // The connections are closed here, by the thread that used them.
  m_arrConnections.clear();
  m_unOpen.store(0);
}

void CLogServerSim::Loop() {
  // Bound but not listening: connections are refused until the delay has passed.
  auto tmListen = std::chrono::steady_clock::now() + m_options.startDelay;
  while (!m_bStop.load() && std::chrono::steady_clock::now() < tmListen) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (m_bStop.load()) {
    return;
  }
  if (!m_bListening.load()) {
    StartListening();
  }

  std::vector<pollfd> arrPoll;
  while (!m_bStop.load()) {
    arrPoll.clear();
    arrPoll.push_back(pollfd{m_acceptor.native_handle(), POLLIN, 0});
    for (const auto& upConn : m_arrConnections) {
      arrPoll.push_back(pollfd{upConn->socket.native_handle(), POLLIN, 0});
    }
    int nReady = ::poll(arrPoll.data(), arrPoll.size(), kPollMs);
    if (nReady < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw boost::system::system_error(errno, boost::system::system_category(), "poll");
    }
    if (nReady == 0) {
      for (const auto& upConn : m_arrConnections) {
        AnswerDue(*upConn);
      }
      DropClosing();
      continue;
    }
    // Connections first (their indexes match arrPoll from 1 on), then new ones.
    std::vector<std::unique_ptr<Connection>> arrKeep;
    for (size_t i = 0; i < m_arrConnections.size(); ++i) {
      bool bKeep = true;
      if ((arrPoll[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        bKeep = ServeReadable(*m_arrConnections[i]);
      }
      if (bKeep && !m_arrConnections[i]->bClosing) {
        arrKeep.push_back(std::move(m_arrConnections[i]));
      } else {
        boost::system::error_code ec;
        m_arrConnections[i]->socket.close(ec);
      }
    }
    m_arrConnections.swap(arrKeep);
    m_unOpen.store(static_cast<uint32_t>(m_arrConnections.size()));
    for (const auto& upConn : m_arrConnections) {
      AnswerDue(*upConn);
    }
    DropClosing();
    if ((arrPoll[0].revents & POLLIN) != 0) {
      std::unique_ptr<Connection> upConn(new Connection(m_io));
      boost::system::error_code ec;
      m_acceptor.accept(upConn->socket, ec);
      if (!ec) {
        upConn->socket.non_blocking(true);
        boost::asio::ip::tcp::endpoint peer = upConn->socket.remote_endpoint(ec);
        upConn->strPeer =
            ec ? std::string("?") : peer.address().to_string() + ":" + std::to_string(peer.port());
        ++m_unConnections;
        Emit("connection from " + upConn->strPeer);
        m_arrConnections.push_back(std::move(upConn));
        m_unOpen.store(static_cast<uint32_t>(m_arrConnections.size()));
      }
    }
  }
}

bool CLogServerSim::ServeReadable(Connection& conn) {
  char buf[kReadChunk];
  boost::system::error_code ec;
  size_t unRead = conn.socket.read_some(boost::asio::buffer(buf), ec);
  if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) {
    return true;
  }
  if (ec) {
    if (!conn.arrPending.empty()) {
      Emit("connection from " + conn.strPeer + " closed before its delayed answer was due");
    } else if (!conn.strBuffer.empty() && !conn.bIgnoreInput) {
      Emit("connection from " + conn.strPeer + " closed with " +
           std::to_string(conn.strBuffer.size()) + " bytes of an unfinished request");
    } else {
      Emit("connection from " + conn.strPeer + " closed by the peer");
    }
    return false;
  }
  if (conn.bIgnoreInput) {
    return true;
  }
  conn.strBuffer.append(buf, unRead);
  return HandleRequests(conn);
}

bool CLogServerSim::HandleRequests(Connection& conn) {
  for (;;) {
    LogServerDocument doc;
    size_t unUsed = 0;
    std::string strError;
    HttpParse result = ParseLogServerRequest(conn.strBuffer, &doc, &unUsed, &strError);
    LogServerSimMode mode = m_mode.load();
    if (result == HttpParse::NeedMore) {
      return true;
    }
    if (result == HttpParse::Invalid) {
      ++m_unBad;
      Emit("bad request from " + conn.strPeer + ": " + strError);
      conn.strBuffer.clear();
      if (mode == LogServerSimMode::Normal) {
        WriteAnswer(conn, 400, "{\"code\": 400, \"message\": \"bad request\"}");  // then dropped
        return false;
      }
      if (mode == LogServerSimMode::Silent) {
        conn.bIgnoreInput = true;
        return true;
      }
      Emit("closing the connection from " + conn.strPeer + " without an answer");
      return false;
    }
    conn.strBuffer.erase(0, unUsed);
    ++m_unRequests;
    DecodeLogServerBody(doc.strBody, m_options.strSecretKey, &doc);
    bool bValid = doc.bValid;
    uint32_t unCopies = 0;
    int nStatus = 200;
    {
      boost::mutex::scoped_lock lock(m_mtxDocuments);
      if (bValid) {
        unCopies = ++m_mapReceived[std::make_pair(doc.strTransData, doc.mapCard["deviceId"])];
      }
      if (m_bStatusAll) {
        nStatus = m_nStatus;
      } else if (m_unStatusLeft > 0) {
        --m_unStatusLeft;
        nStatus = m_nStatus;
      }
    }
    Emit(DescribeLogServerDocument(doc) +
         (unCopies > 1 ? " (received " + std::to_string(unCopies) + " times)" : std::string()));
    {
      // Count only once the document can be read: a test that sees the count reads Documents().
      boost::mutex::scoped_lock lock(m_mtxDocuments);
      m_arrDocuments.push_back(std::move(doc));
      if (bValid) {
        ++m_unValid;
      } else {
        ++m_unBad;
      }
    }
    if (mode == LogServerSimMode::Close) {
      Emit("closing the connection from " + conn.strPeer + " without an answer");
      return false;
    }
    if (mode == LogServerSimMode::Normal) {
      if (bValid && nStatus == 200) {
        Answer(conn, 200, "{\"code\": 0, \"message\": \"accepted\"}");
      } else if (bValid) {
        Answer(conn, nStatus,
               "{\"code\": " + std::to_string(nStatus) + ", \"message\": \"as told\"}");
      } else {
        Answer(conn, 400, "{\"code\": 400, \"message\": \"unreadable card record\"}");
      }
    }
  }
}

void CLogServerSim::SetStatus(int nStatus, uint32_t unFirst) {
  boost::mutex::scoped_lock lock(m_mtxDocuments);
  m_nStatus = nStatus;
  m_bStatusAll = unFirst == 0;
  m_unStatusLeft = unFirst;
}

uint32_t CLogServerSim::ReceiveCount(const std::string& strTransData,
                                     const std::string& strDeviceId) const {
  boost::mutex::scoped_lock lock(m_mtxDocuments);
  auto it = m_mapReceived.find(std::make_pair(strTransData, strDeviceId));
  return it == m_mapReceived.end() ? 0 : it->second;
}

uint32_t CLogServerSim::MaxReceiveCount() const {
  boost::mutex::scoped_lock lock(m_mtxDocuments);
  uint32_t unMax = 0;
  for (const auto& entry : m_mapReceived) {
    unMax = std::max(unMax, entry.second);
  }
  return unMax;
}

std::string CLogServerSim::DuplicateReport() const {
  boost::mutex::scoped_lock lock(m_mtxDocuments);
  std::string strReport;
  for (const auto& entry : m_mapReceived) {
    if (entry.second > 1) {
      strReport += entry.first.second + " " + entry.first.first + " x" +
                   std::to_string(entry.second) + "\n";
    }
  }
  return strReport;
}

void CLogServerSim::Answer(Connection& conn, int nStatus, const std::string& strBody) {
  const std::chrono::milliseconds delay(m_nAnswerDelayMs.load());
  if (delay.count() <= 0 && conn.arrPending.empty()) {
    WriteAnswer(conn, nStatus, strBody);
    return;
  }
  conn.arrPending.push_back(
      Connection::Pending{std::chrono::steady_clock::now() + delay, nStatus, strBody});
}

void CLogServerSim::AnswerDue(Connection& conn) {
  const auto tmNow = std::chrono::steady_clock::now();
  while (!conn.arrPending.empty() && conn.arrPending.front().tmDue <= tmNow) {
    Connection::Pending pending = std::move(conn.arrPending.front());
    conn.arrPending.pop_front();
    WriteAnswer(conn, pending.nStatus, pending.strBody);
  }
}

void CLogServerSim::DropClosing() {
  std::vector<std::unique_ptr<Connection>> arrKeep;
  for (auto& upConn : m_arrConnections) {
    if (upConn->bClosing) {
      Emit("closing the connection from " + upConn->strPeer + " after the answer");
      boost::system::error_code ec;
      upConn->socket.close(ec);
    } else {
      arrKeep.push_back(std::move(upConn));
    }
  }
  m_arrConnections.swap(arrKeep);
  m_unOpen.store(static_cast<uint32_t>(m_arrConnections.size()));
}

void CLogServerSim::WriteAnswer(Connection& conn, int nStatus, const std::string& strBody) {
  const char* szReason = nStatus == 200   ? "OK"
                         : nStatus == 400 ? "Bad Request"
                         : nStatus < 300  ? "Done"
                         : nStatus < 500  ? "Refused"
                                          : "Server Error";
  std::string strStatus = std::to_string(nStatus) + " " + szReason;
  std::string strAnswer =
      "HTTP/1.1 " + strStatus +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(strBody.size()) +
      "\r\n" + m_options.strAnswerHeaders +
      (m_options.eAfterAnswer == LogServerSimOptions::AfterAnswer::SayClose
           ? "Connection: close\r\n"
           : "") +
      "\r\n" + strBody;
  conn.bClosing = m_options.eAfterAnswer != LogServerSimOptions::AfterAnswer::Keep;
  // A small answer; the socket is non-blocking, so wait for room with poll between writes.
  size_t unDone = 0;
  auto tmGiveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (unDone < strAnswer.size() && std::chrono::steady_clock::now() < tmGiveUp) {
    boost::system::error_code ec;
    size_t n = conn.socket.write_some(
        boost::asio::buffer(strAnswer.data() + unDone, strAnswer.size() - unDone), ec);
    if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) {
      pollfd pfd{conn.socket.native_handle(), POLLOUT, 0};
      ::poll(&pfd, 1, kPollMs);
      continue;
    }
    if (ec) {
      Emit("answer to " + conn.strPeer + " failed: " + ec.message());
      return;
    }
    unDone += n;
  }
  if (unDone == strAnswer.size()) {
    ++m_unAnswers;
    Emit("answered " + conn.strPeer + " with " + strStatus);
  }
}

// ---- command line ----

namespace {

void LogServerUsage(FILE* out) {
  std::fprintf(
      out,
      "usage: cardgate-sim logserver --port P --secret-key K [options]\n"
      "A log server for the gateway's card records: reads each HTTP POST, decrypts the card\n"
      "document with the secret key, prints the card fields and answers.\n"
      "  --port P             TCP port to listen on (0: any, the port is printed)\n"
      "  --secret-key K       LOG_SERVER.SECRET_KEY of the gateway: 16, 24 or 32 characters\n"
      "  --address A          address to listen on (default 127.0.0.1)\n"
      "  --mode M             normal: answer 200 (400 for an unreadable record)\n"
      "                       silent: read, never answer, keep the connection\n"
      "                       close:  read, then close without answering\n"
      "  --start-delay S      start listening S seconds late (connections refused until then)\n"
      "  --answer-delay S     answer each request S seconds after reading it (a slow server)\n"
      "  --status CODE        answer readable records with this HTTP status (default 200)\n"
      "  --status-first N     give --status to the first N readable records only, 200 after\n"
      "  --tls-cert FILE      serve HTTPS with this PEM certificate (chain); needs --tls-key\n"
      "  --tls-key FILE       the PEM private key of --tls-cert\n"
      "  --help               this text\n"
      "Runs until SIGINT or SIGTERM.\n");
}

int ArgumentError(const std::string& strText) {
  std::fprintf(stderr, "cardgate-sim logserver: %s\n", strText.c_str());
  std::fprintf(stderr, "Try 'cardgate-sim logserver --help'.\n");
  return 2;
}

}  // namespace

int RunLogServerSim(int argc, char** argv) {
  LogServerSimOptions options;
  bool bPort = false;
  bool bKey = false;
  for (int i = 1; i < argc; ++i) {
    std::string strArg = argv[i];
    if (strArg == "--help" || strArg == "-h") {
      LogServerUsage(stdout);
      return 0;
    }
    if (strArg != "--port" && strArg != "--secret-key" && strArg != "--address" &&
        strArg != "--mode" && strArg != "--start-delay" && strArg != "--answer-delay" &&
        strArg != "--status" && strArg != "--status-first" && strArg != "--tls-cert" &&
        strArg != "--tls-key") {
      return ArgumentError("unknown option '" + strArg + "'");
    }
    if (i + 1 >= argc) {
      return ArgumentError(strArg + " needs a value");
    }
    std::string strValue = argv[++i];
    if (strArg == "--port") {
      char* pEnd = nullptr;
      errno = 0;
      unsigned long unPort = std::strtoul(strValue.c_str(), &pEnd, 10);
      if (strValue.empty() || !AllDigits(strValue) || errno != 0 || unPort > 65535) {
        return ArgumentError("--port wants a number from 0 to 65535, not '" + strValue + "'");
      }
      options.unPort = static_cast<uint16_t>(unPort);
      bPort = true;
    } else if (strArg == "--secret-key") {
      if (strValue.size() != 16 && strValue.size() != 24 && strValue.size() != 32) {
        return ArgumentError("--secret-key must be 16, 24 or 32 characters long, not " +
                             std::to_string(strValue.size()));
      }
      options.strSecretKey = strValue;
      bKey = true;
    } else if (strArg == "--address") {
      boost::system::error_code ec;
      boost::asio::ip::make_address(strValue, ec);
      if (ec) {
        return ArgumentError("--address wants an IP address, not '" + strValue + "'");
      }
      options.strAddress = strValue;
    } else if (strArg == "--mode") {
      if (strValue == "normal") {
        options.mode = LogServerSimMode::Normal;
      } else if (strValue == "silent") {
        options.mode = LogServerSimMode::Silent;
      } else if (strValue == "close") {
        options.mode = LogServerSimMode::Close;
      } else {
        return ArgumentError("--mode wants normal, silent or close, not '" + strValue + "'");
      }
    } else if (strArg == "--tls-cert") {
      options.strTlsCert = strValue;
    } else if (strArg == "--tls-key") {
      options.strTlsKey = strValue;
    } else if (strArg == "--status" || strArg == "--status-first") {
      char* pEnd = nullptr;
      errno = 0;
      unsigned long ul = std::strtoul(strValue.c_str(), &pEnd, 10);
      const bool bStatus = strArg == "--status";
      if (strValue.empty() || !AllDigits(strValue) || errno != 0 ||
          (bStatus ? (ul < 100 || ul > 599) : ul > 1000000)) {
        return ArgumentError(strArg + (bStatus ? " wants an HTTP status from 100 to 599"
                                               : " wants a count from 0 to 1000000") +
                             ", not '" + strValue + "'");
      }
      if (bStatus) {
        options.nStatus = static_cast<int>(ul);
      } else {
        options.unStatusFirst = static_cast<uint32_t>(ul);
      }
    } else {  // --start-delay, --answer-delay
      char* pEnd = nullptr;
      double dSeconds = std::strtod(strValue.c_str(), &pEnd);
      if (strValue.empty() || pEnd == nullptr || *pEnd != '\0' || !(dSeconds >= 0.0) ||
          dSeconds > 3600.0) {
        return ArgumentError(strArg + " wants seconds from 0 to 3600, not '" + strValue + "'");
      }
      (strArg == "--start-delay" ? options.startDelay : options.answerDelay) =
          std::chrono::milliseconds(static_cast<int64_t>(dSeconds * 1000.0));
    }
  }
  if (!bPort) {
    return ArgumentError("--port is required");
  }
  if (!bKey) {
    return ArgumentError("--secret-key is required");
  }
  if (options.strTlsCert.empty() != options.strTlsKey.empty()) {
    return ArgumentError("--tls-cert and --tls-key go together");
  }

  // Block the stop signals before any thread starts, so that only sigwait below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::unique_ptr<CLogServerSim> upSim;
  try {
    upSim.reset(new CLogServerSim(options));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cardgate-sim logserver: cannot bind %s:%u: %s\n",
                 options.strAddress.c_str(), static_cast<unsigned>(options.unPort), e.what());
    return 1;
  }
  upSim->SetEventSink([](const std::string& strLine) {
    std::printf("logserver: %s\n", strLine.c_str());
    std::fflush(stdout);
  });
  if (options.startDelay.count() > 0) {
    std::printf("logserver: bound %s:%u, listening in %lld ms\n", options.strAddress.c_str(),
                static_cast<unsigned>(upSim->Port()),
                static_cast<long long>(options.startDelay.count()));
    std::fflush(stdout);
  }
  upSim->Start();
  int nSignal = 0;
  sigwait(&stopSignals, &nSignal);
  upSim->Stop();
  std::printf("logserver: stopped after %u connections, %u requests, %u records read, %u bad\n",
              upSim->Connections(), upSim->Requests(), upSim->ValidDocuments(),
              upSim->BadRequests());
  const std::string strDuplicates = upSim->DuplicateReport();
  if (strDuplicates.empty()) {
    std::printf("logserver: every record was received once\n");
  } else {
    std::printf("logserver: records received more than once:\n%s", strDuplicates.c_str());
  }
  std::fflush(stdout);
  return 0;
}
