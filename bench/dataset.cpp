#include "dataset.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>

namespace ncbench {

Dataset makeDataset(const Shape &shape, const std::string &parent) {
  Dataset d;
  d.shape = shape;
  std::string tmpl = parent + "/nc_bench.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    perror("mkdtemp");
    exit(2);
  }
  d.dir = buf.data();

  const unsigned n = shape.keys();
  d.paths.reserve(n);
  d.values[0].reserve(n);
  d.values[1].reserve(n);
  char text[64];
  for (uint32_t i = 0; i < n; ++i) {
    unsigned t = i / (shape.mid * shape.leaf);
    unsigned m = (i / shape.leaf) % shape.mid;
    unsigned k = i % shape.leaf;
    snprintf(text, sizeof text, "/t%u/d%u/k%04u", t, m, k);
    d.paths.emplace_back(text);
    for (int version = 0; version < 2; ++version) {
      if (Dataset::isUint(i)) {
        uint64_t v = uint64_t(i) * 0x9E3779B97F4A7C15ull + uint64_t(version);
        d.values[version].emplace_back(reinterpret_cast<const char *>(&v), sizeof v);
      } else {
        int len = snprintf(text, sizeof text, "%s-%010u", version ? "VALUE" : "value", i);
        d.values[version].emplace_back(text, size_t(len) + 1);  // with the NUL
      }
    }
  }

  d.sorted.resize(n);
  std::iota(d.sorted.begin(), d.sorted.end(), 0u);
  std::sort(d.sorted.begin(), d.sorted.end(),
            [&](uint32_t a, uint32_t b) { return d.paths[a] < d.paths[b]; });
  d.random = d.sorted;
  std::mt19937 rng(20240601u);
  std::shuffle(d.random.begin(), d.random.end(), rng);
  return d;
}

void removePath(const std::string &path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void removeScratch(const Dataset &d) { removePath(d.dir); }

uint64_t fileSize(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

}  // namespace ncbench
