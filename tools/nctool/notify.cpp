// Waiting for changes of a registry's files with inotify, or by polling.
#include "notify.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace nctool {

namespace {

// What happens to a file that a commit, a checkpoint or a replacement does.
constexpr uint32_t kFileEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
// What happens in the directory when a file is made, removed or renamed.
constexpr uint32_t kDirEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

std::string directoryOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

ChangeWaiter::ChangeWaiter(const std::vector<std::string> &files, int poll_ms)
    : files_(files), poll_ms_(poll_ms) {
  for (const std::string &f : files) names_.push_back(f.substr(f.rfind('/') + 1));
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  if (files.empty() || inotify_add_watch(fd_, directoryOf(files[0]).c_str(), kDirEvents) < 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  follow();
}

ChangeWaiter::~ChangeWaiter() {
  if (fd_ >= 0) ::close(fd_);
}

void ChangeWaiter::follow() {
  // Adding a watch names the file the path names now; a file already
  // followed keeps its watch. A file that does not exist is followed once
  // the directory tells of it.
  for (const std::string &f : files_) inotify_add_watch(fd_, f.c_str(), kFileEvents);
}

bool ChangeWaiter::drain() {
  alignas(struct inotify_event) char buf[4096];
  bool relevant = false;
  for (;;) {
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) return relevant;  // EAGAIN: nothing more queued
    for (ssize_t at = 0; at < n;) {
      const auto *ev = reinterpret_cast<const struct inotify_event *>(buf + at);
      at += ssize_t(sizeof *ev + ev->len);
      if (ev->mask & IN_IGNORED) continue;  // a watch ended with its file
      // Directory events name a file: only the registry's files count.
      if (ev->len == 0 || std::find(names_.begin(), names_.end(), ev->name) != names_.end())
        relevant = true;
    }
  }
}

bool ChangeWaiter::wait(int limit_ms) {
  if (fd_ < 0) {
    const int ms = limit_ms < 0 ? poll_ms_ : std::min(limit_ms, poll_ms_);
    ::poll(nullptr, 0, ms);
    return ms == poll_ms_;
  }
  struct pollfd p = {fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, limit_ms);
  if (ready <= 0) return false;  // the limit passed (or a signal came)
  const bool relevant = drain();
  if (relevant) follow();
  return relevant;
}

}  // namespace nctool
