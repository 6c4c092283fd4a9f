// Locking between real processes: a shared lock holds off a writer, and a
// handle notices another process's change at its next outermost lock.
#include <memory>

#include "test_util.h"

namespace {

bool openAs(NConfig &h, const std::string &path, int mode) {
  return h.setName(path.c_str()) == NC_ERR_OK && h.open(mode) == NC_ERR_OK;
}

// Runs `body` in a child process; what it returns becomes the exit status.
template <typename F>
pid_t spawn(F body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Locks, SharedLockHoldsOffAnotherProcesssWriter) {
  TempDir dir;
  const std::string path = dir.file("r");
  ASSERT_EQ(makeRegistry(*std::make_unique<TestNConfig>(), path), NC_ERR_OK);
  int locked[2], released[2];
  ASSERT_EQ(pipe(locked), 0);
  ASSERT_EQ(pipe(released), 0);
  const pid_t reader = spawn([&] {
    NConfig r(0);
    if (!openAs(r, path, NC_O_RO)) return 1;
    r.lockFile(NC_L_RO, 0);
    if (write(locked[1], "L", 1) != 1) return 2;
    usleep(200 * 1000);
    // Announce the release before it happens: a writer that got its lock
    // earlier would find the pipe empty.
    if (write(released[1], "U", 1) != 1) return 3;
    r.unLockFile();
    return 0;
  });
  char c;
  ASSERT_EQ(read(locked[0], &c, 1), 1);
  NConfig w(0);
  ASSERT_TRUE(openAs(w, path, NC_O_RW));
  w.lockFile(NC_L_RW, 0);
  fcntl(released[0], F_SETFL, O_NONBLOCK);
  EXPECT_EQ(read(released[0], &c, 1), 1) << "the writer did not wait for the reader";
  w.unLockFile();
  EXPECT_EQ(waitFor(reader), 0);
  for (int fd : {locked[0], locked[1], released[0], released[1]}) close(fd);
}

TEST(Locks, AnotherProcesssChangeIsSeenAtTheNextLock) {
  TempDir dir;
  const std::string path = dir.file("r");
  ASSERT_EQ(makeRegistry(*std::make_unique<TestNConfig>(), path), NC_ERR_OK);
  TestNConfig mine;
  ASSERT_TRUE(openAs(mine, path, NC_O_RW));
  ASSERT_EQ(mine.createDir("/d/e", 4), NC_ERR_OK);
  ASSERT_EQ(mine.chDir("/d/e"), NC_ERR_OK);
  const uint32_t seen = mine.update, size_before = mine.lsize;
  const pid_t other = spawn([&] {  // grows the file and moves things about
    NConfig h(0);
    const std::string big(10000, 'b');
    return (openAs(h, path, NC_O_RW) && h.setKey("/d/e/big", big.c_str()) == NC_ERR_OK &&
            h.setKey("/d/new", 5) == NC_ERR_OK) ? 0 : 1;
  });
  ASSERT_EQ(waitFor(other), 0);
  char *big = nullptr;
  ASSERT_EQ(mine.getKey("big", big), NC_ERR_OK);  // relative to /d/e, re-resolved
  EXPECT_EQ(strlen(big), 10000u);
  free(big);
  EXPECT_NE(mine.update, seen);
  EXPECT_GT(mine.lsize, size_before);
  EXPECT_EQ(mine.lsize, mine.sb->size);
  EXPECT_EQ(mine.cdir, mine.find("/d/e"));
  int v = 0;
  EXPECT_EQ(mine.getKey("/d/new", v), NC_ERR_OK);
  EXPECT_EQ(v, 5);
}

}  // namespace
