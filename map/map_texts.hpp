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

// expansion_helper(name, n) of the string map given an empty name (invalid_argument).
inline constexpr char expansion_helper_empty_name[] =
    "python_expansion_helper_string needs the name of an existing map, and the name is empty!";

// The pointer-keyed map: a name that is no number (invalid_argument) or too large a number
// (out_of_range), a name of a map of an earlier process (runtime_error), an offset past 64 bits
// (out_of_range), an operation on a destroyed map (runtime_error), and a use from a key comparison
// inside one of its bucket locks (runtime_error).
inline constexpr char pointer_invalid_name[] = "invalid stoll argument";
inline constexpr char pointer_name_out_of_range[] = "stoll argument out of range";
inline constexpr char pointer_stale_name[] = "old quillmoor is impossible to open!";
inline constexpr char pointer_offset_overflow[] = "offset overflow!";
inline constexpr char pointer_destroyed[] = "the map has been destroyed!";
inline constexpr char pointer_reentry[] =
    "a pointer-keyed map cannot be used from a key comparison that holds one of its bucket locks!";

}  // namespace corvana::map_texts
