#include "diagnostics.h"

#include <cerrno>
#include <string>
#include <system_error>
#include <unistd.h>

namespace orvex {

void emit(std::initializer_list<std::string_view> parts) {
  std::string line;
  size_t size = 0;
  for (std::string_view p : parts) size += p.size();
  line.reserve(size);
  for (std::string_view p : parts) line.append(p);

  const char* at = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(1, at, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      throw Fault("failed printing to stdout: " + std::system_category().message(code) +
                  " (os error " + std::to_string(code) + ")");
    }
    if (n == 0) throw Fault("failed printing to stdout: failed to write whole buffer");
    at += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace orvex
