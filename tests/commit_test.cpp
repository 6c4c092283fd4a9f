// Commits cut short by crashes, and the journal that makes them safe. A crash
// is a child process (fork) that dies at its Nth system call through the
// store's seam. A power cut also undoes a random subset of the writes made
// since each file's last sync.
#include <sys/mman.h>

#include <map>
#include <random>

#include "lib/system/nconfig/internal.h"
#include "lib/system/nconfig/journal.h"
#include "test_util.h"

namespace {

using State = std::map<std::string, std::string>;

// The string values of `keys` as a fresh handle of `mode` sees them.
State readState(const std::string &path, const std::vector<std::string> &keys, int mode) {
  NConfig h(0);
  if (!openAs(h, path, mode)) return {{"", "cannot open"}};
  State s;
  for (const std::string &k : keys) s[k] = valueOf(h, k.c_str());
  return s;
}

// A file whose directory takes no journal: committed in place, said once.
TEST(Journal, AFileWhoseDirectoryTakesNoJournalCommitsDirectly) {
  TempDir dir;
  TestNConfig made;
  ASSERT_EQ(makeRegistry(made, dir.file("r")), NC_ERR_OK);
  made.close();
  const int mem = memfd_create("registry", 0);
  ASSERT_GE(mem, 0);
  const std::string name = "/proc/self/fd/" + std::to_string(mem);
  writeFile(name, readFile(dir.file("r")));
  NConfig h(0);
  ASSERT_TRUE(openAs(h, name, NC_O_RW));
  testing::internal::CaptureStderr();
  EXPECT_EQ(h.setKey("/k", "7"), NC_ERR_OK);
  EXPECT_EQ(h.setKey("/k", "8"), NC_ERR_OK);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(err.find("committing directly") != err.npos && err.find("commit") == err.rfind("commit")) << err;
  EXPECT_EQ(readState(name, {"/k"}, NC_O_RO).at("/k"), "8");
  close(mem);
}

TEST(Journal, RecordChecksumIsTheCommonCrc32) {
  // Check values of the common CRC-32: its 8-byte steps, its byte-wise tail, and a sum carried on.
  EXPECT_EQ(nc::crc32(0, "123456789", 9), 0xCBF43926u);
  std::string s(4099, 0);
  for (size_t i = 0; i < s.size(); i++) s[i] = char(i * 7 + i / 256);
  EXPECT_EQ(nc::crc32(0, s.data(), s.size()), 0xC3FDBC3Au);
  EXPECT_EQ(nc::crc32(nc::crc32(0, s.data(), 13), s.data() + 13, s.size() - 13), 0xC3FDBC3Au);
}

// A log of the writes a child makes, in memory shared with the parent.
enum : uint32_t { kWrite, kSize, kSync, kNone };
struct Event {
  uint32_t kind;  // kWrite, kSize (the file grew), kSync
  uint64_t ino, off, len, old_size;
  size_t saved;  // where in Log::bytes the bytes a write replaced are
};
struct Log {
  size_t events, used;
  Event event[1 << 14];
  char bytes[8 << 20];
};
Log *g_log;
nc::SysCalls g_real;
long g_calls, g_die_at;  // calls seen since counting began; the fatal one

// Counts a call (the fatal one ends the process) and logs what it does to `fd`.
void tick(uint32_t kind = kNone, int fd = -1, uint64_t off = 0, uint64_t len = 0) {
  if (g_die_at > 0 && ++g_calls == g_die_at) _exit(0);
  if (kind == kNone) return;
  struct stat st = {};
  g_real.fstat(fd, &st);
  if (g_log->events == std::size(g_log->event) || g_log->used + len > sizeof g_log->bytes) _exit(3);
  g_log->event[g_log->events++] = {kind, uint64_t(st.st_ino), off, len, uint64_t(st.st_size), g_log->used};
  if (kind != kWrite) return;
  if (g_real.pread(fd, g_log->bytes + g_log->used, len, off_t(off)) < 0) _exit(3);
  g_log->used += len;
}

void installCrashSeam() {
  g_real = nc::sys();
  nc::SysCalls &s = nc::sys();
  s.pwrite = [](int fd, const void *b, size_t n, off_t off) {
    tick(kWrite, fd, uint64_t(off), n);
    return g_real.pwrite(fd, b, n, off);
  };
  s.fallocate = [](int fd, off_t off, off_t len) {
    tick(kSize, fd, uint64_t(off), uint64_t(len));
    return g_real.fallocate(fd, off, len);
  };
  s.fsync = [](int fd) { return tick(kSync, fd), g_real.fsync(fd); };
  s.fdatasync = [](int fd) { return tick(kSync, fd), g_real.fdatasync(fd); };
  s.fcntl_lock = [](int fd, int cmd, short type) { return tick(), g_real.fcntl_lock(fd, cmd, type); };
  s.mmap_fixed = [](void *a, size_t n, int prot, int fd, off_t off) {
    return tick(), g_real.mmap_fixed(a, n, prot, fd, off);
  };
}

// Undoes a random subset of the writes each file saw since its last sync,
// sector by sector as a power cut may, so that a write can be torn: later
// kept writes keep their bytes.
void cutPower(const std::string &path, std::mt19937 &rng) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return;
  std::vector<unsigned char> image = readFile(path);
  std::vector<bool> kept(image.size(), false);
  size_t size = image.size(), kept_end = 0;
  for (size_t i = g_log->events; i-- > 0;) {
    const Event &e = g_log->event[i];
    if (e.ino != uint64_t(st.st_ino)) continue;
    if (e.kind == kSync) break;
    const uint64_t end = e.off + e.len;
    if (e.kind != kWrite) {  // a growth reached the disk, or not
      if (rng() % 2) kept_end = std::max<size_t>(kept_end, size_t(end));
      else if (e.old_size < size) size = std::max<size_t>(size_t(e.old_size), kept_end);
      continue;
    }
    const char *old = g_log->bytes + e.saved;
    for (uint64_t sector = e.off / 512 * 512; sector < end; sector += 512) {
      const uint64_t from = std::max(sector, e.off), to = std::min(sector + 512, end);
      const bool reached = rng() % 2;
      for (uint64_t b = from; b < to && b < image.size(); b++) {
        if (reached) kept[b] = true;
        else if (!kept[b]) image[b] = b < e.old_size ? (unsigned char)old[b - e.off] : 0;
      }
      if (reached) kept_end = std::max<size_t>(kept_end, size_t(to));
    }
    if (e.old_size < size && !kept[size_t(std::min<uint64_t>(end, image.size())) - 1])
      size = std::max<size_t>(size_t(e.old_size), kept_end);
  }
  image.resize(std::min(size, image.size()));
  writeFile(path, image);
}

// Run for a file of this machine's byte order and one of the other.
class Crash : public ::testing::TestWithParam<bool> {};

TEST_P(Crash, EveryCallOfACommitLeavesTheOldOrTheNewState) {
  nc::resetSysCalls();
  TempDir tmp;
  const std::string path = tmp.file("r"), journal = path + "-journal";
  const std::vector<std::string> keys = {"/a/one", "/a/two", "/b/three", "/c/new/four", "/big"};
  {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, path), NC_ERR_OK);
  }
  putInOrder(path, GetParam());
  {
    NConfig h(0);
    ASSERT_TRUE(openAs(h, path, NC_O_RW));
    for (int i = 0; i < 3; i++) ASSERT_EQ(h.setKey(keys[i].c_str(), keys[i].c_str()), NC_ERR_OK);
  }
  const State old = readState(path, keys, NC_O_RO);
  const std::vector<unsigned char> original = readFile(path), originalJournal = readFile(journal);
  g_log = static_cast<Log *>(
      mmap(nullptr, sizeof(Log), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(g_log, MAP_FAILED);

  // From the files as they were before the change (with `fresh`, the change
  // creates the journal), runs the change in a child that dies at call
  // `die_at` (0: never). True when the child got that far.
  auto runChild = [&](long die_at, bool fresh) {
    writeFile(path, original);
    unlink(journal.c_str());
    if (!fresh) writeFile(journal, originalJournal), chmod(journal.c_str(), 0600);
    g_log->events = g_log->used = 0;
    const int status = waitFor(spawn([&] {  // the seam ends the child with status 0
      NConfig h(0);
      if (!openAs(h, path, NC_O_RW)) _exit(2);
      installCrashSeam();
      g_die_at = die_at;  // counting begins: g_calls is 0 in every child
      // A bracket that changes, deletes, creates and grows the file, then
      // the close that empties the journal.
      h.lockFile(NC_L_RW, 0);
      h.setKey("/a/one", "changed");
      h.delKey("/a/two");
      h.setKey("/c/new/four", "created");
      h.setKey("/big", std::string(9000, 'z').c_str());
      h.unLockFile();
      h.close();
      return false;
    }));
    EXPECT_TRUE(status == 0 || status == 1) << status;
    return status == 0;
  };
  EXPECT_FALSE(runChild(0, false));
  const State changed = readState(path, keys, NC_O_RO);
  ASSERT_EQ(changed.at("/a/one"), "changed");
  // A fresh handle, read-only then read-write, sees the old or the new state.
  auto expectOldOrNew = [&](const char *what, long n) {
    const State ro = readState(path, keys, NC_O_RO);
    EXPECT_TRUE(ro == old || ro == changed) << what << " at call " << n;
    EXPECT_EQ(readState(path, keys, NC_O_RW), ro) << what << " at call " << n;
    const nc_check_report r = checkAnyOrder(path);
    EXPECT_TRUE(r.ok()) << what << " at call " << n << ": " << r.describe();
    EXPECT_EQ(otherOrder(readFile(path)), GetParam()) << what << " at call " << n;
  };
  const char *env = getenv("NC_POWER_CUTS");  // cuts per call: 2 unless asked
  const int cuts = env ? atoi(env) : 2;
  std::mt19937 rng(12345);
  long n = 1;
  for (bool fresh : {false, true})
    for (n = 0; n == 0 || runChild(n, fresh); n++) {  // n = 0: the child ran to its end
      if (n > 0) expectOldOrNew("crash", n);
      for (int c = 0; c < cuts; c++) {
        runChild(n, fresh);
        cutPower(path, rng), cutPower(journal, rng);
        nc::sys().boot_id = [] { return "a later boot"; };
        expectOldOrNew("power cut", n);
        // After close, the change is the file's for good.
        EXPECT_TRUE(n > 0 || readState(path, keys, NC_O_RO) == changed) << "power cut after close";
        nc::resetSysCalls();
        if (HasFailure()) return;
      }
    }
  EXPECT_GT(n, 10);  // the change made that many calls
  munmap(g_log, sizeof(Log));
}

INSTANTIATE_TEST_SUITE_P(Orders, Crash, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                           return std::string(i.param ? "OtherOrder" : "ThisOrder");
                         });

}  // namespace
