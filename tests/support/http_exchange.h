#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

// One HTTP exchange with a server on 127.0.0.1, for the tests of the status listener: the raw
// request bytes go out as given (so malformed requests can be sent), then everything the server
// sends is read until it closes the connection, the answer is whole (by Content-Length) or the
// deadline passes.
struct HttpExchange {
  bool bConnected = false;  // the connection was made
  bool bClosed = false;     // the server closed the connection (the answer, if any, came first)
  std::string strRaw;       // every byte received
  int nStatus = 0;          // status code of the first answer, 0 when there was none
  std::map<std::string, std::string> mapHeaders;  // names in lower case
  std::string strBody;
  // The header's value, "" when it was not sent; strName in lower case.
  std::string Header(const std::string& strName) const {
    auto it = mapHeaders.find(strName);
    return it == mapHeaders.end() ? std::string() : it->second;
  }
};

HttpExchange ExchangeHttp(uint16_t unPort, const std::string& strRequest,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A well-formed request: "<method> <target> HTTP/1.1" with Host and "Connection: close".
HttpExchange GetHttp(uint16_t unPort, const std::string& strTarget,
                     const std::string& strMethod = "GET");

// A loopback port that nothing listens on at the moment of asking (a listener of a test's own
// binds it next, or a peer that is down is named by it).
uint16_t FreeLoopbackPort();
