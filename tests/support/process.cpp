#include "support/process.h"

#include "support/test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {

// The test's environment with the given "NAME=value" entries added or replaced. Built before the
// fork: the child of a threaded process must not allocate.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& arrExtra) {
  std::vector<std::string> arrEnv;
  for (char** p = environ; p != nullptr && *p != nullptr; ++p) {
    std::string strEntry = *p;
    std::string strName = strEntry.substr(0, strEntry.find('='));
    bool bReplaced = false;
    for (const std::string& strExtra : arrExtra) {
      bReplaced = bReplaced || strExtra.substr(0, strExtra.find('=')) == strName;
    }
    if (!bReplaced) {
      arrEnv.push_back(strEntry);
    }
  }
  arrEnv.insert(arrEnv.end(), arrExtra.begin(), arrExtra.end());
  return arrEnv;
}

// The descriptors this process has open now.
std::vector<int> OpenDescriptors() {
  std::vector<int> arrFds;
  DIR* pDir = opendir("/proc/self/fd");
  if (pDir == nullptr) {
    return arrFds;
  }
  const int nDirFd = dirfd(pDir);
  while (dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] >= '0' && pEntry->d_name[0] <= '9') {
      int fd = std::atoi(pEntry->d_name);
      if (fd != nDirFd) {
        arrFds.push_back(fd);
      }
    }
  }
  closedir(pDir);
  return arrFds;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& strExe, const std::vector<std::string>& args,
                           const std::string& strWorkDir,
                           const std::vector<std::string>& arrEnvironment, Program eProgram) {
  int inPipe[2];
  int outPipe[2];
  int errPipe[2];
  if (pipe(inPipe) != 0 || pipe(outPipe) != 0 || pipe(errPipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  // Writing to a child that has already ended must fail, not kill the test binary.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> argv;
#ifdef CARDGATE_EMULATOR
  if (eProgram == Program::OfTheBuild) {
    argv.push_back(CARDGATE_EMULATOR);
  }
#else
  (void)eProgram;
#endif
  argv.push_back(strExe);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& s : argv) {
    cargv.push_back(&s[0]);
  }
  cargv.push_back(nullptr);
  // The test's own descriptors (simulator sockets, other children's pipes) must not live on in
  // the child: a listening socket the test closes would stay open there. Listed before the fork;
  // the child, which may only make system calls, marks them to close on exec.
  std::vector<int> arrInherited = OpenDescriptors();
  std::vector<std::string> arrEnv = MergedEnvironment(arrEnvironment);
  std::vector<char*> cenv;
  for (std::string& s : arrEnv) {
    cenv.push_back(&s[0]);
  }
  cenv.push_back(nullptr);
  m_pid = fork();
  if (m_pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (m_pid == 0) {
    // A test binary that crashes must not leave its gateway holding the device port.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
      close(fd);
    }
    for (int fd : arrInherited) {
      if (fd > 2) {
        (void)fcntl(fd, F_SETFD, FD_CLOEXEC);  // gone with the exec; a stale number fails harmlessly
      }
    }
    if (!strWorkDir.empty() && chdir(strWorkDir.c_str()) != 0) {
      _exit(126);
    }
    execvpe(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  m_nStdin = inPipe[1];
  m_thrOut = std::thread(&ChildProcess::Reader, this, outPipe[0], &m_strOut);
  m_thrErr = std::thread(&ChildProcess::Reader, this, errPipe[0], &m_strErr);
}

ChildProcess::~ChildProcess() {
  if (!m_bExited) {
    kill(m_pid, SIGKILL);
    int nStatus = 0;
    waitpid(m_pid, &nStatus, 0);
  }
  CloseStdin();
  m_thrOut.join();
  m_thrErr.join();
}

void ChildProcess::Reader(int nFd, std::string* pstrOut) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(nFd, buf, sizeof(buf));
    if (n <= 0) {
      break;
    }
    std::lock_guard<std::mutex> lock(m_mtx);
    pstrOut->append(buf, static_cast<size_t>(n));
  }
  close(nFd);
  std::lock_guard<std::mutex> lock(m_mtx);
  ++m_nReadersDone;
}

std::string ChildProcess::Output() {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_strOut;
}

std::string ChildProcess::Errors() {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_strErr;
}

bool ChildProcess::WaitForOutput(const std::string& strNeedle, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (Output().find(strNeedle) != std::string::npos) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

size_t ChildProcess::CountOutput(const std::string& strNeedle) {
  return CountOccurrences(Output(), strNeedle);
}

void ChildProcess::WriteStdin(const std::string& strText) {
  if (m_nStdin >= 0) {
    (void)!write(m_nStdin, strText.data(), strText.size());
  }
}

void ChildProcess::CloseStdin() {
  if (m_nStdin >= 0) {
    close(m_nStdin);
    m_nStdin = -1;
  }
}

void ChildProcess::Signal(int nSignal) {
  if (!m_bExited) {
    kill(m_pid, nSignal);
  }
}

bool ChildProcess::Wait(std::chrono::milliseconds timeout, int* pnStatus) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!m_bExited) {
    int nStatus = 0;
    pid_t r = waitpid(m_pid, &nStatus, WNOHANG);
    if (r == m_pid) {
      m_bExited = true;
      m_nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The child is gone, but its last lines may still be in the pipes: a caller reads Output()
  // next. The readers see the end of the pipes once they have taken the rest; a process the
  // child left behind may keep them open, so the wait is bounded.
  const auto readersDeadline =
      std::max(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(10));
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_mtx);
      if (m_nReadersDone == 2) {
        break;
      }
    }
    if (std::chrono::steady_clock::now() >= readersDeadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (pnStatus != nullptr) {
    *pnStatus = m_nStatus;
  }
  return true;
}
