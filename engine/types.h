// Basic types shared by every unit of the engine.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The database file stores every integer little-endian and the engine reads
// the mapped file in place, so it runs only on little-endian hosts.
static_assert(std::endian::native == std::endian::little, "the engine needs a little-endian host");

using byte = unsigned char;
using oid_t = uint32_t;   // object identifier; 0 is "no object"
using offs_t = uint32_t;  // offset inside the database file
using int1 = int8_t;
using int2 = int16_t;
using int4 = int32_t;
using int8 = int64_t;
using nat1 = uint8_t;
using nat2 = uint16_t;
using nat4 = uint32_t;
using nat8 = uint64_t;
using real4 = float;
using real8 = double;

// Rounds x up to the next multiple of the power of two a.
template <typename T>
constexpr T dbAlign(T x, T a) {
  return (x + a - 1) & ~(a - 1);
}

// Reads a T stored at p, which need not be aligned for T (stored records pack
// their slots by the file's alignment rules, not the host's).
template <typename T>
T readAt(const byte* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
