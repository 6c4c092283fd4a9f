// The patch tool run as a process of its own on a registry in a temporary
// directory. The test build of the tool opens "cr-registry" relative to its
// working directory, so every test has a registry path of its own.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/system/nconfig.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

const char kBanner[] =
    "\nBrakkol - Zembrit v1.0\n"
    "Author: maintainer@example.org\n"
    "Support: support@example.org and receivers@example.org, "
    "https://forum.example.org/\n\n";

std::string lnbKey(int lnb, const char *leaf) {
  return "/quorvane/DVB/config/lnbs/" + std::to_string(lnb) + "/" + leaf;
}

std::string report(int lnb, const std::string &old, const std::string &normal) {
  return "Patching " + lnbKey(lnb, "RotorTable") + "\nold='" + old + "'\nnew='" +
         normal + "'\n";
}

// Every key of a registry with its type and value, by absolute path.
using Snapshot = std::map<std::string, std::string>;

void collect(NConfig &registry, const std::string &dir, Snapshot &out) {
  nc_ls_s *list = registry.ls(dir.c_str());
  for (nc_ls_s *e = list; e != nullptr && e->name != nullptr; ++e) {
    const std::string path = (dir == "/" ? "" : dir) + "/" + e->name;
    const char *p = path.c_str();
    std::string &v = out[path];
    char *bytes = nullptr;
    unsigned int len = 0;
    unsigned long long u = 0;
    long long i = 0;
    double d = 0;
    if (e->type == NC_DIR) {
      v = "dir";
      collect(registry, path, out);
    } else if (e->type == NC_STRING && registry.getKey(p, bytes) == NC_ERR_OK) {
      v = bytes ? "string:" + std::string(bytes) : "string (none)";
    } else if (e->type == NC_UINT && registry.getKey(p, u) == NC_ERR_OK) {
      v = "uint:" + std::to_string(u);
    } else if (e->type == NC_INT && registry.getKey(p, i) == NC_ERR_OK) {
      v = "int:" + std::to_string(i);
    } else if (e->type == NC_DOUBLE && registry.getKey(p, d) == NC_ERR_OK) {
      v = "double:" + std::to_string(d);
    } else if (e->type == NC_RAW && registry.getKey(p, bytes, len) == NC_ERR_OK) {
      v = "raw:" + std::string(bytes ? bytes : "", len);
    } else {
      v = "unreadable, type " + std::to_string(e->type);
    }
    free(bytes);
    free(e->name);
  }
  free(list);
}

Snapshot snapshot(const std::string &path) {
  NConfig registry(0);
  registry.setName(path.c_str());
  EXPECT_EQ(registry.open(NC_O_RO), NC_ERR_OK) << path;
  Snapshot s;
  collect(registry, "/", s);
  return s;
}

class CrProcess : public ::testing::Test {
 protected:
  // Creates the registry and lets `fill` store keys in it.
  void writeRegistry(const std::function<void(NConfig &)> &fill) {
    TestNConfig registry;
    ASSERT_EQ(makeRegistry(registry, registry_, 2), NC_ERR_OK);
    fill(registry);
  }

  // Starts the tool in the test's directory with its stdout on a pipe; a
  // cross build runs it under the emulator.
  pid_t start() {
    std::vector<std::string> args;
    std::istringstream launcher(NC_EMULATOR);
    for (std::string word; launcher >> word;) args.push_back(word);
    args.push_back(CR_TEST_BINARY);
    args.push_back("ignored-argument");  // the tool ignores its command line
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      if (chdir(dir_.c_str()) == 0) execvp(argv[0], argv.data());
      _exit(127);
    }
    ::close(out[1]);
    stdout_ = out[0];
    return pid;
  }

  // Waits for the tool to end; returns its exit status (-1: it did not exit).
  int finish(pid_t pid, std::string &out) {
    char buf[4096];
    for (ssize_t n; (n = read(stdout_, buf, sizeof buf)) > 0;) out.append(buf, n);
    ::close(stdout_);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int run(std::string &out) { return finish(start(), out); }

  TempDir tmp_;
  const std::string dir_ = tmp_.path();
  const std::string registry_ = tmp_.file(CR_TEST_REGISTRY);
  int stdout_ = -1;
};

TEST_F(CrProcess, RewritesEveryRotorTableAndLeavesEverythingElse) {
  writeRegistry([](NConfig &r) {
    r.setKey("/quorvane/DVB/config/tuner/name", "DVB-S2");
    r.setKey("/quorvane/DVB/config/tuner/gain", -3);
    r.setKey("/quorvane/DVB/config/tuner/symbolrate", 27.5);
    r.setKey("/quorvane/DVB/config/tuner/calibration", "\x01\x00\x02", 3);
    const char *tables[] = {"+019213+013012", "+0192130-0130120", nullptr,
                            "+019213+01", "+019213+0130120+01600000"};
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
  Snapshot expected = snapshot(registry_);
  expected[lnbKey(1, "RotorTable")] = "string:01921300130120";
  expected[lnbKey(3, "RotorTable")] = "string:+019213";

  std::string out;
  EXPECT_EQ(run(out), 0);
  EXPECT_EQ(out, kBanner + report(0, "+019213+013012", "+019213+013012") +
                     report(1, "+0192130-0130120", "01921300130120") +
                     report(3, "+019213+01", "+019213") +
                     report(4, "+019213+0130120+01600000", "+019213+0130120+01600000") +
                     report(6, "", ""));
  EXPECT_EQ(snapshot(registry_), expected);
}

TEST_F(CrProcess, StopsAtTheFirstLnbWithoutAnUnsignedLofH) {
  // LNB 0 has no lofH at all; LNB 1 is never reached.
  writeRegistry([](NConfig &r) {
    r.setKey(lnbKey(0, "RotorTable").c_str(), "+0192130");
    r.setKey(lnbKey(1, "lofH").c_str(), 10600000u);
    r.setKey(lnbKey(1, "RotorTable").c_str(), "+0192130");
  });
  const std::vector<unsigned char> before = readFile(registry_);
  std::string out;
  EXPECT_EQ(run(out), 0);
  EXPECT_EQ(out, kBanner);
  EXPECT_EQ(readFile(registry_), before);

  // A lofH stored as a signed integer ends the list the same way.
  fs::remove(registry_);
  writeRegistry([](NConfig &r) {
    r.setKey(lnbKey(0, "lofH").c_str(), 10600000);
    r.setKey(lnbKey(0, "RotorTable").c_str(), "+0192130");
  });
  out.clear();
  EXPECT_EQ(run(out), 0);
  EXPECT_EQ(out, kBanner);
}

TEST_F(CrProcess, WithoutARegistryPrintsTheBannerAndCreatesNothing) {
  std::string out;
  EXPECT_EQ(run(out), 0);
  EXPECT_EQ(out, kBanner);
  EXPECT_TRUE(fs::is_empty(dir_));
}

// True once the record-lock table shows `pid` waiting for a lock; false when
// the process ended first or the table cannot be read (then after a pause).
bool waitUntilBlockedOnLock(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const std::string waiter = " " + std::to_string(pid) + " ";
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream locks("/proc/locks");
    if (!locks) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      return false;
    }
    for (std::string line; std::getline(locks, line);) {
      if (line.find("->") != std::string::npos && line.find(waiter) != std::string::npos)
        return true;
    }
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      ADD_FAILURE() << "the tool ended instead of waiting for the lock";
      return false;
    }
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
  const std::vector<unsigned char> before = readFile(registry_);

  // Another process holds a shared lock until its pipe is closed: readers
  // may share the file, the tool's store needs it alone.
  int ready[2], release[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    ::close(release[1]);
    const int fd = ::open(registry_.c_str(), O_RDONLY);
    struct flock shared = {};
    shared.l_type = F_RDLCK;
    shared.l_whence = SEEK_SET;
    const char ok = fd >= 0 && fcntl(fd, F_SETLK, &shared) == 0 ? 'y' : 'n';
    (void)!write(ready[1], &ok, 1);
    char c;
    (void)!read(release[0], &c, 1);
    _exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  char ok = 'n';
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(ok, 'y');

  const pid_t pid = start();
  waitUntilBlockedOnLock(pid);
  int status;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the tool did not wait";
  EXPECT_EQ(readFile(registry_), before);

  ::close(release[1]);  // the holder ends, and its lock with it
  EXPECT_EQ(waitpid(holder, &status, 0), holder);
  std::string out;
  EXPECT_EQ(finish(pid, out), 0);
  EXPECT_EQ(out, kBanner + report(0, "+0192130", "0192130"));
  EXPECT_EQ(snapshot(registry_)[lnbKey(0, "RotorTable")], "string:0192130");
}

}  // namespace
