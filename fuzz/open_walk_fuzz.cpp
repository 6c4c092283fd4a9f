// Fuzz target: arbitrary bytes opened as a registry. The whole tree is walked
// through every getter, listing, the current directory and the statistics,
// first read-only, then read-write with a few changes. A damaged file may make
// any of these fail, never crash, hang or touch memory outside the view.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "tests/tree_walk.h"

namespace {

// Bounds that keep one input's work small; a damaged file can describe a
// tree far larger (or cyclic, through a directory that contains itself).
constexpr int kMaxDepth = 6, kMaxVisits = 400;

using nctest::freeList;
using nctest::readAllWays;
using Walker = nctest::TreeWalk;

void walkAll(NConfig &h, Walker &w) {
  w.run();
  for (const char *path : {"/", "..", "/../a/./b"}) readAllWays(h, path);
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
  Walker w{h, kMaxDepth, kMaxVisits};
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
  if (!w.someKey().empty()) {
    rw.setKey(w.someKey().c_str(), "x");
    rw.setKey(w.someKey().c_str(), 7u);
    rw.setKey(w.someKey().c_str(), "a longer string that needs a new chunk");
    rw.renameKey(w.someKey().c_str(), "renamed");
  }
  const std::string dir = w.someDir().empty() ? "/" : w.someDir();
  rw.setKey((dir + "/fuzz/new").c_str(), 1.5);
  rw.createDir((dir + "/d2").c_str(), 3);
  Walker w2{rw, kMaxDepth, kMaxVisits};
  walkAll(rw, w2);
  if (!w.someKey().empty()) rw.delKey(w.someKey().c_str());
  if (!w.someDir().empty()) rw.delKey(w.someDir().c_str());
  rw.delKey("/renamed");
  rw.close();
  return 0;
}
