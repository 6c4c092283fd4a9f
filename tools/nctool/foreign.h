// A registry file of the other byte order, worked on through a host-order
// scratch copy.
#ifndef TOOLS_NCTOOL_FOREIGN_H
#define TOOLS_NCTOOL_FOREIGN_H

#include <string>

namespace nctool {

class ForeignCopy {
 public:
  // Locks `file` (shared for NC_O_RO, exclusive for NC_O_RW; the lock is
  // held until this object ends) and writes its bytes in host order to a
  // new scratch file. Throws Failure naming `file` when it cannot be read
  // or is damaged.
  ForeignCopy(const std::string &file, int mode);
  // Removes the scratch file and drops the lock.
  ~ForeignCopy();
  ForeignCopy(const ForeignCopy &) = delete;
  ForeignCopy &operator=(const ForeignCopy &) = delete;

  const std::string &scratch() const { return scratch_; }
  // Writes the scratch file's registry back over `file` in `file`'s own byte
  // order, still under the exclusive lock. Throws Failure with the cause
  // (e.g. a full disk).
  void writeBack();

 private:
  std::string file_, scratch_;
  int fd_ = -1;
  bool big_ = false;  // the byte order of `file`
};

}  // namespace nctool

#endif  // TOOLS_NCTOOL_FOREIGN_H
