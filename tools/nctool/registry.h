// A registry handle as the tool uses it: opening with errors that name their
// cause, lookups that report an entry's type and whether it holds a value,
// and a lock guard.
#ifndef TOOLS_NCTOOL_REGISTRY_H
#define TOOLS_NCTOOL_REGISTRY_H

#include <cstdint>
#include <memory>
#include <string>

#include "foreign.h"

#include "lib/system/nconfig.h"
#include "lib/system/nconfig/ext.h"

namespace nctool {

// What a lookup found at a path.
using Entry = nc_entry_info;

// Store parameters kept in the superblock.
struct Parameters {
  uint32_t size_inc = 0;   // growth unit, in 4096-byte pages
  uint32_t ent_inc = 0;    // directory slots added at a time
  uint32_t chunk_inc = 0;  // free-chunk table records added at a time
};

// Parameters of new files unless chosen otherwise: one 4096-byte page of
// growth, directories that grow by 8 slots, a free-chunk table of 16
// records growing by 16.
constexpr Parameters kDefaultParameters{1, 8, 16};

class Registry : public NConfigExt {
 public:
  Registry();
  // Closes the file. Changes to a file of the other byte order that
  // finish() did not write back are dropped.
  ~Registry() override;

  // Opens `file` read-only (NC_O_RO) or read-write (NC_O_RW). Throws Failure
  // naming the file and the cause when it cannot be opened as a registry.
  // A file of the other byte order is worked on through a host-order scratch
  // copy, under a lock on `file` held until the handle ends.
  void openFile(const std::string &file, int mode);
  // Ends an editing command's work: closes the handle (no lock may be held)
  // and writes a file of the other byte order back in its own order. Throws
  // Failure when that fails, or when a commit of this command failed (a full
  // disk: its changes were discarded).
  void finish();
  // Records the failure of a commit at the end of a lock bracket.
  void noteCommit(int rc) {
    if (commit_rc_ == NC_ERR_OK) commit_rc_ = rc;
  }
  // True when the file is of the other byte order than this machine's.
  bool foreign() const { return foreign_ != nullptr; }
  const std::string &file() const { return file_; }
  // Makes messages name `name` instead of the file opened (for scratch
  // copies that stand in for another file).
  void showAs(const std::string &name) { file_ = name; }

  // The bytes of the file as this handle sees them: the whole view under
  // the lock the caller holds. Reads through the mapping, not another
  // descriptor, whose closing would drop this process's record locks.
  std::string image() const {
    return std::string(data, sb->size < lsize ? sb->size : lsize);
  }

  // The entry at `path`; takes (or nests in) a shared lock.
  Entry find(const std::string &path);
  // The superblock's parameters; the handle must be open.
  Parameters parameters();

  // Stores a key of type `t` without going through the typed setters; used
  // for keys that exist without a value. Same results as setKey.
  int setUntyped(const std::string &path, uint32_t t, const char *value, uint32_t len) {
    return NConfigExt::setUntyped(path.c_str(), t, value, len);
  }

 private:
  std::string file_;
  std::unique_ptr<ForeignCopy> foreign_;
  int commit_rc_ = NC_ERR_OK;  // the first failed commit of this handle
};

// Holds one level of the registry's whole-file lock for a scope. Leaving the
// outermost exclusive level commits the scope's changes as one; a failed
// commit is noted in the registry, and finish() reports it.
class Lock {
 public:
  Lock(Registry &r, int type) : r_(r) { r_.lockFile(type, 0); }
  ~Lock() {
    const int rc = r_.release();
    if (rc != NC_ERR_OK) r_.noteCommit(rc);
  }
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

 private:
  Registry &r_;
};

// Text for a store result code, suitable after "FILE: PATH: ".
std::string resultText(int rc);

// Creates `file` with the given parameters; throws Failure naming the cause.
// Validates the parameters first (see checkParameters).
void createRegistry(const std::string &file, const Parameters &p);
// Throws Failure when the parameters cannot make a working registry.
void checkParameters(const std::string &file, const Parameters &p);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_REGISTRY_H
