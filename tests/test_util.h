// Shared test support: a handle that exposes the store's internals, and
// temporary registry files that clean up after themselves.
#ifndef TESTS_TEST_UTIL_H
#define TESTS_TEST_UTIL_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/system/nconfig.h"

// A handle whose protected members tests may reach.
class TestNConfig : public NConfig {
 public:
  explicit TestNConfig(int protect = 0) : NConfig(protect) {}
  using NConfig::_delKey;
  using NConfig::_remap;
  using NConfig::_setKey;
  using NConfig::alignSize;
  using NConfig::canonize;
  using NConfig::cdir;
  using NConfig::chunks;
  using NConfig::cname;
  using NConfig::data;
  using NConfig::expand;
  using NConfig::fast_free;
  using NConfig::fd;
  using NConfig::freeChunk;
  using NConfig::getChunk;
  using NConfig::getDirEnt;
  using NConfig::getName;
  using NConfig::insert;
  using NConfig::lock;
  using NConfig::lsize;
  using NConfig::olck;
  using NConfig::omode;
  using NConfig::rdir;
  using NConfig::sb;
  using NConfig::update;

  uint32_t offsetOf(const void *p) const {
    return uint32_t(static_cast<const char *>(p) - data);
  }
  uint32_t word(uint32_t off) const {
    uint32_t w;
    memcpy(&w, data + off, 4);
    return w;
  }
  nc_de_s *entryAt(uint32_t off) const { return reinterpret_cast<nc_de_s *>(data + off); }
  // The entry `path` names, or null.
  nc_de_s *find(const char *path) { return getDirEnt(path, nullptr); }
  // Names of the entries in the slots of directory `path`, "" for free ones.
  std::vector<std::string> slotNames(const char *path) {
    std::vector<std::string> names;
    nc_de_s *d = find(path);
    if (!d || !d->offset) return names;
    for (uint32_t i = 0; i < d->pages; i++) {
      const uint32_t e = reinterpret_cast<uint32_t *>(data + d->offset)[i];
      names.push_back(data + entryAt(e)->name);
    }
    return names;
  }
  // Sizes of the free-chunk table's records, from slot 0 on.
  std::vector<uint32_t> tableSizes() const {
    std::vector<uint32_t> sizes;
    for (uint32_t i = 0; i < sb->chunk_ttl; i++) sizes.push_back(chunks[i].size);
    return sizes;
  }
  // The view as it stands (a copy).
  std::vector<unsigned char> image() const {
    return std::vector<unsigned char>(data, data + lsize);
  }
};

// A private temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/nconfig-test-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// The bytes of the file at `path`.
inline std::vector<unsigned char> readFile(const std::string &path) {
  std::vector<unsigned char> bytes;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return bytes;
  unsigned char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  fclose(f);
  return bytes;
}

inline void writeFile(const std::string &path, const std::vector<unsigned char> &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return;
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// Creates a registry at `path` and opens `h` on it read-write.
inline int makeRegistry(TestNConfig &h, const std::string &path, unsigned resize = 1,
                        unsigned dirent = 8, unsigned mchunks = 16) {
  int rc = h.setName(path.c_str());
  if (rc == NC_ERR_OK) rc = h.createNew(resize, dirent, mchunks);
  if (rc == NC_ERR_OK) rc = h.open(NC_O_RW);
  return rc;
}

#endif  // TESTS_TEST_UTIL_H
