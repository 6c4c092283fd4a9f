// The path cache: the table's own rules, and a cached lookup answering what an
// uncached walk answers, whatever changed the file.

#include "lib/system/nconfig/cache.h"
#include "test_util.h"

namespace {

using nc::PathCache;

TEST(PathCacheTable, AnswersForItsStateOnlyAndStaysBounded) {
  PathCache c;
  c.put("/a/b", 4, 100, 7, 4096);
  c.put("/a/bc", 5, 200, 7, 4096);
  const struct { const char *path; uint32_t modtime, size, want; } rows[] = {
      {"/a/b", 7, 4096, 100}, {"/a/bc", 7, 4096, 200}, {"/a", 7, 4096, 0},
      {"/a/b", 8, 4096, 0},   {"/a/b", 7, 8192, 0}};
  for (const auto &r : rows) EXPECT_EQ(c.find(r.path, strlen(r.path), r.modtime, r.size), r.want) << r.path;
  auto path = [](uint32_t i) { return "/d" + std::to_string(i % 97) + "/k" + std::to_string(i); };
  const uint32_t n = PathCache::kMaxEntries;
  for (uint32_t i = 1; i <= n; i++) c.put(path(i).data(), path(i).size(), i * 4, 1, 4096);
  for (uint32_t i = 1; i <= n; i++) ASSERT_EQ(c.find(path(i).data(), path(i).size(), 1, 4096), i * 4);
  c.put("/k", 2, 4, 1, 4096);
  EXPECT_EQ(c.entries(), 1u);  // past the bound: cleared, then refilled
  EXPECT_LE(c.bytes(), size_t(PathCache::kMaxSlots) * 16 + PathCache::kMaxKeyBytes);
  // Enough drops to wrap the epoch: no path of an old epoch comes back.
  for (uint32_t round = 2; round < 70000; round++) {
    c.put("/r", 2, 8, round, 4096);
    ASSERT_EQ(c.find("/k", 2, round, 4096), 0u) << round;
  }
  const std::string too_long(PathCache::kMaxKey + 1, 'k');
  c.put(too_long.data(), too_long.size(), 8, 1, 4096);
  EXPECT_EQ(c.find(too_long.data(), too_long.size(), 1, 4096), 0u);
}

// Walks from an explicit start entry, which is never cached.
class CachedHandle : public TestNConfig {
 public:
  using NConfig::pcache;
  nc_de_s *walk(const char *path) {
    nc_de_s *from = *path == '/' ? rdir : cdir;
    return from ? getDirEnt(path, from) : nullptr;
  }
};

// /a../c, /a/x../a/zz, /a/x/k1.. (/?/v never made: renames go there).
std::vector<std::string> universe() {
  std::vector<std::string> paths;
  for (std::string a : {"/a", "/b", "/c"})
    for (std::string b : {"", "/x", "/y", "/v", "/zz"})
      for (std::string k : {"", "/k1", "/k2", "/k9"})
        if (!(b.empty() && !k.empty())) paths.push_back(a + b + k);
  return paths;
}

void randomChange(NConfig &h, std::mt19937 &rng, const std::vector<std::string> &paths) {
  const std::string &p = paths[rng() % paths.size()], &q = paths[rng() % paths.size()];
  switch (rng() % 4) {
    case 0: h.delKey(p.c_str()); break;
    case 1: h.renameKey(p.c_str(), q.substr(q.rfind('/') + 1).c_str()); break;
    case 2: h.createDir(p.c_str(), 2); break;
    default: h.setKey(p.c_str(), "v"); break;
  }
}

class CacheMatchesWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    // Room for all but growth on purpose: a re-map drops the cache by itself.
    ASSERT_EQ(makeRegistry(h, path_, 16, 2, 16), NC_ERR_OK);
    for (const std::string &p : paths)
      if (std::count(p.begin(), p.end(), '/') == 3 && p.find("/v/") == std::string::npos)
        h.setKey(p.c_str(), 1u);
    // Commits between h's locks, as another process would.
    ASSERT_TRUE(openAs(other, path_, NC_O_RW));
    other.pcache->enable(false);
  }
  // Each path, absolute and relative, twice: the second answer is cached.
  void expectSameAnswers(const char *when) {
    for (int pass = 0; pass < 2; pass++)
      for (const std::string &p : paths)
        for (const char *q : {p.c_str(), p.c_str() + 1}) ASSERT_EQ(h.find(q), h.walk(q)) << when << " " << q;
  }
  void compareLocked(const char *when) { h.lockFile(NC_L_RO, 0), expectSameAnswers(when), h.unLockFile(); }
  TempDir dir;
  std::string path_ = dir.file("r");
  CachedHandle h, other;
  std::vector<std::string> paths = universe();
};

TEST_F(CacheMatchesWalk, ChangesByAnotherHandleAndInABracket) {
  h.chDir("/b");
  compareLocked("before");
  other.lockFile(NC_L_RW, 0);
  for (int i = 0; i < 2000; i++) other.setKey(("/g/k" + std::to_string(i)).c_str(), 1u);
  other.unLockFile();
  compareLocked("grown");
  std::mt19937 rng(3);  // random changes by the other handle and, in brackets, by h
  for (int i = 0; i < 300; i++) {
    if (i % 50 == 0) h.chDir(i % 100 ? "/c" : "/");
    if (i % 3 == 0) randomChange(other, rng, paths);
    h.lockFile(NC_L_RW, 0);
    for (int k = 0; k < 3; k++) randomChange(h, rng, paths), expectSameAnswers("in the bracket");
    h.unLockFile();
    compareLocked("after the bracket");
  }
}

TEST_F(CacheMatchesWalk, DamagedFile) {
  // Words written straight into the file between this handle's locks.
  const struct { const char *what, *path; uint32_t field, words, value; bool bump; } rows[] = {
      {"entry zeroed, counter kept", "/a/x/k1", 0, 6, 0, false},
      {"directory freed", "/b/y", 1, 1, 0, true},
      {"slot array out of the file", "/c", 3, 1, 0xFFFFFF00u, true},
      {"name out of the file", "/a/zz", 0, 1, 0xFFFFFF00u, true},
      {"recorded size past the file", nullptr, 1, 1, 0x7FFFF000u, true}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.what);
    h.lockFile(NC_L_RO, 0);
    expectSameAnswers("before");
    const uint32_t at = r.path ? h.offsetOf(h.walk(r.path)) : 0, mod = h.sb->modtime + r.bump;
    h.unLockFile();
    const int fd = ::open(path_.c_str(), O_RDWR);
    for (uint32_t w = 0; w < r.words; w++) ASSERT_EQ(pwrite(fd, &r.value, 4, at + 4 * (r.field + w)), 4);
    ASSERT_EQ(pwrite(fd, &mod, 4, offsetof(nc_sb_s, modtime)), 4);
    ::close(fd);
    compareLocked("after");
  }
}

// Growth refused: the operation fails and everything since the lock is undone.
TEST_F(CacheMatchesWalk, DiscardedChangesLeaveNoPath) {
  h.lockFile(NC_L_RW, 0);
  h.renameKey("/a/y", "v");  // new paths for old entries, and a new entry
  h.delKey("/b/x/k1"), h.setKey("/b/x/k9", 1u);
  expectSameAnswers("pending");
  nc::sys().fallocate = [](int, off_t, off_t) { return ENOSPC; };
  int rc = NC_ERR_OK;
  for (int i = 0; i < 5000 && rc == NC_ERR_OK; i++) rc = h.setKey(("/f/k" + std::to_string(i)).c_str(), 1u);
  nc::resetSysCalls();
  EXPECT_EQ(rc, NC_ERR_NMEM);
  expectSameAnswers("discarded");
  h.unLockFile();
}

}  // namespace
