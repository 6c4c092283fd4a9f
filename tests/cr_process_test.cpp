// The patch tool run as a process of its own. Its test build opens
// "cr-registry" relative to its working directory, so every test has a
// registry of its own in a temporary directory.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "test_util.h"

namespace {

const char kBanner[] =
    "\nBrakkol - Zembrit v1.0\n"
    "Author: maintainer@example.org\n"
    "Support: support@example.org and receivers@example.org, "
    "https://forum.example.org/\n\n";

std::string lnbKey(int lnb, const char *leaf) {
  return "/quorvane/DVB/config/lnbs/" + std::to_string(lnb) + "/" + leaf;
}

class CrProcess : public ::testing::Test {
 protected:
  // Creates the registry and lets `fill` store keys in it.
  void writeRegistry(const std::function<void(NConfig &)> &fill) {
    std::filesystem::remove(registry_);
    TestNConfig registry;
    ASSERT_EQ(makeRegistry(registry, registry_, 2), NC_ERR_OK);
    fill(registry);
  }
  Program start() { return Program(CR_TEST_BINARY, {"ignored-argument"}, tmp_.path()); }

  // The registry's bytes once `patches` (LNB, old table, new table) are
  // stored in this order, as the tool must store them; and the report the
  // tool must print for them.
  std::pair<std::vector<unsigned char>, std::string> expect(
      const std::vector<std::tuple<int, std::string, std::string>> &patches) {
    const auto before = readFile(registry_);
    writeFile(tmp_.file("expected"), before);
    std::string report = kBanner;
    {
      TestNConfig h;
      h.setName(tmp_.file("expected").c_str());
      EXPECT_EQ(h.open(NC_O_RW), NC_ERR_OK);
      for (const auto &[lnb, old, normal] : patches) {
        EXPECT_EQ(h.setKey(lnbKey(lnb, "RotorTable").c_str(), normal.c_str()), NC_ERR_OK);
        report += "Patching " + lnbKey(lnb, "RotorTable") + "\nold='" + old + "'\nnew='" + normal + "'\n";
      }
    }
    return {readFile(tmp_.file("expected")), report};
  }

  TempDir tmp_;
  const std::string registry_ = tmp_.file(CR_TEST_REGISTRY);
};

TEST_F(CrProcess, RewritesEveryRotorTableAndNothingElse) {
  writeRegistry([](NConfig &r) {
    r.setKey("/quorvane/DVB/config/tuner/name", "DVB-S2");
    r.setKey("/quorvane/DVB/config/tuner/gain", -3);
    r.setKey("/quorvane/DVB/config/tuner/calibration", "\x01\x00\x02", 3);
    const char *tables[] = {"+019213+013012", "+0192130-0130120", nullptr, "+019213+01",
                            "+019213+0130120+01600000"};
    for (int lnb = 0; lnb < 5; ++lnb) {
      r.setKey(lnbKey(lnb, "lofH").c_str(), 10600000u);
      r.setKey(lnbKey(lnb, "lofL").c_str(), 9750000u);
      if (tables[lnb]) r.setKey(lnbKey(lnb, "RotorTable").c_str(), tables[lnb]);
    }
    r.setKey(lnbKey(5, "lofH").c_str(), 10600000u);
    r.setKey(lnbKey(5, "RotorTable").c_str(), 19213u);  // not a string
    r.setKey(lnbKey(6, "lofH").c_str(), 10750000u);
    r.setKey(lnbKey(6, "RotorTable").c_str(), "");
  });
  const auto [bytes, report] = expect({{0, "+019213+013012", "+019213+013012"},
                                       {1, "+0192130-0130120", "01921300130120"},
                                       {3, "+019213+01", "+019213"},
                                       {4, "+019213+0130120+01600000", "+019213+0130120+01600000"},
                                       {6, "", ""}});
  const Program::Outcome run = start().finish();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, report);
  EXPECT_EQ(readFile(registry_), bytes);
}

TEST_F(CrProcess, StopsAtTheFirstLnbWithoutAnUnsignedLofH) {
  // LNB 0 has no lofH, or one stored as a signed integer; LNB 1 is never reached.
  for (bool has_lofh : {false, true}) {
    writeRegistry([&](NConfig &r) {
      if (has_lofh) r.setKey(lnbKey(0, "lofH").c_str(), 10600000);
      r.setKey(lnbKey(0, "RotorTable").c_str(), "+0192130");
      r.setKey(lnbKey(1, "lofH").c_str(), 10600000u);
      r.setKey(lnbKey(1, "RotorTable").c_str(), "+0192130");
    });
    const auto before = readFile(registry_);
    const Program::Outcome run = start().finish();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kBanner);
    EXPECT_EQ(readFile(registry_), before);
  }
  std::filesystem::remove(registry_);  // no registry: nothing is created either
  std::filesystem::remove(registry_ + "-journal");
  EXPECT_EQ(start().finish().out, kBanner);
  EXPECT_TRUE(std::filesystem::is_empty(tmp_.path()));
}

// True once the record-lock table shows `pid` waiting for a lock; false when
// the table cannot be read (then after a pause) or the process ended first.
bool waitUntilBlockedOnLock(pid_t pid) {
  const std::string waiter = " " + std::to_string(pid) + " ";
  for (int tries = 0; tries < 3000; tries++) {
    std::ifstream locks("/proc/locks");
    if (!locks) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      return false;
    }
    for (std::string line; std::getline(locks, line);)
      if (line.find("->") != std::string::npos && line.find(waiter) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "the tool never waited for the lock";
  return false;
}

TEST_F(CrProcess, WaitsForAnotherProcessHoldingASharedLock) {
  writeRegistry([](NConfig &r) {
    r.setKey(lnbKey(0, "lofH").c_str(), 10600000u);
    r.setKey(lnbKey(0, "RotorTable").c_str(), "+0192130");
  });
  const auto before = readFile(registry_);
  const auto [bytes, report] = expect({{0, "+0192130", "0192130"}});

  // Another process holds a shared lock until its pipe is closed: readers
  // may share the file, the tool's store needs it alone.
  int ready[2], release[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    close(release[1]);
    struct flock shared = {};
    shared.l_type = F_RDLCK;
    const int fd = ::open(registry_.c_str(), O_RDONLY);
    const char ok = fd >= 0 && fcntl(fd, F_SETLK, &shared) == 0 ? 'y' : 'n';
    char c;
    (void)!write(ready[1], &ok, 1);
    (void)!read(release[0], &c, 1);
    _exit(0);
  }
  close(release[0]);
  char ok = 'n';
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');

  Program tool = start();
  waitUntilBlockedOnLock(tool.pid());
  int status;
  EXPECT_EQ(waitpid(tool.pid(), &status, WNOHANG), 0) << "the tool did not wait";
  EXPECT_EQ(readFile(registry_), before);
  close(release[1]);  // the holder ends, and its lock with it
  EXPECT_EQ(waitpid(holder, &status, 0), holder);
  const Program::Outcome run = tool.finish();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, report);
  EXPECT_EQ(readFile(registry_), bytes);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
