// A compiled patch played live: the engine the audio backend's thread calls
// once per block, and the thread that keeps what it computed.
//
// Three threads meet here, and own different things while a stream runs:
// - the audio thread (the backend's) owns the patch, its instances, the
//   held control values and the block buffers. It calls `process`, which
//   never takes the interpreter lock, allocates, frees, locks, waits or
//   does I/O: everything it touches exists before `start()`.
// - the caller's thread (Python) sends control events through `events_in`
//   and reads the clock and the counters (atomics).
// - the keeper thread empties `applied_out` and `blocks_out` into growing
//   storage, under `store_mutex_`, and watches the backend for a failure.
// The queues between them are bounded and lock-free; a full one is counted,
// never waited on.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "blocks/audio.hpp"
#include "blocks/patch.hpp"
#include "blocks/spsc.hpp"

namespace vorda::blocks {

// A control's value: a double for a Sample input (what a Python float
// is), a count for a count input.
struct Held {
  double wide = 0.0;
  std::uint64_t count = 0;
};

// "From `time` on, input `input` holds `value`." `order` is the order in
// which events were set: events due at the same sample apply in it.
struct ControlEvent {
  std::uint64_t time = 0;
  std::uint64_t order = 0;
  int input = -1;
  Held value;
};
// The time of an event set with no `at`: the next block the audio thread computes.
inline constexpr std::uint64_t kNextBlock = UINT64_MAX;

// An event as it took effect: the sample time it applied at.
struct Applied {
  std::uint64_t time = 0;
  int input = -1;
  Held value;
};

struct StreamLayout {
  std::vector<int> channel_output;  // per playback channel: the patch output it plays
  std::vector<int> capture_of;      // per patch input: its capture channel, or -1 for a control
  int capture_channels = 0;
  double sample_rate = 48000.0;
  std::size_t blocksize = 64;
  bool record = false;
  bool protect = true;
};

struct StreamStats {
  std::uint64_t blocks = 0;  // callbacks computed
  std::uint64_t late = 0;    // callbacks that took longer than their period
  std::uint64_t xruns = 0;   // callbacks the backend flagged
  std::uint64_t protected_samples = 0;
  std::uint64_t dropped_blocks = 0;  // blocks the recording ring had no room for
  std::uint64_t lost_events = 0;     // applied events the keeper had no room for
  std::uint64_t refused_events = 0;  // events set while the queue was full
  double load_mean = 0.0;            // callback time over the time it had
  double load_peak = 0.0;
  double callback_seconds = 0.0;  // inside the callback, in all
  double run_seconds = 0.0;       // of which running the patch
};

// What the keeper has stored of the current (or last) run.
struct Store {
  std::vector<std::vector<float>> narrow;    // per playback channel, if its output is float32
  std::vector<std::vector<double>> wide;     // per playback channel, if float64
  std::vector<std::vector<float>> captured;  // per patch input that takes audio
  std::vector<Applied> applied;
  std::size_t frames = 0;
};

class StreamEngine {
 public:
  // Opens the device (audio::Error); the patch must be compiled.
  StreamEngine(Patch& patch, BorrowFlag& patch_borrow, StreamLayout layout,
               const audio::Request& request);
  ~StreamEngine();
  StreamEngine(const StreamEngine&) = delete;
  StreamEngine& operator=(const StreamEngine&) = delete;

  // The caller's side. `start` returns false, having started nothing, if
  // the patch or an instance is borrowed elsewhere; audio::Error if the
  // backend refuses. `stop` may find the stream already stopped by a
  // failure (then `failure()` says why).
  bool start(const std::vector<ControlEvent>& queued);
  void stop();
  // Stops and lets the device go; what was stored stays readable.
  void close();
  bool closed() const { return device_ == nullptr; }
  bool started() const { return started_; }
  bool running() const { return running_.load(std::memory_order_acquire); }
  std::optional<std::string> failure() const;
  std::uint64_t time() const { return time_.load(std::memory_order_acquire); }
  // False if the queue is full (counted).
  bool send(const ControlEvent& event);
  std::uint64_t next_order() { return order_++; }
  // The held values: while stopped, to read or set; `at_start` as the last
  // start found them.
  std::vector<Held>& held() { return held_; }
  const std::vector<Held>& held_at_start() const { return held_at_start_; }
  StreamStats stats() const;
  double latency() const { return latency_; }
  bool has_started() const { return ever_started_; }
  const std::string& backend() const { return backend_; }
  const std::string& device_name() const { return device_name_; }
  const StreamLayout& layout() const { return layout_; }
  const Patch& patch() const { return patch_; }
  std::size_t queue_capacity() const { return events_in_.capacity(); }

  // `read` sees the store under the keeper's lock; it must not call back
  // into Python (a collection there could reach this stream again).
  template <class F>
  void with_store(F&& read) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    read(static_cast<const Store&>(store_));
  }

 private:
  static void process(void* engine, const float* const* capture, float* const* playback,
                      std::size_t frames, bool xrun) noexcept;
  std::uint64_t compute(const float* const* capture, float* const* playback, std::size_t offset,
                        std::size_t n) noexcept;
  void take_events(std::uint64_t block_start) noexcept;
  void apply_due(std::uint64_t now) noexcept;
  std::uint64_t run_piece(const float* const* capture, std::size_t offset, std::size_t at,
                          std::size_t n) noexcept;
  void play(float* const* playback, std::size_t offset, std::size_t n) noexcept;
  void keep(const float* const* capture, std::size_t offset, std::size_t n) noexcept;
  void count_callback(std::uint64_t elapsed_ns, std::uint64_t run_ns, std::size_t frames,
                      bool xrun) noexcept;

  static void* keeper_main(void* engine);
  void keeper_loop();
  void drain();
  void append(const unsigned char* slot);
  void fail(const std::string& why);
  bool take_borrows();
  void release_borrows();
  void reset_for_start();

  Patch& patch_;
  BorrowFlag& patch_borrow_;
  StreamLayout layout_;
  std::unique_ptr<audio::DeviceStream> device_;

  // Owned by the audio thread while running.
  RunData run_;
  std::vector<Held> held_;
  std::vector<std::unique_ptr<unsigned char[]>> out_;  // per patch output, a block of it
  std::unique_ptr<ControlEvent[]> pending_;            // a heap, soonest first
  std::size_t pending_size_ = 0;
  std::vector<std::size_t> track_at_, capture_at_;  // offsets in a recording slot
  std::vector<int> captured_inputs_;                // the patch inputs that take audio

  // Between the threads.
  Spsc<ControlEvent> events_in_;
  Spsc<Applied> applied_out_;
  std::optional<SlotRing> blocks_out_;
  std::atomic<std::uint64_t> time_{0};
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> quit_{false};
  struct Counters {
    std::atomic<std::uint64_t> blocks{0}, late{0}, xruns{0}, protected_samples{0},
        dropped_blocks{0}, lost_events{0}, refused_events{0}, callback_ns{0}, run_ns{0}, frames{0};
    std::atomic<double> peak_load{0.0};
  } counters_;

  // The caller's side.
  bool started_ = false;
  std::uint64_t order_ = 0;
  std::vector<Held> held_at_start_;
  std::vector<BorrowFlag*> borrows_;
  double latency_ = 0.0;
  bool ever_started_ = false;
  std::string backend_, device_name_;

  // The keeper's (a thread of its own, not std::thread: see glibc_versions.hpp).
  pthread_t keeper_{};
  std::mutex store_mutex_;
  Store store_;
  mutable std::mutex failure_mutex_;
  std::optional<std::string> failure_;
};

}  // namespace vorda::blocks
