#include "decodelog/decode_log_record.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <new>

// The types alone: the full posix_time header brings in the streams, and with them a static
// build takes the whole of the C++ locale machinery (half a megabyte on the router).
#include <boost/date_time/posix_time/posix_time_types.hpp>

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
  // Every character is checked above: the fields read as fixed-width digits.
  auto number = [p](size_t unAt, size_t unDigits) {
    long nValue = 0;
    for (size_t i = 0; i < unDigits; ++i) {
      nValue = nValue * 10 + (p[unAt + i] - '0');
    }
    return nValue;
  };
  try {
    const boost::gregorian::date day(static_cast<unsigned short>(number(0, 4)),
                                     static_cast<unsigned short>(number(5, 2)),
                                     static_cast<unsigned short>(number(8, 2)));
    const long nHours = number(11, 2);
    const long nMinutes = number(14, 2);
    const long nSeconds = number(17, 2);
    if (nHours > 23 || nMinutes > 59 || nSeconds > 59) {
      return false;
    }
    const long nMicros = unLength == 19 ? 0 : number(20, 6);
    *ptm = boost::posix_time::ptime(
        day, boost::posix_time::time_duration(nHours, nMinutes, nSeconds) +
                 boost::posix_time::microseconds(nMicros));
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
