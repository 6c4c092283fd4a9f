// watch: reports keys created, changed or removed while it runs.
#include <time.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>

#include "pathname.h"
#include "registry.h"
#include "text.h"
#include "tool.h"
#include "tree.h"

namespace nctool {

namespace {

// Every entry of a subtree by path, with its listing line
// ("PATH (type) = value", or "PATH/" for a directory).
using Flat = std::map<std::string, std::string>;

// The subtree at `path` now; empty while the path names nothing. Opens the
// file afresh each time, so a file replaced by a new one is followed.
Flat reading(const std::string &file, const std::string &path) {
  Flat flat;
  Registry reg;
  reg.openFile(file, NC_O_RO);
  Lock lock(reg, NC_L_RO);
  if (!reg.find(path).found) return flat;
  forEachNode(readTree(reg, path), path, [&](const Node &n, const std::string &p) {
    flat[p] = showEntry(n, p, true);
  });
  return flat;
}

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

double seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct WatchOptions {
  std::string file, path = "/";
  unsigned interval_ms = 200;
  long count = 0;        // stop after this many reported lines; 0: never
  double timeout = 0;    // stop after this many seconds; 0: never
};

int runWatch(const WatchOptions &o) {
  requirePath(o.file, o.path);
  const double start = seconds();
  Flat last = reading(o.file, o.path);
  long reported = 0;
  const timespec pause = {time_t(o.interval_ms / 1000),
                          long(o.interval_ms % 1000) * 1000000L};
  while (o.count == 0 || reported < o.count) {
    if (o.timeout > 0 && seconds() - start >= o.timeout) break;
    nanosleep(&pause, nullptr);
    Flat now = reading(o.file, o.path);
    reported += report(last, now);
    last = std::move(now);
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
      "Polls: every --interval milliseconds it reads the values below PATH\n"
      "afresh under a shared lock and compares them with the last reading\n"
      "(the store's change counter does not move when a value is replaced in\n"
      "place). A change undone within one interval is not seen. Runs until\n"
      "interrupted, or until --count lines or --timeout seconds.\n"
      "Example:  nctool watch reg.db /net --timeout 60");
  cmd->add_option("FILE", o->file, "Registry file")->required();
  cmd->add_option("PATH", o->path, "Subtree to watch")->capture_default_str();
  cmd->add_option("--interval", o->interval_ms, "Milliseconds between readings")
      ->capture_default_str()
      ->check(CLI::Range(1u, 3600000u));
  cmd->add_option("--count", o->count, "Stop after this many lines")
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--timeout", o->timeout, "Stop after this many seconds")
      ->check(CLI::NonNegativeNumber);
  out.push_back({cmd, [o] { return runWatch(*o); }});
}

}  // namespace nctool
