// A model text read from a file by the engine itself: memory-mapped where the file
// allows it, read into memory otherwise, and the UTF-8 check every byte text needs.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "diagnostics.h"

namespace orvex {

/// A file could not be opened or read. what() is "<path>: <system text>"; the binding
/// raises the host's error for `error()` (an errno value) naming `path()`.
class FileFault final : public Fault {
 public:
  FileFault(int error, const std::string& path);
  int error() const { return error_; }
  const std::string& path() const { return path_; }

 private:
  int error_;
  std::string path_;
};

/// The whole content of one file, read once at construction and unchanged after.
/// A regular file of non-zero size is mapped privately; anything else (a pipe, a
/// character device, a /proc file that reports size 0) is read to its end. A file that
/// another process shortens while it is mapped ends the process with SIGBUS when a lost
/// page is read: model files are not expected to change under a load.
class MappedText {
 public:
  /// Throws FileFault for a file that cannot be opened, is a directory or fails a
  /// read, and std::bad_alloc when the text does not fit. When a signal interrupts
  /// the opening or a read (a pipe that stays silent), `poll` is asked whether to go
  /// on; false throws Cancelled.
  explicit MappedText(const std::string& path, const std::function<bool()>& poll = {});
  ~MappedText();
  MappedText(const MappedText&) = delete;
  MappedText& operator=(const MappedText&) = delete;

  std::string_view text() const { return {data_, size_}; }
  bool mapped() const { return mapped_; }

  /// Gives back the memory of the mapped pages that lie wholly inside `part` (a piece
  /// of text()) once nothing will read them soon: a later read faults them in again
  /// from the file, so the text stays intact. Does nothing for a text that was read.
  void release(std::string_view part) const;

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  bool mapped_ = false;
  std::string read_;  // the content when it was read, not mapped
};

/// Throws Fault(Input, "<what>: not UTF-8 text: invalid byte 0xNN at offset O (line L)")
/// naming the first byte that does not belong to a valid UTF-8 sequence (offsets and
/// lines count from 0 and 1) unless the whole of `bytes` is valid UTF-8.
void require_utf8(std::string_view bytes, std::string_view what);

}  // namespace orvex
