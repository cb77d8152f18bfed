// What differs between the compilers (GCC, Clang, MSVC) and the targets
// the project builds for, named once: the vector code, the prefetches and
// the inlining hints read these macros instead of one compiler's spelling,
// which the others reject or, worse, silently ignore.
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#define TAGMIRE_X86_64 1
#endif

// Little-endian aarch64, whose every processor has NEON. The vector code
// reads masks as little-endian lanes, so a big-endian build takes the plain
// loops.
#if (defined(__aarch64__) && defined(__ARM_NEON) && !defined(__AARCH64EB__)) || defined(_M_ARM64)
#define TAGMIRE_NEON 1
#endif

// Every x86-64 processor has SSE2, but only GCC and Clang say so with
// __SSE2__: MSVC never defines it.
#if defined(__SSE2__) || TAGMIRE_X86_64
#define TAGMIRE_SSE2 1
#endif

#if defined(__GNUC__) || defined(__clang__)
#define TAGMIRE_NOINLINE __attribute__((noinline))
#define TAGMIRE_COLD __attribute__((cold))
#define TAGMIRE_ALWAYS_INLINE __attribute__((always_inline)) inline
// A hint that `address` will soon be read (or written): never a fault,
// whatever the address.
#define TAGMIRE_PREFETCH(address) __builtin_prefetch(address)
#define TAGMIRE_PREFETCH_FOR_WRITE(address) __builtin_prefetch(address, 1)
#elif defined(_MSC_VER)
#include <intrin.h>
#define TAGMIRE_NOINLINE __declspec(noinline)
#define TAGMIRE_COLD
#define TAGMIRE_ALWAYS_INLINE __forceinline
#if TAGMIRE_X86_64
#define TAGMIRE_PREFETCH(address) _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0)
#define TAGMIRE_PREFETCH_FOR_WRITE(address) _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0)
#elif defined(_M_ARM64)
#define TAGMIRE_PREFETCH(address) __prefetch(address)
#define TAGMIRE_PREFETCH_FOR_WRITE(address) __prefetch(address)
#endif
#endif

#ifndef TAGMIRE_NOINLINE
#define TAGMIRE_NOINLINE
#define TAGMIRE_COLD
#define TAGMIRE_ALWAYS_INLINE inline
#endif
#ifndef TAGMIRE_PREFETCH
#define TAGMIRE_PREFETCH(address) static_cast<void>(address)
#define TAGMIRE_PREFETCH_FOR_WRITE(address) static_cast<void>(address)
#endif
