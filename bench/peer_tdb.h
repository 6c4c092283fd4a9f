// TDB as a peer: like this store it guards a memory-mapped file with fcntl
// record locks. One hash table sized to the key count, keyed by full path.
#ifndef BENCH_PEER_TDB_H
#define BENCH_PEER_TDB_H

#include <sys/types.h>  // tdb.h uses mode_t without including it
#include <tdb.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dataset.h"

namespace ncbench {

class Tdb {
 public:
  static constexpr const char *kName = "tdb";
  explicit Tdb(const Dataset &d);
  ~Tdb();
  bool ok() const { return db_ != nullptr && error_.empty(); }
  const std::string &error() const { return error_; }

  void beginRead() { tdb_lockall_read(db_); }
  void endRead() { tdb_unlockall_read(db_); }
  // tdb_fetch takes its chain's read lock unless a whole-file lock is held.
  bool getHeld(uint32_t i, uint64_t &sink) { return get(i, sink); }
  bool getEach(uint32_t i, uint64_t &sink) { return get(i, sink); }

  void beginWrite() { tdb_lockall(db_); }
  void endWrite() { tdb_unlockall(db_); }
  bool putHeld(uint32_t i, int version) { return put(i, version); }
  bool putEach(uint32_t i, int version) { return put(i, version); }

  static bool create(const Dataset &d, const std::vector<uint32_t> &order,
                     const std::string &path, uint64_t *bytes);

 private:
  static TDB_DATA key(const std::string &p) {
    return TDB_DATA{reinterpret_cast<unsigned char *>(const_cast<char *>(p.data())),
                    p.size()};
  }
  bool get(uint32_t i, uint64_t &sink) {
    TDB_DATA val = tdb_fetch(db_, key(d_.paths[i]));
    if (val.dptr == nullptr) return false;
    sink += val.dptr[0] + val.dsize;  // the value is already a heap copy
    free(val.dptr);
    return true;
  }
  bool put(uint32_t i, int version) {
    const std::string &v = d_.values[version][i];
    return tdb_store(db_, key(d_.paths[i]), key(v), TDB_MODIFY) == 0;
  }

  const Dataset &d_;
  std::string error_;
  tdb_context *db_ = nullptr;
};

}  // namespace ncbench

#endif  // BENCH_PEER_TDB_H
