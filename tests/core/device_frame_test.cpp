#include "core/device_frame.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "config/byte_io.h"
#include "config/shared_random.h"

namespace {
const uint8_t kKey[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
}

TEST(DeviceFrameTest, MaskingTwiceRestoresTheBytes) {
  std::vector<uint8_t> body(600);
  for (size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  std::vector<uint8_t> copy = body;
  MaskDeviceBody(copy.data(), copy.size(), kKey);
  EXPECT_NE(copy, body);
  // Byte 257 is XOR-ed with key[257 % 8] and with 257 mod 256 = 1.
  EXPECT_EQ(copy[257], static_cast<uint8_t>(body[257] ^ kKey[1] ^ 1));
  MaskDeviceBody(copy.data(), copy.size(), kKey);
  EXPECT_EQ(copy, body);
}

TEST(DeviceFrameTest, ParseUnmasksCommandParamsAndPayload) {
  std::vector<uint8_t> frame(8 + 12 + 5);
  std::memcpy(frame.data(), kKey, 8);
  frame[8] = 82;
  for (int i = 0; i < 8; ++i) {
    frame[12 + i] = static_cast<uint8_t>(0xA0 + i);
  }
  const uint8_t payload[5] = {1, 2, 3, 4, 5};
  std::memcpy(frame.data() + 20, payload, 5);
  MaskDeviceBody(frame.data() + 8, frame.size() - 8, kKey);

  uint8_t cmd = 0, key[8], param[8], out[16];
  size_t len = 0;
  ASSERT_TRUE(ParseDeviceFrame(frame.data(), frame.size(), &cmd, key, param, out, sizeof(out), &len));
  EXPECT_EQ(cmd, 82);
  EXPECT_EQ(0, std::memcmp(key, kKey, 8));
  EXPECT_EQ(param[0], 0xA0);
  EXPECT_EQ(param[7], 0xA7);
  ASSERT_EQ(len, 5u);
  EXPECT_EQ(0, std::memcmp(out, payload, 5));
}

TEST(DeviceFrameTest, ParseRefusesShortFramesMissingOutputsAndSmallCapacity) {
  uint8_t frame[40] = {0};
  uint8_t cmd, key[8], param[8], out[32];
  size_t len = 0;
  struct Row {
    const char* name;
    size_t count;
    size_t capacity;
    bool ok;
  } rows[] = {
      {"19 bytes", 19, 32, false},
      {"20 bytes, empty payload", 20, 32, true},
      {"payload 20 into 19", 40, 19, false},
      {"payload 20 into 20", 40, 20, true},
      {"capacity 0 with empty payload", 20, 0, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(ParseDeviceFrame(frame, r.count, &cmd, key, param, out, r.capacity, &len), r.ok);
  }
  EXPECT_FALSE(ParseDeviceFrame(nullptr, 20, &cmd, key, param, out, 32, &len));
  EXPECT_FALSE(ParseDeviceFrame(frame, 20, nullptr, key, param, out, 32, &len));
  EXPECT_FALSE(ParseDeviceFrame(frame, 20, &cmd, key, nullptr, out, 32, &len));
}

TEST(DeviceFrameTest, EqualSeedWordsGiveTheFixedKey) {
  uint8_t key[8];
  const uint8_t zero[8] = {0};
  DeriveReplyKey(zero, key);
  EXPECT_EQ(0, std::memcmp(key, kReplyKeySeed, 8));
  const uint8_t same[8] = {9, 8, 7, 6, 9, 8, 7, 6};
  DeriveReplyKey(same, key);
  EXPECT_EQ(0, std::memcmp(key, kReplyKeySeed, 8));
}

TEST(DeviceFrameTest, ReplyKeyFollowsTheGenerator) {
  // seed1 = 1, seed2 = 0 (which the generator treats as 1): masks cancel again. Use 1 and 2.
  const uint8_t seed[8] = {1, 0, 0, 0, 2, 0, 0, 0};
  CRandomType3 g1(1), g2(2);
  uint32_t r1 = static_cast<uint32_t>(g1.Next());
  uint32_t r2 = static_cast<uint32_t>(g2.Next());
  auto mask = [](uint32_t r) {
    uint32_t lo = r & 0xFF, hi = (r >> 8) & 0xFF;
    return lo | (hi << 8) | (lo << 16) | (hi << 24);
  };
  uint32_t m = mask(r1) ^ mask(r2);
  uint8_t key[8];
  DeriveReplyKey(seed, key);
  EXPECT_EQ(GetLe32(key), GetLe32(kReplyKeySeed) ^ m);
  EXPECT_EQ(GetLe32(key + 4), GetLe32(kReplyKeySeed + 4) ^ m);
}

TEST(DeviceFrameTest, BusyReplyIsSixteenBytesWithTheFixedKey) {
  const uint8_t zero[8] = {0};
  uint8_t out[64];
  ASSERT_EQ(BuildDeviceReply(50, nullptr, 100, zero, out, sizeof(out)), 16u);
  const uint8_t expected[16] = {16, 0, 0, 0, 0x5E, 0xA2, 0x17, 0xC9, 0x03, 0xD4, 0x88, 0x6B,
                                static_cast<uint8_t>(50 ^ 0x5E), 0xA2 ^ 1, 0x17 ^ 2, 0xC9 ^ 3};
  EXPECT_EQ(0, std::memcmp(out, expected, 16));
}

TEST(DeviceFrameTest, ReplyRoundTripsAndRefusesOversizePayload) {
  std::vector<uint8_t> payload(724, 0x5A);
  std::vector<uint8_t> out(4200);
  const uint8_t seed[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  size_t n = BuildDeviceReply(81, payload.data(), payload.size(), seed, out.data(), out.size());
  ASSERT_EQ(n, 740u);
  EXPECT_EQ(GetLe32(out.data()), 740u);
  uint8_t key[8];
  DeriveReplyKey(seed, key);
  EXPECT_EQ(0, std::memcmp(out.data() + 4, key, 8));
  MaskDeviceBody(out.data() + 12, n - 12, key);
  EXPECT_EQ(out[12], 81);
  EXPECT_EQ(out[13] | out[14] | out[15], 0);
  EXPECT_EQ(0, std::memcmp(out.data() + 16, payload.data(), payload.size()));
  EXPECT_EQ(BuildDeviceReply(81, payload.data(), 4085, seed, out.data(), out.size()), 0u);
  EXPECT_EQ(BuildDeviceReply(81, payload.data(), 10, nullptr, out.data(), out.size()), 0u);
}
