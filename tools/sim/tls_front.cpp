#include "tls_front.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_ticket.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

namespace {

std::string ErrorText(int nError) {
  char szText[160] = {0};
  mbedtls_strerror(nError, szText, sizeof(szText));
  return szText;
}

bool SendAll(int nFd, const unsigned char* p, size_t n) {
  while (n > 0) {
    ssize_t k = ::send(nFd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) {
      continue;
    }
    if (k <= 0) {
      return false;
    }
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

}  // namespace

struct CTlsFront::Tls {
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_x509_crt cert;
  mbedtls_pk_context key;
  mbedtls_ssl_config conf;
  mbedtls_ssl_ticket_context tickets;  // sessions a client may resume
  Tls() {
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_x509_crt_init(&cert);
    mbedtls_pk_init(&key);
    mbedtls_ssl_config_init(&conf);
    mbedtls_ssl_ticket_init(&tickets);
  }
  ~Tls() {
    mbedtls_ssl_ticket_free(&tickets);
    mbedtls_ssl_config_free(&conf);
    mbedtls_pk_free(&key);
    mbedtls_x509_crt_free(&cert);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
  }
};

CTlsFront::CTlsFront(const std::string& strAddress, uint16_t unPort,
                     const std::string& strCertFile, const std::string& strKeyFile)
    : m_upTls(new Tls) {
  Tls& tls = *m_upTls;
  static const char kPersonal[] = "cardgate-sim tls";
  if (psa_crypto_init() != PSA_SUCCESS) {
    throw std::runtime_error("crypto set-up failed");
  }
  int nRet = mbedtls_ctr_drbg_seed(&tls.drbg, mbedtls_entropy_func, &tls.entropy,
                                   reinterpret_cast<const unsigned char*>(kPersonal),
                                   sizeof(kPersonal) - 1);
  if (nRet == 0 && (nRet = mbedtls_x509_crt_parse_file(&tls.cert, strCertFile.c_str())) != 0) {
    throw std::runtime_error("certificate " + strCertFile + ": " + ErrorText(nRet));
  }
  if (nRet == 0 && (nRet = mbedtls_pk_parse_keyfile(&tls.key, strKeyFile.c_str(), nullptr,
                                                         mbedtls_ctr_drbg_random, &tls.drbg)) != 0) {
    throw std::runtime_error("key " + strKeyFile + ": " + ErrorText(nRet));
  }
  if (nRet == 0) {
    nRet = mbedtls_ssl_config_defaults(&tls.conf, MBEDTLS_SSL_IS_SERVER,
                                       MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
  }
  if (nRet == 0) {
    mbedtls_ssl_conf_rng(&tls.conf, mbedtls_ctr_drbg_random, &tls.drbg);
    mbedtls_ssl_conf_read_timeout(&tls.conf, 50);
    nRet = mbedtls_ssl_conf_own_cert(&tls.conf, &tls.cert, &tls.key);
  }
  if (nRet == 0) {
    nRet = mbedtls_ssl_ticket_setup(&tls.tickets, mbedtls_ctr_drbg_random, &tls.drbg,
                                    MBEDTLS_CIPHER_AES_256_GCM, 3600);
  }
  if (nRet == 0) {
    mbedtls_ssl_conf_session_tickets_cb(&tls.conf, mbedtls_ssl_ticket_write,
                                        mbedtls_ssl_ticket_parse, &tls.tickets);
  }
  if (nRet != 0) {
    throw std::runtime_error("TLS set-up: " + ErrorText(nRet));
  }
  struct sockaddr_in sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(unPort);
  if (::inet_pton(AF_INET, strAddress.c_str(), &sa.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 address: " + strAddress);
  }
  m_nListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int nOne = 1;
  (void)::setsockopt(m_nListenFd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
  if (m_nListenFd < 0 || ::bind(m_nListenFd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    const std::string strError = std::strerror(errno);
    if (m_nListenFd >= 0) {
      ::close(m_nListenFd);
    }
    throw std::runtime_error("bind: " + strError);
  }
  socklen_t len = sizeof(sa);
  (void)::getsockname(m_nListenFd, reinterpret_cast<sockaddr*>(&sa), &len);
  m_unPort = ntohs(sa.sin_port);
}

CTlsFront::~CTlsFront() {
  Stop();
  if (m_nListenFd >= 0) {
    ::close(m_nListenFd);
  }
}

void CTlsFront::Start(uint16_t unInnerPort, std::function<void(const std::string&)> fnEmit) {
  m_unInnerPort = unInnerPort;
  m_fnEmit = std::move(fnEmit);
  if (::listen(m_nListenFd, 16) != 0) {
    throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
  }
  m_thread = std::thread([this] { Loop(); });
}

void CTlsFront::Stop() {
  m_bStop = true;
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

void CTlsFront::Loop() {
  while (!m_bStop.load()) {
    struct pollfd pfd = {m_nListenFd, POLLIN, 0};
    if (::poll(&pfd, 1, 50) <= 0) {
      continue;
    }
    int nFd = ::accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (nFd >= 0) {
      Serve(nFd);
      ::close(nFd);
    }
  }
}

void CTlsFront::Serve(int nFd) {
  mbedtls_ssl_context ssl;
  mbedtls_ssl_init(&ssl);
  mbedtls_net_context net;
  net.fd = nFd;
  int nInner = -1;
  auto emit = [&](const std::string& strLine) {
    if (m_fnEmit) {
      m_fnEmit(strLine);
    }
  };
  int nRet = mbedtls_ssl_setup(&ssl, &m_upTls->conf);
  mbedtls_ssl_set_bio(&ssl, &net, mbedtls_net_send, nullptr, mbedtls_net_recv_timeout);
  const auto tmDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (nRet == 0 && (nRet = mbedtls_ssl_handshake(&ssl)) != 0) {
    if ((nRet == MBEDTLS_ERR_SSL_WANT_READ || nRet == MBEDTLS_ERR_SSL_WANT_WRITE ||
         nRet == MBEDTLS_ERR_SSL_TIMEOUT) &&
        !m_bStop.load() && std::chrono::steady_clock::now() < tmDeadline) {
      nRet = 0;
    }
  }
  if (nRet != 0) {
    emit("TLS handshake failed: " + ErrorText(nRet));
  } else {
    nInner = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(m_unInnerPort);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (nInner < 0 || ::connect(nInner, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
      emit("TLS front: the plain server cannot be reached");
      nRet = -1;
    }
  }
  unsigned char buf[4096];
  while (nRet == 0 && !m_bStop.load()) {
    struct pollfd pfds[2] = {{nFd, POLLIN, 0}, {nInner, POLLIN, 0}};
    const bool bPending = mbedtls_ssl_get_bytes_avail(&ssl) > 0;
    if (!bPending && ::poll(pfds, 2, 50) <= 0) {
      continue;
    }
    if (bPending || (pfds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      int n = mbedtls_ssl_read(&ssl, buf, sizeof(buf));
      if (n > 0) {
        if (!SendAll(nInner, buf, static_cast<size_t>(n))) {
          break;
        }
      } else if (n != MBEDTLS_ERR_SSL_WANT_READ && n != MBEDTLS_ERR_SSL_WANT_WRITE &&
                 n != MBEDTLS_ERR_SSL_TIMEOUT) {
        break;  // closed by the client
      }
    }
    if ((pfds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      ssize_t n = ::recv(nInner, buf, sizeof(buf), 0);
      if (n <= 0) {
        break;
      }
      size_t unDone = 0;
      while (unDone < static_cast<size_t>(n)) {
        int k = mbedtls_ssl_write(&ssl, buf + unDone, static_cast<size_t>(n) - unDone);
        if (k == MBEDTLS_ERR_SSL_WANT_READ || k == MBEDTLS_ERR_SSL_WANT_WRITE) {
          continue;
        }
        if (k <= 0) {
          nRet = k;
          break;
        }
        unDone += static_cast<size_t>(k);
      }
    }
  }
  if (nInner >= 0) {
    ::close(nInner);
  }
  (void)mbedtls_ssl_close_notify(&ssl);
  mbedtls_ssl_free(&ssl);
}
