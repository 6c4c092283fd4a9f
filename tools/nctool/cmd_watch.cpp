// watch: reports keys created, changed or removed while it runs.
#include <sys/stat.h>
#include <time.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <memory>

#include "notify.h"
#include "pathname.h"
#include "registry.h"
#include "show.h"
#include "tool.h"
#include "tree.h"

namespace nctool {

namespace {

// Every entry of a subtree by path, with its listing line
// ("PATH (type) = value", or "PATH/" for a directory).
using Flat = std::map<std::string, std::string>;

// Prints what differs between `before` and `now`; returns how many lines.
long report(const Flat &before, const Flat &now) {
  long lines = 0;
  for (const auto &[path, text] : now) {
    auto old = before.find(path);
    if (old == before.end()) {
      printf("created %s\n", text.c_str());
    } else if (old->second != text) {
      printf("changed %s\n", text.c_str());
    } else {
      continue;
    }
    ++lines;
  }
  for (const auto &[path, text] : before) {
    if (now.count(path)) continue;
    // A directory's line is its path and "/"; a key's line never ends so.
    std::string shown = text.back() == '/' ? text : showName(path);
    printf("removed %s\n", shown.c_str());
    ++lines;
  }
  fflush(stdout);
  return lines;
}

uint64_t nanoseconds(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// The file system stamps changes with a clock that moves in ticks of a few
// milliseconds; this is more than one tick.
constexpr uint64_t kClockTickNs = 50 * 1000000ull;

// The registry as the watch last read it, and reading it again.
class Watched {
 public:
  Watched(const std::string &file, const std::string &path) : file_(file), path_(path) {
    open();
    Lock lock(*reg_, NC_L_RO);
    nc_stamp now;
    if (reg_->stamp(&now) != NC_ERR_OK) throw Failure(file_, "cannot take the stamp");
    flat_ = read(now);
  }

  // The files to be told about.
  std::vector<std::string> files() const { return reg_->watchedFiles(); }
  // Reads the subtree again unless the stamp says nothing was committed
  // since the last reading; prints what changed and returns how many lines.
  long update() {
    if (replaced()) {
      open();
      stamp_ = {};  // another file: read it whatever its stamp
    }
    Lock lock(*reg_, NC_L_RO);
    nc_stamp now;
    if (reg_->stamp(&now) != NC_ERR_OK) throw Failure(file_, "cannot take the stamp");
    // Equal stamps hide a commit only when the files changed within one tick
    // of the clock before the last reading.
    if (now == stamp_ && !recent(now)) return 0;
    Flat next = read(now);
    const long lines = report(flat_, next);
    flat_ = std::move(next);
    return lines;
  }

 private:
  // Opens the file afresh, so that a file replaced by a new one is followed.
  void open() {
    reg_ = std::make_unique<Registry>();
    reg_->openFile(file_, NC_O_RO);
    struct stat st = {};
    ::stat(file_.c_str(), &st);
    ino_ = st.st_ino;
    dev_ = st.st_dev;
  }
  // True when the path names another file than the one open.
  bool replaced() const {
    struct stat st;
    return ::stat(file_.c_str(), &st) != 0 || st.st_ino != ino_ || st.st_dev != dev_;
  }
  // The subtree now; empty while the path names nothing. Records `now` as
  // the stamp of what it read.
  Flat read(const nc_stamp &now) {
    stamp_ = now;
    read_at_ = nanoseconds(CLOCK_REALTIME);
    Flat flat;
    if (!reg_->find(path_).found) return flat;
    forEachNode(readTree(*reg_, path_), path_, [&](const Node &n, const std::string &p) {
      flat[p] = showEntry(n, p, true);
    });
    return flat;
  }
  // True when a change time in `s` lies within a tick of the last reading.
  bool recent(const nc_stamp &s) const {
    // Words 2, 3, 6 and 7 are the two files' change times in nanoseconds.
    for (int w : {2, 3, 6, 7})
      if (s.words[w] + kClockTickNs > read_at_) return true;
    return false;
  }

  std::string file_, path_;
  std::unique_ptr<Registry> reg_;
  ino_t ino_ = 0;
  dev_t dev_ = 0;
  nc_stamp stamp_ = {};
  uint64_t read_at_ = 0;  // wall-clock time of the last reading
  Flat flat_;
};

struct WatchOptions {
  std::string file, path = "/";
  unsigned interval_ms = 2000;
  long count = 0;        // stop after this many reported lines; 0: never
  double timeout = 0;    // stop after this many seconds; 0: never
};

int runWatch(const WatchOptions &o) {
  requirePath(o.file, o.path);
  const uint64_t start = nanoseconds(CLOCK_MONOTONIC);
  const uint64_t deadline = o.timeout > 0 ? start + uint64_t(o.timeout * 1e9) : 0;
  Watched watched(o.file, o.path);
  ChangeWaiter waiter(watched.files(), int(o.interval_ms));
  long reported = 0;
  while (o.count == 0 || reported < o.count) {
    int limit = -1;
    if (deadline != 0) {
      const uint64_t now = nanoseconds(CLOCK_MONOTONIC);
      if (now >= deadline) break;
      limit = int((deadline - now + 999999) / 1000000);
    }
    if (waiter.wait(limit)) reported += watched.update();
  }
  return kExitOk;
}

}  // namespace

void addWatchCommand(CLI::App &app, std::vector<Command> &out) {
  auto o = std::make_shared<WatchOptions>();
  CLI::App *cmd = app.add_subcommand("watch", "Report changes as they happen");
  cmd->footer(
      "Prints one line for each entry below PATH that is created, changed or\n"
      "removed: 'created PATH (type) = value', 'changed ...', 'removed PATH'.\n"
      "Sleeps until the system tells that the registry or its journal was\n"
      "written (or, where it cannot tell, every --interval milliseconds); then\n"
      "reads the values below PATH afresh under a shared lock, if the store\n"
      "says something was committed, and compares them with the last reading.\n"
      "A change undone before it is read is not seen. Follows a file replaced\n"
      "by a new one. Runs until interrupted, or until --count lines or\n"
      "--timeout seconds.\n"
      "Example:  nctool watch reg.db /net --timeout 60");
  cmd->add_option("FILE", o->file, "Registry file")->required();
  cmd->add_option("PATH", o->path, "Subtree to watch")->capture_default_str();
  cmd->add_option("--interval", o->interval_ms,
                  "Milliseconds between looks where the system cannot tell of changes")
      ->capture_default_str()
      ->check(CLI::Range(1u, 3600000u));
  cmd->add_option("--count", o->count, "Stop after this many lines")
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--timeout", o->timeout, "Stop after this many seconds")
      ->check(CLI::NonNegativeNumber);
  out.push_back({cmd, [o] { return runWatch(*o); }});
}

}  // namespace nctool
