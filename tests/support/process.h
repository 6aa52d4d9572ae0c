#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A child process for end-to-end tests: standard input is a pipe, standard output and error are
// collected by reader threads. The destructor kills the child if it still runs. When the tests
// run under an emulator (CARDGATE_EMULATOR is defined), a program of this project is started
// through it; a program of the machine (a web server, say) is started as it is.
class ChildProcess {
 public:
  enum class Program { OfTheBuild, OfTheMachine };
  // arrEnvironment: "NAME=value" entries added to (or replacing those of) the test's own
  // environment for the child alone.
  ChildProcess(const std::string& strExe, const std::vector<std::string>& args,
               const std::string& strWorkDir = std::string(),
               const std::vector<std::string>& arrEnvironment = {},
               Program eProgram = Program::OfTheBuild);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return m_pid; }
  std::string Output();
  std::string Errors();
  // Polls the collected standard output for strNeedle until the deadline.
  bool WaitForOutput(const std::string& strNeedle,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Counts occurrences of strNeedle in the collected standard output.
  size_t CountOutput(const std::string& strNeedle);
  void WriteStdin(const std::string& strText);
  void CloseStdin();
  void Signal(int nSignal);
  // Waits for the child to end; true with its exit status (or 128 + signal) when it did. The
  // readers have then taken everything the child wrote (unless a process it left behind still
  // holds its output open), so Output() and Errors() are whole.
  bool Wait(std::chrono::milliseconds timeout, int* pnStatus);

 private:
  void Reader(int nFd, std::string* pstrOut);

  pid_t m_pid = -1;
  int m_nStdin = -1;
  bool m_bExited = false;
  int m_nStatus = 0;
  std::mutex m_mtx;  // guards m_strOut, m_strErr, m_nReadersDone
  std::string m_strOut;
  std::string m_strErr;
  int m_nReadersDone = 0;  // readers that have seen the end of their pipe
  std::thread m_thrOut;
  std::thread m_thrErr;
};
