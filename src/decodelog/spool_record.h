#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decodelog/decode_log_record.h"

// The file form of one queued card record in the spool directory. A small header carries a
// format version and a checksum, so a file cut short by a power cut or damaged on flash is
// recognised and set aside instead of being uploaded as a garbled card.
//
//   offset  size  field
//   0       4     magic "CGSR"
//   4       2     format version, little-endian (kSpoolRecordVersion)
//   6       2     header size, little-endian (16)
//   8       4     payload size, little-endian
//   12      4     CRC-32 (IEEE) of the payload, little-endian
//   16      ...   payload: the record's fields in order, integers little-endian, up to and
//                 including the captured answer bytes (arrSamvData is cut to unSamvDataLength)
//
// Pure functions; any thread.

constexpr uint16_t kSpoolRecordVersion = 1;
constexpr size_t kSpoolHeaderSize = 16;
// The record up to arrSamvData; the captured answer follows.
constexpr size_t kSpoolFixedPayload = offsetof(DecodeLogRecord, arrSamvData);
constexpr size_t kSpoolMaxFileSize = kSpoolHeaderSize + sizeof(DecodeLogRecord);
static_assert(kSpoolFixedPayload == 1288, "the fixed part of a record is 1288 bytes");

// The whole file for a record (header and payload). unSamvDataLength above the capacity is
// written as the capacity.
std::vector<uint8_t> EncodeSpoolRecord(const DecodeLogRecord& record);

enum class SpoolRecordStatus { Ok, Truncated, BadMagic, UnknownVersion, BadLength, BadChecksum };

// Reads a whole file back into *pRecord (zero-filled beyond the captured answer). Anything but
// Ok leaves *pRecord unspecified.
SpoolRecordStatus DecodeSpoolRecord(const uint8_t* pData, size_t unSize, DecodeLogRecord* pRecord);

// Plain words for the run log ("truncated", "checksum mismatch", ...).
const char* SpoolRecordStatusText(SpoolRecordStatus eStatus);
