// The management channel's checks of module replies. A loopback UDP peer answers every request
// of a CVelmApi with the input; the channel takes it apart exactly as it would a module's reply.
//
// Input: byte 0 holds flags, the rest is the reply (cut to 300 bytes; the channel reads 256).
//   bit 0  set the length byte to the reply's size - 1
//   bit 1  set the checksum byte so that the XOR of the reply is 0
//   bit 2  the reply is given in clear: the peer scrambles it with the request's nonce, as a
//          module does, so that the channel's unscrambling gives back the input
//   bits 4-5  the command: serial number, read clock, set clock, restart
//   bit 6  serial number into a 64-byte (clear) or a 200-byte (set) text buffer
// Without bits 0 to 2 the fuzzer still reaches every reply a module could send; with them it
// reaches the deep paths (a reply that passes the checks) without guessing the nonce, which is
// drawn from the clock.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz_util.h"
#include "mgmt/mcu_rtc_record.h"
#include "mgmt/velm_api.h"

namespace {

constexpr size_t kMaxReply = 300;
constexpr uint8_t kFixLength = 0x01;
constexpr uint8_t kFixChecksum = 0x02;
constexpr uint8_t kScramble = 0x04;
constexpr uint8_t kLargeSerialBuffer = 0x40;

// A module controller that answers each request with the bytes it was given last.
class ScriptedPeer {
 public:
  ScriptedPeer() {
    m_nSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    FUZZ_CHECK(m_nSocket >= 0);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::bind(m_nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0);
    socklen_t unLen = sizeof(addr);
    FUZZ_CHECK(::getsockname(m_nSocket, reinterpret_cast<sockaddr*>(&addr), &unLen) == 0);
    m_unPort = ntohs(addr.sin_port);
    std::thread(&ScriptedPeer::Serve, this).detach();  // blocked in recvfrom when the run ends
  }

  uint16_t Port() const { return m_unPort; }

  void SetReply(uint8_t byFlags, const uint8_t* pReply, size_t unSize) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_byFlags = byFlags;
    m_arrReply.assign(pReply, pReply + unSize);
  }

 private:
  void Serve() {
    for (;;) {
      uint8_t arrRequest[512];
      sockaddr_in from;
      socklen_t unFrom = sizeof(from);
      ssize_t n = ::recvfrom(m_nSocket, arrRequest, sizeof(arrRequest), 0,
                             reinterpret_cast<sockaddr*>(&from), &unFrom);
      if (n <= 0) {
        continue;
      }
      // Whatever the reply, the request the channel built must be a sound frame.
      FUZZ_CHECK(n >= 10 && n <= static_cast<ssize_t>(kMcuFrameSize));
      FUZZ_CHECK(arrRequest[0] == n - 1);
      uint8_t byXor = 0;
      for (ssize_t i = 0; i < n; ++i) {
        byXor ^= arrRequest[i];
      }
      FUZZ_CHECK(byXor == 0);

      std::vector<uint8_t> arrReply;
      uint8_t byFlags = 0;
      {
        std::lock_guard<std::mutex> lock(m_mtx);
        arrReply = m_arrReply;
        byFlags = m_byFlags;
      }
      size_t unCount = arrReply.size();
      if (unCount > 0) {
        if (byFlags & kFixLength) {
          arrReply[0] = static_cast<uint8_t>(unCount - 1);
        }
        if (byFlags & kScramble) {
          ScrambleMcuReply(arrReply.data(), unCount, arrRequest + 1);
        }
        if (byFlags & kFixChecksum) {
          uint8_t bySum = 0;
          for (size_t i = 0; i + 1 < unCount; ++i) {
            bySum ^= arrReply[i];
          }
          arrReply[unCount - 1] = bySum;
        }
      }
      (void)::sendto(m_nSocket, arrReply.data(), unCount, 0, reinterpret_cast<sockaddr*>(&from),
                     unFrom);
    }
  }

  int m_nSocket = -1;
  uint16_t m_unPort = 0;
  std::mutex m_mtx;
  uint8_t m_byFlags = 0;
  std::vector<uint8_t> m_arrReply;
};

struct Harness {
  Harness() {
    SilenceRunLog();
    api.Open();
  }
  ScriptedPeer peer;
  CVelmApi api;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize) {
  static Harness* pHarness = new Harness();  // never deleted: see fuzz_util.h
  Harness& h = *pHarness;
  if (unSize == 0) {
    return 0;
  }
  const uint8_t byFlags = pData[0];
  const uint8_t* pReply = pData + 1;
  size_t unReply = unSize - 1 < kMaxReply ? unSize - 1 : kMaxReply;
  h.peer.SetReply(byFlags, pReply, unReply);
  h.api.SetTarget("127.0.0.1", h.peer.Port());

  bool bOk = false;
  switch ((byFlags >> 4) & 0x03) {
    case 0: {
      char szSerial[200];
      size_t unCapacity = (byFlags & kLargeSerialBuffer) ? sizeof(szSerial) : 64;
      std::memset(szSerial, 'X', sizeof(szSerial));
      bOk = h.api.GetMcuSerailNo(szSerial, unCapacity);
      const char* pEnd = static_cast<const char*>(std::memchr(szSerial, '\0', unCapacity));
      FUZZ_CHECK(pEnd != nullptr);
      for (const char* p = szSerial; p < pEnd; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        FUZZ_CHECK(std::isxdigit(c) && !std::islower(c));
      }
      FUZZ_CHECK(bOk || pEnd == szSerial);
      FUZZ_CHECK(unCapacity == sizeof(szSerial) || szSerial[unCapacity] == 'X');
      break;
    }
    case 1: {
      McuRtcRecord rec;
      std::memset(&rec, 0, sizeof(rec));
      bOk = h.api.GetMcuRtc(&rec);
      break;
    }
    case 2: {
      McuRtcRecord rec = {2026, 1, 2, 3, 4, 5, {0}};
      bOk = h.api.SetMcuRtc(&rec);
      break;
    }
    default:
      bOk = h.api.ResetMcu();
      break;
  }
  // A failing module may report error code 0, so only one direction holds.
  FUZZ_CHECK(!bOk || h.api.LastResult() == 0);

  // A well-formed reply in clear that the peer completed: the channel must read back what was
  // meant (bytes 1 to 4 of a reply of six bytes or more lie inside the scrambled span).
  const uint8_t kWellFormed = kFixLength | kFixChecksum | kScramble;
  if ((byFlags & kWellFormed) == kWellFormed && unReply >= 6 && unReply <= kMcuFrameSize) {
    FUZZ_CHECK(h.api.Sequence() == pReply[1]);
    FUZZ_CHECK(bOk == (pReply[2] == 0));
    FUZZ_CHECK(bOk || h.api.LastResult() == pReply[4]);
  }
  return 0;
}
