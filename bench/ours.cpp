#include "ours.h"

namespace ncbench {
namespace {

// Sets every key in `order` under one exclusive lock.
bool fill(NConfig &nc, const Dataset &d, const std::vector<uint32_t> &order) {
  nc.lockFile(NC_L_RW, 0);
  bool filled = true;
  for (uint32_t i : order) {
    const char *path = d.paths[i].c_str();
    int rc = Dataset::isUint(i) ? nc.setKey(path, static_cast<unsigned long long>(d.uintValue(i, 0)))
                                : nc.setKey(path, d.values[0][i].c_str());
    if (rc != NC_ERR_OK) {
      filled = false;
      break;
    }
  }
  nc.unLockFile();
  return filled;
}

// Creates the registry at `path` holding every key in `order`, written back.
bool build(const Dataset &d, const std::vector<uint32_t> &order,
           const std::string &path) {
  removePath(path);
  NConfig nc(0);
  if (nc.setName(path.c_str()) != NC_ERR_OK ||
      nc.createNew(kResize, kDirent, kChunks) != NC_ERR_OK ||
      nc.open(NC_O_RW) != NC_ERR_OK)
    return false;
  bool filled = fill(nc, d, order);
  nc.close();
  return filled;
}

}  // namespace

Ours::Ours(const Dataset &d) : d_(d) {
  const std::string path = d.file("ours");
  if (!build(d, d.sorted, path)) {
    error_ = "ours: cannot build the registry";
    return;
  }
  // Reopened, as a reader that starts after the writer closed would see it.
  if (nc_.setName(path.c_str()) != NC_ERR_OK || nc_.open(NC_O_RW) != NC_ERR_OK)
    error_ = "ours: cannot open the registry";
}

bool Ours::create(const Dataset &d, const std::vector<uint32_t> &order,
                  const std::string &path, uint64_t *bytes) {
  bool built = build(d, order, path);
  *bytes = fileSize(path);
  return built;
}

OursOpenClose::OursOpenClose(const std::string &path, unsigned size) {
  removePath(path);
  ok_ = nc_.setName(path.c_str()) == NC_ERR_OK &&
        nc_.createNew(size / 4096, kDirent, kChunks) == NC_ERR_OK;
}

}  // namespace ncbench
