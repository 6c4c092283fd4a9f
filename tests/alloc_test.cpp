// The in-file chunk allocator: other processes allocate by the same rules, so
// offsets and tables after any sequence of allocations and frees are exact.
// (Random sequences are the model run's, whose checker sees overlaps and leaks.)

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
  void put(uint32_t off, uint32_t w) { memcpy(h.data + off, &w, 4); }
  // Replaces the table by `recs`, slot 0 first; the other records are emptied.
  void craft(const Table &recs) {
    for (uint32_t i = 0; i < h.sb->chunk_ttl; i++)
      h.chunks[i] = i < recs.size() ? nc_chunk_s{recs[i].first, recs[i].second} : nc_chunk_s{0, 0};
  }
  // Records of the given sizes at area(0), area(1), ...; size 0 stays empty.
  void craftSizes(const std::vector<uint32_t> &sizes) {
    Table t;
    for (size_t i = 0; i < sizes.size(); i++) t.emplace_back(sizes[i] ? area(int(i)) : 0, sizes[i]);
    craft(t);
  }
  Table table() const {  // up to the last record not all zero
    Table t;
    for (uint32_t i = 0; i < h.sb->chunk_ttl; i++) t.emplace_back(h.chunks[i].offset, h.chunks[i].size);
    while (!t.empty() && t.back() == Table::value_type{0, 0}) t.pop_back();
    return t;
  }
  bool zeroed(uint32_t off, uint32_t n) const {
    return std::all_of(h.data + off, h.data + off + n, [](char c) { return c == 0; });
  }
};

int fallocate_calls = 0;

// Best fit with its 4-byte rule: which record is carved and where it goes.
// When nothing fits, growth by whole units strictly larger than the chunk,
// persisted at once (through an interrupted first reservation).
TEST(Alloc, GetChunkCarvesOrGrows) {
  const uint32_t A = area(0), B = area(1), C = area(2), D = area(3);
  // Crafted records (mchunks is their count, at least 2), the request, the
  // data offset and the file size it gets, and the table afterwards.
  const struct Case { unsigned resize; std::vector<uint32_t> sizes; unsigned request; uint32_t got, size; Table after; }
  cases[] = {
      {4, {40, 24, 20, 0}, 13, A + 4, 16384, {{B, 24}, {A + 20, 20}, {C, 20}}},  // 24 probed first, 4 over
      // The first exact fit probed:
      {4, {40, 20, 20, 20, 0}, 16, C + 4, 16384, {{A, 40}, {B, 20}, {D, 20}, {C + 20, 0}}},
      {4, {40, 40, 40, 0}, 16, C + 4, 16384, {{A, 40}, {B, 40}, {C + 20, 20}}},  // the last of equal ones
      {4, {40, 0}, 0, A + 4, 16384, {{A + 4, 36}}},  // header only, nothing zeroed
      {1, {}, 4, 4100, 8192, {{4104, 4088}}},
      {1, {}, 4092, 4100, 12288, {{8192, 4096}}},  // a unit-sized chunk gets a unit more
      {2, {}, 4, 8196, 16384, {{8200, 8184}}},
      {1, {}, 4088, 4100, 12288, {{8188, 4100}}},          // the first 4096 is 4 over; grows twice
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.sizes) + " request " + std::to_string(c.request));
    Reg r(c.resize, unsigned(std::max<size_t>(2, c.sizes.size())));
    r.craftSizes(c.sizes);
    for (size_t i = 0; i < c.sizes.size(); i++) memset(r.h.data + area(int(i)), 0xAB, c.sizes[i]);
    r.put(2000, 0x5EED);
    fallocate_calls = 0;
    nc::sys().fallocate = [](int fd, off_t off, off_t len) {
      return fallocate_calls++ == 0 ? EINTR : posix_fallocate(fd, off, len);
    };
    const uint32_t old = r.h.sb->size, need = (c.request + 3) / 4 * 4 + 4, got = r.h.getChunk(c.request);
    nc::resetSysCalls();
    ASSERT_EQ(got, c.got);
    EXPECT_EQ(r.h.word(got - 4), need);
    EXPECT_TRUE(r.zeroed(got, need - 4));
    EXPECT_EQ(r.table(), c.after);
    for (auto [off, size] : c.after)  // nothing past the chunk is touched
      EXPECT_TRUE(!size || off >= old || uint8_t(r.h.data[off]) == 0xAB) << off;
    EXPECT_EQ(r.h.sb->size, c.size);
    EXPECT_EQ(readFile(r.dir.file("r")).size(), c.size);
    EXPECT_EQ(r.h.word(2000), 0x5EEDu);  // the view may have moved; contents kept
  }
}

// A freed chunk joins at most one neighbour, the one whose record comes
// first; without one it takes the first empty record and rises past smaller
// ones only. With the second-to-last record in use the table first moves to
// a chunk of its own; only chunk_ttl - 1 records are copied, so the last
// one's area is dropped, and the old table is freed in place.
TEST(Alloc, FreeJoinsAtMostOneNeighbourOrMovesTheTable) {
  const uint32_t A = area(0), B = area(1), C = area(2), L = A, M = L + 48, R = M + 32;  // M: 32 bytes freed
  // The table before, the chunk freed, the table afterwards and where it is.
  const struct Case { unsigned mchunks; Table before; uint32_t at, size; Table after; uint32_t table; } cases[] = {
      {6, {{L, 48}, {R, 40}}, M, 32, {{L, 80}, {R, 40}}, nc::kTableOffset},
      {6, {{R, 48}, {L, 48}}, M, 32, {{M, 80}, {L, 48}}, nc::kTableOffset},
      {7, {{A, 100}, {B, 52}, {C, 20}, {area(3), 12}}, 3000, 52,
       {{A, 100}, {B, 52}, {3000, 52}, {C, 20}, {area(3), 12}}, nc::kTableOffset},
      // 80 - 68 leaves 12: the last record is the best fit for the new table.
      {4, {{A, 300}, {B, 200}, {C, 100}, {area(3), 80}}, 3000, 44,
       {{A, 300}, {B, 200}, {C, 100}, {3000, 44}, {64, 36}}, area(3) + 4},
      // A fresh two-record table after one allocation: every free moves it,
      // and the old table joins the freed chunk.
      {2, {{96, 4000}}, 84, 12, {{132, 3964}, {64, 32}}, 100},
  };
  for (const Case &c : cases) {
    Reg r(4, c.mchunks);
    r.craft(c.before);
    r.put(c.at, c.size);
    memset(r.h.data + c.at + 4, 0xCD, c.size - 4);
    r.h.freeChunk(c.at + 4);
    EXPECT_EQ(r.table(), c.after) << c.at << " " << c.size;
    EXPECT_EQ(r.h.sb->chunk, c.table);
    EXPECT_EQ(r.h.word(c.table - 4), r.h.sb->chunk_ttl * 8 + 4);
    EXPECT_EQ(uint8_t(r.h.data[c.at + c.size - 1]), 0xCD);  // freed bytes stay as they were
  }
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

}  // namespace
