#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One thing the configuration check found: where (the file's name and the line of the key, 0 when
// it is about the file or the line is not known) and what, in the words start-up would use.
struct ConfigProblem {
  bool bError = false;   // start-up would refuse to run; else it runs with a default or without
  std::string strFile;   // "SystemConfig.ini"
  uint32_t unLine = 0;
  std::string strText;
};

// Reads the three INI files of strDirectory (with its trailing slash) as the gateway's start-up
// would, and checks what start-up takes on trust: the module addresses and ports, both allow
// lists, the status listener's address, the CA file when TLS is on, and whether the spool
// directory can be used. Binds nothing and writes nothing. What its readers log is taken from the
// calling thread's run log alone, so a running gateway may check its files too (the reload).
std::vector<ConfigProblem> CheckConfiguration(const std::string& strDirectory);

// "<file>:<line>: error: <text>" (or "warning:"; no line when it is 0).
std::string ConfigProblemText(const ConfigProblem& problem);
