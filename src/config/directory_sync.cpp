#include "config/directory_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>

namespace {

std::mutex g_mtxObserver;  // guards g_fnObserver
std::function<void(const std::string&)> g_fnObserver;

}  // namespace

bool SyncDirectory(const std::string& strDirectory) {
  std::string strDir = strDirectory;
  while (strDir.size() > 1 && strDir.back() == '/') {
    strDir.pop_back();
  }
  if (strDir.empty()) {
    strDir = ".";
  }
  bool bSynced = false;
  const int nFd = ::open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (nFd >= 0) {
    bSynced = ::fsync(nFd) == 0;
    const int nError = errno;
    ::close(nFd);
    errno = nError;
  }
  std::function<void(const std::string&)> fnObserver;
  {
    std::lock_guard<std::mutex> lock(g_mtxObserver);
    fnObserver = g_fnObserver;
  }
  if (fnObserver) {
    const int nError = errno;
    fnObserver(strDir);
    errno = nError;
  }
  return bSynced;
}

std::string DirectoryOfPath(const std::string& strPath) {
  const size_t unSlash = strPath.rfind('/');
  if (unSlash == std::string::npos) {
    return ".";
  }
  return unSlash == 0 ? std::string("/") : strPath.substr(0, unSlash);
}

void SetDirectorySyncObserver(std::function<void(const std::string&)> fnObserver) {
  std::lock_guard<std::mutex> lock(g_mtxObserver);
  g_fnObserver = std::move(fnObserver);
}
