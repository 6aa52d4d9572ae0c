#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "tls_front.h"

// A log server for the gateway's card records: it reads each HTTP request strictly (the head the
// gateway writes, then exactly Content-Length bytes), opens the JSON envelope, decrypts reqData
// with the secret key, checks the inner card document and answers. The helpers below are pure
// so tests can open a request built by the gateway without a server.

// The members of cardInfo by name: strings as they are, other values as JSON text. A member that
// is not there reads as an empty text, so a const document can be asked directly.
class CardFields {
 public:
  std::string operator[](const std::string& strKey) const {
    auto it = m_map.find(strKey);
    return it != m_map.end() ? it->second : std::string();
  }
  bool Has(const std::string& strKey) const { return m_map.count(strKey) != 0; }
  void Set(const std::string& strKey, const std::string& strValue) { m_map[strKey] = strValue; }
  void Clear() { m_map.clear(); }
  size_t Size() const { return m_map.size(); }

 private:
  std::map<std::string, std::string> m_map;
};

// One request as the simulator read it.
struct LogServerDocument {
  std::string strPath;  // from the request line
  std::string strHost;  // the Host line's value
  std::string strBody;  // the envelope as received

  bool bValid = false;   // envelope, decryption and card document all passed
  std::string strError;  // why not, in plain words

  // From the envelope.
  std::string strTransactionId;
  std::string strSvcCode;
  std::string strAppKey;
  std::string strSign;
  std::string strReqTime;
  std::string strVersion;
  std::string strReqData;

  // The decrypted inner document as text, and what was read from it. The gateway leaves a comma
  // behind the last member of cardInfo, which strict JSON refuses; the reader removes commas that
  // stand before a closing brace or bracket and says so here.
  std::string strInner;
  bool bTrailingCommaRemoved = false;
  std::string strTransData;  // the transdata value as compact JSON text
  CardFields mapCard;        // cardInfo
};

// Upper-case hexadecimal (two digits per byte) to bytes. False for odd length or another digit.
bool HexDecodeUpper(const std::string& strHex, std::vector<uint8_t>* pOut);

// AES-ECB decryption (key of 16, 24 or 32 bytes) of an upper-case hex text, then the PKCS#7
// padding checked and removed. False with a reason in *pError on any failure.
bool AesEcbDecryptFromHex(const std::string& strHex, const std::string& strKey, std::string* pPlain,
                          std::string* pError);

// Removes every comma that, outside strings, is followed only by white space and then "}" or
// "]". *pRemoved (optional) tells whether one was removed.
std::string RemoveTrailingCommas(const std::string& strJson, bool* pRemoved);

// Opens an envelope: strict JSON, the fixed members, a date and time behind reqTime and the
// transaction stamp, reqData decrypted with strKey, the card document read. Fills everything
// but the path and host; returns pDoc->bValid.
bool DecodeLogServerBody(const std::string& strBody, const std::string& strKey,
                         LogServerDocument* pDoc);

enum class HttpParse { Complete, NeedMore, Invalid };

// Reads one request from the start of strBuffer: "POST <path> HTTP/1.1", then exactly the Host,
// Content-Length and Content-Type (application/json) lines in this order, an empty line, and
// Content-Length bytes of body. Lines end with CR LF. On Complete fills the path, host and body
// and the bytes used; on Invalid gives the reason. A head over 8 KiB or a body over 1 MiB is
// Invalid.
HttpParse ParseLogServerRequest(const std::string& strBuffer, LogServerDocument* pDoc,
                                size_t* punConsumed, std::string* pError);

// One line in plain words for a record: the card fields, the device and the transaction.
std::string DescribeLogServerDocument(const LogServerDocument& doc);

enum class LogServerSimMode {
  Normal,  // answers every request: 200 with a small JSON body, 400 when it cannot be read
  Silent,  // reads every request, never answers, keeps the connection until the peer closes
  Close,   // reads a request, then closes the connection without answering
};

const char* LogServerSimModeName(LogServerSimMode mode);

struct LogServerSimOptions {
  std::string strAddress = "127.0.0.1";
  uint16_t unPort = 0;  // 0: the system picks one (see Port())
  std::string strSecretKey;
  LogServerSimMode mode = LogServerSimMode::Normal;
  std::chrono::milliseconds startDelay{0};  // listen this long after Start (refused until then)
  // A slow server: each answer goes out this long after its request was read (Normal mode; a
  // connection that the peer closes meanwhile gets none). Other connections are served meanwhile.
  std::chrono::milliseconds answerDelay{0};
  // The HTTP status of the answer to a readable record (Normal mode): for every request, or,
  // when unStatusFirst is not 0, for the first unStatusFirst readable records only (200 after).
  int nStatus = 200;
  uint32_t unStatusFirst = 0;
  // HTTPS: with both set, the address and port serve TLS with this certificate (chain) and key,
  // both PEM files, and the plain server listens on 127.0.0.1 behind it. The start delay applies
  // to the plain server only.
  std::string strTlsCert;
  std::string strTlsKey;
  // After an answer: keep the connection for the next request (HTTP/1.1's default), close it
  // without a word, or say "Connection: close" in the answer and close it.
  enum class AfterAnswer { Keep, Close, SayClose };
  AfterAnswer eAfterAnswer = AfterAnswer::Keep;
  // Header lines added to every answer, each ending in "\r\n" (a Retry-After, say).
  std::string strAnswerHeaders;
};

// The log server on one TCP port, run by one thread of its own that polls the listening socket
// and every connection (so one silent connection never holds up another). The port is bound by
// the constructor; listening begins after the start delay. Counters and Documents() may be read
// from any thread while it runs.
class CLogServerSim {
 public:
  // Binds the address and port (SO_REUSEADDR). Throws the bind error.
  explicit CLogServerSim(const LogServerSimOptions& options);
  ~CLogServerSim();  // Stop()
  CLogServerSim(const CLogServerSim&) = delete;
  CLogServerSim& operator=(const CLogServerSim&) = delete;

  // Called on the simulator's thread with one line per event. Set before Start().
  void SetEventSink(std::function<void(const std::string&)> fnSink);

  // Starts the thread; without a start delay the port listens before this returns. Throws the
  // listen error, or boost::thread_resource_error if the thread cannot be made.
  void Start();
  // Ends and joins the thread and closes every socket. Safe to call twice.
  void Stop();

  uint16_t Port() const { return m_upTlsFront ? m_upTlsFront->Port() : m_unPort; }
  bool Listening() const { return m_bListening.load(); }
  void SetMode(LogServerSimMode mode) { m_mode.store(mode); }
  // Changes the answer status (see LogServerSimOptions) for requests read from now on; the count
  // of the first N starts again.
  void SetStatus(int nStatus, uint32_t unFirst = 0);
  // How many times a record with this transaction text (compact JSON, as strTransData) and
  // device identifier was received, and the most times any one record was received.
  uint32_t ReceiveCount(const std::string& strTransData, const std::string& strDeviceId) const;
  uint32_t MaxReceiveCount() const;
  // Every record received more than once: "<device> <transdata> xN", one per line.
  std::string DuplicateReport() const;
  // Changes the answer delay for requests read from now on.
  void SetAnswerDelay(std::chrono::milliseconds delay) { m_nAnswerDelayMs.store(delay.count()); }

  std::vector<LogServerDocument> Documents() const;
  uint32_t Connections() const { return m_unConnections.load(); }  // accepted so far
  uint32_t OpenConnections() const { return m_unOpen.load(); }
  uint32_t Requests() const { return m_unRequests.load(); }  // complete requests read
  uint32_t ValidDocuments() const { return m_unValid.load(); }
  uint32_t BadRequests() const { return m_unBad.load(); }  // unreadable head or document
  uint32_t Answers() const { return m_unAnswers.load(); }

 private:
  struct Connection;
  void ThreadLoop();
  void StartListening();
  void Loop();
  void Emit(const std::string& strLine);
  // Reads what is there; false when the connection is to be dropped.
  bool ServeReadable(Connection& conn);
  bool HandleRequests(Connection& conn);
  // Answers now, or after the answer delay (kept with the connection until it is due).
  void Answer(Connection& conn, int nStatus, const std::string& strBody);
  void WriteAnswer(Connection& conn, int nStatus, const std::string& strBody);
  void AnswerDue(Connection& conn);
  // Closes the connections whose answer was their last.
  void DropClosing();

  LogServerSimOptions m_options;
  boost::asio::io_context m_io;
  boost::asio::ip::tcp::acceptor m_acceptor;
  uint16_t m_unPort = 0;
  std::function<void(const std::string&)> m_fnSink;
  std::atomic<LogServerSimMode> m_mode;
  std::atomic<int64_t> m_nAnswerDelayMs;
  std::atomic<bool> m_bStop{false};
  std::atomic<bool> m_bListening{false};
  std::unique_ptr<boost::thread> m_upThread;
  std::unique_ptr<CTlsFront> m_upTlsFront;  // set for HTTPS
  std::vector<std::unique_ptr<Connection>> m_arrConnections;  // the thread's own

  mutable boost::mutex m_mtxDocuments;  // guards m_arrDocuments and the three below
  std::vector<LogServerDocument> m_arrDocuments;
  std::map<std::pair<std::string, std::string>, uint32_t> m_mapReceived;  // (transdata, device)
  int m_nStatus = 200;
  uint32_t m_unStatusLeft = 0;  // answers still to give m_nStatus; 0 with bStatusAll
  bool m_bStatusAll = true;
  std::atomic<uint32_t> m_unConnections{0};
  std::atomic<uint32_t> m_unOpen{0};
  std::atomic<uint32_t> m_unRequests{0};
  std::atomic<uint32_t> m_unValid{0};
  std::atomic<uint32_t> m_unBad{0};
  std::atomic<uint32_t> m_unAnswers{0};
};
