#include "commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "dataset.h"
#include "ours.h"

namespace ncbench {
namespace {

// The filler stored beside the counter: half the database size, so that the
// file ends up at about the size asked for without growing past it.
std::vector<char> filler(uint64_t size) { return std::vector<char>(size_t(size / 2), 'f'); }

}  // namespace

IoCount IoCount::now(const std::string &device) {
  IoCount c;
  if (FILE *f = fopen("/proc/self/io", "r")) {
    char line[128];
    unsigned long long v;
    while (fgets(line, sizeof line, f)) {
      if (sscanf(line, "wchar: %llu", &v) == 1) c.wchar = v;
      if (sscanf(line, "write_bytes: %llu", &v) == 1) c.writeBytes = v;
    }
    fclose(f);
  }
  if (device.empty()) return c;
  if (FILE *f = fopen(("/sys/block/" + device + "/stat").c_str(), "r")) {
    // Fields: reads, merged, sectors read, ms; writes, merged, sectors written.
    unsigned long long field[7];
    if (fscanf(f, "%llu %llu %llu %llu %llu %llu %llu", &field[0], &field[1], &field[2],
               &field[3], &field[4], &field[5], &field[6]) == 7)
      c.deviceBytes = field[6] * 512;
    fclose(f);
  }
  return c;
}

WriteSyncFloor::WriteSyncFloor(const std::string &path, uint64_t size) : size_(size) {
  memset(page_, 0x5a, sizeof page_);
  removePath(path);
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd_ < 0) {
    error_ = "floor: cannot create";
    return;
  }
  for (uint64_t at = 0; at < size; at += sizeof page_)
    if (pwrite(fd_, page_, sizeof page_, off_t(at)) != ssize_t(sizeof page_)) {
      error_ = "floor: cannot write";
      return;
    }
  if (fsync(fd_) != 0) error_ = "floor: cannot sync";
}

WriteSyncFloor::~WriteSyncFloor() {
  if (fd_ >= 0) close(fd_);
}

bool WriteSyncFloor::run() {
  memcpy(page_, &++rounds_, sizeof rounds_);  // every write changes the bytes
  return pwrite(fd_, page_, sizeof page_, off_t(size_ / 2)) == ssize_t(sizeof page_) &&
         fdatasync(fd_) == 0;
}

OursCommit::OursCommit(const std::string &path, uint64_t size) : path_(path) {
  removePath(path);
  removePath(path + "-journal");
  const std::vector<char> fill = filler(size);
  if (nc_.setName(path.c_str()) != NC_ERR_OK ||
      nc_.createNew(unsigned(size / 4096), kDirent, kChunks) != NC_ERR_OK ||
      nc_.open(NC_O_RW) != NC_ERR_OK ||
      nc_.setKey("/filler", fill.data(), unsigned(fill.size())) != NC_ERR_OK ||
      nc_.setKey("/counter", 0ull) != NC_ERR_OK)
    error_ = "ours: cannot create the registry";
}

uint64_t OursCommit::fileBytes() const { return fileSize(path_); }

LmdbCommit::LmdbCommit(const std::string &dir, uint64_t size) : dir_(dir) {
  removePath(dir);
  mkdir(dir.c_str(), 0700);
  int rc = mdb_env_create(&env_);
  if (rc == 0) rc = mdb_env_set_mapsize(env_, size_t(1) << 30);
  if (rc == 0) rc = mdb_env_open(env_, dir.c_str(), 0, 0600);  // synced commits
  MDB_txn *txn = nullptr;
  if (rc == 0) rc = mdb_txn_begin(env_, nullptr, 0, &txn);
  if (rc == 0) rc = mdb_dbi_open(txn, nullptr, 0, &dbi_);
  std::vector<char> fill = filler(size);
  uint64_t zero = 0;
  MDB_val fk{7, const_cast<char *>("/filler")}, fv{fill.size(), fill.data()};
  MDB_val ck{8, const_cast<char *>("/counter")}, cv{sizeof zero, &zero};
  if (rc == 0) rc = mdb_put(txn, dbi_, &fk, &fv, 0);
  if (rc == 0) rc = mdb_put(txn, dbi_, &ck, &cv, 0);
  if (rc == 0)
    rc = mdb_txn_commit(txn);
  else if (txn)
    mdb_txn_abort(txn);
  if (rc != 0) error_ = std::string("lmdb: ") + mdb_strerror(rc);
}

LmdbCommit::~LmdbCommit() {
  if (env_) mdb_env_close(env_);
}

bool LmdbCommit::run() {
  MDB_txn *txn;
  if (mdb_txn_begin(env_, nullptr, 0, &txn) != 0) return false;
  ++rounds_;
  MDB_val key{8, const_cast<char *>("/counter")}, val{sizeof rounds_, &rounds_};
  if (mdb_put(txn, dbi_, &key, &val, 0) != 0) {
    mdb_txn_abort(txn);
    return false;
  }
  return mdb_txn_commit(txn) == 0;
}

uint64_t LmdbCommit::fileBytes() const { return fileSize(dir_ + "/data.mdb"); }

SqliteCommit::SqliteCommit(const std::string &path, uint64_t size, bool wal) : path_(path) {
  for (const char *suffix : {"", "-wal", "-shm", "-journal"}) removePath(path + suffix);
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    error_ = "sqlite: cannot open";
    return;
  }
  const std::string setup =
      std::string("PRAGMA journal_mode=") + (wal ? "WAL" : "DELETE") +
      "; PRAGMA synchronous=FULL;"
      "CREATE TABLE kv(k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID;";
  std::vector<char> fill = filler(size);
  sqlite3_stmt *insert = nullptr;
  bool done = sqlite3_exec(db_, setup.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db_, "INSERT INTO kv(k, v) VALUES(?1, ?2)", -1, &insert,
                                 nullptr) == SQLITE_OK;
  if (done) {
    sqlite3_bind_text(insert, 1, "/filler", -1, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, fill.data(), int(fill.size()), SQLITE_STATIC);
    done = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
    const uint64_t zero = 0;
    sqlite3_bind_text(insert, 1, "/counter", -1, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, &zero, sizeof zero, SQLITE_TRANSIENT);
    done = done && sqlite3_step(insert) == SQLITE_DONE;
  }
  sqlite3_finalize(insert);
  done = done &&
         sqlite3_prepare_v2(db_, "BEGIN IMMEDIATE", -1, &begin_, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db_, "UPDATE kv SET v = ?1 WHERE k = '/counter'", -1, &update_,
                            nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db_, "COMMIT", -1, &commit_, nullptr) == SQLITE_OK;
  if (!done) error_ = std::string("sqlite: ") + sqlite3_errmsg(db_);
}

SqliteCommit::~SqliteCommit() {
  for (sqlite3_stmt *st : {begin_, update_, commit_}) sqlite3_finalize(st);
  sqlite3_close(db_);
}

bool SqliteCommit::run() {
  ++rounds_;
  bool done = sqlite3_step(begin_) == SQLITE_DONE;
  sqlite3_reset(begin_);
  sqlite3_bind_blob(update_, 1, &rounds_, sizeof rounds_, SQLITE_STATIC);
  done = done && sqlite3_step(update_) == SQLITE_DONE && sqlite3_changes(db_) == 1;
  sqlite3_reset(update_);
  done = sqlite3_step(commit_) == SQLITE_DONE && done;
  sqlite3_reset(commit_);
  return done;
}

uint64_t SqliteCommit::fileBytes() const { return fileSize(path_); }

}  // namespace ncbench
