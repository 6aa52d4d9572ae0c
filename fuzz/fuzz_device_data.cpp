// Device frame dispatch: one chunk from a device, as the session thread hands it over, through
// ProcessDeviceData (and the same bytes as a stream through the stream guard, see FuzzStreamGuard) on a data switch read from INI files with accounts and an administrator.
// Replies go to a real loopback connection whose peer end is drained and checked after every
// input.
//
// Input: the chunk with its body in clear (length word, key, command, three bytes, parameters,
// payload); the target masks the body with the chunk's own key before dispatching it, so that
// the values the dispatcher compares with (command codes, account numbers, passwords) appear in
// the input as they are and the fuzzer can find them. Masking is a bijection: every chunk a
// device could send is still reachable.
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <set>

#include "config/byte_io.h"
#include "core/data_switch.h"
#include "core/device_dispatch.h"
#include "core/device_frame.h"
#include "core/device_stream_guard.h"
#include "fuzz_util.h"
#include "net/tcp_client.h"
#include "support/loopback.h"

namespace {

const char kSystemConfigIni[] =
    "[SYSTEM_ADMINISTRATOR]\nUSER_NAME=admin\nPASSWORD=admin123\n[LOG_SERVER]\n"
    "IP_ADDRESS=127.0.0.1\nPORT=16200\nHTTP_LOG_URL=/card/log\nAPP_KEY=demoappkey\n"
    "SECRET_KEY=0123456789abcdef\nSIGN=demosign\n";
const char kUserListIni[] =
    "[USER_LIST]\nUSER_COUNT=4\n"
    "PASSWORD_0=pass1001\nACCOUNT_NO_0=1001\nTYPE_0=0\n"
    "PASSWORD_1=pass1002\nACCOUNT_NO_1=1002\nTYPE_1=1\n"
    "PASSWORD_2=\nACCOUNT_NO_2=1003\nTYPE_2=0\n"
    "PASSWORD_3=0123456789abcdef\nACCOUNT_NO_3=1004\nTYPE_3=0\n";

constexpr size_t kReplyHead = kDeviceReplyHeadSize;
constexpr size_t kLongestReply = kDeviceReplyHeadSize + kDeviceReplyPayloadLimit - 1;

struct Harness {
  Harness() {
    SilenceRunLog();
    dir.Write("SystemConfig.ini", kSystemConfigIni);
    dir.Write("UserList.ini", kUserListIni);
    pSwitch = new DataSwitch(dir.Path(), 0);  // never deleted: see fuzz_util.h
    FUZZ_CHECK(pSwitch->DataSwitchInit(false));
    for (const UserStruct* pUser : pSwitch->m_arrUserList) {
      arrUsers.push_back(*pUser);
    }
    mapPasswords = pSwitch->m_mapUserPassword;
    stConfig = pSwitch->GetSystemConfigCopy();
    FUZZ_CHECK(!arrUsers.empty() && stConfig.szPassword[0] != '\0');
    // Each reply is one small write; without this the second one waits for the first one's
    // delayed acknowledgement, and the peer end would have to guess how long.
    pair.Gateway()->set_option(boost::asio::ip::tcp::no_delay(true));
  }

  // Every input starts from the same accounts and settings, so a finding replays alone.
  void Restore() {
    {
      boost::mutex::scoped_lock lock(pSwitch->m_mtxUserList);
      bool bSame = pSwitch->m_arrUserList.size() == arrUsers.size();
      for (size_t i = 0; bSame && i < arrUsers.size(); ++i) {
        bSame = std::memcmp(pSwitch->m_arrUserList[i], &arrUsers[i], sizeof(UserStruct)) == 0;
      }
      if (!bSame) {
        for (UserStruct* pUser : pSwitch->m_arrUserList) {
          delete pUser;
        }
        pSwitch->m_arrUserList.clear();
        for (const UserStruct& user : arrUsers) {
          pSwitch->m_arrUserList.push_back(new UserStruct(user));
        }
      }
      pSwitch->m_mapUserPassword = mapPasswords;
    }
    SystemConfigStruct stNow = pSwitch->GetSystemConfigCopy();
    if (std::memcmp(&stNow, &stConfig, sizeof(stNow)) != 0) {
      dir.Write("SystemConfig.ini", kSystemConfigIni);
      boost::mutex::scoped_lock lock(pSwitch->m_mtxSystemConfig);
      pSwitch->m_stSystemConfig = stConfig;
    }
  }

  // Reads what the dispatcher sent to the device: one whole reply frame, keyed as the request
  // asked, when the chunk was answered here (handled, or a refused log-in), else nothing.
  void CheckReplies(bool bAnswered, const uint8_t* pRequestKey) {
    if (bAnswered) {
      std::vector<uint8_t> frame = pair.ReadReply(std::chrono::seconds(10));
      FUZZ_CHECK(frame.size() >= kReplyHead && frame.size() <= kLongestReply);
      UnmaskedReply reply = UnmaskReply(frame, pRequestKey);
      FUZZ_CHECK(reply.bValid && reply.bKeyMatches);
    }
    // One look, reported and checked. The look goes on through a signal: libFuzzer's watchdog
    // alarm interrupts a wait now and then, and a poll it cuts short is no sign of bytes.
    const bool bStray = !pair.NothingWithin(std::chrono::milliseconds(0));
    if (bStray) {
      // Bytes nobody expected: show them, and the input before this one (they may be its, come
      // late), so that a finding that does not replay alone can still be traced.
      uint8_t arrStray[64];
      const ssize_t nStray = ::recv(pair.Peer().native_handle(), arrStray, sizeof arrStray,
                                    MSG_DONTWAIT | MSG_PEEK);
      std::fprintf(stderr, "unexpected bytes at the device (%zd shown, answered here: %d):",
                   nStray, bAnswered ? 1 : 0);
      for (ssize_t i = 0; i < nStray; ++i) {
        std::fprintf(stderr, " %02x", arrStray[i]);
      }
      std::fprintf(stderr, "\nthe input before this one (%zu bytes):", arrPreviousInput.size());
      for (uint8_t by : arrPreviousInput) {
        std::fprintf(stderr, " %02x", by);
      }
      std::fprintf(stderr, "\n");
    }
    FUZZ_CHECK(!bStray);
  }

  std::vector<uint8_t> arrPreviousInput;  // for the report of unexpected bytes

  FuzzDir dir;
  DataSwitch* pSwitch = nullptr;
  LoopbackPair pair;
  CTcpClient client;
  std::vector<UserStruct> arrUsers;
  UserPasswordMap mapPasswords;
  SystemConfigStruct stConfig;
};

// The framing: the same bytes as a stream, cut into reads of the sizes the input's last bytes
// give, go through a stream guard; everything it decides to forward is forwarded (no frame is
// refused), now and then one read is refused instead, and a quiet second is let pass when the
// input says so. A module that delimits the forwarded stream by the length word, under either
// reading, must find every card or administration command it decodes among the frames the guard
// handed over to be looked at, at the same place in the stream. Such a module stops at a length
// word that no frame can have (what it then does is its own affair).
class ModuleModel {
 public:
  explicit ModuleModel(bool bAfterWord) : m_bAfterWord(bAfterWord) {}
  // Feeds the forwarded bytes (their stream offset is m_arrStream.size() on entry) and checks
  // each decoded frame that needs a look against the looked-at starts.
  void Feed(const uint8_t* p, size_t n, const std::set<uint64_t>& setLooked) {
    m_arrStream.insert(m_arrStream.end(), p, p + n);
    while (!m_bStopped) {
      const uint64_t unLeft = m_arrStream.size() - m_unNext;
      if (unLeft < 4) {
        return;
      }
      const uint64_t unFrame = GetLe32(&m_arrStream[m_unNext]) + (m_bAfterWord ? 4u : 0u);
      if (unFrame < CDeviceStreamGuard::kMinFrame || unFrame > CDeviceStreamGuard::kMaxFrame) {
        m_bStopped = true;
        return;
      }
      if (unLeft < unFrame) {
        return;  // a module acts on a frame once it has all of it
      }
      if (unFrame >= 13) {
        const uint8_t byCommand =
            static_cast<uint8_t>(m_arrStream[m_unNext + 12] ^ m_arrStream[m_unNext + 4]);
        bool bLooked = setLooked.count(m_unNext) != 0;
        bool bNeedsLook = byCommand == 81 || byCommand == 82 || byCommand == 83;
        for (uint8_t c : DeviceCommand::kLoginGroup) {
          bNeedsLook = bNeedsLook || c == byCommand;
        }
        FUZZ_CHECK(!bNeedsLook || bLooked);
      }
      m_unNext += unFrame;
    }
  }

 private:
  bool m_bAfterWord;
  bool m_bStopped = false;
  uint64_t m_unNext = 0;
  std::vector<uint8_t> m_arrStream;
};

void FuzzStreamGuard(const uint8_t* pData, size_t unSize) {
  static CDeviceStreamGuard* pGuard = new CDeviceStreamGuard();  // 20 KB: not on the stack
  CDeviceStreamGuard& guard = *pGuard;
  guard.Reset();
  // The last 8 bytes (when there are more than 16) steer: read sizes, refusals, quiet spells.
  size_t unBody = unSize;
  uint64_t unSteer = 0x9E3779B97F4A7C15ull;
  if (unSize > 16) {
    unBody = unSize - 8;
    std::memcpy(&unSteer, pData + unBody, 8);
  }
  auto Next = [&unSteer]() {
    unSteer ^= unSteer << 13;
    unSteer ^= unSteer >> 7;
    unSteer ^= unSteer << 17;
    return unSteer;
  };
  ModuleModel arrModels[2] = {ModuleModel(false), ModuleModel(true)};
  std::set<uint64_t> setLooked;  // stream offsets of the frames handed over to be looked at
  uint64_t unForwarded = 0;
  CDeviceStreamGuard::Clock::time_point tm = CDeviceStreamGuard::Clock::now();
  auto Carry = [&](CDeviceStreamGuard::Action eAction) {
    while (eAction != CDeviceStreamGuard::Action::Hold) {
      FUZZ_CHECK(guard.HeldSize() <= CDeviceStreamGuard::kHoldLimit);
      std::vector<uint64_t> arrLooked;
      if (eAction == CDeviceStreamGuard::Action::AsOneFrame) {
        arrLooked.push_back(unForwarded);  // the gateway looks at it as one frame
      }
      {
        for (size_t i = 0; i < guard.FrameCount(); ++i) {
          const CDeviceStreamGuard::Frame& f = guard.Frames()[i];
          FUZZ_CHECK(f.nStart + static_cast<int64_t>(f.unLength) <=
                     static_cast<int64_t>(guard.HeldSize()));
          FUZZ_CHECK(f.nStart >= -static_cast<int32_t>(CDeviceStreamGuard::kCarryLimit));
          size_t unLength = 0;
          (void)guard.FrameBytes(f, &unLength);
          FUZZ_CHECK(unLength >= 13 && unLength <= CDeviceStreamGuard::kFrameCopy);
          arrLooked.push_back(static_cast<uint64_t>(static_cast<int64_t>(unForwarded) + f.nStart));
        }
      }
      const bool bRevert = Next() % 16 == 0;
      if (bRevert) {
        eAction = guard.Revert(tm);  // refused: nothing of it goes on
        continue;
      }
      setLooked.insert(arrLooked.begin(), arrLooked.end());
      const size_t unHeld = guard.HeldSize();
      for (ModuleModel& m : arrModels) {
        m.Feed(guard.Held(), unHeld, setLooked);
      }
      unForwarded += unHeld;
      eAction = guard.Commit(tm);
    }
  };
  size_t unPos = 0;
  while (unPos < unBody) {
    const size_t unRead = std::min<size_t>(unBody - unPos, 1 + Next() % 4096);
    Carry(guard.Add(pData + unPos, unRead, tm));
    unPos += unRead;
    if (Next() % 8 == 0) {
      tm += std::chrono::milliseconds(1100);  // a quiet second: held bytes are due
      Carry(guard.Expire(tm));
    }
  }
  tm += std::chrono::milliseconds(1100);
  Carry(guard.Expire(tm));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize) {
  static Harness* pHarness = new Harness();
  Harness& h = *pHarness;
  if (unSize == 0) {
    return 0;  // a session hands over chunks of 1 to 4096 bytes
  }

  std::vector<uint8_t> arrChunk(pData, pData + unSize);
  if (arrChunk.size() > 4 + kDeviceKeySize) {
    MaskDeviceBody(arrChunk.data() + 4 + kDeviceKeySize, arrChunk.size() - 4 - kDeviceKeySize,
                   arrChunk.data() + 4);
  }
  const std::vector<uint8_t> arrSent = arrChunk;
  uint8_t arrKey[kDeviceKeySize] = {0};
  if (arrChunk.size() >= 4 + kDeviceKeySize) {
    std::memcpy(arrKey, arrChunk.data() + 4, kDeviceKeySize);
  }

  bool bHandled = false;
  uint32_t unResult =
      ProcessDeviceData(*h.pSwitch, h.pair.Gateway(), arrChunk.data(),
                        static_cast<uint32_t>(arrChunk.size()), &h.client, &bHandled);
  // A refused log-in is the only chunk that is neither forwarded nor answered as handled.
  FUZZ_CHECK(unResult != 0 || !bHandled);
  FUZZ_CHECK(arrChunk == arrSent);  // what is forwarded is what came
  h.CheckReplies(bHandled || unResult == 0, arrKey);
  h.Restore();
  h.pSwitch->m_LoginThrottle.Reset();  // every input starts unthrottled, so a finding replays
  FuzzStreamGuard(pData, unSize);
  h.arrPreviousInput.assign(pData, pData + unSize);
  return 0;
}
