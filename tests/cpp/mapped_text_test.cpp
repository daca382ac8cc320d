#include "mapped_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "executor.h"

namespace orvex {
namespace {

namespace fs = std::filesystem;

class MappedTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orvex_mapped_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  fs::path dir_;
};

int error_of(const std::string& path) {
  try {
    MappedText text(path);
  } catch (const FileFault& fault) {
    EXPECT_EQ(fault.kind(), FaultKind::Io);
    EXPECT_EQ(fault.path(), path);
    // what() is a C string: a path with a NUL shows up to it.
    EXPECT_EQ(std::string(fault.what()).rfind(path.substr(0, path.find('\0')), 0), 0u) << fault.what();
    return fault.error();
  }
  return 0;
}

TEST_F(MappedTextTest, RegularFilesAreMappedAndOtherFilesRead) {
  // Several pages and a partial one, so that release() has whole pages inside.
  std::string content;
  while (content.size() < 5 * 4096 + 100) content += "key\t{\"n\":" + std::to_string(content.size()) + "}\n";
  MappedText text(write("model.txt", content));
  EXPECT_TRUE(text.mapped());
  EXPECT_EQ(text.text(), content);
  // Dropping the pages loses nothing: they come back from the file.
  text.release(text.text().substr(1000, 3 * 4096));
  text.release(text.text());
  EXPECT_EQ(text.text(), content);

  MappedText empty(write("empty.txt", ""));
  EXPECT_EQ(empty.text(), "");

  // A /proc file says size 0 but has content; a pipe has no size at all.
  MappedText status("/proc/self/status");
  EXPECT_FALSE(status.mapped());
  EXPECT_NE(status.text().find("Pid:"), std::string_view::npos);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "a\tb\n", 4), 4);
  ::close(fds[1]);
  MappedText piped("/proc/self/fd/" + std::to_string(fds[0]));
  ::close(fds[0]);
  EXPECT_EQ(piped.text(), "a\tb\n");
}

TEST_F(MappedTextTest, FailuresNameThePathAndTheSystemError) {
  EXPECT_EQ(error_of((dir_ / "missing.txt").string()), ENOENT);
  EXPECT_EQ(error_of(dir_.string()), EISDIR);
  EXPECT_EQ(error_of(write("file", "x") + "/below"), ENOTDIR);
  // Opening works, reading fails: the process's own memory at address 0.
  EXPECT_EQ(error_of("/proc/self/mem"), EIO);
  EXPECT_EQ(error_of(std::string("model.txt\0other", 15)), EINVAL);
}

TEST_F(MappedTextTest, InterruptedReadAsksThePoll) {
  // A pipe that stays silent: a signal interrupts the read, and the poll stops it.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  struct sigaction action {};
  action.sa_handler = [](int) {};
  struct sigaction previous;
  ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);  // no SA_RESTART
  int polls = 0;
  ::alarm(1);
  EXPECT_THROW(MappedText("/proc/self/fd/" + std::to_string(fds[0]), [&] {
    ++polls;
    return false;
  }),
               Cancelled);
  ::sigaction(SIGALRM, &previous, nullptr);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(polls, 1);
}

std::string utf8_error(std::string_view bytes) {
  try {
    require_utf8(bytes, "where");
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.kind(), FaultKind::Input);
    return fault.what();
  }
  return "";
}

TEST(RequireUtf8, NamesTheFirstBadByteAndItsLine) {
  EXPECT_EQ(utf8_error(""), "");
  EXPECT_EQ(utf8_error("a\tb\n\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"), "");
  struct Case {
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"ab\xff", "where: not UTF-8 text: invalid byte 0xFF at offset 2 (line 1)"},
      {"a\nb\n\x80", "where: not UTF-8 text: invalid byte 0x80 at offset 4 (line 3)"},  // lone continuation
      {"\xc0\xaf", "where: not UTF-8 text: invalid byte 0xC0 at offset 0 (line 1)"},     // overlong "/"
      {"\xe0\x9f\xbf", "where: not UTF-8 text: invalid byte 0xE0 at offset 0 (line 1)"},  // overlong
      {"x\xed\xa0\x80", "where: not UTF-8 text: invalid byte 0xED at offset 1 (line 1)"},  // surrogate
      {"\xf4\x90\x80\x80", "where: not UTF-8 text: invalid byte 0xF4 at offset 0 (line 1)"},  // > U+10FFFF
      {"\xc3\xa9\xe2\x82", "where: not UTF-8 text: invalid byte 0xE2 at offset 2 (line 1)"},  // cut short
      {"\xe2\x82x", "where: not UTF-8 text: invalid byte 0xE2 at offset 0 (line 1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8_error(c.bytes), c.message);
}

}  // namespace
}  // namespace orvex
