// Captures what the engine writes to file descriptor 1 while a function runs.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

namespace orvex::testing {

template <typename F>
std::string capture_stdout(F&& run) {
  std::fflush(stdout);
  FILE* sink = std::tmpfile();
  int saved = ::dup(1);
  ::dup2(::fileno(sink), 1);
  struct Restore {
    int saved;
    ~Restore() {
      ::dup2(saved, 1);
      ::close(saved);
    }
  };
  {
    Restore restore{saved};
    run();
  }
  std::string text;
  std::rewind(sink);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, sink)) > 0) text.append(buf, n);
  std::fclose(sink);
  return text;
}

}  // namespace orvex::testing
