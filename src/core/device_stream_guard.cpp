#include "core/device_stream_guard.h"

#include <algorithm>
#include <cstring>

#include "config/byte_io.h"
#include "core/device_dispatch.h"

namespace {

bool IsCheckedCommand(uint8_t byCommand) {
  return DeviceCommand::IsCardRead(byCommand) || byCommand == DeviceCommand::kSystemConfig ||
         byCommand == DeviceCommand::kUserList || byCommand == DeviceCommand::kAdminCheck;
}

}  // namespace

void CDeviceStreamGuard::Reset() {
  m_unHeld = 0;
  for (Reading& r : m_arrReadings) {
    r = Reading();
  }
  for (Reading& r : m_arrNext) {
    r = Reading();
  }
  m_bFreshAfter = false;
  m_unFrames = 0;
  m_pPending = nullptr;
  m_unPending = 0;
}

uint8_t CDeviceStreamGuard::ByteAt(const Reading& reading, int64_t nPos) const {
  if (nPos < 0) {
    return reading.arrCarry[static_cast<int64_t>(reading.unCarry) + nPos];
  }
  return m_arrHeld[nPos];
}

void CDeviceStreamGuard::AddFrame(const Frame& frame) {
  // The same start in the held bytes is the same frame under both readings: looked at once, with
  // the most of its bytes that either reading has.
  for (size_t i = 0; i < m_unFrames; ++i) {
    Frame& f = m_arrFrames[i];
    if (frame.nStart >= 0 && f.nStart == frame.nStart) {
      f.unLength = std::max(f.unLength, frame.unLength);
      f.unDeclared = std::max(f.unDeclared, frame.unDeclared);
      return;
    }
  }
  if (m_unFrames < kMaxChecked) {
    m_arrFrames[m_unFrames++] = frame;
  }
}

CDeviceStreamGuard::WalkResult CDeviceStreamGuard::WalkReading(size_t unReading, bool bCollect) {
  const Reading& st = m_arrReadings[unReading];
  const int64_t n = static_cast<int64_t>(m_unHeld);
  WalkResult result{Walk::Boundary, 0, 0, Reading()};
  int64_t nPos = 0;
  if (st.unSkip > 0) {
    if (st.unSkip >= static_cast<uint64_t>(n)) {
      result.eWalk = Walk::InFrame;
      result.next.unSkip = st.unSkip - static_cast<uint64_t>(n);
      return result;
    }
    nPos = static_cast<int64_t>(st.unSkip);
  } else {
    nPos = -static_cast<int64_t>(st.unCarry);
  }
  for (;;) {
    const int64_t nAvail = n - nPos;
    if (nAvail == 0) {
      result.eWalk = Walk::Boundary;
      return result;
    }
    if (nAvail < 4) {
      result.eWalk = Walk::Header;
      result.nPartialStart = static_cast<int32_t>(nPos);
      return result;
    }
    uint8_t arrWord[4];
    for (int i = 0; i < 4; ++i) {
      arrWord[i] = ByteAt(st, nPos + i);
    }
    const uint64_t unDeclared = GetLe32(arrWord) + (unReading == 1 ? 4u : 0u);
    if (unDeclared < kMinFrame || unDeclared > kMaxFrame) {
      result.eWalk = Walk::NoFit;
      return result;
    }
    const int64_t nFrame = static_cast<int64_t>(unDeclared);
    if (nFrame >= static_cast<int64_t>(kHeaderBytes)) {
      if (nAvail < static_cast<int64_t>(kHeaderBytes)) {
        result.eWalk = Walk::Header;
        result.nPartialStart = static_cast<int32_t>(nPos);
        return result;
      }
      // Body byte 0 is masked with key byte 0 (and 0).
      const uint8_t byCommand = static_cast<uint8_t>(ByteAt(st, nPos + 12) ^ ByteAt(st, nPos + 4));
      if (IsCheckedCommand(byCommand)) {
        const int64_t nHead =
            std::min<int64_t>(nFrame, DeviceCommand::IsCardRead(byCommand) ? kLoginHead : kAdminHead);
        if (nAvail < nHead) {
          result.eWalk = Walk::Head;
          result.nPartialStart = static_cast<int32_t>(nPos);
          result.unPartialLength = unDeclared;
          return result;
        }
        if (bCollect) {
          AddFrame(Frame{static_cast<int32_t>(nPos),
                         static_cast<uint32_t>(std::min(nFrame, nAvail)),
                         static_cast<uint32_t>(unDeclared), byCommand,
                         static_cast<uint8_t>(unReading)});
        }
      }
    }
    nPos += nFrame;
    if (nPos > n) {
      result.eWalk = Walk::InFrame;
      result.next.unSkip = static_cast<uint64_t>(nPos - n);
      return result;
    }
  }
}

CDeviceStreamGuard::Action CDeviceStreamGuard::Decide(bool bExpired) {
  m_unFrames = 0;
  m_bFreshAfter = false;
  WalkResult arrWalks[kReadings];
  bool bAnyFits = false;
  for (size_t r = 0; r < kReadings; ++r) {
    arrWalks[r] = WalkReading(r, false);
    bAnyFits = bAnyFits || arrWalks[r].eWalk != Walk::NoFit;
  }
  // A reading that meets a length no frame can have still delimits every frame before it: a
  // module of that reading acts on them before it stumbles, so they are looked at too.
  for (size_t r = 0; r < kReadings; ++r) {
    (void)WalkReading(r, true);
  }
  if (!bAnyFits) {
    // Taken as one frame, as the gateway always did: that look covers the frame at the start.
    size_t unKept = 0;
    for (size_t i = 0; i < m_unFrames; ++i) {
      if (m_arrFrames[i].nStart != 0) {
        m_arrFrames[unKept++] = m_arrFrames[i];
      }
    }
    m_unFrames = unKept;
    std::sort(m_arrFrames, m_arrFrames + m_unFrames,
              [](const Frame& a, const Frame& b) { return a.nStart < b.nStart; });
    m_bFreshAfter = true;
    return Action::AsOneFrame;
  }
  const int64_t n = static_cast<int64_t>(m_unHeld);
  bool bHold = false;
  bool bAllHeader = true;
  for (size_t r = 0; r < kReadings; ++r) {
    WalkResult& w = arrWalks[r];
    if (w.eWalk == Walk::NoFit) {
      w.next = Reading();  // starts afresh at the next read
      continue;
    }
    if (w.eWalk != Walk::Header) {
      bAllHeader = false;
    }
    if (w.eWalk == Walk::Head) {
      bool bCovered = false;
      for (size_t i = 0; i < m_unFrames && w.nPartialStart >= 0; ++i) {
        bCovered = bCovered || m_arrFrames[i].nStart == w.nPartialStart;
      }
      if (!bCovered) {
        if (!bExpired) {
          bHold = true;
          continue;
        }
        // The hold ran out: the frame is looked at with what came of it (a reader that never
        // filled its length word sends its frame whole, so this is that frame as the gateway
        // always took it); the rest of it passes as it comes.
        const Reading& st = m_arrReadings[r];
        const int64_t nStart = w.nPartialStart;
        const uint8_t byCommand = static_cast<uint8_t>(ByteAt(st, nStart + 12) ^ ByteAt(st, nStart + 4));
        AddFrame(Frame{w.nPartialStart, static_cast<uint32_t>(n - nStart),
                       static_cast<uint32_t>(w.unPartialLength), byCommand,
                       static_cast<uint8_t>(r)});
      }
      w.next = Reading();
      w.next.unSkip = static_cast<uint64_t>(w.nPartialStart) + w.unPartialLength -
                      static_cast<uint64_t>(n);
      continue;
    }
    if (w.eWalk == Walk::Header) {
      // The bytes of the cut header go on and are read again in front of the next read.
      const Reading& st = m_arrReadings[r];
      w.next = Reading();
      for (int64_t p = w.nPartialStart; p < n; ++p) {
        w.next.arrCarry[w.next.unCarry++] = ByteAt(st, p);
      }
    }
  }
  if ((bHold || bAllHeader) && !bExpired) {
    m_unFrames = 0;
    return Action::Hold;
  }
  std::sort(m_arrFrames, m_arrFrames + m_unFrames,
            [](const Frame& a, const Frame& b) { return a.nStart < b.nStart; });
  for (size_t r = 0; r < kReadings; ++r) {
    m_arrNext[r] = arrWalks[r].next;
  }
  return Action::Check;
}

CDeviceStreamGuard::Action CDeviceStreamGuard::Add(const uint8_t* pData, size_t unCount,
                                                   Clock::time_point tmNow) {
  if (pData == nullptr || unCount == 0) {
    return Action::Hold;
  }
  if (m_unHeld + unCount > kHoldLimit) {
    // No room behind what is held: that is decided now, as if its time had run out.
    m_pPending = pData;
    m_unPending = unCount;
    return Decide(true);
  }
  if (m_unHeld == 0) {
    m_tmHeldSince = tmNow;
  }
  std::memcpy(m_arrHeld + m_unHeld, pData, unCount);
  m_unHeld += unCount;
  return Decide(false);
}

CDeviceStreamGuard::Action CDeviceStreamGuard::Expire(Clock::time_point tmNow) {
  if (m_unHeld == 0 || tmNow - m_tmHeldSince < std::chrono::milliseconds(kHoldMs)) {
    return Action::Hold;
  }
  return Decide(true);
}

CDeviceStreamGuard::Action CDeviceStreamGuard::TakePending(Clock::time_point tmNow) {
  m_unHeld = 0;
  m_unFrames = 0;
  if (m_pPending == nullptr) {
    return Action::Hold;
  }
  const uint8_t* pData = m_pPending;
  const size_t unCount = m_unPending;
  m_pPending = nullptr;
  m_unPending = 0;
  return Add(pData, unCount, tmNow);
}

CDeviceStreamGuard::Action CDeviceStreamGuard::Commit(Clock::time_point tmNow) {
  for (size_t r = 0; r < kReadings; ++r) {
    m_arrReadings[r] = m_bFreshAfter ? Reading() : m_arrNext[r];
  }
  m_bFreshAfter = false;
  return TakePending(tmNow);
}

CDeviceStreamGuard::Action CDeviceStreamGuard::Revert(Clock::time_point tmNow) {
  m_bFreshAfter = false;
  return TakePending(tmNow);
}

const uint8_t* CDeviceStreamGuard::FrameBytes(const Frame& frame, size_t* punLength) {
  const Reading& st = m_arrReadings[frame.byReading < kReadings ? frame.byReading : 0];
  size_t unCopied = 0;
  for (int64_t p = frame.nStart; unCopied < frame.unLength && unCopied < kFrameCopy &&
                                 p < static_cast<int64_t>(m_unHeld);
       ++p) {
    m_arrFrameCopy[unCopied++] = ByteAt(st, p);
  }
  *punLength = unCopied;
  return m_arrFrameCopy;
}

uint32_t CDeviceStreamGuard::HoldWaitMs(Clock::time_point tmNow) const {
  if (m_unHeld == 0) {
    return 0;
  }
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(tmNow - m_tmHeldSince).count();
  return elapsed >= static_cast<long long>(kHoldMs) ? 1 : static_cast<uint32_t>(kHoldMs - elapsed);
}
