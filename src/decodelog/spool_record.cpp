#include "decodelog/spool_record.h"

#include <algorithm>
#include <cstring>

#include <boost/crc.hpp>

#include "config/byte_io.h"

namespace {

constexpr uint8_t kMagic[4] = {'C', 'G', 'S', 'R'};

// Offsets of the integer fields inside the payload (the record's own layout).
constexpr size_t kAccountNo = offsetof(DecodeLogRecord, unAccountNo);
constexpr size_t kRequestCount = offsetof(DecodeLogRecord, unRequestCount);
constexpr size_t kAnswerCount = offsetof(DecodeLogRecord, unAnswerCount);
constexpr size_t kSamvDataLength = offsetof(DecodeLogRecord, unSamvDataLength);
static_assert(kAccountNo == 0 && kRequestCount == 124 && kAnswerCount == 128 &&
                  kSamvDataLength == 1284,
              "the payload keeps the record's offsets");

uint32_t Crc32(const uint8_t* pData, size_t unSize) {
  boost::crc_32_type crc;
  crc.process_bytes(pData, unSize);
  return crc.checksum();
}

}  // namespace

std::vector<uint8_t> EncodeSpoolRecord(const DecodeLogRecord& record) {
  const uint32_t unData = std::min<uint32_t>(record.unSamvDataLength, kSamvDataCapacity);
  const size_t unPayload = kSpoolFixedPayload + unData;
  std::vector<uint8_t> arrFile(kSpoolHeaderSize + unPayload);
  uint8_t* pPayload = arrFile.data() + kSpoolHeaderSize;
  // The text and byte fields go as they stand; the integers are put in little-endian over them.
  std::memcpy(pPayload, &record, kSpoolFixedPayload);
  PutLe32(pPayload + kAccountNo, record.unAccountNo);
  PutLe32(pPayload + kRequestCount, record.unRequestCount);
  PutLe32(pPayload + kAnswerCount, record.unAnswerCount);
  PutLe32(pPayload + kSamvDataLength, unData);
  std::memcpy(pPayload + kSpoolFixedPayload, record.arrSamvData, unData);

  std::memcpy(arrFile.data(), kMagic, sizeof(kMagic));
  PutLe16(arrFile.data() + 4, kSpoolRecordVersion);
  PutLe16(arrFile.data() + 6, static_cast<uint16_t>(kSpoolHeaderSize));
  PutLe32(arrFile.data() + 8, static_cast<uint32_t>(unPayload));
  PutLe32(arrFile.data() + 12, Crc32(pPayload, unPayload));
  return arrFile;
}

SpoolRecordStatus DecodeSpoolRecord(const uint8_t* pData, size_t unSize, DecodeLogRecord* pRecord) {
  if (pData == nullptr || pRecord == nullptr || unSize < kSpoolHeaderSize) {
    return SpoolRecordStatus::Truncated;
  }
  if (std::memcmp(pData, kMagic, sizeof(kMagic)) != 0) {
    return SpoolRecordStatus::BadMagic;
  }
  if (GetLe16(pData + 4) != kSpoolRecordVersion || GetLe16(pData + 6) != kSpoolHeaderSize) {
    return SpoolRecordStatus::UnknownVersion;
  }
  const uint32_t unPayload = GetLe32(pData + 8);
  if (unPayload < kSpoolFixedPayload || unPayload > sizeof(DecodeLogRecord)) {
    return SpoolRecordStatus::BadLength;
  }
  if (unSize < kSpoolHeaderSize + unPayload) {
    return SpoolRecordStatus::Truncated;
  }
  if (unSize > kSpoolHeaderSize + unPayload) {
    return SpoolRecordStatus::BadLength;
  }
  const uint8_t* pPayload = pData + kSpoolHeaderSize;
  if (Crc32(pPayload, unPayload) != GetLe32(pData + 12)) {
    return SpoolRecordStatus::BadChecksum;
  }
  const uint32_t unData = GetLe32(pPayload + kSamvDataLength);
  if (unData != unPayload - kSpoolFixedPayload) {
    return SpoolRecordStatus::BadLength;
  }
  std::memset(pRecord, 0, sizeof(*pRecord));
  std::memcpy(pRecord, pPayload, kSpoolFixedPayload);
  pRecord->unAccountNo = GetLe32(pPayload + kAccountNo);
  pRecord->unRequestCount = GetLe32(pPayload + kRequestCount);
  pRecord->unAnswerCount = GetLe32(pPayload + kAnswerCount);
  pRecord->unSamvDataLength = unData;
  std::memcpy(pRecord->arrSamvData, pPayload + kSpoolFixedPayload, unData);
  return SpoolRecordStatus::Ok;
}

const char* SpoolRecordStatusText(SpoolRecordStatus eStatus) {
  switch (eStatus) {
    case SpoolRecordStatus::Ok:
      return "ok";
    case SpoolRecordStatus::Truncated:
      return "truncated";
    case SpoolRecordStatus::BadMagic:
      return "not a record file";
    case SpoolRecordStatus::UnknownVersion:
      return "unknown format version";
    case SpoolRecordStatus::BadLength:
      return "length mismatch";
    case SpoolRecordStatus::BadChecksum:
      return "checksum mismatch";
  }
  return "unknown";
}
