// The SAMV decode server simulator: CSamvSim and `cardgate-sim samv`. See samv_sim.h.

#include "samv_sim.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "core/device_frame.h"
#include "sim.h"

namespace {

using boost::asio::ip::tcp;

constexpr size_t kChunkSize = 4096;
constexpr size_t kKeptChunks = 4096;
constexpr uint8_t kZeroBlock[4] = {0, 0, 0, 0};
// Flood mode: what follows a card answer, one block per write. Not a card answer's size.
constexpr size_t kFloodBlockSize = 65536;
constexpr uint8_t kFloodByte = 0xA5;
// Deaf mode: the receive buffer of accepted connections (the kernel doubles it).
constexpr int kDeafReceiveBuffer = 4096;

}  // namespace

// Everything below runs on the simulator's thread, except the counters and the chunk record
// (m_mtxRecord), which tests read from theirs.
struct CSamvSim::Impl {
  struct Session {
    Session(boost::asio::io_context& io, uint32_t unNumber)
        : unId(unNumber), socket(io), keepAliveTimer(io) {}
    uint32_t unId;
    tcp::socket socket;
    boost::asio::steady_timer keepAliveTimer;
    std::string strPeer;
    uint8_t arrBuffer[kChunkSize];
    std::deque<std::vector<uint8_t>> arrOutbox;  // the front is being written
    uint32_t unFrames = 0;                       // frames received on this connection
    bool bOpen = true;
    bool bFlooding = false;  // Flood mode: filler follows whatever is written
  };
  using SessionPtr = std::shared_ptr<Session>;

  explicit Impl(const SamvSimOptions& opts) : options(opts), acceptor(io) {}

  void Event(const std::string& strText) {
    if (options.fnEvent) {
      options.fnEvent("samv " + std::to_string(unPort) + ": " + strText);
    }
  }

  void Listen() {
    tcp::endpoint endpoint(boost::asio::ip::make_address(options.strBindAddress), options.unPort);
    boost::system::error_code ec;
    (void)acceptor.open(endpoint.protocol(), ec);
    if (ec) {
      throw boost::system::system_error(ec, "open");
    }
    if (options.eMode != SamvSimMode::Refuse) {
      (void)acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    }
    (void)acceptor.bind(endpoint, ec);
    if (ec) {
      throw boost::system::system_error(ec, "bind");
    }
    unPort = acceptor.local_endpoint().port();
    if (options.eMode == SamvSimMode::Refuse) {
      // Bound but not listening: connections are refused, and the number stays reserved until
      // the simulator stops (a port given back could go to the next simulator started, which
      // would then answer for this one).
      return;
    }
    if (options.eMode == SamvSimMode::Deaf) {
      // Taken over by accepted connections: a few kilobytes fill them.
      (void)acceptor.set_option(tcp::socket::receive_buffer_size(kDeafReceiveBuffer), ec);
    }
    (void)acceptor.listen(tcp::socket::max_listen_connections, ec);
    if (ec) {
      throw boost::system::system_error(ec, "listen");
    }
    Accept();
  }

  void Accept() {
    auto spSession = std::make_shared<Session>(io, ++unNextId);
    acceptor.async_accept(spSession->socket,
                          [this, spSession](const boost::system::error_code& ec) {
                            if (bStopping) {
                              return;
                            }
                            if (!ec) {
                              OnAccepted(spSession);
                            }
                            Accept();
                          });
  }

  void OnAccepted(const SessionPtr& spSession) {
    boost::system::error_code ec;
    tcp::endpoint peer = spSession->socket.remote_endpoint(ec);
    spSession->strPeer =
        ec ? std::string("?") : peer.address().to_string() + ":" + std::to_string(peer.port());
    (void)spSession->socket.set_option(tcp::no_delay(true), ec);
    unAccepted.fetch_add(1);
    sessions[spSession->unId] = spSession;
    Event("connection " + std::to_string(spSession->unId) + " accepted from " + spSession->strPeer);
    if (options.eMode == SamvSimMode::Close) {
      CloseSession(spSession, "closed at once (close mode)");
      return;
    }
    if (options.eMode == SamvSimMode::KeepAlive) {
      ArmKeepAlive(spSession);
    }
    if (options.eMode == SamvSimMode::Deaf) {
      return;  // never read: what the peer writes stays in the buffers until they are full
    }
    Read(spSession);
  }

  void Read(const SessionPtr& spSession) {
    spSession->socket.async_read_some(
        boost::asio::buffer(spSession->arrBuffer),
        [this, spSession](const boost::system::error_code& ec, size_t unCount) {
          if (!spSession->bOpen) {
            return;
          }
          if (ec) {
            CloseSession(spSession, ec == boost::asio::error::eof ? "closed by the peer"
                                                                  : "ended: " + ec.message());
            return;
          }
          OnChunk(spSession, unCount);
          Read(spSession);
        });
  }

  void OnChunk(const SessionPtr& spSession, size_t unCount) {
    std::vector<uint8_t> chunk(spSession->arrBuffer, spSession->arrBuffer + unCount);
    unBytes.fetch_add(unCount);
    std::string strWho = "connection " + std::to_string(spSession->unId);

    // A chunk of at least 24 bytes is taken as one frame (as the gateway does).
    bool bFrame = false;
    uint8_t byCommand = 0;
    uint8_t arrKey[kDeviceKeySize] = {0};
    if (unCount >= 24) {
      std::vector<uint8_t> copy(chunk.begin() + 4, chunk.end());
      uint8_t arrParam[8];
      bFrame = ParseDeviceFrame(copy.data(), copy.size(), &byCommand, arrKey, arrParam, nullptr, 0,
                                nullptr);
    }
    {
      std::lock_guard<std::mutex> lock(mtxRecord);
      chunks.push_back(chunk);
      if (chunks.size() > kKeptChunks) {
        chunks.pop_front();
      }
      if (bFrame) {
        codes.push_back(byCommand);
      }
    }
    if (bFrame) {
      unFrames.fetch_add(1);
      Event(strWho + " frame code " + std::to_string(byCommand) + " (" + std::to_string(unCount) +
            " bytes)");
      if (options.unCloseAfterFrames != 0 && ++spSession->unFrames >= options.unCloseAfterFrames) {
        CloseSession(spSession, "closed unanswered after " +
                                    std::to_string(options.unCloseAfterFrames) + " frames");
        return;
      }
    } else {
      Event(strWho + " chunk of " + std::to_string(unCount) + " bytes (no frame)");
    }

    switch (options.eMode) {
      case SamvSimMode::Echo:
      case SamvSimMode::KeepAlive:
        Send(spSession, chunk, "echo");
        break;
      case SamvSimMode::Card:
      case SamvSimMode::Flood:
        if (!bFrame) {
          break;  // nothing to answer: not a frame
        }
        if (IsCardReadCommand(byCommand)) {
          AnswerCard(spSession, byCommand, arrKey);
        } else {
          unAnswers.fetch_add(1);
          Send(spSession, BuildSamvAck(byCommand, arrKey), "acknowledgement");
        }
        break;
      case SamvSimMode::Silent:
      case SamvSimMode::Refuse:
      case SamvSimMode::Close:
      case SamvSimMode::Deaf:
        break;
    }
  }

  void AnswerCard(const SessionPtr& spSession, uint8_t byCommand, const uint8_t* pKey) {
    std::vector<std::vector<uint8_t>> blocks =
        BuildCardAnswers(options.eCardKind, options.stCard, pKey, byCommand);
    if (options.unAnswerDelayMs == 0) {
      SendCardAnswer(spSession, std::move(blocks));
      return;
    }
    // A slow module: the answer comes after a pause (later requests queue behind it).
    auto spTimer = std::make_shared<boost::asio::steady_timer>(
        io, std::chrono::milliseconds(options.unAnswerDelayMs));
    spTimer->async_wait([this, spSession, spTimer, blocks](const boost::system::error_code& ec) {
      if (ec || bStopping || !spSession->bOpen) {
        return;
      }
      SendCardAnswer(spSession, blocks);
    });
  }

  void SendCardAnswer(const SessionPtr& spSession, std::vector<std::vector<uint8_t>> blocks) {
    unAnswers.fetch_add(1);
    Send(spSession, blocks[0], "card answer");
    if (options.eMode == SamvSimMode::Flood && !spSession->bFlooding) {
      spSession->bFlooding = true;
      Send(spSession, std::vector<uint8_t>(kFloodBlockSize, kFloodByte), "filler");
    }
    if (blocks.size() < 2) {
      return;
    }
    // The second block (a fingerprint's second part) is written after a pause, so that it arrives as a read of its
    // own (the gateway classifies answers by the size of each read).
    auto spTimer = std::make_shared<boost::asio::steady_timer>(
        io, std::chrono::milliseconds(options.unPart2DelayMs));
    std::vector<uint8_t> part2 = blocks[1];
    spTimer->async_wait([this, spSession, spTimer, part2](const boost::system::error_code& ec) {
      if (ec || bStopping || !spSession->bOpen) {
        return;
      }
      unAnswers.fetch_add(1);
      Send(spSession, part2, "card answer part 2");
    });
  }

  void ArmKeepAlive(const SessionPtr& spSession) {
    spSession->keepAliveTimer.expires_after(std::chrono::milliseconds(options.unKeepAliveMs));
    spSession->keepAliveTimer.async_wait([this, spSession](const boost::system::error_code& ec) {
      if (ec || bStopping || !spSession->bOpen) {
        return;
      }
      unKeepAlives.fetch_add(1);
      Send(spSession, std::vector<uint8_t>(kZeroBlock, kZeroBlock + 4), "keep-alive");
      ArmKeepAlive(spSession);
    });
  }

  void Send(const SessionPtr& spSession, std::vector<uint8_t> block, const char* szWhat) {
    Event("connection " + std::to_string(spSession->unId) + " " + szWhat + " sent, " +
          std::to_string(block.size()) + " bytes");
    spSession->arrOutbox.push_back(std::move(block));
    if (spSession->arrOutbox.size() == 1) {
      WriteFront(spSession);
    }
  }

  void WriteFront(const SessionPtr& spSession) {
    boost::asio::async_write(spSession->socket, boost::asio::buffer(spSession->arrOutbox.front()),
                             [this, spSession](const boost::system::error_code& ec, size_t) {
                               if (!spSession->bOpen) {
                                 return;
                               }
                               if (ec) {
                                 CloseSession(spSession, "write failed: " + ec.message());
                                 return;
                               }
                               spSession->arrOutbox.pop_front();
                               if (spSession->arrOutbox.empty() && spSession->bFlooding) {
                                 spSession->arrOutbox.emplace_back(kFloodBlockSize, kFloodByte);
                               }
                               if (!spSession->arrOutbox.empty()) {
                                 WriteFront(spSession);
                               }
                             });
  }

  void CloseSession(const SessionPtr& spSession, const std::string& strWhy) {
    if (!spSession->bOpen) {
      return;
    }
    spSession->bOpen = false;
    boost::system::error_code ec;
    (void)spSession->socket.shutdown(tcp::socket::shutdown_both, ec);
    (void)spSession->socket.close(ec);
    (void)spSession->keepAliveTimer.cancel(ec);
    unClosed.fetch_add(1);
    sessions.erase(spSession->unId);
    Event("connection " + std::to_string(spSession->unId) + " " + strWhy);
  }

  void StopAll() {
    bStopping = true;
    boost::system::error_code ec;
    (void)acceptor.close(ec);
    std::map<uint32_t, SessionPtr> open = sessions;
    for (auto& entry : open) {
      CloseSession(entry.second, "closed (simulator stopping)");
    }
  }

  SamvSimOptions options;
  boost::asio::io_context io;
  tcp::acceptor acceptor;
  std::thread thr;
  uint16_t unPort = 0;
  bool bStopping = false;                   // simulator thread only
  uint32_t unNextId = 0;                    // simulator thread only
  std::map<uint32_t, SessionPtr> sessions;  // simulator thread only
  std::atomic<uint32_t> unAccepted{0};
  std::atomic<uint32_t> unClosed{0};
  std::atomic<uint32_t> unFrames{0};
  std::atomic<uint32_t> unAnswers{0};
  std::atomic<uint32_t> unKeepAlives{0};
  std::atomic<uint64_t> unBytes{0};
  mutable std::mutex mtxRecord;  // guards chunks and codes
  std::deque<std::vector<uint8_t>> chunks;
  std::vector<uint8_t> codes;
};

CSamvSim::CSamvSim(const SamvSimOptions& options) : m_upImpl(new Impl(options)) {
  m_upImpl->Listen();
  Impl* pImpl = m_upImpl.get();
  // Joined by Stop. Runs until the listener and every connection are closed.
  pImpl->thr = std::thread([pImpl]() {
    try {
      pImpl->io.run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "samv simulator: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "samv simulator: unknown error\n");
    }
  });
}

CSamvSim::~CSamvSim() {
  Stop();
}

void CSamvSim::Stop() {
  if (!m_upImpl->thr.joinable()) {
    return;
  }
  Impl* pImpl = m_upImpl.get();
  boost::asio::post(pImpl->io, [pImpl]() { pImpl->StopAll(); });
  pImpl->thr.join();
}

uint16_t CSamvSim::Port() const {
  return m_upImpl->unPort;
}
uint32_t CSamvSim::Accepted() const {
  return m_upImpl->unAccepted.load();
}
uint32_t CSamvSim::Closed() const {
  return m_upImpl->unClosed.load();
}
uint32_t CSamvSim::OpenConnections() const {
  return Accepted() - Closed();
}
uint32_t CSamvSim::FramesReceived() const {
  return m_upImpl->unFrames.load();
}
uint32_t CSamvSim::AnswersSent() const {
  return m_upImpl->unAnswers.load();
}
uint32_t CSamvSim::KeepAlivesSent() const {
  return m_upImpl->unKeepAlives.load();
}
uint64_t CSamvSim::BytesReceived() const {
  return m_upImpl->unBytes.load();
}

std::vector<std::vector<uint8_t>> CSamvSim::Chunks() const {
  std::lock_guard<std::mutex> lock(m_upImpl->mtxRecord);
  return std::vector<std::vector<uint8_t>>(m_upImpl->chunks.begin(), m_upImpl->chunks.end());
}

std::vector<uint8_t> CSamvSim::CommandCodes() const {
  std::lock_guard<std::mutex> lock(m_upImpl->mtxRecord);
  return m_upImpl->codes;
}

// ---------------------------------------------------------------------------------------------
// cardgate-sim samv

namespace {

void SamvUsage(FILE* out) {
  std::fprintf(
      out,
      "usage: cardgate-sim samv --port P [--port P2 ...] [--mode MODE] [options]\n"
      "Stands in for SAMV decode servers: one TCP listener per --port, each a server of its own.\n"
      "Prints one line per event and runs until SIGINT or SIGTERM.\n"
      "\n"
      "  --port P            TCP port to serve (0: any free port, printed at start); repeatable\n"
      "  --bind ADDR         address to listen on (default 0.0.0.0)\n"
      "  --mode MODE         echo (default): every chunk is written back\n"
      "                      card: card-read frames (codes 1 9 14 59 71 78) get a card answer,\n"
      "                            other frames a 20-byte acknowledgement\n"
      "                      keepalive: a block of four zero bytes periodically, and echo\n"
      "                      refuse: nothing listens (connections are refused)\n"
      "                      close: accept and close at once\n"
      "                      silent: accept and read, never answer\n"
      "                      flood: as card, but a card answer is followed by filler bytes\n"
      "                            without end, as fast as the peer reads them\n"
      "                      deaf: accept, never read (writes to it stall)\n"
      "  --keepalive-ms N    keepalive mode: interval of the zero block (default 1000)\n"
      "  --card-kind KIND    card mode answer: text (288 bytes, default), photo (1311),\n"
      "                      fingerprint (1313, then 1041 after a pause), fingerprint-part1 "
      "(1313),\n"
      "                      photo-stray-part2 (1311, then a 1041 that belongs to none)\n"
      "  --part2-delay-ms N  pause before the second fingerprint part (default 50)\n"
      "  --answer-delay-ms N card and flood modes: pause before each card answer (default 0)\n"
      "  --close-after-frames N\n"
      "                      hang up: close a connection, unanswered, on its Nth frame (0: never)\n"
      "  --card-file FILE    card fields as key=value lines (keys as the options below)\n"
      "  --photo FILE        the 1024-byte photo (default: a fixed pattern)\n"
      "  --name TEXT --gender TEXT --nation TEXT --birth TEXT --address TEXT --cert-no TEXT\n"
      "  --org TEXT --eff TEXT --exp TEXT --pass-num TEXT --sign-count TEXT --cert-type TEXT\n"
      "                      card fields, UTF-8 (sent as UCS-2); later options override earlier\n"
      "                      ones and the card file\n"
      "  --help              this text\n");
}

bool ParseNumber(const char* szText, unsigned long unMax, unsigned long* pValue) {
  if (szText == nullptr || *szText == '\0' || *szText == '-' || *szText == '+') {
    return false;
  }
  errno = 0;
  char* pEnd = nullptr;
  unsigned long unValue = std::strtoul(szText, &pEnd, 10);
  if (errno != 0 || *pEnd != '\0' || unValue > unMax) {
    return false;
  }
  *pValue = unValue;
  return true;
}

int BadArgument(const std::string& strText) {
  std::fprintf(stderr, "cardgate-sim samv: %s (try --help)\n", strText.c_str());
  return 2;
}

std::mutex g_mtxOutput;  // one whole line at a time on standard output

void PrintLine(const std::string& strLine) {
  std::lock_guard<std::mutex> lock(g_mtxOutput);
  std::fprintf(stdout, "%s\n", strLine.c_str());
  std::fflush(stdout);
}

}  // namespace

int RunSamvSim(int argc, char** argv) {
  SamvSimOptions options;
  options.strBindAddress = "0.0.0.0";
  std::vector<uint16_t> arrPorts;
  for (int i = 1; i < argc; ++i) {
    std::string strArg = argv[i];
    if (strArg == "--help" || strArg == "-h") {
      SamvUsage(stdout);
      return 0;
    }
    if (strArg.compare(0, 2, "--") != 0) {
      return BadArgument("unexpected argument '" + strArg + "'");
    }
    if (i + 1 >= argc) {
      return BadArgument(strArg + " needs a value");
    }
    const char* szValue = argv[++i];
    std::string strKey = strArg.substr(2);
    std::string strError;
    unsigned long unNumber = 0;
    if (strKey == "port") {
      if (!ParseNumber(szValue, 65535, &unNumber)) {
        return BadArgument(std::string("bad port '") + szValue + "'");
      }
      arrPorts.push_back(static_cast<uint16_t>(unNumber));
    } else if (strKey == "bind") {
      boost::system::error_code ec;
      (void)boost::asio::ip::make_address(szValue, ec);
      if (ec) {
        return BadArgument(std::string("bad address '") + szValue + "'");
      }
      options.strBindAddress = szValue;
    } else if (strKey == "mode") {
      if (!ParseSamvSimMode(szValue, &options.eMode)) {
        return BadArgument(std::string("unknown mode '") + szValue + "'");
      }
    } else if (strKey == "card-kind") {
      if (!ParseSamvCardKind(szValue, &options.eCardKind)) {
        return BadArgument(std::string("unknown card kind '") + szValue + "'");
      }
    } else if (strKey == "keepalive-ms" || strKey == "part2-delay-ms" ||
               strKey == "answer-delay-ms") {
      if (!ParseNumber(szValue, 3600000, &unNumber) ||
          (strKey == "keepalive-ms" && unNumber == 0)) {
        return BadArgument("bad " + strArg + " '" + szValue + "'");
      }
      (strKey == "keepalive-ms"      ? options.unKeepAliveMs
       : strKey == "part2-delay-ms" ? options.unPart2DelayMs
                                    : options.unAnswerDelayMs) = static_cast<uint32_t>(unNumber);
    } else if (strKey == "close-after-frames") {
      if (!ParseNumber(szValue, 1000000, &unNumber)) {
        return BadArgument("bad " + strArg + " '" + szValue + "'");
      }
      options.unCloseAfterFrames = static_cast<uint32_t>(unNumber);
    } else if (strKey == "card-file") {
      if (!LoadSamvCardFile(szValue, &options.stCard, &strError)) {
        return BadArgument(strError);
      }
    } else if (strKey == "photo") {
      if (!LoadSamvPhotoFile(szValue, &options.stCard, &strError)) {
        return BadArgument(strError);
      }
    } else if (!SetSamvCardField(&options.stCard, strKey, szValue, &strError)) {
      return BadArgument(strError.compare(0, 7, "unknown") == 0 ? "unknown option '" + strArg + "'"
                                                                : strError);
    }
  }
  if (arrPorts.empty()) {
    return BadArgument("at least one --port is needed");
  }

  // SIGINT and SIGTERM are taken by sigwait below; blocked before any thread starts, so that
  // every simulator thread inherits the mask and none of them is interrupted.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  options.fnEvent = PrintLine;
  std::vector<std::unique_ptr<CSamvSim>> sims;
  for (uint16_t unPort : arrPorts) {
    options.unPort = unPort;
    try {
      sims.emplace_back(new CSamvSim(options));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "cardgate-sim samv: port %u: %s\n", unPort, e.what());
      return 1;
    }
    const CSamvSim& sim = *sims.back();
    std::string strLine = "samv " + std::to_string(sim.Port()) + ": ";
    if (options.eMode == SamvSimMode::Refuse) {
      strLine += "refusing (nothing listens on " + options.strBindAddress + ":" +
                 std::to_string(sim.Port()) + ")";
    } else {
      strLine += "listening on " + options.strBindAddress + ":" + std::to_string(sim.Port()) +
                 ", mode " + SamvSimModeName(options.eMode);
      if (options.eMode == SamvSimMode::Card || options.eMode == SamvSimMode::Flood) {
        strLine += ", card kind " + std::string(SamvCardKindName(options.eCardKind));
      }
    }
    PrintLine(strLine);
  }

  int nSignal = 0;
  sigwait(&signals, &nSignal);
  PrintLine(std::string("samv: stopping on ") + (nSignal == SIGINT ? "SIGINT" : "SIGTERM"));
  for (auto& upSim : sims) {
    upSim->Stop();
  }
  return 0;
}
