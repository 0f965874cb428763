// The fixed texts of the map layer's exceptions, one home each. They are part of what callers see
// (the Python layer raises them as the messages of its errors): never reworded. Private to the map
// layer; the Python layer matches none of them: it tells failures apart by their types.
#pragma once

#include "heap/heap.hpp"

namespace corvana::map_texts {

// Parameter checks of the constructors (invalid_argument).
inline constexpr char bucket_chunk_number[] = "bucket chunk number should be greater than zero!";
inline constexpr char string_chunk_size_exponent[] = "string_chunk_size_exponent should be greater than 2!";
inline constexpr char size[] = "size should be greater than zero!";
inline constexpr char string_chunk_too_large[] =
    "string_chunk_size_exponent should be at most 7: a larger string chunk does not fit its one-byte unit!";
inline constexpr char bucket_chunk_too_large[] =
    "bucket_chunk_size_exponent is too large: a bucket chunk of that many buckets does not fit in 64 bits!";
inline constexpr char chunk_number_too_large[] = "bucket chunk number is too large: its table does not fit in 64 bits!";
inline constexpr char size_too_large[] = "size is too large: the memory file would not fit in 64 bits!";

// A memory file that cannot be created or opened (bad_alloc).
inline constexpr char bad_allocation[] = "bad allocation";
// A file whose status could not be read (FileStatusUnavailable), followed by the errno.
inline constexpr char file_status_wrong[] = "file status wrong with errno: ";
// Process memory that python_malloc could not give (runtime_error): the heap layer's text.
inline constexpr const char* python_malloc_failed = python_malloc_failed_text;
// An operation on a map object that holds no map (runtime_error).
inline constexpr char empty_chunks[] = "operation on empty chunks!";
// A map operation started inside another one of the same thread (logic_error).
inline constexpr char same_thread[] = "a map operation was started inside another operation of the same thread";

}  // namespace corvana::map_texts
