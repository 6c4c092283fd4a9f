// Opening, lookups and creation of registry files for the tool.
#include "registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "image.h"
#include "lib/system/nconfig/format.h"
#include "tool.h"

namespace nctool {

namespace {

// Throws Failure with the system's description when `file` is not an
// existing regular file that can be opened in `mode`; true when it is a
// registry of the other byte order.
bool probe(const std::string &file, int mode) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) throw Failure(file, strerror(errno));
  if (!S_ISREG(st.st_mode)) throw Failure(file, "not a regular file");
  int fd = ::open(file.c_str(), mode == NC_O_RW ? O_RDWR : O_RDONLY);
  if (fd < 0) throw Failure(file, strerror(errno));
  char header[sizeof(nc_sb_s)];
  ssize_t n = ::pread(fd, header, sizeof header, 0);
  ::close(fd);
  const bool foreign = n > 0 && otherByteOrder(header, size_t(n));
  nc_sb_s sb;
  if (n < ssize_t(sizeof sb) || memcmp(header, NC_SB_MAGIC, 4) != 0) return false;
  memcpy(&sb, header, sizeof sb);
  if (foreign) sb.size = __builtin_bswap32(sb.size);
  if (uint64_t(sb.size) > uint64_t(st.st_size))
    throw Failure(file, "truncated: header says " + std::to_string(sb.size) +
                            " bytes, file has " + std::to_string(st.st_size));
  return foreign;
}

}  // namespace

Registry::Registry() : NConfigExt(0) {}

Registry::~Registry() { close(); }

void Registry::finish() {
  close();
  if (commit_rc_ != NC_ERR_OK)
    throw Failure(file_, "the change was not saved: " + resultText(commit_rc_));
  if (foreign_) foreign_->writeBack();
  foreign_.reset();
}

void Registry::openFile(const std::string &file, int mode) {
  file_ = file;
  if (probe(file, mode)) foreign_ = std::make_unique<ForeignCopy>(file, mode);
  int rc = setName(foreign_ ? foreign_->scratch().c_str() : file.c_str());
  if (rc == NC_ERR_OK) rc = open(mode);
  switch (rc) {
    case NC_ERR_OK:
      return;
    case NC_ERR_CORRUPT:
      throw Failure(file, "not a registry file (empty, or wrong magic number)");
    case NC_ERR_NMEM:
      throw Failure(file, "cannot map the file into memory");
    default:
      throw Failure(file, "cannot open: " + resultText(rc));
  }
}

Entry Registry::find(const std::string &path) { return describe(path.c_str()); }

Parameters Registry::parameters() {
  const nc_sb_s sb = superblock();
  return Parameters{sb.size_inc, sb.ent_inc, sb.chunk_inc};
}

std::string resultText(int rc) {
  switch (rc) {
    case NC_ERR_OK: return "success";
    case NC_ERR_TYPE: return "exists with another type";
    case NC_ERR_NDIR: return "not a directory";
    case NC_ERR_PERM: return "a component of the path is not a directory";
    case NC_ERR_NMEM: return "no space left on the device, or memory refused";
    case NC_ERR_NEXIST: return "no such key or directory";
    case NC_ERR_NFILE: return "registry is not open";
    case NC_ERR_CORRUPT: return "the file is damaged";
    case NC_ERR_NVAL: return "invalid argument";
    case NC_ERR_RDONLY: return "registry is opened read-only";
    case NC_ERR_NOSUPPORT: return "not supported";
  }
  return "unknown result " + std::to_string(rc);
}

void checkParameters(const std::string &file, const Parameters &p) {
  if (p.size_inc < 1 || p.size_inc > nc::kMaxResize)
    throw Failure(file, "growth pages must be between 1 and " + std::to_string(nc::kMaxResize));
  if (p.ent_inc < 1 || p.ent_inc > nc::kMaxEntInc)
    throw Failure(file, "directory batch must be between 1 and " + std::to_string(nc::kMaxEntInc));
  if (p.chunk_inc < nc::kMinChunks)
    throw Failure(file, "table records must be at least " + std::to_string(nc::kMinChunks));
  // The first growth unit must hold the header area and the whole table.
  if (nc::creationProblem(p.size_inc, p.ent_inc, p.chunk_inc))
    throw Failure(file, std::to_string(p.chunk_inc) + " table records do not fit in " +
                            std::to_string(p.size_inc) + " growth page(s)");
}

void createRegistry(const std::string &file, const Parameters &p) {
  checkParameters(file, p);
  struct stat st;
  if (::lstat(file.c_str(), &st) == 0) throw Failure(file, "exists already");
  NConfig reg(0);
  int rc = reg.setName(file.c_str());
  errno = 0;
  if (rc == NC_ERR_OK) rc = reg.createNew(p.size_inc, p.ent_inc, p.chunk_inc);
  if (rc == NC_ERR_PERM) throw Failure(file, "exists already");
  if (rc != NC_ERR_OK) {
    int err = errno;
    throw Failure(file, std::string("cannot create: ") +
                            (err != 0 ? strerror(err) : resultText(rc).c_str()));
  }
  // The store makes files private (0600); a new file takes the permissions
  // the umask leaves, as files other tools create do.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::chmod(file.c_str(), 0666 & ~mask) != 0) {
    int err = errno;
    ::unlink(file.c_str());
    throw Failure(file, std::string("cannot set permissions: ") + strerror(err));
  }
  // Creation does not report failed writes; a short file means one failed.
  if (::stat(file.c_str(), &st) != 0 ||
      uint64_t(st.st_size) != uint64_t(p.size_inc) * 4096) {
    ::unlink(file.c_str());
    throw Failure(file, "cannot create: the file could not be written in full");
  }
}

}  // namespace nctool
