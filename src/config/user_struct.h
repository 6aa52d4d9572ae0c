#pragma once

#include <cstddef>
#include <cstdint>

// One user account, 28 bytes; the same layout travels in device frames (little-endian).
struct UserStruct {
  uint32_t unAccountNo;  // the key; the first match wins
  char szPassword[16];   // text up to the first NUL; 16 characters fill it without a NUL
  uint32_t unType;       // 0: may log in from a device; other values are listed only
  uint32_t unIndex;      // slot read from, or the list size when it was added
};

namespace UserLayout {
constexpr size_t kAccountNo = 0;
constexpr size_t kPassword = kAccountNo + 4;
constexpr size_t kType = kPassword + 16;
constexpr size_t kIndex = kType + 4;
constexpr size_t kSize = kIndex + 4;
static_assert(kSize == 28, "UserStruct is 28 bytes on the wire");
}  // namespace UserLayout

static_assert(sizeof(UserStruct) == UserLayout::kSize, "no padding");
static_assert(offsetof(UserStruct, szPassword) == UserLayout::kPassword, "");
static_assert(offsetof(UserStruct, unType) == UserLayout::kType, "");
static_assert(offsetof(UserStruct, unIndex) == UserLayout::kIndex, "");

// REQUIRES: pOut / pIn hold UserLayout::kSize bytes.
void EncodeUser(const UserStruct& user, uint8_t* pOut);
void DecodeUser(const uint8_t* pIn, UserStruct* pUser);
