// Platform facts the store relies on, checked where the tests actually run:
// natively, under the sanitizers and under the emulator. A failure here means
// the platform or the harness is at fault, not the store. scripts/test shows
// the Platform line of each run.
#include <fcntl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gtest/gtest.h"
#include "lib/system/nconfig.h"

namespace {

bool hostIsBigEndian() {
  const uint32_t one = 1;
  unsigned char first;
  memcpy(&first, &one, 1);
  return first == 0;
}

// The file's words are read in place, so the magic bytes 00 09 12 00 read as
// a different number on each byte order.
TEST(Platform, RecordWordsAreReadInHostByteOrder) {
  struct utsname u;
  ASSERT_EQ(0, uname(&u));
  const bool big = hostIsBigEndian();
  printf("platform: %s, %s-endian\n", u.machine, big ? "big" : "little");
  EXPECT_EQ(big, __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__);

  nc_sb_s sb = {};
  memcpy(&sb.magic, NC_SB_MAGIC, 4);
  EXPECT_EQ(big ? 0x00091200u : 0x00120900u, sb.magic);
}

// Fatal paths are tested with death tests, in either style: the child's
// stderr and status must reach the parent.
TEST(Harness, DeathTestsSeeMessageAndStatus) {
  for (const char *style : {"fast", "threadsafe"}) {
    SCOPED_TRACE(style);
    GTEST_FLAG_SET(death_test_style, style);
    EXPECT_DEATH(
        {
          fputs("Lock promotion is not possible.\n", stderr);
          abort();
        },
        "^Lock promotion is not possible\\.\n");
    EXPECT_EXIT(_exit(3), testing::ExitedWithCode(3), "");
  }
}

// Processes share a registry through whole-file record locks: a lock held
// here must be seen by a forked child.
TEST(Harness, ForkedChildSeesRecordLock) {
  char path[] = "/tmp/nc_platform_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  ASSERT_EQ(0, fcntl(fd, F_SETLKW, &fl));

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    struct flock probe = {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    const bool refused = fcntl(fd, F_SETLK, &probe) == -1 &&
                         (errno == EAGAIN || errno == EACCES);
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "child was granted a conflicting lock";
  close(fd);
}

}  // namespace
