// Whole registry files (see image_file.h).
#include "image_file.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "byteorder.h"
#include "internal.h"
#include "journal.h"
#include "lib/system/nconfig_check.h"

namespace nc {

namespace {

// Closes a descriptor on every exit path.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) sys().close(fd);
  }
};

// Takes the lock `type` on `fd`, asking again as the store does until the
// system grants it.
void takeLock(int fd, short type) {
  while (sys().fcntl_lock(fd, F_SETLKW, type) != 0) {
    const bool interrupted = errno == EINTR;
    sched_yield();
    if (!interrupted) usleep(1000);
  }
}

std::string failure(const char *doing, int err) { return std::string(doing) + ": " + strerror(err); }

// Reads all `len` bytes of `fd` into *out. 0 or an errno value.
int readAll(int fd, char *out, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t n = sys().pread(fd, out + done, len - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += size_t(n);
  }
  return 0;
}

// The file's bytes, then the records of its journal it may lack.
int readLocked(int fd, const char *path, std::vector<char> *image, std::string *why) {
  off_t len = 0;
  if (sys().fstat_size(fd, &len) != 0) return *why = failure("cannot read it", errno), NC_ERR_NFILE;
  if (uint64_t(len) > 0xFFFFFFFFull) return *why = "longer than any registry", NC_ERR_CORRUPT;
  try {
    image->assign(size_t(len), 0);
  } catch (const std::bad_alloc &) {
    return *why = "no memory for its image", NC_ERR_NMEM;
  }
  if (int err = readAll(fd, image->data(), image->size()))
    return *why = failure("cannot read it", err), NC_ERR_NFILE;
  Journal journal;
  // The journal's words are in the registry's byte order.
  journal.setSwapped(image->size() >= sizeof(nc_sb_s) &&
                     foreignByteOrder(reinterpret_cast<const nc_sb_s *>(image->data()),
                                      image->size()));
  if (journal.look(path, fd, false) != Journal::kBehind) return NC_ERR_OK;
  uint32_t records = 0;
  std::vector<char> overlaid;
  try {
    overlaid = *image;
  } catch (const std::bad_alloc &) {
    return *why = "no memory for its image", NC_ERR_NMEM;
  }
  const int err = journal.overlay(overlaid, &records);
  if (err == ENOMEM) return *why = "no memory for its image", NC_ERR_NMEM;
  if (err == 0) image->swap(overlaid);  // else the journal counts as damaged
  return NC_ERR_OK;
}

}  // namespace

int readCommitted(const char *path, std::vector<char> *image, std::string *why) {
  Descriptor f{sys().open(path, O_RDONLY | O_CLOEXEC, 0)};
  if (f.fd < 0) return *why = failure("cannot open it", errno), NC_ERR_NFILE;
  takeLock(f.fd, F_RDLCK);
  return readLocked(f.fd, path, image, why);
}

int readSound(const char *path, std::vector<char> *image, std::string *why) {
  if (int rc = readCommitted(path, image, why)) return rc;
  const nc_check_report r = nc_check_image(image->data(), image->size());
  if (r.ok()) return NC_ERR_OK;
  *why = "damaged at " + std::to_string(r.damage[0].offset) + ": " + r.damage[0].what;
  return NC_ERR_CORRUPT;
}

int writeNewFile(const char *path, const char *bytes, size_t len, std::string *why) {
  const int fd = sys().open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) return *why = "exists already", NC_ERR_PERM;
  if (fd < 0) return *why = failure("cannot create it", errno), NC_ERR_NFILE;
  int err = writeAll(fd, bytes, len, 0);
  if (err == 0 && sys().fsync(fd) != 0) err = errno;
  if (sys().close(fd) != 0 && err == 0) err = errno;
  if (err == 0) return NC_ERR_OK;
  unlink(path);
  return *why = failure("cannot write it", err), NC_ERR_NFILE;
}

int rewriteForeign(const char *path, std::string *why) {
  Descriptor f{sys().open(path, O_RDWR | O_CLOEXEC, 0)};
  off_t len = 0;
  if (f.fd < 0 || sys().fstat_size(f.fd, &len) != 0)
    return *why = failure("cannot open it", errno), NC_ERR_NFILE;
  std::vector<char> image;
  try {
    image.resize(size_t(len));
  } catch (const std::bad_alloc &) {
    return *why = "no memory for its image", NC_ERR_NFILE;
  }
  int err = readAll(f.fd, image.data(), image.size());
  if (err) return *why = failure("cannot read it", err), NC_ERR_NFILE;
  const std::string problem = swapOrder(image.data(), image.size(), hostIsBig());
  if (!problem.empty()) return *why = "cannot change its byte order: " + problem, NC_ERR_NFILE;
  err = writeAll(f.fd, image.data(), image.size(), 0);
  if (err == 0 && sys().fsync(f.fd) != 0) err = errno;
  return err ? (*why = failure("cannot write it", err), NC_ERR_NFILE) : NC_ERR_OK;
}

void removeRegistry(const char *path) {
  unlink(path);
  unlink((std::string(path) + "-journal").c_str());
}

}  // namespace nc
