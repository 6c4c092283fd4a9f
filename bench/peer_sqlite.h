// SQLite as a peer: one table (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID,
// keyed by full path, write-ahead log without syncing, prepared statements.
#ifndef BENCH_PEER_SQLITE_H
#define BENCH_PEER_SQLITE_H

#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "dataset.h"

namespace ncbench {

class Sqlite {
 public:
  static constexpr const char *kName = "sqlite";
  explicit Sqlite(const Dataset &d);
  ~Sqlite();
  bool ok() const { return db_ != nullptr && error_.empty(); }
  const std::string &error() const { return error_; }

  void beginRead() { sqlite3_step(begin_), sqlite3_reset(begin_); }
  void endRead() { sqlite3_step(commit_), sqlite3_reset(commit_); }
  bool getHeld(uint32_t i, uint64_t &sink) { return get(i, sink); }
  bool getEach(uint32_t i, uint64_t &sink) { return get(i, sink); }

  void beginWrite() { sqlite3_step(beginImmediate_), sqlite3_reset(beginImmediate_); }
  void endWrite() { endRead(); }
  bool putHeld(uint32_t i, int version) { return put(i, version); }
  bool putEach(uint32_t i, int version) { return put(i, version); }

  static bool create(const Dataset &d, const std::vector<uint32_t> &order,
                     const std::string &path, uint64_t *bytes);

 private:
  bool get(uint32_t i, uint64_t &sink) {
    const std::string &p = d_.paths[i];
    sqlite3_bind_text(select_, 1, p.data(), int(p.size()), SQLITE_STATIC);
    bool found = sqlite3_step(select_) == SQLITE_ROW;
    if (found) {
      const void *v = sqlite3_column_blob(select_, 0);
      size_t n = size_t(sqlite3_column_bytes(select_, 0));
      char out[32];
      memcpy(out, v, n < sizeof out ? n : sizeof out);
      sink += uint8_t(out[0]) + n;
    }
    sqlite3_reset(select_);
    return found;
  }
  bool put(uint32_t i, int version) {
    const std::string &p = d_.paths[i];
    const std::string &v = d_.values[version][i];
    sqlite3_bind_blob(update_, 1, v.data(), int(v.size()), SQLITE_STATIC);
    sqlite3_bind_text(update_, 2, p.data(), int(p.size()), SQLITE_STATIC);
    bool done = sqlite3_step(update_) == SQLITE_DONE;
    sqlite3_reset(update_);
    return done && sqlite3_changes(db_) == 1;
  }

  const Dataset &d_;
  std::string error_;
  sqlite3 *db_ = nullptr;
  sqlite3_stmt *select_ = nullptr;
  sqlite3_stmt *update_ = nullptr;
  sqlite3_stmt *begin_ = nullptr;
  sqlite3_stmt *beginImmediate_ = nullptr;
  sqlite3_stmt *commit_ = nullptr;
};

}  // namespace ncbench

#endif  // BENCH_PEER_SQLITE_H
