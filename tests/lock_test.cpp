// Real processes (fork) sharing one registry: a shared lock holds off a
// writer, a handle notices another process's change at its next outermost
// lock, and many writers and readers together lose and tear nothing.
#include <memory>

#include "test_util.h"

namespace {

TEST(Locks, SharedLockHoldsOffAnotherProcesssWriter) {
  TempDir dir;
  const std::string path = dir.file("r");
  TestNConfig reader;
  ASSERT_EQ(makeRegistry(reader, path), NC_ERR_OK);
  reader.lockFile(NC_L_RO, 0);
  const pid_t writer = spawn([&] {  // record locks do not pass to a child
    NConfig w(0);
    if (!openAs(w, path, NC_O_RW)) return false;
    w.lockFile(NC_L_RW, 0);
    w.unLockFile();
    return true;
  });
  EXPECT_TRUE(waitsForLock(writer)) << "the writer never waited for the lock";
  EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the writer did not wait for the reader";
  reader.unLockFile();
  EXPECT_EQ(waitFor(writer), 0);
}

// Another process grows the file: the view moves. A careful handle's view
// of several pages is split into several mappings by its commits (pages
// mapped back one by one, read-only beside pages made writable); each handle
// runs in a child, so that a view the system will not move ends only that.
TEST(Locks, AnotherProcesssChangeIsSeenAtTheNextLock) {
  for (const int careful : {0, 1}) {
    TempDir dir;
    const std::string path = dir.file("r");
    const pid_t mine = spawn([&] {
      TestNConfig h(careful);
      bool ok = makeRegistry(h, path, 4) == NC_ERR_OK && h.createDir("/d/e", 4) == NC_ERR_OK;
      for (int j = 0; ok && j < 3; j++) ok = h.setKey(("/k" + std::to_string(j)).c_str(), j) == NC_ERR_OK;
      ok = ok && h.chDir("/d/e") == NC_ERR_OK && waitFor(spawn([&] {
             NConfig o(0);
             return openAs(o, path, NC_O_RW) && o.setKey("/d/e/big", std::string(20000, 'b').c_str()) == 0;
           })) == 0;
      return ok && valueOf(h, "big").size() == 20000u && h.cdir == h.find("/d/e");  // relative, re-resolved
    });
    EXPECT_EQ(waitFor(mine), 0) << (careful ? "careful" : "plain") << " handle";
  }
}

TEST(Sharing, WritersAndReadersInManyProcessesLoseAndTearNothing) {
  TempDir dir;
  const std::string path = dir.file("r");
  ASSERT_EQ(makeRegistry(*std::make_unique<TestNConfig>(), path), NC_ERR_OK);
  // A longer torture run: NC_SHARING_ROUNDS and NC_SHARING_WRITERS.
  const char *rounds = getenv("NC_SHARING_ROUNDS"), *writers = getenv("NC_SHARING_WRITERS");
  const int kOneShot = writers ? atoi(writers) : 3, kRounds = rounds ? atoi(rounds) : 40;
  auto key = [](int w, int j) { return "/w" + std::to_string(w) + "/k" + std::to_string(j); };
  std::vector<pid_t> kids;
  // Every other handle is careful: its view, split into many mappings by its
  // commits, must follow the others' growth too.
  for (int w = 0; w < kOneShot; w++)  // open, set, close, again and again
    kids.push_back(spawn([&, w] {
      for (int j = 0; j < kRounds; j++) {
        NConfig h(w % 2);
        if (!openAs(h, path, NC_O_RW) || h.setKey(key(w, j).c_str(), unsigned(j)) != NC_ERR_OK) return false;
      }
      return true;
    }));
  kids.push_back(spawn([&] {  // one long-lived handle, pairs changed in one bracket
    NConfig h(1);
    bool ok = openAs(h, path, NC_O_RW);
    for (int j = 0; ok && j < 2 * kRounds; j++) {
      h.lockFile(NC_L_RW, 0);
      const std::string v(size_t(1 + j % 7) * 300, char('a' + j % 26));
      ok = h.setKey("/pair/a", v.c_str()) == NC_ERR_OK && h.setKey("/pair/b", v.c_str()) == NC_ERR_OK;
      h.unLockFile();
      ok = ok && valueOf(h, "/pair/b") == v;  // under a shared lock, after others grew the file
    }
    return ok;
  }));
  kids.push_back(spawn([&] {  // never an error, never half a bracket
    NConfig h(0);
    bool ok = openAs(h, path, NC_O_RO);
    for (int j = 0; ok && j < 20 * kRounds; j++) {
      h.lockFile(NC_L_RO, 0);
      char *a = nullptr, *b = nullptr;
      const int ra = h.getKey("/pair/a", a), rb = h.getKey("/pair/b", b);
      ok = ra == rb && (ra == NC_ERR_NEXIST || (ra == NC_ERR_OK && !strcmp(a, b)));
      free(a);
      free(b);
      h.unLockFile();
      NConfig fresh(0);  // opens land in the middle of commits too
      NConfig &r = j % 8 == 0 ? fresh : h;
      if (&r == &fresh && !openAs(fresh, path, NC_O_RO)) return false;
      unsigned v = 0;
      const int rk = r.getKey(key(1, j % kRounds).c_str(), v);
      ok = ok && (rk == NC_ERR_NEXIST || (rk == NC_ERR_OK && v == unsigned(j % kRounds)));
    }
    return ok;
  }));
  for (pid_t k : kids) EXPECT_EQ(waitFor(k), 0) << "child " << k;
  NConfig h(0);
  ASSERT_TRUE(openAs(h, path, NC_O_RO));
  unsigned v = 0;
  for (int w = 0; w < kOneShot; w++)
    for (int j = 0; j < kRounds; j++)
      EXPECT_TRUE(h.getKey(key(w, j).c_str(), v) == NC_ERR_OK && v == unsigned(j)) << key(w, j);
  EXPECT_TRUE(nc_check_file(path.c_str()).ok()) << nc_check_file(path.c_str()).describe();
}

}  // namespace
