// The writers' file layer: writing, patching and reading back, refusing what
// is not a regular file, keeping the system's reason for the first failure,
// and the byte limit tests use to stand in for a full disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/writers/output_file.h"
#include "testaudio.h"

namespace fs = std::filesystem;

namespace {

std::string Contents(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir = pwtest::TempDir("OutputFile" + name);
  }
  void TearDown() override { OutputFile::failAfterBytesForTesting(-1, 0); }
  std::string Path(const std::string& name) const { return dir + "/" + name; }

  std::string dir;
};

TEST_F(OutputFileTest, WritesPatchesAndReadsBack) {
  const std::string path = Path("out.bin");
  std::ofstream(path) << std::string(5000, 'x');  // replaced, not overwritten in place
  OutputFile f;
  ASSERT_TRUE(f.open(path, OutputFile::Access::ReadWrite)) << f.reason();
  EXPECT_TRUE(f.isOpen());
  EXPECT_EQ(f.size(), 0);
  // A gap first, as the WAV writer leaves for its header.
  ASSERT_TRUE(f.seek(4));
  ASSERT_TRUE(f.write("abcdef", 6));
  EXPECT_EQ(f.tell(), 10);
  ASSERT_TRUE(f.seek(0));
  ASSERT_TRUE(f.write("HEAD", 4));
  EXPECT_EQ(f.tell(), 4);
  EXPECT_EQ(f.size(), 10);
  char back[16] = {};
  ASSERT_TRUE(f.seek(2));
  EXPECT_EQ(f.read(back, sizeof back), 8);  // short at the end of the file
  EXPECT_EQ(std::string(back, 8), "ADabcdef");
  EXPECT_EQ(f.tell(), 10);
  EXPECT_TRUE(f.close());
  EXPECT_FALSE(f.isOpen());
  EXPECT_FALSE(f.failed());
  EXPECT_EQ(f.reason(), "");
  EXPECT_EQ(Contents(path), "HEADabcdef");
}

TEST_F(OutputFileTest, OpenFailureKeepsTheSystemsReason) {
  const std::string path = Path("missing/out.bin");
  OutputFile f;
  EXPECT_FALSE(f.open(path));
  EXPECT_FALSE(f.isOpen());
  EXPECT_TRUE(f.failed());
  EXPECT_EQ(f.errorNumber(), ENOENT);
  EXPECT_EQ(f.reason(), "No such file or directory");
  EXPECT_EQ(f.path(), path);
  EXPECT_EQ(f.reasonLine(), path + ": No such file or directory");
  EXPECT_EQ(f.failureText(), "Cannot write \"" + path + "\": No such file or directory");
  EXPECT_FALSE(f.write("a", 1));
  EXPECT_FALSE(f.close());
}

TEST_F(OutputFileTest, RefusesWhatIsNotARegularFileWithoutOpeningIt) {
  struct Case {
    std::string name;
    int errorNumber;
    std::string reason;
  };
  ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0) << std::strerror(errno);
  fs::create_symlink("/dev/null", Path("device"));
  fs::create_directory(Path("folder"));
  for (const Case& c : {Case{"pipe", EINVAL, "Not a regular file (a named pipe)"},
                        Case{"device", EINVAL, "Not a regular file (a device)"},
                        Case{"folder", EISDIR, "Is a directory"}}) {
    OutputFile f;
    // Opening the pipe for writing would wait for a reader: it must not get that far.
    EXPECT_FALSE(f.open(Path(c.name))) << c.name;
    EXPECT_FALSE(f.isOpen()) << c.name;
    EXPECT_EQ(f.errorNumber(), c.errorNumber) << c.name;
    EXPECT_EQ(f.reasonLine(), Path(c.name) + ": " + c.reason);
  }
  EXPECT_TRUE(fs::is_fifo(Path("pipe")));
  EXPECT_TRUE(fs::is_empty(Path("folder")));

  // A link to a regular file is followed.
  std::ofstream(Path("target")) << "old";
  fs::create_symlink(Path("target"), Path("link"));
  OutputFile f;
  ASSERT_TRUE(f.open(Path("link"))) << f.reason();
  ASSERT_TRUE(f.write("new", 3));
  ASSERT_TRUE(f.close());
  EXPECT_EQ(Contents(Path("target")), "new");
}

TEST_F(OutputFileTest, FailsAfterTheGivenBytesAndTakesNothingMore) {
  struct Case {
    int64_t limit;
    int errorNumber;
    std::string reason;
    std::string kept;  // of "0123456789" then "abc"
  };
  for (const Case& c : {Case{0, ENOSPC, "No space left on device", ""}, Case{7, ENOSPC, "No space left on device", "0123456"},
                        Case{10, EDQUOT, "Disk quota exceeded", "0123456789"}, Case{12, EIO, "Input/output error", "0123456789ab"}}) {
    SCOPED_TRACE(c.limit);
    const std::string path = Path("limit" + std::to_string(c.limit));
    OutputFile::failAfterBytesForTesting(c.limit, c.errorNumber);
    OutputFile f;
    ASSERT_TRUE(f.open(path));
    OutputFile::failAfterBytesForTesting(-1, 0);  // the file keeps its limit
    const bool first = f.write("0123456789", 10);
    EXPECT_EQ(first, c.limit >= 10);
    EXPECT_FALSE(f.write("abc", 3));
    EXPECT_EQ(f.errorNumber(), c.errorNumber);
    EXPECT_EQ(f.failureText(), "Cannot write \"" + path + "\": " + c.reason);
    // Failed: seeking back to patch a header does nothing either.
    EXPECT_FALSE(f.seek(0));
    EXPECT_FALSE(f.write("XYZ", 3));
    EXPECT_FALSE(f.close());
    EXPECT_EQ(f.errorNumber(), c.errorNumber) << "the first failure is the one kept";
    EXPECT_EQ(Contents(path), c.kept);
  }
  // Turned off, files take everything again.
  OutputFile f;
  ASSERT_TRUE(f.open(Path("unlimited")));
  EXPECT_TRUE(f.write("0123456789", 10));
  EXPECT_TRUE(f.close());
}

}  // namespace
