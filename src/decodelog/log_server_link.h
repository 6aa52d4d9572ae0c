#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// How the upload reaches the log server: plain TCP, or TLS 1.3 or 1.2 (ECDHE with AES-GCM or
// ChaCha20-Poly1305) with the server's certificate chain verified against a CA file and its name
// (or IP address) checked.
struct LogServerTlsSettings {
  bool bTls = false;
  std::string strCaFile;      // PEM file of trusted certificates
  std::string strServerName;  // sent in SNI and checked; empty: the server's IP address
};

// One connection to the log server at a time, driven by one thread (the upload): connect, write
// a request, read its answer, and again over the same connection while the server keeps it
// open. A fresh TLS connection resumes the last session the server offered (a ticket). Every wait
// is bounded by the caller's time-outs.
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
  // Whether the open connection can carry the next request: the server has neither closed it
  // nor sent anything unasked while it was idle. Closes it when not. Does not wait.
  bool StillOpen();
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

  // Connections made, TLS handshakes completed, and of those the ones that verified a chain (the
  // rest resumed a session). Any thread.
  uint64_t Connections() const { return m_unConnections.load(); }
  uint64_t Handshakes() const { return m_unHandshakes.load(); }
  uint64_t FullHandshakes() const { return m_unFullHandshakes.load(); }

 private:
  struct Tls;  // mbed TLS state, present while TLS is configured
  std::string m_strAddress;
  uint16_t m_unPort = 0;
  LogServerTlsSettings m_settings;
  std::string m_strConfigError;  // why TLS cannot be used, or empty
  std::mutex m_mtxFd;  // guards m_nFd's changes against Abort from another thread
  int m_nFd = -1;
  std::unique_ptr<Tls> m_upTls;
  std::atomic<uint64_t> m_unConnections{0};
  std::atomic<uint64_t> m_unHandshakes{0};
  std::atomic<uint64_t> m_unFullHandshakes{0};
};

// The TLS library and its version, e.g. "mbed TLS 3.6.6".
const char* TlsLibraryVersion();

// Text of an mbed TLS error code, for the run log.
std::string MbedTlsErrorText(int nError);
