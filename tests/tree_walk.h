// Walks a registry through every reader the store has: the typed getters,
// listings, the current directory. Shared by the damaged-file tests and the
// fuzz targets, which hand it files whose trees may be huge or cyclic, so
// depth and visits are bounded.
#ifndef TESTS_TREE_WALK_H
#define TESTS_TREE_WALK_H

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lib/system/nconfig.h"

namespace nctest {

inline void freeList(nc_ls_s *list) { for (nc_ls_s *p = list; p && p->name; p++) free(p->name); free(list); }

// What a listing of `path` shows, in its order, as (name, type) pairs; the
// list is freed. Null when ls answered nothing at all.
using Listing = std::vector<std::pair<std::string, uint32_t>>;
inline std::unique_ptr<Listing> listing(NConfig &h, const char *path) {
  nc_ls_s *list = h.ls(path);
  if (!list) return nullptr;
  auto out = std::make_unique<Listing>();
  for (nc_ls_s *p = list; p->name; p++) out->emplace_back(p->name, p->type);
  freeList(list);
  return out;
}

// Calls fn(path, type) for every entry below directory `path`, depth first
// in listing order. For sound trees only: depth is not bounded.
template <class Fn>
void eachEntry(NConfig &h, const std::string &path, const Fn &fn) {
  const std::string prefix = path == "/" ? "/" : path + "/";
  if (auto list = listing(h, path.c_str()))
    for (const auto &[name, type] : *list) {
      fn(prefix + name, type);
      if (type == NC_DIR) eachEntry(h, prefix + name, fn);
    }
}

// Reads `path` through every typed getter; whatever they hand out is freed.
inline void readAllWays(NConfig &h, const std::string &key) {
  const char *path = key.c_str();
  auto numbers = [&](auto... value) { (h.getKey(path, value), ...); };  // each a local lvalue
  numbers(0ull, 0ll, 0.0L, 0.0, 0u, 0);
  unsigned len = 0;
  char *s = nullptr;
  if (h.getKey(path, s) == NC_ERR_OK) free(s);
  if (h.getKey(path, s, len) == NC_ERR_OK) free(s);
}

// Visits the tree below "/" depth first: every entry is read every way, every
// directory entered and left; names that sort before and after all others
// are looked up too, so lookups reach a directory's first and last slot even
// where a listing leaves a broken one out. Remembers the first key and
// directory found.
class TreeWalk {
 public:
  TreeWalk(NConfig &h, int max_depth, int max_visits)
      : h_(h), max_depth_(max_depth), max_visits_(max_visits) {}
  void run() { walk("/", 0); }
  const std::string &someKey() const { return some_key_; }
  const std::string &someDir() const { return some_dir_; }

 private:
  void walk(const std::string &path, int depth) {
    const std::string prefix = path == "/" ? "/" : path + "/";
    for (const char *missing : {"!", "~"}) readAllWays(h_, prefix + missing);
    nc_ls_s *list = h_.ls(path.c_str());
    for (nc_ls_s *p = list; p && p->name && visits_++ < max_visits_; p++) {
      const std::string child = prefix + p->name;
      readAllWays(h_, child);
      std::string &first = p->type == NC_DIR ? some_dir_ : some_key_;
      if (first.empty()) first = child;
      if (p->type != NC_DIR) continue;
      if (h_.chDir(child.c_str()) == NC_ERR_OK) {
        free(h_.pwDir());
        freeList(h_.ls(nullptr));
        readAllWays(h_, p->name);
        h_.chDir("..");
        h_.chDir("/");
      }
      if (depth < max_depth_) walk(child, depth + 1);
    }
    freeList(list);
  }

  NConfig &h_;
  const int max_depth_, max_visits_;
  int visits_ = 0;
  std::string some_key_, some_dir_;
};

}  // namespace nctest

#endif  // TESTS_TREE_WALK_H
