#include "peer_tdb.h"

#include <fcntl.h>

namespace ncbench {
namespace {

// A prime near the key count keeps the hash chains short.
int hashSize(size_t keys) {
  size_t n = keys | 1;
  for (;; n += 2) {
    bool prime = true;
    for (size_t f = 3; f * f <= n; f += 2)
      if (n % f == 0) {
        prime = false;
        break;
      }
    if (prime) return int(n);
  }
}

tdb_context *openDb(const std::string &path, size_t keys) {
  removePath(path);
  return tdb_open(path.c_str(), hashSize(keys), TDB_DEFAULT | TDB_NOSYNC,
                  O_RDWR | O_CREAT, 0600);
}

// Stores every key in `order` under one whole-file write lock.
bool fill(tdb_context *db, const Dataset &d, const std::vector<uint32_t> &order) {
  if (tdb_lockall(db) != 0) return false;
  bool stored = true;
  for (uint32_t i : order) {
    const std::string &p = d.paths[i];
    const std::string &v = d.values[0][i];
    TDB_DATA key{reinterpret_cast<unsigned char *>(const_cast<char *>(p.data())), p.size()};
    TDB_DATA val{reinterpret_cast<unsigned char *>(const_cast<char *>(v.data())), v.size()};
    if (tdb_store(db, key, val, TDB_INSERT) != 0) {
      stored = false;
      break;
    }
  }
  tdb_unlockall(db);
  return stored;
}

}  // namespace

Tdb::Tdb(const Dataset &d) : d_(d) {
  db_ = openDb(d.file("tdb"), d.paths.size());
  if (db_ == nullptr) {
    error_ = "tdb: cannot open";
    return;
  }
  if (!fill(db_, d, d.sorted)) error_ = "tdb: fill failed";
}

Tdb::~Tdb() {
  if (db_) tdb_close(db_);
}

bool Tdb::create(const Dataset &d, const std::vector<uint32_t> &order,
                 const std::string &path, uint64_t *bytes) {
  tdb_context *db = openDb(path, order.size());
  if (db == nullptr) return false;
  bool filled = fill(db, d, order);
  tdb_close(db);
  *bytes = fileSize(path);
  return filled;
}

}  // namespace ncbench
