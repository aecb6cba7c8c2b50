// Bounded single-producer, single-consumer queues: how a stream's audio
// thread and the threads around it hand each other events and blocks
// without a lock. Neither side ever waits: a push into a full queue and a
// pop from an empty one fail at once, and the caller decides what that
// means (count it, try again on the next block).
//
// All memory is taken when the queue is made; push and pop only copy.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace vorda::blocks {

// Apart, so that the producer's and the consumer's counters do not share a
// cache line (each would otherwise evict the other's on every write).
inline constexpr std::size_t kCacheLine = 64;

inline std::size_t power_of_two_at_least(std::size_t n) {
  std::size_t size = 1;
  while (size < n) size <<= 1;
  return size;
}

// Counters that run freely (they wrap after 2^64 operations, never in
// practice); the slot of count i is i & mask.
class SpscCounters {
 public:
  explicit SpscCounters(std::size_t capacity) : mask_(power_of_two_at_least(capacity) - 1) {}

  std::size_t capacity() const { return mask_ + 1; }
  std::size_t mask() const { return mask_; }

  // Producer side: the slot to fill next, or false if the queue is full.
  bool writable(std::uint64_t& slot) const {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) > mask_) return false;
    slot = head & mask_;
    return true;
  }
  void written() {
    head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }

  // Consumer side: the slot to read next, or false if the queue is empty.
  bool readable(std::uint64_t& slot) const {
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (head_.load(std::memory_order_acquire) == tail) return false;
    slot = tail & mask_;
    return true;
  }
  void read() { tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

  // Only while neither side runs.
  void clear() {
    head_.store(0, std::memory_order_relaxed);
    tail_.store(0, std::memory_order_relaxed);
  }

 private:
  std::size_t mask_;
  alignas(kCacheLine) std::atomic<std::uint64_t> head_{0};
  alignas(kCacheLine) std::atomic<std::uint64_t> tail_{0};
};

// A queue of trivially copyable items.
template <class T>
class Spsc {
 public:
  explicit Spsc(std::size_t capacity)
      : counters_(capacity), items_(std::make_unique<T[]>(counters_.capacity())) {}

  std::size_t capacity() const { return counters_.capacity(); }

  bool push(const T& item) {
    std::uint64_t slot;
    if (!counters_.writable(slot)) return false;
    items_[slot] = item;
    counters_.written();
    return true;
  }

  bool pop(T& item) {
    std::uint64_t slot;
    if (!counters_.readable(slot)) return false;
    item = items_[slot];
    counters_.read();
    return true;
  }

  void clear() { counters_.clear(); }

 private:
  SpscCounters counters_;
  std::unique_ptr<T[]> items_;
};

// A queue of fixed-size byte slots, filled and read in place: a block of
// samples is written straight into the ring, not copied through a T.
class SlotRing {
 public:
  SlotRing(std::size_t slots, std::size_t slot_bytes)
      : counters_(slots),
        slot_bytes_(round_up(slot_bytes)),
        bytes_(
            new (std::align_val_t{kCacheLine}) unsigned char[counters_.capacity() * slot_bytes_]) {}

  std::size_t slot_bytes() const { return slot_bytes_; }
  std::size_t slots() const { return counters_.capacity(); }

  // Producer: a slot to fill, then `commit()`; nullptr if the ring is full.
  unsigned char* claim() {
    std::uint64_t slot;
    return counters_.writable(slot) ? bytes_.get() + slot * slot_bytes_ : nullptr;
  }
  void commit() { counters_.written(); }

  // Consumer: the oldest filled slot, then `release()`; nullptr if empty.
  const unsigned char* peek() const {
    std::uint64_t slot;
    return counters_.readable(slot) ? bytes_.get() + slot * slot_bytes_ : nullptr;
  }
  void release() { counters_.read(); }

  void clear() { counters_.clear(); }

 private:
  static std::size_t round_up(std::size_t bytes) {
    return (bytes + kCacheLine - 1) / kCacheLine * kCacheLine;
  }
  struct Free {
    void operator()(unsigned char* p) const {
      ::operator delete[](p, std::align_val_t{kCacheLine});
    }
  };

  SpscCounters counters_;
  std::size_t slot_bytes_;
  std::unique_ptr<unsigned char[], Free> bytes_;
};

}  // namespace vorda::blocks
