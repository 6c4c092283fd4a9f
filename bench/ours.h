// This store, used through its public interface only.
#ifndef BENCH_OURS_H
#define BENCH_OURS_H

#include <cstdlib>
#include <string>
#include <vector>

#include "dataset.h"
#include "lib/system/nconfig.h"

namespace ncbench {

// Growth parameters of the registries the benchmarks create: 64 pages
// (256 KiB) per growth step, 64 entries per directory growth, 64 records
// per free-chunk table growth.
constexpr unsigned kResize = 64;
constexpr unsigned kDirent = 64;
constexpr unsigned kChunks = 64;

class Ours {
 public:
  static constexpr const char *kName = "ours";
  explicit Ours(const Dataset &d);
  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }

  void beginRead() { nc_.lockFile(NC_L_RO, 0); }
  void endRead() { nc_.unLockFile(); }
  bool getHeld(uint32_t i, uint64_t &sink) { return get(i, sink); }
  bool getEach(uint32_t i, uint64_t &sink) { return get(i, sink); }

  void beginWrite() { nc_.lockFile(NC_L_RW, 0); }
  void endWrite() { nc_.unLockFile(); }
  bool putHeld(uint32_t i, int version) { return put(nc_, d_, i, version); }
  bool putEach(uint32_t i, int version) { return put(nc_, d_, i, version); }

  static bool create(const Dataset &d, const std::vector<uint32_t> &order,
                     const std::string &path, uint64_t *bytes);

 private:
  bool get(uint32_t i, uint64_t &sink) {
    const char *path = d_.paths[i].c_str();
    if (Dataset::isUint(i)) {
      unsigned long long v;
      if (nc_.getKey(path, v) != NC_ERR_OK) return false;
      sink += v;
      return true;
    }
    char *s = nullptr;
    if (nc_.getKey(path, s) != NC_ERR_OK || s == nullptr) return false;
    sink += uint8_t(s[0]);
    free(s);
    return true;
  }
  static bool put(NConfig &nc, const Dataset &d, uint32_t i, int version) {
    const char *path = d.paths[i].c_str();
    if (Dataset::isUint(i)) return nc.setKey(path, static_cast<unsigned long long>(d.uintValue(i, version))) == NC_ERR_OK;
    return nc.setKey(path, d.values[version][i].c_str()) == NC_ERR_OK;
  }

  const Dataset &d_;
  std::string error_;
  NConfig nc_{0};
};

// A registry of exactly `size` bytes, opened and closed as a whole.
class OursOpenClose {
 public:
  OursOpenClose(const std::string &path, unsigned size);
  bool ok() const { return ok_; }
  bool run() {
    if (nc_.open(NC_O_RW) != NC_ERR_OK) return false;
    nc_.close();
    return true;
  }

 private:
  NConfig nc_{0};
  bool ok_ = false;
};

}  // namespace ncbench

#endif  // BENCH_OURS_H
