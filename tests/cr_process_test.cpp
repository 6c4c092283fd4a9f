// The patch tool run as a process of its own. Its test build opens
// "cr-registry" relative to its working directory, so every test has a
// registry of its own in a temporary directory.

#include "test_util.h"

namespace {

const char kBanner[] =
    "\nBrakkol - Zembrit v1.0\nAuthor: maintainer@example.org\n"
    "Support: support@example.org and receivers@example.org, https://forum.example.org/\n\n";

std::string lnbKey(int lnb, const char *leaf) {
  return "/quorvane/DVB/config/lnbs/" + std::to_string(lnb) + "/" + leaf;
}

class CrProcess : public ::testing::Test {
 protected:
  using Patches = std::vector<std::tuple<int, std::string, std::string>>;

  // Creates the registry and lets `fill` store keys in it; its bytes.
  std::vector<unsigned char> writeRegistry(const std::function<void(NConfig &)> &fill) {
    std::filesystem::remove(registry_);
    {
      TestNConfig registry;
      EXPECT_EQ(makeRegistry(registry, registry_, 2), NC_ERR_OK);
      fill(registry);
    }
    return readFile(registry_);
  }
  Program start() { return Program(CR_TEST_BINARY, {"ignored-argument"}, tmp_.path()); }

  // Waits for `tool`, started on a registry of the bytes `before`: it must
  // end with status 0, print the banner and a report of each of `patches`
  // (LNB, old table, new table), and leave the bytes that storing the new
  // tables in this order makes.
  void finish(Program &&tool, const std::vector<unsigned char> &before, const Patches &patches) {
    const std::string expected = scratch_.file("expected");
    writeFile(expected, before);
    std::string report = kBanner;
    {
      TestNConfig h;
      h.setName(expected.c_str());
      EXPECT_EQ(h.open(NC_O_RW), NC_ERR_OK);
      for (const auto &[lnb, old, normal] : patches) {
        EXPECT_EQ(h.setKey(lnbKey(lnb, "RotorTable").c_str(), normal.c_str()), NC_ERR_OK);
        report += "Patching " + lnbKey(lnb, "RotorTable") + "\nold='" + old + "'\nnew='" + normal + "'\n";
      }
    }
    const Program::Outcome run = tool.finish();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, report);
    EXPECT_EQ(readFile(registry_), patches.empty() ? before : readFile(expected));
  }

  TempDir tmp_, scratch_;
  const std::string registry_ = tmp_.file(CR_TEST_REGISTRY);
};

TEST_F(CrProcess, RewritesEveryRotorTableAndNothingElse) {
  const auto before = writeRegistry([](NConfig &r) {
    for (int lnb = 0; lnb < 4; ++lnb) r.setKey(lnbKey(lnb, "lofH").c_str(), 10600000u);
    r.setKey(lnbKey(0, "RotorTable").c_str(), "+0192130-0130120");
    r.setKey(lnbKey(2, "RotorTable").c_str(), 19213u);  // not a string
    r.setKey(lnbKey(3, "RotorTable").c_str(), "");
  });
  finish(start(), before, {{0, "+0192130-0130120", "01921300130120"}, {3, "", ""}});
}

TEST_F(CrProcess, StopsAtTheFirstLnbWithoutAnUnsignedLofH) {
  // LNB 0 has no lofH, or one stored as a signed integer; LNB 1 is never reached.
  for (bool has_lofh : {false, true}) {
    const auto before = writeRegistry([&](NConfig &r) {
      if (has_lofh) r.setKey(lnbKey(0, "lofH").c_str(), 10600000);
      r.setKey(lnbKey(0, "RotorTable").c_str(), "+0192130");
      r.setKey(lnbKey(1, "lofH").c_str(), 10600000u);
      r.setKey(lnbKey(1, "RotorTable").c_str(), "+0192130");
    });
    finish(start(), before, {});
  }
  std::filesystem::remove(registry_);  // no registry: nothing is created either
  std::filesystem::remove(registry_ + "-journal");
  EXPECT_EQ(start().finish().out, kBanner);
  EXPECT_TRUE(std::filesystem::is_empty(tmp_.path()));
}

// This process holds a shared lock: readers may share the file, the tool's
// store needs it alone, so the tool waits, changing nothing, until the lock
// is let go. The file is read meanwhile through the locked descriptor alone,
// as closing any other would drop the lock.
TEST_F(CrProcess, WaitsForAnotherProcessHoldingASharedLock) {
  const auto before = writeRegistry([](NConfig &r) {
    r.setKey(lnbKey(0, "lofH").c_str(), 10600000u);
    r.setKey(lnbKey(0, "RotorTable").c_str(), "+0192130");
  });
  const int fd = ::open(registry_.c_str(), O_RDONLY | O_CLOEXEC);
  struct flock shared = {};
  shared.l_type = F_RDLCK;
  ASSERT_EQ(fcntl(fd, F_SETLK, &shared), 0);
  Program tool = start();

  EXPECT_TRUE(waitsForLock(tool.pid())) << "the tool never waited for the lock";
  int status;
  EXPECT_EQ(waitpid(tool.pid(), &status, WNOHANG), 0) << "the tool did not wait";
  std::vector<unsigned char> now(before.size() + 1);
  now.resize(std::max<ssize_t>(pread(fd, now.data(), now.size(), 0), 0));
  EXPECT_EQ(now, before) << "the tool changed the file while it waited";
  close(fd);  // lets the lock go
  finish(std::move(tool), before, {{0, "+0192130", "0192130"}});
}

}  // namespace
