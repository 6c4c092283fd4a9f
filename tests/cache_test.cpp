// The path cache: the table itself, and the rule that a cached lookup always
// answers what an uncached walk answers, whatever changed the file: this
// handle inside one bracket, another process between locks, damage, growth,
// a discarded operation.
#include <algorithm>
#include <cerrno>
#include <random>

#include "lib/system/nconfig/cache.h"
#include "lib/system/nconfig/internal.h"
#include "test_util.h"

namespace {

using nc::PathCache;

TEST(PathCacheTable, AnswersOnlyForTheStateItWasFilledUnder) {
  PathCache c;
  c.put("/a/b", 4, 100, 7, 4096);
  c.put("/a/bc", 5, 200, 7, 4096);
  struct Row {
    const char *path;
    uint32_t modtime, size, want;
  } rows[] = {
      {"/a/b", 7, 4096, 100}, {"/a/bc", 7, 4096, 200}, {"/a/c", 7, 4096, 0},
      {"/a", 7, 4096, 0},     {"/a/b", 8, 4096, 0},    {"/a/b", 7, 8192, 0},
  };
  for (const Row &r : rows)
    EXPECT_EQ(c.find(r.path, strlen(r.path), r.modtime, r.size), r.want) << r.path << " " << r.modtime;

  c.follow(7, 9, 4096);  // an insertion by the handle itself
  EXPECT_EQ(c.find("/a/b", 4, 9, 4096), 100u);
  c.follow(7, 10, 4096);  // not the state it holds: dropped
  EXPECT_EQ(c.find("/a/b", 4, 9, 4096), 0u);
  EXPECT_EQ(c.entries(), 0u);

  c.put("/a/b", 4, 100, 1, 4096);
  c.put("/x", 2, 300, 2, 4096);  // a fill under another state drops the rest
  EXPECT_EQ(c.find("/a/b", 4, 2, 4096), 0u);
  EXPECT_EQ(c.find("/x", 2, 2, 4096), 300u);
  c.put("/x", 2, 400, 2, 4096);  // a path filled again takes the new entry
  EXPECT_EQ(c.find("/x", 2, 2, 4096), 400u);
  EXPECT_EQ(c.entries(), 1u);

  const std::string longest(PathCache::kMaxKey, 'k'), too_long(PathCache::kMaxKey + 1, 'k');
  c.put(longest.data(), longest.size(), 500, 2, 4096);
  c.put(too_long.data(), too_long.size(), 600, 2, 4096);
  EXPECT_EQ(c.find(longest.data(), longest.size(), 2, 4096), 500u);
  EXPECT_EQ(c.find(too_long.data(), too_long.size(), 2, 4096), 0u);

  c.enable(false);
  c.put("/x", 2, 400, 2, 4096);
  EXPECT_EQ(c.find("/x", 2, 2, 4096), 0u);
}

TEST(PathCacheTable, GrowsKeepingEveryPathAndClearsAtItsBound) {
  PathCache c;
  auto path = [](uint32_t i) { return "/d" + std::to_string(i % 97) + "/k" + std::to_string(i); };
  const uint32_t n = 20000;
  for (uint32_t i = 1; i <= n; i++) c.put(path(i).data(), path(i).size(), i * 4, 1, 1 << 20);
  ASSERT_EQ(c.entries(), n);
  for (uint32_t i = 1; i <= n; i++) ASSERT_EQ(c.find(path(i).data(), path(i).size(), 1, 1 << 20), i * 4) << i;
  // Many drops wrap the epoch: no path of an old epoch may come back.
  for (uint32_t round = 0; round < 70000; round++) {
    c.put("/r", 2, 8, round, 4096);
    ASSERT_EQ(c.find(path(n).data(), path(n).size(), round, 4096), 0u) << round;
  }
  for (uint32_t i = 1; i <= PathCache::kMaxEntries; i++) c.put(path(i).data(), path(i).size(), 4, 1, 4096);
  EXPECT_EQ(c.entries(), PathCache::kMaxEntries);
  c.put("/one/more", 9, 8, 1, 4096);  // past the bound: cleared, then kept
  EXPECT_EQ(c.entries(), 1u);
  EXPECT_LE(c.bytes(), size_t(PathCache::kMaxSlots) * 16 + PathCache::kMaxKeyBytes);
}

// A handle whose lookups can be compared with uncached walks of the same view.
class CachedHandle : public TestNConfig {
 public:
  using NConfig::pcache, NConfig::discardPending;
  // The entry `path` names, found by a walk that bypasses the cache (a start
  // entry given explicitly is never cached).
  nc_de_s *walk(const char *path) {
    if (!data) return nullptr;
    nc_de_s *from = *path == '/' ? rdir : cdir;
    return from ? getDirEnt(path, from) : nullptr;
  }
};

// Paths over a small alphabet, so that random operations meet each other.
std::vector<std::string> universe() {
  std::vector<std::string> paths;
  for (const char *a : {"a", "b", "c"}) {
    paths.push_back(std::string("/") + a);
    for (const char *b : {"x", "y", "v", "zz"}) {
      paths.push_back(std::string("/") + a + "/" + b);
      for (const char *k : {"k1", "k2", "k9"}) paths.push_back(std::string("/") + a + "/" + b + "/" + k);
    }
  }
  return paths;
}

// One random structural or value change through `h`.
void randomChange(NConfig &h, std::mt19937 &rng, const std::vector<std::string> &paths) {
  const std::string &p = paths[rng() % paths.size()];
  const std::string &q = paths[rng() % paths.size()];
  switch (rng() % 5) {
    case 0: h.delKey(p.c_str()); break;
    case 1: h.renameKey(p.c_str(), q.substr(q.rfind('/') + 1).c_str()); break;
    case 2: h.createDir(p.c_str(), 2); break;
    case 3: h.setKey(p.c_str(), unsigned(rng())); break;
    default: h.setKey(p.c_str(), "v"); break;
  }
}

class CacheMatchesWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir.file("r");
    // Room for every change but the ones meant to grow the file: a growth
    // re-maps the view and so would drop the cache by itself.
    ASSERT_EQ(makeRegistry(h, path_, 16, 2, 16), NC_ERR_OK);
    for (const std::string &p : paths) {
      if (std::count(p.begin(), p.end(), '/') == 3 && p.find("/v/") == std::string::npos) {
        ASSERT_EQ(h.setKey(p.c_str(), 1u), NC_ERR_OK);
      }
    }
  }
  // Every path of the universe, absolute and relative to the current
  // directory, resolves through the cache as the walk resolves it; each is
  // looked up twice, so the second answer comes from the cache.
  void expectSameAnswers(const char *when) {
    for (int pass = 0; pass < 2; pass++)
      for (const std::string &p : paths) {
        ASSERT_EQ(h.find(p.c_str()), h.walk(p.c_str())) << when << " " << p;
        const char *rel = p.c_str() + 1;
        ASSERT_EQ(h.find(rel), h.walk(rel)) << when << " " << rel;
      }
  }
  // Runs `change` in another process, which opens the file itself.
  template <class F>
  void inChild(F change) {
    h.lockFile(NC_L_RO, 0);
    expectSameAnswers("before the child");
    h.unLockFile();
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      NConfig other(0);
      if (other.setName(path_.c_str()) != NC_ERR_OK || other.open(NC_O_RW) != NC_ERR_OK) _exit(1);
      change(other);
      other.close();
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    h.lockFile(NC_L_RO, 0);
    expectSameAnswers("after the child");
    h.unLockFile();
  }
  TempDir dir;
  std::string path_;
  CachedHandle h;
  std::vector<std::string> paths = universe();
};

TEST_F(CacheMatchesWalk, AnotherProcessChangesTheTreeBetweenLocks) {
  struct Row {
    const char *what;
    void (*change)(NConfig &);
  } rows[] = {
      // A freed entry is reused at once under another name.
      {"delete, then create a sibling", [](NConfig &o) { o.delKey("/a/x/k1"); o.setKey("/a/x/k9", 2u); }},
      {"rename a key", [](NConfig &o) { o.renameKey("/b/y/k2", "k0"); }},
      {"rename a directory", [](NConfig &o) { o.renameKey("/c/x", "w"); }},
      {"delete and re-create a directory", [](NConfig &o) { o.delKey("/a/zz"); o.setKey("/a/zz/k2", 3u); }},
      {"grow the file", [](NConfig &o) {
         for (int i = 0; i < 2000; i++) o.setKey(("/big/k" + std::to_string(i)).c_str(), "grown");
       }},
      {"change values only", [](NConfig &o) { o.setKey("/a/y/k1", 5u); }},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    h.chDir("/b");
    inChild(r.change);
  }
  EXPECT_GT(h.pcache->entries(), 0u);
}

TEST_F(CacheMatchesWalk, RandomChangesByAnotherProcess) {
  std::mt19937 rng(11);
  for (int round = 0; round < 12; round++) {
    const unsigned seed = unsigned(rng());
    h.chDir(round % 2 ? "/a" : "/");
    inChild([&](NConfig &o) {
      std::mt19937 child_rng(seed);
      for (int i = 0; i < 6; i++) randomChange(o, child_rng, paths);
    });
  }
}

TEST_F(CacheMatchesWalk, OwnChangesInsideOneBracket) {
  std::mt19937 rng(5);
  h.lockFile(NC_L_RW, 0);
  for (int i = 0; i < 300; i++) {
    if (i % 50 == 0) h.chDir(i % 100 ? "/c" : "/");
    randomChange(h, rng, paths);
    expectSameAnswers(("change " + std::to_string(i)).c_str());
  }
  h.unLockFile();
  expectSameAnswers("after the commit");
}

TEST_F(CacheMatchesWalk, AgainstAHandleWithoutCache) {
  CachedHandle plain;
  ASSERT_EQ(plain.setName(path_.c_str()), NC_ERR_OK);
  ASSERT_EQ(plain.open(NC_O_RW), NC_ERR_OK);
  plain.pcache->enable(false);
  std::mt19937 rng(3);
  for (int i = 0; i < 200; i++) {
    randomChange(i % 3 ? h : plain, rng, paths);
    h.lockFile(NC_L_RO, 0);
    plain.lockFile(NC_L_RO, 0);
    for (const std::string &p : paths) {
      const nc_de_s *a = h.find(p.c_str()), *b = plain.find(p.c_str());
      ASSERT_EQ(a ? h.offsetOf(a) : 0, b ? plain.offsetOf(b) : 0) << i << " " << p;
    }
    plain.unLockFile();
    h.unLockFile();
  }
  EXPECT_EQ(plain.pcache->entries(), 0u);
}

TEST_F(CacheMatchesWalk, DamagedFile) {
  // Damage written straight into the file between this handle's locks.
  struct Row {
    const char *what;
    const char *path;  // the entry damaged (null: the superblock)
    uint32_t field;    // its first word changed (name, type, parent, offset, pages)
    uint32_t words;    // words changed
    uint32_t value;
    bool bump;         // the writer moved modtime too
  } rows[] = {
      {"entry zeroed in place", "/a/x/k1", 0, 6, 0, false},
      {"entry freed, its name kept", "/a/x/k2", 1, 1, 0, false},
      {"directory freed, counter moved", "/b/y", 1, 1, 0, true},
      {"slot array out of the file", "/c", 3, 1, 0xFFFFFF00u, true},
      {"name out of the file", "/a/zz", 0, 1, 0xFFFFFF00u, true},
      {"recorded size past the file", nullptr, 1, 1, 0x7FFFF000u, true},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    h.lockFile(NC_L_RO, 0);
    expectSameAnswers("before");
    const uint32_t at = r.path ? h.offsetOf(h.walk(r.path)) : 0;
    h.unLockFile();
    const int fd = ::open(path_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    for (uint32_t w = 0; w < r.words; w++)
      ASSERT_EQ(pwrite(fd, &r.value, 4, at + 4 * (r.field + w)), 4);
    uint32_t mod = 0;
    ASSERT_EQ(pread(fd, &mod, 4, offsetof(nc_sb_s, modtime)), 4);
    mod += r.bump;
    ASSERT_EQ(pwrite(fd, &mod, 4, offsetof(nc_sb_s, modtime)), 4);
    ::close(fd);
    h.lockFile(NC_L_RO, 0);
    expectSameAnswers("after");
    h.unLockFile();
  }
}

TEST_F(CacheMatchesWalk, DiscardedChangesLeaveNoPath) {
  std::mt19937 rng(9);
  for (int round = 0; round < 20; round++) {
    h.lockFile(NC_L_RW, 0);
    // A rename and a re-created key among the changes: their new paths are
    // cached, and name other entries, or nothing, once discarded.
    h.renameKey("/a/y", "v");
    h.delKey("/b/x/k1");
    h.setKey("/b/x/k9", 1u);
    for (int i = 0; i < 5; i++) randomChange(h, rng, paths);
    expectSameAnswers("pending");
    h.discardPending();  // as a failed growth or commit does
    expectSameAnswers("discarded");
    h.unLockFile();
  }
  // The same through the public interface: growth refused by the disk.
  nc::SysCalls &sys = nc::sys();
  const auto real = sys.fallocate;
  h.lockFile(NC_L_RW, 0);
  ASSERT_EQ(h.setKey("/a/x/k2", 7u), NC_ERR_OK);
  expectSameAnswers("before the refusal");
  sys.fallocate = [](int, off_t, off_t) { return ENOSPC; };
  int rc = NC_ERR_OK;
  for (int i = 0; i < 5000 && rc == NC_ERR_OK; i++)
    rc = h.setKey(("/full/k" + std::to_string(i)).c_str(), "a value that fills the file");
  sys.fallocate = real;
  EXPECT_EQ(rc, NC_ERR_NMEM);
  expectSameAnswers("after the refusal");
  h.unLockFile();
}

}  // namespace
