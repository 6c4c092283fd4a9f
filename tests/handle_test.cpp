// The registry handle: the fresh file image, opening and its refusals,
// write-back on close, flush, nesting and careful mode, and locking between
// real processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <cerrno>

#include "internal.h"
#include "test_util.h"

namespace {

uint32_t wordAt(const std::vector<unsigned char> &b, size_t off) {
  uint32_t w;
  memcpy(&w, b.data() + off, 4);
  return w;
}

// The exact image createNew must write, built independently.
std::vector<unsigned char> expectedFreshImage(unsigned resize, unsigned dirent, unsigned mchunks) {
  std::vector<unsigned char> img(resize * 4096, 0);
  auto put = [&](size_t off, uint32_t v) { memcpy(img.data() + off, &v, 4); };
  img[1] = 0x09;
  img[2] = 0x12;
  const uint32_t table_end = 68 + 8 * mchunks;
  const uint32_t words[] = {resize * 4096, dirent, mchunks, resize, mchunks, 68, 36, 0};
  for (size_t i = 0; i < 8; i++) put(4 + 4 * i, words[i]);
  put(36, 60);
  put(40, NC_DIR);
  put(44, 36);
  img[60] = '/';
  put(64, mchunks * 8 + 4);
  put(68, table_end);
  put(72, resize * 4096 - table_end);
  return img;
}

TEST(Handle, FreshImageIsExact) {
  TempDir dir;
  const unsigned shapes[][3] = {{1, 8, 16}, {3, 2, 5}, {2, 1, 2}};
  for (const auto &s : shapes) {
    const std::string path = dir.file("r" + std::to_string(s[0]) + std::to_string(s[2]));
    NConfig h(0);
    ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
    ASSERT_EQ(h.createNew(s[0], s[1], s[2]), NC_ERR_OK);
    const auto bytes = readFile(path);
    EXPECT_EQ(bytes, expectedFreshImage(s[0], s[1], s[2])) << "shape " << s[0] << "," << s[2];
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  const auto first = readFile(dir.file("r116"));
  EXPECT_EQ(first.size(), 4096u);
  EXPECT_EQ(wordAt(first, 64), 132u);
  EXPECT_EQ(wordAt(first, 68), 196u);
  EXPECT_EQ(wordAt(first, 72), 3900u);
}

TEST(Handle, FailureResults) {
  TempDir dir;
  const std::string path = dir.file("r");
  NConfig h(0);
  EXPECT_EQ(h.setName(nullptr), NC_ERR_NVAL);
  EXPECT_EQ(h.open(3), NC_ERR_NFILE);  // no name is reported before the mode
  EXPECT_EQ(h.createNew(1, 8, 16), NC_ERR_NFILE);
  ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
  EXPECT_EQ(h.open(0), NC_ERR_TYPE);
  EXPECT_EQ(h.open(3), NC_ERR_TYPE);
  EXPECT_EQ(h.open(NC_O_RO), NC_ERR_PERM);  // no such file

  // Arguments that would make a file the allocator cannot work in.
  EXPECT_EQ(h.createNew(0, 8, 16), NC_ERR_NVAL);
  EXPECT_EQ(h.createNew(1, 0, 16), NC_ERR_NVAL);
  EXPECT_EQ(h.createNew(1, 8, 1), NC_ERR_NVAL);
  EXPECT_EQ(h.createNew(1, 8, 504), NC_ERR_NVAL);  // the table would not fit
  EXPECT_NE(access(path.c_str(), F_OK), 0);

  ASSERT_EQ(h.createNew(1, 8, 16), NC_ERR_OK);
  const auto before = readFile(path);
  EXPECT_EQ(h.createNew(1, 8, 16), NC_ERR_PERM);
  EXPECT_EQ(readFile(path), before);

  ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
  EXPECT_EQ(h.setName(dir.file("other").c_str()), NC_ERR_PERM);
  EXPECT_EQ(h.createNew(1, 8, 16), NC_ERR_NVAL);
  h.close();
  EXPECT_EQ(h.setName(dir.file("other").c_str()), NC_ERR_OK);
  EXPECT_EQ(h.open(NC_O_RW), NC_ERR_PERM);

  NConfig c(0);
  ASSERT_EQ(c.setName(dir.file("missing-dir/r").c_str()), NC_ERR_OK);
  EXPECT_EQ(c.createNew(1, 8, 16), NC_ERR_NFILE);
}

TEST(Handle, DamagedFilesAreRefusedAsCorrupt) {
  TempDir dir;
  const std::string good = dir.file("good");
  {
    NConfig h(0);
    ASSERT_EQ(h.setName(good.c_str()), NC_ERR_OK);
    ASSERT_EQ(h.createNew(2, 8, 16), NC_ERR_OK);
  }
  const auto image = readFile(good);
  auto swapped = [](uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
  };
  struct Case {
    const char *what;
    std::vector<unsigned char> bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}});
  cases.push_back({"shorter than the superblock", {image.begin(), image.begin() + 20}});
  cases.push_back({"shorter than its size", {image.begin(), image.begin() + 4096}});
  auto bad_magic = image;
  bad_magic[2] = 0x13;
  cases.push_back({"wrong magic", bad_magic});
  auto foreign = image;
  const uint32_t size_swapped = swapped(8192);
  memcpy(foreign.data() + 4, &size_swapped, 4);
  foreign.resize(8192);
  cases.push_back({"foreign byte order", foreign});
  auto bad_root = image;
  const uint32_t far = 9000;
  memcpy(bad_root.data() + 28, &far, 4);
  cases.push_back({"root outside", bad_root});
  auto bad_table = image;
  const uint32_t many = 2000;
  memcpy(bad_table.data() + 20, &many, 4);
  cases.push_back({"table outside", bad_table});

  for (const auto &c : cases) {
    const std::string path = dir.file("bad");
    writeFile(path, c.bytes);
    NConfig h(0);
    ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
    EXPECT_EQ(h.open(NC_O_RW), NC_ERR_CORRUPT) << c.what;
    EXPECT_EQ(h.setKey("/x", 1), NC_ERR_NFILE) << c.what;  // still closed
    EXPECT_EQ(readFile(path), c.bytes) << c.what;
  }
}

TEST(Handle, ChangesReachTheFileOnCloseOnly) {
  TempDir dir;
  const std::string path = dir.file("r");
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, path), NC_ERR_OK);
  const auto fresh = readFile(path);
  ASSERT_EQ(h.setKey("/k", 42), NC_ERR_OK);
  EXPECT_EQ(readFile(path), fresh);
  const auto view = h.image();
  h.close();
  EXPECT_EQ(readFile(path), view);

  // A read-only handle never changes the file, not even on close.
  TestNConfig r;
  ASSERT_EQ(r.setName(path.c_str()), NC_ERR_OK);
  ASSERT_EQ(r.open(NC_O_RO), NC_ERR_OK);
  EXPECT_EQ(r.setKey("/k", 7), NC_ERR_RDONLY);
  int v = 0;
  EXPECT_EQ(r.getKey("/k", v), NC_ERR_OK);
  EXPECT_EQ(v, 42);
  r.close();
  EXPECT_EQ(readFile(path), view);

  // Destruction writes back too.
  {
    TestNConfig d;
    ASSERT_EQ(d.setName(path.c_str()), NC_ERR_OK);
    ASSERT_EQ(d.open(NC_O_RW), NC_ERR_OK);
    ASSERT_EQ(d.setKey("/k", 43), NC_ERR_OK);
  }
  TestNConfig again;
  ASSERT_EQ(again.setName(path.c_str()), NC_ERR_OK);
  ASSERT_EQ(again.open(NC_O_RO), NC_ERR_OK);
  EXPECT_EQ(again.getKey("/k", v), NC_ERR_OK);
  EXPECT_EQ(v, 43);
}

TEST(Handle, FlushResetsDirectoryAndKeepsTheCallersLock) {
  TempDir dir;
  const std::string path = dir.file("r");
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, path), NC_ERR_OK);
  ASSERT_EQ(h.createDir("/q/DVB", 0), NC_ERR_OK);
  ASSERT_EQ(h.chDir("/q/DVB"), NC_ERR_OK);
  h.flush();
  char *cwd = h.pwDir();
  EXPECT_STREQ(cwd, "/");
  free(cwd);
  EXPECT_NE(h.find("/q/DVB"), nullptr);  // written back and reopened

  // Inside a lock bracket the reopened handle holds the same lock again.
  h.lockFile(NC_L_RW, 0);
  h.lockFile(NC_L_RO, 0);
  h.flush();
  EXPECT_EQ(h.lock, NC_L_RW);
  EXPECT_EQ(h.olck, 1u);
  EXPECT_EQ(h.setKey("/after/flush", "v"), NC_ERR_OK);
  h.unLockFile();
  h.unLockFile();
  EXPECT_EQ(h.lock, NC_L_NONE);
  char *s = nullptr;
  EXPECT_EQ(h.getKey("/after/flush", s), NC_ERR_OK);
  EXPECT_STREQ(s, "v");
  free(s);

  // close() inside a bracket leaves the handle's lock state true to the file.
  h.lockFile(NC_L_RO, 0);
  h.close();
  EXPECT_EQ(h.lock, NC_L_NONE);
  EXPECT_EQ(h.olck, 0u);
}

TEST(Handle, NestedLocksOnlyCount) {
  TempDir dir;
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, dir.file("r")), NC_ERR_OK);
  h.lockFile(NC_L_RW, 0);
  h.lockFile(NC_L_RO, 0);
  EXPECT_EQ(h.lock, NC_L_RW);
  EXPECT_EQ(h.olck, 1u);
  h.unLockFile();
  EXPECT_EQ(h.lock, NC_L_RW);
  EXPECT_EQ(h.setKey("/x", 1), NC_ERR_OK);  // a writer nests inside
  h.unLockFile();
  EXPECT_EQ(h.lock, NC_L_NONE);
  h.unLockFile();  // nothing held: nothing happens
  EXPECT_EQ(h.lock, NC_L_NONE);
  char *v = NConfig::version();
  EXPECT_STREQ(v, "Quorvane registry");
  free(v);
}

using HandleDeathTest = ::testing::Test;

TEST(HandleDeathTest, FatalConditionsEndTheProcess) {
  TempDir dir;
  const std::string path = dir.file("r");
  {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, path), NC_ERR_OK);
  }
  EXPECT_DEATH(
      {
        TestNConfig h;
        h.setName(path.c_str());
        h.open(NC_O_RW);
        h.lockFile(NC_L_RO, 0);
        h.setKey("/x", 1);
      },
      "^Lock promotion is not possible\\.\n");
  EXPECT_DEATH(
      {
        TestNConfig h;
        h.setName(path.c_str());
        h.open(NC_O_RO);
        h.lockFile(NC_L_RW, 0);  // a read-only descriptor refuses a write lock
      },
      "Lock request failed: Bad file descriptor");
  EXPECT_DEATH(
      {
        TestNConfig h;
        h.setName(path.c_str());
        h.open(NC_O_RW);
        nc::sys().mremap = [](void *, size_t, size_t) -> void * {
          errno = ENOMEM;
          return MAP_FAILED;
        };
        h.setKey("/big", std::string(8000, 'x').c_str());
      },
      "^mremap: Cannot allocate memory\n");
}

TEST(HandleDeathTest, CarefulModeKeepsTheViewReadOnlyOutsideWrites) {
  TempDir dir;
  const std::string path = dir.file("r");
  {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, path), NC_ERR_OK);
  }
  TestNConfig h(1);
  ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
  ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
  EXPECT_EQ(h.setKey("/a/b", "x"), NC_ERR_OK);
  volatile char *spare = h.data + 4090;
  h.lockFile(NC_L_RW, 0);
  *spare = 1;  // writable under the exclusive lock
  *spare = 0;
  h.unLockFile();
  EXPECT_EQ(*spare, 0);
  EXPECT_DEATH(*spare = 1, "");
}

}  // namespace
