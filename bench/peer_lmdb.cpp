#include "peer_lmdb.h"

#include <sys/stat.h>

namespace ncbench {
namespace {

constexpr size_t kMapSize = size_t(1) << 30;
constexpr unsigned kFlags = MDB_NOSYNC | MDB_NOMETASYNC;

// Opens (creating) the environment in directory `dir`; null on failure.
MDB_env *openEnv(const std::string &dir, std::string *error) {
  mkdir(dir.c_str(), 0700);
  MDB_env *env = nullptr;
  int rc = mdb_env_create(&env);
  if (rc == 0) rc = mdb_env_set_mapsize(env, kMapSize);
  if (rc == 0) rc = mdb_env_open(env, dir.c_str(), kFlags, 0600);
  if (rc != 0) {
    if (error) *error = std::string("lmdb: ") + mdb_strerror(rc);
    if (env) mdb_env_close(env);
    return nullptr;
  }
  return env;
}

// Puts every key in `order` in one write transaction.
bool fill(MDB_env *env, const Dataset &d, const std::vector<uint32_t> &order) {
  MDB_txn *txn;
  MDB_dbi dbi;
  if (mdb_txn_begin(env, nullptr, 0, &txn) != 0) return false;
  if (mdb_dbi_open(txn, nullptr, 0, &dbi) != 0) {
    mdb_txn_abort(txn);
    return false;
  }
  for (uint32_t i : order) {
    const std::string &p = d.paths[i];
    const std::string &v = d.values[0][i];
    MDB_val key{p.size(), const_cast<char *>(p.data())};
    MDB_val val{v.size(), const_cast<char *>(v.data())};
    if (mdb_put(txn, dbi, &key, &val, 0) != 0) {
      mdb_txn_abort(txn);
      return false;
    }
  }
  return mdb_txn_commit(txn) == 0;
}

}  // namespace

Lmdb::Lmdb(const Dataset &d) : d_(d) {
  const std::string dir = d.file("lmdb");
  removePath(dir);
  env_ = openEnv(dir, &error_);
  if (env_ == nullptr) return;
  if (!fill(env_, d, d.sorted)) {
    error_ = "lmdb: fill failed";
    return;
  }
  MDB_txn *txn;
  if (mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn) != 0 ||
      mdb_dbi_open(txn, nullptr, 0, &dbi_) != 0) {
    error_ = "lmdb: cannot open the database";
    return;
  }
  rtxn_ = txn;
  mdb_txn_reset(rtxn_);
}

Lmdb::~Lmdb() {
  if (rtxn_) mdb_txn_abort(rtxn_);
  if (env_) mdb_env_close(env_);
}

bool Lmdb::create(const Dataset &d, const std::vector<uint32_t> &order,
                  const std::string &path, uint64_t *bytes) {
  MDB_env *env = openEnv(path, nullptr);
  if (env == nullptr) return false;
  bool filled = fill(env, d, order);
  mdb_env_close(env);
  *bytes = fileSize(path + "/data.mdb");
  return filled;
}

}  // namespace ncbench
