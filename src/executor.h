// Runs independent tasks on a fixed number of threads, so that a run's results, the
// order of its diagnostics and the fault it ends with never depend on that number.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>

#include "diagnostics.h"

namespace orvex {

/// Thrown by Executor::parallel_for when its poll asked to stop (the host was
/// interrupted). The binding that supplied the poll knows why.
class Cancelled final : public std::exception {
 public:
  const char* what() const noexcept override { return "cancelled"; }
};

/// Threads are started by each parallel_for and joined before it returns: no thread
/// outlives a call or runs on after an exception, and a process may fork between calls.
class Executor {
 public:
  /// How often, at least, the poll is asked while tasks run.
  static constexpr int kPollMilliseconds = 20;

  /// `threads` is clamped to at least 1; with 1 every task runs on the calling thread.
  /// `poll`, when given, is called on the calling thread about every kPollMilliseconds
  /// while tasks run (between tasks when there is one thread); returning false stops
  /// the run. It must not throw.
  explicit Executor(unsigned threads = 1, std::function<bool()> poll = {});

  unsigned threads() const { return threads_; }

  /// Runs task(i) once for every i in [0, n). Tasks are claimed in ascending order of i.
  /// When tasks throw, the exception of the lowest such i is rethrown once every thread
  /// has stopped, and tasks above it that had not started are skipped: a run ends with
  /// the exception a sequential run would end with. Throws Cancelled when the poll
  /// stopped the run (that wins over a task's exception).
  void parallel_for(size_t n, const std::function<void(size_t)>& task);

 private:
  unsigned threads_;
  std::function<bool()> poll_;
};

/// Runs task(i, sink) for every i in [0, n) on `executor`, each task with a sink of its
/// own, and forwards what task i reported to `out` as soon as tasks 0..i have all
/// finished, in task order: one thread streams, several keep the sequential order.
/// When task k throws, what it reported before throwing is forwarded, nothing of the
/// tasks after k is, and the exception is rethrown (see parallel_for). `out` is called
/// by one thread at a time; if it throws, the run stops with that exception.
void for_each_ordered(Executor& executor, size_t n, DiagnosticSink& out,
                      const std::function<void(size_t, DiagnosticSink&)>& task);

/// Splits [0, items) into runs of `grain` (>= 1) for tasks: how many runs there are.
inline size_t batch_count(size_t items, size_t grain) { return (items + grain - 1) / grain; }

}  // namespace orvex
