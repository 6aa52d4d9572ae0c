#pragma once

#include <cstdint>

#include <boost/asio/ip/tcp.hpp>

#include "net/tcp_server.h"

class CDecodeLogQueue;
class CTcpClient;

// Answer sizes that mark a decoded card (one read each).
constexpr uint32_t kAnswerTextOnly = 288;
constexpr uint32_t kAnswerTextImage = 1311;
constexpr uint32_t kAnswerFingerprintPart1 = 1313;
constexpr uint32_t kAnswerFingerprintPart2 = 1041;

// Relays one SAMV answer block to the device and, when its size marks a decoded card, captures
// it into the client's work area and queues a card record (when a log server is configured:
// unLogServerPort not 0). The record is on storage before the answer goes to the device, so a
// reader that got its card implies a record that survives a crash; a relay that fails withdraws
// it. Runs on the client's receive thread. Returns 1 when the block was relayed in full, else 0.
uint32_t ProcessSamvClientReceive(CDecodeLogQueue& queue, uint32_t unLogServerPort,
                                  CTcpClient* pClient,
                                  boost::asio::ip::tcp::socket* pSocket, DeviceHandle hDevice,
                                  const uint8_t* pData, uint32_t unCount);

// A device left, or sent its next card request, while its answer had only the first fingerprint
// part: logs "Not Exist Part2", queues what was captured (when a log server is configured) with
// the fields of the request it belongs to, and takes it out of the work area, so that a second
// part arriving later is relayed and not captured. Session thread: before the client is closed,
// or before the next request's fields are written.
void QueueUnfinishedFingerprint(CDecodeLogQueue& queue, uint32_t unLogServerPort,
                                CTcpClient* pClient);
