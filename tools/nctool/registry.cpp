// Opening and lookups of registry files for the tool, and changes made
// wholly or not at all.
#include "registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "refusal.h"
#include "tool.h"

namespace nctool {

void requireFile(const std::string &file, int mode) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) throw Failure(file, strerror(errno));
  if (!S_ISREG(st.st_mode)) throw Failure(file, "not a regular file");
  int fd = ::open(file.c_str(), (mode == NC_O_RW ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) throw Failure(file, strerror(errno));
  ::close(fd);
}

void Registry::finish() {
  close();
  if (commit_rc_ != NC_ERR_OK)
    throw Failure(file_, "the change was not saved: " + resultText(commit_rc_));
}

void Registry::openFile(const std::string &file, int mode) {
  file_ = file;
  requireFile(file, mode);
  int rc = setName(file.c_str());
  if (rc == NC_ERR_OK) rc = open(mode);
  switch (rc) {
    case NC_ERR_OK:
      return;
    case NC_ERR_CORRUPT:
      throw Failure(file, refusal(file));
    case NC_ERR_NMEM:
      throw Failure(file, "cannot map the file into memory");
    default:
      throw Failure(file, "cannot open: " + resultText(rc));
  }
}

Entry Registry::find(const std::string &path) {
  Entry e;
  nc_entry d;
  if (describe(path.c_str(), &d) != NC_ERR_OK) return e;
  nc_entry root;
  e.found = true;
  e.type = d.type;
  e.has_value = d.has_value;
  e.length = d.length;
  e.where = d.where;
  e.is_root = describe("/", &root) == NC_ERR_OK && root.where == d.where;
  return e;
}

Parameters Registry::growth() {
  Parameters p;
  const int rc = parameters(&p);
  if (rc != NC_ERR_OK) throw Failure(file_, "cannot read the parameters: " + resultText(rc));
  return p;
}

void changeFile(const std::string &file, const std::function<void(Registry &)> &change) {
  Registry reg;
  reg.openFile(file, NC_O_RW);
  {
    Lock lock(reg, NC_L_RW);
    try {
      change(reg);
    } catch (...) {
      reg.rollback();
      throw;
    }
  }
  reg.finish();
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

}  // namespace nctool
