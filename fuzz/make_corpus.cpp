// Writes the fuzz targets' seed corpus: small valid registries for
// open_walk_fuzz and operation sequences for ops_fuzz.
//
//   make_fuzz_corpus DIR     writes DIR/open_walk/* and DIR/ops/*
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lib/system/nconfig.h"

namespace {

std::string g_dir;

bool writeBytes(const std::string &path, const void *data, size_t n) {
  std::ofstream f(path, std::ios::binary);
  return f.write(static_cast<const char *>(data), std::streamsize(n)).flush().good();
}

// Makes a registry with `fill` applied, and stores it as seed `name`.
template <typename Fill>
void registry(const char *name, unsigned resize, unsigned dirent, unsigned mchunks, Fill fill) {
  const std::string tmp = g_dir + "/.tmp-registry";
  unlink(tmp.c_str());
  {
    NConfig h(0);
    h.setName(tmp.c_str());
    if (h.createNew(resize, dirent, mchunks) != NC_ERR_OK || h.open(NC_O_RW) != NC_ERR_OK)
      fprintf(stderr, "cannot make %s\n", name), exit(1);
    fill(h);
  }
  std::ifstream f(tmp, std::ios::binary);
  const std::string b{std::istreambuf_iterator<char>(f), {}};
  unlink(tmp.c_str());
  if (!writeBytes(g_dir + "/open_walk/" + name, b.data(), b.size())) exit(1);
}

void ops(const char *name, const std::vector<unsigned char> &bytes) {
  if (!writeBytes(g_dir + "/ops/" + name, bytes.data(), bytes.size())) exit(1);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) return fprintf(stderr, "usage: %s DIR\n", argv[0]), 2;
  g_dir = argv[1];
  mkdir(g_dir.c_str(), 0755);
  mkdir((g_dir + "/open_walk").c_str(), 0755);
  mkdir((g_dir + "/ops").c_str(), 0755);

  registry("empty", 1, 8, 16, [](NConfig &) {});
  registry("receiver", 1, 4, 4, [](NConfig &h) {
    for (int i = 0; i < 3; i++) {
      char key[96];
      snprintf(key, sizeof key, "/quorvane/DVB/config/lnbs/%d/lofH", i);
      h.setKey(key, 9750000u + unsigned(i));
      snprintf(key, sizeof key, "/quorvane/DVB/config/lnbs/%d/RotorTable", i);
      h.setKey(key, "0.0:1,19.2:2,13.0:3");
    }
  });
  registry("types", 1, 2, 2, [](NConfig &h) {
    h.setKey("/s", "string"), h.setKey("/i", -5), h.setKey("/u", 5u), h.setKey("/d", 2.5);
    h.setKey("/r", "\x01\x02\x03", 3), h.setKey("/empty", nullptr, 0);
    h.createDir("/dir/sub", 3), h.setKey("/dir/k", 1ull << 40);
  });
  registry("churn", 1, 1, 2, [](NConfig &h) {
    for (int i = 0; i < 12; i++) {
      char key[32];
      snprintf(key, sizeof key, "/d%d/k%d", i % 3, i);
      h.setKey(key, std::string(size_t(i) * 7 + 1, 'v').c_str());
    }
    h.delKey("/d1");
    h.renameKey("/d0/k0", "zz");
  });

  // Operation sequences: parameters, then opcode and arguments (see ops_fuzz).
  ops("set_get", {0, 0, 0, /*setKey uint*/ 0, 0x01, 0, 1, 42, 0, 0, 0,
                  /*getKey*/ 9, 0x01, 0, 1, 0x01, 0, 1, 0x01, 0, 1});
  ops("strings", {1, 1, 1, 2, 0x02, 5, 1, 2, 4, 'a', 'b', 'c', 'd', 2, 0x02, 5, 1, 2, 1, 'x',
                  10, 0, 0x00, 5});
  ops("dirs_delete", {0, 3, 2, 5, 0x01, 0, 2, 6, 5, 0x02, 0, 2, 3, 20, 6, 0x00, 0, 8, 0x00, 5,
                      6, 0x00, 5, 10, 1});
  ops("raw_growth", {1, 0, 0, 3, 200, 0x00, 0, 1, 1, 3, 10, 0xff, 0x00, 6, 17, 0x00, 6, 3, 3,
                     0x40, 0x00, 7});
  ops("rename_locks", {0, 0, 3, 14, 0, 0, 0x00, 0, 1, 0, 7, 0x00, 0, 3, 15, 12, 7, 0x00, 2,
                       4, 11});
  ops("poke", {0, 1, 1, 0, 0x01, 1, 2, 9, 0, 0, 0, 16, 40, 0, 0, 0, 0x55, 0, 0x01, 1, 2,
               3, 0, 0, 0, 6, 0x00, 1, 18});
  return 0;
}
