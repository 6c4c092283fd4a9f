// Failing system calls, injected through the store's system-call seam: a
// full disk while growing or committing, short and interrupted writes, a
// failing sync, a failed write in place, refused mappings, interrupted and
// refused lock requests. Each failure is a result; what was committed stays.

#include "test_util.h"

namespace {

// The real calls, for faults that pass most calls through.
nc::SysCalls g_real;
int g_calls;     // calls the fault has seen
int g_locks;     // lock requests the fault has seen
int g_registry;  // the registry's descriptor, for faults in writes to it alone

// A registry holding "/kept/string", and a handle `h_` named on it but closed.
// The file is of this machine's byte order, or (parameter true) the other.
class Fault : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    nc::resetSysCalls();
    g_real = nc::sys();
    g_calls = g_locks = 0;
    ASSERT_EQ(makeRegistry(path_), NC_ERR_OK);
    putInOrder(path_, GetParam());
    ASSERT_TRUE(openAs(h_, path_, NC_O_RW));
    ASSERT_EQ(h_.setKey("/kept/string", "last written"), NC_ERR_OK);
    h_.close();
  }
  void TearDown() override { nc::resetSysCalls(); }

  TempDir tmp_;
  const std::string path_ = tmp_.file("r");
  TestNConfig h_;
};

// Reads `key` through a fresh handle on the real calls: the file's committed state.
std::string committed(const std::string &path, const char *key) {
  nc::resetSysCalls();
  NConfig r(0);
  return openAs(r, path, NC_O_RO) ? valueOf(r, key) : "";
}

// A commit that fails keeps the last state committed; a commit whose record
// reached the journal but not the registry is replayed from the journal.
TEST_P(Fault, AFailingCommitKeepsTheLastCommittedState) {
  // What fails, how, what standard error says after the path (nothing for a
  // failed growth, which is a result), and the state kept.
  const struct { const char *what; void (*inject)(); const char *message, *kept; } cases[] = {
      {"growth", [] { nc::sys().fallocate = [](int, off_t, off_t) { return ENOSPC; }; }, "", "lost"},
      {"journal write",
       [] { nc::sys().pwrite = [](int fd, const void *b, size_t n, off_t o) -> ssize_t {
              return n > 4096 ? (errno = ENOSPC, -1) : g_real.pwrite(fd, b, n, o); }; },
       " failed: No space left on device", "lost"},
      {"journal sync", [] { nc::sys().fdatasync = [](int) { return errno = EIO, -1; }; },
       " failed: Input/output error", "lost"},
      {"write in place",
       [] { nc::sys().pwrite = [](int fd, const void *b, size_t n, off_t o) -> ssize_t {
              return fd == g_registry ? (errno = EIO, -1) : g_real.pwrite(fd, b, n, o); }; },
       " in place failed: Input/output error; the journal will be replayed", "changed"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TestNConfig h;
    ASSERT_TRUE(openAs(h, path_, NC_O_RW));
    ASSERT_EQ(h.setKey("/kept/string", "lost"), NC_ERR_OK);  // the state a failed commit keeps
    const std::vector<unsigned char> before = readFile(path_);
    g_registry = h.fd;
    c.inject();
    testing::internal::CaptureStderr();
    h.lockFile(NC_L_RW, 0);
    EXPECT_EQ(h.setKey("/kept/string", "changed"), NC_ERR_OK);
    const bool refused = h.setKey("/big", std::string(6000, 'x').c_str()) == NC_ERR_NMEM;
    EXPECT_EQ(refused, !*c.message);  // a refused growth drops the bracket's changes at once
    EXPECT_EQ(valueOf(h, "/kept/string"), refused ? "lost" : "changed");
    h.unLockFile();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(!*c.message || err.find(path_ + c.message) != std::string::npos) << err;
    EXPECT_TRUE(!refused || readFile(path_) == before);
    if (refused) {  // and the handle goes on committing
      nc::resetSysCalls();
      EXPECT_EQ(h.setKey("/kept/string", "lost"), NC_ERR_OK);
    }
    // The file and the handle go on at that state (the next lock, or the
    // handle's close, replays a journaled one) on the real calls, and can
    // commit again.
    h.close();
    EXPECT_EQ(committed(path_, "/kept/string"), c.kept);
    ASSERT_TRUE(openAs(h, path_, NC_O_RW));
    EXPECT_EQ(valueOf(h, "/kept/string"), c.kept);
    EXPECT_EQ(h.setKey("/kept/string", "again"), NC_ERR_OK);
    EXPECT_EQ(committed(path_, "/kept/string"), "again");
    EXPECT_TRUE(nc_check_file(path_.c_str()).ok());
  }
}

// Space for the file's blocks is refused: the commit fails before anything
// reaches the journal, so no later process takes it for a commit.
TEST_P(Fault, ARefusedReservationJournalsNothing) {
  ASSERT_TRUE(openAs(h_, path_, NC_O_RW));
  nc::sys().fallocate = [](int fd, off_t off, off_t len) {
    off_t size = 0;  // blocks inside the file, not growth
    return g_real.fstat_size(fd, &size) == 0 && off + len <= size ? ENOSPC : g_real.fallocate(fd, off, len);
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(h_.setKey("/kept/string", "changed"), NC_ERR_NMEM);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(" failed: No space left on device"), std::string::npos);
  EXPECT_EQ(committed(path_, "/kept/string"), "last written");
}

TEST_P(Fault, InterruptedOrRefusedCallsAndShortWritesAreRetried) {
  // Every waiting lock request is interrupted or refused three times before
  // it goes through; every other write is interrupted, and the rest are short.
  nc::sys().fcntl_lock = [](int fd, int cmd, short type) {
    return cmd == F_SETLKW && g_locks++ % 4 != 3 ? (errno = g_locks % 4 == 2 ? ENOLCK : EINTR, -1)
                                                 : g_real.fcntl_lock(fd, cmd, type);
  };
  nc::sys().pwrite = [](int fd, const void *buf, size_t n, off_t off) -> ssize_t {
    return g_calls++ % 2 == 0 ? (errno = EINTR, -1) : g_real.pwrite(fd, buf, n < 1000 ? n : 1000, off);
  };
  ASSERT_EQ(h_.open(NC_O_RW), NC_ERR_OK);  // the forced shared lock
  testing::internal::CaptureStderr();
  ASSERT_EQ(h_.setKey("/kept/string", std::string(3000, 'y').c_str()), NC_ERR_OK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_GT(g_calls, 8);
  EXPECT_EQ(inHostOrder(path_), h_.image());
  h_.close();  // the write-back's exclusive lock
  EXPECT_EQ(g_locks, 3 * 4);  // three waiting requests, each tried four times
}

// A refused mapping is a result. At open the handle closes; a view that
// cannot be moved is mapped afresh, with the bracket's changes; a longer view
// refused fails the write and the last commit stays; where the view cannot
// follow the file (a page not mapped back, another process's growth) the
// operations answer NC_ERR_NMEM until a later lock maps it afresh.
TEST_P(Fault, RefusedMappingsAreResults) {
  auto openFds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const long before = openFds();
  auto refuse = [](bool maps_too) {  // moving views, and making fresh ones
    nc::sys().mremap = [](void *, size_t, size_t) -> void * { return errno = EFAULT, MAP_FAILED; };
    if (maps_too) nc::sys().mmap = [](size_t, int, int) -> void * { return errno = ENOMEM, MAP_FAILED; };
  };
  refuse(true);
  EXPECT_EQ(h_.open(NC_O_RW), NC_ERR_NMEM);
  EXPECT_EQ(h_.fd, -1);
  EXPECT_EQ(openFds(), before);
  nc::resetSysCalls();
  TestNConfig c(1);  // careful: its commits split the view
  ASSERT_TRUE(openAs(c, path_, NC_O_RW));
  refuse(false);
  c.lockFile(NC_L_RW, 0);
  EXPECT_EQ(c.setKey("/kept/string", "in a bracket"), NC_ERR_OK);
  EXPECT_EQ(c.setKey("/big", std::string(8000, 'x').c_str()), NC_ERR_OK);
  EXPECT_EQ(c.release(), NC_ERR_OK);
  EXPECT_EQ(committed(path_, "/kept/string"), "in a bracket");
  refuse(true);
  EXPECT_EQ(c.setKey("/big", std::string(20000, 'x').c_str()), NC_ERR_NMEM);
  nc::resetSysCalls();
  EXPECT_EQ(valueOf(c, "/big").size(), 8000u);
  // Another process writes: the page read in place of the refused mapping
  // must not hide what it wrote.
  auto otherSets = [&](const char *key, const std::string &value) {
    return waitFor(spawn([&] { NConfig o(0); return openAs(o, path_, NC_O_RW) && o.setKey(key, value.c_str()) == 0; }));
  };
  nc::sys().mmap_fixed = [](void *, size_t, int, int, off_t) -> void * { return errno = ENOMEM, MAP_FAILED; };
  EXPECT_EQ(c.setKey("/kept/string", "changed"), NC_ERR_OK);
  nc::resetSysCalls();
  ASSERT_EQ(otherSets("/kept/string", "theirs"), 0);
  EXPECT_EQ(valueOf(c, "/kept/string"), "theirs");
  ASSERT_EQ(otherSets("/big", std::string(20000, 'b')), 0);  // the file grows
  refuse(true);
  char *v = nullptr;
  EXPECT_EQ(std::tuple(c.getKey("/kept/string", v), c.setKey("/k", 1), c.chDir("/kept")),
            std::tuple(NC_ERR_NMEM, NC_ERR_NMEM, NC_ERR_NMEM));
  nc::resetSysCalls();
  EXPECT_EQ(valueOf(c, "/big").size(), 20000u);
}

INSTANTIATE_TEST_SUITE_P(Orders, Fault, ::testing::Bool(), orderName);

// A writable handle whose replay fails shows the committed state in a
// read-only copy, and refuses changes instead of storing into the copy.
TEST(Journal, AFailedReplayLeavesAHandleThatRefusesChanges) {
  TempDir dir;
  TestNConfig writer;  // stays open: its commit stays in the journal
  ASSERT_EQ(makeRegistry(writer, dir.file("r")), NC_ERR_OK);
  ASSERT_EQ(writer.setKey("/a", "committed"), NC_ERR_OK);
  nc::sys().boot_id = [] { return "a later boot"; };  // every record is replayed
  nc::sys().pwrite = [](int, const void *, size_t, off_t) -> ssize_t { return errno = EIO, -1; };
  NConfig h(0);
  ASSERT_TRUE(openAs(h, dir.file("r"), NC_O_RW));
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
  ASSERT_EQ(h.setKey("/k", "at the root"), NC_ERR_OK);
  h.lockFile(NC_L_RW, 0);
  ASSERT_EQ(h.setKey("/new/k", 2), NC_ERR_OK);
  ASSERT_EQ(h.chDir("/new"), NC_ERR_OK);
  nc::sys().fdatasync = [](int) { return errno = EIO, -1; };
  EXPECT_EQ(h.release(), NC_ERR_NMEM);
  nc::resetSysCalls();
  EXPECT_STREQ(h.cname, "/");
  EXPECT_EQ(valueOf(h, "k"), "at the root");
}

}  // namespace
