// Creating registry files for the tool, and the parameters it accepts.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "registry.h"
#include "tool.h"

namespace nctool {

namespace {

// The ranges NConfig::createNew accepts.
constexpr uint32_t kMaxPages = 0xFFFFF;
constexpr uint32_t kMaxSlots = 65536;
constexpr uint32_t kMinRecords = 2;

}  // namespace

void checkParameters(const std::string &file, const Parameters &p) {
  if (p.size_inc < 1 || p.size_inc > kMaxPages)
    throw Failure(file, "growth pages must be between 1 and " + std::to_string(kMaxPages));
  if (p.ent_inc < 1 || p.ent_inc > kMaxSlots)
    throw Failure(file, "directory batch must be between 1 and " + std::to_string(kMaxSlots));
  if (p.chunk_inc < kMinRecords)
    throw Failure(file, "table records must be at least " + std::to_string(kMinRecords));
}

std::string tooBig(const Parameters &p) {
  return std::to_string(p.chunk_inc) + " table records do not fit in " +
         std::to_string(p.size_inc) + " growth page(s)";
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
  if (rc == NC_ERR_NVAL) throw Failure(file, tooBig(p));
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
