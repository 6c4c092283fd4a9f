// Reading, writing and comparing registry trees as plain values.
#include "tree.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pathname.h"
#include "show.h"
#include "tool.h"

namespace nctool {

namespace {

// Throws Failure for store result `rc` at `path` unless it is NC_ERR_OK.
void expect(Registry &r, const std::string &path, int rc) {
  if (rc != NC_ERR_OK)
    throw Failure(r.file(), path + ": " + resultText(rc),
                  rc == NC_ERR_NEXIST ? kExitNo : kExitTrouble);
}

// The number in the `len` value bytes at `v` (this machine's order) as
// 64 bits: 4-byte integers widened by their type's sign, a 16-byte double
// as its leading (larger) half. False for any other width.
bool numberBits(uint32_t type, const char *v, uint32_t len, uint64_t &bits) {
  if (len == 8) {
    memcpy(&bits, v, 8);
    return true;
  }
  if (len == 4 && type != NC_DOUBLE) {
    uint32_t w;
    memcpy(&w, v, 4);
    bits = type == NC_INT ? uint64_t(int64_t(int32_t(w))) : w;
    return true;
  }
  if (len == 16 && type == NC_DOUBLE) {
    const bool big = nc_host_order() == NC_ORDER_BIG;
    memcpy(&bits, v + (big ? 0 : 8), 8);
    return true;
  }
  return false;
}

// What a walk builds: the tree so far and the directories open on the way
// down, with the first problem met.
struct Builder {
  Node top;
  std::string top_name;
  std::vector<Node *> open;  // open[d]: the directory at depth d
  std::string path, problem;
};

// Why the entry `e` cannot be shown, or "" when `n` now holds it.
std::string nodeOf(const nc_entry *e, Node &n) {
  n.type = e->type;
  // A raw value of length 0 is the same as none; every other key keeps the
  // difference.
  n.has_value = e->has_value || e->type == NC_RAW;
  if (e->type < NC_DIR || e->type > NC_LINK) return "entry of unknown " + typeName(e->type);
  if (e->value == nullptr || e->type == NC_LINK) return "";
  if (e->type == NC_STRING) {
    n.bytes.assign(e->value, strnlen(e->value, e->length));
  } else if (e->type == NC_RAW) {
    n.bytes.assign(e->value, e->length);
  } else if (!numberBits(e->type, e->value, e->length, n.bits)) {
    return "a " + typeName(e->type) + " of " + std::to_string(e->length) + " bytes";
  }
  return "";
}

// The walk's callback: adds the entry to the tree being built.
int addEntry(const nc_entry *e, void *ctx) {
  Builder &b = *static_cast<Builder *>(ctx);
  constexpr int kStop = 1000;  // any answer but NC_WALK_ON and NC_WALK_SKIP
  b.path = e->path;
  if (e->depth > uint32_t(kMaxDepth)) {
    b.problem = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
    return kStop;
  }
  Node *n = &b.top;
  if (e->depth == 0) {
    n->name = b.top_name;
  } else {
    if (!isPlainName(e->name)) {
      b.problem = "entry " + quote(e->name) + " has a name no path can reach";
      // Its directory's path: the entry's, less "/" and the name.
      b.path.resize(b.path.size() - strlen(e->name));
      if (b.path.size() > 1) b.path.pop_back();
      return kStop;
    }
    std::vector<Node> &siblings = b.open[e->depth - 1]->children;
    siblings.emplace_back();
    n = &siblings.back();
    n->name = e->name;
  }
  b.problem = nodeOf(e, *n);
  if (!b.problem.empty()) return kStop;
  b.open.resize(e->depth);
  b.open.push_back(n);
  return NC_WALK_ON;
}

// Puts the children of `n` and of everything below it in ascending name
// order (a walk hands them out in slot order).
void sortChildren(Node &n) {
  std::sort(n.children.begin(), n.children.end(),
            [](const Node &a, const Node &b) { return a.name < b.name; });
  for (Node &c : n.children) sortChildren(c);
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
        rc = r.setUntyped(p, n.type, nullptr, 0);
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
  Builder b;
  b.top_name = baseName(path);
  const int rc = r.walk(path.c_str(), depth, addEntry, &b);
  if (!b.problem.empty()) throw Failure(r.file(), b.path + ": " + b.problem);
  if (rc == NC_ERR_NEXIST || rc == NC_ERR_NDIR)
    throw Failure(r.file(), path + ": no such key or directory", kExitNo);
  expect(r, path, rc);
  sortChildren(b.top);
  return b.top;
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
