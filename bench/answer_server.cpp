#include "answer_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "bench_util.h"
#include "config/byte_io.h"
#include "core/device_frame.h"

namespace {

constexpr uint32_t kMinFrame = 12;     // length word and key
constexpr uint32_t kMaxFrame = 65536;  // nothing the benchmark sends comes near it

}  // namespace

void CAnswerServer::BuildAnswer(const uint8_t* pKey, uint8_t byCommand, uint8_t* pOut) {
  PutLe32(pOut, kAnswerLengthWord);
  std::memcpy(pOut + 4, pKey, kDeviceKeySize);
  uint8_t* pBody = pOut + 4 + kDeviceKeySize;
  const size_t unBody = kAnswerSize - 4 - kDeviceKeySize;
  for (size_t i = 0; i < unBody; ++i) {
    pBody[i] = static_cast<uint8_t>(i * 7);
  }
  pBody[0] = byCommand;
  MaskDeviceBody(pBody, unBody, pKey);
}

CAnswerServer::CAnswerServer(uint16_t unPort) {
  m_fdListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_fdListen < 0) {
    throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  }
  const int nOne = 1;
  ::setsockopt(m_fdListen, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(unPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(m_fdListen, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(m_fdListen, 1024) != 0) {
    const std::string strError = std::strerror(errno);
    ::close(m_fdListen);
    throw std::runtime_error("stand-in server on port " + std::to_string(unPort) + ": " +
                             strError);
  }
  m_thrAccept = std::thread(&CAnswerServer::AcceptLoop, this);
}

CAnswerServer::~CAnswerServer() { Stop(); }

void CAnswerServer::Stop() {
  if (m_bStop.exchange(true)) {
    return;
  }
  if (m_thrAccept.joinable()) {
    m_thrAccept.join();
  }
  ::close(m_fdListen);
  std::vector<Connection> arrConnections;
  {
    std::lock_guard<std::mutex> lock(m_mtxThreads);
    arrConnections.swap(m_arrConnections);
  }
  for (Connection& c : arrConnections) {
    c.thr.join();
  }
}

void CAnswerServer::JoinEnded() {
  std::lock_guard<std::mutex> lock(m_mtxThreads);
  size_t unKept = 0;
  for (size_t i = 0; i < m_arrConnections.size(); ++i) {
    if (m_arrConnections[i].spDone->load()) {
      m_arrConnections[i].thr.join();  // it has returned: the join does not wait
    } else {
      if (unKept != i) {  // a joinable thread must not be moved onto itself
        m_arrConnections[unKept] = std::move(m_arrConnections[i]);
      }
      ++unKept;
    }
  }
  m_arrConnections.resize(unKept);
}

void CAnswerServer::AcceptLoop() {
  while (!m_bStop.load()) {
    pollfd pfd{m_fdListen, POLLIN, 0};
    if (::poll(&pfd, 1, kPollMs) <= 0) {
      continue;
    }
    const int fd = ::accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;  // a connection that went away before it was taken, or no descriptors left
    }
    const int nOne = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
    timeval tv{0, kPollMs * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    timeval tvSend{1, 0};  // a peer that stops reading ends its connection, not the server
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tvSend, sizeof(tvSend));
    JoinEnded();
    try {
      std::lock_guard<std::mutex> lock(m_mtxThreads);
      auto spDone = std::make_shared<std::atomic<bool>>(false);
      m_arrConnections.push_back(
          Connection{std::thread(&CAnswerServer::Serve, this, fd, spDone), spDone});
    } catch (const std::exception&) {
      ::close(fd);  // no thread to serve it: the peer sees the connection end
    }
  }
}

void CAnswerServer::Serve(int fd, std::shared_ptr<std::atomic<bool>> spDone) {
  std::vector<uint8_t> arrRx(kMaxFrame);
  size_t unHave = 0;
  uint8_t arrAnswer[kAnswerSize];
  while (!m_bStop.load()) {
    // A plain blocking read (its time-out only lets the stop be seen): one system call per
    // request keeps the stand-in's own share of the round trip small.
    const ssize_t n = ::recv(fd, arrRx.data() + unHave, arrRx.size() - unHave, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    unHave += static_cast<size_t>(n);
    size_t unPos = 0;
    bool bBad = false;
    while (unHave - unPos >= 4) {
      const uint32_t unFrame = GetLe32(arrRx.data() + unPos);
      if (unFrame < kMinFrame || unFrame > kMaxFrame) {
        bBad = true;
        break;
      }
      if (unHave - unPos < unFrame) {
        break;
      }
      const uint8_t* pKey = arrRx.data() + unPos + 4;
      const uint8_t byCommand = static_cast<uint8_t>(unFrame > kMinFrame ? arrRx[unPos + 12] ^ pKey[0] : 0);
      BuildAnswer(pKey, byCommand, arrAnswer);
      if (!bench::SendAll(fd, arrAnswer, sizeof(arrAnswer))) {
        bBad = true;
        break;
      }
      m_unAnswers.fetch_add(1);
      unPos += unFrame;
    }
    if (bBad) {
      break;  // a stream the benchmark never sends: end the connection
    }
    std::memmove(arrRx.data(), arrRx.data() + unPos, unHave - unPos);
    unHave -= unPos;
  }
  ::close(fd);
  spDone->store(true);
}
