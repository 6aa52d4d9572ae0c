#pragma once

#include <cstddef>
#include <cstdint>

// The device frame: a 4-byte little-endian length word, an 8-byte key in clear, then a body
// masked byte by byte with key[i mod 8] XOR (i mod 256), i counted from 0 at the first body byte.
// SAMV answers use the same framing. Pure functions; any thread.

constexpr size_t kDeviceKeySize = 8;
constexpr size_t kDeviceReplyHeadSize = 16;     // length word, key, code, three zero bytes
constexpr size_t kDeviceReplyPayloadLimit = 4085;  // a payload this long or longer is not sent

// The fixed key that reply keys are derived from; with equal seed words it is the key itself.
constexpr uint8_t kReplyKeySeed[kDeviceKeySize] = {0x5E, 0xA2, 0x17, 0xC9, 0x03, 0xD4, 0x88, 0x6B};

// Masks or unmasks (the rule is its own inverse) unCount bytes in place.
void MaskDeviceBody(uint8_t* pBody, size_t unCount, const uint8_t* pKey);

// Parses a frame given without its length word (pFrame starts at the key), unmasking bytes 8 on
// in place. Outputs the command code (byte 8), the key, the parameter bytes (12..19) and, when
// pPayload is given, the payload (bytes 20..) with its length. Fails when an output is missing,
// when unCount < 20, or when the payload does not fit unPayloadCapacity. A capacity of 0 with a
// payload output succeeds without copying.
bool ParseDeviceFrame(uint8_t* pFrame, size_t unCount, uint8_t* pCommand, uint8_t* pKey,
                      uint8_t* pParam, uint8_t* pPayload, size_t unPayloadCapacity,
                      size_t* pPayloadLength);

// Derives the reply key from the 8 key bytes of a request (the seeds): for each 32-bit
// little-endian seed word, seed the shared generator, draw r, and XOR the mask
// (r, r >> 8, r, r >> 8 as bytes) into both words of kReplyKeySeed.
void DeriveReplyKey(const uint8_t* pSeed, uint8_t* pKeyOut);

// Builds a whole reply frame into pOut: length word (16 + payload), derived key, code, three zero
// bytes, payload; masked from offset 12. A null payload gives a 16-byte frame whatever
// unPayloadLength says. Returns the frame length, or 0 (nothing built) when the payload length
// is kDeviceReplyPayloadLimit or more, the seed is missing, or unOutCapacity is too small.
size_t BuildDeviceReply(uint8_t byCode, const uint8_t* pPayload, size_t unPayloadLength,
                        const uint8_t* pSeed, uint8_t* pOut, size_t unOutCapacity);
