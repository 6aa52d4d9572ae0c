#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// How the upload reaches the log server: plain TCP, or TLS 1.2 (or newer) with the server's
// certificate chain verified against a CA file and its name (or IP address) checked.
struct LogServerTlsSettings {
  bool bTls = false;
  std::string strCaFile;      // PEM file of trusted certificates
  std::string strServerName;  // sent in SNI and checked; empty: the server's IP address
};

// One connection to the log server at a time, driven by one thread (the upload): connect, write
// the request, read the answer, close. Every wait is bounded by the caller's time-outs.
class CLogServerLink {
 public:
  // The bound on a TLS handshake with its verification, after the connect.
  static constexpr uint32_t kHandshakeTimeoutMs = 10000;

  CLogServerLink();
  ~CLogServerLink();
  CLogServerLink(const CLogServerLink&) = delete;
  CLogServerLink& operator=(const CLogServerLink&) = delete;

  // Sets the server and how to reach it. With TLS, loads the CA file now: false with the reason
  // in *pstrError when it cannot be used (every Connect then fails with that reason).
  bool Configure(const std::string& strAddress, uint16_t unPort, const LogServerTlsSettings& tls,
                 std::string* pstrError);

  enum class ConnectResult { Ok, NoConnection, TlsFailed };
  // Opens a connection within the time-out (and, with TLS, completes the handshake and
  // verification within 10 s more), giving up early when bStop is set or on Abort. On TlsFailed *pstrWhy says why in mbed TLS's
  // words; on NoConnection it holds the socket error.
  ConnectResult Connect(std::chrono::milliseconds timeout, const std::atomic<bool>& bStop,
                        std::string* pstrWhy);
  bool Connected() const;
  // Writes all bytes, giving up when no progress is possible within the time-out. Returns the
  // bytes written.
  size_t Write(const uint8_t* pData, size_t unSize, std::chrono::milliseconds timeout);
  // Waits up to the time-out for bytes: > 0 bytes read, 0 the server closed, -1 nothing came in
  // time, -2 the connection failed.
  long Read(uint8_t* pBuffer, size_t unSize, std::chrono::milliseconds timeout);
  // Closes the connection (a TLS close notify is sent when possible). Safe when closed.
  void Close();
  // From another thread: ends whatever the link's thread is waiting for on the connection (a
  // handshake, a write, a read) at once; the connection then fails. For a stop, after the caller
  // has set the bStop it passes to Connect.
  void Abort();

 private:
  struct Tls;  // mbed TLS state, present while TLS is configured
  std::string m_strAddress;
  uint16_t m_unPort = 0;
  LogServerTlsSettings m_settings;
  std::string m_strConfigError;  // why TLS cannot be used, or empty
  std::mutex m_mtxFd;  // guards m_nFd's changes against Abort from another thread
  int m_nFd = -1;
  std::unique_ptr<Tls> m_upTls;
};

// Text of an mbed TLS error code, for the run log.
std::string MbedTlsErrorText(int nError);
