// Benchmarks of the registry store against LMDB, TDB and SQLite, and against
// the floors of what any such store must pay, all in one run.
//
// Own flags (the rest go to the benchmark library):
//   --nc_short      a data set of 1,000 keys instead of 100,000
//   --nc_dir=PATH   where scratch files go (default /tmp)
//   --nc_device=DEV block device (as in /sys/block/DEV) whose written bytes
//                   the commit benchmarks count per commit; the whole
//                   machine's writes, so only for a quiet machine
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "commit.h"
#include "dataset.h"
#include "floors.h"
#include "ours.h"
#include "peer_lmdb.h"
#include "peer_sqlite.h"
#include "peer_tdb.h"
#include "ratio_reporter.h"
#include "workloads.h"

namespace ncbench {
namespace {

// In-memory workloads are timed in CPU time, which other processes on the
// machine disturb less; those that wait for the disk add UseRealTime().
template <class F>
benchmark::internal::Benchmark *add(const std::string &name, F fn) {
  return benchmark::RegisterBenchmark(name.c_str(), fn);
}

template <class E>
void addReads(const Dataset &d) {
  add(std::string("read_held/") + E::kName,
      [&d](benchmark::State &st) { readHeld<E>(st, d); });
}

template <class E>
void addReadsEach(const Dataset &d) {
  add(std::string("read_each/") + E::kName,
      [&d](benchmark::State &st) { readEach<E>(st, d); });
}

template <class E>
void addUpdates(const Dataset &d) {
  add(std::string("update_held/") + E::kName,
      [&d](benchmark::State &st) { updateHeld<E>(st, d); });
}

// Each of our per-op updates is a durable commit that waits for the disk,
// so this workload is timed in wall-clock time for every engine.
template <class E>
void addUpdatesEach(const Dataset &d) {
  add(std::string("update_each/") + E::kName,
      [&d](benchmark::State &st) { updateEach<E>(st, d); })
      ->UseRealTime();
}

template <class E>
void addCreate(const Dataset &d, bool sortedOrder) {
  add(std::string(sortedOrder ? "create_sorted/" : "create_random/") + E::kName,
      [&d, sortedOrder](benchmark::State &st) { create<E>(st, d, sortedOrder); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

// Open plus close of a registry of `size` bytes (with `change`, one value
// updated in between), and the floors of the same size: copying the bytes out
// and writing them, without and with a sync.
void addOpenClose(const Dataset &d, unsigned size, const std::string &label, bool change) {
  const std::string kind = change ? "open_change_close" : "open_close";
  const std::string group = kind + "/" + label;
  auto ours = std::make_shared<std::unique_ptr<OursOpenClose>>();
  add(group + "/ours", [ours, &d, size, kind, label, change](benchmark::State &st) {
    if (!*ours) ours->reset(new OursOpenClose(d.file(kind + "_" + label), size, change));
    if (!(*ours)->ok()) return st.SkipWithError("cannot create the registry");
    for (auto _ : st)
      if (!(*ours)->run()) {
        st.SkipWithError("open failed");
        break;
      }
    st.SetItemsProcessed(st.iterations());
  })->Unit(benchmark::kMicrosecond)->UseRealTime();
  for (bool sync : {false, true}) {
    const std::string name = sync ? "memcpy_write_fsync" : "memcpy_write";
    auto floor = std::make_shared<std::unique_ptr<CopyWrite>>();
    add(group + "/" + name, [floor, &d, size, name, sync](benchmark::State &st) {
      if (!*floor) floor->reset(new CopyWrite(d.file(name + "_" + std::to_string(size)), size, sync));
      if (!(*floor)->ok()) return st.SkipWithError("cannot create the file");
      for (auto _ : st)
        if (!(*floor)->run()) {
          st.SkipWithError("write failed");
          break;
        }
      st.SetItemsProcessed(st.iterations());
    })->Unit(benchmark::kMicrosecond)->UseRealTime();
  }
}

// One durable commit of one changed value in a long-lived handle, in a
// database of `size` bytes. Besides the time, counts what the process wrote
// per commit (see IoCount) and reports the database file's size.
template <class E>
void addCommit(const Dataset &d, uint64_t size, const std::string &label,
               const std::string &device) {
  auto e = std::make_shared<std::unique_ptr<E>>();
  add(std::string("commit/") + label + "/" + E::kName,
      [e, &d, size, label, device](benchmark::State &st) {
        if (!*e) e->reset(new E(d.file(std::string("commit_") + E::kName + "_" + label), size));
        if (!(*e)->ok()) return st.SkipWithError((*e)->error().c_str());
        const IoCount before = IoCount::now(device);
        for (auto _ : st)
          if (!(*e)->run()) {
            st.SkipWithError("commit failed");
            break;
          }
        const IoCount after = IoCount::now(device);
        const double n = double(st.iterations() ? st.iterations() : 1);
        st.SetItemsProcessed(st.iterations());
        st.counters["wchar_per_commit"] = double(after.wchar - before.wchar) / n;
        st.counters["dirtied_per_commit"] = double(after.writeBytes - before.writeBytes) / n;
        if (!device.empty())
          st.counters["device_per_commit"] = double(after.deviceBytes - before.deviceBytes) / n;
        st.counters["file_bytes"] = double((*e)->fileBytes());
      })
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
}

void addCommits(const Dataset &d, uint64_t size, const std::string &label,
                const std::string &device) {
  addCommit<OursCommit>(d, size, label, device);
  addCommit<WriteSyncFloor>(d, size, label, device);
  addCommit<LmdbCommit>(d, size, label, device);
  addCommit<SqliteWalCommit>(d, size, label, device);
  addCommit<SqliteDeleteCommit>(d, size, label, device);
}

void addAll(const Dataset &d, const std::string &device) {
  addReads<Ours>(d);
  addReads<Lmdb>(d);
  addReads<Tdb>(d);
  addReads<Sqlite>(d);
  addReads<BinarySearch>(d);

  addReadsEach<Ours>(d);
  addReadsEach<Lmdb>(d);
  addReadsEach<Tdb>(d);
  addReadsEach<Sqlite>(d);
  addReadsEach<LockPair>(d);

  addUpdates<Ours>(d);
  addUpdates<Lmdb>(d);
  addUpdates<Tdb>(d);
  addUpdates<Sqlite>(d);

  addUpdatesEach<Ours>(d);
  addUpdatesEach<Lmdb>(d);
  addUpdatesEach<Tdb>(d);
  addUpdatesEach<Sqlite>(d);
  addUpdatesEach<LockPair>(d);

  for (bool sortedOrder : {false, true}) {
    addCreate<Ours>(d, sortedOrder);
    addCreate<Lmdb>(d, sortedOrder);
    addCreate<Tdb>(d, sortedOrder);
    addCreate<Sqlite>(d, sortedOrder);
  }

  for (bool change : {false, true}) {
    addOpenClose(d, 64u << 10, "64KiB", change);
    addOpenClose(d, 1u << 20, "1MiB", change);
    addOpenClose(d, 16u << 20, "16MiB", change);
  }

  addCommits(d, 64u << 10, "64KiB", device);
  addCommits(d, 1u << 20, "1MiB", device);
  addCommits(d, 16u << 20, "16MiB", device);
}

std::vector<Goal> goals() {
  using K = Goal::Kind;
  return {
      {K::kFaster, "held reads: >= 1.5x LMDB gets in one read txn", "read_held", "lmdb", 1.5},
      {K::kCheaper, "held reads: <= 2.5x bare binary search", "read_held", "bsearch", 2.5},
      {K::kFaster, "held reads: >= 10x SQLite prepared selects", "read_held", "sqlite", 10},
      {K::kCheaper, "per-op reads: <= 1.2x fcntl lock/unlock pair", "read_each", "lockpair", 1.2},
      {K::kFaster, "per-op reads: faster than TDB locked fetch", "read_each", "tdb", 1.0},
      {K::kFaster, "held updates: >= LMDB puts in one write txn", "update_held", "lmdb", 1.0},
      // Each of our per-op updates is a durable commit; TDB here does not
      // sync (TDB_NOSYNC), nor do the other peers of update_each. The synced
      // comparison is the commit group below.
      {K::kFaster, "(per-op updates: faster than TDB locked store, unsynced)", "update_each", "tdb", 1.0},
      {K::kCheaper, "open+close 64 KiB: <= 2x memcpy+write", "open_close/64KiB", "memcpy_write", 2},
      {K::kCheaper, "open+close 1 MiB: <= 2x memcpy+write", "open_close/1MiB", "memcpy_write", 2},
      {K::kCheaper, "open+close 16 MiB: <= 2x memcpy+write", "open_close/16MiB", "memcpy_write", 2},
      // A changed view is written back and synced: against both floors.
      {K::kCheaper, "open+change+close 64 KiB: <= 2x memcpy+write", "open_change_close/64KiB", "memcpy_write", 2},
      {K::kCheaper, "open+change+close 1 MiB: <= 2x memcpy+write", "open_change_close/1MiB", "memcpy_write", 2},
      {K::kCheaper, "open+change+close 16 MiB: <= 2x memcpy+write", "open_change_close/16MiB", "memcpy_write", 2},
      {K::kCheaper, "(open+change+close 64 KiB: <= 2x memcpy+write+fsync)", "open_change_close/64KiB", "memcpy_write_fsync", 2},
      {K::kCheaper, "(open+change+close 1 MiB: <= 2x memcpy+write+fsync)", "open_change_close/1MiB", "memcpy_write_fsync", 2},
      {K::kCheaper, "(open+change+close 16 MiB: <= 2x memcpy+write+fsync)", "open_change_close/16MiB", "memcpy_write_fsync", 2},
      // A durable commit of one changed value in an open handle.
      {K::kCheaper, "durable commit 64 KiB: <= 1.3x 4 KiB write+fdatasync", "commit/64KiB", "pwrite4k_fdatasync", 1.3},
      {K::kCheaper, "durable commit 1 MiB: <= 1.3x 4 KiB write+fdatasync", "commit/1MiB", "pwrite4k_fdatasync", 1.3},
      {K::kCheaper, "durable commit 16 MiB: <= 1.3x 4 KiB write+fdatasync", "commit/16MiB", "pwrite4k_fdatasync", 1.3},
      {K::kCheaper, "durable commit 64 KiB: no more than LMDB synced commit", "commit/64KiB", "lmdb_sync", 1.0},
      {K::kCheaper, "durable commit 1 MiB: no more than LMDB synced commit", "commit/1MiB", "lmdb_sync", 1.0},
      {K::kCheaper, "durable commit 16 MiB: no more than LMDB synced commit", "commit/16MiB", "lmdb_sync", 1.0},
      {K::kCheaper, "durable commit 64 KiB: no more than SQLite WAL FULL", "commit/64KiB", "sqlite_wal_full", 1.0},
      {K::kCheaper, "durable commit 1 MiB: no more than SQLite WAL FULL", "commit/1MiB", "sqlite_wal_full", 1.0},
      {K::kCheaper, "durable commit 16 MiB: no more than SQLite WAL FULL", "commit/16MiB", "sqlite_wal_full", 1.0},
  };
}

}  // namespace
}  // namespace ncbench

int main(int argc, char **argv) {
  using namespace ncbench;
  Shape shape{10, 10, 1000};
  std::string parent = "/tmp";
  std::string device;
  int kept = 1;
  for (int a = 1; a < argc; ++a) {
    if (strcmp(argv[a], "--nc_short") == 0)
      shape = Shape{2, 5, 100};
    else if (strncmp(argv[a], "--nc_dir=", 9) == 0)
      parent = argv[a] + 9;
    else if (strncmp(argv[a], "--nc_device=", 12) == 0)
      device = argv[a] + 12;
    else
      argv[kept++] = argv[a];
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // Static, so that it outlives the engines built from it.
  static Dataset d = makeDataset(shape, parent);
  addAll(d, device);
  RatioReporter reporter(isatty(STDOUT_FILENO) ? RatioReporter::OO_ColorTabular
                                               : RatioReporter::OO_Tabular,
                         goals());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  removeScratch(d);
  return reporter.failed() ? 1 : 0;
}
