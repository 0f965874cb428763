// A bucket's version: how a get reads a bucket without taking its lock. Private to the map layer.
//
// The holder of a bucket's lock makes the version odd before its first store to the bucket's pages
// (a page the bucket names, its slack, an entry's fields word, the word that publishes a new page)
// and even again, one higher, after its last one (the give-back of what the change replaced
// included). So while the version stays one even value, every page the bucket names, and every
// string chunk they name, holds still: a chunk leaves the bucket only by a change, and only then can
// anyone else reuse it.
//
// A reader without the lock (an optimistic get) reads the version and the lock word, reads the
// bucket, and reads both again: the read stands only when the lock was free and the version even
// both times, and the version did not change. Anything read before that is a guess: an Offset or a
// length may be torn or point into a chunk that was freed and reused meanwhile, so the reader
// follows nothing that the checked readers of entry_pages.hpp do not check (every chunk a slab
// chunk of the heap, every entry within its page), treats their DamagedFile as a discarded read,
// looks at the version again after each page (so a torn chain of pages ends at the next page), and
// sizes nothing by a length before the version has vouched for it.
//
// A writer that dies between the two stores leaves the version odd with its lock held: readers go
// to the locked path, whose takeover repairs the bucket and makes the version even again.
#pragma once

#include <atomic>
#include <cstdint>

#include "map/map_records.hpp"

namespace corvana::map_layout {

[[nodiscard]] constexpr bool is_changing(std::uint64_t version) noexcept { return (version & 1) != 0; }

// Marks a bucket changing for the life of the object. Requires: the bucket's lock, held until after
// the object is gone. A version left odd by a dead holder stays odd until the end of this change
// (the repair's).
class BucketChange {
 public:
  explicit BucketChange(Bucket* bucket) noexcept : bucket_(bucket) {
    const std::atomic_ref<std::uint64_t> version = version_word(bucket_);
    // relaxed: only the lock's holder writes the version, and its lock orders it after the last one
    const std::uint64_t before = version.load(std::memory_order_relaxed);
    changing_ = before | 1;
    if (changing_ != before) {
      // relaxed: the fence below orders it before the change's stores
      version.store(changing_, std::memory_order_relaxed);
    }
    // release: a reader whose acquire fence follows a load that saw any later store of this change
    // then sees the odd version
    std::atomic_thread_fence(std::memory_order_release);
    crash_point("bucket.changing");
  }
  ~BucketChange() {
    // release: every store of the change happens before a reader's acquire load that finds the new
    // even version
    version_word(bucket_).store(changing_ + 1, std::memory_order_release);
  }
  BucketChange(const BucketChange&) = delete;
  BucketChange& operator=(const BucketChange&) = delete;

 private:
  Bucket* bucket_;
  std::uint64_t changing_;  // the odd version while the change lasts
};

// What a reader without the lock saw of a bucket before its read, and the test that the read stands.
class BucketRead {
 public:
  explicit BucketRead(Bucket* bucket) noexcept : bucket_(bucket) {
    // acquire: the stores of every change that ended at this version are visible to the reads
    version_ = version_word(bucket_).load(std::memory_order_acquire);
    // relaxed: only whether a holder is in the bucket now; the version orders the data
    is_open_ = !is_changing(version_) && lock_state_word(bucket_).load(std::memory_order_relaxed) == 0;
  }
  // Whether the bucket was free of changes (and of lock holders) when the read began.
  [[nodiscard]] bool is_open() const noexcept { return is_open_; }
  // Whether everything read since the constructor is what the bucket held at one moment.
  [[nodiscard]] bool holds() const noexcept {
    // acquire: a read above that saw a store of a change makes the version load below see that
    // change's odd version (or a later one)
    std::atomic_thread_fence(std::memory_order_acquire);
    // relaxed: ordered by the fence
    return version_word(bucket_).load(std::memory_order_relaxed) == version_ &&
           lock_state_word(bucket_).load(std::memory_order_relaxed) == 0;
  }

 private:
  Bucket* bucket_;
  std::uint64_t version_ = 0;
  bool is_open_ = false;
};

}  // namespace corvana::map_layout
