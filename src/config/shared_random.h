#pragma once

#include <cstdint>

// The additive-feedback generator behind srand()/rand() of glibc and uClibc (random() of type 3:
// 31 words, taps 31 and 3, 310 warm-up draws). Devices check the reply keys that this sequence
// produces, so it must not depend on the C library the gateway is linked against.
// A CRandomType3 object is not thread-safe; the process-wide pair below is.
class CRandomType3 {
 public:
  explicit CRandomType3(uint32_t unSeed = 1) { Seed(unSeed); }
  // srand(seed): seed 0 counts as 1, as in the C library.
  void Seed(uint32_t unSeed);
  // rand(): a value from 0 to 2^31 - 1.
  int32_t Next();

 private:
  int32_t m_arrState[34];  // r[i-34..i-1] of the recurrence, as a ring
  int m_nPos = 0;
};

// The one generator of the process, shared by device reply keys (session threads) and
// management nonces (main thread). Each call seeds and draws under one lock, so no other
// thread's seed or draw can fall in between.
int32_t SharedSeedAndDraw(uint32_t unSeed);
void SharedSeedAndDrawTwo(uint32_t unSeed, int32_t* pnFirst, int32_t* pnSecond);
