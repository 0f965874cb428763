// Entry pages and out-of-line strings (see map/entry_pages.hpp).
#include "map/entry_pages.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace corvana::map_layout {

void HeapAccess::throw_not_a_chunk(Offset offset, const char* what) {
  throw DamagedFile(std::string(what) + " at offset " + std::to_string(static_cast<std::uint64_t>(offset)) +
                    " is not a chunk of the heap");
}

void HeapAccess::throw_short_chunk(Offset offset, const char* what) {
  throw DamagedFile(std::string(what) + " at offset " + std::to_string(static_cast<std::uint64_t>(offset)) +
                    " is shorter than its contents");
}

void HeapAccess::throw_long_string(std::uint64_t length) {
  throw DamagedFile("an out-of-line string of " + std::to_string(length) + " bytes is longer than the heap");
}

void throw_damaged_page(Offset offset) {
  throw DamagedFile("an entry page at offset " + std::to_string(static_cast<std::uint64_t>(offset)) +
                    " holds impossible counts");
}

void throw_damaged_entry(const char* what) { throw DamagedFile(what); }

std::uint64_t ClassCaches::cached_chunks() const noexcept {
  std::uint64_t chunks = 0;
  for (const auto& cache : caches_) {
    chunks += cache ? cache->count() : 0;
  }
  return chunks;
}

bool string_equals(const HeapAccess& heap, const StringField& field, const char* bytes, std::uint64_t length) {
  if (field.length != length) {
    return false;
  }
  if (!field.is_out_of_line) {
    return std::memcmp(field.bytes, bytes, length) == 0;
  }
  std::uint64_t compared = 0;
  bool is_equal = true;
  for_each_chain_chunk(heap, field.ref, [&](Offset, std::uint32_t, const std::byte* data, std::uint64_t here) {
    if (is_equal && std::memcmp(data, bytes + compared, here) != 0) {
      is_equal = false;
    }
    compared += here;
  });
  return is_equal;
}

bool key_equals(const HeapAccess& heap, const EntryView& entry, const char* key, std::uint64_t key_len,
                std::int64_t hash) {
  return entry.hash == hash && string_equals(heap, entry.key, key, key_len);
}

void copy_string(const HeapAccess& heap, const StringField& field, char* destination) {
  if (!field.is_out_of_line) {
    std::memcpy(destination, field.bytes, field.length);
    return;
  }
  std::uint64_t copied = 0;
  for_each_chain_chunk(heap, field.ref, [&](Offset, std::uint32_t, const std::byte* data, std::uint64_t here) {
    std::memcpy(destination + copied, data, here);
    copied += here;
  });
}

NewString prepare_string(const HeapAccess& heap, ClassCaches& caches, const char* bytes, std::uint64_t length,
                         Offset& made_first) {
  NewString string{bytes, length, {}};
  if (length <= inline_string_limit) {
    return string;
  }
  // Chunks are taken and written from the last to the first, each naming the one after it, so the
  // chain is whole at every step and a failure gives back exactly what was taken.
  const std::uint64_t chunks = (length + chain_chunk_data - 1) / chain_chunk_data;
  Offset next = Offset::null;
  Offset first = Offset::null;
  std::uint64_t made = 0;
  try {
    for (std::uint64_t index = chunks; index-- > 0;) {
      const std::uint64_t start = index * chain_chunk_data;
      const std::uint64_t here = std::min(chain_chunk_data, length - start);
      const std::uint32_t klass = slab_class_for(here + sizeof(Offset));
      const Offset chunk = caches.take_at_least(klass);
      std::byte* address = heap.base + static_cast<std::uint64_t>(chunk);
      std::memcpy(address, &next, sizeof next);
      std::memcpy(address + sizeof(Offset), bytes + start, here);
      next = chunk;
      first = chunk;
      ++made;
      crash_order_barrier();
      made_first = first;
      crash_order_barrier();
    }
  } catch (...) {
    // `first` is the most recent chunk; the chain from it holds `made` chunks, the tail first made.
    made_first = Offset::null;
    if (made > 0) {
      free_chain(heap, &caches, first);
    }
    throw;
  }
  string.ref = StringRef{first, length};
  return string;
}

void free_chain(const HeapAccess& heap, ClassCaches* caches, Offset first) {
  // The chain's length is not at hand here: it ends at a null link.
  std::uint64_t budget = heap.heap_end / slab_class_bytes(0) + 1;
  Offset chunk = first;
  while (chunk != Offset::null) {
    if (budget-- == 0) {
      throw DamagedFile("an out-of-line string does not end");
    }
    const std::uint32_t klass = heap.chunk_class(chunk, "a string chunk");
    Offset next;
    std::memcpy(&next, heap.base + static_cast<std::uint64_t>(chunk), sizeof next);
    if (caches != nullptr) {
      caches->give_back(chunk, klass);
    } else {
      static_cast<void>(slab_free(heap.base, heap.slabs, chunk));
    }
    chunk = next;
  }
}

void free_pages_and_strings(const HeapAccess& heap, ClassCaches* caches, const Offset (&pages)[2],
                            const Offset (&strings)[2]) {
  for (const Offset page : pages) {
    if (page == Offset::null) {
      continue;
    }
    if (caches != nullptr) {
      give_back_page(heap, *caches, page);
    } else {
      static_cast<void>(slab_free(heap.base, heap.slabs, page));
    }
  }
  for (const Offset string : strings) {
    if (string != Offset::null) {
      free_chain(heap, caches, string);
    }
  }
}

void write_entry(std::byte* at, std::int64_t hash, const NewString& key, const NewString& value,
                 std::uint64_t padding) noexcept {
  EntryHeader header;
  header.hash = hash;
  header.key_field = (key.is_out_of_line() ? out_of_line_flag : static_cast<std::uint32_t>(key.length)) |
                     static_cast<std::uint32_t>(padding / 8) << entry_padding_shift;
  header.value_field = value.is_out_of_line() ? out_of_line_flag : static_cast<std::uint32_t>(value.length);
  std::memcpy(at, &header, sizeof header);
  std::byte* cursor = at + sizeof header;
  for (const NewString* string : {&key, &value}) {
    if (string->is_out_of_line()) {
      std::memcpy(cursor, &string->ref, sizeof(StringRef));
      cursor += sizeof(StringRef);
    } else {
      const std::uint64_t padded = field_bytes(string->length);
      std::memcpy(cursor, string->bytes, string->length);
      std::memset(cursor + string->length, 0, padded - string->length);
      cursor += padded;
    }
  }
}

}  // namespace corvana::map_layout
