#include "device_sim.h"

#include <algorithm>
#include <cstring>
#include <random>

#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

#include "config/byte_io.h"
#include "core/device_frame.h"

namespace {

// Copies at most unWidth bytes of the text into the field (raw, no terminator of its own; the
// zero-filled payload terminates a shorter text).
void PutRaw(uint8_t* pField, size_t unWidth, const std::string& strText) {
  std::memcpy(pField, strText.data(), std::min(unWidth, strText.size()));
}

// Copies text into a NUL-terminated field of unWidth bytes.
void PutText(uint8_t* pField, size_t unWidth, const std::string& strText) {
  CopyText(reinterpret_cast<char*>(pField), unWidth, strText.c_str());
}

bool IsTimeoutLike(const boost::system::error_code& ec) {
  return ec == boost::asio::error::operation_aborted;
}

// The length word a gateway reply with this code can carry.
bool IsReplyLength(uint8_t byCode, uint32_t unLength) {
  switch (byCode) {
    case kReplyLoginRefused:
      return unLength == kDeviceReplyHeadSize + 1024;
    case kReplyBusy:
      return unLength == kDeviceReplyHeadSize;
    case kReplySystemConfig:
      return unLength == kDeviceReplyHeadSize ||
             unLength == kDeviceReplyHeadSize + SystemConfigLayout::kSize;
    case kReplyUserList:
      return unLength >= kDeviceReplyHeadSize &&
             (unLength - kDeviceReplyHeadSize) % UserLayout::kSize == 0 &&
             (unLength - kDeviceReplyHeadSize) / UserLayout::kSize <= kUserListReplyMax;
    case kReplyAdminCheck:
      return unLength == kDeviceReplyHeadSize + 1;
    default:
      return false;
  }
}

constexpr uint32_t kMaxReplyLength = kDeviceReplyHeadSize + kDeviceReplyPayloadLimit - 1;
constexpr uint32_t kMaxAnswerLength = 1u << 20;  // a sanity bound for relayed answers

}  // namespace

bool IsLoginCommand(uint8_t byCommand) {
  return std::find(std::begin(kLoginCommands), std::end(kLoginCommands), byCommand) !=
         std::end(kLoginCommands);
}

std::vector<uint8_t> BuildDeviceRequest(const uint8_t* pKey, uint8_t byCommand,
                                        const uint8_t* pParam, const uint8_t* pPayload,
                                        size_t unLength) {
  using namespace DeviceRequestLayout;
  std::vector<uint8_t> frame(kHeadSize + (pPayload != nullptr ? unLength : 0), 0);
  PutLe32(&frame[kLengthWord], static_cast<uint32_t>(frame.size()));
  std::memcpy(&frame[kKey], pKey, kDeviceKeySize);
  frame[kCommand] = byCommand;
  if (pParam != nullptr) {
    std::memcpy(&frame[kParam], pParam, 8);
  }
  if (pPayload != nullptr && unLength > 0) {
    std::memcpy(&frame[kPayload], pPayload, unLength);
  }
  MaskDeviceBody(&frame[kCommand], frame.size() - kCommand, pKey);
  return frame;
}

std::vector<uint8_t> BuildLoginPayload(uint32_t unAccountNo, const std::string& strPassword,
                                       const std::string& strUserInfo,
                                       const std::string& strDeviceId,
                                       const std::string& strTransData) {
  using namespace LoginPayloadLayout;
  std::vector<uint8_t> payload(kSize, 0);
  PutLe32(&payload[kAccountNo], unAccountNo);
  PutRaw(&payload[kPassword], 16, strPassword);
  PutRaw(&payload[kUserInfo], 64, strUserInfo);
  PutText(&payload[kDeviceId], 64, strDeviceId);
  PutText(&payload[kTransData], 1024, strTransData);
  return payload;
}

SystemConfigStruct MakeAdminRecord(const std::string& strUserName, const std::string& strPassword) {
  SystemConfigStruct admin;
  std::memset(&admin, 0, sizeof(admin));
  CopyText(admin.szUserName, strUserName.c_str());
  CopyText(admin.szPassword, strPassword.c_str());
  CopyText(admin.szNewPassword, strPassword.c_str());
  return admin;
}

std::vector<uint8_t> BuildAdminPayload(const SystemConfigStruct& admin) {
  std::vector<uint8_t> payload(SystemConfigLayout::kSize);
  EncodeSystemConfig(admin, payload.data());
  return payload;
}

std::vector<uint8_t> BuildUserWritePayload(const SystemConfigStruct& admin,
                                           const UserStruct& user) {
  std::vector<uint8_t> payload(SystemConfigLayout::kSize + UserLayout::kSize);
  EncodeSystemConfig(admin, payload.data());
  EncodeUser(user, payload.data() + SystemConfigLayout::kSize);
  return payload;
}

bool ParseDeviceReply(const uint8_t* pFrame, size_t unCount, const uint8_t* pRequestKey,
                      DeviceReply* pReply) {
  if (pFrame == nullptr || pReply == nullptr || unCount < kDeviceReplyHeadSize ||
      GetLe32(pFrame) != unCount) {
    return false;
  }
  std::vector<uint8_t> body(pFrame + 12, pFrame + unCount);
  MaskDeviceBody(body.data(), body.size(), pFrame + 4);
  pReply->byCode = body[0];
  pReply->unLengthWord = static_cast<uint32_t>(unCount);
  std::memcpy(pReply->arrKey, pFrame + 4, kDeviceKeySize);
  pReply->arrPayload.assign(body.begin() + 4, body.end());
  // The busy reply goes out before the device has sent anything, so its seeds are zero.
  const uint8_t zeroSeed[kDeviceKeySize] = {};
  uint8_t expected[kDeviceKeySize];
  DeriveReplyKey(pReply->byCode == kReplyBusy || pRequestKey == nullptr ? zeroSeed : pRequestKey,
                 expected);
  pReply->bKeyOk = std::memcmp(expected, pReply->arrKey, kDeviceKeySize) == 0;
  return true;
}

bool ReplyAdminMatches(const DeviceReply& reply) {
  return reply.byCode == kReplyAdminCheck && reply.arrPayload.size() == 1 &&
         reply.arrPayload[0] == 1;
}

bool DecodeConfigReply(const DeviceReply& reply, SystemConfigStruct* pConfig) {
  if (reply.byCode != kReplySystemConfig || reply.arrPayload.size() != SystemConfigLayout::kSize ||
      pConfig == nullptr) {
    return false;
  }
  DecodeSystemConfig(reply.arrPayload.data(), pConfig);
  return true;
}

bool DecodeUserListReply(const DeviceReply& reply, std::vector<UserStruct>* pUsers) {
  if (reply.byCode != kReplyUserList || reply.arrPayload.size() % UserLayout::kSize != 0 ||
      pUsers == nullptr) {
    return false;
  }
  pUsers->clear();
  for (size_t off = 0; off < reply.arrPayload.size(); off += UserLayout::kSize) {
    UserStruct user;
    DecodeUser(&reply.arrPayload[off], &user);
    pUsers->push_back(user);
  }
  return true;
}

std::string LoginErrorText(const DeviceReply& reply) {
  if (reply.byCode != kReplyLoginRefused || reply.arrPayload.size() <= kLoginErrorTextOffset) {
    return std::string();
  }
  const char* pText = reinterpret_cast<const char*>(&reply.arrPayload[kLoginErrorTextOffset]);
  return std::string(pText, strnlen(pText, reply.arrPayload.size() - kLoginErrorTextOffset));
}

const char* DescribeReadStatus(ReadStatus status) {
  switch (status) {
    case ReadStatus::Ok:
      return "ok";
    case ReadStatus::Timeout:
      return "no reply in time";
    case ReadStatus::Closed:
      return "connection closed";
    case ReadStatus::Invalid:
      return "invalid frame length";
  }
  return "?";
}

// ---- CDeviceSimClient ----

CDeviceSimClient::CDeviceSimClient() : m_socket(m_io) {
  std::random_device rd;
  m_unKeyState = (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

CDeviceSimClient::~CDeviceSimClient() {
  Close();
}

bool CDeviceSimClient::Connect(const std::string& strHost, uint16_t unPort, Duration timeout,
                               std::string* pError) {
  using boost::asio::ip::tcp;
  Close();
  m_arrRx.clear();
  boost::system::error_code ec;
  tcp::endpoint endpoint;
  boost::asio::ip::address address = boost::asio::ip::make_address(strHost, ec);
  if (!ec) {
    endpoint = tcp::endpoint(address, unPort);
  } else {
    tcp::resolver resolver(m_io);
    auto results = resolver.resolve(tcp::v4(), strHost, std::to_string(unPort), ec);
    if (ec || results.empty()) {
      if (pError != nullptr) {
        *pError = "cannot resolve " + strHost + ": " + ec.message();
      }
      return false;
    }
    endpoint = results.begin()->endpoint();
  }
  if (!m_strLocalAddress.empty()) {
    boost::asio::ip::address local = boost::asio::ip::make_address(m_strLocalAddress, ec);
    if (!ec) {
      (void)m_socket.open(endpoint.protocol(), ec);
    }
    if (!ec) {
      (void)m_socket.bind(tcp::endpoint(local, 0), ec);
    }
    if (ec) {
      boost::system::error_code ignored;
      m_socket.close(ignored);
      if (pError != nullptr) {
        *pError = "cannot bind " + m_strLocalAddress + ": " + ec.message();
      }
      return false;
    }
  }
  bool bDone = false;
  m_socket.async_connect(endpoint, [&](const boost::system::error_code& e) {
    ec = e;
    bDone = true;
  });
  m_io.restart();
  m_io.run_for(timeout);
  if (!bDone) {
    m_socket.close();  // completes the connect with operation_aborted
    m_io.restart();
    m_io.run();
    ec = boost::asio::error::timed_out;
  }
  if (ec) {
    boost::system::error_code ignored;
    m_socket.close(ignored);
    if (pError != nullptr) {
      *pError = ec.message();
    }
    return false;
  }
  m_socket.set_option(tcp::no_delay(true), ec);
  return true;
}

bool CDeviceSimClient::Send(const uint8_t* pData, size_t unCount, Duration timeout) {
  if (!m_socket.is_open()) {
    return false;
  }
  boost::system::error_code ec;
  bool bDone = false;
  boost::asio::async_write(m_socket, boost::asio::buffer(pData, unCount),
                           [&](const boost::system::error_code& e, size_t) {
                             ec = e;
                             bDone = true;
                           });
  m_io.restart();
  m_io.run_for(timeout);
  if (!bDone) {
    // A half-written frame cannot be taken back; the connection is no use any more.
    m_socket.close(ec);
    m_io.restart();
    m_io.run();
    return false;
  }
  return !ec;
}

void CDeviceSimClient::SetRequestKey(const uint8_t* pKey) {
  std::memcpy(m_arrFixedKey, pKey, kDeviceKeySize);
  m_bFixedKey = true;
}

void CDeviceSimClient::NextKey(uint8_t* pKey) {
  if (m_bFixedKey) {
    std::memcpy(pKey, m_arrFixedKey, kDeviceKeySize);
    return;
  }
  // splitmix64: a fresh, well-spread key per request
  m_unKeyState += 0x9E3779B97F4A7C15ull;
  uint64_t z = m_unKeyState;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  PutLe32(pKey, static_cast<uint32_t>(z));
  PutLe32(pKey + 4, static_cast<uint32_t>(z >> 32));
}

bool CDeviceSimClient::SendRequest(uint8_t byCommand, const uint8_t* pParam,
                                   const std::vector<uint8_t>& arrPayload, Duration timeout) {
  NextKey(m_arrLastKey);
  std::vector<uint8_t> frame =
      BuildDeviceRequest(m_arrLastKey, byCommand, pParam, arrPayload.data(), arrPayload.size());
  return Send(frame, timeout);
}

ReadStatus CDeviceSimClient::FillTo(size_t unCount, Clock::time_point deadline) {
  while (m_arrRx.size() < unCount) {
    if (!m_socket.is_open()) {
      return ReadStatus::Closed;
    }
    Clock::time_point now = Clock::now();
    if (now >= deadline) {
      return ReadStatus::Timeout;
    }
    boost::system::error_code ec;
    size_t unGot = 0;
    bool bDone = false;
    m_socket.async_read_some(boost::asio::buffer(m_arrChunk),
                             [&](const boost::system::error_code& e, size_t n) {
                               ec = e;
                               unGot = n;
                               bDone = true;
                             });
    m_io.restart();
    m_io.run_for(deadline - now);
    if (!bDone) {
      m_socket.cancel(ec);
      m_io.restart();
      m_io.run();  // the handler runs with what arrived, or with operation_aborted
    }
    m_arrRx.insert(m_arrRx.end(), m_arrChunk, m_arrChunk + unGot);
    if (ec && !IsTimeoutLike(ec)) {
      // End of stream or reset: keep the socket for Close(), but nothing more will come.
      boost::system::error_code ignored;
      m_socket.close(ignored);
      return m_arrRx.size() >= unCount ? ReadStatus::Ok : ReadStatus::Closed;
    }
  }
  return ReadStatus::Ok;
}

std::vector<uint8_t> CDeviceSimClient::Take(size_t unCount) {
  std::vector<uint8_t> out(m_arrRx.begin(), m_arrRx.begin() + unCount);
  m_arrRx.erase(m_arrRx.begin(), m_arrRx.begin() + unCount);
  return out;
}

ReadStatus CDeviceSimClient::ReadRaw(size_t unCount, std::vector<uint8_t>* pData,
                                     Duration timeout) {
  ReadStatus status = FillTo(unCount, Clock::now() + timeout);
  if (status == ReadStatus::Ok && pData != nullptr) {
    *pData = Take(unCount);
  }
  return status;
}

ReadStatus CDeviceSimClient::ReadReply(DeviceReply* pReply, Duration timeout) {
  return ReadReply(m_arrLastKey, pReply, timeout);
}

ReadStatus CDeviceSimClient::ReadReply(const uint8_t* pRequestKey, DeviceReply* pReply,
                                       Duration timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  ReadStatus status = FillTo(4, deadline);
  if (status != ReadStatus::Ok) {
    return status;
  }
  uint32_t unLength = GetLe32(m_arrRx.data());
  if (unLength < kDeviceReplyHeadSize || unLength > kMaxReplyLength) {
    return ReadStatus::Invalid;
  }
  status = FillTo(unLength, deadline);
  if (status != ReadStatus::Ok) {
    return status;
  }
  std::vector<uint8_t> frame = Take(unLength);
  DeviceReply reply;
  ParseDeviceReply(frame.data(), frame.size(), pRequestKey, &reply);
  if (pReply != nullptr) {
    *pReply = std::move(reply);
  }
  return ReadStatus::Ok;
}

ReadStatus CDeviceSimClient::ReadAnswer(std::vector<uint8_t>* pAnswer, Duration timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  ReadStatus status = FillTo(4, deadline);
  if (status != ReadStatus::Ok) {
    return status;
  }
  uint32_t unFollowing = GetLe32(m_arrRx.data());
  if (unFollowing < kDeviceKeySize || unFollowing > kMaxAnswerLength) {
    return ReadStatus::Invalid;
  }
  status = FillTo(unFollowing + 4, deadline);
  if (status == ReadStatus::Ok && pAnswer != nullptr) {
    *pAnswer = Take(unFollowing + 4);
  }
  return status;
}

ReadStatus CDeviceSimClient::ReadFrame(DeviceFrameKind* pKind, std::vector<uint8_t>* pFrame,
                                       Duration timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  // Length word, key and the first body byte tell the two kinds apart.
  ReadStatus status = FillTo(13, deadline);
  if (status != ReadStatus::Ok) {
    return status;
  }
  uint32_t unWord = GetLe32(m_arrRx.data());
  uint8_t byCode = static_cast<uint8_t>(m_arrRx[12] ^ m_arrRx[4]);
  bool bReply = ClassifyAnswer(static_cast<size_t>(unWord) + 4) == CardAnswerKind::NotCard &&
                IsReplyLength(byCode, unWord);
  size_t unTotal = bReply ? unWord : static_cast<size_t>(unWord) + 4;
  if (!bReply && (unWord < kDeviceKeySize + 1 || unWord > kMaxAnswerLength)) {
    return ReadStatus::Invalid;
  }
  status = FillTo(unTotal, deadline);
  if (status != ReadStatus::Ok) {
    return status;
  }
  std::vector<uint8_t> frame = Take(unTotal);
  if (pKind != nullptr) {
    *pKind = bReply ? DeviceFrameKind::GatewayReply : DeviceFrameKind::SamvAnswer;
  }
  if (pFrame != nullptr) {
    *pFrame = std::move(frame);
  }
  return ReadStatus::Ok;
}

ReadStatus CDeviceSimClient::WaitForClose(Duration timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    ReadStatus status = FillTo(m_arrRx.size() + 1, deadline);
    if (status != ReadStatus::Ok) {
      return status;
    }
  }
}

bool CDeviceSimClient::SendLogin(const LoginRequest& request, Duration timeout) {
  std::vector<uint8_t> payload =
      BuildLoginPayload(request.unAccountNo, request.strPassword, request.strUserInfo,
                        request.strDeviceId, request.strTransData);
  return SendRequest(request.byCommand, nullptr, payload, timeout);
}

ReadStatus CDeviceSimClient::ReadCard(const LoginRequest& request, CardReadResult* pResult,
                                      Duration timeout) {
  CardReadResult result;
  // A failed send still leaves a reply that may already have arrived (the busy reply) to read.
  (void)SendLogin(request, timeout);
  Clock::time_point deadline = Clock::now() + timeout;
  DeviceFrameKind kind;
  std::vector<uint8_t> frame;
  ReadStatus status = ReadFrame(&kind, &frame, timeout);
  if (status == ReadStatus::Ok) {
    if (kind == DeviceFrameKind::GatewayReply) {
      result.bRefused = true;
      ParseDeviceReply(frame.data(), frame.size(), m_arrLastKey, &result.reply);
    } else {
      result.arrAnswer = std::move(frame);
      if (result.arrAnswer.size() == kCardFingerAnswerSize) {
        Duration left = std::chrono::duration_cast<Duration>(deadline - Clock::now());
        status = ReadAnswer(&result.arrFingerRest, std::max(left, Duration(0)));
      }
    }
  }
  if (pResult != nullptr) {
    *pResult = std::move(result);
  }
  return status;
}

ReadStatus CDeviceSimClient::RequestReply(uint8_t byCommand, const uint8_t* pParam,
                                          const std::vector<uint8_t>& arrPayload,
                                          DeviceReply* pReply, Duration timeout) {
  // As with the card read, a reply may be waiting even when the send failed.
  (void)SendRequest(byCommand, pParam, arrPayload, timeout);
  return ReadReply(pReply, timeout);
}

ReadStatus CDeviceSimClient::CheckAdmin(const SystemConfigStruct& admin, DeviceReply* pReply,
                                        Duration timeout) {
  return RequestReply(kCmdAdminCheck, nullptr, BuildAdminPayload(admin), pReply, timeout);
}

ReadStatus CDeviceSimClient::ReadSystemConfig(const SystemConfigStruct& admin, DeviceReply* pReply,
                                              Duration timeout) {
  const uint8_t param[8] = {0};
  return RequestReply(kCmdSystemConfig, param, BuildAdminPayload(admin), pReply, timeout);
}

ReadStatus CDeviceSimClient::WriteSystemConfig(const SystemConfigStruct& record,
                                               DeviceReply* pReply, Duration timeout) {
  const uint8_t param[8] = {1};
  return RequestReply(kCmdSystemConfig, param, BuildAdminPayload(record), pReply, timeout);
}

ReadStatus CDeviceSimClient::ReadUsers(const SystemConfigStruct& admin, uint32_t unStartIndex,
                                       DeviceReply* pReply, Duration timeout) {
  uint8_t param[8] = {0};
  PutLe32(param + 4, unStartIndex);
  return RequestReply(kCmdUserList, param, BuildAdminPayload(admin), pReply, timeout);
}

ReadStatus CDeviceSimClient::WriteUser(const SystemConfigStruct& admin, const UserStruct& user,
                                       DeviceReply* pReply, Duration timeout) {
  const uint8_t param[8] = {1};
  return RequestReply(kCmdUserList, param, BuildUserWritePayload(admin, user), pReply, timeout);
}

void CDeviceSimClient::Close(CloseMode mode) {
  if (!m_socket.is_open()) {
    return;
  }
  boost::system::error_code ec;
  switch (mode) {
    case CloseMode::HalfClose:
      m_socket.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ec);
      return;
    case CloseMode::Reset:
      m_socket.set_option(boost::asio::socket_base::linger(true, 0), ec);
      break;
    case CloseMode::Normal:
      break;
  }
  m_socket.close(ec);
}
