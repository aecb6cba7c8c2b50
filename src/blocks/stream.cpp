// The live engine: what the audio thread does once per block, and the
// keeper thread that stores what it computed.
//
// A block is split at the samples where control events land, and each
// piece runs the compiled patch with the controls as constants. A patch run
// in pieces gives the bits of one run, so the block equals the offline run
// over arrays of the held values: that is what makes a recording bounce
// bit for bit.
#include "blocks/stream.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <system_error>
#include <thread>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace vorda::blocks {
namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t nanoseconds(Clock::duration d) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

// Events in the inbox and in the pending heap, each at most.
constexpr std::size_t kQueue = 4096;
// The recording ring holds about this many seconds of blocks.
constexpr double kRingSeconds = 2.0;
// How often the keeper looks at the queues and the backend.
constexpr auto kKeeperPeriod = std::chrono::milliseconds(2);

// A min-heap on (time, order): soonest first, then in the order set.
bool later(const ControlEvent& a, const ControlEvent& b) {
  return a.time != b.time ? a.time > b.time : a.order > b.order;
}

// The audio thread belongs to the backend, which may have set the
// floating-point environment to its taste (flush-to-zero, another
// rounding). The patch must compute here what it computes offline: IEEE
// arithmetic, nearest rounding, subnormals kept.
class IeeeArithmetic {
 public:
#if defined(__SSE__)
  IeeeArithmetic() : saved_(_mm_getcsr()) { _mm_setcsr(0x1F80); }
  ~IeeeArithmetic() { _mm_setcsr(saved_); }

 private:
  unsigned saved_;
#elif defined(__aarch64__)
  IeeeArithmetic() : saved_(__builtin_aarch64_get_fpcr64()) { __builtin_aarch64_set_fpcr64(0); }
  ~IeeeArithmetic() { __builtin_aarch64_set_fpcr64(saved_); }

 private:
  unsigned long long saved_;
#else
  IeeeArithmetic() {}  // the platform's default is kept
#endif
};

template <class T>
void add(std::atomic<T>& counter, T amount) {
  // One writer (the audio thread); readers only load.
  counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

// NaN and infinities become 0, the rest is clipped to [-1, 1].
template <class T>
float protect(T value, std::uint64_t& changed) {
  if (!std::isfinite(value)) {
    ++changed;
    return 0.0f;
  }
  if (value > T(1)) {
    ++changed;
    return 1.0f;
  }
  if (value < T(-1)) {
    ++changed;
    return -1.0f;
  }
  return static_cast<float>(value);
}

template <class T>
void play_channel(const T* from, float* to, std::size_t n, bool guard, std::uint64_t& changed) {
  if (guard)
    for (std::size_t t = 0; t < n; ++t) to[t] = protect(from[t], changed);
  else
    for (std::size_t t = 0; t < n; ++t) to[t] = static_cast<float>(from[t]);
}

}  // namespace

StreamEngine::StreamEngine(Patch& patch, BorrowFlag& patch_borrow, StreamLayout layout,
                           const audio::Request& request)
    : patch_(patch),
      patch_borrow_(patch_borrow),
      layout_(std::move(layout)),
      pending_(std::make_unique<ControlEvent[]>(kQueue)),
      events_in_(kQueue),
      applied_out_(kQueue) {
  const std::size_t block = layout_.blocksize;
  const std::size_t inputs = patch_.inputs.size();
  run_.inputs.assign(inputs, Arg{});
  run_.float32.assign(inputs, false);
  held_.assign(inputs, Held{});
  for (std::size_t i = 0; i < inputs; ++i) {
    if (layout_.capture_of[i] < 0) continue;
    run_.float32[i] = true;  // captured audio arrives as float32, as a float32 array would
    captured_inputs_.push_back(static_cast<int>(i));
  }
  for (const OutputInfo& output : patch_.outputs)
    out_.push_back(std::make_unique<unsigned char[]>(block * (output.wide ? 8 : 4)));
  run_.outputs.assign(patch_.outputs.size(), nullptr);

  // A recording slot: the frame count, each channel's block, each capture's.
  std::size_t at = sizeof(std::uint64_t);
  for (int o : layout_.channel_output) {
    track_at_.push_back(at);
    at += block * (patch_.outputs[static_cast<std::size_t>(o)].wide ? 8 : 4);
  }
  for (std::size_t k = 0; k < captured_inputs_.size(); ++k) {
    capture_at_.push_back(at);
    at += block * sizeof(float);
  }
  if (layout_.record) {
    const double blocks = kRingSeconds * layout_.sample_rate / static_cast<double>(block);
    blocks_out_.emplace(std::max<std::size_t>(64, static_cast<std::size_t>(blocks)), at);
  }
  store_.narrow.resize(layout_.channel_output.size());
  store_.wide.resize(layout_.channel_output.size());
  store_.captured.resize(captured_inputs_.size());

  borrows_.push_back(&patch_borrow_);
  for (BorrowFlag* flag : patch_.schedule->borrows) borrows_.push_back(flag);
  device_ = audio::open(request, &StreamEngine::process, this);
  backend_ = device_->backend;
  device_name_ = device_->device;
}

StreamEngine::~StreamEngine() {
  close();
}

void StreamEngine::close() {
  stop();
  device_.reset();
}

// --- The audio thread -----------------------------------------------------------------

void StreamEngine::process(void* engine, const float* const* capture, float* const* playback,
                           std::size_t frames, bool xrun) noexcept {
  auto& self = *static_cast<StreamEngine*>(engine);
  IeeeArithmetic ieee;
  const Clock::time_point begin = Clock::now();
  std::uint64_t run_ns = 0;
  // The backend's period is the block size; should it ever change, the
  // buffers still take it a block at a time.
  for (std::size_t offset = 0; offset < frames; offset += self.layout_.blocksize) {
    const std::size_t n = std::min(self.layout_.blocksize, frames - offset);
    run_ns += self.compute(capture, playback, offset, n);
  }
  self.count_callback(nanoseconds(Clock::now() - begin), run_ns, frames, xrun);
}

std::uint64_t StreamEngine::compute(const float* const* capture, float* const* playback,
                                    std::size_t offset, std::size_t n) noexcept {
  const std::uint64_t start = time_.load(std::memory_order_relaxed);
  take_events(start);
  std::uint64_t run_ns = 0;
  std::size_t at = 0;
  while (at < n) {
    apply_due(start + at);
    std::size_t end = n;
    if (pending_size_ > 0 && pending_[0].time < start + n)
      end = static_cast<std::size_t>(pending_[0].time - start);
    run_ns += run_piece(capture, offset, at, end - at);
    at = end;
  }
  play(playback, offset, n);
  keep(capture, offset, n);
  time_.store(start + n, std::memory_order_release);
  return run_ns;
}

// From the inbox into the heap, as long as it has room; an event whose
// time has passed (or that has none) lands at this block's start.
void StreamEngine::take_events(std::uint64_t block_start) noexcept {
  ControlEvent event;
  while (pending_size_ < kQueue && events_in_.pop(event)) {
    if (event.time == kNextBlock || event.time < block_start) event.time = block_start;
    pending_[pending_size_++] = event;
    std::push_heap(pending_.get(), pending_.get() + pending_size_, later);
  }
}

void StreamEngine::apply_due(std::uint64_t now) noexcept {
  while (pending_size_ > 0 && pending_[0].time <= now) {
    std::pop_heap(pending_.get(), pending_.get() + pending_size_, later);
    const ControlEvent& event = pending_[--pending_size_];
    held_[static_cast<std::size_t>(event.input)] = event.value;
    if (!applied_out_.push(Applied{now, event.input, event.value}))
      add<std::uint64_t>(counters_.lost_events, 1);
  }
}

// Runs the patch over one piece; returns how long that took, the "bare
// run" the callback's time is measured against.
std::uint64_t StreamEngine::run_piece(const float* const* capture, std::size_t offset,
                                      std::size_t at, std::size_t n) noexcept {
  for (std::size_t i = 0; i < run_.inputs.size(); ++i) {
    Arg& arg = run_.inputs[i];
    const int channel = layout_.capture_of[i];
    if (channel < 0) {
      arg.constant = true;
      arg.wide = held_[i].wide;
      arg.count = held_[i].count;
    } else {
      arg.constant = false;
      arg.data = capture[channel] + offset + at;
    }
  }
  for (std::size_t o = 0; o < out_.size(); ++o)
    run_.outputs[o] = out_[o].get() + at * (patch_.outputs[o].wide ? 8 : 4);
  run_.n = n;
  const Clock::time_point before = Clock::now();
  execute(patch_, run_);
  return nanoseconds(Clock::now() - before);
}

void StreamEngine::play(float* const* playback, std::size_t offset, std::size_t n) noexcept {
  std::uint64_t changed = 0;
  for (std::size_t k = 0; k < layout_.channel_output.size(); ++k) {
    const auto o = static_cast<std::size_t>(layout_.channel_output[k]);
    float* to = playback[k] + offset;
    if (patch_.outputs[o].wide)
      play_channel(reinterpret_cast<const double*>(out_[o].get()), to, n, layout_.protect, changed);
    else
      play_channel(reinterpret_cast<const float*>(out_[o].get()), to, n, layout_.protect, changed);
  }
  if (changed > 0) add(counters_.protected_samples, changed);
}

// The block as computed (before protection) and as captured, into the
// recording ring; if it is full, the block is counted and left out.
void StreamEngine::keep(const float* const* capture, std::size_t offset, std::size_t n) noexcept {
  if (!blocks_out_) return;
  unsigned char* slot = blocks_out_->claim();
  if (slot == nullptr) {
    add<std::uint64_t>(counters_.dropped_blocks, 1);
    return;
  }
  const std::uint64_t frames = n;
  std::memcpy(slot, &frames, sizeof frames);
  for (std::size_t k = 0; k < track_at_.size(); ++k) {
    const auto o = static_cast<std::size_t>(layout_.channel_output[k]);
    std::memcpy(slot + track_at_[k], out_[o].get(), n * (patch_.outputs[o].wide ? 8 : 4));
  }
  for (std::size_t j = 0; j < capture_at_.size(); ++j) {
    const int channel = layout_.capture_of[static_cast<std::size_t>(captured_inputs_[j])];
    std::memcpy(slot + capture_at_[j], capture[channel] + offset, n * sizeof(float));
  }
  blocks_out_->commit();
}

void StreamEngine::count_callback(std::uint64_t elapsed_ns, std::uint64_t run_ns,
                                  std::size_t frames, bool xrun) noexcept {
  const double period_ns = static_cast<double>(frames) * 1e9 / layout_.sample_rate;
  const double load = static_cast<double>(elapsed_ns) / period_ns;
  add<std::uint64_t>(counters_.blocks, 1);
  if (load > 1.0) add<std::uint64_t>(counters_.late, 1);
  if (xrun) add<std::uint64_t>(counters_.xruns, 1);
  add(counters_.callback_ns, elapsed_ns);
  add(counters_.run_ns, run_ns);
  add<std::uint64_t>(counters_.frames, frames);
  if (load > counters_.peak_load.load(std::memory_order_relaxed))
    counters_.peak_load.store(load, std::memory_order_relaxed);
}

// --- The caller's side ----------------------------------------------------------------

bool StreamEngine::take_borrows() {
  for (std::size_t k = 0; k < borrows_.size(); ++k) {
    std::uintptr_t expected = 0;
    if (borrows_[k]->compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed))
      continue;
    while (k-- > 0) borrows_[k]->store(0, std::memory_order_release);
    return false;
  }
  return true;
}

void StreamEngine::release_borrows() {
  for (BorrowFlag* flag : borrows_) flag->store(0, std::memory_order_release);
}

void StreamEngine::reset_for_start() {
  events_in_.clear();
  applied_out_.clear();
  if (blocks_out_) blocks_out_->clear();
  pending_size_ = 0;
  time_.store(0, std::memory_order_relaxed);
  for (auto* counter :
       {&counters_.blocks, &counters_.late, &counters_.xruns, &counters_.protected_samples,
        &counters_.dropped_blocks, &counters_.lost_events, &counters_.refused_events,
        &counters_.callback_ns, &counters_.run_ns, &counters_.frames})
    counter->store(0, std::memory_order_relaxed);
  counters_.peak_load.store(0.0, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(store_mutex_);
  for (auto& track : store_.narrow) track.clear();
  for (auto& track : store_.wide) track.clear();
  for (auto& track : store_.captured) track.clear();
  store_.applied.clear();
  store_.frames = 0;
  held_at_start_ = held_;
}

bool StreamEngine::start(const std::vector<ControlEvent>& queued) {
  if (started_ || closed()) return true;
  if (!take_borrows()) return false;
  reset_for_start();
  for (const ControlEvent& event : queued) events_in_.push(event);
  {
    std::lock_guard<std::mutex> lock(failure_mutex_);
    failure_.reset();
  }
  stopping_.store(false, std::memory_order_relaxed);
  quit_.store(false, std::memory_order_relaxed);
  running_.store(true, std::memory_order_release);
  started_ = true;
  {
    audio::SignalsBlocked blocked;
    if (const int error = pthread_create(&keeper_, nullptr, &StreamEngine::keeper_main, this)) {
      running_.store(false, std::memory_order_release);
      started_ = false;
      release_borrows();
      throw std::system_error(error, std::generic_category(), "the stream's keeper");
    }
  }
  try {
    device_->start();
  } catch (...) {
    stop();
    throw;
  }
  latency_ = device_->latency();
  ever_started_ = true;
  return true;
}

void StreamEngine::stop() {
  if (!started_) return;
  // Whoever stops the device (here, or the keeper on a failure) releases
  // the borrows, once the audio thread has left the patch for good.
  const bool stopping_here = !stopping_.exchange(true);
  if (stopping_here) device_->stop();
  quit_.store(true, std::memory_order_release);
  pthread_join(keeper_, nullptr);
  if (stopping_here) release_borrows();
  running_.store(false, std::memory_order_release);
  started_ = false;
}

bool StreamEngine::send(const ControlEvent& event) {
  if (events_in_.push(event)) return true;
  counters_.refused_events.fetch_add(1, std::memory_order_relaxed);
  return false;
}

std::optional<std::string> StreamEngine::failure() const {
  std::lock_guard<std::mutex> lock(failure_mutex_);
  return failure_;
}

StreamStats StreamEngine::stats() const {
  auto get = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
  StreamStats s;
  s.blocks = get(counters_.blocks);
  s.late = get(counters_.late);
  s.xruns = get(counters_.xruns);
  s.protected_samples = get(counters_.protected_samples);
  s.dropped_blocks = get(counters_.dropped_blocks);
  s.lost_events = get(counters_.lost_events);
  s.refused_events = get(counters_.refused_events);
  s.callback_seconds = static_cast<double>(get(counters_.callback_ns)) * 1e-9;
  s.run_seconds = static_cast<double>(get(counters_.run_ns)) * 1e-9;
  const double played = static_cast<double>(get(counters_.frames)) / layout_.sample_rate;
  s.load_mean = played > 0.0 ? s.callback_seconds / played : 0.0;
  s.load_peak = counters_.peak_load.load(std::memory_order_relaxed);
  return s;
}

// --- The keeper thread ----------------------------------------------------------------

void* StreamEngine::keeper_main(void* engine) {
  static_cast<StreamEngine*>(engine)->keeper_loop();
  return nullptr;
}

void StreamEngine::keeper_loop() {
  while (!quit_.load(std::memory_order_acquire)) {
    drain();
    if (!stopping_.load(std::memory_order_acquire) && device_->failed()) {
      fail(device_->failure());
      break;
    }
    std::this_thread::sleep_for(kKeeperPeriod);
  }
  drain();
}

// The failure is made known last: whoever sees it finds the stream stopped
// and the patch free.
void StreamEngine::fail(const std::string& why) {
  if (!stopping_.exchange(true)) {
    device_->stop();
    drain();
    release_borrows();
  }
  running_.store(false, std::memory_order_release);
  std::lock_guard<std::mutex> lock(failure_mutex_);
  failure_ = why;
}

void StreamEngine::drain() {
  std::lock_guard<std::mutex> lock(store_mutex_);
  Applied applied;
  while (applied_out_.pop(applied)) store_.applied.push_back(applied);
  if (!blocks_out_) return;
  while (const unsigned char* slot = blocks_out_->peek()) {
    append(slot);
    blocks_out_->release();
  }
}

void StreamEngine::append(const unsigned char* slot) {
  std::uint64_t frames;
  std::memcpy(&frames, slot, sizeof frames);
  for (std::size_t k = 0; k < track_at_.size(); ++k) {
    const auto o = static_cast<std::size_t>(layout_.channel_output[k]);
    if (patch_.outputs[o].wide) {
      const auto* from = reinterpret_cast<const double*>(slot + track_at_[k]);
      store_.wide[k].insert(store_.wide[k].end(), from, from + frames);
    } else {
      const auto* from = reinterpret_cast<const float*>(slot + track_at_[k]);
      store_.narrow[k].insert(store_.narrow[k].end(), from, from + frames);
    }
  }
  for (std::size_t j = 0; j < capture_at_.size(); ++j) {
    const auto* from = reinterpret_cast<const float*>(slot + capture_at_[j]);
    store_.captured[j].insert(store_.captured[j].end(), from, from + frames);
  }
  store_.frames += frames;
}

}  // namespace vorda::blocks
