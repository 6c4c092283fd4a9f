// The in-file chunk allocator: other processes allocate by the same rules, so
// offsets and tables after any sequence of allocations and frees are exact.
#include <algorithm>
#include <cerrno>
#include <random>
#include <utility>

#include "lib/system/nconfig/internal.h"
#include "test_util.h"

namespace {

using Table = std::vector<std::pair<uint32_t, uint32_t>>;  // (offset, size) per record

// Start of the i-th crafted free area: disjoint, non-touching, in free space.
constexpr uint32_t area(int i) { return 1024 + 512 * uint32_t(i); }

// An open registry held under the exclusive lock, as allocator callers hold it.
struct Reg {
  TempDir dir;
  TestNConfig h;
  explicit Reg(unsigned resize = 4, unsigned mchunks = 16) {
    EXPECT_EQ(makeRegistry(h, dir.file("r"), resize, 8, mchunks), NC_ERR_OK);
    h.lockFile(NC_L_RW, 0);
  }
  ~Reg() { if (h.lock != NC_L_NONE) h.unLockFile(); }
  void put(uint32_t off, uint32_t w) { memcpy(h.data + off, &w, 4); }
  // Replaces the table by `recs`, slot 0 first; the other records are emptied.
  void craft(const Table &recs) {
    for (uint32_t i = 0; i < h.sb->chunk_ttl; i++)
      h.chunks[i] = i < recs.size() ? nc_chunk_s{recs[i].first, recs[i].second} : nc_chunk_s{0, 0};
  }
  // Records of the given sizes at area(0), area(1), ...; size 0 stays empty.
  void craftSizes(const std::vector<uint32_t> &sizes) {
    for (uint32_t i = 0; i < h.sb->chunk_ttl; i++)
      h.chunks[i] = i < sizes.size() ? nc_chunk_s{sizes[i] ? area(int(i)) : 0, sizes[i]} : nc_chunk_s{0, 0};
  }
  Table table() const {
    Table t;
    for (uint32_t i = 0; i < h.sb->chunk_ttl; i++) t.emplace_back(h.chunks[i].offset, h.chunks[i].size);
    return t;
  }
  off_t diskSize() const {
    struct stat st;
    return stat(dir.file("r").c_str(), &st) == 0 ? st.st_size : -1;
  }
  bool zeroed(uint32_t off, uint32_t n) const {
    return std::all_of(h.data + off, h.data + off + n, [](char c) { return c == 0; });
  }
};

Table padded(Table t, size_t n) {
  t.resize(n, {0, 0});
  return t;
}

// Best fit with its 4-byte rule: which record is carved and where it goes.
// `after` lists, per slot, the crafted slot whose record is there (-1 empty).
TEST(Alloc, BestFitCarvesAndResorts) {
  struct Case {
    std::vector<uint32_t> sizes;
    unsigned request;
    int slot;
    std::vector<int> after;
  } cases[] = {
      {{40, 24, 20, 0}, 13, 0, {1, 0, 2, -1}},  // 24 is probed first, 4 over
      {{40, 20, 20, 20, 0}, 16, 2, {0, 1, 3, 2, -1}},  // first exact fit probed
      {{48, 32, 32, 32, 0, 0}, 16, 3, {0, 1, 2, 3, -1, -1}},
      {{40, 40, 40, 0}, 16, 2, {0, 1, 2, -1}},  // the last of equal larger ones
      {{40, 0}, 0, 0, {0, -1}},                 // header only, nothing zeroed
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.sizes) + " request " + std::to_string(c.request));
    Reg r(4, unsigned(c.sizes.size()));
    r.craftSizes(c.sizes);
    for (size_t i = 0; i < c.sizes.size(); i++) memset(r.h.data + area(int(i)), 0xAB, c.sizes[i]);
    const uint32_t need = (c.request + 3) / 4 * 4 + 4;
    const uint32_t got = r.h.getChunk(c.request);
    EXPECT_EQ(got, area(c.slot) + 4);
    EXPECT_EQ(r.h.word(got - 4), need);
    EXPECT_TRUE(r.zeroed(got, need - 4));
    // Nothing past the chunk is touched.
    EXPECT_TRUE(c.sizes[c.slot] == need || uint8_t(r.h.data[got + need - 4]) == 0xAB);
    Table want;  // the carved record keeps what lies behind the chunk
    for (int f : c.after)
      want.emplace_back(f < 0 ? 0 : area(f) + (f == c.slot) * need, f < 0 ? 0 : c.sizes[f] - (f == c.slot) * need);
    EXPECT_EQ(r.table(), want);
    EXPECT_EQ(r.h.sb->size, 4 * 4096u);
  }
}

// Growth by whole units strictly larger than the chunk, persisted at once.
TEST(Alloc, GrowthWhenNothingFits) {
  struct Case {
    unsigned resize, mchunks;
    std::vector<uint32_t> sizes;
    unsigned request;
    uint32_t growth;
    std::vector<uint32_t> after;
  } cases[] = {
      {1, 16, {}, 4, 4096, {4088}},
      {1, 16, {}, 4092, 8192, {4096}},     // a unit-sized chunk gets a unit more
      {2, 16, {}, 4, 8192, {8184}},        // size_inc 2
      {1, 2, {24}, 16, 4096, {4076, 24}},  // 24 is 4 over the chunk: never taken
      {1, 16, {}, 4088, 8192, {4100}},     // first 4096 is 4 over; grows twice
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("request " + std::to_string(c.request));
    Reg r(c.resize, c.mchunks);
    r.craftSizes(c.sizes);
    r.put(2000, 0x5EED);
    const uint32_t old = r.h.sb->size, need = (c.request + 3) / 4 * 4 + 4;
    const uint32_t got = r.h.getChunk(c.request);
    EXPECT_EQ(got, old + 4);
    EXPECT_EQ(r.h.word(got - 4), need);
    EXPECT_TRUE(r.zeroed(got, need - 4));
    EXPECT_EQ(r.h.sb->size, old + c.growth);
    EXPECT_EQ(r.h.lsize, r.h.sb->size);
    EXPECT_EQ(r.diskSize(), off_t(r.h.sb->size));
    EXPECT_EQ(r.h.word(2000), 0x5EEDu);  // the view may have moved; contents kept
    std::vector<uint32_t> sizes, want = c.after;
    for (auto [off, size] : r.table()) sizes.push_back(size);
    EXPECT_EQ(sizes, (want.resize(c.mchunks), want));
    EXPECT_EQ(r.h.chunks[0].offset, old + need);
  }
}

// A freed chunk joins at most one neighbour, the one whose record comes
// first; without one it takes the first empty record and rises past smaller
// ones only.
TEST(Alloc, FreeJoinsAtMostOneNeighbour) {
  const uint32_t L = area(0), C = L + 48, R = C + 32;  // C: the 32-byte chunk freed
  const struct Case {
    Table before;
    uint32_t at, size;
    Table after;
  } cases[] = {
      {{{L, 48}, {R, 40}}, C, 32, {{L, 80}, {R, 40}}},
      {{{R, 64}, {L, 48}}, C, 32, {{C, 96}, {L, 48}}},
      {{{R, 48}, {L, 48}}, C, 32, {{C, 80}, {L, 48}}},
      {{{area(0), 100}, {area(1), 52}, {area(2), 20}}, 3000, 60,
       {{area(0), 100}, {3000, 60}, {area(1), 52}, {area(2), 20}}},
      {{{area(0), 100}, {area(1), 52}, {area(2), 20}}, 3000, 52,
       {{area(0), 100}, {area(1), 52}, {3000, 52}, {area(2), 20}}},
  };
  for (const Case &c : cases) {
    Reg r(4, 6);
    r.craft(c.before);
    r.put(c.at, c.size);
    memset(r.h.data + c.at + 4, 0xCD, c.size - 4);
    r.h.freeChunk(c.at + 4);
    EXPECT_EQ(r.table(), padded(c.after, 6)) << c.at << " " << c.size;
    EXPECT_EQ(r.h.sb->chunk, nc::kTableOffset);
    EXPECT_EQ(uint8_t(r.h.data[c.at + c.size - 1]), 0xCD);  // freed bytes stay as they were
  }
}

// The second-to-last record in use: the table moves before the free. Only
// chunk_ttl - 1 records are copied, so the last one's area is dropped.
TEST(Alloc, TableMovesBeforeFree) {
  Reg r(4, 4);
  r.craftSizes({300, 200, 100, 80});
  r.put(3000, 44);
  r.h.freeChunk(3004);
  const uint32_t moved = area(3) + 4;  // 80 - 68 leaves 12: slot 3 is the best fit
  EXPECT_EQ(r.h.sb->chunk, moved);
  EXPECT_EQ(r.h.word(moved - 4), 68u);
  EXPECT_EQ(r.h.word(nc::kTableHeaderOffset), 36u);  // the old table is freed in place
  EXPECT_EQ(r.table(), padded({{area(0), 300}, {area(1), 200}, {area(2), 100}, {3000, 44}, {64, 36}}, 8));

  // On a fresh two-record table every free moves it, and the old table joins
  // the freed chunk.
  Reg f(1, 2);
  ASSERT_EQ(f.h.getChunk(8), 88u);
  f.h.freeChunk(88);
  EXPECT_EQ(f.h.sb->chunk, 100u);
  EXPECT_EQ(f.table(), padded({{132, 3964}, {64, 32}}, 4));
  EXPECT_TRUE(sound(f.h.data, f.h.lsize));
}

// chunk_inc 1: a table move and its two frees leave the table full, and a
// growth with no free area at the end finds no record. The scan must stop at
// the last record; the chunk is taken straight from the new space.
TEST(Alloc, GrowthWithFullTableStaysInsideTable) {
  Reg r(1, 3);
  r.h.sb->chunk_inc = 1;
  r.craftSizes({300, 200, 100});
  // The file holds bytes past its recorded size; the new chunk must not.
  const std::vector<char> junk(4096, char(0xEE));
  ASSERT_EQ(pwrite(r.h.fd, junk.data(), junk.size(), 4096), 4096);
  const auto before = r.h.image();
  const uint32_t got = r.h.getChunk(400);
  EXPECT_EQ(got, 4100u);
  EXPECT_EQ(r.h.word(4096), 404u);
  EXPECT_EQ(r.h.sb->size, 8192u);
  EXPECT_TRUE(std::equal(before.begin() + 8, before.end(), r.h.image().begin() + 8));  // past sb->size
  EXPECT_TRUE(r.zeroed(4100, 400));

  r.h.freeChunk(got);  // moves the table to 4 records, which the two frees fill
  EXPECT_EQ(r.h.sb->chunk, area(2) + 4);
  const Table full = {{4096, 404}, {area(0), 300}, {area(1), 200}, {64, 28}};
  EXPECT_EQ(r.table(), full);
  EXPECT_EQ(r.h.getChunk(5000), 8196u);  // full again; grows by 8192
  EXPECT_EQ(r.h.sb->size, 16384u);
  EXPECT_EQ(r.table(), full);
  EXPECT_TRUE(sound(r.h.data, r.h.lsize));
}

int interrupted_calls = 0;

TEST(Alloc, GrowthRetriesInterruptedAllocation) {
  Reg r(1, 16);
  r.craftSizes({});
  nc::sys().fallocate = [](int fd, off_t off, off_t len) {
    return interrupted_calls++ == 0 ? EINTR : posix_fallocate(fd, off, len);
  };
  EXPECT_EQ(r.h.getChunk(8), 4100u);
  nc::resetSysCalls();
  EXPECT_EQ(interrupted_calls, 2);
  EXPECT_EQ(r.diskSize(), 8192);
}

struct Held {
  uint32_t off, size, id;  // data offset, total size with header, pattern seed
};

uint8_t patternByte(uint32_t id, uint32_t i) { return uint8_t(id * 131 + i * 7 + 1); }

// What the checker cannot see about chunks held outside the tree: their
// headers and bytes are kept and they overlap nothing. "" if so.
std::string checkAllocator(const TestNConfig &h, const std::vector<Held> &held, bool data) {
  const nc_sb_s *sb = h.sb;
  Table spans = {{0, nc::kTableHeaderOffset}, {sb->chunk - 4, h.word(sb->chunk - 4)}};
  for (const Held &c : held) {
    if (h.word(c.off - 4) != c.size) return "header of " + std::to_string(c.off) + " changed";
    for (uint32_t i = 0; data && i + 4 < c.size; i++)
      if (uint8_t(h.data[c.off + i]) != patternByte(c.id, i)) return "data of " + std::to_string(c.off);
    spans.emplace_back(c.off - 4, c.size);
  }
  for (uint32_t i = 0; i < sb->chunk_ttl; i++)
    if (h.chunks[i].size) spans.emplace_back(h.chunks[i].offset, h.chunks[i].size);
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); i++)
    if (spans[i - 1].first + spans[i - 1].second > spans[i].first) return "overlap at " + std::to_string(spans[i].first);
  return "";
}

size_t fourByteAreas(const TestNConfig &h) {
  return std::count_if(h.chunks, h.chunks + h.sb->chunk_ttl, [](const nc_chunk_s &c) { return c.size == 4; });
}

struct Shape {
  unsigned mchunks, chunk_inc, size_inc;
};

class AllocRandom : public ::testing::TestWithParam<Shape> {};

TEST_P(AllocRandom, ModelSurvivesAllocationsAndFrees) {
  const Shape s = GetParam();
  Reg r(s.size_inc, s.mchunks);
  TestNConfig &h = r.h;
  h.sb->chunk_inc = s.chunk_inc;
  std::mt19937 rng(s.mchunks * 1000 + s.chunk_inc * 10 + s.size_inc);
  std::vector<Held> held;
  for (uint32_t step = 0; step < 1200; step++) {
    const uint32_t pick = rng() % 100;
    if (held.empty() || pick < 55) {
      // Now and then use up the free area at the end of the file exactly, so
      // that a later growth must find a record of its own.
      uint32_t at_end = 0;
      for (uint32_t i = 0; i < h.sb->chunk_ttl; i++)
        if (h.chunks[i].size && h.chunks[i].offset + h.chunks[i].size == h.sb->size)
          at_end = h.chunks[i].size;
      const uint32_t want = pick < 6 && at_end >= 4 ? at_end - 4
                            : pick < 40            ? rng() % 49
                            : pick < 52            ? rng() % 600
                                                   : rng() % 9000;
      const size_t fours = fourByteAreas(h);
      const uint32_t off = h.getChunk(want);
      ASSERT_LE(fourByteAreas(h), fours) << "carving left 4 bytes, step " << step;
      ASSERT_TRUE(off != 0 && off % 4 == 0) << step;
      Held c{off, (want + 3) / 4 * 4 + 4, step};
      ASSERT_EQ(h.word(off - 4), c.size) << step;
      ASSERT_TRUE(r.zeroed(off, c.size - 4)) << step;
      for (uint32_t i = 0; i + 4 < c.size; i++) h.data[off + i] = char(patternByte(c.id, i));
      held.push_back(c);
    } else {
      const size_t k = rng() % held.size();
      Held &c = held[k];
      if (pick < 62 && c.size >= 16) {
        // Give back a tail of at least 8 bytes, as shrinking a value does.
        const uint32_t keep = (rng() % ((c.size - 12) / 4 + 1)) * 4, tail = c.size - keep - 4;
        memcpy(h.data + c.off + keep, &tail, 4);
        c.size = keep + 4;
        memcpy(h.data + c.off - 4, &c.size, 4);
        h.freeChunk(c.off + keep + 4);
      } else {
        h.freeChunk(c.off);
        held[k] = held.back();
        held.pop_back();
      }
    }
    ASSERT_EQ(checkAllocator(h, held, step % 64 == 0), "") << "step " << step;
    ASSERT_TRUE(sound(h.data, h.lsize)) << "step " << step;
  }
  ASSERT_EQ(checkAllocator(h, held, true), "");
}

INSTANTIATE_TEST_SUITE_P(Shapes, AllocRandom,
                         ::testing::Values(Shape{16, 16, 1}, Shape{2, 1, 1}, Shape{3, 1, 2}));

}  // namespace
