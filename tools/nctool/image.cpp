// Reading registry files as bytes.
#include "image.h"

#include "lib/system/nconfig/format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "byteorder.h"
#include "lib/system/nconfig.h"
#include "tool.h"

namespace nctool {

namespace {

// Closes a descriptor on every exit path; closing drops our record lock.
struct FileCloser {
  int fd;
  ~FileCloser() { ::close(fd); }
};

Failure unreadable(const std::string &file, const std::string &what) {
  return Failure(file, what, kExitTrouble);
}

}  // namespace

std::string toHostOrder(Image &image) {
  std::string bytes(image.bytes.begin(), image.bytes.end());
  std::string why = swapByteOrder(bytes, !hostIsBigEndian());
  if (why.empty()) image.bytes.assign(bytes.begin(), bytes.end());
  return why;
}

bool otherByteOrder(const char *bytes, size_t length) {
  nc_sb_s sb;
  if (length < sizeof sb || memcmp(bytes, NC_SB_MAGIC, 4) != 0) return false;
  memcpy(&sb, bytes, sizeof sb);
  return nc::foreignByteOrder(&sb);
}

Image loadImage(const std::string &file) {
  int fd = ::open(file.c_str(), O_RDONLY);
  if (fd < 0) throw unreadable(file, strerror(errno));
  FileCloser closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) throw unreadable(file, strerror(errno));
  if (!S_ISREG(st.st_mode)) throw unreadable(file, "not a regular file");
  if (uint64_t(st.st_size) > UINT32_MAX)
    throw unreadable(file, "larger than any registry file can be");

  // The store's writers hold an exclusive lock; wait until none does.
  struct flock fl = {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  while (::fcntl(fd, F_SETLKW, &fl) != 0) {
    if (errno != EINTR) break;  // no locking here (e.g. a network mount)
  }

  Image image;
  image.file = file;
  image.bytes.resize(size_t(st.st_size));
  size_t done = 0;
  while (done < image.bytes.size()) {
    ssize_t n = ::pread(fd, image.bytes.data() + done, image.bytes.size() - done,
                        off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw unreadable(file, strerror(errno));
    if (n == 0) break;  // shrank while we read: check what is there
    done += size_t(n);
  }
  image.bytes.resize(done);
  return image;
}

}  // namespace nctool
