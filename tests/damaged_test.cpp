// Damaged registry files: every kind of broken link the format can carry is
// opened, walked through every reader and written to, and must give failure
// results, never a crash, a hang, or a change outside the view. Also files
// made on a machine of the other byte order, and the inputs the fuzzers found.
#include <dirent.h>

#include <algorithm>
#include <memory>
#include <string>

#include "image_builder.h"
#include "lib/system/nconfig/internal.h"
#include "test_util.h"
#include "tree_walk.h"

namespace {

using nctest::getWord, nctest::Image, nctest::readAllWays, nctest::setWord;

// Walks the whole tree; a damaged tree may be cyclic, hence the bounds.
void walk(NConfig &h) { nctest::TreeWalk(h, 8, 500).run(); }

// Everything a user can do to an open file, reads first, then writes.
void useEverything(NConfig &h) {
  walk(h);
  readAllWays(h, "/..");
  h.setKey("/dir/key", 5u), h.setKey("/dir/str", "a string long enough to need a new chunk");
  h.setKey("/dir/str", "s"), h.setKey("/dir/raw", "\1\2", 2), h.setKey("/new/deep/key", 1.25);
  h.createDir("/dir", 40);
  h.renameKey("/dir/key", "other"), h.renameKey("/dir/str", "a-much-longer-name-than-before");
  walk(h);
  h.delKey("/dir/sub"), h.delKey("/dir");
  testing::internal::CaptureStderr(), h.status(), testing::internal::GetCapturedStderr();
}

// A one-page registry with directories, every value type and a deletion; its
// last 16 bytes (free space) are non-zero so that strings put there never end.
struct Sample {
  Image b;
  uint32_t dir, key, str, raw, sub;  // entry offsets
  uint32_t get(uint32_t off) const { return getWord(b, off); }
  void put(uint32_t off, uint32_t v) { setWord(b, off, v); }
};

Sample makeSample(const std::string &path) {
  Sample s{};
  {
    TestNConfig h;
    EXPECT_EQ(makeRegistry(h, path, 1, 4, 4), NC_ERR_OK);
    h.setKey("/dir/key", 7u), h.setKey("/dir/str", "value"), h.setKey("/dir/raw", "\0\1\2\3\4", 5);
    h.setKey("/dir/sub/x", -3), h.setKey("/dir/sub/y", 0.5), h.setKey("/top", "t");
    h.setKey("/gone", 1u), h.delKey("/gone");
    auto at = [&](const char *p) { return h.offsetOf(h.find(p)); };
    s.dir = at("/dir"), s.key = at("/dir/key"), s.str = at("/dir/str");
    s.raw = at("/dir/raw"), s.sub = at("/dir/sub");
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
struct Damage { const char *what; void (*apply)(Sample &); int open_result; };
constexpr int OK = NC_ERR_OK, BAD = NC_ERR_CORRUPT;
const Damage kDamages[] = {
    {"shorter than the superblock", [](Sample &s) { s.b.resize(20); }, BAD},
    {"wrong magic", [](Sample &s) { s.put(0, 0x00130900); }, BAD},
    {"size larger than the file", [](Sample &s) { s.put(kSbSize, 8192); }, BAD},
    {"size unaligned", [](Sample &s) { s.put(kSbSize, 4093); }, BAD},
    {"size cuts the tree", [](Sample &s) { s.put(kSbSize, 512); }, OK},
    {"no directory growth", [](Sample &s) { s.put(kSbEntInc, 0); }, OK},
    {"huge directory growth", [](Sample &s) { s.put(kSbEntInc, 0x720004); }, OK},
    {"no table growth", [](Sample &s) { s.put(kSbChunkInc, 0); }, OK},
    {"huge file growth", [](Sample &s) { s.put(kSbSizeInc, 0xFFFFF); }, OK},
    {"no file growth", [](Sample &s) { s.put(kSbSizeInc, 0); }, OK},
    {"one-record table", [](Sample &s) { s.put(kSbChunkTtl, 1); }, OK},
    {"table past the end", [](Sample &s) { s.put(kSbChunkTtl, 600); }, BAD},
    {"table unaligned", [](Sample &s) { s.put(kSbChunk, 70); }, BAD},
    {"root outside", [](Sample &s) { s.put(kSbRoot, kEnd - 8); }, BAD},
    {"root is a value", [](Sample &s) { s.put(kSbRoot, s.key); }, OK},
    {"name without NUL", [](Sample &s) { s.put(s.key + kName, kEnd - 8); }, OK},
    {"name outside", [](Sample &s) { s.put(s.str + kName, kEnd + 4); }, OK},
    {"name chunk huge", [](Sample &s) { s.put(s.get(s.key + kName) - 4, 0x7FFFFFF0); }, OK},
    {"slot straddles the end", [](Sample &s) { s.put(s.get(s.dir + kOffset) + 4, kEnd - 12); }, OK},
    {"slot unaligned", [](Sample &s) { s.put(s.get(s.dir + kOffset) + 8, s.key + 2); }, OK},
    {"slot array outside", [](Sample &s) { s.put(s.dir + kOffset, kEnd); }, OK},
    {"slot count past the end", [](Sample &s) { s.put(s.dir + kPages, 0x40000000); }, OK},
    {"directory holding itself", [](Sample &s) { s.put(s.get(s.sub + kOffset), s.sub); }, OK},
    {"directory holding its parent", [](Sample &s) { s.put(s.get(s.sub + kOffset) + 4, s.dir); }, OK},
    {"slots out of order", [](Sample &s) { s.put(s.get(s.dir + kOffset), s.raw); }, OK},
    {"cycle through parents",
     [](Sample &s) { s.put(s.dir + kParent, s.sub), s.put(s.sub + kParent, s.dir); }, OK},
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
    {"table header wrong", [](Sample &s) { s.put(nc::kTableHeaderOffset, 0xFFFFFFFF); }, OK},
    // Made on a machine of the other byte order: every word after the magic
    // swapped. Under emulation the same row checks the other direction.
    {"other byte order",
     [](Sample &s) { for (uint32_t o = 4; o < kEnd; o += 4) std::reverse(&s.b[o], &s.b[o + 4]); }, BAD},
};

Image damaged(Sample s, const Damage &d) { return d.apply(s), s.b; }

TEST(Damaged, EveryDamageGivesFailureResultsNeverACrash) {
  TempDir tmp;
  const Sample sample = makeSample(tmp.file("sample"));
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
    const int rc = (again.setName(path.c_str()), again.open(NC_O_RO));
    EXPECT_TRUE(rc == NC_ERR_OK || rc == NC_ERR_CORRUPT) << rc;
    if (rc == NC_ERR_OK) walk(again);
  }
}

// What the operations answer on some kinds of damage.
TEST(Damaged, ResultsNameTheDamage) {
  TempDir tmp;
  const Sample sample = makeSample(tmp.file("sample"));
  auto opened = [&](const char *what) {  // a handle open read-write on a file with that damage
    const std::string path = tmp.file(what);
    for (const Damage &d : kDamages)
      if (!strcmp(d.what, what)) writeFile(path, damaged(sample, d));
    auto h = std::make_unique<NConfig>(0);
    EXPECT_TRUE(openAs(*h, path, NC_O_RW)) << what;
    return h;
  };
  unsigned v = 0;
  char *s = nullptr;
  auto a = opened("no table growth");
  EXPECT_EQ(a->getKey("/dir/key", v), NC_ERR_OK);       // reads still work
  EXPECT_EQ(a->setKey("/dir/new", 1u), NC_ERR_CORRUPT);  // the allocator cannot
  // Millions of entries per batch: refused before anything changes, as
  // creation refuses to make such a file.
  auto b = opened("huge directory growth");
  EXPECT_EQ(b->setKey("/dir/new", 1u), NC_ERR_CORRUPT);
  EXPECT_EQ(b->setKey("/dir/key", 8u), NC_ERR_OK);  // no insertion needed
  NConfig maker(0);
  ASSERT_EQ(maker.setName(tmp.file("batch").c_str()), NC_ERR_OK);
  EXPECT_EQ(maker.createNew(1, 65537, 16), NC_ERR_NVAL);
  auto c = opened("value outside");
  EXPECT_NE(c->getKey("/dir/key", v), NC_ERR_OK);
  EXPECT_EQ(c->getKey("/dir/str", s), NC_ERR_OK);  // its neighbours are intact
  EXPECT_STREQ(s, "value");
  free(s), s = nullptr;
  EXPECT_EQ(opened("raw length past the end")->getKey("/dir/raw", s, v), NC_ERR_CORRUPT);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(opened("cycle through parents")->chDir("/dir/sub"), NC_ERR_CORRUPT);  // its name never ends
  const auto list = nctest::listing(*opened("name without NUL"), "/dir");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->size(), 3u);  // the unterminated name is left out
}

// Another writer replaces the file under an open handle with a longer one
// whose root lies outside it: the next lock re-maps, finds no root, and every
// operation fails instead of following the old root.
TEST(Damaged, DamageByAnotherWriterIsFoundAtTheNextLock) {
  TempDir tmp;
  const std::string path = tmp.file("sample");
  Sample s = makeSample(path);
  NConfig h(0);
  ASSERT_TRUE(openAs(h, path, NC_O_RW));
  unsigned v = 0;
  ASSERT_EQ(h.getKey("/dir/key", v), NC_ERR_OK);
  s.b.resize(8192);
  s.put(kSbSize, 8192), s.put(kSbRoot, 8192 + 36), s.put(32, s.get(32) + 1);  // modtime moves on
  writeFile(path, s.b);
  EXPECT_EQ(h.getKey("/dir/key", v), NC_ERR_NEXIST);
  EXPECT_EQ(h.ls("/"), nullptr);
  EXPECT_EQ(h.setKey("/dir/key", 1u), NC_ERR_CORRUPT);
  EXPECT_EQ(h.setKey("relative", 1u), NC_ERR_CORRUPT);
  EXPECT_EQ(h.chDir("/dir"), NC_ERR_NEXIST);
}

// Free-space figures are read only inside the image: a table not wholly inside
// is unknown. The buffer is exactly the image, so a read past it is caught.
TEST(Damaged, FreeSpaceFiguresReadOnlyInsideTheImage) {
  std::vector<char> image(96);
  const uint32_t sizes[] = {300, 20, 0, 100};  // records at 64; the first is the largest
  for (uint32_t i = 0; i < 4; i++) memcpy(&image[64 + 8 * i + 4], &sizes[i], 4);
  // chunk, chunk_ttl, then known, bytes, chunks, min, max
  const std::vector<std::vector<uint32_t>> cases = {
      {64, 4, 1, 420, 3, 20, 300}, {72, 3, 1, 120, 2, 20, 20}, {64, 0, 1, 0, 0, 0, 0},
      {64, 5, 0, 0, 0, 0, 0},       {66, 1, 0, 0, 0, 0, 0},     {0xFFFFFFF8, 2, 0, 0, 0, 0, 0},
      {64, 0x20000000, 0, 0, 0, 0, 0}};
  for (const auto &c : cases) {
    nc_sb_s sb{};
    sb.chunk = c[0], sb.chunk_ttl = c[1];
    const nc::FreeSpace f = nc::freeSpace(image.data(), image.size(), sb);
    EXPECT_EQ(std::vector<uint32_t>({f.known, f.bytes, f.chunks, f.min, f.max}),
              std::vector<uint32_t>(c.begin() + 2, c.end()))
        << c[0] << "+" << c[1];
  }
}

// Each input a fuzz target once crashed or hung on, kept as a file, is opened
// and used as the target did.
TEST(Damaged, FuzzFindingsStayFixed) {
  const std::string here = __FILE__, data = here.substr(0, here.rfind('/')) + "/data/fuzz";
  DIR *dir = opendir(data.c_str());
  ASSERT_NE(dir, nullptr) << data;
  TempDir tmp;
  const std::string path = tmp.file("input");
  int inputs = 0;
  while (dirent64 *de = readdir64(dir)) {  // a 32-bit build's readdir fails on 64-bit offsets
    if (de->d_name[0] == '.') continue;
    SCOPED_TRACE(de->d_name);
    writeFile(path, readFile(data + "/" + de->d_name));
    inputs++;
    for (int how : {NC_O_RO, NC_O_RW}) {
      NConfig h(how == NC_O_RW);
      h.setName(path.c_str());
      if (h.open(how) == NC_ERR_OK) how == NC_O_RO ? walk(h) : useEverything(h);
    }
  }
  closedir(dir);
  EXPECT_GT(inputs, 0);
}

}  // namespace
