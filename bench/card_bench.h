#pragma once

#include <cstdint>
#include <string>
#include <vector>

// End-to-end card reads: readers log in with a valid account and read cards, one after another
// on one connection each, for a fixed time, through each way in turn: directly to the decode
// server simulators, through the gateway (which checks the account, captures every answer,
// spools and uploads it) and through a TCP proxy. Reader i uses port i mod the number of ports
// of its way. Prints table rows (bench_util.h) on standard output, notes on standard error.

struct CardTarget {
  bool bEnabled = false;
  std::vector<uint16_t> arrPorts;
};

struct CardBenchOptions {
  CardTarget direct;
  CardTarget gateway;
  CardTarget haproxy;
  uint32_t unReaders = 4;
  uint32_t unModules = 4;  // named in the printed figure
  double dSeconds = 3.0;
  uint32_t unAccount = 1001;
  std::string strPassword = "pass1001";
  uint32_t unTimeoutMs = 5000;
};

// Returns 0, or 1 when a way that was asked for gave no card at all.
int RunCardBench(const CardBenchOptions& options);
