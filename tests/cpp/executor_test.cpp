#include "executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace orvex {
namespace {

const unsigned kThreadCounts[] = {1, 2, 3, 8};

TEST(Executor, RunsEveryTaskOnce) {
  for (unsigned threads : kThreadCounts) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{7}, size_t{1000}}) {
      std::vector<std::atomic<int>> runs(n);
      Executor(threads).parallel_for(n, [&](size_t i) { ++runs[i]; });
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(runs[i].load(), 1) << threads << " threads, task " << i;
    }
  }
}

// The lowest failing task decides the exception, whatever the thread count and
// whichever task fails first in time; tasks above it may be skipped.
TEST(Executor, LowestFailingTaskWins) {
  for (unsigned threads : kThreadCounts) {
    std::atomic<size_t> ran_above{0};
    try {
      Executor(threads).parallel_for(400, [&](size_t i) {
        if (i == 300) throw std::runtime_error("300");
        if (i == 40) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          throw std::runtime_error("40");
        }
        if (i > 300) ++ran_above;
      });
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "40") << threads << " threads";
    }
    if (threads == 1) {
      EXPECT_EQ(ran_above.load(), 0u);
    }
  }
}

TEST(Executor, PollStopsTheRun) {
  for (unsigned threads : kThreadCounts) {
    std::atomic<size_t> ran{0};
    int polls = 0;
    Executor executor(threads, [&] { return ++polls < 2; });
    EXPECT_THROW(executor.parallel_for(100000,
                                       [&](size_t) {
                                         std::this_thread::sleep_for(std::chrono::microseconds(200));
                                         ++ran;
                                       }),
                 Cancelled);
    EXPECT_GE(polls, 2);
    EXPECT_LT(ran.load(), 100000u) << threads << " threads";
  }
}

// Diagnostics come out in task order for every thread count; a failing task's own
// reports before its throw are kept, later tasks' are not.
TEST(Executor, OrderedDiagnosticsMatchASequentialRun) {
  auto run = [](unsigned threads, size_t fail_at) {
    CollectingSink out;
    std::string error;
    Executor executor(threads);
    try {
      for_each_ordered(executor, 500, out, [&](size_t i, DiagnosticSink& sink) {
        if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
        for (size_t k = 0; k < i % 3; ++k) {
          sink.report({DiagnosticCode::NoFaces, std::to_string(i), std::to_string(k)});
        }
        if (i == fail_at) {
          sink.report({DiagnosticCode::NoVertices, std::to_string(i), "last"});
          throw Fault(FaultKind::Input, "task " + std::to_string(i));
        }
      });
    } catch (const Fault& f) {
      error = f.what();
    }
    std::string text;
    for (const Diagnostic& d : out.items) text += d.object + ":" + d.text + " ";
    return text + "| " + error;
  };
  for (size_t fail_at : {size_t{500}, size_t{0}, size_t{250}, size_t{499}}) {
    const std::string sequential = run(1, fail_at);
    for (unsigned threads : kThreadCounts) EXPECT_EQ(run(threads, fail_at), sequential) << threads;
  }
  EXPECT_NE(run(1, 250).find("250:last | task 250"), std::string::npos);
}

}  // namespace
}  // namespace orvex
