// NConfigTool's readers of the tree: walk and describe. Neither trusts an
// offset of the file: every link is checked against the view, and every
// entry is handed out at most once, so a walk ends on any file.
#include <cstdlib>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "internal.h"
#include "lib/system/nconfig_tool.h"
#include "paths.h"

namespace {

// The entry `path` names, followed from `start` (the root for an absolute
// path): NC_ERR_OK with *out set, NC_ERR_NEXIST, NC_ERR_NDIR (a key stands
// where a directory is needed) or NC_ERR_CORRUPT (a ".." leaves the view).
int resolve(const nc::View &v, nc_de_s *start, const char *path, nc_de_s **out) {
  if (!start) return NC_ERR_CORRUPT;  // a root or directory the view lacks
  const char *rest;
  bool blocked;
  nc_de_s *e = nc::walkPath(v, start, *path == '/' ? path + 1 : path, &rest, &blocked);
  if (!e) return NC_ERR_CORRUPT;
  if (blocked) return NC_ERR_NDIR;
  if (*rest != '\0') return NC_ERR_NEXIST;
  *out = e;
  return NC_ERR_OK;
}

// Fills the fields of `out` that the entry `e` itself gives. NC_ERR_CORRUPT
// when its value does not lie inside the view.
int fill(const nc::View &v, const nc_de_s *e, nc_entry *out) {
  out->type = e->type;
  out->length = e->pages;
  out->where = v.offsetOf(e);
  out->value = nullptr;
  out->has_value = e->type == NC_DIR || e->offset != 0;
  if (e->type == NC_DIR || e->offset == 0) return NC_ERR_OK;
  if (!v.spans(e->offset, e->pages)) return NC_ERR_CORRUPT;
  out->value = v.data + e->offset;
  return NC_ERR_OK;
}

// A directory whose children are being handed out.
struct Frame {
  const nc_de_s *dir;
  uint32_t next;     // the slot to look at next
  size_t path_len;   // the directory's path is path[0, path_len)
  uint32_t depth;
};

// The walk below the entry it starts at.
class Walker {
 public:
  Walker(const nc::View &v, int depth, int (*fn)(const nc_entry *, void *), void *ctx)
      : v_(v), depth_(depth), fn_(fn), ctx_(ctx) {}

  // Hands out `top`, at `path`, and everything below it; the walk's result.
  int run(const nc_de_s *top, const std::string &path) {
    path_ = path;
    const size_t slash = path.rfind('/');
    const std::string name = path == "/" ? path : path.substr(slash + 1);
    int rc = visit(top, name.c_str(), 0);
    while (rc == NC_ERR_OK && !stack_.empty()) rc = step();
    return rc;
  }

 private:
  // Hands `e` (its path in path_) to the callback and, when it answers
  // NC_WALK_ON for a directory within the depth asked for, queues its
  // children.
  int visit(const nc_de_s *e, const char *name, uint32_t depth) {
    if (!seen_.insert(v_.offsetOf(e)).second) return NC_ERR_CORRUPT;  // a cycle, or a shared entry
    nc_entry out = {};
    if (int rc = fill(v_, e, &out)) return rc;
    out.path = path_.c_str();
    out.name = name;
    out.depth = depth;
    const int answer = fn_(&out, ctx_);
    if (answer == NC_WALK_SKIP) return NC_ERR_OK;
    if (answer != NC_WALK_ON) return answer;
    if (e->type != NC_DIR || (depth_ >= 0 && depth >= uint32_t(depth_))) return NC_ERR_OK;
    if (e->offset != 0 && !v_.slots(e)) return NC_ERR_CORRUPT;
    if (e->offset != 0 && e->pages != 0) stack_.push_back({e, 0, path_.size(), depth});
    return NC_ERR_OK;
  }

  // Hands out the next child of the innermost directory, or leaves it.
  int step() {
    Frame &f = stack_.back();
    if (f.next == f.dir->pages) {
      stack_.pop_back();
      return NC_ERR_OK;
    }
    const uint32_t slot = v_.slots(f.dir)[f.next++];
    const nc_de_s *e = v_.entry(slot);
    if (!e) return NC_ERR_CORRUPT;
    if (e->type == 0 || e->name == 0) return NC_ERR_OK;  // a free slot
    const char *name = v_.str(e->name);
    if (!name) return NC_ERR_CORRUPT;
    path_.resize(f.path_len);
    if (f.path_len != 1) path_ += '/';
    path_ += name;
    return visit(e, name, f.depth + 1);
  }

  const nc::View &v_;
  const int depth_;
  int (*fn_)(const nc_entry *, void *);
  void *ctx_;
  std::unordered_set<uint32_t> seen_;  // offsets of the entries handed out
  std::vector<Frame> stack_;
  std::string path_;
};

}  // namespace

int NConfigTool::walk(const char *path, int depth, int (*fn)(const nc_entry *, void *),
                      void *ctx) {
  if (fd < 0) return NC_ERR_NFILE;
  if (!path || !fn) return NC_ERR_NVAL;
  nc::LockScope lock(*this, NC_L_RO);
  if (viewStale()) return NC_ERR_NMEM;
  const nc::View v{data, lsize};
  nc_de_s *top = nullptr;
  if (int rc = resolve(v, *path == '/' ? rdir : cdir, path, &top)) return rc;
  char *abs = nullptr;
  if (int rc = nc::absoluteName(v, sb->root, top, &abs)) return rc;
  int rc;
  try {
    const std::string where(abs);
    free(abs);
    abs = nullptr;
    rc = Walker(v, depth, fn, ctx).run(top, where);
  } catch (const std::bad_alloc &) {
    free(abs);
    rc = NC_ERR_NMEM;
  }
  return rc;
}

int NConfigTool::describe(const char *path, nc_entry *out) {
  if (fd < 0) return NC_ERR_NFILE;
  if (!path || !out) return NC_ERR_NVAL;
  nc::LockScope lock(*this, NC_L_RO);
  if (viewStale()) return NC_ERR_NMEM;
  const nc::View v{data, lsize};
  nc_de_s *e = nullptr;
  if (int rc = resolve(v, *path == '/' ? rdir : cdir, path, &e)) return rc;
  nc_entry d = {};
  fill(v, e, &d);  // a value outside the file is only described, not handed out
  d.value = nullptr;
  *out = d;
  return NC_ERR_OK;
}
