#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Small pieces the load benchmarks share: loopback sockets with bounded waits, figures of a
// running process, order statistics and the rows of the printed table. Every function may be
// called from any thread; nothing here keeps state between calls.

namespace bench {

using Clock = std::chrono::steady_clock;

// Microseconds between two instants, as a double.
double MicrosBetween(Clock::time_point tmFrom, Clock::time_point tmTo);

// Connects to 127.0.0.1:unPort. The connect and every later read or write on the socket give up
// after unTimeoutMs (SO_SNDTIMEO bounds a blocking connect on Linux). TCP_NODELAY is set, as the
// gateway sets it on its own sockets. Returns the descriptor, or -1.
int ConnectLoopback(uint16_t unPort, uint32_t unTimeoutMs);
// Writes all bytes; false when the socket failed or stalled past its send time-out.
bool SendAll(int fd, const uint8_t* pData, size_t unCount);
// Reads exactly unCount bytes; false on end of stream, an error or the receive time-out.
bool RecvAll(int fd, uint8_t* pData, size_t unCount);

// Resident memory, threads and open descriptors of a process, read from /proc. bValid is false
// when the process is gone or cannot be read.
struct ProcFigures {
  bool bValid = false;
  uint64_t unRssKiB = 0;
  uint32_t unThreads = 0;
  uint32_t unDescriptors = 0;
};
ProcFigures ReadProcFigures(pid_t pid);

// Sorts arrSamples and returns the value at the fraction dRank of the way (0.5 the median,
// 0.99 the 99th percentile); 0 for no samples.
double Percentile(std::vector<double>* parrSamples, double dRank);

// A figure measured against each target: nothing (not run, or not applicable) or a value.
struct Cell {
  bool bSet = false;
  double dValue = 0;
};
inline Cell Value(double dValue) { return Cell{true, dValue}; }

// Prints one table row: the figure's name, then direct, gateway and haproxy formatted with
// szFormat (one %-conversion for a double, e.g. "%.0f µs"), then gateway/direct and
// haproxy/direct. A missing cell or ratio prints as a dash.
void PrintRow(const std::string& strFigure, const char* szFormat, const Cell& direct,
              const Cell& gateway, const Cell& haproxy);

}  // namespace bench
