// Commits cut short by crashes, and the journal that makes them safe. A crash
// is a child process (fork) that dies at its Nth system call through the
// store's seam. A power cut also undoes a random subset of the writes made
// since each file's last sync.

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
  ASSERT_EQ(makeRegistry(dir.file("r")), NC_ERR_OK);
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
enum : uint32_t { kWrite, kSize, kSync, kCount };
struct Event {
  uint32_t kind;  // kWrite, kSize (the file grew), kSync
  uint64_t ino, off, len, old_size;
  size_t saved;  // where in Log::bytes the bytes a write replaced are
};
struct Log {
  int acked;  // commits the child saw succeed
  size_t events, used;
  Event event[1 << 14];
  char bytes[8 << 20];
};
Log *g_log;
nc::SysCalls g_real;
long g_calls, g_die_at;  // calls seen since counting began; the fatal one

// Counts a call (the fatal one ends the process) and logs what it does to `fd`.
void tick(uint32_t kind = kCount, int fd = -1, uint64_t off = 0, uint64_t len = 0) {
  if (g_die_at > 0 && ++g_calls == g_die_at) _exit(0);
  if (kind == kCount) return;
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
  s.pwrite = [](int fd, const void *b, size_t n, off_t off) { return tick(kWrite, fd, off, n), g_real.pwrite(fd, b, n, off); };
  s.fallocate = [](int fd, off_t off, off_t len) { return tick(kSize, fd, off, len), g_real.fallocate(fd, off, len); };
  s.fsync = [](int fd) { return tick(kSync, fd), g_real.fsync(fd); };
  s.fdatasync = [](int fd) { return tick(kSync, fd), g_real.fdatasync(fd); };
  s.fcntl_lock = [](int fd, int cmd, short type) { return tick(), g_real.fcntl_lock(fd, cmd, type); };
  s.mmap_fixed = [](void *a, size_t n, int prot, int fd, off_t off) { return tick(), g_real.mmap_fixed(a, n, prot, fd, off); };
  s.ftruncate = [](int fd, off_t len) { return tick(), g_real.ftruncate(fd, len); };
  s.unlink = [](const char *path) { return tick(), g_real.unlink(path); };
  s.rename = [](const char *from, const char *to) { return tick(), g_real.rename(from, to); };
}

// How a power cut treats the writes since a file's last sync: each piece
// of `unit` bytes reached the disk or not (a growth is a piece at its end),
// so a write can be torn, and a write can be lost while a later one stays.
// `head`: only where the journal's head was written since its last sync;
// `torn`: it may tear a sector.
struct Cut { const char *what; uint64_t unit; bool head, torn; bool (*reached)(bool, uint64_t, std::mt19937 &); };
bool atRandom(bool, uint64_t, std::mt19937 &rng) { return rng() % 2; }
const Cut kCuts[] = {
    {"sectors lost at random", 512, false, false, atRandom},
    {"16-byte pieces lost at random", 16, false, true, atRandom},
    {"the head's write lost, every later one kept", 16, true, false,
     [](bool journal, uint64_t from, std::mt19937 &) { return !journal || from >= nc::kJournalRecords; }},
    {"the head's first 32 bytes kept, its rest lost", 16, true, true,
     [](bool journal, uint64_t from, std::mt19937 &) { return !journal || from < 32 || from >= nc::kJournalRecords; }},
};

// True when the journal's head was written since the journal's last sync.
bool headUnsynced(const std::string &journal) {
  struct stat st;
  if (stat(journal.c_str(), &st) != 0) return false;
  for (size_t i = g_log->events; i-- > 0;) {
    const Event &e = g_log->event[i];
    if (e.ino != uint64_t(st.st_ino)) continue;
    if (e.kind == kSync) return false;
    if (e.kind == kWrite && e.off < nc::kJournalRecords) return true;
  }
  return false;
}

// Undoes the writes to `path` since its last sync that `cut` loses.
void cutPower(const std::string &path, bool journal, const Cut &cut, std::mt19937 &rng) {
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
      if (cut.reached(journal, end, rng)) kept_end = std::max<size_t>(kept_end, size_t(end));
      else if (e.old_size < size) size = std::max<size_t>(size_t(e.old_size), kept_end);
      continue;
    }
    const char *old = g_log->bytes + e.saved;
    for (uint64_t sector = e.off / cut.unit * cut.unit; sector < end; sector += cut.unit) {
      const uint64_t from = std::max(sector, e.off), to = std::min(sector + cut.unit, end);
      const bool reached = cut.reached(journal, from, rng);
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

const char *g_boot;  // the boot a child runs in, as its seam tells it
const std::vector<std::string> kKeys = {"/a/one", "/a/two", "/b/three", "/c/new/four", "/big"};
using Bytes = std::vector<unsigned char>;

// Files a change may find: the registry, its journal (empty: none), and the
// boot the change runs in when it is not the one that wrote the journal.
struct Start { const char *what; Bytes registry, journal; const char *boot; };

// Each state the journal may be in when a change begins, so that the change
// writes the head in each way: it makes the journal, checkpoints to make
// room, is the first commit of a boot, or replays a boot's records at open
// (and every change checkpoints at close). The registry is in this machine's
// byte order, or (`foreign`) the other one.
void makeStarts(const std::string &path, bool foreign, std::vector<Start> *starts) {
  ASSERT_EQ(makeRegistry(path), NC_ERR_OK);
  putInOrder(path, foreign);
  NConfig h(0);
  ASSERT_TRUE(openAs(h, path, NC_O_RW));
  for (int i = 0; i < 3; i++) ASSERT_EQ(h.setKey(kKeys[i].c_str(), kKeys[i].c_str()), NC_ERR_OK);
  h.close();
  const Bytes checkpointed = readFile(path), journal = readFile(path + "-journal");
  ASSERT_TRUE(openAs(h, path, NC_O_RW));
  // Records that stay in the journal and fill it, so that the change must
  // make room; the new generation's first record covers all but the last.
  for (const std::string &v : {std::string(3000, 'j'), std::string(3000, 'k'), std::string("short")})
    ASSERT_EQ(h.setKey("/b/three", v.c_str()), NC_ERR_OK);
  const Bytes held = readFile(path), records = readFile(path + "-journal");
  *starts = {
      {"a checkpointed journal", checkpointed, journal, nullptr},
      {"no journal", checkpointed, {}, nullptr},
      {"records behind which the change does not fit", held, records, nullptr},
      {"a checkpointed journal of an earlier boot", checkpointed, journal, "the child's boot"},
      {"records of an earlier boot the file lacks, replayed at open", checkpointed, records, "the child's boot"},
  };
}

// The change, in a child: a bracket that creates and grows, one that changes
// and deletes (two records, each written in place unsynced), then the close
// that empties the journal. Only the first `brackets`; g_log->acked counts
// the commits that succeeded.
void change(const std::string &path, int brackets) {
  TestNConfig h;
  if (!openAs(h, path, NC_O_RW)) _exit(2);
  for (int k = 1; k <= brackets; k++) {
    h.lockFile(NC_L_RW, 0);
    if (k == 1) h.setKey("/c/new/four", "created"), h.setKey("/big", std::string(3000, 'z').c_str());
    else h.setKey("/a/one", "changed"), h.delKey("/a/two");
    if (h.release() == NC_ERR_OK) g_log->acked = k;
  }
  h.close();
}

// The change cut short at each of its system calls, by a crash and by each
// kind of power cut, from each start. A fresh handle, read-only then
// read-write, then sees a sound file in a state no older than the last
// commit acknowledged; unless a sector tore, the journal never looks damaged.
// Run for a file of this machine's byte order and one of the other.
class Crash : public ::testing::TestWithParam<bool> {};

TEST_P(Crash, EveryCallOfACommitLeavesTheOldOrTheNewState) {
  nc::resetSysCalls();
  TempDir tmp;
  const std::string path = tmp.file("r"), journal = path + "-journal";
  std::vector<Start> starts;
  ASSERT_NO_FATAL_FAILURE(makeStarts(path, GetParam(), &starts));
  g_log = static_cast<Log *>(
      mmap(nullptr, sizeof(Log), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(g_log, MAP_FAILED);
  const char *env = getenv("NC_POWER_CUTS");  // random cuts of each kind per call: 1 unless asked
  const int repeats = env ? atoi(env) : 1;
  std::mt19937 rng(12345);
  for (const Start &start : starts) {
    SCOPED_TRACE(start.what);
    // From the start's files, runs the change (its first `brackets` commits)
    // in a child that dies at call `die_at` (0: never). True when the child
    // got that far.
    auto runChild = [&](long die_at, int brackets = 2) {
      writeFile(path, start.registry);
      unlink(journal.c_str());
      if (!start.journal.empty()) writeFile(journal, start.journal), chmod(journal.c_str(), 0600);
      g_log->acked = 0, g_log->events = g_log->used = 0;
      if (die_at < 0) return false;  // only the files
      const int status = waitFor(spawn([&] {  // the seam ends the child with status 0
        installCrashSeam();
        if ((g_boot = start.boot)) nc::sys().boot_id = [] { return g_boot; };
        g_die_at = die_at;  // counting begins: g_calls is 0 in every child
        change(path, brackets);
        return false;
      }));
      EXPECT_TRUE(status == 0 || status == 1) << status;
      return status == 0;
    };
    State states[3];  // before the change, after one commit, after both
    for (int k = 0; k <= 2; k++) runChild(k ? 0 : -1, k), states[k] = readState(path, kKeys, NC_O_RO);
    ASSERT_EQ(states[2].at("/a/one"), "changed");
    auto expectSound = [&](const std::string &what, long n, bool sectors_whole) {
      testing::internal::CaptureStderr();
      const State ro = readState(path, kKeys, NC_O_RO);
      EXPECT_NE(std::find(states + g_log->acked, states + 3, ro), states + 3)
          << what << " at call " << n << ", " << g_log->acked << " acknowledged";
      EXPECT_EQ(readState(path, kKeys, NC_O_RW), ro) << what << " at call " << n;
      const nc_check_report r = nc_check_file(path.c_str());
      EXPECT_TRUE(r.ok()) << what << " at call " << n << ": " << r.describe();
      EXPECT_EQ(otherOrder(readFile(path)), GetParam()) << what << " at call " << n;
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_TRUE(!sectors_whole || err.find("damaged") == err.npos) << what << " at call " << n << ": " << err;
    };
    long n = 0;
    for (; n == 0 || runChild(n); n++) {  // n = 0: the child ran to its end
      if (n > 0) {  // a crash: the boot goes on
        if ((g_boot = start.boot)) nc::sys().boot_id = [] { return g_boot; };
        expectSound("crash", n, true);
        nc::resetSysCalls();
      }
      const bool head = headUnsynced(journal);  // the calls are the same in every run
      for (const Cut &cut : kCuts)
        for (int c = 0; c < (cut.head ? head : repeats); c++) {
          runChild(n);
          cutPower(path, false, cut, rng), cutPower(journal, true, cut, rng);
          nc::sys().boot_id = [] { return "a later boot"; };
          expectSound(std::string("power cut, ") + cut.what + ",", n, !cut.torn);
          nc::resetSysCalls();
          if (HasFailure()) return;
        }
    }
    EXPECT_GT(n, 10);  // the change made that many calls
  }
  munmap(g_log, sizeof(Log));
}

INSTANTIATE_TEST_SUITE_P(Orders, Crash, ::testing::Bool(), orderName);

}  // namespace
