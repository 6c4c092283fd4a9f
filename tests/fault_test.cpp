// Failing system calls, injected through the store's system-call seam: a
// full disk while growing or committing, short and interrupted writes, a
// failing sync, a failed write in place, a refused mapping, interrupted lock
// requests. Each failure is a result; what was committed stays.
#include <sys/mman.h>

#include <cerrno>
#include <filesystem>

#include "lib/system/nconfig/internal.h"
#include "test_util.h"

namespace {

// The real calls, for faults that pass most calls through.
nc::SysCalls g_real;
int g_calls;  // calls the fault has seen

class Fault : public testing::Test {
 protected:
  void SetUp() override {
    nc::resetSysCalls();
    g_real = nc::sys();
    g_calls = 0;
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, path_), NC_ERR_OK);
    ASSERT_EQ(h.setKey("/kept/string", "last written"), NC_ERR_OK);
  }
  void TearDown() override { nc::resetSysCalls(); }

  // Opens `h` read-write on the file and commits a change.
  void openChanged(NConfig &h) {
    ASSERT_TRUE(openAs(h, path_, NC_O_RW));
    ASSERT_EQ(h.setKey("/kept/string", "lost"), NC_ERR_OK);
  }

  TempDir tmp_;
  const std::string path_ = tmp_.file("r");
};

// Reads `key` through a fresh handle on the real calls: the file's committed state.
std::string committed(const std::string &path, const char *key) {
  nc::resetSysCalls();
  NConfig r(0);
  return openAs(r, path, NC_O_RO) ? valueOf(r, key) : "";
}

TEST_F(Fault, FullDiskFailsTheOperationAndKeepsWhatWasCommitted) {
  const struct {
    const char *what;
    void (*inject)();
    const char *message;  // on standard error; null for a failed growth, which is a result
  } cases[] = {
      {"growth", [] { nc::sys().fallocate = [](int, off_t, off_t) { return ENOSPC; }; }, nullptr},
      {"journal write",
       [] {
         nc::sys().pwrite = [](int fd, const void *b, size_t n, off_t o) -> ssize_t {
           return n > 4096 ? (errno = ENOSPC, -1) : g_real.pwrite(fd, b, n, o);
         };
       },
       "No space left on device"},
      {"journal sync", [] { nc::sys().fdatasync = [](int) { return errno = EIO, -1; }; },
       "Input/output error"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TestNConfig h;
    openChanged(h);  // "lost" is committed: it is the state to keep
    c.inject();
    testing::internal::CaptureStderr();
    h.lockFile(NC_L_RW, 0);
    const int first = h.setKey("/kept/string", "discarded");
    const int second = h.setKey("/big", std::string(6000, 'x').c_str());
    h.unLockFile();
    const std::string err = testing::internal::GetCapturedStderr();
    if (!c.message) {
      EXPECT_EQ(first, NC_ERR_OK);
      EXPECT_EQ(second, NC_ERR_NMEM);  // the growth, with the bracket's changes
    } else {
      EXPECT_NE(err.find("commit to " + path_ + " failed: " + c.message), std::string::npos) << err;
    }
    // The handle goes on at the last commit, and can commit again.
    EXPECT_EQ(valueOf(h, "/kept/string"), "lost");
    EXPECT_EQ(committed(path_, "/kept/string"), "lost");
    EXPECT_EQ(h.setKey("/kept/string", "again"), NC_ERR_OK);
    EXPECT_EQ(committed(path_, "/kept/string"), "again");
    EXPECT_TRUE(nc_check_file(path_.c_str()).ok());
  }
}

TEST_F(Fault, InterruptedCallsAndShortWritesAreRetried) {
  TestNConfig h;
  ASSERT_EQ(h.setName(path_.c_str()), NC_ERR_OK);
  // Every waiting lock request is interrupted three times before it goes
  // through; every other write is interrupted, and the rest are short.
  static int locks;
  locks = 0;
  nc::sys().fcntl_lock = [](int fd, int cmd, short type) {
    if (cmd == F_SETLKW && locks++ % 4 != 3) return errno = EINTR, -1;
    return g_real.fcntl_lock(fd, cmd, type);
  };
  nc::sys().pwrite = [](int fd, const void *buf, size_t n, off_t off) -> ssize_t {
    if (g_calls++ % 2 == 0) return errno = EINTR, -1;
    return g_real.pwrite(fd, buf, n < 1000 ? n : 1000, off);
  };
  ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);  // the forced shared lock
  testing::internal::CaptureStderr();
  ASSERT_EQ(h.setKey("/kept/string", std::string(3000, 'y').c_str()), NC_ERR_OK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_GT(g_calls, 8);
  EXPECT_EQ(readFile(path_), h.image());
  h.close();  // the write-back's exclusive lock
  EXPECT_EQ(locks, 3 * 4);  // three waiting requests, each tried four times
}

TEST_F(Fault, AFailedWriteInPlaceIsReplayedFromTheJournal) {
  TestNConfig h;
  openChanged(h);
  // The record reaches the journal; writing the registry in place fails.
  static int registry;
  registry = h.fd;
  nc::sys().pwrite = [](int fd, const void *buf, size_t n, off_t off) -> ssize_t {
    return fd == registry ? (errno = EIO, -1) : g_real.pwrite(fd, buf, n, off);
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(h.setKey("/kept/string", "journaled"), NC_ERR_OK);  // durable in the journal
  EXPECT_NE(testing::internal::GetCapturedStderr().find("the journal will be replayed"), std::string::npos);
  EXPECT_EQ(committed(path_, "/kept/string"), "journaled");  // replayed by the next lock
  EXPECT_TRUE(nc_check_file(path_.c_str()).ok());
}

TEST_F(Fault, RefusedMapAtOpenClosesTheFile) {
  auto openFds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const long before = openFds();
  TestNConfig h;
  ASSERT_EQ(h.setName(path_.c_str()), NC_ERR_OK);
  nc::sys().mmap = [](size_t, int, int) -> void * { return errno = ENOMEM, MAP_FAILED; };
  EXPECT_EQ(h.open(NC_O_RW), NC_ERR_NMEM);
  EXPECT_EQ(h.fd, -1);
  EXPECT_EQ(openFds(), before);
  nc::resetSysCalls();
  EXPECT_EQ(h.open(NC_O_RW), NC_ERR_OK);  // the handle is usable again
}

// A writable handle whose replay fails shows the committed state in a
// read-only copy, and refuses changes instead of storing into the copy.
TEST(Journal, AFailedReplayLeavesAHandleThatRefusesChanges) {
  TempDir dir;
  const std::string path = dir.file("r");
  TestNConfig writer;  // stays open: its commit stays in the journal
  ASSERT_EQ(makeRegistry(writer, path), NC_ERR_OK);
  ASSERT_EQ(writer.setKey("/a", "committed"), NC_ERR_OK);
  nc::sys().boot_id = [] { return "a later boot"; };  // every record is replayed
  nc::sys().pwrite = [](int, const void *, size_t, off_t) -> ssize_t { return errno = EIO, -1; };
  NConfig h(0);
  ASSERT_TRUE(openAs(h, path, NC_O_RW));
  EXPECT_EQ(h.setKey("/b", 1), NC_ERR_NMEM);
  EXPECT_EQ(h.renameKey("/a", "c"), NC_ERR_NMEM);
  h.delKey("/a");
  EXPECT_EQ(valueOf(h, "/a"), "committed");
  nc::resetSysCalls();
}

// A commit that fails drops the bracket's changes; a current directory made
// in the bracket is gone with them, and the handle stands at the root again.
TEST(Journal, AFailedCommitTakesTheCurrentDirectoryMadeInItsBracket) {
  TempDir dir;
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, dir.file("r")), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/k", 1), NC_ERR_OK);
  h.lockFile(NC_L_RW, 0);
  ASSERT_EQ(h.setKey("/new/k", 2), NC_ERR_OK);
  ASSERT_EQ(h.chDir("/new"), NC_ERR_OK);
  nc::sys().fdatasync = [](int) { return errno = EIO, -1; };
  EXPECT_EQ(h.release(), NC_ERR_NMEM);
  nc::resetSysCalls();
  char *cwd = h.pwDir();
  EXPECT_STREQ(cwd, "/");
  free(cwd);
  int v = 0;
  EXPECT_EQ(h.getKey("k", v), NC_ERR_OK);
  EXPECT_EQ(v, 1);
}

}  // namespace
