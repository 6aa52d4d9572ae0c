#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

// The record of one decoded card, 3644 bytes. Every SAMV connection carries one as its work
// area (filled while a device session runs); a queued record is a whole copy of that area plus
// the capture time. It lives in memory only and is never put on a wire as a block, so the struct
// holds host-order integers; the captured answer in arrSamvData keeps its bytes as received.
struct DecodeLogRecord {
  uint32_t unAccountNo;          // account of the device user (card-read request)
  char szDeviceIp[16];           // device address, dotted quad
  char szConnectTime[32];        // when the device was given this connection
  char szDecodeTime[32];         // capture time; written into queued records only
  uint8_t arrRequestHead[32];    // first 32 payload bytes of the card-read request
  uint8_t arrRequestParam[8];    // the request's 8 parameter bytes
  uint32_t unRequestCount;       // device chunks forwarded in this session
  uint32_t unAnswerCount;        // answer blocks received in this session
  uint8_t arrUserInfo[64];       // user block of the request
  char szDeviceId[64];           // device identifier text (may fill the field without a NUL)
  char szTransData[1024];        // transaction data text (may fill the field without a NUL)
  uint32_t unSamvDataLength;     // captured answer bytes in arrSamvData, at most 2356
  uint8_t arrSamvData[2356];     // the captured answer, still masked
};

constexpr size_t kSamvDataCapacity = 2356;

static_assert(sizeof(DecodeLogRecord) == 3644, "DecodeLogRecord is 3644 bytes");
static_assert(offsetof(DecodeLogRecord, szDeviceIp) == 4, "");
static_assert(offsetof(DecodeLogRecord, szConnectTime) == 20, "");
static_assert(offsetof(DecodeLogRecord, szDecodeTime) == 52, "");
static_assert(offsetof(DecodeLogRecord, arrRequestHead) == 84, "");
static_assert(offsetof(DecodeLogRecord, arrRequestParam) == 116, "");
static_assert(offsetof(DecodeLogRecord, unRequestCount) == 124, "");
static_assert(offsetof(DecodeLogRecord, unAnswerCount) == 128, "");
static_assert(offsetof(DecodeLogRecord, arrUserInfo) == 132, "");
static_assert(offsetof(DecodeLogRecord, szDeviceId) == 196, "");
static_assert(offsetof(DecodeLogRecord, szTransData) == 260, "");
static_assert(offsetof(DecodeLogRecord, unSamvDataLength) == 1284, "");
static_assert(offsetof(DecodeLogRecord, arrSamvData) == 1288, "");
static_assert(sizeof(((DecodeLogRecord*)nullptr)->arrSamvData) == kSamvDataCapacity, "");

// A new record: a whole copy of a connection's work area with the capture time (full form of the
// run log) in szDecodeTime. Null when memory is short. The caller owns the record.
DecodeLogRecord* NewDecodeLogRecord(const DecodeLogRecord& workArea);

// The capture time of a record (szDecodeTime in the full form of the run log, with or without
// its fraction) as a local time. False, leaving *ptm as it was, when the field holds no such
// time (a record that was never captured).
bool GetDecodeTime(const DecodeLogRecord& record, boost::posix_time::ptime* ptm);
// Writes tm into szDecodeTime in the full form "YYYY-MM-DD HH:MM:SS.ffffff".
void SetDecodeTime(DecodeLogRecord* pRecord, const boost::posix_time::ptime& tm);
