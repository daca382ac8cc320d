#include "loader.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>

#include "loader/key_index.h"
#include "loader/records.h"
#include "loader/walk.h"

namespace orvex {

namespace {

using loader::Record;
using loader::RecordReader;

// The text is read in ranges of about a 64th of it, cut after a line feed, and the roots
// are walked (and their objects converted) in batches of about a 64th of them: tasks for
// several threads even in a small model. The bounds keep tasks worth their cost, and the
// ranges of a large text small, as they are given back once read. Neither depends on the
// number of threads.
constexpr size_t kRangeBytes[2] = {size_t{1} << 10, size_t{1} << 20};
constexpr size_t kRootsPerBatch[2] = {1, 256};

std::vector<std::string_view> ranges_of(std::string_view text) {
  const size_t bytes = std::clamp(text.size() / 64, kRangeBytes[0], kRangeBytes[1]);
  std::vector<std::string_view> ranges;
  for (size_t start = 0; start < text.size();) {
    size_t lf = text.find('\n', std::min(text.size(), start + bytes) - 1);
    size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    ranges.push_back(text.substr(start, end - start));
    start = end;
  }
  return ranges;
}

// Readers lent to the tasks that read ranges: one per thread at a time, each made when
// first needed and kept for the tasks after.
class ReaderPool {
 public:
  explicit ReaderPool(bool keep_info) : keep_info_(keep_info) {}

  RecordReader* take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!free_.empty()) {
      RecordReader* r = free_.back();
      free_.pop_back();
      return r;
    }
    all_.push_back(std::make_unique<RecordReader>(keep_info_));
    return all_.back().get();
  }
  void give_back(RecordReader* r) {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(r);
  }
  std::vector<std::unique_ptr<RecordReader>>& all() { return all_; }

 private:
  bool keep_info_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<RecordReader>> all_;
  std::vector<RecordReader*> free_;
};

}  // namespace

size_t LoadedModel::size() const {
  size_t n = 0;
  for (const LoadedBatch& b : batches) n += b.objects.size();
  return n;
}

LoadedModel load_model(std::string_view text, const LoadOptions& options, Executor& executor, DiagnosticSink& sink) {
  const std::vector<std::string_view> ranges = ranges_of(text);
  const char* const text_end = text.data() + text.size();
  std::vector<std::vector<Record>> records(ranges.size());
  std::vector<loader::KeyIndex::Groups> groups(ranges.size());
  const size_t parts = loader::KeyIndex::parts_for(executor);
  std::vector<loader::Arena> strings;
  LoadedModel out;
  {
    // A part that fails its check wins over a part that fails to read, wherever they
    // stand, so every part is checked and read, and the first failure of each kind kept.
    std::vector<std::exception_ptr> refused(ranges.size()), failed(ranges.size());
    ReaderPool pool(options.keep_info);
    executor.parallel_for(ranges.size(), [&](size_t i) {
      try {
        if (options.check) options.check(ranges[i]);
      } catch (...) {
        refused[i] = std::current_exception();
        return;
      }
      RecordReader* reader = nullptr;
      try {
        reader = pool.take();
        // Filled apart and moved in once: neighbouring ranges' vectors share cache lines.
        std::vector<Record> read;
        read.reserve(ranges[i].size() / 128);
        reader->read(ranges[i], text_end, read);
        groups[i] = loader::KeyIndex::group(read, parts);
        records[i] = std::move(read);
      } catch (...) {
        failed[i] = std::current_exception();
      }
      if (reader != nullptr) pool.give_back(reader);
      if (options.release) options.release(ranges[i]);
    });
    for (const auto* errors : {&refused, &failed}) {
      for (const std::exception_ptr& e : *errors) {
        if (e) std::rethrow_exception(e);
      }
    }
    // The parsers go; what the records point to stays.
    for (auto& reader : pool.all()) {
      out.numbers.push_back(std::move(reader->numbers));
      strings.push_back(std::move(reader->strings));
    }
  }

  {
    const loader::KeyIndex index(records, groups, executor);
    loader::resolve_references(records, index, executor);
  }
  groups = {};

  std::vector<const Record*> roots;
  for (const std::vector<Record>& range : records) {
    for (const Record& r : range) {
      if (r.root != nullptr && !r.superseded) roots.push_back(&r);
    }
  }
  const size_t per_batch = std::clamp(roots.size() / 64, kRootsPerBatch[0], kRootsPerBatch[1]);
  out.batches.resize(batch_count(roots.size(), per_batch));
  for_each_ordered(executor, out.batches.size(), sink, [&](size_t b, DiagnosticSink& batch_sink) {
    LoadedBatch batch;  // moved in once, as the reading tasks' records are
    const size_t end = std::min(roots.size(), (b + 1) * per_batch);
    for (size_t i = b * per_batch; i < end; ++i) loader::walk(*roots[i], options.keep_info, batch, batch_sink);
    out.batches[b] = std::move(batch);
  });
  return out;
}

}  // namespace orvex
