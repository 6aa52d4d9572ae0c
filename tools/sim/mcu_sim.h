#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "mgmt/mcu_rtc_record.h"

// How a simulated module controller answers.
enum class McuSimMode {
  Normal,       // correct replies
  Silent,       // reads and counts requests, never answers
  BadChecksum,  // correct replies whose checksum byte is spoiled
  Error,        // replies with a non-zero result byte and the error code in data byte 0
  Hold,         // builds correct replies but keeps them until ReleaseHeld()
};

// What the simulator saw in the last request that passed its checks.
struct McuSimRequest {
  uint8_t arrNonce[4] = {0};
  uint8_t bySequence = 0;
  uint8_t byCommand = 0;
  std::vector<uint8_t> arrPayload;
};

// A module management controller on a loopback address (127.0.0.1 unless told) and one UDP port,
// run by a thread of its own. It checks every request (length byte, checksum, the big-endian
// payload length after unscrambling with the request's own nonce) and answers the serial-number
// (0x38), clock (0x5C) and restart (0xEC) commands with correctly scrambled replies. It keeps a
// clock of its own, running from the host's local time plus an offset, or frozen at a set value.
//
// The setters and counters may be used from any thread while the simulator runs.
class CMcuSim {
 public:
  // Binds strAddress:unPort (port 0: the system picks; see Port()). Any 127.x.y.z address works
  // on Linux without set-up, so several modules can have addresses of their own. Throws the
  // parse or bind error.
  explicit CMcuSim(uint16_t unPort = 0, const std::string& strAddress = "127.0.0.1");
  ~CMcuSim();  // Stop()
  CMcuSim(const CMcuSim&) = delete;
  CMcuSim& operator=(const CMcuSim&) = delete;

  // Called on the simulator's thread with one text per event (request, reply, bad request).
  // Set before Start().
  void SetEventSink(std::function<void(const std::string&)> fnSink);

  void Start();
  // Ends and joins the thread. Replies still held are dropped. Safe to call twice.
  void Stop();

  uint16_t Port() const { return m_unPort; }

  void SetMode(McuSimMode mode) { m_mode.store(mode); }
  void SetErrorCode(uint8_t byCode) { m_byErrorCode.store(byCode); }
  void SetSerialNo(const std::vector<uint8_t>& arrSerialNo);
  // Reply sequence = request sequence + byStep (default 1).
  void SetSequenceStep(uint8_t byStep) { m_bySequenceStep.store(byStep); }
  // Byte 3 of successful replies claims this data length instead of the true one (-1: true).
  void SetClaimedDataLength(int nLength) { m_nClaimedDataLength.store(nLength); }
  // Answers every request with exactly these bytes, whatever the mode (empty: back to the mode).
  void SetRawReply(const std::vector<uint8_t>& arrReply);
  // Sets the module clock; a frozen clock stays at that value until the next set.
  void SetClock(const McuRtcRecord& rec, bool bFrozen);
  McuRtcRecord Clock() const;
  // A controller whose clock is read-only refuses every clock set (error code 0x04).
  void SetClockWritable(bool bWritable) { m_bClockWritable.store(bWritable); }
  // Sends the replies kept in Hold mode, in order.
  void ReleaseHeld();
  // The next reply goes out only after this delay (a module behind a slow link), the later ones
  // at once again.
  void DelayNextReply(std::chrono::milliseconds delay) { m_nNextReplyDelayMs.store(
      static_cast<int>(delay.count())); }
  // Before each reply, a refusal of the same request (result 1, error code 0x07) goes out from
  // another port of the same address: a stranger that answers in the module's place.
  void SetStrayReplyFirst(bool bStray) { m_bStrayReplyFirst.store(bStray); }

  uint32_t SerialNoRequests() const { return m_unSerialNo.load(); }
  uint32_t GetRtcRequests() const { return m_unGetRtc.load(); }
  uint32_t SetRtcRequests() const { return m_unSetRtc.load(); }
  uint32_t Resets() const { return m_unResets.load(); }
  uint32_t BadRequests() const { return m_unBad.load(); }
  uint32_t Requests() const { return m_unRequests.load(); }  // every datagram received
  uint32_t RepliesSent() const { return m_unReplies.load(); }
  uint32_t StraysSent() const { return m_unStrays.load(); }
  bool HasClockSet() const { return m_bClockSet.load(); }
  McuRtcRecord LastClockSet() const;
  McuSimRequest LastRequest() const;

  // Parses "YYYY-MM-DD HH:MM:SS". False on anything else, or an impossible date or time.
  static bool ParseClock(const std::string& strText, McuRtcRecord* pRec);

 private:
  void Run();
  void ArmReceive();
  void HandleDatagram(size_t unCount);
  // Builds the scrambled reply into m_arrReply; returns its length, 0 for no reply.
  size_t BuildReply(const uint8_t* pNonce, uint8_t bySequence, uint8_t byResult,
                    const uint8_t* pData, size_t unDataLength);
  size_t Answer(const McuSimRequest& req);
  void SendReply(const std::vector<uint8_t>& arrReply);
  void Event(const std::string& strText);
  McuRtcRecord ClockLocked() const;  // REQUIRES: m_mtxState

  boost::asio::io_context m_ioContext;
  boost::asio::ip::udp::socket m_socket;
  boost::asio::ip::udp::endpoint m_sender;
  boost::asio::ip::udp::socket m_socketStray;  // bound on first use of SetStrayReplyFirst
  boost::asio::steady_timer m_timerDelay;
  std::vector<uint8_t> m_arrDelayed;  // the delayed reply, for m_delayedPeer
  boost::asio::ip::udp::endpoint m_delayedPeer;
  uint16_t m_unPort = 0;
  uint8_t m_arrDatagram[512] = {0};
  uint8_t m_arrReply[256] = {0};
  std::unique_ptr<boost::thread> m_upThread;
  std::function<void(const std::string&)> m_fnEventSink;

  std::atomic<McuSimMode> m_mode{McuSimMode::Normal};
  std::atomic<uint8_t> m_byErrorCode{0x07};
  std::atomic<uint8_t> m_bySequenceStep{1};
  std::atomic<int> m_nClaimedDataLength{-1};
  std::atomic<uint32_t> m_unSerialNo{0};
  std::atomic<uint32_t> m_unGetRtc{0};
  std::atomic<uint32_t> m_unSetRtc{0};
  std::atomic<uint32_t> m_unResets{0};
  std::atomic<uint32_t> m_unBad{0};
  std::atomic<uint32_t> m_unRequests{0};
  std::atomic<uint32_t> m_unReplies{0};
  std::atomic<uint32_t> m_unStrays{0};
  std::atomic<int> m_nNextReplyDelayMs{0};
  std::atomic<bool> m_bStrayReplyFirst{false};
  std::atomic<bool> m_bClockSet{false};
  std::atomic<bool> m_bClockWritable{true};

  mutable boost::mutex m_mtxState;  // guards everything below
  std::vector<uint8_t> m_arrSerialNo;
  std::vector<uint8_t> m_arrRawReply;
  boost::posix_time::time_duration m_tdClockOffset;  // module clock - host clock (running)
  bool m_bClockFrozen = false;
  McuRtcRecord m_stFrozenClock = {};
  uint8_t m_arrClockOpaque[5] = {0};
  McuRtcRecord m_stLastClockSet = {};
  McuSimRequest m_stLastRequest;
  std::vector<std::vector<uint8_t>> m_arrHeld;  // with their peers in m_arrHeldPeers
  std::vector<boost::asio::ip::udp::endpoint> m_arrHeldPeers;
};
