#include "corvana/stable_hash.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace corvana::stable_hash {
namespace {

// The fixed SipHash key. Changing it changes every stored str and bytes hash: maps written with
// the old key would no longer find those keys.
constexpr std::uint64_t key_k0 = 0x636f7276616e6131ULL;
constexpr std::uint64_t key_k1 = 0x7175696c6c6d6170ULL;

constexpr std::uint64_t tag_bytes = 0x62;  // 'b'
constexpr std::uint64_t tag_str = 0x73;    // 's'

// What the built-in hash of None is from Python 3.12 on; fixed here for every version.
constexpr std::int64_t none_hash = 0xFCA86420;

// The lane constants of the built-in tuple hash (xxHash's primes).
constexpr std::uint64_t prime_1 = 11400714785074694791ULL;
constexpr std::uint64_t prime_2 = 14029467366897019727ULL;
constexpr std::uint64_t prime_5 = 2870177450012600261ULL;

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
  void absorb(std::uint64_t word) noexcept {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

Outcome hash_tuple(PyObject* tuple, std::int64_t& hash) {
  const Py_ssize_t length = PyTuple_GET_SIZE(tuple);
  if (Py_EnterRecursiveCall(" while hashing a tuple key") != 0) {
    return Outcome::failed;
  }
  std::uint64_t accumulator = prime_5;
  Outcome outcome = Outcome::hashed;
  for (Py_ssize_t i = 0; i < length; ++i) {
    std::int64_t lane = 0;
    outcome = hash_object(PyTuple_GET_ITEM(tuple, i), lane);
    if (outcome != Outcome::hashed) {
      break;
    }
    accumulator += static_cast<std::uint64_t>(lane) * prime_2;
    accumulator = std::rotl(accumulator, 31);
    accumulator *= prime_1;
  }
  Py_LeaveRecursiveCall();
  if (outcome == Outcome::hashed) {
    accumulator += static_cast<std::uint64_t>(length) ^ (prime_5 ^ 3527539ULL);
    hash = static_cast<std::int64_t>(accumulator);
  }
  return outcome;
}

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t length) noexcept {
  SipState state{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                 k1 ^ 0x7465646279746573ULL};
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t whole_words = length / 8;
  for (std::size_t i = 0; i < whole_words; ++i) {
    std::uint64_t word;
    std::memcpy(&word, bytes + 8 * i, 8);  // little-endian: the word is read as stored
    state.absorb(word);
  }
  std::uint64_t last = static_cast<std::uint64_t>(length) << 56;
  for (std::size_t i = 0; i < length % 8; ++i) {
    last |= static_cast<std::uint64_t>(bytes[8 * whole_words + i]) << (8 * i);
  }
  state.absorb(last);
  state.v2 ^= 0xff;
  state.round();
  state.round();
  state.round();
  return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

Outcome hash_object(PyObject* key, std::int64_t& hash) {
  if (PyUnicode_CheckExact(key)) {
    // Equal strs share one canonical representation: the narrowest width that holds every
    // character, so hashing that width and the raw code units is a function of the content.
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(key) < 0) {
      return Outcome::failed;
    }
#endif
    const auto kind = static_cast<std::uint64_t>(PyUnicode_KIND(key));
    const std::size_t length_bytes = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) * kind;
    hash = static_cast<std::int64_t>(
        siphash13(key_k0 ^ (tag_str << 8 | kind), key_k1, PyUnicode_DATA(key), length_bytes));
    return Outcome::hashed;
  }
  if (PyBytes_CheckExact(key)) {
    hash = static_cast<std::int64_t>(siphash13(key_k0 ^ (tag_bytes << 8), key_k1, PyBytes_AS_STRING(key),
                                               static_cast<std::size_t>(PyBytes_GET_SIZE(key))));
    return Outcome::hashed;
  }
  if (PyLong_CheckExact(key) || PyBool_Check(key)) {
    hash = PyObject_Hash(key);  // never fails for int and bool
    return Outcome::hashed;
  }
  if (PyFloat_CheckExact(key)) {
    hash = std::isnan(PyFloat_AS_DOUBLE(key)) ? 0 : PyObject_Hash(key);
    return Outcome::hashed;
  }
  if (key == Py_None) {
    hash = none_hash;
    return Outcome::hashed;
  }
  if (PyTuple_CheckExact(key)) {
    return hash_tuple(key, hash);
  }
  return Outcome::unsupported;
}

}  // namespace corvana::stable_hash
