// The hashes of the string map: the default hash of a key's bytes, and the bits a bucket is chosen
// from. Both come from xxHash's XXH3, used header-only.
#pragma once

#include <cstddef>
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace corvana {

// XXH3 (64 bits, no seed) of a key's bytes. Equal bytes hash equally in every process, whatever its
// hash seed, and in every build: XXH3's output has been frozen since xxHash 0.8.0.
inline std::int64_t key_hash(const void* data, std::size_t length) noexcept {
  return static_cast<std::int64_t>(XXH3_64bits(data, length));
}

// The caller's hash mixed so that each of its bits weighs on every bit chosen from: a bucket is
// taken from the low bits of this, so hashes that differ only in their high bits (k << 16, ids that
// are multiples of 1024) still spread over every bucket. The hash stored with an entry stays the
// caller's; a bucket and the split of a bucket are both chosen from these bits.
inline std::uint64_t bucket_bits(std::int64_t hash) noexcept {
  return XXH3_64bits(&hash, sizeof hash);
}

}  // namespace corvana
