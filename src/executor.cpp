#include "executor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace orvex {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kNone = std::numeric_limits<size_t>::max();

// What the threads of one parallel_for share.
struct Run {
  const std::function<void(size_t)>& task;
  const size_t n;
  std::atomic<size_t> next{0};
  // Tasks at or above this index are not started: the lowest failed task so far.
  std::atomic<size_t> stop{kNone};
  std::atomic<bool> cancelled{false};
  std::mutex mutex;
  std::condition_variable finished;
  size_t running = 0;  // worker threads not yet returned, under mutex
  std::exception_ptr error;

  Run(const std::function<void(size_t)>& t, size_t count) : task(t), n(count) {}

  // Claims and runs one task; false when there is none left to start.
  bool step() {
    if (cancelled.load(std::memory_order_relaxed)) return false;
    size_t i = next.fetch_add(1, std::memory_order_relaxed);
    if (i >= n || i >= stop.load(std::memory_order_acquire)) return false;
    try {
      task(i);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      if (i < stop.load(std::memory_order_relaxed)) {
        stop.store(i, std::memory_order_release);
        error = std::current_exception();
      }
    }
    return true;
  }
};

}  // namespace

Executor::Executor(unsigned threads, std::function<bool()> poll)
    : threads_(std::max(1u, threads)), poll_(std::move(poll)) {}

void Executor::parallel_for(size_t n, const std::function<void(size_t)>& task) {
  if (n == 0) return;
  Run run(task, n);
  const auto interval = std::chrono::milliseconds(kPollMilliseconds);

  std::vector<std::thread> workers;
  size_t wanted = std::min<size_t>(threads_, n);
  if (wanted > 1) {
    workers.reserve(wanted);
    for (size_t t = 0; t < wanted; ++t) {
      {
        std::lock_guard<std::mutex> lock(run.mutex);
        ++run.running;
      }
      try {
        workers.emplace_back([&run] {
          while (run.step()) {
          }
          std::lock_guard<std::mutex> lock(run.mutex);
          if (--run.running == 0) run.finished.notify_all();
        });
      } catch (const std::system_error&) {
        // The system gives no more threads: go on with those that started.
        std::lock_guard<std::mutex> lock(run.mutex);
        --run.running;
        break;
      }
    }
  }

  if (workers.empty()) {
    // Sequential: the calling thread runs every task and polls between them.
    Clock::time_point polled = Clock::now();
    while (run.step()) {
      if (poll_ && Clock::now() - polled >= interval) {
        if (!poll_()) run.cancelled.store(true);
        polled = Clock::now();
      }
    }
  } else {
    // The calling thread only polls, so that a long task cannot delay an interrupt.
    std::unique_lock<std::mutex> lock(run.mutex);
    while (run.running > 0) {
      run.finished.wait_for(lock, interval);
      if (run.running > 0 && poll_) {
        lock.unlock();
        if (!poll_()) run.cancelled.store(true);
        lock.lock();
      }
    }
    lock.unlock();
    for (std::thread& w : workers) w.join();
  }

  if (run.cancelled.load()) throw Cancelled();
  if (run.error) std::rethrow_exception(run.error);
}

void for_each_ordered(Executor& executor, size_t n, DiagnosticSink& out,
                      const std::function<void(size_t, DiagnosticSink&)>& task) {
  std::vector<CollectingSink> buffers(n);
  // 0: running or not started, 1: finished, 2: threw.
  std::unique_ptr<std::atomic<uint8_t>[]> state(new std::atomic<uint8_t>[n]);
  for (size_t i = 0; i < n; ++i) state[i].store(0, std::memory_order_relaxed);
  std::mutex flushing;
  size_t flushed = 0;  // tasks below this have been forwarded, under `flushing`
  bool closed = false;  // a task threw: nothing after it is forwarded

  auto flush = [&] {
    std::lock_guard<std::mutex> lock(flushing);
    while (!closed && flushed < n) {
      uint8_t s = state[flushed].load(std::memory_order_acquire);
      if (s == 0) break;
      std::vector<Diagnostic> items = std::move(buffers[flushed].items);
      buffers[flushed].items.clear();
      if (s == 2) closed = true;
      ++flushed;
      for (Diagnostic& d : items) out.report(std::move(d));
    }
  };

  executor.parallel_for(n, [&](size_t i) {
    std::exception_ptr error;
    try {
      task(i, buffers[i]);
    } catch (...) {
      error = std::current_exception();
    }
    state[i].store(error ? 2 : 1, std::memory_order_release);
    flush();
    if (error) std::rethrow_exception(error);
  });
}

}  // namespace orvex
