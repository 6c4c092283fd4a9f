// Key creation and update at the level of the file image, and what the typed
// accessors store and refuse beyond the random model run.

#include "test_util.h"

namespace {

class Create : public ::testing::Test {
 protected:
  void open(unsigned resize = 1, unsigned dirent = 8) {
    ASSERT_EQ(makeRegistry(h, dir.file("r"), resize, dirent, 16), NC_ERR_OK);
  }
  uint32_t header(const char *key) { return h.word(h.find(key)->offset - 4); }
  TempDir dir;
  TestNConfig h;
};

TEST_F(Create, PathInAFreshFileLandsWhereTheAllocationOrderPutsIt) {
  open();
  ASSERT_EQ(h.setKey("a/b/c", "x"), NC_ERR_OK);
  // Name of a at 200, root array at 208 with entries at 244 + 28k; a takes
  // the last (440). Then b's name at 468, a's array at 476, entries from 512;
  // c's name at 736, b's array at 744, entries from 780; the value at 1004.
  using Row = std::vector<uint32_t>;  // entry offset, then its six words
  auto row = [&](const nc_de_s *e) { return Row{h.offsetOf(e), e->name, e->type, e->parent, e->offset, e->pages}; };
  EXPECT_EQ(row(h.rdir), (Row{36, 60, NC_DIR, 36, 208, 8}));
  EXPECT_EQ(row(h.find("/a")), (Row{440, 200, NC_DIR, 36, 476, 8}));
  EXPECT_EQ(row(h.find("/a/b")), (Row{708, 468, NC_DIR, 440, 744, 8}));
  EXPECT_EQ(row(h.find("/a/b/c")), (Row{976, 736, NC_STRING, 708, 1004, 2}));
  EXPECT_EQ(Row({h.chunks[0].offset, h.chunks[0].size, h.chunks[1].size}), (Row{1008, 4096 - 1008, 0}));
}

TEST_F(Create, ValueChunksAreReusedTrimmedOrReplaced) {
  open(2);
  const std::string twenty(20, 'r'), longer(21, 'n');
  // New length, header of the value chunk afterwards, header of the released
  // tail (0: none, the old bytes past the new length stay).
  const uint32_t steps[][3] = {{5, 12, 12}, {9, 16, 8}, {13, 24, 0}, {20, 24, 0}};
  for (const auto &[len, after, tail] : steps) {
    const std::string key = "/v" + std::to_string(len);
    const char *k = key.c_str();
    ASSERT_EQ(h.setKey(k, twenty.c_str(), 20), NC_ERR_OK);
    const uint32_t o = h.find(k)->offset;
    ASSERT_EQ(header(k), 24u);
    ASSERT_EQ(h.setKey(k, "0123456789abcdefghij", len), NC_ERR_OK);
    EXPECT_EQ(h.find(k)->offset, o) << len;
    EXPECT_EQ(header(k), after) << len;
    if (tail) {  // a chunk of its own, freed (the model run's leak count sees to that)
      EXPECT_EQ(h.word(o + (len + 3) / 4 * 4), tail) << len;
    } else {
      EXPECT_EQ(memcmp(h.data + o + len, twenty.data() + len, 20 - len), 0);
    }
  }
  // Too small: released, it joins the free space behind it, and the new
  // chunk is carved from the front of that joined area.
  const uint32_t o = h.find("/v20")->offset;
  ASSERT_EQ(h.setKey("/v20", longer.c_str(), 21), NC_ERR_OK);
  EXPECT_EQ(h.find("/v20")->offset, o);
  EXPECT_EQ(header("/v20"), 28u);
  // Removing a value keeps its length.
  ASSERT_EQ(h.setKey("/v20", nullptr, 0), NC_ERR_OK);
  EXPECT_EQ(h.find("/v20")->offset, 0u);
  EXPECT_EQ(h.find("/v20")->pages, 21u);
}

// A full directory grows by the entry batch, into a new array; createDir
// enlarges to exactly the count and never shrinks. (That the entries are
// kept is the model run's: its entry count, every step.)
TEST_F(Create, DirectoryArraysGrow) {
  open(1, 2);
  ASSERT_EQ(h.createDir("/e", 0), NC_ERR_OK);
  EXPECT_EQ(h.find("/e")->offset | h.find("/e")->pages, 0u);
  for (const char *k : {"/d/m", "/d/z"}) ASSERT_EQ(h.setKey(k, 1), NC_ERR_OK);
  const uint32_t old_array = h.find("/d")->offset;
  ASSERT_EQ(h.setKey("/d/a", 1), NC_ERR_OK);
  EXPECT_EQ(h.find("/d")->pages, 4u);
  EXPECT_EQ(h.find("/d/a")->offset, old_array);  // the old array, an exact fit, holds the new value
  EXPECT_EQ(h.slotNames("/d"), (std::vector<std::string>{"z", "m", "a", ""}));
  for (auto [n, pages] : {std::pair{3u, 4u}, {13u, 13u}}) {  // fewer than it has, then more
    ASSERT_EQ(h.createDir("/d", n), NC_ERR_OK);
    EXPECT_EQ(h.find("/d")->pages, pages);
  }
  ASSERT_EQ(h.createDir("", 10), NC_ERR_OK);  // the current directory
  EXPECT_EQ(h.rdir->pages, 10u);
}

// The arguments the model run never passes (its results on bad paths and
// types are checked there): refusals change neither the file nor the outputs.
TEST_F(Create, RefusalsChangeNothing) {
  open(1, 1);
  for (const char *k : {"/d/a", "/dir/x"}) ASSERT_EQ(h.setKey(k, 1), NC_ERR_OK);
  unsigned u32 = 1234;
  char *s = reinterpret_cast<char *>(2);
  const auto image = h.image();
  const std::vector<int> results = {
      h.setKey("", 1ull),         h.setKey(nullptr, 1),  h.setKey("/k", static_cast<const char *>(nullptr)),
      h.setKey("/k", nullptr, 3), h.createDir("/huge", 0x40000000u), h.getKey("/missing", u32),
      h.getKey(nullptr, u32),     h.getKey("/d/a", s),   h.renameKey("/d/a", nullptr),
      h.renameKey(nullptr, "b")};
  EXPECT_EQ(results, (std::vector<int>{NC_ERR_TYPE, NC_ERR_NVAL, NC_ERR_NVAL, NC_ERR_NVAL, NC_ERR_NVAL,
                                       NC_ERR_NEXIST, NC_ERR_NVAL, NC_ERR_TYPE, NC_ERR_NVAL, NC_ERR_NVAL}));
  h.delKey(nullptr);
  EXPECT_EQ(h.image(), image);
  EXPECT_EQ(u32, 1234u);
  EXPECT_EQ(s, reinterpret_cast<char *>(2));
  // A full directory in a file without an entry batch is damaged.
  h.sb->ent_inc = 0;
  const auto no_batch = h.image();
  EXPECT_EQ(h.setKey("/d/b", 1), NC_ERR_CORRUPT);
  EXPECT_EQ(h.setKey("/e/f", 1), NC_ERR_CORRUPT);
  EXPECT_EQ(h.image(), no_batch);
  EXPECT_EQ(h.setKey("/d/a", 2), NC_ERR_OK);  // updates still work
  h.close();
  EXPECT_EQ(h.getKey("/d/a", u32), NC_ERR_NFILE);
  EXPECT_EQ(h.setKey("/d/a", 1u), NC_ERR_NFILE);
}

}  // namespace
