// The workloads, written once for every engine. An engine is a class built
// from a Dataset that holds all keys once constructed and offers:
//   ok(), error()                      construction result
//   beginRead(), endRead()             one held lock or read transaction
//   getHeld(i, sink), getEach(i, sink) a read inside it / on its own
//   beginWrite(), endWrite()           one held exclusive lock or write txn
//   putHeld(i, v), putEach(i, v)       same-sized update to version v
//   static create(d, order, path, &bytes)  all keys from nothing
// A workload instantiates only the members it calls.
#ifndef BENCH_WORKLOADS_H
#define BENCH_WORKLOADS_H

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "dataset.h"

namespace ncbench {

// The one instance of engine E, built on first use so that filtered-out
// engines cost nothing. Lives until the process ends.
template <class E>
E &engine(const Dataset &d) {
  static std::unique_ptr<E> e(new E(d));
  return *e;
}

template <class E>
bool ready(benchmark::State &st, E &e) {
  if (e.ok()) return true;
  st.SkipWithError(e.error().c_str());
  return false;
}

// Random point reads, all under one lock or read transaction.
template <class E>
void readHeld(benchmark::State &st, const Dataset &d) {
  E &e = engine<E>(d);
  if (!ready(st, e)) return;
  const uint32_t *order = d.random.data();
  const size_t n = d.random.size();
  size_t pos = 0;
  uint64_t sink = 0;
  e.beginRead();
  for (auto _ : st) {
    if (!e.getHeld(order[pos], sink)) {
      st.SkipWithError("read failed");
      break;
    }
    if (++pos == n) pos = 0;
  }
  e.endRead();
  benchmark::DoNotOptimize(sink);
  st.SetItemsProcessed(st.iterations());
}

// Random point reads, each taking and releasing its own lock.
template <class E>
void readEach(benchmark::State &st, const Dataset &d) {
  E &e = engine<E>(d);
  if (!ready(st, e)) return;
  const uint32_t *order = d.random.data();
  const size_t n = d.random.size();
  size_t pos = 0;
  uint64_t sink = 0;
  for (auto _ : st) {
    if (!e.getEach(order[pos], sink)) {
      st.SkipWithError("read failed");
      break;
    }
    if (++pos == n) pos = 0;
  }
  benchmark::DoNotOptimize(sink);
  st.SetItemsProcessed(st.iterations());
}

// Random same-sized updates, all under one exclusive lock or write
// transaction. Each pass over the keys switches to the other version, so
// every write changes the stored bytes.
template <class E>
void updateHeld(benchmark::State &st, const Dataset &d) {
  E &e = engine<E>(d);
  if (!ready(st, e)) return;
  static int version = 0;
  const uint32_t *order = d.random.data();
  const size_t n = d.random.size();
  size_t pos = 0;
  e.beginWrite();
  for (auto _ : st) {
    if (!e.putHeld(order[pos], version ^ 1)) {
      st.SkipWithError("update failed");
      break;
    }
    if (++pos == n) pos = 0, version ^= 1;
  }
  e.endWrite();
  st.SetItemsProcessed(st.iterations());
}

// Random same-sized updates, each taking and releasing its own lock.
template <class E>
void updateEach(benchmark::State &st, const Dataset &d) {
  E &e = engine<E>(d);
  if (!ready(st, e)) return;
  static int version = 0;
  const uint32_t *order = d.random.data();
  const size_t n = d.random.size();
  size_t pos = 0;
  for (auto _ : st) {
    if (!e.putEach(order[pos], version ^ 1)) {
      st.SkipWithError("update failed");
      break;
    }
    if (++pos == n) pos = 0, version ^= 1;
  }
  st.SetItemsProcessed(st.iterations());
}

// Creates every key of the data set in a fresh database, in `order`, under
// one lock or transaction, and closes it. Reports the file size per key.
template <class E>
void create(benchmark::State &st, const Dataset &d, bool sortedOrder) {
  const std::vector<uint32_t> &order = sortedOrder ? d.sorted : d.random;
  const std::string path = d.file(std::string("create_") + E::kName);
  uint64_t bytes = 0;
  for (auto _ : st) {
    st.PauseTiming();
    removePath(path);
    st.ResumeTiming();
    if (!E::create(d, order, path, &bytes)) {
      st.SkipWithError("create failed");
      break;
    }
  }
  st.SetItemsProcessed(st.iterations() * int64_t(order.size()));
  st.counters["bytes_per_key"] = double(bytes) / double(order.size());
  removePath(path);
}

}  // namespace ncbench

#endif  // BENCH_WORKLOADS_H
