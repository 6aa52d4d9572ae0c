#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "config/system_config.h"
#include "config/user_struct.h"

// A card reader terminal for tests and for trying a gateway without hardware: builds device
// request frames, talks to the gateway over TCP and reads back both kinds of frames that arrive
// on a device connection, the gateway's own replies and the relayed decode-server answers.

// A device request: length word (the whole frame's length), key in clear, then the masked body:
// command byte, three zero bytes, eight parameter bytes, payload.
namespace DeviceRequestLayout {
constexpr size_t kLengthWord = 0;           // u32, total frame length
constexpr size_t kKey = kLengthWord + 4;    // 8 bytes, in clear
constexpr size_t kCommand = kKey + 8;       // first masked byte
constexpr size_t kReserved = kCommand + 1;  // 3 zero bytes
constexpr size_t kParam = kReserved + 3;    // 8 bytes; [0] read/write selector, [4..7] start index
constexpr size_t kPayload = kParam + 8;
constexpr size_t kHeadSize = kPayload;
static_assert(kHeadSize == 24, "request head is 24 bytes");
}  // namespace DeviceRequestLayout

// The payload of a log-in group request, as the gateway reads it.
namespace LoginPayloadLayout {
constexpr size_t kRequestHead = 0;             // 32 bytes the gateway keeps for the card record
constexpr size_t kAccountNo = 34;              // u32
constexpr size_t kPassword = kAccountNo + 4;   // 16 bytes, text up to the first NUL
constexpr size_t kUserInfo = kPassword + 16;   // 64 bytes
constexpr size_t kDeviceId = kUserInfo + 64;   // 64 bytes, NUL-terminated text
constexpr size_t kTransData = kDeviceId + 64;  // 1024 bytes, NUL-terminated text (JSON)
constexpr size_t kMinSize = kTransData;        // shorter payloads are refused
constexpr size_t kSize = kTransData + 1024;
static_assert(kTransData == 182 && kSize == 1206, "log-in payload offsets");
}  // namespace LoginPayloadLayout

// Command codes the gateway looks at.
constexpr uint8_t kLoginCommands[] = {1, 9, 14, 59, 71, 78};  // card commands needing a log-in
constexpr uint8_t kCmdSystemConfig = 81;
constexpr uint8_t kCmdUserList = 82;
constexpr uint8_t kCmdAdminCheck = 83;

// Reply codes of the gateway's own replies.
constexpr uint8_t kReplyLoginRefused = 1;
constexpr uint8_t kReplyBusy = 50;
constexpr uint8_t kReplySystemConfig = 81;
constexpr uint8_t kReplyUserList = 82;
constexpr uint8_t kReplyAdminCheck = 83;

constexpr size_t kLoginErrorTextOffset = 42;  // in the payload of a refused log-in
constexpr size_t kUserListReplyMax = 36;      // records per user list reply

// Decode-server card answers are recognised by their size alone.
constexpr size_t kCardTextAnswerSize = 288;
constexpr size_t kCardPhotoAnswerSize = 1311;
constexpr size_t kCardFingerAnswerSize = 1313;  // followed by kCardFingerRestSize
constexpr size_t kCardFingerRestSize = 1041;

bool IsLoginCommand(uint8_t byCommand);

// A whole request frame, masked with pKey (8 bytes). pParam may be null (all zero); pPayload
// may be null when unLength is 0.
std::vector<uint8_t> BuildDeviceRequest(const uint8_t* pKey, uint8_t byCommand,
                                        const uint8_t* pParam, const uint8_t* pPayload,
                                        size_t unLength);

// A full log-in payload (LoginPayloadLayout::kSize bytes, zero where nothing is given). Texts
// longer than their fields are cut: the password to 16 bytes (a 16-character password fills
// the field without a NUL), the user block to 64 bytes, the device identifier to 63 and the
// transaction data to 1023 characters. Shorter payloads for tests: resize the result.
std::vector<uint8_t> BuildLoginPayload(uint32_t unAccountNo, const std::string& strPassword,
                                       const std::string& strUserInfo,
                                       const std::string& strDeviceId,
                                       const std::string& strTransData);

// An administration record naming the administrator; its new-password field repeats the password
// so that a write through it leaves the password as it is. Texts are cut to their fields.
SystemConfigStruct MakeAdminRecord(const std::string& strUserName, const std::string& strPassword);
// The 724-byte record of commands 81 and 83.
std::vector<uint8_t> BuildAdminPayload(const SystemConfigStruct& admin);
// The record followed by the 28-byte account of command 82 (752 bytes).
std::vector<uint8_t> BuildUserWritePayload(const SystemConfigStruct& admin, const UserStruct& user);

// One of the gateway's own replies, unmasked.
struct DeviceReply {
  uint8_t byCode = 0;
  uint32_t unLengthWord = 0;
  uint8_t arrKey[8] = {};
  // The key equals the one derived from the request's key; the busy reply, sent before any
  // request, is checked against the key derived from zero seeds instead.
  bool bKeyOk = false;
  std::vector<uint8_t> arrPayload;
};

// Parses one whole reply frame (length word included). pRequestKey (8 bytes) is the key of the
// request being answered. Fails when the frame is shorter than 16 bytes or its length word does
// not match unCount.
bool ParseDeviceReply(const uint8_t* pFrame, size_t unCount, const uint8_t* pRequestKey,
                      DeviceReply* pReply);

// Payload views of replies. Each returns false when the reply is not of the expected kind.
bool ReplyAdminMatches(const DeviceReply& reply);  // code 83, payload byte 1
bool DecodeConfigReply(const DeviceReply& reply, SystemConfigStruct* pConfig);  // code 81 + record
bool DecodeUserListReply(const DeviceReply& reply, std::vector<UserStruct>* pUsers);  // code 82
std::string LoginErrorText(const DeviceReply& reply);  // code 1: the text at offset 42

// A relayed decode-server answer: u32 count of the bytes that follow, 8-byte key, masked body.
// Returns the answer with its body unmasked (length word and key as received); an input shorter
// than 12 bytes comes back unchanged.
std::vector<uint8_t> UnmaskAnswer(const std::vector<uint8_t>& arrAnswer);

enum class CardAnswerKind { NotCard, Text, TextPhoto, TextPhotoFinger, FingerRest };
CardAnswerKind ClassifyAnswer(size_t unSize);
const char* DescribeAnswerKind(CardAnswerKind kind);

// The text fields of a card, as UTF-8 with the blank padding removed.
struct CardTextFields {
  std::string strName, strGender, strNation, strBirthDate, strCertAddr, strCertNo, strCertOrg,
      strEffDate, strExpDate, strPassNum, strSignCount, strCertType;
};
// Decodes the card text block of an unmasked card answer (288, 1311 or 1313 bytes: the block
// lies at offset 30, or 32 for 1313). Returns false for other sizes.
bool DecodeCardText(const std::vector<uint8_t>& arrPlainAnswer, CardTextFields* pFields);
// UCS-2 little-endian text to UTF-8; stops at U+0000 and drops trailing blanks.
std::string Ucs2LeToUtf8(const uint8_t* pText, size_t unBytes);

// Reading one frame can end in these ways.
enum class ReadStatus {
  Ok,
  Timeout,  // the deadline passed; bytes already received stay for the next read
  Closed,   // the peer closed or reset the connection (or it was never open)
  Invalid,  // a length word no frame of its kind can have
};
const char* DescribeReadStatus(ReadStatus status);

enum class CloseMode {
  Normal,     // orderly close
  Reset,      // SO_LINGER 0: the peer sees a reset
  HalfClose,  // shut down sending only; replies can still be read
};

// Which frame arrived on the device connection.
enum class DeviceFrameKind { GatewayReply, SamvAnswer };

// What a log-in group request carries.
struct LoginRequest {
  uint8_t byCommand = 1;
  uint32_t unAccountNo = 0;
  std::string strPassword;
  std::string strUserInfo;
  std::string strDeviceId;
  std::string strTransData;
};

struct CardReadResult {
  bool bRefused = false;  // the gateway answered itself; see reply
  DeviceReply reply;
  std::vector<uint8_t> arrAnswer;      // the decode server's answer as received (masked)
  std::vector<uint8_t> arrFingerRest;  // the second part after a 1313-byte answer
};

// One terminal connection. Blocking, every wait bounded by the timeout given; an object belongs
// to one thread. Requests are keyed with a fresh random key unless SetRequestKey fixed one.
class CDeviceSimClient {
 public:
  using Duration = std::chrono::milliseconds;
  static constexpr Duration kDefaultTimeout{5000};

  CDeviceSimClient();
  ~CDeviceSimClient();
  CDeviceSimClient(const CDeviceSimClient&) = delete;
  CDeviceSimClient& operator=(const CDeviceSimClient&) = delete;

  // Connects to host (dotted quad or name) and port within the timeout. On failure returns false
  // and describes why in *pError when given. A previous connection is closed first.
  bool Connect(const std::string& strHost, uint16_t unPort, Duration timeout = kDefaultTimeout,
               std::string* pError = nullptr);
  bool IsOpen() const { return m_socket.is_open(); }
  // The local address later connections are made from (a second loopback address such as
  // 127.0.0.2, to be another reader to the gateway); empty (the default) lets the system choose.
  void SetLocalAddress(const std::string& strAddress) { m_strLocalAddress = strAddress; }

  // Writes all bytes within the timeout. False when the connection is gone or the write stalls.
  bool Send(const uint8_t* pData, size_t unCount, Duration timeout = kDefaultTimeout);
  bool Send(const std::vector<uint8_t>& arrData, Duration timeout = kDefaultTimeout) {
    return Send(arrData.data(), arrData.size(), timeout);
  }
  // Builds a request with the next key, remembers the key and sends it.
  bool SendRequest(uint8_t byCommand, const uint8_t* pParam, const std::vector<uint8_t>& arrPayload,
                   Duration timeout = kDefaultTimeout);
  void SetRequestKey(const uint8_t* pKey);  // every later request uses this key
  const uint8_t* LastRequestKey() const { return m_arrLastKey; }

  // Reads one gateway reply (its length word is the total frame length, 16 to 4100) and checks
  // its key against pRequestKey, or against the last request's key.
  ReadStatus ReadReply(DeviceReply* pReply, Duration timeout = kDefaultTimeout);
  ReadStatus ReadReply(const uint8_t* pRequestKey, DeviceReply* pReply,
                       Duration timeout = kDefaultTimeout);
  // Reads one decode-server answer (its length word counts the bytes after it).
  ReadStatus ReadAnswer(std::vector<uint8_t>* pAnswer, Duration timeout = kDefaultTimeout);
  // Reads a frame of either kind, telling them apart by their head: a length word that gives a
  // card answer size (288, 1311, 1313 or 1041 bytes in all) is an answer; a reply code of the
  // gateway (1, 50, 81, 82, 83) with the length that code's replies have is a reply; anything
  // else is an answer.
  ReadStatus ReadFrame(DeviceFrameKind* pKind, std::vector<uint8_t>* pFrame,
                       Duration timeout = kDefaultTimeout);
  // Reads exactly unCount bytes, whatever they are.
  ReadStatus ReadRaw(size_t unCount, std::vector<uint8_t>* pData,
                     Duration timeout = kDefaultTimeout);
  // Waits for the peer to close, keeping what arrives meanwhile for later reads. Closed when it
  // did, Timeout otherwise.
  ReadStatus WaitForClose(Duration timeout = kDefaultTimeout);
  size_t PendingBytes() const { return m_arrRx.size(); }

  // Sends a log-in group request (the card read) without reading the outcome.
  bool SendLogin(const LoginRequest& request, Duration timeout = kDefaultTimeout);
  // Sends a log-in group request and reads its outcome: the gateway's refusal, or the decode
  // server's answer (and the second part after a 1313-byte answer).
  ReadStatus ReadCard(const LoginRequest& request, CardReadResult* pResult,
                      Duration timeout = kDefaultTimeout);
  // The administration commands; each sends one request and reads its reply.
  ReadStatus CheckAdmin(const SystemConfigStruct& admin, DeviceReply* pReply,
                        Duration timeout = kDefaultTimeout);
  ReadStatus ReadSystemConfig(const SystemConfigStruct& admin, DeviceReply* pReply,
                              Duration timeout = kDefaultTimeout);
  // record names the administrator and carries the settings to store.
  ReadStatus WriteSystemConfig(const SystemConfigStruct& record, DeviceReply* pReply,
                               Duration timeout = kDefaultTimeout);
  ReadStatus ReadUsers(const SystemConfigStruct& admin, uint32_t unStartIndex, DeviceReply* pReply,
                       Duration timeout = kDefaultTimeout);
  ReadStatus WriteUser(const SystemConfigStruct& admin, const UserStruct& user, DeviceReply* pReply,
                       Duration timeout = kDefaultTimeout);

  void Close(CloseMode mode = CloseMode::Normal);

 private:
  using Clock = std::chrono::steady_clock;
  // Reads until m_arrRx holds unCount bytes or the deadline passes.
  ReadStatus FillTo(size_t unCount, Clock::time_point deadline);
  std::vector<uint8_t> Take(size_t unCount);
  ReadStatus RequestReply(uint8_t byCommand, const uint8_t* pParam,
                          const std::vector<uint8_t>& arrPayload, DeviceReply* pReply,
                          Duration timeout);
  void NextKey(uint8_t* pKey);

  boost::asio::io_context m_io;
  boost::asio::ip::tcp::socket m_socket;
  std::vector<uint8_t> m_arrRx;  // received, not yet taken
  uint8_t m_arrChunk[4096];      // one read
  uint8_t m_arrLastKey[8] = {};
  uint8_t m_arrFixedKey[8] = {};
  bool m_bFixedKey = false;
  std::string m_strLocalAddress;
  uint64_t m_unKeyState;  // key generator state
};
