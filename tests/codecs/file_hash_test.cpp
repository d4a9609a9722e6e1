#include "codecs/file_hash.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace codecs {
namespace {

class FileHashTest : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  varnel::testing::TempDir tmp_{"file-hash"};
  const std::string dir_ = tmp_.path();
};

TEST_F(FileHashTest, KnownVectors) {
  std::string empty = write("empty", "");
  EXPECT_EQ(FileHash::md5HashOfFileAtPath(empty), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(FileHash::sha1HashOfFileAtPath(empty), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  std::string abc = write("abc", "abc");
  EXPECT_EQ(FileHash::md5HashOfFileAtPath(abc), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(FileHash::sha1HashOfFileAtPath(abc), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(FileHash::sha512HashOfFileAtPath(abc),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c"
            "23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
}

TEST_F(FileHashTest, StreamsLargeFiles) {
  // One million 'a' bytes: the classic SHA-1 vector, spanning many chunks.
  std::string path = write("million", std::string(1000000, 'a'));
  EXPECT_EQ(FileHash::sha1HashOfFileAtPath(path), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST_F(FileHashTest, MissingFilesAndFoldersGiveNothing) {
  EXPECT_FALSE(FileHash::md5HashOfFileAtPath(dir_ + "/missing").has_value());
  EXPECT_FALSE(FileHash::md5HashOfFileAtPath(dir_).has_value());
  EXPECT_FALSE(FileHash::md5HashOfFileAtPath("").has_value());
}

}  // namespace
}  // namespace codecs
