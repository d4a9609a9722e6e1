#include "support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace varnel::testing {

namespace {

// The running GoogleTest test ("Suite.Name"), or "-" outside of one.
std::string currentTestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!info) return "-";
  return std::string(info->test_suite_name()) + "." + info->name();
}

}  // namespace

std::string makeTempFolder(const std::string& tag) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string parent = tmp && *tmp ? tmp : "/tmp";
  std::string pattern = parent + "/varnel-test-" + tag + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  // One line per folder in the parent's owner list, so that a folder left
  // behind (a killed test, a thread that wrote after the removal) names the
  // program and the test that made it. Short writes with O_APPEND do not
  // interleave between processes.
  const std::string record = std::filesystem::path(pattern).filename().string() + " " +
                             program_invocation_short_name + " " + currentTestName() + " pid " +
                             std::to_string(::getpid()) + "\n";
  const int fd = ::open((parent + "/" + kTempOwnersFile).c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(fd, record.data(), record.size());
    ::close(fd);
  }
  return pattern;
}

TempDir::TempDir(const std::string& tag) : path_(makeTempFolder(tag)) {}

TempDir::~TempDir() {
  if (!removeTree(path_)) ADD_FAILURE() << "the temporary folder " << path_ << " stays";
}

bool removeTree(const std::string& path) {
  // A thread or child of the test may still be writing below the folder
  // (a logger's last flush, a helper program on its way out), so a removal
  // that meets a new entry starts over; the bound is a safety net.
  for (int attempt = 0; attempt < 200; ++attempt) {
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(path, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
      }
    }
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ignored))) return true;
    std::this_thread::yield();
  }
  return false;
}

}  // namespace varnel::testing
