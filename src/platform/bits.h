// Byte swapping and overflow-checked addition in the form each compiler
// turns into single instructions: the GCC and Clang built-ins, or MSVC's
// intrinsics and a plain check where those built-ins do not exist.
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__)
#include <stdlib.h>
#define ZU_MSVC_ONLY 1
#else
#define ZU_MSVC_ONLY 0
#endif

namespace zu::platform {

// `v` with its bytes in reverse order; T is an unsigned 16-, 32- or 64-bit
// integer.
template <class T>
inline T byteswap(T v) noexcept {
  static_assert(std::is_unsigned_v<T> && (sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8));
#if ZU_MSVC_ONLY
  if constexpr (sizeof(T) == 2) return static_cast<T>(_byteswap_ushort(v));
  if constexpr (sizeof(T) == 4) return static_cast<T>(_byteswap_ulong(v));
  if constexpr (sizeof(T) == 8) return static_cast<T>(_byteswap_uint64(v));
#else
  if constexpr (sizeof(T) == 2) return __builtin_bswap16(v);
  if constexpr (sizeof(T) == 4) return __builtin_bswap32(v);
  if constexpr (sizeof(T) == 8) return __builtin_bswap64(v);
#endif
}

// Stores a + b (wrapped) in *out and returns true when the exact sum does
// not fit in R. All three types are unsigned integers.
template <class A, class B, class R>
inline bool add_overflow(A a, B b, R* out) noexcept {
  static_assert(std::is_unsigned_v<A> && std::is_unsigned_v<B> && std::is_unsigned_v<R>);
#if ZU_MSVC_ONLY
  constexpr R kMax = std::numeric_limits<R>::max();
  const bool too_big = a > kMax || b > kMax || static_cast<R>(b) > kMax - static_cast<R>(a);
  *out = static_cast<R>(static_cast<R>(a) + static_cast<R>(b));
  return too_big;
#else
  return __builtin_add_overflow(a, b, out);
#endif
}

}  // namespace zu::platform

#undef ZU_MSVC_ONLY
