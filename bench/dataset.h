// The data every engine is given: a tree of keys three levels deep, the same
// paths and the same value bytes for all of them, and fixed orders in which
// the benchmarks visit the keys.
#ifndef BENCH_DATASET_H
#define BENCH_DATASET_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ncbench {

// top × mid directories, each holding `leaf` keys: /tN/dM/kNNNN.
struct Shape {
  unsigned top;
  unsigned mid;
  unsigned leaf;
  unsigned keys() const { return top * mid * leaf; }
};

struct Dataset {
  Shape shape;
  std::string dir;                 // scratch directory for all files
  std::vector<std::string> paths;  // absolute path of key i
  // Stored bytes of key i: [0] as created, [1] as updated (same length).
  // Even keys are unsigned 64-bit integers (8 bytes), odd keys strings whose
  // bytes include the terminating NUL.
  std::vector<std::string> values[2];
  std::vector<uint32_t> sorted;  // key indices in ascending path order
  std::vector<uint32_t> random;  // a fixed random permutation of the keys

  static bool isUint(uint32_t i) { return (i & 1) == 0; }
  uint64_t uintValue(uint32_t i, int version) const {
    uint64_t v;
    memcpy(&v, values[version][i].data(), sizeof v);
    return v;
  }
  // Path of a scratch file in `dir`.
  std::string file(const std::string &name) const { return dir + "/" + name; }
};

// Builds the data set for `shape`; its scratch directory is created under
// `parent`. The same shape always gives the same data and orders.
Dataset makeDataset(const Shape &shape, const std::string &parent);

// Removes the scratch directory and everything in it.
void removeScratch(const Dataset &d);

// Removes the file or directory tree at `path`; missing paths are fine.
void removePath(const std::string &path);

// Size in bytes of the file at `path`, 0 when it does not exist.
uint64_t fileSize(const std::string &path);

}  // namespace ncbench

#endif  // BENCH_DATASET_H
