#include "decodelog/decode_log_record.h"

#include <cstring>
#include <new>

#include "config/run_log.h"

DecodeLogRecord* NewDecodeLogRecord(const DecodeLogRecord& workArea) {
  DecodeLogRecord* pRecord = new (std::nothrow) DecodeLogRecord;
  if (pRecord == nullptr) {
    return nullptr;
  }
  std::memcpy(pRecord, &workArea, sizeof(DecodeLogRecord));
  std::memset(pRecord->szDecodeTime, 0, sizeof(pRecord->szDecodeTime));
  GetLocalTimeString(pRecord->szDecodeTime);
  return pRecord;
}
