#include "config/run_log.h"

#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/mutex.hpp>

namespace {

// Created during static initialisation, before any thread can log.
boost::mutex& LogMutex() {
  static boost::mutex mtx;
  return mtx;
}

std::atomic<LocalClockSource> g_pClockSource{nullptr};

boost::posix_time::ptime ToLocalPtime(const struct timeval& tv) {
  struct tm tmLocal;
  std::memset(&tmLocal, 0, sizeof(tmLocal));
  time_t sec = tv.tv_sec;
  localtime_r(&sec, &tmLocal);
  boost::gregorian::date day(static_cast<unsigned short>(tmLocal.tm_year + 1900),
                             static_cast<unsigned short>(tmLocal.tm_mon + 1),
                             static_cast<unsigned short>(tmLocal.tm_mday));
  boost::posix_time::time_duration tod(tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec);
  return boost::posix_time::ptime(day, tod + boost::posix_time::microseconds(tv.tv_usec));
}

}  // namespace

std::string FormatLocalTime(const struct timeval& tv) {
  // YYYY-MM-DD HH:MM:SS, and .ffffff when the microseconds are not 0. Formatted by hand: the
  // date library's text functions go through the stream library and its locales.
  const boost::posix_time::ptime tm = ToLocalPtime(tv);
  const boost::gregorian::date day = tm.date();
  const boost::posix_time::time_duration tod = tm.time_of_day();
  char szText[48] = {0};
  int n = std::snprintf(szText, sizeof(szText), "%04u-%02u-%02u %02ld:%02ld:%02ld",
                        static_cast<unsigned>(day.year()), static_cast<unsigned>(day.month()),
                        static_cast<unsigned>(day.day()), static_cast<long>(tod.hours()),
                        static_cast<long>(tod.minutes()), static_cast<long>(tod.seconds()));
  const long lMicros = static_cast<long>(tod.fractional_seconds());
  if (lMicros != 0 && n > 0 && static_cast<size_t>(n) < sizeof(szText)) {
    std::snprintf(szText + n, sizeof(szText) - static_cast<size_t>(n), ".%06ld", lMicros);
  }
  return szText;
}

void GetLocalTimeString(char* szOut) {
  if (szOut == nullptr) {
    return;
  }
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  std::string s = FormatLocalTime(tv);
  std::snprintf(szOut, kTimeTextSize, "%s", s.c_str());
}

boost::posix_time::ptime LocalTimeNow() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return ToLocalPtime(tv);
}

boost::posix_time::ptime LocalClockNow() {
  LocalClockSource pSource = g_pClockSource.load();
  return pSource != nullptr ? pSource() : LocalTimeNow();
}

void SetLocalClockSource(LocalClockSource pSource) { g_pClockSource.store(pSource); }

namespace {
// Per thread: a check of the configuration in a running gateway (the reload) takes the lines of
// its own readers, while the other threads' lines go on to the output.
thread_local std::vector<std::string>* t_parrCapture = nullptr;
}  // namespace

std::vector<std::string>* CaptureRunLog(std::vector<std::string>* parrLines) {
  std::vector<std::string>* parrBefore = t_parrCapture;
  t_parrCapture = parrLines;
  return parrBefore;
}

void WriteLog(const char* szText) {
  boost::mutex::scoped_lock lock(LogMutex());
  if (szText == nullptr) {
    return;
  }
  if (t_parrCapture != nullptr) {
    t_parrCapture->push_back(szText);
    return;
  }
  char szStamp[kTimeTextSize] = {0};
  GetLocalTimeString(szStamp);
  std::printf("%s [%s]\r\n", szStamp, szText);
  std::fflush(stdout);
}

void WriteLogF(const char* szFormat, ...) {
  char szBuf[2048] = {0};
  va_list args;
  va_start(args, szFormat);
  std::vsnprintf(szBuf, sizeof(szBuf), szFormat, args);
  va_end(args);
  WriteLog(szBuf);
}

namespace {

// Length of the valid UTF-8 sequence of two or more bytes at p (at most unLeft bytes), or 0 when
// none starts there: no overlong forms, no surrogates, nothing beyond U+10FFFF.
size_t Utf8SequenceLength(const unsigned char* p, size_t unLeft) {
  const unsigned char c = p[0];
  size_t n = 0;
  unsigned char byLow = 0x80;
  unsigned char byHigh = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    byLow = c == 0xE0 ? 0xA0 : 0x80;
    byHigh = c == 0xED ? 0x9F : 0xBF;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    byLow = c == 0xF0 ? 0x90 : 0x80;
    byHigh = c == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (unLeft < n || p[1] < byLow || p[1] > byHigh) {
    return 0;
  }
  for (size_t i = 2; i < n; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) {
      return 0;
    }
  }
  return n;
}

void AppendHexEscape(std::string* pOut, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  *pOut += "\\x";
  *pOut += kHex[c >> 4];
  *pOut += kHex[c & 0x0F];
}

}  // namespace

std::string EscapeLogText(const char* pText, size_t unCount) {
  std::string strOut;
  if (pText == nullptr) {
    return strOut;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(pText);
  strOut.reserve(unCount);
  size_t i = 0;
  while (i < unCount) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) {
        AppendHexEscape(&strOut, c);
      } else {
        strOut += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const size_t n = Utf8SequenceLength(p + i, unCount - i);
    // U+0080..U+009F (C2 80..C2 9F) are the C1 controls: a terminal may take U+009B as CSI.
    if (n == 0 || (c == 0xC2 && p[i + 1] < 0xA0)) {
      AppendHexEscape(&strOut, c);
      ++i;
      continue;
    }
    strOut.append(pText + i, n);
    i += n;
  }
  return strOut;
}

void GetExeDirectory(char* szDir, size_t unSize) {
  if (szDir == nullptr || unSize == 0) {
    return;
  }
  std::memset(szDir, 0, unSize);
  ssize_t n = readlink("/proc/self/exe", szDir, unSize);
  if (n <= 0 || static_cast<size_t>(n) >= unSize) {
    // Unreadable, or cut by the buffer: a cut path names a wrong directory, so treat it as unknown.
    std::memset(szDir, 0, unSize);
    return;
  }
  char* pSlash = std::strrchr(szDir, '/');
  if (pSlash != nullptr) {
    pSlash[1] = '\0';
  }
}

std::string GetExeDirectory() {
  std::vector<char> buf(PATH_MAX + 1, 0);
  GetExeDirectory(buf.data(), buf.size());
  return std::string(buf.data());
}

#ifndef CARDGATE_DEFAULT_CONFIG_DIR
#define CARDGATE_DEFAULT_CONFIG_DIR ""
#endif

std::string GetConfigDirectory() {
  const char* szDir = std::getenv(kConfigDirVariable);
  if (szDir == nullptr || *szDir == '\0') {
    szDir = CARDGATE_DEFAULT_CONFIG_DIR;  // the build's default (a package's /etc/cardgate/)
  }
  if (*szDir == '\0') {
    return GetExeDirectory();
  }
  std::string strDir = szDir;
  if (strDir.back() != '/') {
    strDir += '/';
  }
  return strDir;
}
