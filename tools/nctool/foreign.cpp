// Working on a registry of the other byte order through a scratch copy.
#include "foreign.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "byteorder.h"
#include "io.h"
#include "lib/system/nconfig.h"
#include "tool.h"

namespace nctool {

namespace {

Failure systemFailure(const std::string &file, const std::string &doing) {
  return Failure(file, doing + strerror(errno));
}

// All bytes of the open file `fd`.
std::string readAll(int fd, const std::string &file) {
  struct stat st;
  if (::fstat(fd, &st) != 0) throw systemFailure(file, "");
  std::string bytes(size_t(st.st_size), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pread(fd, &bytes[done], bytes.size() - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw systemFailure(file, "");
    if (n == 0) break;
    done += size_t(n);
  }
  bytes.resize(done);
  return bytes;
}

}  // namespace

ForeignCopy::ForeignCopy(const std::string &file, int mode) : file_(file) {
  fd_ = ::open(file.c_str(), mode == NC_O_RW ? O_RDWR : O_RDONLY);
  if (fd_ < 0) throw systemFailure(file, "");
  struct flock fl = {};
  fl.l_type = mode == NC_O_RW ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  while (::fcntl(fd_, F_SETLKW, &fl) != 0) {
    if (errno != EINTR) {
      ::close(fd_);
      throw systemFailure(file, "cannot lock: ");
    }
  }
  std::string bytes = readAll(fd_, file);
  big_ = !hostIsBigEndian();
  std::string why = swapByteOrder(bytes, big_);
  if (!why.empty()) {
    ::close(fd_);
    throw Failure(file, "of the other byte order, and " + why);
  }
  const char *dir = getenv("TMPDIR");
  scratch_ = std::string(dir != nullptr && *dir ? dir : "/tmp") + "/nctool-XXXXXX";
  int sfd = mkstemp(&scratch_[0]);
  if (sfd < 0) {
    ::close(fd_);
    throw systemFailure(file, "cannot make a scratch copy: ");
  }
  ::close(sfd);
  try {
    writeOutput(scratch_, bytes);
  } catch (const Failure &f) {
    ::unlink(scratch_.c_str());
    ::close(fd_);
    throw Failure(file, std::string("cannot make a scratch copy: ") + f.what());
  }
}

ForeignCopy::~ForeignCopy() {
  ::unlink(scratch_.c_str());
  ::close(fd_);
}

void ForeignCopy::writeBack() {
  std::string bytes = readInput(scratch_);
  std::string why = swapByteOrder(bytes, !big_);
  if (!why.empty()) throw Failure(file_, "cannot be written back: " + why);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw systemFailure(file_, "");
    done += size_t(n);
  }
  if (::ftruncate(fd_, off_t(bytes.size())) != 0 || ::fsync(fd_) != 0)
    throw systemFailure(file_, "");
}

}  // namespace nctool
