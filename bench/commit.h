// Durable commits of one changed value in a long-lived open handle or
// database, at a given database size, and the floor any durable commit must
// pay: one 4 KiB write at a fixed offset of an existing file and an
// fdatasync. Every engine here syncs on commit.
//
// Each engine holds a small value ("/counter", 8 bytes) that every run()
// rewrites with a new value of the same size, beside a filler value that
// brings the database to about the size asked for. run() is one commit.
#ifndef BENCH_COMMIT_H
#define BENCH_COMMIT_H

#include <lmdb.h>
#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "lib/system/nconfig.h"

namespace ncbench {

// One 4 KiB pwrite at a fixed offset of a file of `size` bytes whose blocks
// are all written and synced beforehand, then fdatasync.
class WriteSyncFloor {
 public:
  static constexpr const char *kName = "pwrite4k_fdatasync";
  WriteSyncFloor(const std::string &path, uint64_t size);
  ~WriteSyncFloor();
  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  bool run();
  uint64_t fileBytes() const { return size_; }

 private:
  std::string error_;
  int fd_ = -1;
  uint64_t size_;
  uint64_t rounds_ = 0;
  char page_[4096];
};

// This store: a registry made with createNew at `size` bytes, opened once;
// each run() is one setKey outside any lock bracket, that is one commit.
class OursCommit {
 public:
  static constexpr const char *kName = "ours";
  OursCommit(const std::string &path, uint64_t size);
  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  bool run() { return nc_.setKey("/counter", static_cast<unsigned long long>(++rounds_)) == NC_ERR_OK; }
  uint64_t fileBytes() const;

 private:
  std::string path_;
  std::string error_;
  NConfig nc_{0};
  uint64_t rounds_ = 0;
};

// LMDB with synced commits (no MDB_NOSYNC, no MDB_NOMETASYNC): one put of
// one existing key in one write transaction, committed.
class LmdbCommit {
 public:
  static constexpr const char *kName = "lmdb_sync";
  LmdbCommit(const std::string &dir, uint64_t size);
  ~LmdbCommit();
  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  bool run();
  uint64_t fileBytes() const;

 private:
  std::string dir_;
  std::string error_;
  MDB_env *env_ = nullptr;
  MDB_dbi dbi_ = 0;
  uint64_t rounds_ = 0;
};

// SQLite with synchronous=FULL, in WAL mode or with its rollback journal
// (journal_mode=DELETE): BEGIN IMMEDIATE, one UPDATE of one row, COMMIT.
class SqliteCommit {
 public:
  SqliteCommit(const std::string &path, uint64_t size, bool wal);
  ~SqliteCommit();
  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  bool run();
  uint64_t fileBytes() const;

 private:
  std::string path_;
  std::string error_;
  sqlite3 *db_ = nullptr;
  sqlite3_stmt *begin_ = nullptr;
  sqlite3_stmt *update_ = nullptr;
  sqlite3_stmt *commit_ = nullptr;
  uint64_t rounds_ = 0;
};

struct SqliteWalCommit : SqliteCommit {
  static constexpr const char *kName = "sqlite_wal_full";
  SqliteWalCommit(const std::string &path, uint64_t size) : SqliteCommit(path, size, true) {}
};

struct SqliteDeleteCommit : SqliteCommit {
  static constexpr const char *kName = "sqlite_delete_full";
  SqliteDeleteCommit(const std::string &path, uint64_t size) : SqliteCommit(path, size, false) {}
};

// What this process has written so far, from /proc/self/io: `wchar` counts
// the bytes handed to write calls, `writeBytes` the bytes of the page-cache
// pages it dirtied (each page counted when it turns from clean to dirty,
// stores through shared mappings included): what will reach the disk,
// file-system metadata aside. Both zero when the file cannot be read.
// `deviceBytes` is what the block device `device` (from --nc_device, say
// "vda") has written, from /sys/block/<device>/stat: the whole machine's
// writes, so only meaningful on a quiet machine; zero without a device.
struct IoCount {
  uint64_t wchar = 0;
  uint64_t writeBytes = 0;
  uint64_t deviceBytes = 0;
  static IoCount now(const std::string &device);
};

}  // namespace ncbench

#endif  // BENCH_COMMIT_H
