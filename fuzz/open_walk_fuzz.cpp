// Fuzz target: arbitrary bytes opened as a registry. The whole tree is walked
// through every getter, listing, the current directory and the statistics,
// first read-only, then read-write with a few changes. A damaged file may make
// any of these fail, never crash, hang or touch memory outside the view.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_util.h"

namespace {

// Bounds that keep one input's work small; a damaged file can describe a
// tree far larger (or cyclic, through a directory that contains itself).
constexpr int kMaxDepth = 6;
constexpr int kMaxVisits = 400;

// Reads `path` through every typed getter; whatever they hand out is freed.
void readAllWays(NConfig &h, const char *path) {
  unsigned long long ull;
  unsigned int ui;
  long long ll;
  int i;
  long double ld;
  double d;
  h.getKey(path, ull);
  h.getKey(path, ui);
  h.getKey(path, ll);
  h.getKey(path, i);
  h.getKey(path, ld);
  h.getKey(path, d);
  char *s = nullptr;
  if (h.getKey(path, s) == NC_ERR_OK) free(s);
  char *raw = nullptr;
  unsigned int len = 0;
  if (h.getKey(path, raw, len) == NC_ERR_OK) free(raw);
}

void freeList(nc_ls_s *list) {
  if (!list) return;
  for (nc_ls_s *p = list; p->name; p++) free(p->name);
  free(list);
}

// Walks the tree below `path`, depth first, visiting at most kMaxVisits
// entries. Remembers the first key and directory found for the writes.
struct Walker {
  explicit Walker(NConfig &handle) : h(handle) {}
  NConfig &h;
  int visits = 0;
  std::string some_key, some_dir;

  void walk(const std::string &path, int depth) {
    nc_ls_s *list = h.ls(path.c_str());
    if (!list) return;
    for (nc_ls_s *p = list; p->name && visits < kMaxVisits; p++) {
      visits++;
      const std::string child = (path == "/" ? "/" : path + "/") + p->name;
      readAllWays(h, child.c_str());
      if (p->type == NC_DIR) {
        if (some_dir.empty()) some_dir = child;
        if (h.chDir(child.c_str()) == NC_ERR_OK) {
          free(h.pwDir());
          freeList(h.ls(nullptr));
          readAllWays(h, p->name);
          h.chDir("..");
          h.chDir("/");
        }
        if (depth < kMaxDepth) walk(child, depth + 1);
      } else if (some_key.empty()) {
        some_key = child;
      }
    }
    freeList(list);
  }
};

void walkAll(NConfig &h, Walker &w) {
  w.walk("/", 0);
  readAllWays(h, "/");
  readAllWays(h, "..");
  readAllWays(h, "/../a/./b");
  freeList(h.ls("/.."));
  free(h.pwDir());
  fuzz::quietly([&] { h.status(); });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::initQuiet();
  fuzz::installFences();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static fuzz::MemFile file;
  if (size > (1u << 20)) return -1;  // registries are small; keep runs fast
  file.assign(data, size);

  NConfig h(0);
  h.setName(file.path());
  if (h.open(NC_O_RO) != NC_ERR_OK) return 0;
  Walker w{h};
  walkAll(h, w);
  h.close();

  // Growth steps far beyond any real registry's (a megabyte of file or a
  // thousand table records at a time) make single operations allocate
  // gigabytes, slowly but correctly; such files are only read.
  nc_sb_s head;
  memcpy(&head, data, sizeof head);
  if (head.size_inc > 256 || head.chunk_inc > 1024) return 0;

  // The same bytes read-write: changes on a damaged file fail or stay inside
  // the view, and the write-back that follows keeps the file's length.
  NConfig rw(1);
  rw.setName(file.path());
  if (rw.open(NC_O_RW) != NC_ERR_OK) return 0;
  if (!w.some_key.empty()) {
    rw.setKey(w.some_key.c_str(), "x");
    rw.setKey(w.some_key.c_str(), 7u);
    rw.setKey(w.some_key.c_str(), "a longer string that needs a new chunk");
    rw.renameKey(w.some_key.c_str(), "renamed");
  }
  const std::string dir = w.some_dir.empty() ? "/" : w.some_dir;
  rw.setKey((dir + "/fuzz/new").c_str(), 1.5);
  rw.createDir((dir + "/d2").c_str(), 3);
  Walker w2{rw};
  walkAll(rw, w2);
  if (!w.some_key.empty()) rw.delKey(w.some_key.c_str());
  if (!w.some_dir.empty()) rw.delKey(w.some_dir.c_str());
  rw.delKey("/renamed");
  rw.close();
  return 0;
}
