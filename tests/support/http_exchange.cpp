#include "support/http_exchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

// Splits what was received into status, headers and body once the head is whole; true when the
// body is whole too (by Content-Length).
bool ParseAnswer(HttpExchange* pResult) {
  const size_t unHeadEnd = pResult->strRaw.find("\r\n\r\n");
  if (unHeadEnd == std::string::npos) {
    return false;
  }
  const std::string strHead = pResult->strRaw.substr(0, unHeadEnd);
  size_t unLineEnd = strHead.find("\r\n");
  const std::string strStatusLine = strHead.substr(0, unLineEnd);
  if (strStatusLine.size() >= 12 && strStatusLine.compare(0, 5, "HTTP/") == 0) {
    pResult->nStatus = std::atoi(strStatusLine.c_str() + 9);
  }
  pResult->mapHeaders.clear();
  while (unLineEnd != std::string::npos) {
    const size_t unStart = unLineEnd + 2;
    unLineEnd = strHead.find("\r\n", unStart);
    const std::string strLine = strHead.substr(unStart, unLineEnd - unStart);
    const size_t unColon = strLine.find(':');
    if (unColon == std::string::npos) {
      continue;
    }
    std::string strName = strLine.substr(0, unColon);
    std::transform(strName.begin(), strName.end(), strName.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string strValue = strLine.substr(unColon + 1);
    strValue.erase(0, strValue.find_first_not_of(' '));
    pResult->mapHeaders[strName] = strValue;
  }
  pResult->strBody = pResult->strRaw.substr(unHeadEnd + 4);
  auto it = pResult->mapHeaders.find("content-length");
  return it != pResult->mapHeaders.end() &&
         pResult->strBody.size() >= std::strtoull(it->second.c_str(), nullptr, 10);
}

}  // namespace

HttpExchange ExchangeHttp(uint16_t unPort, const std::string& strRequest,
                          std::chrono::milliseconds timeout) {
  HttpExchange result;
  const auto tmEnd = std::chrono::steady_clock::now() + timeout;
  const int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (nFd < 0) {
    return result;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(unPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(nFd);
    return result;
  }
  result.bConnected = true;
  size_t unSent = 0;
  while (unSent < strRequest.size()) {
    const ssize_t n = ::send(nFd, strRequest.data() + unSent, strRequest.size() - unSent,
                             MSG_NOSIGNAL);
    if (n <= 0) {
      break;  // the server may close early (a head too large): read what it said
    }
    unSent += static_cast<size_t>(n);
  }
  char buffer[4096];
  for (;;) {
    const auto nLeftMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(tmEnd - std::chrono::steady_clock::now())
            .count();
    if (nLeftMs <= 0) {
      break;
    }
    pollfd pfd{nFd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(nLeftMs)) <= 0) {
      break;
    }
    const ssize_t n = ::recv(nFd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      result.bClosed = true;
      break;
    }
    result.strRaw.append(buffer, static_cast<size_t>(n));
    if (strRequest.find("Connection: close") == std::string::npos && ParseAnswer(&result) &&
        result.Header("connection") != "close" && result.strRaw.compare(0, 8, "HTTP/1.1") == 0) {
      break;  // the server keeps the connection: the answer is whole
    }
  }
  (void)ParseAnswer(&result);
  ::close(nFd);
  return result;
}

HttpExchange GetHttp(uint16_t unPort, const std::string& strTarget, const std::string& strMethod) {
  return ExchangeHttp(unPort, strMethod + " " + strTarget +
                                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

uint16_t FreeLoopbackPort() {
  const int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t unLength = sizeof addr;
  uint16_t unPort = 0;
  if (::bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(nFd, reinterpret_cast<sockaddr*>(&addr), &unLength) == 0) {
    unPort = ntohs(addr.sin_port);
  }
  ::close(nFd);
  return unPort;
}

