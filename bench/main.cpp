// Benchmarks of the registry store against LMDB, TDB and SQLite, and against
// the floors of what any such store must pay, all in one run.
//
// Own flags (the rest go to the benchmark library):
//   --nc_short      a data set of 1,000 keys instead of 100,000
//   --nc_dir=PATH   where scratch files go (default /tmp)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

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

template <class E>
void addUpdatesEach(const Dataset &d) {
  add(std::string("update_each/") + E::kName,
      [&d](benchmark::State &st) { updateEach<E>(st, d); });
}

template <class E>
void addCreate(const Dataset &d, bool sortedOrder) {
  add(std::string(sortedOrder ? "create_sorted/" : "create_random/") + E::kName,
      [&d, sortedOrder](benchmark::State &st) { create<E>(st, d, sortedOrder); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

// Open plus close of a registry of `size` bytes, and the floors of the same
// size: copying the bytes out and writing them, without and with a sync.
void addOpenClose(const Dataset &d, unsigned size, const std::string &label) {
  const std::string group = "open_close/" + label;
  auto ours = std::make_shared<std::unique_ptr<OursOpenClose>>();
  add(group + "/ours", [ours, &d, size, label](benchmark::State &st) {
    if (!*ours) ours->reset(new OursOpenClose(d.file("open_close_" + label), size));
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

void addAll(const Dataset &d) {
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

  addOpenClose(d, 64u << 10, "64KiB");
  addOpenClose(d, 1u << 20, "1MiB");
  addOpenClose(d, 16u << 20, "16MiB");
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
      {K::kFaster, "per-op updates: faster than TDB locked store", "update_each", "tdb", 1.0},
      {K::kCheaper, "open+close 64 KiB: <= 2x memcpy+write", "open_close/64KiB", "memcpy_write", 2},
      {K::kCheaper, "open+close 1 MiB: <= 2x memcpy+write", "open_close/1MiB", "memcpy_write", 2},
      {K::kCheaper, "open+close 16 MiB: <= 2x memcpy+write", "open_close/16MiB", "memcpy_write", 2},
      // Not goals: how far the sync on close accounts for the gap.
      {K::kCheaper, "(open+close 64 KiB: <= 2x memcpy+write+fsync)", "open_close/64KiB", "memcpy_write_fsync", 2},
      {K::kCheaper, "(open+close 1 MiB: <= 2x memcpy+write+fsync)", "open_close/1MiB", "memcpy_write_fsync", 2},
      {K::kCheaper, "(open+close 16 MiB: <= 2x memcpy+write+fsync)", "open_close/16MiB", "memcpy_write_fsync", 2},
  };
}

}  // namespace
}  // namespace ncbench

int main(int argc, char **argv) {
  using namespace ncbench;
  Shape shape{10, 10, 1000};
  std::string parent = "/tmp";
  int kept = 1;
  for (int a = 1; a < argc; ++a) {
    if (strcmp(argv[a], "--nc_short") == 0)
      shape = Shape{2, 5, 100};
    else if (strncmp(argv[a], "--nc_dir=", 9) == 0)
      parent = argv[a] + 9;
    else
      argv[kept++] = argv[a];
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // Static, so that it outlives the engines built from it.
  static Dataset d = makeDataset(shape, parent);
  addAll(d);
  RatioReporter reporter(isatty(STDOUT_FILENO) ? RatioReporter::OO_ColorTabular
                                               : RatioReporter::OO_Tabular,
                         goals());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  removeScratch(d);
  return reporter.failed() ? 1 : 0;
}
