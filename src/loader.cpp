#include "loader.h"

#include <memory>
#include <mutex>

#include "loader/key_index.h"
#include "loader/records.h"
#include "loader/walk.h"

namespace orvex {

namespace {

using loader::Record;
using loader::RecordReader;

// The text is read in ranges of about this many bytes, cut after a line feed: tasks for
// the threads, and the parts given back once read.
constexpr size_t kRangeBytes = size_t{1} << 20;
// Roots walked, and objects later converted, per task.
constexpr size_t kRootsPerBatch = 256;

std::vector<std::string_view> ranges_of(std::string_view text) {
  std::vector<std::string_view> ranges;
  for (size_t start = 0; start < text.size();) {
    size_t lf = text.find('\n', std::min(text.size(), start + kRangeBytes) - 1);
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
  std::vector<loader::Arena> strings;
  LoadedModel out;
  {
    ReaderPool pool(options.keep_info);
    executor.parallel_for(ranges.size(), [&](size_t i) {
      RecordReader* reader = pool.take();
      records[i].reserve(ranges[i].size() / 256);
      reader->read(ranges[i], text_end, records[i]);
      pool.give_back(reader);
      if (options.release) options.release(ranges[i]);
    });
    // The parsers go; what the records point to stays.
    for (auto& reader : pool.all()) {
      out.numbers.push_back(std::move(reader->numbers));
      strings.push_back(std::move(reader->strings));
    }
  }

  const loader::KeyIndex index(records, executor);
  loader::resolve_references(records, index, executor);

  std::vector<const Record*> roots;
  for (const std::vector<Record>& range : records) {
    for (const Record& r : range) {
      if (r.root != nullptr && !r.superseded) roots.push_back(&r);
    }
  }
  out.batches.resize(batch_count(roots.size(), kRootsPerBatch));
  for_each_ordered(executor, out.batches.size(), sink, [&](size_t b, DiagnosticSink& batch_sink) {
    const size_t end = std::min(roots.size(), (b + 1) * kRootsPerBatch);
    for (size_t i = b * kRootsPerBatch; i < end; ++i) {
      loader::walk(*roots[i], options.keep_info, out.batches[b], batch_sink);
    }
  });
  return out;
}

}  // namespace orvex
