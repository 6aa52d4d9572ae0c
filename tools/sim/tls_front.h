#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// The HTTPS face of the log server simulator: accepts TLS connections on its own port, one at a
// time, with a server certificate and key from PEM files, and relays the plain bytes to and from
// the simulator's own (plain) port on 127.0.0.1. A handshake the client refuses (an unknown CA, a
// wrong name, an expired certificate) is reported through the event sink.
class CTlsFront {
 public:
  // Loads the certificate (chain) and key and binds the address and port (0: any). Throws
  // std::runtime_error with the reason.
  CTlsFront(const std::string& strAddress, uint16_t unPort, const std::string& strCertFile,
            const std::string& strKeyFile);
  ~CTlsFront();  // Stop()
  CTlsFront(const CTlsFront&) = delete;
  CTlsFront& operator=(const CTlsFront&) = delete;

  uint16_t Port() const { return m_unPort; }
  // Starts listening and the relay thread towards 127.0.0.1:unInnerPort.
  void Start(uint16_t unInnerPort, std::function<void(const std::string&)> fnEmit);
  void Stop();  // ends and joins the thread; safe twice

 private:
  struct Tls;
  void Loop();
  void Serve(int nFd);

  std::unique_ptr<Tls> m_upTls;
  int m_nListenFd = -1;
  uint16_t m_unPort = 0;
  uint16_t m_unInnerPort = 0;
  std::function<void(const std::string&)> m_fnEmit;
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
};
