#include "decodelog/log_server_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>  // the transport's error codes
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

namespace {

using Clock = std::chrono::steady_clock;

// Longest a TLS handshake (with the verification of the chain) may take after the TCP connect.
constexpr std::chrono::milliseconds kHandshakeTimeout(CLogServerLink::kHandshakeTimeoutMs);

int RemainingMs(Clock::time_point tmDeadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tmDeadline - Clock::now()).count();
  return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, 60000));
}

// What is offered: TLS 1.3's AEAD suites, and for TLS 1.2 ECDHE key exchange with AES-GCM or
// ChaCha20-Poly1305 only.
const int kCipherSuites[] = {
    MBEDTLS_TLS1_3_AES_128_GCM_SHA256,
    MBEDTLS_TLS1_3_AES_256_GCM_SHA384,
    MBEDTLS_TLS1_3_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
    0};

// Whether the certificate's subjectAltName lists the IPv4 address (4 bytes, network order).
bool CertificateNamesAddress(const mbedtls_x509_crt* pCert, const uint8_t* pAddress) {
  if (pCert == nullptr) {
    return false;
  }
  for (const mbedtls_x509_sequence* pName = &pCert->subject_alt_names; pName != nullptr;
       pName = pName->next) {
    // iPAddress [7] OCTET STRING, primitive.
    if (pName->buf.tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_X509_SAN_IP_ADDRESS) &&
        pName->buf.len == 4 && std::memcmp(pName->buf.p, pAddress, 4) == 0) {
      return true;
    }
  }
  return false;
}

// The verification flags in mbed TLS's words, on one line.
std::string VerifyText(uint32_t unFlags) {
  char szInfo[512] = {0};
  (void)mbedtls_x509_crt_verify_info(szInfo, sizeof(szInfo), "", unFlags);
  std::string strText = szInfo;
  while (!strText.empty() && strText.back() == '\n') {
    strText.pop_back();
  }
  std::replace(strText.begin(), strText.end(), '\n', ';');
  return strText.empty() ? "certificate verification failed" : strText;
}

// Whether a failed call on nFd only found no data or no room on a non-blocking descriptor. A
// blocking one that times out (SO_SNDTIMEO) has failed.
bool WouldBlock(int nFd, int nError) {
  if ((::fcntl(nFd, F_GETFL) & O_NONBLOCK) == 0) {
    return false;
  }
  return nError == EAGAIN || nError == EWOULDBLOCK;
}

// The transport under the TLS session: the already connected descriptor, written and read
// directly. The library's own socket layer would do the same, but it comes with name resolution,
// which a static C library can only offer by loading its name-service modules at run time.
// Results and error codes are those of that layer.
// The library's code for a failed send or receive: try again (nAgain) when the call would block
// or was interrupted, the peer's reset, or a plain failure (nFailed).
int TransferError(int nFd, int nError, int nAgain, int nFailed) {
  if (WouldBlock(nFd, nError) || nError == EINTR) {
    return nAgain;
  }
  if (nError == EPIPE || nError == ECONNRESET) {
    return MBEDTLS_ERR_NET_CONN_RESET;
  }
  return nFailed;
}

int TlsSend(void* pContext, const unsigned char* pData, size_t unSize) {
  const int nFd = *static_cast<const int*>(pContext);
  if (nFd < 0) {
    return MBEDTLS_ERR_NET_INVALID_CONTEXT;
  }
  const ssize_t n = ::send(nFd, pData, unSize, MSG_NOSIGNAL);
  if (n >= 0) {
    return static_cast<int>(n);
  }
  return TransferError(nFd, errno, MBEDTLS_ERR_SSL_WANT_WRITE, MBEDTLS_ERR_NET_SEND_FAILED);
}

// Waits up to unTimeoutMs for data (0: without limit), then reads what is there.
int TlsReceive(void* pContext, unsigned char* pBuffer, size_t unSize, uint32_t unTimeoutMs) {
  const int nFd = *static_cast<const int*>(pContext);
  if (nFd < 0) {
    return MBEDTLS_ERR_NET_INVALID_CONTEXT;
  }
  struct pollfd pfd = {nFd, POLLIN, 0};
  const int nTimeout =
      unTimeoutMs == 0 ? -1 : static_cast<int>(std::min<uint32_t>(unTimeoutMs, INT_MAX));
  const int nReady = ::poll(&pfd, 1, nTimeout);
  if (nReady == 0) {
    return MBEDTLS_ERR_SSL_TIMEOUT;
  }
  if (nReady < 0) {
    return errno == EINTR ? MBEDTLS_ERR_SSL_WANT_READ : MBEDTLS_ERR_NET_RECV_FAILED;
  }
  const ssize_t n = ::recv(nFd, pBuffer, unSize, 0);
  if (n >= 0) {
    return static_cast<int>(n);
  }
  return TransferError(nFd, errno, MBEDTLS_ERR_SSL_WANT_READ, MBEDTLS_ERR_NET_RECV_FAILED);
}

}  // namespace

std::string MbedTlsErrorText(int nError) {
  char szText[160] = {0};
  mbedtls_strerror(nError, szText, sizeof(szText));
  return szText;
}

struct CLogServerLink::Tls {
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_x509_crt ca;
  mbedtls_ssl_config conf;
  mbedtls_ssl_context ssl;
  mbedtls_ssl_session session;  // the last session the server offered to resume
  bool bSession = false;
  int nFd = -1;  // the connection's descriptor while the session may use it
  // The server's IP address when that is what its certificate must name, checked in the full
  // handshake's verification (a resumed session was verified when it was made).
  bool bCheckAddress = false;
  uint8_t arrAddress[4] = {0};
  bool bAddressMismatch = false;  // the last verification found the address not named
  bool bVerified = false;         // the handshake under way verified a chain (not resumed)
  Tls() {
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_x509_crt_init(&ca);
    mbedtls_ssl_config_init(&conf);
    mbedtls_ssl_init(&ssl);
    mbedtls_ssl_session_init(&session);
  }
  ~Tls() {
    mbedtls_ssl_session_free(&session);
    mbedtls_ssl_free(&ssl);
    mbedtls_ssl_config_free(&conf);
    mbedtls_x509_crt_free(&ca);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
  }
  Tls(const Tls&) = delete;
  Tls& operator=(const Tls&) = delete;

  // Keeps the session the server just offered (a TLS 1.2 ticket in the handshake, a TLS 1.3
  // ticket after it) for the next fresh connection.
  void KeepSession() {
    mbedtls_ssl_session_free(&session);
    mbedtls_ssl_session_init(&session);
    bSession = mbedtls_ssl_get_session(&ssl, &session) == 0;
  }

  // Called by the library for each certificate of the chain it verifies, the server's last.
  static int Verify(void* pContext, mbedtls_x509_crt* pCert, int nDepth, uint32_t* punFlags) {
    Tls& tls = *static_cast<Tls*>(pContext);
    if (nDepth == 0) {
      tls.bVerified = true;
      if (tls.bCheckAddress && !CertificateNamesAddress(pCert, tls.arrAddress)) {
        tls.bAddressMismatch = true;
        *punFlags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
      }
    }
    return 0;
  }
};

const char* TlsLibraryVersion() { return "mbed TLS " MBEDTLS_VERSION_STRING; }

CLogServerLink::CLogServerLink() = default;

CLogServerLink::~CLogServerLink() { Close(); }

bool CLogServerLink::Configure(const std::string& strAddress, uint16_t unPort,
                               const LogServerTlsSettings& tls, std::string* pstrError) {
  Close();
  m_strAddress = strAddress;
  m_unPort = unPort;
  m_settings = tls;
  m_strConfigError.clear();
  m_upTls.reset();
  if (!tls.bTls) {
    return true;
  }
  std::unique_ptr<Tls> upTls(new Tls);
  static const char kPersonal[] = "cardgate log upload";
  // TLS 1.3 keeps its keys in the library's PSA layer, which must be up first.
  const psa_status_t nPsa = psa_crypto_init();
  int nRet = 0;
  if (nPsa != PSA_SUCCESS) {
    m_strConfigError = "crypto set-up failed (" + std::to_string(nPsa) + ")";
  } else if ((nRet = mbedtls_ctr_drbg_seed(&upTls->drbg, mbedtls_entropy_func, &upTls->entropy,
                                           reinterpret_cast<const unsigned char*>(kPersonal),
                                           sizeof(kPersonal) - 1)) != 0) {
    m_strConfigError = "random generator: " + MbedTlsErrorText(nRet);
  } else {
    nRet = mbedtls_x509_crt_parse_file(&upTls->ca, tls.strCaFile.c_str());
    // A bundle may hold certificates this library cannot read (nRet > 0); the rest count.
    if (nRet < 0 || upTls->ca.version == 0) {
      m_strConfigError = "CA file " + tls.strCaFile + " cannot be used: " +
                         (nRet < 0 ? MbedTlsErrorText(nRet) : std::string("no certificate"));
    }
  }
  if (m_strConfigError.empty()) {
    nRet = mbedtls_ssl_config_defaults(&upTls->conf, MBEDTLS_SSL_IS_CLIENT,
                                       MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (nRet == 0) {
      mbedtls_ssl_conf_min_tls_version(&upTls->conf, MBEDTLS_SSL_VERSION_TLS1_2);
      mbedtls_ssl_conf_max_tls_version(&upTls->conf, MBEDTLS_SSL_VERSION_TLS1_3);
      mbedtls_ssl_conf_ciphersuites(&upTls->conf, kCipherSuites);
      // TLS 1.3 resumption keeps an ECDHE exchange: no key exchange without one.
      mbedtls_ssl_conf_tls13_key_exchange_modes(
          &upTls->conf, MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL |
                            MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_PSK_EPHEMERAL);
      mbedtls_ssl_conf_session_tickets(&upTls->conf, MBEDTLS_SSL_SESSION_TICKETS_ENABLED);
      mbedtls_ssl_conf_tls13_enable_signal_new_session_tickets(
          &upTls->conf, MBEDTLS_SSL_TLS1_3_SIGNAL_NEW_SESSION_TICKETS_ENABLED);
      // Always verified: there is no setting that skips it.
      mbedtls_ssl_conf_authmode(&upTls->conf, MBEDTLS_SSL_VERIFY_REQUIRED);
      mbedtls_ssl_conf_ca_chain(&upTls->conf, &upTls->ca, nullptr);
      mbedtls_ssl_conf_verify(&upTls->conf, &Tls::Verify, upTls.get());
      mbedtls_ssl_conf_rng(&upTls->conf, mbedtls_ctr_drbg_random, &upTls->drbg);
      nRet = mbedtls_ssl_setup(&upTls->ssl, &upTls->conf);
    }
    if (nRet != 0) {
      m_strConfigError = "TLS set-up: " + MbedTlsErrorText(nRet);
    }
  }
  if (!m_strConfigError.empty()) {
    if (pstrError != nullptr) {
      *pstrError = m_strConfigError;
    }
    return false;
  }
  m_upTls = std::move(upTls);
  return true;
}

bool CLogServerLink::Connected() const { return m_nFd >= 0; }

bool CLogServerLink::StillOpen() {
  if (m_nFd < 0) {
    return false;
  }
  struct pollfd pfd = {m_nFd, POLLIN, 0};
  const int nReady = ::poll(&pfd, 1, 0);
  if (nReady == 0) {
    return true;  // nothing came while it was idle
  }
  if (nReady > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0 && m_upTls) {
    // A TLS 1.3 ticket may still come in after the answer; only it leaves the connection usable.
    uint8_t by = 0;
    for (int i = 0; i < 4; ++i) {
      mbedtls_ssl_conf_read_timeout(&m_upTls->conf, 1);
      const int n = mbedtls_ssl_read(&m_upTls->ssl, &by, 1);
      if (n == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) {
        m_upTls->KeepSession();
        continue;
      }
      if (n == MBEDTLS_ERR_SSL_TIMEOUT || n == MBEDTLS_ERR_SSL_WANT_READ) {
        return true;
      }
      break;  // the server closed, sent something unasked, or the connection failed
    }
  }
  Close();
  return false;
}

CLogServerLink::ConnectResult CLogServerLink::Connect(std::chrono::milliseconds timeout,
                                                      const std::atomic<bool>& bStop,
                                                      std::string* pstrWhy) {
  Close();
  const Clock::time_point tmDeadline = Clock::now() + timeout;
  if (m_settings.bTls && !m_upTls) {
    *pstrWhy = m_strConfigError;
    return ConnectResult::TlsFailed;
  }
  struct sockaddr_in sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(m_unPort);
  if (::inet_pton(AF_INET, m_strAddress.c_str(), &sa.sin_addr) != 1) {
    *pstrWhy = "not an IPv4 address: " + m_strAddress;
    return ConnectResult::NoConnection;
  }
  int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (nFd < 0) {
    *pstrWhy = std::strerror(errno);
    return ConnectResult::NoConnection;
  }
  int nError = 0;
  if (::connect(nFd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) != 0) {
    nError = errno;
    if (nError == EINPROGRESS) {
      nError = ETIMEDOUT;
      while (!bStop.load() && Clock::now() < tmDeadline) {
        struct pollfd pfd = {nFd, POLLOUT, 0};
        int n = ::poll(&pfd, 1, std::min(RemainingMs(tmDeadline), 50));
        if (n > 0) {
          socklen_t len = sizeof(nError);
          (void)::getsockopt(nFd, SOL_SOCKET, SO_ERROR, &nError, &len);
          break;
        }
      }
    }
  }
  if (nError != 0) {
    ::close(nFd);
    *pstrWhy = std::strerror(nError);
    return ConnectResult::NoConnection;
  }
  // Blocking from here on, each wait bounded by poll or by the socket's time-outs.
  (void)::fcntl(nFd, F_SETFL, ::fcntl(nFd, F_GETFL) & ~O_NONBLOCK);
  int nOne = 1;
  (void)::setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
  struct timeval tv = {10, 0};
  (void)::setsockopt(nFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  {
    // A stop that came before this point finds no socket to end: see it here instead.
    std::lock_guard<std::mutex> lock(m_mtxFd);
    if (bStop.load()) {
      ::close(nFd);
      *pstrWhy = "stopping";
      return ConnectResult::NoConnection;
    }
    m_nFd = nFd;
  }
  m_unConnections.fetch_add(1);
  if (!m_upTls) {
    return ConnectResult::Ok;
  }

  // The handshake has a bound of its own: a router's CPU takes a good part of a second for the
  // key exchange and the certificate checks, which the connect time-out was not meant to cover.
  const Clock::time_point tmHandshakeEnd = Clock::now() + kHandshakeTimeout;
  Tls& tls = *m_upTls;
  (void)mbedtls_ssl_session_reset(&tls.ssl);
  tls.nFd = m_nFd;
  mbedtls_ssl_set_bio(&tls.ssl, &tls.nFd, TlsSend, nullptr, TlsReceive);
  const std::string strName = m_settings.strServerName.empty() ? m_strAddress
                                                               : m_settings.strServerName;
  tls.bCheckAddress = ::inet_pton(AF_INET, strName.c_str(), tls.arrAddress) == 1;
  tls.bAddressMismatch = false;
  tls.bVerified = false;
  // A name goes in SNI and is checked by the library; an IP address is not sent in SNI and is
  // checked against the certificate's IP addresses (Tls::Verify).
  int nRet = mbedtls_ssl_set_hostname(&tls.ssl, tls.bCheckAddress ? nullptr : strName.c_str());
  if (nRet == 0 && tls.bSession) {
    // Resumed if the server still knows the ticket; a full handshake otherwise.
    (void)mbedtls_ssl_set_session(&tls.ssl, &tls.session);
  }
  while (nRet == 0) {
    mbedtls_ssl_conf_read_timeout(&tls.conf,
                                  static_cast<uint32_t>(std::max(RemainingMs(tmHandshakeEnd), 1)));
    nRet = mbedtls_ssl_handshake(&tls.ssl);
    if (nRet == 0) {
      break;
    }
    if ((nRet == MBEDTLS_ERR_SSL_WANT_READ || nRet == MBEDTLS_ERR_SSL_WANT_WRITE) &&
        !bStop.load() && Clock::now() < tmHandshakeEnd) {
      nRet = 0;
      continue;
    }
  }
  if (nRet != 0) {
    uint32_t unFlags = mbedtls_ssl_get_verify_result(&tls.ssl);
    if (tls.bAddressMismatch) {
      unFlags &= ~static_cast<uint32_t>(MBEDTLS_X509_BADCERT_CN_MISMATCH);
    }
    if (tls.bAddressMismatch && unFlags == 0) {
      *pstrWhy = "The certificate does not name the IP address " + strName;
    } else {
      *pstrWhy = nRet == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED && unFlags != 0
                     ? VerifyText(unFlags)
                     : MbedTlsErrorText(nRet);
    }
    // A session the server no longer takes is not offered again.
    mbedtls_ssl_session_free(&tls.session);
    mbedtls_ssl_session_init(&tls.session);
    tls.bSession = false;
    Close();
    return ConnectResult::TlsFailed;
  }
  m_unHandshakes.fetch_add(1);
  if (tls.bVerified) {
    m_unFullHandshakes.fetch_add(1);
  }
  tls.KeepSession();
  return ConnectResult::Ok;
}

size_t CLogServerLink::Write(const uint8_t* pData, size_t unSize,
                             std::chrono::milliseconds timeout) {
  if (m_nFd < 0) {
    return 0;
  }
  const Clock::time_point tmDeadline = Clock::now() + timeout;
  size_t unDone = 0;
  while (unDone < unSize && Clock::now() < tmDeadline) {
    long n = 0;
    if (m_upTls) {
      n = mbedtls_ssl_write(&m_upTls->ssl, pData + unDone, unSize - unDone);
      if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) {
        continue;
      }
    } else {
      n = ::send(m_nFd, pData + unDone, unSize - unDone, MSG_NOSIGNAL);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        continue;
      }
    }
    if (n <= 0) {
      break;
    }
    unDone += static_cast<size_t>(n);
  }
  return unDone;
}

long CLogServerLink::Read(uint8_t* pBuffer, size_t unSize, std::chrono::milliseconds timeout) {
  if (m_nFd < 0) {
    return -2;
  }
  const Clock::time_point tmDeadline = Clock::now() + timeout;
  for (;;) {
    if (m_upTls) {
      mbedtls_ssl_conf_read_timeout(&m_upTls->conf,
                                    static_cast<uint32_t>(std::max(RemainingMs(tmDeadline), 1)));
      int n = mbedtls_ssl_read(&m_upTls->ssl, pBuffer, unSize);
      if (n > 0) {
        return n;
      }
      if (n == 0 || n == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
        return 0;
      }
      if (n == MBEDTLS_ERR_SSL_TIMEOUT) {
        return -1;
      }
      if (n == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) {
        m_upTls->KeepSession();
      } else if (n != MBEDTLS_ERR_SSL_WANT_READ && n != MBEDTLS_ERR_SSL_WANT_WRITE) {
        return -2;
      }
      if (Clock::now() >= tmDeadline) {
        return -1;
      }
      continue;
    }
    struct pollfd pfd = {m_nFd, POLLIN, 0};
    int nReady = ::poll(&pfd, 1, RemainingMs(tmDeadline));
    if (nReady < 0 && errno == EINTR) {
      continue;
    }
    if (nReady == 0) {
      return -1;
    }
    if (nReady < 0) {
      return -2;
    }
    ssize_t n = ::recv(m_nFd, pBuffer, unSize, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return n < 0 ? -2 : static_cast<long>(n);
  }
}

void CLogServerLink::Close() {
  if (m_nFd < 0) {
    return;
  }
  if (m_upTls) {
    (void)mbedtls_ssl_close_notify(&m_upTls->ssl);
    m_upTls->nFd = -1;
  }
  std::lock_guard<std::mutex> lock(m_mtxFd);
  ::close(m_nFd);
  m_nFd = -1;
}

void CLogServerLink::Abort() {
  std::lock_guard<std::mutex> lock(m_mtxFd);
  if (m_nFd >= 0) {
    (void)::shutdown(m_nFd, SHUT_RDWR);
  }
}
