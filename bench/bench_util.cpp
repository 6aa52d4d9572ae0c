#include "bench_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace bench {

double MicrosBetween(Clock::time_point tmFrom, Clock::time_point tmTo) {
  return std::chrono::duration<double, std::micro>(tmTo - tmFrom).count();
}

int ConnectLoopback(uint16_t unPort, uint32_t unTimeoutMs) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  timeval tv{};
  tv.tv_sec = unTimeoutMs / 1000;
  tv.tv_usec = static_cast<suseconds_t>((unTimeoutMs % 1000) * 1000);
  const int nOne = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(unPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int nResult;
  do {
    nResult = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  } while (nResult != 0 && errno == EINTR);
  if (nResult != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const uint8_t* pData, size_t unCount) {
  size_t unDone = 0;
  while (unDone < unCount) {
    const ssize_t n = ::send(fd, pData + unDone, unCount - unDone, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    unDone += static_cast<size_t>(n);
  }
  return true;
}

bool RecvAll(int fd, uint8_t* pData, size_t unCount) {
  size_t unDone = 0;
  while (unDone < unCount) {
    const ssize_t n = ::recv(fd, pData + unDone, unCount - unDone, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;  // end of stream, error, or the receive time-out (EAGAIN)
    }
    unDone += static_cast<size_t>(n);
  }
  return true;
}

ProcFigures ReadProcFigures(pid_t pid) {
  ProcFigures figures;
  const std::string strBase = "/proc/" + std::to_string(pid);
  std::ifstream status(strBase + "/status");
  if (!status) {
    return figures;
  }
  std::string strLine;
  bool bRss = false;
  bool bThreads = false;
  while (std::getline(status, strLine)) {
    unsigned long long unValue = 0;
    if (std::sscanf(strLine.c_str(), "VmRSS: %llu", &unValue) == 1) {
      figures.unRssKiB = unValue;
      bRss = true;
    } else if (std::sscanf(strLine.c_str(), "Threads: %llu", &unValue) == 1) {
      figures.unThreads = static_cast<uint32_t>(unValue);
      bThreads = true;
    }
  }
  DIR* pDir = ::opendir((strBase + "/fd").c_str());
  if (pDir == nullptr) {
    return figures;
  }
  uint32_t unCount = 0;
  while (const dirent* pEntry = ::readdir(pDir)) {
    if (pEntry->d_name[0] != '.') {
      ++unCount;
    }
  }
  ::closedir(pDir);
  figures.unDescriptors = unCount;
  figures.bValid = bRss && bThreads;
  return figures;
}

double Percentile(std::vector<double>* parrSamples, double dRank) {
  std::vector<double>& arr = *parrSamples;
  if (arr.empty()) {
    return 0;
  }
  std::sort(arr.begin(), arr.end());
  size_t unIndex = static_cast<size_t>(dRank * static_cast<double>(arr.size()));
  return arr[std::min(unIndex, arr.size() - 1)];
}

namespace {

std::string Format(const char* szFormat, const Cell& cell) {
  if (!cell.bSet) {
    return "—";
  }
  char szText[64];
  std::snprintf(szText, sizeof(szText), szFormat, cell.dValue);
  return szText;
}

std::string Ratio(const Cell& value, const Cell& base) {
  if (!value.bSet || !base.bSet || base.dValue <= 0) {
    return "—";
  }
  char szText[32];
  std::snprintf(szText, sizeof(szText), "%.2f", value.dValue / base.dValue);
  return szText;
}

}  // namespace

void PrintRow(const std::string& strFigure, const char* szFormat, const Cell& direct,
              const Cell& gateway, const Cell& haproxy) {
  std::printf("| %s | %s | %s | %s | %s | %s |\n", strFigure.c_str(),
              Format(szFormat, direct).c_str(), Format(szFormat, gateway).c_str(),
              Format(szFormat, haproxy).c_str(), Ratio(gateway, direct).c_str(),
              Ratio(haproxy, direct).c_str());
  std::fflush(stdout);
}

}  // namespace bench
