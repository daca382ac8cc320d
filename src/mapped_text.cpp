#include "mapped_text.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <simdjson.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "executor.h"

namespace orvex {

namespace {

// Closes a descriptor on every way out of the constructor.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// A call failed with EINTR: go on unless the poll says stop.
void interrupted(const std::function<bool()>& poll) {
  if (poll && !poll()) throw Cancelled();
}

// Length of the well-formed UTF-8 sequence that starts at s[0] (Unicode's table of
// well-formed byte sequences: no overlong forms, no surrogates, nothing above U+10FFFF),
// or 0 when none does. `left` >= 1 bytes may be read.
size_t sequence_length(const unsigned char* s, size_t left) {
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (left < n || s[1] < lo || s[1] > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (s[k] < 0x80 || s[k] > 0xBF) return 0;
  }
  return n;
}

}  // namespace

FileFault::FileFault(int error, const std::string& path)
    : Fault(FaultKind::Io, path + ": " + std::system_category().message(error)),
      error_(error),
      path_(path) {}

MappedText::MappedText(const std::string& path, const std::function<bool()>& poll) {
  // The system would stop at a NUL and open another file than the one named.
  if (path.find('\0') != std::string::npos) throw FileFault(EINVAL, path);
  Descriptor file;
  while ((file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    if (errno != EINTR) throw FileFault(errno, path);
    interrupted(poll);
  }
  struct stat info;
  if (::fstat(file.fd, &info) != 0) throw FileFault(errno, path);
  if (S_ISDIR(info.st_mode)) throw FileFault(EISDIR, path);

  if (S_ISREG(info.st_mode) && info.st_size > 0) {
    size_t size = static_cast<size_t>(info.st_size);
    void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.fd, 0);
    if (at != MAP_FAILED) {
      data_ = static_cast<char*>(at);
      size_ = size;
      mapped_ = true;
      return;
    }
    // Some file systems cannot map: read the file instead.
  }

  size_t want = S_ISREG(info.st_mode) && info.st_size > 0 ? static_cast<size_t>(info.st_size) + 1 : 1 << 16;
  size_t have = 0;
  read_.resize(want);
  for (;;) {
    if (have == read_.size()) read_.resize(read_.size() * 2);
    ssize_t n = ::read(file.fd, read_.data() + have, read_.size() - have);
    if (n < 0) {
      if (errno != EINTR) throw FileFault(errno, path);
      interrupted(poll);
      continue;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  read_.resize(have);
  read_.shrink_to_fit();
  data_ = read_.data();
  size_ = have;
}

MappedText::~MappedText() {
  if (mapped_) ::munmap(data_, size_);
}

void MappedText::release(std::string_view part) const {
  if (!mapped_ || part.empty()) return;
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  // The mapping starts on a page boundary, so page boundaries are offsets from data_.
  size_t begin = static_cast<size_t>(part.data() - data_);
  size_t end = begin + part.size();
  begin = (begin + page - 1) / page * page;
  end = end / page * page;
  // The pages were never written: dropping them loses nothing the file does not hold.
  if (begin < end) ::madvise(data_ + begin, end - begin, MADV_DONTNEED);
}

void require_utf8(std::string_view bytes, std::string_view what) {
  if (simdjson::validate_utf8(bytes.data(), bytes.size())) return;
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t line = 1;
  for (size_t i = 0; i < bytes.size();) {
    size_t n = sequence_length(s + i, bytes.size() - i);
    if (n == 0) {
      char detail[96];
      std::snprintf(detail, sizeof detail, ": not UTF-8 text: invalid byte 0x%02X at offset %zu (line %zu)",
                    static_cast<unsigned>(s[i]), i, line);
      throw Fault(FaultKind::Input, std::string(what) + detail);
    }
    if (s[i] == '\n') ++line;
    i += n;
  }
  // The two checks follow one table; should they ever differ, the text is still refused.
  throw Fault(FaultKind::Input, std::string(what) + ": not UTF-8 text");
}

}  // namespace orvex
