// Registry files read and written whole, for the whole-file copies: the
// bytes a registry has committed, and new files that are complete or absent.
#ifndef LIB_SYSTEM_NCONFIG_IMAGE_FILE_H
#define LIB_SYSTEM_NCONFIG_IMAGE_FILE_H

#include <cstddef>
#include <string>
#include <vector>

namespace nc {

// Reads the registry file `path` as committed at one moment: its bytes,
// read under its shared lock (waiting while a writer holds the exclusive
// one), with the records of its journal applied that the file may lack, as
// a handle that cannot write shows them. A journal that is absent, current,
// unsafe or damaged adds nothing: the file stands as it is. The file may be
// of either byte order and damaged. Fills *image (the caller's).
//   NC_ERR_OK
//   NC_ERR_NFILE    the file cannot be opened or read (*why says why)
//   NC_ERR_CORRUPT  longer than any registry can be
//   NC_ERR_NMEM     no memory for the image
// Closing the descriptor drops every record lock this process holds on the
// file, as closing any handle of it does.
int readCommitted(const char *path, std::vector<char> *image, std::string *why);

// Reads `path` as readCommitted does and checks what it read: results as
// readCommitted, and NC_ERR_CORRUPT with *why giving the first damage found
// when it is not a sound registry (of either byte order).
int readSound(const char *path, std::vector<char> *image, std::string *why);

// Creates `path` (mode 0600), which must not exist, holding bytes[0, len),
// and syncs it. A file that could not be written whole is removed.
//   NC_ERR_OK
//   NC_ERR_PERM   something exists at `path` (left alone)
//   NC_ERR_NFILE  it cannot be created, written or synced (*why says why)
int writeNewFile(const char *path, const char *bytes, size_t len, std::string *why);

// Rewrites the registry `path` (no other process knows it yet) in the other
// byte order than this machine's, in place, and syncs it. NC_ERR_OK, or
// NC_ERR_NFILE (cannot be read or written) with *why; the file is then
// unspecified.
int rewriteForeign(const char *path, std::string *why);

// Removes `path` and its journal beside it, ignoring what is not there.
void removeRegistry(const char *path);

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_IMAGE_FILE_H
