#pragma once

// KETRA_SANITIZED is 1 in builds under AddressSanitizer or ThreadSanitizer. GCC says so with
// __SANITIZE_ADDRESS__ and __SANITIZE_THREAD__, clang only through __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KETRA_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KETRA_SANITIZED 1
#endif
#endif
#ifndef KETRA_SANITIZED
#define KETRA_SANITIZED 0
#endif
