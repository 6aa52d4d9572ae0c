#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <boost/filesystem/operations.hpp>

// Helpers shared by the fuzz targets. Each target is one process driven by libFuzzer on its main
// thread; what a target sets up once lives in a function-local static and is never destroyed
// (the driver ends the process with exit() while peers may still be blocked in a read).

// The run log goes to standard output, one line per call; a fuzz run makes millions of calls.
// libFuzzer reports on standard error, which stays.
inline void SilenceRunLog() {
  int fd = ::open("/dev/null", O_WRONLY);
  if (fd >= 0) {
    (void)::dup2(fd, STDOUT_FILENO);
    ::close(fd);
  }
}

// An invariant of the code under test: a violation is a finding, so it ends the run with the
// input saved by the driver.
#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

// A fresh directory under /tmp for the INI files of one target, removed at a normal exit.
class FuzzDir {
 public:
  FuzzDir() {
    char szTemplate[] = "/tmp/cardgate-fuzz-XXXXXX";
    const char* szDir = ::mkdtemp(szTemplate);
    FUZZ_CHECK(szDir != nullptr);
    m_strPath = std::string(szDir) + "/";
  }
  ~FuzzDir() {
    boost::system::error_code ec;
    boost::filesystem::remove_all(m_strPath, ec);
  }
  FuzzDir(const FuzzDir&) = delete;
  FuzzDir& operator=(const FuzzDir&) = delete;

  // The directory with its trailing slash, as ConfigStore wants it.
  const std::string& Path() const { return m_strPath; }

  void Write(const char* szName, const uint8_t* pData, size_t unSize) const {
    std::string strPath = m_strPath + szName;
    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    FUZZ_CHECK(pFile != nullptr);
    if (unSize > 0) {
      FUZZ_CHECK(std::fwrite(pData, 1, unSize, pFile) == unSize);
    }
    FUZZ_CHECK(std::fclose(pFile) == 0);
  }
  void Write(const char* szName, const std::string& strText) const {
    Write(szName, reinterpret_cast<const uint8_t*>(strText.data()), strText.size());
  }

 private:
  std::string m_strPath;
};
