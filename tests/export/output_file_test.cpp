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

#include "output_file.h"
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
  void TearDown() override { OutputFile::FailAfterBytesForTesting(-1, 0); }
  std::string Path(const std::string& name) const { return dir + "/" + name; }

  std::string dir;
};

TEST_F(OutputFileTest, WritesPatchesAndReadsBack) {
  const std::string path = Path("out.bin");
  std::ofstream(path) << std::string(5000, 'x');  // replaced, not overwritten in place
  OutputFile f;
  ASSERT_TRUE(f.Open(path, OutputFile::Access::ReadWrite)) << f.Reason();
  EXPECT_TRUE(f.IsOpen());
  EXPECT_EQ(f.Size(), 0);
  // A gap first, as the WAV writer leaves for its header.
  ASSERT_TRUE(f.Seek(4));
  ASSERT_TRUE(f.Write("abcdef", 6));
  EXPECT_EQ(f.Tell(), 10);
  ASSERT_TRUE(f.Seek(0));
  ASSERT_TRUE(f.Write("HEAD", 4));
  EXPECT_EQ(f.Tell(), 4);
  EXPECT_EQ(f.Size(), 10);
  char back[16] = {};
  ASSERT_TRUE(f.Seek(2));
  EXPECT_EQ(f.Read(back, sizeof back), 8);  // short at the end of the file
  EXPECT_EQ(std::string(back, 8), "ADabcdef");
  EXPECT_EQ(f.Tell(), 10);
  EXPECT_TRUE(f.Close());
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(f.Failed());
  EXPECT_EQ(f.Reason(), "");
  EXPECT_EQ(Contents(path), "HEADabcdef");
}

TEST_F(OutputFileTest, OpenFailureKeepsTheSystemsReason) {
  const std::string path = Path("missing/out.bin");
  OutputFile f;
  EXPECT_FALSE(f.Open(path));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_TRUE(f.Failed());
  EXPECT_EQ(f.ErrorNumber(), ENOENT);
  EXPECT_EQ(f.Reason(), "No such file or directory");
  EXPECT_EQ(f.Path(), path);
  EXPECT_EQ(f.ReasonLine(), path + ": No such file or directory");
  EXPECT_EQ(f.FailureText(), "Cannot write \"" + path + "\": No such file or directory");
  EXPECT_FALSE(f.Write("a", 1));
  EXPECT_FALSE(f.Close());
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
    EXPECT_FALSE(f.Open(Path(c.name))) << c.name;
    EXPECT_FALSE(f.IsOpen()) << c.name;
    EXPECT_EQ(f.ErrorNumber(), c.errorNumber) << c.name;
    EXPECT_EQ(f.ReasonLine(), Path(c.name) + ": " + c.reason);
  }
  EXPECT_TRUE(fs::is_fifo(Path("pipe")));
  EXPECT_TRUE(fs::is_empty(Path("folder")));

  // A link to a regular file is followed.
  std::ofstream(Path("target")) << "old";
  fs::create_symlink(Path("target"), Path("link"));
  OutputFile f;
  ASSERT_TRUE(f.Open(Path("link"))) << f.Reason();
  ASSERT_TRUE(f.Write("new", 3));
  ASSERT_TRUE(f.Close());
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
    OutputFile::FailAfterBytesForTesting(c.limit, c.errorNumber);
    OutputFile f;
    ASSERT_TRUE(f.Open(path));
    OutputFile::FailAfterBytesForTesting(-1, 0);  // the file keeps its limit
    const bool first = f.Write("0123456789", 10);
    EXPECT_EQ(first, c.limit >= 10);
    EXPECT_FALSE(f.Write("abc", 3));
    EXPECT_EQ(f.ErrorNumber(), c.errorNumber);
    EXPECT_EQ(f.FailureText(), "Cannot write \"" + path + "\": " + c.reason);
    // Failed: seeking back to patch a header does nothing either.
    EXPECT_FALSE(f.Seek(0));
    EXPECT_FALSE(f.Write("XYZ", 3));
    EXPECT_FALSE(f.Close());
    EXPECT_EQ(f.ErrorNumber(), c.errorNumber) << "the first failure is the one kept";
    EXPECT_EQ(Contents(path), c.kept);
  }
  // Turned off, files take everything again.
  OutputFile f;
  ASSERT_TRUE(f.Open(Path("unlimited")));
  EXPECT_TRUE(f.Write("0123456789", 10));
  EXPECT_TRUE(f.Close());
}

}  // namespace
