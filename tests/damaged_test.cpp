// Damaged registry files: every kind of broken link the format can carry is
// opened, walked through every reader and written to, and must give failure
// results, never a crash, a hang, or a change outside the view. Also files
// made on a machine of the other byte order, and the inputs the fuzzers found.
#include <dirent.h>

#include <string>
#include <vector>

#include "image_builder.h"
#include "lib/system/nconfig/internal.h"
#include "test_util.h"
#include "tree_walk.h"

namespace {

using nctest::freeList, nctest::getWord, nctest::Image, nctest::readAllWays, nctest::setWord;

// Walks the whole tree; a damaged tree may be cyclic, hence the bounds.
void walk(NConfig &h) { nctest::TreeWalk(h, 8, 500).run(); }

// Everything a user can do to an open file, reads first, then writes.
void useEverything(NConfig &h) {
  walk(h);
  readAllWays(h, "/..");
  h.setKey("/dir/key", 5u);
  h.setKey("/dir/str", "a string long enough to need a new chunk");
  h.setKey("/dir/str", "s");
  h.setKey("/dir/raw", "\1\2", 2);
  h.setKey("/new/deep/key", 1.25);
  h.createDir("/dir", 40);
  h.renameKey("/dir/key", "other");
  h.renameKey("/dir/str", "a-much-longer-name-than-before");
  walk(h);
  h.delKey("/dir/sub");
  h.delKey("/dir");
  testing::internal::CaptureStderr();
  h.status();
  testing::internal::GetCapturedStderr();
}

// A one-page registry with directories, every value type and a deletion; its
// last 16 bytes (free space) are non-zero so that strings put there never end.
struct Sample {
  Image b;
  uint32_t dir, key, str, raw, sub;  // entry offsets
  uint32_t get(uint32_t off) const { return getWord(b, off); }
  void put(uint32_t off, uint32_t v) { setWord(b, off, v); }
};

Sample makeSample(const TempDir &tmp) {
  const std::string path = tmp.file("sample");
  Sample s{};
  {
    TestNConfig h;
    EXPECT_EQ(makeRegistry(h, path, 1, 4, 4), NC_ERR_OK);
    h.setKey("/dir/key", 7u);
    h.setKey("/dir/str", "value");
    h.setKey("/dir/raw", "\0\1\2\3\4", 5);
    h.setKey("/dir/sub/x", -3);
    h.setKey("/dir/sub/y", 0.5);
    h.setKey("/top", "t");
    h.setKey("/gone", 1u);
    h.delKey("/gone");
    const std::pair<uint32_t *, const char *> entries[] = {
        {&s.dir, "/dir"}, {&s.key, "/dir/key"}, {&s.str, "/dir/str"}, {&s.raw, "/dir/raw"}, {&s.sub, "/dir/sub"}};
    for (auto [to, p] : entries) *to = h.offsetOf(h.find(p));
  }
  s.b = readFile(path);
  EXPECT_EQ(s.b.size(), 4096u);
  memset(s.b.data() + 4096 - 16, 'n', 16);
  return s;
}

// Field offsets in entries and the superblock; the file's end; the table.
constexpr uint32_t kName = 0, kType = 4, kParent = 8, kOffset = 12, kPages = 16;
constexpr uint32_t kSbSize = 4, kSbEntInc = 8, kSbChunkInc = 12, kSbSizeInc = 16,
                   kSbChunkTtl = 20, kSbChunk = 24, kSbRoot = 28, kEnd = 4096,
                   kTab = nc::kTableOffset;

// One row per kind of damage: what it is, how it is made, what open answers.
struct Damage {
  const char *what;
  void (*apply)(Sample &);
  int open_result;
};
constexpr int OK = NC_ERR_OK, BAD = NC_ERR_CORRUPT;
const Damage kDamages[] = {
    {"empty file", [](Sample &s) { s.b.clear(); }, BAD},
    {"shorter than the superblock", [](Sample &s) { s.b.resize(20); }, BAD},
    {"wrong magic", [](Sample &s) { s.put(0, 0x00130900); }, BAD},
    {"size larger than the file", [](Sample &s) { s.put(kSbSize, 8192); }, BAD},
    {"size unaligned", [](Sample &s) { s.put(kSbSize, 4093); }, BAD},
    {"size cuts the table", [](Sample &s) { s.put(kSbSize, 80); }, BAD},
    {"size cuts the tree", [](Sample &s) { s.put(kSbSize, 512); }, OK},
    {"no directory growth", [](Sample &s) { s.put(kSbEntInc, 0); }, OK},
    {"huge directory growth", [](Sample &s) { s.put(kSbEntInc, 0x720004); }, OK},
    {"no table growth", [](Sample &s) { s.put(kSbChunkInc, 0); }, OK},
    {"huge file growth", [](Sample &s) { s.put(kSbSizeInc, 0xFFFFF); }, OK},
    {"no file growth", [](Sample &s) { s.put(kSbSizeInc, 0); }, OK},
    {"empty table", [](Sample &s) { s.put(kSbChunkTtl, 0); }, OK},
    {"one-record table", [](Sample &s) { s.put(kSbChunkTtl, 1); }, OK},
    {"table past the end", [](Sample &s) { s.put(kSbChunkTtl, 600); }, BAD},
    {"table unaligned", [](Sample &s) { s.put(kSbChunk, 70); }, BAD},
    {"root outside", [](Sample &s) { s.put(kSbRoot, kEnd - 8); }, BAD},
    {"root is a value", [](Sample &s) { s.put(kSbRoot, s.key); }, OK},
    {"name without NUL", [](Sample &s) { s.put(s.key + kName, kEnd - 8); }, OK},
    {"name outside", [](Sample &s) { s.put(s.str + kName, kEnd + 4); }, OK},
    {"name chunk huge", [](Sample &s) { s.put(s.get(s.key + kName) - 4, 0x7FFFFFF0); }, OK},
    {"slot past the end", [](Sample &s) { s.put(s.get(s.dir + kOffset), kEnd + 64); }, OK},
    {"slot straddles the end", [](Sample &s) { s.put(s.get(s.dir + kOffset) + 4, kEnd - 12); }, OK},
    {"slot unaligned", [](Sample &s) { s.put(s.get(s.dir + kOffset) + 8, s.key + 2); }, OK},
    {"slot array outside", [](Sample &s) { s.put(s.dir + kOffset, kEnd); }, OK},
    {"slot count past the end", [](Sample &s) { s.put(s.dir + kPages, 0x40000000); }, OK},
    {"directory holding itself", [](Sample &s) { s.put(s.get(s.sub + kOffset), s.sub); }, OK},
    {"directory holding its parent", [](Sample &s) { s.put(s.get(s.sub + kOffset) + 4, s.dir); }, OK},
    {"slots out of order", [](Sample &s) { s.put(s.get(s.dir + kOffset), s.raw); }, OK},
    {"cycle through parents", [](Sample &s) { s.put(s.dir + kParent, s.sub), s.put(s.sub + kParent, s.dir); }, OK},
    {"parent outside", [](Sample &s) { s.put(s.sub + kParent, kEnd + 36); }, OK},
    {"value outside", [](Sample &s) { s.put(s.key + kOffset, kEnd - 4); }, OK},
    {"string without NUL", [](Sample &s) { s.put(s.str + kOffset, kEnd - 16); }, OK},
    {"raw length past the end", [](Sample &s) { s.put(s.raw + kPages, 0xFFFFFFF0); }, OK},
    {"value chunk huge", [](Sample &s) { s.put(s.get(s.str + kOffset) - 4, 0xFFFFFFF0); }, OK},
    {"value chunk header zero", [](Sample &s) { s.put(s.get(s.str + kOffset) - 4, 0); }, OK},
    {"value in the superblock", [](Sample &s) { s.put(s.str + kOffset, 8); }, OK},
    {"unknown type", [](Sample &s) { s.put(s.key + kType, 99); }, OK},
    {"directory typed as a value", [](Sample &s) { s.put(s.dir + kType, NC_RAW); }, OK},
    {"table out of order", [](Sample &s) { s.put(kTab + 4, 8), s.put(kTab + 12, 3000); }, OK},
    {"free area past the end", [](Sample &s) { s.put(kTab, kEnd - 16); }, OK},
    {"free area over the superblock", [](Sample &s) { s.put(kTab, 0); }, OK},
    {"free area over a directory", [](Sample &s) { s.put(kTab, s.dir - 4); }, OK},
    {"huge free area", [](Sample &s) { s.put(kTab, 0xFFFFF000), s.put(kTab + 4, 0xFFFFFFF0); }, OK},
    {"table header wrong", [](Sample &s) { s.put(nc::kTableHeaderOffset, 0xFFFFFFFF); }, OK},
};

Image damaged(Sample s, const Damage &d) { return d.apply(s), s.b; }

TEST(Damaged, EveryDamageGivesFailureResultsNeverACrash) {
  TempDir tmp;
  const Sample sample = makeSample(tmp);
  const std::string path = tmp.file("damaged");
  int careful = 0;
  for (const Damage &d : kDamages) {
    SCOPED_TRACE(d.what);
    const Image bytes = damaged(sample, d);
    writeFile(path, bytes);
    for (int how : {NC_O_RO, NC_O_RW}) {
      NConfig h(careful++ % 3 == 0);
      ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
      ASSERT_EQ(h.open(how), d.open_result);
      if (d.open_result == BAD) { EXPECT_EQ(h.setKey("/x", 1), NC_ERR_NFILE); }  // still closed
      how == NC_O_RO ? walk(h) : useEverything(h);
    }
    if (d.open_result == BAD) { EXPECT_EQ(readFile(path), bytes); }  // refused files are left alone
    // The writes stayed inside the view: the file never shrinks, and still opens or is refused.
    EXPECT_GE(readFile(path).size(), bytes.size());
    NConfig again(0);
    again.setName(path.c_str());
    const int rc = again.open(NC_O_RO);
    EXPECT_TRUE(rc == NC_ERR_OK || rc == NC_ERR_CORRUPT) << rc;
    if (rc == NC_ERR_OK) walk(again);
  }
}

// What the operations answer on some kinds of damage.
TEST(Damaged, ResultsNameTheDamage) {
  TempDir tmp;
  const Sample sample = makeSample(tmp);
  const std::string path = tmp.file("damaged");
  auto open = [&](const char *what, NConfig &h) {
    for (const Damage &d : kDamages)
      if (!strcmp(d.what, what)) writeFile(path, damaged(sample, d));
    h.setName(path.c_str());
    return h.open(NC_O_RW);
  };
  unsigned v = 0;
  char *s = nullptr;
  NConfig a(0), b(0), c(0), d(0), e(0), f(0);
  ASSERT_EQ(open("no table growth", a), NC_ERR_OK);
  EXPECT_EQ(a.getKey("/dir/key", v), NC_ERR_OK);       // reads still work
  EXPECT_EQ(a.setKey("/dir/new", 1u), NC_ERR_CORRUPT);  // the allocator cannot
  // Millions of entries per batch: refused before anything changes, as
  // creation refuses to make such a file.
  ASSERT_EQ(open("huge directory growth", b), NC_ERR_OK);
  EXPECT_EQ(b.setKey("/dir/new", 1u), NC_ERR_CORRUPT);
  EXPECT_EQ(b.setKey("/dir/key", 8u), NC_ERR_OK);  // no insertion needed
  NConfig maker(0);
  ASSERT_EQ(maker.setName(tmp.file("batch").c_str()), NC_ERR_OK);
  EXPECT_EQ(maker.createNew(1, 65537, 16), NC_ERR_NVAL);
  ASSERT_EQ(open("value outside", c), NC_ERR_OK);
  EXPECT_NE(c.getKey("/dir/key", v), NC_ERR_OK);
  EXPECT_EQ(c.getKey("/dir/str", s), NC_ERR_OK);  // its neighbours are intact
  EXPECT_STREQ(s, "value");
  free(s), s = nullptr;
  ASSERT_EQ(open("raw length past the end", d), NC_ERR_OK);
  EXPECT_EQ(d.getKey("/dir/raw", s, v), NC_ERR_CORRUPT);
  EXPECT_EQ(s, nullptr);
  ASSERT_EQ(open("cycle through parents", e), NC_ERR_OK);
  EXPECT_EQ(e.chDir("/dir/sub"), NC_ERR_CORRUPT);  // its absolute name never ends
  ASSERT_EQ(open("name without NUL", f), NC_ERR_OK);
  nc_ls_s *l = f.ls("/dir"), *p = l;
  while (p && p->name) p++;
  EXPECT_EQ(p - l, 3);  // the unterminated name is left out
  freeList(l);
}

// Another writer replaces the file under an open handle with a longer one
// whose root lies outside it: the next lock re-maps, finds no root, and every
// operation fails instead of following the old root.
TEST(Damaged, DamageByAnotherWriterIsFoundAtTheNextLock) {
  TempDir tmp;
  Sample s = makeSample(tmp);
  const std::string path = tmp.file("sample");
  NConfig h(0);
  ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
  ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
  unsigned v = 0;
  ASSERT_EQ(h.getKey("/dir/key", v), NC_ERR_OK);
  s.b.resize(8192);
  s.put(kSbSize, 8192);
  s.put(kSbRoot, 8192 + 36);
  s.put(32, s.get(32) + 1);  // modtime
  writeFile(path, s.b);
  EXPECT_EQ(h.getKey("/dir/key", v), NC_ERR_NEXIST);
  EXPECT_EQ(h.ls("/"), nullptr);
  EXPECT_EQ(h.setKey("/dir/key", 1u), NC_ERR_CORRUPT);
  EXPECT_EQ(h.setKey("relative", 1u), NC_ERR_CORRUPT);
  EXPECT_EQ(h.chDir("/dir"), NC_ERR_NEXIST);
}

// A registry made on a machine of the other byte order: every word after the
// magic swapped (names come out scrambled, which open never reaches). Under
// emulation the same test checks the other direction.
TEST(Damaged, FileOfTheOtherByteOrderIsRefused) {
  TempDir tmp;
  const std::string path = tmp.file("foreign");
  {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, path, 2, 4, 4), NC_ERR_OK);
    h.setKey("/quorvane/DVB/config/lnbs/0/lofH", 9750u);
    h.setKey("/d", 2.5);
  }
  Image foreign = readFile(path);
  for (uint32_t off = 4; off < foreign.size(); off += 4) std::reverse(&foreign[off], &foreign[off + 4]);
  writeFile(path, foreign);
  NConfig h(0);
  ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
  EXPECT_EQ(h.open(NC_O_RO), NC_ERR_CORRUPT);
  EXPECT_EQ(h.open(NC_O_RW), NC_ERR_CORRUPT);
  EXPECT_EQ(readFile(path), foreign);  // refused files are left alone
}

// The free-space figures status() and 'nctool stat' print are read from the
// image without trusting its table: one that is not wholly inside is unknown.
// The image is a buffer of exactly its size, so a read past it is caught.
TEST(Damaged, FreeSpaceFiguresReadOnlyInsideTheImage) {
  struct Case {
    const char *what;
    uint32_t chunk, ttl;
    bool known;
    uint32_t bytes, chunks, min, max;
  };
  const Case cases[] = {
      {"whole table", 64, 4, true, 420, 3, 20, 300},
      {"largest is the first record, as the allocator keeps it", 72, 3, true, 120, 2, 20, 20},
      {"no records", 64, 0, true, 0, 0, 0, 0},
      {"one record past the end", 64, 5, false, 0, 0, 0, 0},
      {"unaligned", 66, 1, false, 0, 0, 0, 0},
      {"end wraps 32 bits", 0xFFFFFFF8, 2, false, 0, 0, 0, 0},
      {"length wraps 32 bits", 64, 0x20000000, false, 0, 0, 0, 0}};
  std::vector<char> image(96);
  const uint32_t sizes[] = {300, 20, 0, 100};  // records at 64
  for (uint32_t i = 0; i < 4; i++) memcpy(&image[64 + 8 * i + 4], &sizes[i], 4);
  for (const Case &c : cases) {
    nc_sb_s sb{};
    sb.chunk = c.chunk, sb.chunk_ttl = c.ttl;
    const nc::FreeSpace f = nc::freeSpace(image.data(), image.size(), sb);
    EXPECT_EQ(std::vector<uint32_t>({f.known, f.bytes, f.chunks, f.min, f.max}),
              std::vector<uint32_t>({c.known, c.bytes, c.chunks, c.min, c.max}))
        << c.what;
  }
}

// Each input a fuzz target once crashed or hung on, kept as a file, is opened
// and used as the target did.
TEST(Damaged, FuzzFindingsStayFixed) {
  const std::string here = __FILE__;
  const std::string data = here.substr(0, here.rfind('/')) + "/data/fuzz";
  DIR *dir = opendir(data.c_str());
  ASSERT_NE(dir, nullptr) << data;
  TempDir tmp;
  const std::string path = tmp.file("input");
  int inputs = 0;
  // readdir64: a 32-bit build's readdir fails on 64-bit directory offsets.
  while (dirent64 *de = readdir64(dir)) {
    if (de->d_name[0] == '.') continue;
    SCOPED_TRACE(de->d_name);
    writeFile(path, readFile(data + "/" + de->d_name));
    inputs++;
    for (int how : {NC_O_RO, NC_O_RW}) {
      NConfig h(how == NC_O_RW);
      h.setName(path.c_str());
      if (h.open(how) != NC_ERR_OK) continue;
      how == NC_O_RO ? walk(h) : useEverything(h);
    }
  }
  closedir(dir);
  EXPECT_GT(inputs, 0);
}

}  // namespace
