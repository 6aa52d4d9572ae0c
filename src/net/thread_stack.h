#pragma once

#include <cstddef>

// Stack size of every thread the gateway starts (accept, device sessions, SAMV and log-server
// clients). The deepest path is a device session: a 4096-byte receive buffer, the frame
// dispatcher's 4096-byte work buffer and reply frame, a 2048-byte log buffer and the library
// frames below them, about 20 KiB in all; 128 KiB leaves ample headroom while a router with
// hundreds of devices commits only the pages it touches. Sanitizer builds need far more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kThreadStackSize = 2 * 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kThreadStackSize = 2 * 1024 * 1024;
#else
constexpr size_t kThreadStackSize = 128 * 1024;
#endif
#else
constexpr size_t kThreadStackSize = 128 * 1024;
#endif
