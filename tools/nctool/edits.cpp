// set, mkdir, rm and mv as operations on an open registry.
#include "edits.h"

#include <cstring>

#include "pathname.h"
#include "show.h"
#include "tool.h"

namespace nctool {

namespace {

// Parses `value` as a number of type `type` into `n`; false when it is not
// a complete, in-range value.
bool parseNumber(uint32_t type, const std::string &value, Node &n) {
  switch (type) {
    case NC_INT: {
      int64_t v;
      if (!parseInt(value, v)) return false;
      n.bits = uint64_t(v);
      return true;
    }
    case NC_UINT:
      return parseUint(value, n.bits);
    case NC_DOUBLE: {
      double d;
      if (!parseDouble(value, d)) return false;
      memcpy(&n.bits, &d, sizeof d);
      return true;
    }
  }
  return false;
}

// True when the entry `e` is `path` or one of the directories above it.
bool isAncestor(Registry &reg, const Entry &e, const std::string &path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    Entry p = reg.find(path.substr(0, i));
    if (p.found && p.where == e.where) return true;
  }
  return false;
}

}  // namespace

Node parseKey(const std::string &file, const std::string &path,
              const std::string &type, std::string value, bool bytes) {
  Node n;
  n.name = baseName(path);
  n.type = typeFromName(type);
  if (n.type == 0 || n.type == NC_LINK || n.type == NC_DIR)
    throw Failure(file, "unknown type " + quote(type) +
                            " (use dir, string, int, uint, raw or double)");
  bool ok = true;
  if (n.type == NC_STRING || (n.type == NC_RAW && bytes)) {
    n.bytes = value;
  } else if (n.type == NC_RAW) {
    ok = unhex(value, n.bytes);
  } else {
    if (bytes && !value.empty() && value.back() == '\n') value.pop_back();
    ok = parseNumber(n.type, value, n);
  }
  if (!ok)
    throw Failure(file, path + ": " + quote(value) + " is not a valid " +
                            typeName(n.type) + " value");
  if (n.type == NC_STRING && n.bytes.find('\0') != std::string::npos)
    throw Failure(file, path + ": strings cannot hold NUL bytes");
  return n;
}

void storeKey(Registry &reg, const std::string &path, const Node &key) {
  requirePath(reg.file(), path);
  if (path == "/") throw Failure(reg.file(), "/: is the root directory");
  checkWritable(reg, path, key);
  writeTree(reg, path, key, false);
}

void makeDirectory(Registry &reg, const std::string &path, uint32_t slots) {
  requirePath(reg.file(), path);
  Node dir;
  dir.type = NC_DIR;
  checkWritable(reg, path, dir);
  int rc = reg.createDir(path.c_str(), slots);
  if (rc != NC_ERR_OK) throw Failure(reg.file(), path + ": " + resultText(rc));
}

void removeEntry(Registry &reg, const std::string &path, bool recursive,
                 bool force) {
  const std::string &file = reg.file();
  requirePath(file, path);
  Entry e = reg.find(path);
  if (!e.found) {
    if (force) return;
    throw Failure(file, path + ": no such key or directory", kExitNo);
  }
  if (e.is_root) throw Failure(file, path + ": cannot remove the root directory");
  if (e.type == NC_DIR && !recursive && !readTree(reg, path, 1).children.empty())
    throw Failure(file, path + ": directory is not empty (use -r)");
  reg.delKey(path.c_str());
  if (reg.find(path).found) throw Failure(file, path + ": could not be removed");
}

void moveEntry(Registry &reg, const std::string &from, const std::string &to) {
  const std::string &file = reg.file();
  requirePath(file, from);
  if (to.find('/') != std::string::npos) requirePath(file, to);
  Entry e = reg.find(from);
  if (!e.found)
    throw Failure(file, from + ": no such key or directory", kExitNo);
  if (e.is_root) throw Failure(file, from + ": cannot move the root directory");
  // A plain name renames within the directory; a path moves. As with files,
  // an existing directory receives the entry under its own name.
  std::string target =
      to.find('/') == std::string::npos ? joinPath(dirName(from), to) : to;
  Entry there = reg.find(target);
  if (there.found && there.type == NC_DIR)
    target = joinPath(target, baseName(from));
  const std::string newName = baseName(target);
  if (!isPlainName(newName))
    throw Failure(file, to + ": not a usable name for an entry");
  if (reg.find(target).found) throw Failure(file, target + ": exists already");
  if (isAncestor(reg, e, target))
    throw Failure(file, target + ": cannot move a directory into itself");

  Entry oldParent = reg.find(dirName(from));
  Entry newParent = reg.find(dirName(target));
  if (newParent.found && newParent.where == oldParent.where) {
    // Renaming checks for a clash in the current directory: stand in the
    // parent so it checks the right one.
    int rc = reg.chDir(dirName(from).c_str());
    if (rc == NC_ERR_OK) rc = reg.renameKey(baseName(from).c_str(), newName.c_str());
    reg.chDir("/");
    if (rc != NC_ERR_OK) throw Failure(file, from + ": " + resultText(rc));
  } else {
    Node n = readTree(reg, from);
    n.name = newName;
    checkWritable(reg, target, n);
    writeTree(reg, target, n, false);
    reg.delKey(from.c_str());
  }
  if (!reg.find(target).found || reg.find(from).found)
    throw Failure(file, from + ": could not be moved to " + target);
}

}  // namespace nctool
