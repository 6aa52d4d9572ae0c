#include "config/shared_random.h"

#include <boost/thread/mutex.hpp>

namespace {
constexpr int kDegree = 31;
constexpr int kSeparation = 3;
constexpr int kRing = 34;
}  // namespace

void CRandomType3::Seed(uint32_t unSeed) {
  if (unSeed == 0) {
    unSeed = 1;
  }
  // r[0] = seed; r[i] = 16807 * r[i-1] mod (2^31 - 1) by Schrage's method, in signed 32-bit
  // arithmetic exactly as the C library does it (a seed above 2^31 starts negative).
  int32_t r[kDegree];
  r[0] = static_cast<int32_t>(unSeed);
  for (int i = 1; i < kDegree; ++i) {
    int32_t hi = r[i - 1] / 127773;
    int32_t lo = r[i - 1] % 127773;
    int32_t word = 16807 * lo - 2836 * hi;
    if (word < 0) {
      word += 2147483647;
    }
    r[i] = word;
  }
  // The ring holds the last 34 values: r[i] = r[i-31] + r[i-3] needs r[i-31] and r[i-3].
  for (int i = 0; i < kDegree; ++i) {
    m_arrState[i] = r[i];
  }
  for (int i = kDegree; i < kRing; ++i) {
    m_arrState[i] = r[i - kDegree];
  }
  m_nPos = 0;  // index of r[34] in the ring, which overwrites r[0]
  for (int i = 0; i < 310; ++i) {
    Next();
  }
}

int32_t CRandomType3::Next() {
  // r[n] = r[n-31] + r[n-3] (mod 2^32); the result is r[n] >> 1.
  int idx31 = (m_nPos + kRing - kDegree) % kRing;
  int idx3 = (m_nPos + kRing - kSeparation) % kRing;
  uint32_t v = static_cast<uint32_t>(m_arrState[idx31]) + static_cast<uint32_t>(m_arrState[idx3]);
  m_arrState[m_nPos] = static_cast<int32_t>(v);
  m_nPos = (m_nPos + 1) % kRing;
  return static_cast<int32_t>(v >> 1);
}

namespace {
boost::mutex& RandomMutex() {
  static boost::mutex mtx;
  return mtx;
}
CRandomType3& SharedGenerator() {
  static CRandomType3 gen;
  return gen;
}
}  // namespace

int32_t SharedSeedAndDraw(uint32_t unSeed) {
  boost::mutex::scoped_lock lock(RandomMutex());
  SharedGenerator().Seed(unSeed);
  return SharedGenerator().Next();
}

void SharedSeedAndDrawTwo(uint32_t unSeed, int32_t* pnFirst, int32_t* pnSecond) {
  boost::mutex::scoped_lock lock(RandomMutex());
  SharedGenerator().Seed(unSeed);
  int32_t a = SharedGenerator().Next();
  int32_t b = SharedGenerator().Next();
  if (pnFirst != nullptr) {
    *pnFirst = a;
  }
  if (pnSecond != nullptr) {
    *pnSecond = b;
  }
}
