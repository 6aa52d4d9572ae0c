#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/system/error_code.hpp>

// How the gateway notices a peer (a device or a SAMV server) that is gone or has stopped
// reading, on the sockets of both sides.
//
// A peer that vanished without a word (power cut, cable pulled) is found by keep-alive probes:
// after kKeepIdleS seconds of silence, kKeepCount probes kKeepIntervalS seconds apart, so an idle
// connection to a dead peer ends within about a minute. Data that the peer never acknowledges,
// or a window it keeps shut, ends the connection after twice the write stall limit
// (TCP_USER_TIMEOUT): longer than the stall limit, so that a peer that stopped reading is ended by
// the gateway's own write deadline, which says so in the run log, and not by the kernel first.
//
// A peer that is there but stopped reading fills its window; the kernel would then keep the
// writer waiting for as long as the peer acknowledges its probes. Every write of the gateway is
// therefore bounded by its own deadline: WriteWithin fails when no byte could be written for the
// stall limit.
namespace PeerTiming {
constexpr int kKeepIdleS = 30;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepCount = 3;
constexpr uint32_t kWriteStallLimitMs = 10000;
}  // namespace PeerTiming

// Sets the keep-alive timing and TCP_USER_TIMEOUT (the write stall limit) on a connected TCP
// socket. SO_KEEPALIVE itself is set by the caller. Results are ignored: a kernel without one of
// the options still has the write deadline.
void ApplyPeerTiming(int nFd);

// Writes all unCount bytes to the connected socket nFd without raising SIGPIPE, waiting for room
// as long as some byte goes out at least every stall limit. Returns the error of the failed send,
// or ETIMEDOUT ("Connection timed out") when the socket took no byte for the stall limit. Bytes
// already written stay written. Any thread; the caller keeps writers of one socket apart.
boost::system::error_code WriteWithin(int nFd, const uint8_t* pData, size_t unCount);

// The stall limit in force, kWriteStallLimitMs unless changed. Process-wide.
uint32_t WriteStallLimitMs();
// Changes the stall limit for sockets written or configured from now on (tests use short ones).
void SetWriteStallLimitMs(uint32_t unMs);
// The TCP_USER_TIMEOUT that ApplyPeerTiming sets: twice the stall limit.
uint32_t UserTimeoutMs();
