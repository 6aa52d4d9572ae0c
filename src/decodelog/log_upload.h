#pragma once

#include <cstdint>

class DataSwitch;

// Main-loop step: takes at most one card record off the queue and posts it to the log server
// over a fresh connection (2 s connect wait, 200 ms pause, ten answer polls of 50 ms). The record
// is deleted when the server answered (or when no log server is configured) and put back at the
// tail otherwise. Returns 1 after an attempt on an established connection, else 0. Main thread.
uint32_t ProcessSendSamvDecodeLog(DataSwitch& ds);

// The upload's process-wide counters (attempts, not records), in the order of its counter line.
struct LogUploadCounters {
  int32_t nConnectFalseCount;
  int32_t nSendFalseCount;
  int32_t nSendCount;
  int32_t nReceiveFalseCount;
  int32_t nReceiveSuccessCount;
};
LogUploadCounters GetLogUploadCounters();
