#pragma once

#include <sys/time.h>

#include <cstddef>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

// The run log: one time-stamped line per call on standard output, "%s [%s]\r\n", under one
// process-wide lock so lines from different threads never interleave. Any thread may log at
// any time; nothing here blocks longer than one write to standard output.

// Writes "<stamp> [<text>]\r\n" and flushes. A null text prints nothing.
void WriteLog(const char* szText);

// While parrLines is set, the lines that the calling thread writes go there (their text alone,
// without stamp) instead of to standard output; other threads' lines are not taken. Null restores
// the output. For a check of the configuration that reports what start-up would say, in its own
// form. Returns the capture it replaces, for the caller to put back. REQUIRES: parrLines
// outlives the capture.
std::vector<std::string>* CaptureRunLog(std::vector<std::string>* parrLines);

// CaptureRunLog for a scope: the capture before it is back however the scope ends.
class CRunLogCapture {
 public:
  explicit CRunLogCapture(std::vector<std::string>* parrLines)
      : m_parrOuter(CaptureRunLog(parrLines)) {}
  ~CRunLogCapture() { CaptureRunLog(m_parrOuter); }
  CRunLogCapture(const CRunLogCapture&) = delete;
  CRunLogCapture& operator=(const CRunLogCapture&) = delete;

 private:
  std::vector<std::string>* m_parrOuter;
};

// printf-style convenience: formats into a zero-filled 2048-byte buffer (longer texts are cut)
// and hands it to WriteLog.
void WriteLogF(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));

// Text that came from outside (a reader, a module, a file) as the run log may show it: control
// bytes (below 0x20, and DEL), the C1 controls U+0080 to U+009F and every byte that is not part of
// valid UTF-8 are written as \xNN (two lower-case hex digits), so that no input can end the line,
// start a forged one or send a terminal escape. Valid UTF-8 (Chinese names) and everything else
// printable stay as they are. unCount bytes are read; a NUL is escaped like any control byte.
std::string EscapeLogText(const char* pText, size_t unCount);
inline std::string EscapeLogText(const std::string& strText) {
  return EscapeLogText(strText.data(), strText.size());
}

// Size of the buffers that callers pass to GetLocalTimeString.
constexpr size_t kTimeTextSize = 32;

// Current local time, full form: "YYYY-MM-DD HH:MM:SS.ffffff" (26 characters), or 19 characters
// without the point and fraction when the microsecond count is exactly zero. REQUIRES: the
// buffer holds at least kTimeTextSize bytes. A null buffer does nothing.
void GetLocalTimeString(char* szOut);

// The same rendering for a given wall-clock reading (local time zone).
std::string FormatLocalTime(const struct timeval& tv);

// The current local time with microseconds, from the wall clock and the local time zone.
boost::posix_time::ptime LocalTimeNow();

// The clock the periodic work of the main loop decides with (clock synchronisation, retries,
// user-list write-back). It reads LocalTimeNow unless a test has installed its own source.
using LocalClockSource = boost::posix_time::ptime (*)();
boost::posix_time::ptime LocalClockNow();
void SetLocalClockSource(LocalClockSource pSource);  // null restores the real clock

// Fills szDir with the directory of the running executable, with its trailing slash (for example
// "/usr/bin/"). The buffer is zero-filled first. When the link cannot be read, or the path does
// not fit the buffer, the directory is unknown and the buffer stays empty: file names are then
// resolved against the working directory. A path without "/" is left as read.
void GetExeDirectory(char* szDir, size_t unSize);
std::string GetExeDirectory();

// The environment variable that names the directory of the three INI files (a packaged layout:
// /etc/cardgate). Without it, they live beside the executable.
constexpr char kConfigDirVariable[] = "CARDGATE_CONFIG_DIR";
// The directory of the INI files, with its trailing slash: $CARDGATE_CONFIG_DIR when it is set and
// not empty, else the build's default directory when it has one (a package's), else
// GetExeDirectory(). A relative SPOOL.DIR is taken relative to it.
std::string GetConfigDirectory();
