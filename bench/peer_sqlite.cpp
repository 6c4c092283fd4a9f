#include "peer_sqlite.h"

namespace ncbench {
namespace {

// Opens a fresh database at `path` with the table; null on failure.
sqlite3 *openDb(const std::string &path, std::string *error) {
  removePath(path);
  removePath(path + "-wal");
  removePath(path + "-shm");
  sqlite3 *db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db,
                   "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
                   "CREATE TABLE kv(k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID;",
                   nullptr, nullptr, nullptr) != SQLITE_OK) {
    if (error) *error = std::string("sqlite: ") + sqlite3_errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

// Inserts every key in `order` in one transaction.
bool fill(sqlite3 *db, const Dataset &d, const std::vector<uint32_t> &order) {
  sqlite3_stmt *insert = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT INTO kv(k, v) VALUES(?1, ?2)", -1, &insert,
                         nullptr) != SQLITE_OK)
    return false;
  bool filled = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  for (size_t n = 0; filled && n < order.size(); ++n) {
    const std::string &p = d.paths[order[n]];
    const std::string &v = d.values[0][order[n]];
    sqlite3_bind_text(insert, 1, p.data(), int(p.size()), SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, v.data(), int(v.size()), SQLITE_STATIC);
    filled = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  return filled;
}

sqlite3_stmt *prepare(sqlite3 *db, const char *sql, std::string *error) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK && error->empty())
    *error = std::string("sqlite: ") + sqlite3_errmsg(db);
  return st;
}

}  // namespace

Sqlite::Sqlite(const Dataset &d) : d_(d) {
  db_ = openDb(d.file("sqlite"), &error_);
  if (db_ == nullptr) return;
  if (!fill(db_, d, d.sorted)) {
    error_ = "sqlite: fill failed";
    return;
  }
  select_ = prepare(db_, "SELECT v FROM kv WHERE k = ?1", &error_);
  update_ = prepare(db_, "UPDATE kv SET v = ?1 WHERE k = ?2", &error_);
  begin_ = prepare(db_, "BEGIN", &error_);
  beginImmediate_ = prepare(db_, "BEGIN IMMEDIATE", &error_);
  commit_ = prepare(db_, "COMMIT", &error_);
}

Sqlite::~Sqlite() {
  for (sqlite3_stmt *st : {select_, update_, begin_, beginImmediate_, commit_})
    sqlite3_finalize(st);
  sqlite3_close(db_);
}

bool Sqlite::create(const Dataset &d, const std::vector<uint32_t> &order,
                    const std::string &path, uint64_t *bytes) {
  sqlite3 *db = openDb(path, nullptr);
  if (db == nullptr) return false;
  bool filled = fill(db, d, order);
  sqlite3_close(db);  // checkpoints the log into the database file
  *bytes = fileSize(path);
  return filled;
}

}  // namespace ncbench

