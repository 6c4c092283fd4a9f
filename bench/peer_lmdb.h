// LMDB as a peer: one environment in a directory of its own, one unnamed
// database keyed by the full path. No sync on commit, as this store never
// syncs either.
#ifndef BENCH_PEER_LMDB_H
#define BENCH_PEER_LMDB_H

#include <lmdb.h>

#include <cstring>
#include <string>
#include <vector>

#include "dataset.h"

namespace ncbench {

class Lmdb {
 public:
  static constexpr const char *kName = "lmdb";
  explicit Lmdb(const Dataset &d);
  ~Lmdb();
  bool ok() const { return env_ != nullptr && error_.empty(); }
  const std::string &error() const { return error_; }

  void beginRead() { mdb_txn_renew(rtxn_); }
  void endRead() { mdb_txn_reset(rtxn_); }
  bool getHeld(uint32_t i, uint64_t &sink) { return get(rtxn_, i, sink); }
  // A read in a read transaction of its own (reset and renewed, the cheap
  // way to run many short readers).
  bool getEach(uint32_t i, uint64_t &sink) {
    mdb_txn_renew(rtxn_);
    bool found = get(rtxn_, i, sink);
    mdb_txn_reset(rtxn_);
    return found;
  }

  void beginWrite() { mdb_txn_begin(env_, nullptr, 0, &wtxn_); }
  void endWrite() { mdb_txn_commit(wtxn_); }
  bool putHeld(uint32_t i, int version) { return put(wtxn_, i, version); }
  bool putEach(uint32_t i, int version) {
    MDB_txn *txn;
    if (mdb_txn_begin(env_, nullptr, 0, &txn) != 0) return false;
    if (!put(txn, i, version)) {
      mdb_txn_abort(txn);
      return false;
    }
    return mdb_txn_commit(txn) == 0;
  }

  static bool create(const Dataset &d, const std::vector<uint32_t> &order,
                     const std::string &path, uint64_t *bytes);

 private:
  bool get(MDB_txn *txn, uint32_t i, uint64_t &sink) {
    const std::string &p = d_.paths[i];
    MDB_val key{p.size(), const_cast<char *>(p.data())}, val;
    if (mdb_get(txn, dbi_, &key, &val) != 0) return false;
    char out[32];
    size_t n = val.mv_size < sizeof out ? val.mv_size : sizeof out;
    memcpy(out, val.mv_data, n);  // copy the value out, as every engine does
    sink += uint8_t(out[0]) + n;
    return true;
  }
  bool put(MDB_txn *txn, uint32_t i, int version) {
    const std::string &p = d_.paths[i];
    const std::string &v = d_.values[version][i];
    MDB_val key{p.size(), const_cast<char *>(p.data())};
    MDB_val val{v.size(), const_cast<char *>(v.data())};
    return mdb_put(txn, dbi_, &key, &val, 0) == 0;
  }

  const Dataset &d_;
  std::string error_;
  MDB_env *env_ = nullptr;
  MDB_dbi dbi_ = 0;
  MDB_txn *rtxn_ = nullptr;  // read transaction, reset while unused
  MDB_txn *wtxn_ = nullptr;
};

}  // namespace ncbench

#endif  // BENCH_PEER_LMDB_H
