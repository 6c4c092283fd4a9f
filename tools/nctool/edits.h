// The editing operations of set, mkdir, rm and mv, on a registry already
// open read-write. The single commands and batch share them.
#ifndef TOOLS_NCTOOL_EDITS_H
#define TOOLS_NCTOOL_EDITS_H

#include <string>

#include "registry.h"
#include "tree.h"

namespace nctool {

// The key of type `type` (a type name) at `path` holding `value`: text as the
// command line gives it, or with `bytes` the value's own bytes (string and
// raw taken as they are; numbers as text, one trailing newline ignored).
// Throws Failure naming `file` for an unknown type, "dir", or a bad value.
Node parseKey(const std::string &file, const std::string &path,
              const std::string &type, std::string value, bool bytes);

// Each of the following runs under the caller's exclusive lock on `reg`,
// takes a plain absolute path, and throws Failure naming reg.file() when it
// refuses; a refusal comes before any change.

// Creates or replaces the key `key` at `path`, making missing directories.
void storeKey(Registry &reg, const std::string &path, const Node &key);
// Creates directory `path` (and those above it) with `slots` slots now; an
// existing directory is kept.
void makeDirectory(Registry &reg, const std::string &path, uint32_t slots);
// Removes `path`; a directory that is not empty only when `recursive`. A
// missing path is a kExitNo failure unless `force`.
void removeEntry(Registry &reg, const std::string &path, bool recursive,
                 bool force);
// Renames (`to` without '/') or moves (`to` a path; into it, when it is a
// directory) the entry `from`. Never overwrites.
void moveEntry(Registry &reg, const std::string &from, const std::string &to);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_EDITS_H
