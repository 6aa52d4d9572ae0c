#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Little- and big-endian field access by shifts, so records and frames come out the same on
// any host. Callers check the bounds; these helpers touch exactly the bytes they name.

inline uint16_t GetLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (static_cast<uint16_t>(p[1]) << 8));
}
inline uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint16_t GetBe16(const uint8_t* p) {
  return static_cast<uint16_t>((static_cast<uint16_t>(p[0]) << 8) | p[1]);
}
inline void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// Copies text into a fixed char field: at most unFieldSize - 1 bytes, always NUL-terminated,
// the rest of the field zero-filled. Returns false if the text had to be cut.
inline bool CopyText(char* pField, size_t unFieldSize, const char* pText) {
  if (pField == nullptr || unFieldSize == 0) {
    return false;
  }
  std::memset(pField, 0, unFieldSize);
  if (pText == nullptr) {
    return true;
  }
  size_t n = strnlen(pText, unFieldSize);
  bool bFits = n < unFieldSize;
  if (!bFits) {
    n = unFieldSize - 1;
  }
  std::memcpy(pField, pText, n);
  return bFits;
}
template <size_t N>
inline bool CopyText(char (&field)[N], const char* pText) {
  return CopyText(field, N, pText);
}

// Length of a text field that may fill its whole width without a NUL.
template <size_t N>
inline size_t FieldLength(const char (&field)[N]) {
  return strnlen(field, N);
}

// Compares two secrets (passwords, the administrator name) in a time that depends on neither
// their contents nor where they first differ: every byte up to unWidth is looked at, the shorter
// text read as zero-padded. Texts end at their length (they hold no NUL); a text longer than
// unWidth never equals anything. True when both have the same length and the same bytes.
inline bool SecretEquals(const char* pA, size_t unLengthA, const char* pB, size_t unLengthB,
                         size_t unWidth) {
  if (unLengthA > unWidth || unLengthB > unWidth) {
    return false;
  }
  volatile uint8_t byDiff = static_cast<uint8_t>(unLengthA != unLengthB);
  for (size_t i = 0; i < unWidth; ++i) {
    const uint8_t a = i < unLengthA ? static_cast<uint8_t>(pA[i]) : 0;
    const uint8_t b = i < unLengthB ? static_cast<uint8_t>(pB[i]) : 0;
    byDiff = static_cast<uint8_t>(byDiff | (a ^ b));
  }
  return byDiff == 0;
}
