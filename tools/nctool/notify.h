// Waiting, without using the processor, until a registry's files may have
// changed: told by the kernel (inotify), or, where it cannot tell, by a
// slow poll.
#ifndef TOOLS_NCTOOL_NOTIFY_H
#define TOOLS_NCTOOL_NOTIFY_H

#include <string>
#include <vector>

namespace nctool {

class ChangeWaiter {
 public:
  // Follows `files` (the registry and its journal, as
  // NConfigTool::watchedFiles names them): writes, closes after writing,
  // changes of status, renames and removal, and, through their directory,
  // their creation and replacement. `poll_ms` is the pause between wake-ups
  // where the kernel cannot tell. Never fails: without inotify it polls.
  ChangeWaiter(const std::vector<std::string> &files, int poll_ms);
  ~ChangeWaiter();
  ChangeWaiter(const ChangeWaiter &) = delete;
  ChangeWaiter &operator=(const ChangeWaiter &) = delete;

  // Sleeps until one of the files may have changed (true), or until
  // `limit_ms` milliseconds passed (-1: no limit) or only other files of
  // their directory changed (false: the caller checks its own deadline).
  // Polling, it wakes every poll_ms milliseconds and answers true. A file
  // made or replaced since the last call is followed from now on.
  bool wait(int limit_ms);
  // True when the kernel tells of changes; false when this polls.
  bool notified() const { return fd_ >= 0; }

 private:
  // Follows each file that exists now (again, where it was replaced).
  void follow();
  // Reads the queued events; true when one concerns the files.
  bool drain();

  std::vector<std::string> files_;
  std::vector<std::string> names_;  // their last components
  int poll_ms_;
  int fd_ = -1;  // the inotify descriptor, or -1
};

}  // namespace nctool

#endif  // TOOLS_NCTOOL_NOTIFY_H
