#include "mcu_sim.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <list>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "config/byte_io.h"
#include "config/run_log.h"
#include "mgmt/velm_api.h"
#include "net/thread_stack.h"
#include "sim.h"

namespace {

// Request layout as the gateway sends it (L = payload length).
constexpr size_t kReqNonce = 1;
constexpr size_t kReqSequence = 5;
constexpr size_t kReqCommand = 6;
constexpr size_t kReqPayloadLength = 7;
constexpr size_t kReqPayload = 9;
constexpr size_t kReqOverhead = 10;

constexpr uint8_t kCmdSerialNo = 0x38;
constexpr uint8_t kCmdRtc = 0x5C;
constexpr uint8_t kCmdReset = 0xEC;

// Error codes this controller reports in data byte 0 of a failed reply.
constexpr uint8_t kErrUnknownCommand = 0x01;
constexpr uint8_t kErrBadClock = 0x02;
constexpr uint8_t kErrBadRtcRequest = 0x03;
constexpr uint8_t kErrClockReadOnly = 0x04;

constexpr size_t kMaxReplyData = 256 - 5;

const std::vector<uint8_t> kDefaultSerialNo = {0x01, 0xA2, 0xFF, 0x3C, 0x00, 0x5E, 0x77, 0x10};

std::string Hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) {
      s += ' ';
    }
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 0x0F];
  }
  return s;
}

std::string ClockText(const McuRtcRecord& rec) {
  char sz[64] = {0};
  std::snprintf(sz, sizeof(sz), "%d-%02d-%02d %02d:%02d:%02d", rec.unYear, rec.byMonth, rec.byDay,
                rec.byHour, rec.byMinute, rec.bySecond);
  return sz;
}

// False for a record that names no real date and time.
bool RecordToPtime(const McuRtcRecord& rec, boost::posix_time::ptime* pTime) {
  if (rec.byHour > 23 || rec.byMinute > 59 || rec.bySecond > 59) {
    return false;
  }
  try {
    boost::gregorian::date day(rec.unYear, rec.byMonth, rec.byDay);
    *pTime = boost::posix_time::ptime(
        day, boost::posix_time::time_duration(rec.byHour, rec.byMinute, rec.bySecond));
    return true;
  } catch (const std::exception&) {
    return false;  // year, month or day out of range
  }
}

void PtimeToRecord(const boost::posix_time::ptime& tm, McuRtcRecord* pRec) {
  boost::gregorian::date day = tm.date();
  boost::posix_time::time_duration tod = tm.time_of_day();
  pRec->unYear = static_cast<uint16_t>(day.year());
  pRec->byMonth = static_cast<uint8_t>(day.month());
  pRec->byDay = static_cast<uint8_t>(day.day());
  pRec->byHour = static_cast<uint8_t>(tod.hours());
  pRec->byMinute = static_cast<uint8_t>(tod.minutes());
  pRec->bySecond = static_cast<uint8_t>(tod.seconds());
}

}  // namespace

CMcuSim::CMcuSim(uint16_t unPort, const std::string& strAddress)
    : m_socket(m_ioContext),
      m_socketStray(m_ioContext),
      m_timerDelay(m_ioContext),
      m_arrSerialNo(kDefaultSerialNo) {
  boost::asio::ip::udp::endpoint local(boost::asio::ip::make_address(strAddress), unPort);
  m_socket.open(local.protocol());
  m_socket.bind(local);
  m_socketStray.open(local.protocol());
  m_socketStray.bind(boost::asio::ip::udp::endpoint(local.address(), 0));
  m_unPort = m_socket.local_endpoint().port();
  m_tdClockOffset = boost::posix_time::seconds(0);
}

CMcuSim::~CMcuSim() {
  Stop();
}

void CMcuSim::SetEventSink(std::function<void(const std::string&)> fnSink) {
  m_fnEventSink = std::move(fnSink);
}

void CMcuSim::Start() {
  if (m_upThread) {
    return;
  }
  ArmReceive();
  boost::thread::attributes attrs;
  attrs.set_stack_size(kThreadStackSize);
  // Joined by Stop(): the thread ends when the context is stopped.
  m_upThread.reset(new boost::thread(attrs, [this] { Run(); }));
}

void CMcuSim::Stop() {
  if (!m_upThread) {
    return;
  }
  m_ioContext.stop();
  m_upThread->join();
  m_upThread.reset();
  boost::system::error_code ec;
  m_socket.close(ec);
  m_socketStray.close(ec);
}

void CMcuSim::Run() {
  try {
    m_ioContext.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mcu sim %u: %s\n", static_cast<unsigned>(m_unPort), e.what());
  } catch (...) {
    std::fprintf(stderr, "mcu sim %u: unknown error\n", static_cast<unsigned>(m_unPort));
  }
}

void CMcuSim::ArmReceive() {
  m_socket.async_receive_from(boost::asio::buffer(m_arrDatagram), m_sender,
                              [this](const boost::system::error_code& ec, size_t unCount) {
                                if (ec == boost::asio::error::operation_aborted) {
                                  return;
                                }
                                if (!ec) {
                                  HandleDatagram(unCount);
                                }
                                ArmReceive();
                              });
}

void CMcuSim::Event(const std::string& strText) {
  if (m_fnEventSink) {
    m_fnEventSink(strText);
  }
}

void CMcuSim::SetSerialNo(const std::vector<uint8_t>& arrSerialNo) {
  boost::mutex::scoped_lock lock(m_mtxState);
  m_arrSerialNo = arrSerialNo;
  if (m_arrSerialNo.size() > kMaxReplyData) {
    m_arrSerialNo.resize(kMaxReplyData);
  }
}

void CMcuSim::SetRawReply(const std::vector<uint8_t>& arrReply) {
  boost::mutex::scoped_lock lock(m_mtxState);
  m_arrRawReply = arrReply;
}

void CMcuSim::SetClock(const McuRtcRecord& rec, bool bFrozen) {
  boost::mutex::scoped_lock lock(m_mtxState);
  std::memcpy(m_arrClockOpaque, rec.arrOpaque, sizeof(m_arrClockOpaque));
  m_bClockFrozen = bFrozen;
  m_stFrozenClock = rec;
  boost::posix_time::ptime tm;
  if (!bFrozen && RecordToPtime(rec, &tm)) {
    m_tdClockOffset = tm - LocalTimeNow();
  }
}

McuRtcRecord CMcuSim::ClockLocked() const {
  if (m_bClockFrozen) {
    return m_stFrozenClock;
  }
  McuRtcRecord rec = {};
  PtimeToRecord(LocalTimeNow() + m_tdClockOffset, &rec);
  std::memcpy(rec.arrOpaque, m_arrClockOpaque, sizeof(rec.arrOpaque));
  return rec;
}

McuRtcRecord CMcuSim::Clock() const {
  boost::mutex::scoped_lock lock(m_mtxState);
  return ClockLocked();
}

McuRtcRecord CMcuSim::LastClockSet() const {
  boost::mutex::scoped_lock lock(m_mtxState);
  return m_stLastClockSet;
}

McuSimRequest CMcuSim::LastRequest() const {
  boost::mutex::scoped_lock lock(m_mtxState);
  return m_stLastRequest;
}

void CMcuSim::ReleaseHeld() {
  boost::asio::post(m_ioContext, [this] {
    std::vector<std::vector<uint8_t>> arrHeld;
    std::vector<boost::asio::ip::udp::endpoint> arrPeers;
    {
      boost::mutex::scoped_lock lock(m_mtxState);
      arrHeld.swap(m_arrHeld);
      arrPeers.swap(m_arrHeldPeers);
    }
    for (size_t i = 0; i < arrHeld.size(); ++i) {
      boost::system::error_code ec;
      m_socket.send_to(boost::asio::buffer(arrHeld[i]), arrPeers[i], 0, ec);
      if (!ec) {
        ++m_unReplies;
        Event("released held reply " + Hex(arrHeld[i].data(), arrHeld[i].size()));
      }
    }
  });
}

size_t CMcuSim::BuildReply(const uint8_t* pNonce, uint8_t bySequence, uint8_t byResult,
                           const uint8_t* pData, size_t unDataLength) {
  if (unDataLength > kMaxReplyData) {
    unDataLength = kMaxReplyData;
  }
  size_t unLength = unDataLength + 5;
  std::memset(m_arrReply, 0, sizeof(m_arrReply));
  m_arrReply[0] = static_cast<uint8_t>(unLength - 1);
  m_arrReply[1] = bySequence;
  m_arrReply[2] = byResult;
  m_arrReply[3] = static_cast<uint8_t>(unDataLength);
  if (unDataLength > 0) {
    std::memcpy(m_arrReply + 4, pData, unDataLength);
  }
  ScrambleMcuReply(m_arrReply, unLength, pNonce);
  uint8_t byChecksum = 0;
  for (size_t i = 0; i + 1 < unLength; ++i) {
    byChecksum ^= m_arrReply[i];
  }
  m_arrReply[unLength - 1] = byChecksum;
  return unLength;
}

size_t CMcuSim::Answer(const McuSimRequest& req) {
  const McuSimMode mode = m_mode.load();
  const uint8_t bySequence = static_cast<uint8_t>(req.bySequence + m_bySequenceStep.load());
  uint8_t arrData[kMaxReplyData] = {0};
  size_t unData = 0;
  uint8_t byError = 0;
  // A controller in error mode refuses the command and changes nothing. In the other modes it
  // acts on the command; a silent or corrupted reply stands for one lost on the way back.
  const bool bActs = mode != McuSimMode::Error;

  boost::mutex::scoped_lock lock(m_mtxState);
  if (req.byCommand == kCmdSerialNo) {
    ++m_unSerialNo;
    unData = m_arrSerialNo.size();
    if (unData > 0) {
      std::memcpy(arrData, m_arrSerialNo.data(), unData);
    }
  } else if (req.byCommand == kCmdRtc && req.arrPayload.size() == 1 + McuRtcLayout::kSize &&
             req.arrPayload[0] <= 1) {
    McuRtcRecord rec = {};
    if (req.arrPayload[0] == 0) {
      ++m_unGetRtc;
    } else {
      ++m_unSetRtc;
      DecodeMcuRtc(req.arrPayload.data() + 1, &rec);
      boost::posix_time::ptime tm;
      if (!RecordToPtime(rec, &tm)) {
        byError = kErrBadClock;
      } else if (!m_bClockWritable.load()) {
        byError = kErrClockReadOnly;
      } else if (bActs) {
        m_stLastClockSet = rec;
        m_bClockSet.store(true);
        std::memcpy(m_arrClockOpaque, rec.arrOpaque, sizeof(m_arrClockOpaque));
        m_stFrozenClock = rec;
        m_tdClockOffset = tm - LocalTimeNow();
      }
    }
    if (byError == 0) {
      EncodeMcuRtc(ClockLocked(), arrData);
      unData = McuRtcLayout::kSize;
    }
  } else if (req.byCommand == kCmdRtc) {
    byError = kErrBadRtcRequest;
  } else if (req.byCommand == kCmdReset) {
    ++m_unResets;
  } else {
    byError = kErrUnknownCommand;
  }
  if (mode == McuSimMode::Error) {
    byError = m_byErrorCode.load();
  }
  if (byError != 0) {
    arrData[0] = byError;
    return BuildReply(req.arrNonce, bySequence, 1, arrData, 1);
  }
  size_t unLength = BuildReply(req.arrNonce, bySequence, 0, arrData, unData);
  const int nClaimed = m_nClaimedDataLength.load();
  if (nClaimed >= 0) {
    // Byte 3 is scrambled with i = 2; rewrite it and mend the checksum.
    uint8_t byOld = m_arrReply[3];
    m_arrReply[3] = static_cast<uint8_t>(static_cast<uint8_t>(nClaimed) ^ 2 ^ req.arrNonce[2] ^
                                         kMcuReplyMask[2]);
    m_arrReply[unLength - 1] ^= static_cast<uint8_t>(byOld ^ m_arrReply[3]);
  }
  return unLength;
}

void CMcuSim::HandleDatagram(size_t unCount) {
  ++m_unRequests;
  const uint8_t* p = m_arrDatagram;
  uint8_t byXor = 0;
  for (size_t i = 0; i < unCount; ++i) {
    byXor ^= p[i];
  }
  const char* szFault = nullptr;
  if (unCount < kReqOverhead || unCount > 256) {
    szFault = "bad size";
  } else if (static_cast<size_t>(p[0]) + 1 != unCount) {
    szFault = "length byte does not match";
  } else if (byXor != 0) {
    szFault = "bad checksum";
  }
  McuSimRequest req;
  if (szFault == nullptr) {
    // Undo the scrambling with the request's own nonce: bytes 5 .. n-2.
    uint8_t arrPlain[256] = {0};
    std::memcpy(arrPlain, p, unCount);
    std::memcpy(req.arrNonce, p + kReqNonce, 4);
    for (size_t i = 0; kReqSequence + i + 1 < unCount; ++i) {
      arrPlain[kReqSequence + i] ^= static_cast<uint8_t>(req.arrNonce[i % 4] ^ (i & 0xFF));
    }
    size_t unPayload = GetBe16(arrPlain + kReqPayloadLength);
    if (unPayload + kReqOverhead != unCount) {
      szFault = "payload length does not match";
    } else {
      req.bySequence = arrPlain[kReqSequence];
      req.byCommand = arrPlain[kReqCommand];
      req.arrPayload.assign(arrPlain + kReqPayload, arrPlain + kReqPayload + unPayload);
    }
  }
  if (szFault != nullptr) {
    ++m_unBad;
    Event(std::string("bad request (") + szFault + "): " + Hex(p, unCount < 32 ? unCount : 32));
    return;
  }
  {
    boost::mutex::scoped_lock lock(m_mtxState);
    m_stLastRequest = req;
  }
  char szLine[160] = {0};
  std::snprintf(szLine, sizeof(szLine), "request from %s:%u seq %u cmd 0x%02X payload %u",
                m_sender.address().to_string().c_str(), static_cast<unsigned>(m_sender.port()),
                static_cast<unsigned>(req.bySequence), static_cast<unsigned>(req.byCommand),
                static_cast<unsigned>(req.arrPayload.size()));
  Event(szLine);

  std::vector<uint8_t> arrRaw;
  {
    boost::mutex::scoped_lock lock(m_mtxState);
    arrRaw = m_arrRawReply;
  }
  size_t unReply = 0;
  if (!arrRaw.empty()) {
    (void)Answer(req);  // count and act as usual, then send the given bytes instead
    unReply = arrRaw.size() < sizeof(m_arrReply) ? arrRaw.size() : sizeof(m_arrReply);
    std::memcpy(m_arrReply, arrRaw.data(), unReply);
  } else {
    unReply = Answer(req);
  }
  if (m_bStrayReplyFirst.load()) {
    boost::system::error_code ec;
    const std::vector<uint8_t> arrReal(m_arrReply, m_arrReply + unReply);
    const uint8_t byCode = 0x07;
    const size_t unStray = BuildReply(req.arrNonce, static_cast<uint8_t>(req.bySequence + 1), 1,
                                      &byCode, 1);
    m_socketStray.send_to(boost::asio::buffer(m_arrReply, unStray), m_sender, 0, ec);
    if (!ec) {
      ++m_unStrays;
      Event("stray refusal sent from another port");
    }
    std::memcpy(m_arrReply, arrReal.data(), arrReal.size());
  }
  const McuSimMode mode = m_mode.load();
  if (arrRaw.empty() && mode == McuSimMode::Silent) {
    Event("silent: no reply");
    return;
  }
  if (arrRaw.empty() && mode == McuSimMode::BadChecksum) {
    m_arrReply[unReply - 1] ^= 0x5A;
  }
  if (arrRaw.empty() && mode == McuSimMode::Hold) {
    boost::mutex::scoped_lock lock(m_mtxState);
    m_arrHeld.emplace_back(m_arrReply, m_arrReply + unReply);
    m_arrHeldPeers.push_back(m_sender);
    Event("reply held");
    return;
  }
  boost::system::error_code ec;
  const int nDelayMs = m_nNextReplyDelayMs.exchange(0);
  if (nDelayMs > 0) {
    m_arrDelayed.assign(m_arrReply, m_arrReply + unReply);
    m_delayedPeer = m_sender;
    m_timerDelay.expires_after(std::chrono::milliseconds(nDelayMs));
    m_timerDelay.async_wait([this](const boost::system::error_code& ecWait) {
      if (ecWait) {
        return;
      }
      boost::system::error_code ecSend;
      m_socket.send_to(boost::asio::buffer(m_arrDelayed), m_delayedPeer, 0, ecSend);
      if (!ecSend) {
        ++m_unReplies;
        Event("delayed reply " + Hex(m_arrDelayed.data(), m_arrDelayed.size()));
      }
    });
    Event("reply delayed");
    return;
  }
  m_socket.send_to(boost::asio::buffer(m_arrReply, unReply), m_sender, 0, ec);
  if (ec) {
    Event("reply not sent: " + ec.message());
    return;
  }
  ++m_unReplies;
  Event("reply " + Hex(m_arrReply, unReply));
}

bool CMcuSim::ParseClock(const std::string& strText, McuRtcRecord* pRec) {
  unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char cTail = 0;
  if (std::sscanf(strText.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &s, &cTail) !=
      6) {
    return false;
  }
  McuRtcRecord rec = {};
  rec.unYear = static_cast<uint16_t>(y);
  rec.byMonth = static_cast<uint8_t>(mo);
  rec.byDay = static_cast<uint8_t>(d);
  rec.byHour = static_cast<uint8_t>(h);
  rec.byMinute = static_cast<uint8_t>(mi);
  rec.bySecond = static_cast<uint8_t>(s);
  boost::posix_time::ptime tm;
  if (mo > 12 || d > 31 || !RecordToPtime(rec, &tm)) {
    return false;
  }
  *pRec = rec;
  return true;
}

// ---- cardgate-sim mcu ----

namespace {

void McuUsage(FILE* out) {
  std::fprintf(out,
               "usage: cardgate-sim mcu --port P [--port P2 ...] [options]\n"
               "Module management controllers, one per UDP port.\n"
               "  --port P          UDP port to answer on (1-65535, or 0 for any free port);\n"
               "                    repeat for several modules\n"
               "  --address A       IPv4 address to answer on (default 127.0.0.1)\n"
               "  --mode M          normal | silent | bad-checksum | error (default normal)\n"
               "  --error-code N    code sent in error mode (1-255, default 7)\n"
               "  --serial HEX      serial number bytes, e.g. 01A2FF (default 01A2FF3C005E7710)\n"
               "  --clock TEXT      start the module clock at \"YYYY-MM-DD HH:MM:SS\" (it runs\n"
               "                    on from there; default: the host's local time)\n"
               "  --help            this text\n"
               "Prints one line per event; runs until SIGINT or SIGTERM.\n");
}

bool ParseNumber(const char* sz, unsigned long unMax, unsigned long* pValue) {
  if (sz == nullptr || *sz == '\0') {
    return false;
  }
  char* pEnd = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(sz, &pEnd, 10);
  if (errno != 0 || *pEnd != '\0' || sz[0] == '-' || v > unMax) {
    return false;
  }
  *pValue = v;
  return true;
}

bool ParseHexBytes(const char* sz, std::vector<uint8_t>* pOut) {
  std::string s(sz);
  if (s.empty() || s.size() % 2 != 0 || s.size() / 2 > kMaxReplyData) {
    return false;
  }
  pOut->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    unsigned v = 0;
    for (size_t k = 0; k < 2; ++k) {
      char c = s[i + k];
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
      v = v * 16 + digit;
    }
    pOut->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

int BadArgument(const std::string& strText) {
  std::fprintf(stderr, "cardgate-sim mcu: %s\n", strText.c_str());
  McuUsage(stderr);
  return 2;
}

}  // namespace

int RunMcuSim(int argc, char** argv) {
  std::vector<uint16_t> arrPorts;
  std::string strAddress = "127.0.0.1";
  McuSimMode mode = McuSimMode::Normal;
  unsigned long unErrorCode = 7;
  std::vector<uint8_t> arrSerialNo = kDefaultSerialNo;
  bool bClock = false;
  McuRtcRecord stClock = {};
  for (int i = 1; i < argc; ++i) {
    std::string strArg = argv[i];
    if (strArg == "--help" || strArg == "-h") {
      McuUsage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      return BadArgument("unknown option or missing value: " + strArg);
    }
    const char* szValue = argv[++i];
    if (strArg == "--port") {
      unsigned long v = 0;
      if (!ParseNumber(szValue, 65535, &v)) {
        return BadArgument(std::string("bad port: ") + szValue);
      }
      arrPorts.push_back(static_cast<uint16_t>(v));
    } else if (strArg == "--address") {
      boost::system::error_code ec;
      boost::asio::ip::make_address_v4(szValue, ec);
      if (ec) {
        return BadArgument(std::string("bad address: ") + szValue);
      }
      strAddress = szValue;
    } else if (strArg == "--mode") {
      std::string m = szValue;
      if (m == "normal") {
        mode = McuSimMode::Normal;
      } else if (m == "silent") {
        mode = McuSimMode::Silent;
      } else if (m == "bad-checksum") {
        mode = McuSimMode::BadChecksum;
      } else if (m == "error") {
        mode = McuSimMode::Error;
      } else {
        return BadArgument("bad mode: " + m);
      }
    } else if (strArg == "--error-code") {
      if (!ParseNumber(szValue, 255, &unErrorCode) || unErrorCode == 0) {
        return BadArgument(std::string("bad error code: ") + szValue);
      }
    } else if (strArg == "--serial") {
      if (!ParseHexBytes(szValue, &arrSerialNo)) {
        return BadArgument(std::string("bad serial number: ") + szValue);
      }
    } else if (strArg == "--clock") {
      if (!CMcuSim::ParseClock(szValue, &stClock)) {
        return BadArgument(std::string("bad clock: ") + szValue);
      }
      bClock = true;
    } else {
      return BadArgument("unknown option: " + strArg);
    }
  }
  if (arrPorts.empty()) {
    return BadArgument("at least one --port is needed");
  }

  // Block the stop signals before any thread starts, so that only sigwait below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::list<CMcuSim> sims;
  try {
    for (uint16_t unPort : arrPorts) {
      sims.emplace_back(unPort, strAddress);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cardgate-sim mcu: %s\n", e.what());
    return 1;
  }
  static boost::mutex s_mtxOut;
  for (CMcuSim& sim : sims) {
    const unsigned unPort = sim.Port();
    sim.SetEventSink([unPort](const std::string& strText) {
      boost::mutex::scoped_lock lock(s_mtxOut);
      std::printf("mcu %u: %s\n", unPort, strText.c_str());
      std::fflush(stdout);
    });
    sim.SetMode(mode);
    sim.SetErrorCode(static_cast<uint8_t>(unErrorCode));
    sim.SetSerialNo(arrSerialNo);
    if (bClock) {
      sim.SetClock(stClock, false);
    }
    sim.Start();
    {
      boost::mutex::scoped_lock lock(s_mtxOut);
      std::printf("mcu %u: listening on %s:%u, clock %s\n", unPort, strAddress.c_str(), unPort,
                  ClockText(sim.Clock()).c_str());
      std::fflush(stdout);
    }
  }
  int nSignal = 0;
  sigwait(&stopSignals, &nSignal);
  for (CMcuSim& sim : sims) {
    sim.Stop();
  }
  std::printf("mcu: stopped by signal %d\n", nSignal);
  std::fflush(stdout);
  return 0;
}
