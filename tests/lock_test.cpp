// Real processes (fork) sharing one registry: a shared lock holds off a
// writer, and many writers and readers together lose and tear nothing.
// (Another process's change seen at the next lock: byteorder_test.cpp.)

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

TEST(Sharing, WritersAndReadersInManyProcessesLoseAndTearNothing) {
  TempDir dir;
  const std::string path = dir.file("r");
  ASSERT_EQ(makeRegistry(path), NC_ERR_OK);
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
