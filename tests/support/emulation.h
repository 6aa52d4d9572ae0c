#pragma once

#include <gtest/gtest.h>

// The router build runs the whole suite under a user-mode emulator (qemu-user, named by
// CARDGATE_EMULATOR). A few kernel answers reach the program untranslated there: qemu-user 7.2
// hands the host's errno value through getsockopt(SO_ERROR), so a failed asynchronous connect
// reads "Unknown error 111" on a MIPS target instead of "Connection refused" (146 on MIPS).
// A test whose assertion depends on such an answer skips under the emulator and says why; on
// the router itself the answer is right.
inline constexpr bool kUnderEmulator =
#ifdef CARDGATE_EMULATOR
    true;
#else
    false;
#endif

// Use at the top of a test body: CARDGATE_SKIP_UNDER_EMULATOR("SO_ERROR is the host's errno");
#define CARDGATE_SKIP_UNDER_EMULATOR(reason)                   \
  do {                                                         \
    if (kUnderEmulator) {                                      \
      GTEST_SKIP() << "not meaningful under an emulator: " << (reason); \
    }                                                          \
  } while (0)
