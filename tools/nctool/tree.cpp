// Reading, writing and comparing registry trees as plain values.
#include "tree.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "pathname.h"
#include "text.h"
#include "tool.h"

namespace nctool {

namespace {

// Throws Failure for store result `rc` at `path` unless it is NC_ERR_OK.
void expect(Registry &r, const std::string &path, int rc) {
  if (rc != NC_ERR_OK)
    throw Failure(r.file(), path + ": " + resultText(rc),
                  rc == NC_ERR_NEXIST ? kExitNo : kExitTrouble);
}

// Names of the children of directory `path`, ascending.
std::vector<std::string> childNames(Registry &r, const std::string &path) {
  std::vector<std::string> names;
  nc_ls_s *list = r.ls(path.c_str());
  if (list == nullptr) return names;  // empty, or vanished: both list nothing
  for (nc_ls_s *l = list; l->name != nullptr; ++l) {
    names.emplace_back(l->name);
    free(l->name);
  }
  free(list);
  std::sort(names.begin(), names.end());
  return names;
}

// Fills the value of `n`, the key at `path` that `e` describes.
void readValue(Registry &r, const std::string &path, const Entry &e, Node &n) {
  const char *p = path.c_str();
  int rc = NC_ERR_OK;
  switch (e.type) {
    case NC_STRING: {
      char *s = nullptr;
      rc = r.getKey(p, s);
      n.has_value = rc == NC_ERR_OK && s != nullptr;
      if (n.has_value) n.bytes = s;
      free(s);
      break;
    }
    case NC_INT: {
      long long v = 0;
      rc = r.getKey(p, v);
      n.bits = uint64_t(v);
      break;
    }
    case NC_UINT: {
      unsigned long long v = 0;
      rc = r.getKey(p, v);
      n.bits = v;
      break;
    }
    case NC_DOUBLE: {
      double v = 0;
      rc = r.getKey(p, v);
      memcpy(&n.bits, &v, sizeof v);
      break;
    }
    case NC_RAW: {
      char *v = nullptr;
      unsigned int len = 0;
      rc = r.getKey(p, v, len);
      if (v != nullptr) n.bytes.assign(v, len);
      free(v);
      break;
    }
  }
  expect(r, path, rc);
}

// An entry and its value, without what lies below it.
Node readOne(Registry &r, const std::string &path, const std::string &name,
             const Entry &e) {
  Node n;
  n.name = name;
  n.type = e.type;
  // A raw value of length 0 is the same as none; every other key keeps the
  // difference.
  n.has_value = e.has_value || e.type == NC_RAW;
  if (e.type < NC_DIR || e.type > NC_LINK)
    throw Failure(r.file(), path + ": entry of unknown " + typeName(e.type));
  if (e.type != NC_DIR && e.has_value && e.type != NC_LINK)
    readValue(r, path, e, n);
  return n;
}

// A directory still to be read: its node, path, entry offset and level.
struct Pending {
  Node *node;
  std::string path;
  uint32_t where;
  int level;
};

// Fills the children of `p.node`, and queues those that are directories.
// The children's room is reserved first, so the queued pointers stay valid.
void readChildren(Registry &r, const Pending &p, int depth,
                  std::vector<Pending> &todo) {
  const std::vector<std::string> names = childNames(r, p.path);
  p.node->children.reserve(names.size());
  for (const std::string &child : names) {
    if (!isPlainName(child))
      throw Failure(r.file(), p.path + ": entry " + quote(child) +
                                  " has a name no path can reach");
    std::string childPath = joinPath(p.path, child);
    Entry ce = r.find(childPath);
    if (!ce.found) throw Failure(r.file(), childPath + ": listed but not found");
    p.node->children.push_back(readOne(r, childPath, child, ce));
    if (ce.type == NC_DIR && (depth < 0 || p.level + 1 < depth))
      todo.push_back({&p.node->children.back(), std::move(childPath), ce.where,
                      p.level + 1});
  }
}

// Reads the directory `top` and, to `depth` levels (-1: all), below it.
// Walks with an explicit stack; a directory met twice (a cycle in a damaged
// file) or nesting deeper than kMaxDepth ends the walk with a Failure.
void readBelow(Registry &r, Node &top, const std::string &path, uint32_t where,
               int depth) {
  std::set<uint32_t> visited;
  std::vector<Pending> todo{{&top, path, where, 0}};
  while (!todo.empty()) {
    Pending p = todo.back();
    todo.pop_back();
    if (!visited.insert(p.where).second)
      throw Failure(r.file(), p.path + ": the directory appears twice in the "
                                       "tree (the file is damaged)");
    if (p.level > kMaxDepth)
      throw Failure(r.file(), p.path + ": nested deeper than " +
                                  std::to_string(kMaxDepth) + " levels");
    readChildren(r, p, depth, todo);
  }
}

// Throws Failure when an existing entry at `path` or below has another type
// than `node` says.
void checkNode(Registry &r, const std::string &path, const Node &node) {
  Entry e = r.find(path);
  if (!e.found) return;
  if (e.type != node.type)
    throw Failure(r.file(), path + ": exists as " + typeName(e.type) +
                                ", cannot store " + typeName(node.type));
  for (const Node &c : node.children) checkNode(r, joinPath(path, c.name), c);
}

// Creates or updates the one entry `n` at `path`, without what lies below.
void writeOne(Registry &r, const std::string &path, const Node &n, bool presize) {
  const char *p = path.c_str();
  int rc = NC_ERR_OK;
  switch (n.type) {
    case NC_DIR:
      expect(r, path, r.createDir(p, presize ? unsigned(n.children.size()) : 0));
      return;
    case NC_RAW:
      rc = r.setKey(p, n.bytes.data(), unsigned(n.bytes.size()));
      break;
    default:
      if (!n.has_value || n.type == NC_LINK) {
        rc = r.setUntyped(path, n.type, nullptr, 0);
        break;
      }
      if (n.type == NC_STRING) {
        rc = r.setKey(p, n.bytes.c_str());
      } else if (n.type == NC_INT) {
        rc = r.setKey(p, static_cast<long long>(n.bits));
      } else if (n.type == NC_UINT) {
        rc = r.setKey(p, static_cast<unsigned long long>(n.bits));
      } else if (n.type == NC_DOUBLE) {
        double d;
        memcpy(&d, &n.bits, sizeof d);
        rc = r.setKey(p, d);
      }
  }
  expect(r, path, rc);
}

}  // namespace

bool operator==(const Node &a, const Node &b) {
  return a.name == b.name && a.type == b.type && a.has_value == b.has_value &&
         a.bytes == b.bytes && a.bits == b.bits && a.children == b.children;
}

Node readTree(Registry &r, const std::string &path, int depth) {
  Entry e = r.find(path);
  if (!e.found)
    throw Failure(r.file(), path + ": no such key or directory", kExitNo);
  Node n = readOne(r, path, baseName(path), e);
  if (n.type == NC_DIR && depth != 0) readBelow(r, n, path, e.where, depth);
  return n;
}

void checkWritable(Registry &r, const std::string &path, const Node &node) {
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] != '/') continue;
    std::string prefix = path.substr(0, i);
    Entry e = r.find(prefix);
    if (e.found && e.type != NC_DIR)
      throw Failure(r.file(), prefix + ": not a directory");
  }
  checkNode(r, path, node);
}

void writeTree(Registry &r, const std::string &path, const Node &node,
               bool presize) {
  forEachNode(node, path, [&](const Node &n, const std::string &p) {
    writeOne(r, p, n, presize);
  });
}

std::vector<const Node *> listed(const Node &n) {
  if (n.type != NC_DIR) return {&n};
  std::vector<const Node *> entries;
  for (const Node &c : n.children) entries.push_back(&c);
  return entries;
}

std::string joinPath(const std::string &parent, const std::string &name) {
  if (parent.empty()) return name;
  return parent.back() == '/' ? parent + name : parent + "/" + name;
}

std::string baseName(const std::string &path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "";
  size_t start = path.rfind('/', end);
  start = start == std::string::npos ? 0 : start + 1;
  return path.substr(start, end + 1 - start);
}

std::string dirName(const std::string &path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return "/";  // relative: the root is current
  size_t keep = path.find_last_not_of('/', slash);
  return keep == std::string::npos ? "/" : path.substr(0, keep + 1);
}

bool isPlainName(const std::string &name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos;
}

Node readFileTree(const std::string &file, const std::string &path) {
  requirePath(file, path);
  Registry reg;
  reg.openFile(file, NC_O_RO);
  Lock lock(reg, NC_L_RO);
  return readTree(reg, path);
}

}  // namespace nctool
