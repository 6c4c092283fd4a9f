// Key creation and update at the level of the file image, and the typed
// accessors' widths and failure results.
#include <gtest/gtest.h>

#include <climits>

#include "test_util.h"

namespace {

class Create : public ::testing::Test {
 protected:
  void open(unsigned resize = 1, unsigned dirent = 8, unsigned mchunks = 16) {
    ASSERT_EQ(makeRegistry(h, dir.file("r"), resize, dirent, mchunks), NC_ERR_OK);
  }
  uint32_t header(uint32_t data_off) { return h.word(data_off - 4); }
  // True when some free-chunk record covers the byte at `off`.
  bool isFree(uint32_t off) {
    for (uint32_t i = 0; i < h.sb->chunk_ttl; i++)
      if (h.chunks[i].size && off >= h.chunks[i].offset && off < h.chunks[i].offset + h.chunks[i].size)
        return true;
    return false;
  }
  TempDir dir;
  TestNConfig h;
};

TEST_F(Create, PathInAFreshFileLandsWhereTheAllocationOrderPutsIt) {
  open();
  ASSERT_EQ(h.setKey("a/b/c", "x"), NC_ERR_OK);
  EXPECT_EQ(h.sb->modtime, 4u);
  // Name of a at 200, root array at 208 with entries at 244 + 28k; a takes
  // the last (440). Then b's name at 468, a's array at 476, entries from 512;
  // c's name at 736, b's array at 744, entries from 780; the value at 1004.
  EXPECT_EQ(h.rdir->offset, 208u);
  EXPECT_EQ(h.rdir->pages, 8u);
  nc_de_s *a = h.find("/a"), *b = h.find("/a/b"), *c = h.find("/a/b/c");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(h.offsetOf(a), 440u);
  EXPECT_EQ(a->name, 200u);
  EXPECT_EQ(a->offset, 476u);
  EXPECT_EQ(h.offsetOf(b), 708u);
  EXPECT_EQ(b->offset, 744u);
  EXPECT_EQ(h.offsetOf(c), 976u);
  EXPECT_EQ(c->name, 736u);
  EXPECT_EQ(c->offset, 1004u);
  EXPECT_EQ(c->pages, 2u);
  EXPECT_EQ(c->type, uint32_t(NC_STRING));
  EXPECT_EQ(c->parent, 708u);
  for (const char *d : {"/", "/a", "/a/b"}) {
    const auto slots = h.slotNames(d);
    ASSERT_EQ(slots.size(), 8u) << d;
    EXPECT_NE(slots[0], "") << d;
    EXPECT_EQ(slots[1], "") << d;
  }
  EXPECT_EQ(h.chunks[0].offset, 1008u);
  EXPECT_EQ(h.chunks[0].size, 4096u - 1008u);
  EXPECT_EQ(h.chunks[1].size, 0u);
}

TEST_F(Create, SlotsStaySortedAndArraysGrowByTheBatch) {
  open(1, 2, 16);
  for (const char *k : {"/d/m", "/d/z"}) ASSERT_EQ(h.setKey(k, 1), NC_ERR_OK);
  const uint32_t old_array = h.find("/d")->offset;
  EXPECT_EQ(h.find("/d")->pages, 2u);
  const uint32_t modtime = h.sb->modtime;
  ASSERT_EQ(h.setKey("/d/a", 1), NC_ERR_OK);
  EXPECT_EQ(h.sb->modtime, modtime + 2);  // one insertion, one key
  nc_de_s *d = h.find("/d");
  EXPECT_EQ(d->pages, 4u);
  EXPECT_NE(d->offset, old_array);
  // The old array went back and, an exact fit, now holds the new value.
  EXPECT_EQ(h.find("/d/a")->offset, old_array);
  EXPECT_EQ(h.slotNames("/d"), (std::vector<std::string>{"z", "m", "a", ""}));
}

TEST_F(Create, ValueChunksAreReusedTrimmedOrReplaced) {
  open(2);
  const std::string twenty(20, 'r');
  struct Step {
    unsigned len;
    uint32_t header;  // of the value chunk afterwards
    uint32_t tail;    // header of the released tail, 0 for none
  };
  for (const Step &s : {Step{5, 12, 12}, Step{9, 16, 8}, Step{13, 24, 0}, Step{20, 24, 0}}) {
    const std::string key = "/v" + std::to_string(s.len);
    ASSERT_EQ(h.setKey(key.c_str(), twenty.c_str(), 20), NC_ERR_OK);
    const uint32_t o = h.find(key.c_str())->offset;
    ASSERT_EQ(header(o), 24u);
    const uint32_t modtime = h.sb->modtime;
    ASSERT_EQ(h.setKey(key.c_str(), "0123456789abcdefghij", s.len), NC_ERR_OK);
    nc_de_s *v = h.find(key.c_str());
    EXPECT_EQ(v->offset, o) << s.len;
    EXPECT_EQ(v->pages, s.len);
    EXPECT_EQ(header(o), s.header) << s.len;
    const uint32_t aligned = (s.len + 3) / 4 * 4;
    if (s.tail) {
      EXPECT_EQ(h.word(o + aligned), s.tail) << s.len;
      EXPECT_TRUE(isFree(o + aligned)) << s.len;
    } else {
      EXPECT_EQ(memcmp(h.data + o + s.len, twenty.data() + s.len, 20 - s.len), 0);  // old bytes stay
    }
    EXPECT_EQ(h.sb->modtime, modtime);
  }
  const uint32_t o = h.find("/v20")->offset;
  // Too small: released, it joins the free space behind it, and the new
  // chunk is carved from the front of that joined area.
  ASSERT_EQ(h.setKey("/v20", std::string(21, 'n').c_str(), 21), NC_ERR_OK);
  EXPECT_EQ(h.find("/v20")->offset, o);
  EXPECT_EQ(header(o), 28u);
  ASSERT_EQ(h.setKey("/v13", std::string(21, 'n').c_str(), 21), NC_ERR_OK);
  const uint32_t o13 = h.find("/v13")->offset;
  EXPECT_NE(o13, o);
  EXPECT_EQ(header(o13), 28u);

  // Removing a value keeps its length; storing again takes a new chunk.
  ASSERT_EQ(h.setKey("/v20", nullptr, 0), NC_ERR_OK);
  EXPECT_EQ(h.find("/v20")->offset, 0u);
  EXPECT_EQ(h.find("/v20")->pages, 21u);
  char *raw = reinterpret_cast<char *>(1);
  unsigned len = 99;
  ASSERT_EQ(h.getKey("/v20", raw, len), NC_ERR_OK);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(len, 0u);
  ASSERT_EQ(h.setKey("/v20", "abc", 3), NC_ERR_OK);
  EXPECT_NE(h.find("/v20")->offset, 0u);
}

TEST_F(Create, CreateDirEnlargesToExactlyTheCountAndNeverShrinks) {
  open();
  ASSERT_EQ(h.createDir("/e", 0), NC_ERR_OK);
  EXPECT_EQ(h.find("/e")->offset, 0u);
  EXPECT_EQ(h.find("/e")->pages, 0u);
  for (const char *k : {"/d/p", "/d/q"}) ASSERT_EQ(h.setKey(k, 1u), NC_ERR_OK);
  const auto slots_before = h.slotNames("/d");
  std::vector<uint32_t> entries(h.data + h.find("/d")->offset, h.data + h.find("/d")->offset);
  for (uint32_t i = 0; i < 8; i++) entries.push_back(h.word(h.find("/d")->offset + 4 * i));
  const uint32_t modtime = h.sb->modtime;
  ASSERT_EQ(h.createDir("/d", 5), NC_ERR_OK);  // fewer than it has
  EXPECT_EQ(h.find("/d")->pages, 8u);
  ASSERT_EQ(h.createDir("/d", 13), NC_ERR_OK);
  nc_de_s *d = h.find("/d");
  EXPECT_EQ(d->pages, 13u);
  for (uint32_t i = 0; i < 8; i++) EXPECT_EQ(h.word(d->offset + 4 * i), entries[i]);
  EXPECT_EQ(h.sb->modtime, modtime);
  ASSERT_EQ(h.createDir("", 10), NC_ERR_OK);  // the current directory
  EXPECT_EQ(h.rdir->pages, 10u);
}

TEST_F(Create, RefusalsChangeNothing) {
  open();
  ASSERT_EQ(h.setKey("/s", "text"), NC_ERR_OK);
  ASSERT_EQ(h.createDir("/dir", 2), NC_ERR_OK);
  const auto image = h.image();
  struct Case {
    const char *what;
    int got, want;
  };
  const Case cases[] = {
      {"through a value", h.setKey("/s/x", 1), NC_ERR_PERM},
      {"int over string", h.setKey("/s", 1), NC_ERR_TYPE},
      {"dir over string", h.createDir("/s", 4), NC_ERR_TYPE},
      {"value over dir", h.setKey("/dir", 1.0), NC_ERR_TYPE},
      {"value on the root", h.setKey("/", "v"), NC_ERR_TYPE},
      {"value on the current dir", h.setKey("", 1ull), NC_ERR_TYPE},
      {"dot-dot after a missing dir", h.setKey("x/../y", 1), NC_ERR_NVAL},
      {"dot after a missing dir", h.setKey("/n/.", 1), NC_ERR_NVAL},
      {"null name", h.setKey(nullptr, 1), NC_ERR_NVAL},
      {"null string", h.setKey("/k", static_cast<const char *>(nullptr)), NC_ERR_NVAL},
      {"null raw data", h.setKey("/k", nullptr, 3), NC_ERR_NVAL},
      {"huge directory", h.createDir("/huge", 0x40000000u), NC_ERR_NVAL},
  };
  for (const Case &c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(h.image(), image);

  // Components that exist are walked as lookups walk them.
  ASSERT_EQ(h.setKey("/dir/../dir/./k", 5), NC_ERR_OK);
  int v = 0;
  EXPECT_EQ(h.getKey("/dir/k", v), NC_ERR_OK);
  EXPECT_EQ(v, 5);
}

TEST_F(Create, FullDirectoryWithoutGrowthStepIsRefused) {
  open(1, 1, 16);
  ASSERT_EQ(h.setKey("/d/a", 1), NC_ERR_OK);
  h.sb->ent_inc = 0;  // as found in a damaged file
  const auto image = h.image();
  EXPECT_EQ(h.setKey("/d/b", 1), NC_ERR_CORRUPT);
  EXPECT_EQ(h.setKey("/e/f", 1), NC_ERR_CORRUPT);
  EXPECT_EQ(h.image(), image);
  EXPECT_EQ(h.setKey("/d/a", 2), NC_ERR_OK);  // updates still work
}

TEST_F(Create, AccessorsKeepTheirWidths) {
  open();
  ASSERT_EQ(h.setKey("/u64", 0x100000005ull), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/u32", 0xFFFFFFFFu), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/i64", LLONG_MIN), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/i32", -1), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/seven", 7), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/dbl", 0.1), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/ldbl", static_cast<long double>(1) / 3), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/empty", ""), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/raw", "\0\1\2", 3), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/noval", nullptr, 0), NC_ERR_OK);

  unsigned long long u64 = 0;
  unsigned u32 = 0;
  long long i64 = 0;
  int i32 = 0;
  double d = 0;
  long double ld = 0;
  EXPECT_EQ(h.getKey("/u64", u64), NC_ERR_OK);
  EXPECT_EQ(u64, 0x100000005ull);
  EXPECT_EQ(h.getKey("/u64", u32), NC_ERR_OK);
  EXPECT_EQ(u32, 5u);  // the low half
  EXPECT_EQ(h.getKey("/u32", u64), NC_ERR_OK);
  EXPECT_EQ(u64, 0xFFFFFFFFull);  // zero-extended
  EXPECT_EQ(h.getKey("/i32", i64), NC_ERR_OK);
  EXPECT_EQ(i64, -1);  // sign-extended
  EXPECT_EQ(h.getKey("/i32", i32), NC_ERR_OK);
  EXPECT_EQ(i32, -1);
  EXPECT_EQ(h.getKey("/i64", i64), NC_ERR_OK);
  EXPECT_EQ(i64, LLONG_MIN);
  EXPECT_EQ(h.getKey("/dbl", d), NC_ERR_OK);
  EXPECT_EQ(d, 0.1);
  EXPECT_EQ(h.getKey("/ldbl", ld), NC_ERR_OK);
  EXPECT_EQ(ld, static_cast<long double>(static_cast<double>(static_cast<long double>(1) / 3)));
  EXPECT_EQ(h.find("/u32")->pages, 8u);
  EXPECT_EQ(h.find("/empty")->pages, 1u);

  char *s = nullptr;
  EXPECT_EQ(h.getKey("/empty", s), NC_ERR_OK);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "");
  free(s);
  char *raw = nullptr;
  unsigned len = 0;
  EXPECT_EQ(h.getKey("/raw", raw, len), NC_ERR_OK);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(memcmp(raw, "\0\1\2", 3), 0);
  free(raw);
  raw = reinterpret_cast<char *>(1);
  EXPECT_EQ(h.getKey("/noval", raw, len), NC_ERR_OK);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(len, 0u);

  // Wrong type, directory or missing key: the output keeps its contents.
  u32 = 1234;
  EXPECT_EQ(h.getKey("/seven", u32), NC_ERR_TYPE);
  EXPECT_EQ(h.getKey("/", u32), NC_ERR_TYPE);
  EXPECT_EQ(h.getKey("/missing", u32), NC_ERR_NEXIST);
  EXPECT_EQ(u32, 1234u);
  s = reinterpret_cast<char *>(2);
  EXPECT_EQ(h.getKey("/u64", s), NC_ERR_TYPE);
  EXPECT_EQ(s, reinterpret_cast<char *>(2));
  EXPECT_EQ(h.getKey(nullptr, u32), NC_ERR_NVAL);
  h.close();
  EXPECT_EQ(h.getKey("/u64", u64), NC_ERR_NFILE);
  EXPECT_EQ(h.setKey("/u64", 1ull), NC_ERR_NFILE);
}

}  // namespace
