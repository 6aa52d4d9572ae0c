#include "decodelog/decode_log_record.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <new>

#include <boost/date_time/posix_time/posix_time.hpp>

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

bool GetDecodeTime(const DecodeLogRecord& record, boost::posix_time::ptime* ptm) {
  const char* p = record.szDecodeTime;
  const size_t unLength = strnlen(p, sizeof(record.szDecodeTime));
  // "YYYY-MM-DD HH:MM:SS", optionally ".ffffff": checked here, so the parser below sees only
  // what it reads one way.
  static const char kForm[] = "dddd-dd-dd dd:dd:dd.dddddd";
  if (unLength != 19 && unLength != sizeof(kForm) - 1) {
    return false;
  }
  for (size_t i = 0; i < unLength; ++i) {
    const bool bDigit = std::isdigit(static_cast<unsigned char>(p[i])) != 0;
    if (kForm[i] == 'd' ? !bDigit : p[i] != kForm[i]) {
      return false;
    }
  }
  try {
    boost::posix_time::ptime tm = boost::posix_time::time_from_string(std::string(p, unLength));
    if (tm.is_special()) {
      return false;
    }
    *ptm = tm;
    return true;
  } catch (const std::exception&) {
    return false;  // a month 13, a 31st of February
  }
}

void SetDecodeTime(DecodeLogRecord* pRecord, const boost::posix_time::ptime& tm) {
  const boost::gregorian::date day = tm.date();
  const boost::posix_time::time_duration tod = tm.time_of_day();
  const long long nMicros = static_cast<long long>(tod.total_microseconds() % 1000000);
  char szText[96] = {0};  // room for whatever the types allow; real times take 26 bytes
  std::snprintf(szText, sizeof(szText), "%04d-%02d-%02d %02d:%02d:%02d.%06lld",
                static_cast<int>(day.year()), static_cast<int>(day.month()),
                static_cast<int>(day.day()), static_cast<int>(tod.hours()),
                static_cast<int>(tod.minutes()), static_cast<int>(tod.seconds()), nMicros);
  std::memset(pRecord->szDecodeTime, 0, sizeof(pRecord->szDecodeTime));
  std::memcpy(pRecord->szDecodeTime, szText,
              strnlen(szText, sizeof(pRecord->szDecodeTime) - 1));
}
