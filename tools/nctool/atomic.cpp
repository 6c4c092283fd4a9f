// Rehearsing a change on a scratch copy before making it for real.
#include "atomic.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tool.h"

namespace nctool {

namespace {

// A scratch file holding a copy of a registry, removed when done.
class ScratchCopy {
 public:
  ScratchCopy(const std::string &file, const std::string &bytes) {
    const char *dir = getenv("TMPDIR");
    name_ = std::string(dir != nullptr && *dir ? dir : "/tmp") + "/nctool-XXXXXX";
    int fd = mkstemp(&name_[0]);
    if (fd < 0)
      throw Failure(file, "cannot make a scratch copy: " + std::string(strerror(errno)));
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        int err = n < 0 ? errno : ENOSPC;
        ::close(fd);
        ::unlink(name_.c_str());
        throw Failure(file, "cannot make a scratch copy: " + std::string(strerror(err)));
      }
      done += size_t(n);
    }
    ::close(fd);
  }
  ~ScratchCopy() { ::unlink(name_.c_str()); }
  ScratchCopy(const ScratchCopy &) = delete;
  ScratchCopy &operator=(const ScratchCopy &) = delete;
  const std::string &name() const { return name_; }

 private:
  std::string name_;
};

}  // namespace

void applyAtomically(const std::string &file,
                     const std::function<void(Registry &)> &change) {
  Registry reg;
  reg.openFile(file, NC_O_RW);
  {
    Lock lock(reg, NC_L_RW);
    {
      ScratchCopy scratch(file, reg.image());
      Registry rehearsal;
      rehearsal.openFile(scratch.name(), NC_O_RW);
      rehearsal.showAs(file);
      Lock rehearsalLock(rehearsal, NC_L_RW);
      change(rehearsal);
    }
    change(reg);
  }
  reg.finish();
}

}  // namespace nctool
