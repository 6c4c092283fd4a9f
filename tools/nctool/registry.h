// A registry handle as the tool uses it: opening with errors that name their
// cause, lookups that report an entry's type and whether it holds a value,
// a lock guard, and changes made wholly or not at all.
#ifndef TOOLS_NCTOOL_REGISTRY_H
#define TOOLS_NCTOOL_REGISTRY_H

#include <cstdint>
#include <functional>
#include <string>

#include "lib/system/nconfig.h"
#include "lib/system/nconfig_tool.h"

namespace nctool {

// What a lookup found at a path.
struct Entry {
  bool found = false;
  uint32_t type = 0;       // NC_DIR .. NC_LINK
  bool has_value = false;  // a value is stored (always true for NC_DIR)
  uint32_t length = 0;     // value length in bytes, or slot count
  uint32_t where = 0;      // offset of the entry in the file
  bool is_root = false;
};

// Store parameters kept in the superblock.
using Parameters = nc_params;

// Parameters of new files unless chosen otherwise: one 4096-byte page of
// growth, directories that grow by 8 slots, a free-chunk table of 16
// records growing by 16.
constexpr Parameters kDefaultParameters{1, 8, 16};

class Registry : public NConfigTool {
 public:
  Registry() : NConfigTool(0) {}
  ~Registry() override { close(); }

  // Opens `file` read-only (NC_O_RO) or read-write (NC_O_RW), in either
  // byte order. Throws Failure naming the file and the cause when it cannot
  // be opened as a registry.
  void openFile(const std::string &file, int mode);
  // Ends an editing command's work: closes the handle (no lock may be
  // held). Throws Failure when a commit of this command failed (a full
  // disk: its changes were discarded).
  void finish();
  // Records the failure of a commit at the end of a lock bracket.
  void noteCommit(int rc) {
    if (commit_rc_ == NC_ERR_OK) commit_rc_ = rc;
  }
  const std::string &file() const { return file_; }

  // The entry at `path`; takes (or nests in) a shared lock. A path through
  // a key, or one the store cannot follow, finds nothing.
  Entry find(const std::string &path);
  // The superblock's parameters; throws Failure when they cannot be read.
  Parameters growth();

 private:
  std::string file_;
  int commit_rc_ = NC_ERR_OK;  // the first failed commit of this handle
};

// Holds one level of the registry's whole-file lock for a scope. Leaving the
// outermost exclusive level commits the scope's changes as one; a failed
// commit is noted in the registry, and finish() reports it.
class Lock {
 public:
  Lock(Registry &r, int type) : r_(r) { r_.lockFile(type, 0); }
  ~Lock() {
    const int rc = r_.unLockFile();
    if (rc != NC_ERR_OK) r_.noteCommit(rc);
  }
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

 private:
  Registry &r_;
};

// Opens `file` read-write and runs `change` under one exclusive lock, as one
// change that happens wholly or not at all: when `change` throws, everything
// it did is rolled back before the lock is released, and the Failure goes
// on to the caller. Throws Failure when the commit fails.
void changeFile(const std::string &file, const std::function<void(Registry &)> &change);

// Throws Failure with the system's description when `file` is not an
// existing regular file that this process can open in `mode` (NC_O_RO or
// NC_O_RW). Call it with no handle of this process open on `file`: closing
// its descriptor drops this process's locks on the file.
void requireFile(const std::string &file, int mode);

// Text for a store result code, suitable after "FILE: PATH: ".
std::string resultText(int rc);

// Creates `file` with the given parameters; throws Failure naming the cause.
// Validates the parameters first (see checkParameters).
void createRegistry(const std::string &file, const Parameters &p);
// Throws Failure when a parameter lies outside what the store accepts. Some
// combinations inside the ranges still cannot make a file (the table must
// fit in the first growth unit): creating it then fails, and tooBig() says
// why.
void checkParameters(const std::string &file, const Parameters &p);
// Why the store refused parameters that checkParameters let through.
std::string tooBig(const Parameters &p);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_REGISTRY_H
