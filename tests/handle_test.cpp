// The registry handle: the fresh file image, opening and its refusals,
// write-back on close, flush, lock nesting, the fatal paths and careful mode.

#include <array>

#include "image_builder.h"
#include "test_util.h"

namespace {

TEST(Handle, FreshImageIsExact) {
  TempDir dir;
  for (const auto &[resize, dirent, mchunks] : {std::array{1u, 8u, 16u}, {3u, 2u, 5u}, {2u, 5u, 100u}}) {
    const std::string path = dir.file("r" + std::to_string(resize) + "-" + std::to_string(mchunks));
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, path, resize, dirent, mchunks), NC_ERR_OK);
    EXPECT_EQ(readFile(path), nctest::ImageBuilder(resize, dirent, mchunks).image()) << path;
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0600)) << path;
  }
}

TEST(Handle, FailureResults) {
  TempDir dir;
  const std::string path = dir.file("r");
  NConfig h(0);
  EXPECT_EQ(h.setName(nullptr), NC_ERR_NVAL);
  EXPECT_EQ(h.open(3), NC_ERR_NFILE);  // no name is reported before the mode
  EXPECT_EQ(h.createNew(1, 8, 16), NC_ERR_NFILE);
  ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
  EXPECT_EQ(std::pair(h.open(0), h.open(3)), std::pair(NC_ERR_TYPE, NC_ERR_TYPE));
  EXPECT_EQ(h.open(NC_O_RO), NC_ERR_PERM);  // no such file
  // Shapes the allocator cannot work in: no growth unit, no entry batch or
  // millions of entries per batch, a table of fewer than two records, or one
  // that does not fit the file.
  const unsigned bad[][3] = {{0, 8, 16}, {1, 0, 16}, {1, 65537, 16}, {1, 8, 1}, {1, 8, 0}, {1, 8, 504}, {2, 8, 1016}};
  for (const auto &a : bad) EXPECT_EQ(h.createNew(a[0], a[1], a[2]), NC_ERR_NVAL) << a[0] << a[1] << a[2];
  nc::sys().fallocate = [](int, off_t, off_t) { return ENOSPC; };  // a full disk
  EXPECT_EQ(h.createNew(1, 8, 16), NC_ERR_NFILE);
  nc::resetSysCalls();
  EXPECT_NE(access(path.c_str(), F_OK), 0);  // nothing half made is left
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
  ASSERT_EQ(h.setName(dir.file("missing-dir/r").c_str()), NC_ERR_OK);
  EXPECT_EQ(h.createNew(1, 8, 16), NC_ERR_NFILE);
  // The tightest accepted file leaves a 4-byte free area; the allocator grows.
  TestNConfig t;
  ASSERT_EQ(makeRegistry(t, dir.file("tight"), 1, 8, 503), NC_ERR_OK);
  EXPECT_EQ(t.setKey("/a/b", "value"), NC_ERR_OK);
  EXPECT_EQ(t.sb->size, 8192u);
  EXPECT_TRUE(sound(t.data, t.lsize));
}

TEST(Handle, LocksNestAndChangesReachTheFileAtTheOutermostExclusiveUnlock) {
  TempDir dir;
  const std::string path = dir.file("r");
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, path), NC_ERR_OK);
  ASSERT_EQ(h.createDir("/q/DVB", 0), NC_ERR_OK);
  ASSERT_EQ(h.chDir("/q/DVB"), NC_ERR_OK);
  auto state = [&] { return std::pair{h.lock, unsigned(h.olck)}; };
  h.lockFile(NC_L_RW, 0);
  h.lockFile(NC_L_RO, 0);  // only counts
  EXPECT_EQ(state(), std::pair(NC_L_RW, 1u));
  h.flush();  // writes back and reopens at the root, under the same lock
  EXPECT_STREQ(h.cname, "/");
  EXPECT_NE(h.find("/q/DVB"), nullptr);
  EXPECT_EQ(state(), std::pair(NC_L_RW, 1u));
  h.unLockFile();
  EXPECT_EQ(state(), std::pair(NC_L_RW, 0u));
  const auto before = readFile(path);
  ASSERT_EQ(h.setKey("/k", "42"), NC_ERR_OK);  // a writer nests inside
  ASSERT_EQ(h.setKey("/d/k", 1), NC_ERR_OK);
  EXPECT_EQ(readFile(path), before);  // nothing leaves the bracket early
  const auto view = h.image();
  h.unLockFile();
  EXPECT_EQ(readFile(path), view);
  h.unLockFile();  // nothing held: nothing happens
  EXPECT_EQ(state(), std::pair(NC_L_NONE, 0u));
  h.lockFile(NC_L_RO, 0);
  h.close();  // inside a bracket: the lock state stays true to the file
  EXPECT_EQ(state(), std::pair(NC_L_NONE, 0u));
  {  // Destruction commits what a bracket left pending.
    TestNConfig d;
    ASSERT_TRUE(openAs(d, path, NC_O_RW));
    d.lockFile(NC_L_RW, 0);
    ASSERT_EQ(d.setKey("/k", "44"), NC_ERR_OK);
  }
  // A read-only handle never changes the file; asking it for an exclusive
  // lock gives it a shared one.
  ASSERT_EQ(h.open(NC_O_RO), NC_ERR_OK);
  EXPECT_EQ(valueOf(h, "/k"), "44");
  h.lockFile(NC_L_RW, 0);
  EXPECT_EQ(h.lock, NC_L_RO);
  EXPECT_EQ(h.setKey("/k", "7"), NC_ERR_RDONLY);
  h.unLockFile();
}

// Careful mode keeps the view read-only outside writes: a stray store ends
// the process, as a lock promotion does.
TEST(HandleDeathTest, FatalConditionsEndTheProcess) {
  TempDir dir;
  TestNConfig h(1);
  ASSERT_EQ(makeRegistry(h, dir.file("r")), NC_ERR_OK);
  EXPECT_EQ(h.setKey("/a/b", "x"), NC_ERR_OK);
  volatile char *spare = h.data + 4090;
  h.lockFile(NC_L_RW, 0);
  *spare = 1;  // writable under the exclusive lock
  *spare = 0;
  h.unLockFile();
  EXPECT_EQ(*spare, 0);
  EXPECT_DEATH(*spare = 1, "");
  EXPECT_DEATH((h.lockFile(NC_L_RO, 0), h.setKey("/x", 1)), "^Lock promotion is not possible\\.\n");
}

}  // namespace
