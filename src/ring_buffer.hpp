// Delay memory: the power-of-two sample ring that every delay-based
// processor owns, and the ring buffers exposed to Python.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "panic.hpp"
#include "sample.hpp"

namespace vorda {

// A circular array of Samples whose length is a power of two, so that every
// wrap is one AND with `mask`. Reading at delay k returns the sample written
// k writes ago for 1 <= k <= size; delay 0 (or any multiple of size) returns
// the oldest slot, the one the next write replaces.
class SampleRing {
 public:
  // Holds at least `requested` samples (at least one), all 0.0. Panics with
  // "capacity overflow" for 2^61 slots or more; throws OutOfMemory if the
  // memory cannot be had.
  explicit SampleRing(std::uint64_t requested) {
    std::uint64_t slots = next_power_of_two(requested);
    // Beyond 2^61 slots the byte count no longer fits a signed size; a size
    // that wrapped to 0 would leave a ring on which every call panics, so it
    // is refused here as well.
    if (slots == 0 || slots >= (std::uint64_t{1} << 61)) panic("capacity overflow");
    // calloc: the zeros of a large buffer are not touched up front.
    buffer_.reset(static_cast<Sample*>(std::calloc(slots, sizeof(Sample))));
    if (!buffer_) throw OutOfMemory{slots};
    mask_ = slots - 1;
  }

  explicit SampleRing(Blank) : mask_(0) {}

  std::uint64_t size() const { return mask_ + 1; }

  // The smallest power of two >= n (1 for n <= 1); 0 when it needs 65 bits.
  static std::uint64_t next_power_of_two(std::uint64_t n) {
    if (n <= 1) return 1;
    return (~std::uint64_t{0} >> std::countl_zero(n - 1)) + 1;
  }

  // For snapshots: the slots in memory order and the write position, and a
  // new set of `slots` slots (a power of two, left for the caller to fill
  // every one). Throws OutOfMemory.
  const Sample* contents() const { return buffer_.get(); }
  std::uint64_t write_position() const { return write_pos_; }
  Sample* replace(std::uint64_t slots, std::uint64_t write_pos) {
    buffer_.reset(static_cast<Sample*>(std::malloc(slots * sizeof(Sample))));
    if (!buffer_) throw OutOfMemory{slots};
    mask_ = slots - 1;
    write_pos_ = write_pos;
    return buffer_.get();
  }

  // `ahead` reads as if that many writes had been made since: a run of steps
  // can take all its reads before any of its writes, as long as no read
  // reaches a slot the run writes (see `reach`). The per-sample read is the
  // same formula at ahead 0.
  Sample read(std::uint64_t delay, std::uint64_t ahead = 0) const {
    std::uint64_t index = (write_pos_ + ahead - delay) & mask_;
    check_index(index, size());
    return buffer_[index];
  }

  // A delay in samples split into its whole part and its fraction: what a
  // run of interpolated reads at one delay can work out once.
  struct Split {
    std::uint64_t whole;
    Sample frac;
  };
  static Split split(Sample delay) {
    std::uint64_t whole = saturating_count(floorf(delay));
    return {whole, delay - static_cast<Sample>(whole)};
  }

  // Linear interpolation at a delay of `delay` samples (not clamped: below 0
  // it extrapolates from the oldest and the newest slot). The older slot
  // gets the weight of the fraction.
  Sample read_interpolated(Split delay, std::uint64_t ahead) const {
    std::uint64_t index0 = (write_pos_ + ahead - delay.whole) & mask_;
    check_index(index0, size());
    std::uint64_t index1 = (index0 - 1) & mask_;
    check_index(index1, size());
    return blend(buffer_[index0], buffer_[index1], delay.frac);
  }
  static Sample blend(Sample newer, Sample older, Sample frac) {
    return (1.0f - frac) * newer + frac * older;
  }

  // Spans: `n` reads of consecutive positions, or `n` writes, at once, each
  // element what the read or write one at a time gives. The slots of a span
  // are runs of adjacent memory (a span wraps at most where the ring does),
  // so each run is one plain loop, which the compiler vectorizes. A span of
  // reads must not reach what it would have written itself (reach() >= n).
  template <class Out>
  void read_span(std::uint64_t delay, std::uint64_t ahead, std::size_t n, Out* out) const {
    for_each_run(write_pos_ + ahead - delay, n,
                 [&](std::size_t at, std::uint64_t slot, std::size_t count) {
                   const Sample* __restrict from = buffer_.get() + slot;
                   Out* __restrict to = out + at;
                   for (std::size_t i = 0; i < count; ++i) to[i] = from[i];
                 });
  }
  template <class Out>
  void read_span(Split delay, std::uint64_t ahead, std::size_t n, Out* out) const {
    const Sample* memory = buffer_.get();
    for_each_run(write_pos_ + ahead - delay.whole, n,
                 [&](std::size_t at, std::uint64_t slot, std::size_t count) {
                   std::size_t i = 0;
                   if (slot == 0) {  // its older neighbour is the last slot
                     out[at] = blend(memory[0], memory[mask_], delay.frac);
                     i = 1;
                   }
                   const Sample* __restrict newer = memory + slot;
                   const Sample* __restrict older = memory + slot - 1;
                   Out* __restrict to = out + at;
                   for (; i < count; ++i) to[i] = blend(newer[i], older[i], delay.frac);
                 });
  }
  void write_span(const Sample* values, std::size_t n) {
    Sample* memory = buffer_.get();
    for_each_run(write_pos_, n, [&](std::size_t at, std::uint64_t slot, std::size_t count) {
      std::copy(values + at, values + at + count, memory + slot);
    });
    write_pos_ = (write_pos_ + n) & mask_;
  }

  // Writes are always inlined: GCC would leave a ring's write, two
  // forwarding calls down from a step, out of a loop that writes every sample.
  [[gnu::always_inline]] void write(Sample xn) {
    check_index(write_pos_, size());
    buffer_[write_pos_] = xn;
    write_pos_ = (write_pos_ + 1) & mask_;
  }

  // The slots of `n` consecutive positions from `first` on (mod size), as
  // runs of adjacent slots: visit(offset in the span, first slot, count).
  template <class Visit>
  void for_each_run(std::uint64_t first, std::size_t n, Visit visit) const {
    std::uint64_t slot = first & mask_;
    for (std::size_t done = 0; done < n;) {
      const std::size_t count =
          static_cast<std::size_t>(std::min<std::uint64_t>(n - done, size() - slot));
      visit(done, slot, count);
      done += count;
      slot = 0;
    }
  }

  // How far back a read `back` places behind the write position reaches, in
  // writes, seen before the next write: from 1 (the newest sample) to size()
  // (the oldest, which a delay of 0 or of size() reaches: it wraps).
  std::uint64_t reach(std::uint64_t back) const { return ((back - 1) & mask_) + 1; }

 private:
  struct Release {
    void operator()(Sample* memory) const { std::free(memory); }
  };
  std::unique_ptr<Sample[], Release> buffer_;
  std::uint64_t write_pos_ = 0;
  std::uint64_t mask_;
};

// How a delay in samples becomes a read of the ring: whole samples, a
// fractional delay truncated, or one interpolated. `prepare` does what a run
// of reads at one delay can do once (a span of reads takes what it
// prepares: SampleRing::read_span); `reach` says how many writes back the
// read reaches (SampleRing::reach).
struct Whole {
  using Prepared = std::uint64_t;
  static Prepared prepare(std::uint64_t delay) { return delay; }
  static Sample read(const SampleRing& ring, Prepared delay, std::uint64_t ahead) {
    return ring.read(delay, ahead);
  }
  static std::uint64_t reach(const SampleRing& ring, Prepared delay) { return ring.reach(delay); }
};

// A delay in samples, possibly fractional, read at its whole part.
struct Truncating : Whole {
  static Prepared prepare(Sample delay) { return saturating_count(floorf(delay)); }
};

struct Interpolating {
  using Prepared = SampleRing::Split;
  static Prepared prepare(Sample delay) { return SampleRing::split(delay); }
  static Sample read(const SampleRing& ring, Prepared delay, std::uint64_t ahead) {
    return ring.read_interpolated(delay, ahead);
  }
  // The two neighbouring slots; the second is one further back (mod 2^64,
  // as the read computes it).
  static std::uint64_t reach(const SampleRing& ring, Prepared delay) {
    std::uint64_t newer = ring.reach(delay.whole), older = ring.reach(delay.whole + 1);
    return newer < older ? newer : older;
  }
};

// A ring addressed in whole samples, sized from a maximum delay in samples.
class RingBufferS {
 public:
  using Delay = std::uint64_t;
  using Reader = Whole;

  explicit RingBufferS(std::uint64_t max_delay_samp)
      : ring_(max_delay_samp), max_delay_samp_(max_delay_samp) {}
  explicit RingBufferS(Blank blank) : ring_(blank), max_delay_samp_(0) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    visit(self.max_delay_samp_);
    visit(self.ring_);
  }
  bool consistent() const {
    return ring_.size() == SampleRing::next_power_of_two(max_delay_samp_) &&
           ring_.size() < (std::uint64_t{1} << 61);
  }

  Sample read(std::uint64_t delay_samp) const {
    return Reader::read(ring_, prepare(delay_samp), 0);
  }
  [[gnu::always_inline]] void write(Sample xn) { ring_.write(xn); }
  std::uint64_t max_delay_samp() const { return max_delay_samp_; }

  // What a read at `delay_samp` reads, worked out once for any number of
  // reads at that delay, and the memory it reads.
  std::uint64_t prepare(std::uint64_t delay_samp) const { return delay_samp; }
  const SampleRing& memory() const { return ring_; }
  void write_span(const Sample* values, std::size_t n) { ring_.write_span(values, n); }

 private:
  SampleRing ring_;
  std::uint64_t max_delay_samp_;  // as requested, not the power-of-two size
};

// The ring length for a maximum delay in seconds. Panics unless both are
// greater than 0 (NaN included), sample rate first.
inline std::uint64_t samples_for(Sample sample_rate, Sample max_delay_sec) {
  checked_sample_rate(sample_rate);
  check(max_delay_sec > 0.0f, "max_delay_sec > 0.0");
  // The product is rounded to a Sample before it is rounded up, so sizes at
  // power-of-two boundaries follow the single-precision value.
  Sample samples = sample_rate * max_delay_sec;
  return saturating_count(ceilf(samples));
}

// A ring addressed in seconds; `Reader` decides what a fractional delay reads.
template <class ReadPolicy>
class TimedRingBuffer {
 public:
  using Delay = Sample;
  using Reader = ReadPolicy;

  TimedRingBuffer(Sample sample_rate, Sample max_delay_sec)
      : ring_(samples_for(sample_rate, max_delay_sec)),
        sample_rate_(sample_rate),
        max_delay_sec_(max_delay_sec) {}
  explicit TimedRingBuffer(Blank blank) : ring_(blank), sample_rate_(0), max_delay_sec_(0) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    visit(self.sample_rate_);
    visit(self.max_delay_sec_);
    visit(self.ring_);
  }
  bool consistent() const {
    if (!(sample_rate_ > 0.0f) || !(max_delay_sec_ > 0.0f)) return false;
    std::uint64_t slots = SampleRing::next_power_of_two(samples_for(sample_rate_, max_delay_sec_));
    return ring_.size() == slots && slots < (std::uint64_t{1} << 61);
  }

  Sample read(Sample delay_sec) const { return Reader::read(ring_, prepare(delay_sec), 0); }
  [[gnu::always_inline]] void write(Sample xn) { ring_.write(xn); }
  Sample sample_rate() const { return sample_rate_; }
  Sample max_delay_sec() const { return max_delay_sec_; }

  typename Reader::Prepared prepare(Sample delay_sec) const {
    return Reader::prepare(delay_sec * sample_rate_);
  }
  const SampleRing& memory() const { return ring_; }
  void write_span(const Sample* values, std::size_t n) { ring_.write_span(values, n); }

 private:
  SampleRing ring_;
  Sample sample_rate_;
  Sample max_delay_sec_;
};

using RingBufferN = TimedRingBuffer<Truncating>;
using RingBufferL = TimedRingBuffer<Interpolating>;

}  // namespace vorda
