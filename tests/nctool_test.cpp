// nctool's changes are all or nothing and leave no file behind; its watch
// sleeps while nothing changes.

#include "test_util.h"

namespace {

using Args = std::vector<std::string>;

// The names in directory `dir`.
std::vector<std::string> namesIn(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  return names;
}

class Nctool : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(tmp_.c_str(), 0700), 0);
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, reg_, 1, 4, 16), NC_ERR_OK);
    h.setKey("/net/host", "receiver1"), h.setKey("/net/port", 8001u), h.setKey("/old/k", 1);
  }
  // nctool started with TMPDIR naming an empty directory of the test's.
  Program start(const Args &args, const std::string &input = "") {
    setenv("TMPDIR", tmp_.c_str(), 1);
    Program p(NCTOOL_BINARY, args, ".", input);
    unsetenv("TMPDIR");
    return p;
  }
  Program::Outcome run(const Args &args, const std::string &input = "") { return start(args, input).finish(); }

  TempDir dir_;
  const std::string reg_ = dir_.file("reg.db"), tmp_ = dir_.file("tmp");
};

// Many lines, growing the file several times over; `format` takes the line's
// number twice (a name and a value).
std::string growing(const char *format, int lines) {
  std::string script;
  char line[200];
  for (int i = 0; i < lines; i++) script += (snprintf(line, sizeof line, format, i, i), line);
  return script;
}

// A batch or load that fails part way, after changes of every kind and
// growth, leaves the registry byte for byte as it was, in either byte order;
// without the failing line the same change is made, in either order alike.
// Nothing is left in TMPDIR.
TEST_F(Nctool, FailedChangesLeaveTheFileAsItWas) {
  const std::string many = growing("set /many/k%d string %060d\n", 200);
  const struct { const char *cmd; std::string before, failing, after; } cases[] = {
      {"batch", "mkdir /a\nrm -r /old\nmv /net/host h\n" + many, "set /net/port int 5\n", "set /z uint 1\n"},
      {"batch", many + "rm -r /net\n", "rm /nothing\n", ""},
      {"load", "[/]\ny=int:1\n[/many]\n" + growing("k%d=string:%060d\n", 200), "[/z]\n", "[/more]\nx=int:1\n"},
  };
  // Converted to the other order and back by its name and as the host's.
  const std::string other = dir_.file("other.db"), back = dir_.file("back.db");
  const bool big = nc_host_order() == NC_ORDER_BIG;
  const std::string order = big ? "little" : "big";
  ASSERT_EQ(run({"convert", "--byte-order", order, reg_, other}).status, 0);
  for (const char *host : {big ? "big" : "little", "host"}) {
    unlink(back.c_str());
    EXPECT_EQ(run({"convert", "--byte-order", host, other, back}).status, 0);
    EXPECT_EQ(readFile(back), readFile(reg_)) << host;
  }
  for (const std::string &file : {reg_, other}) {
    for (const auto &c : cases) {
      const std::vector<unsigned char> before = readFile(file);
      const auto failed = run({c.cmd, file}, c.before + c.failing + c.after);
      EXPECT_NE(failed.status, 0) << c.cmd << " " << c.failing;
      EXPECT_EQ(std::count(failed.err.begin(), failed.err.end(), '\n'), 1) << failed.err;
      EXPECT_TRUE(readFile(file) == before) << c.cmd << " " << c.failing << file;
      const auto done = run({c.cmd, file}, c.before + c.after);
      EXPECT_EQ(done.status, 0) << c.cmd << " " << done.err;
      EXPECT_NE(readFile(file), before) << c.cmd;
      EXPECT_EQ(run({"check", "-q", file}).status, 0) << c.cmd;
      ASSERT_EQ(namesIn(tmp_), std::vector<std::string>{});
      const std::vector<unsigned char> changed = readFile(file);
      EXPECT_EQ(run({c.cmd, file}, c.before + c.failing).status != 0 && readFile(file) == changed, true);
    }
  }
  // The same changes made the same tree, and the file kept its order.
  EXPECT_EQ(run({"dump", other}).out, run({"dump", reg_}).out);
  EXPECT_NE(run({"stat", other}).out.find("byte order:   " + order + "-endian\n"), std::string::npos);
}

// A long batch killed mid-way commits all of it or nothing (the kill may come
// after its commit is durable, while the process is still writing or
// closing), and leaves nothing in TMPDIR.
TEST_F(Nctool, AKilledBatchLeavesNothingBehind) {
  const std::string dump = run({"dump", reg_}).out;
  TestNConfig reader;  // holds the batch at its exclusive lock until it is surely running
  ASSERT_TRUE(openAs(reader, reg_, NC_O_RO));
  reader.lockFile(NC_L_RO, 0);
  Program batch = start({"batch", reg_}, growing("set /k/%d string %040d\n", 20000));
  ASSERT_TRUE(waitsForLock(batch.pid()));
  reader.unLockFile();
  usleep(100 * 1000);
  kill(batch.pid(), SIGKILL);
  EXPECT_EQ(batch.finish().status, -1) << "the batch ended before it was killed";
  EXPECT_EQ(namesIn(tmp_), std::vector<std::string>{});
  EXPECT_EQ(run({"check", "-q", reg_}).status, 0);
  const std::string after = run({"dump", reg_}).out;
  if (after != dump) {
    EXPECT_NE(after.find("\n19999=string:" + std::string(35, '0') + "19999\n"), std::string::npos);
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), std::count(dump.begin(), dump.end(), '\n') + 20001);
  }
}

// watch prints each change once, and sleeps in between.
TEST_F(Nctool, WatchPrintsAChangeOnceAndSleepsWhileIdle) {
  Program w = start({"watch", reg_, "/net", "--timeout", "60"});
  size_t shown = 0;
  auto printed = [&](int ms) {  // what it printed within `ms` milliseconds from now ("" when nothing)
    std::string out = w.output();
    for (; ms > 0 && out.size() == shown; ms -= 10) usleep(10 * 1000), out = w.output();
    if (out.size() > shown) usleep(50 * 1000), out = w.output();
    return out.substr(std::exchange(shown, out.size()));
  };
  auto set = [&](unsigned port) {
    TestNConfig h;
    return openAs(h, reg_, NC_O_RW) && h.setKey("/net/port", port) == NC_ERR_OK;
  };
  // Its first reading is done once it reports a change.
  std::string first;
  for (unsigned i = 1; i <= 50 && first.empty(); i++) { ASSERT_TRUE(set(i)); first = printed(200); }
  ASSERT_NE(first, "");
  EXPECT_EQ(printed(1000), "") << "idle";
  ASSERT_TRUE(set(99999));
  EXPECT_EQ(printed(2000), "changed /net/port (uint) = 99999\n");
  EXPECT_EQ(printed(300), "");
  kill(w.pid(), SIGTERM);
  // An emulator's own start costs more.
  EXPECT_LT(w.finish().cpu, *NC_EMULATOR ? 1.0 : 0.3) << "seconds of processor time in about two seconds, mostly idle";
  EXPECT_EQ(namesIn(tmp_), std::vector<std::string>{});
}

}  // namespace
