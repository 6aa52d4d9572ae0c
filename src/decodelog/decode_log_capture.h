#pragma once

#include <cstdint>

#include <boost/asio/ip/tcp.hpp>

#include "net/tcp_server.h"

class CDecodeLogQueue;
class CTcpClient;

// Sizes of the module's answer frames that carry a decoded card.
constexpr uint32_t kAnswerTextOnly = 288;
constexpr uint32_t kAnswerTextImage = 1311;
constexpr uint32_t kAnswerFingerprintPart1 = 1313;
constexpr uint32_t kAnswerFingerprintPart2 = 1041;

// Relays one block that the SAMV connection read to the device, unchanged, and follows the
// module's answers in it: the client's framer cuts the stream into the frames the module wrote
// (an answer split over reads, or several in one read, count as they were written), and each
// frame answers the oldest card command of the session still waiting (its fields go into the
// record). A frame of a card's size is captured into the client's work area; a finished card is
// stored (when a log server is configured: unLogServerPort not 0) before the block goes to the
// device, so a reader that got its card implies a record that survives a crash, and queued once
// the device has it; a relay that fails withdraws it. A first fingerprint part is stored as well
// and waits, not queued, for its second part, which completes it in place; another answer in
// its stead, or the session's end (QueueUnfinishedFingerprint), queues it alone. Runs on the
// client's receive thread. Returns 1 when the block was relayed in full, else 0.
uint32_t ProcessSamvClientReceive(CDecodeLogQueue& queue, uint32_t unLogServerPort,
                                  CTcpClient* pClient,
                                  boost::asio::ip::tcp::socket* pSocket, DeviceHandle hDevice,
                                  const uint8_t* pData, uint32_t unCount);

// A device session ends while its answer has only the first fingerprint part: logs "Not Exist
// Part2" and queues the record stored with that part (the fields of the command it answers).
// Session thread, after the client's connection has stopped and before the client is closed.
void QueueUnfinishedFingerprint(CDecodeLogQueue& queue, uint32_t unLogServerPort,
                                CTcpClient* pClient);
