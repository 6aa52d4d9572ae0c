#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The stand-in decode server of the relay benchmark: answers every whole frame it receives with
// one 64-byte answer in the SAMV framing (length word 60, the request's key, a masked body whose
// first byte is the request's command). Frames are delimited by their length word counted the
// device way (the whole frame). One thread per connection with blocking reads, so that its own
// latency stays small and the same for every path measured through it.
//
// Not a card server: the answer is no card size, so the gateway relays it without capturing.
class CAnswerServer {
 public:
  static constexpr size_t kAnswerSize = 64;
  static constexpr uint32_t kAnswerLengthWord = kAnswerSize - 4;

  // Builds the answer to a request whose key (8 bytes) and command are given.
  static void BuildAnswer(const uint8_t* pKey, uint8_t byCommand, uint8_t* pOut);

  // Listens on 127.0.0.1:unPort. Throws std::runtime_error when the port cannot be bound.
  explicit CAnswerServer(uint16_t unPort);
  ~CAnswerServer();  // Stop()
  CAnswerServer(const CAnswerServer&) = delete;
  CAnswerServer& operator=(const CAnswerServer&) = delete;

  // Closes the listener and every connection and joins all threads; each notices the stop within
  // kPollMs. Safe to call twice.
  void Stop();
  uint64_t Answers() const { return m_unAnswers.load(); }

 private:
  static constexpr int kPollMs = 100;
  void AcceptLoop();
  void Serve(int fd, std::shared_ptr<std::atomic<bool>> spDone);

  int m_fdListen = -1;
  std::atomic<bool> m_bStop{false};
  std::atomic<uint64_t> m_unAnswers{0};
  std::thread m_thrAccept;
  // A connection's thread and whether it has ended (then the accept loop joins it).
  struct Connection {
    std::thread thr;
    std::shared_ptr<std::atomic<bool>> spDone;
  };
  void JoinEnded();

  std::mutex m_mtxThreads;
  std::vector<Connection> m_arrConnections;  // joined when ended, the rest by Stop
};
