#pragma once

#include <cstddef>
#include <cstdint>

// A module clock, exchanged as 12 bytes in management requests and replies.
struct McuRtcRecord {
  uint16_t unYear;       // 2026 travels as EA 07
  uint8_t byMonth;       // 1..12
  uint8_t byDay;         // 1..31
  uint8_t byHour;        // 0..23
  uint8_t byMinute;      // 0..59
  uint8_t bySecond;      // 0..59
  uint8_t arrOpaque[5];  // not interpreted: zero when built here, else passed on as returned
};

namespace McuRtcLayout {
constexpr size_t kYear = 0;
constexpr size_t kMonth = kYear + 2;
constexpr size_t kDay = kMonth + 1;
constexpr size_t kHour = kDay + 1;
constexpr size_t kMinute = kHour + 1;
constexpr size_t kSecond = kMinute + 1;
constexpr size_t kOpaque = kSecond + 1;
constexpr size_t kSize = kOpaque + 5;
static_assert(kSize == 12, "McuRtcRecord is 12 bytes on the wire");
}  // namespace McuRtcLayout

static_assert(sizeof(McuRtcRecord) == McuRtcLayout::kSize, "no padding");
static_assert(offsetof(McuRtcRecord, byMonth) == McuRtcLayout::kMonth, "");
static_assert(offsetof(McuRtcRecord, bySecond) == McuRtcLayout::kSecond, "");
static_assert(offsetof(McuRtcRecord, arrOpaque) == McuRtcLayout::kOpaque, "");

// REQUIRES: 12 bytes at pOut / pIn.
void EncodeMcuRtc(const McuRtcRecord& rec, uint8_t* pOut);
void DecodeMcuRtc(const uint8_t* pIn, McuRtcRecord* pRec);
