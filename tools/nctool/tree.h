// The registry tree as plain values: read from a registry, written into one,
// and compared. Export, import, compaction, diff and the listings share it.
#ifndef TOOLS_NCTOOL_TREE_H
#define TOOLS_NCTOOL_TREE_H

#include <cstdint>
#include <string>
#include <vector>

#include "registry.h"

namespace nctool {

// One entry and, for a directory, everything below it. Children are kept in
// ascending byte order of their names.
struct Node {
  std::string name;
  uint32_t type = 0;       // NC_DIR .. NC_LINK
  bool has_value = true;   // false: a key stored without a value
  std::string bytes;       // NC_STRING (without its NUL) and NC_RAW
  uint64_t bits = 0;       // NC_INT, NC_UINT, and the bit pattern of NC_DOUBLE
  std::vector<Node> children;
};

bool operator==(const Node &a, const Node &b);
inline bool operator!=(const Node &a, const Node &b) { return !(a == b); }

// Reads the entry at `path` and, to `depth` levels below it (-1: all),
// its descendants. Throws Failure when the path names nothing or a value
// cannot be read. The caller may hold a lock for a consistent snapshot.
Node readTree(Registry &r, const std::string &path, int depth = -1);
// Opens `file` read-only and reads the whole subtree at `path` under one
// shared lock; the path must be a plain absolute path. Throws Failure.
Node readFileTree(const std::string &file, const std::string &path);

// Throws Failure when writing `node` at `path` would meet an existing entry
// of another type, or a path component that is not a directory. Run under
// the exclusive lock that the following writeTree also runs under, so that
// the write then cannot fail half-way on a type clash.
void checkWritable(Registry &r, const std::string &path, const Node &node);

// Creates or updates `node` at `path` with everything below it. Existing
// entries not in `node` are kept. With `presize`, each new directory gets a
// slot array that holds exactly its children.
void writeTree(Registry &r, const std::string &path, const Node &node,
               bool presize);

// `parent` and `name` joined with one "/".
std::string joinPath(const std::string &parent, const std::string &name);
// Last component of `path` ("" for the root).
std::string baseName(const std::string &path);
// Everything before the last component ("/" for a child of the root).
std::string dirName(const std::string &path);
// True when `name` can be one component of a path.
bool isPlainName(const std::string &name);

// Calls fn(node, path) for `n`, which stands at `path`, then for everything
// below it: depth first, children in name order, each with its full path.
// Recurses once per level; every tree is read no deeper than kMaxDepth.
template <typename Fn>
void forEachNode(const Node &n, const std::string &path, Fn &&fn) {
  fn(n, path);
  for (const Node &c : n.children) forEachNode(c, joinPath(path, c.name), fn);
}

// What a listing of `n` shows: the children of a directory, or the key
// itself.
std::vector<const Node *> listed(const Node &n);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_TREE_H
