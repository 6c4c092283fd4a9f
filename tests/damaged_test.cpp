// Damaged registry images. One table of every kind of damage the format can
// carry: the structural checker must find each where it lies, and the store,
// opening the same bytes, must refuse them or read and write them safely: no
// crash, hang, or change outside the view. Also random mutations for the
// checker and the inputs the fuzzers found for the store.

#include "image_builder.h"
#include "test_util.h"

namespace nctest {
namespace {

nc_check_report check(const Image &img) { return nc_check_image(img.data(), img.size()); }

// Walks the whole tree; a damaged tree may be cyclic, hence the bounds.
void walk(NConfig &h) { TreeWalk(h, 8, 500).run(); }

// Everything a user can do to an open file, reads first, then writes, on the
// entries of Tree below so that the writes reach the damaged structures.
void useEverything(NConfig &h) {
  walk(h);
  readAllWays(h, "/..");
  h.setKey("/a/u", 5u), h.setKey("/a/s", "a string long enough to need a new chunk"), h.setKey("/a/s", "s");
  h.setKey("/a/sub/r", "\1\2", 2), h.setKey("/new/deep/key", 1.25), h.createDir("/a", 40);
  h.renameKey("/a/u", "other"), h.renameKey("/a/s", "a-much-longer-name-than-before");
  walk(h);
  h.delKey("/a/sub"), h.delKey("/a");
  testing::internal::CaptureStderr();
  h.status();
  testing::internal::GetCapturedStderr();
}

// Field offsets: in entries, in the superblock.
constexpr uint32_t kName = 0, kType = 4, kParent = 8, kOffset = 12, kPages = 16;
constexpr uint32_t kSbSize = 4, kSbEntInc = 8, kSbChunkInc = 12, kSbSizeInc = 16, kSbChunkTtl = 20,
                   kSbChunk = 24, kSbRoot = 28, kEnd = 4096;

// The one-page image every damage starts from.
using Tree = SampleTree;

// A kind of damage: how it is made (returning where it lies), part of what the
// checker says there, what open answers, and what else the store must answer
// on it, read-write.
// (A null finding: the checker finds nothing wrong.)
struct Damage { const char *what; uint32_t (*apply)(Tree &); const char *finding; int open_result;
                void (*then)(NConfig &) = nullptr; };
constexpr int OK = NC_ERR_OK, BAD = NC_ERR_CORRUPT;
const Damage kDamages[] = {
    // Superblock.
    {"short file", [](Tree &t) { t.b.image().resize(20); return 0u; }, "shorter", BAD},
    {"wrong magic", [](Tree &t) { t.byte(2) = 0x13; return 0u; }, "magic", BAD},
    {"size beyond the file", [](Tree &t) { return t.set(kSbSize, kEnd + 4096); }, "exceeds", BAD},
    {"size unaligned", [](Tree &t) { return t.set(kSbSize, kEnd - 3); }, "multiple of 4", BAD},
    {"size in the header area", [](Tree &t) { return t.set(kSbSize, 40); }, "header area", BAD},
    {"size cuts the tree", [](Tree &t) { t.set(kSbSize, 512); return t.rec(0); }, "outside", OK},
    {"no directory growth", [](Tree &t) { return t.set(kSbEntInc, 0); }, "ent_inc", OK},
    {"huge directory growth", [](Tree &t) { return t.set(kSbEntInc, 0x720004); }, nullptr, OK,
     [](NConfig &h) {  // millions of entries per batch: refused before anything changes
       EXPECT_EQ(h.setKey("/e/new", 1u), BAD);
       EXPECT_EQ(h.setKey("/a/u", 8u), OK);  // no insertion needed (creation refuses such a file: handle_test)
     }},
    {"no table growth", [](Tree &t) { return t.set(kSbChunkInc, 0); }, "chunk_inc is 0", OK,
     [](NConfig &h) { EXPECT_EQ(valueOf(h, "/a/s"), "hello"); EXPECT_EQ(h.setKey("/e/new", 1u), BAD); }},  // reads work
    {"huge file growth", [](Tree &t) { return t.set(kSbSizeInc, 0xFFFFF); }, nullptr, OK},
    {"no file growth", [](Tree &t) { return t.set(kSbSizeInc, 0); }, "size_inc is 0", OK},
    {"one-record table", [](Tree &t) { return t.set(kSbChunkTtl, 1); }, "below 2", OK},
    {"table past the end", [](Tree &t) { return t.set(kSbChunkTtl, 600); }, "cannot fit", BAD},
    {"table size overflows", [](Tree &t) { return t.set(kSbChunkTtl, 0x40000000); }, "cannot fit", BAD},
    {"table unaligned", [](Tree &t) { return t.set(kSbChunk, 70); }, "not word aligned", BAD},
    {"table outside", [](Tree &t) { return t.set(kSbChunk, kEnd + 8); }, "outside", BAD},
    {"table header", [](Tree &t) { return t.set(64, 100); }, "header 100, expected 132", OK},
    {"root in the header", [](Tree &t) { return t.set(kSbRoot, 40); }, "root entry", OK},
    {"root straddles the end", [](Tree &t) { return t.set(kSbRoot, kEnd - 8); }, "root entry", BAD},
    {"root is a value", [](Tree &t) { return t.set(kSbRoot, t.u); }, "root entry", OK},
    // Free-chunk table.
    {"records out of order", [](Tree &t) { return t.set(t.rec(1) + 4, t.recSize(0) + 8) - 4; }, "smaller", OK},
    {"record after empty", [](Tree &t) { t.set(t.rec(3) + 4, 8); return t.set(t.rec(3), 4000); },
     "after an empty", OK},
    {"free area outside", [](Tree &t) { return t.set(t.rec(0) + 4, t.recSize(0) + 4096) - 4; }, "outside", OK},
    {"free area over the header", [](Tree &t) { t.set(t.rec(0), 0); return 0u; }, "overlaps header", OK},
    {"free area over a name",
     [](Tree &t) { t.set(t.rec(1) + 4, 8); return t.get(t.set(t.rec(1), t.get(t.bk) - 4)); }, "overlaps", OK},
    {"free area over a directory", [](Tree &t) { t.set(t.rec(0), t.a - 4); return t.a - 4; }, "entry chunk", OK},
    // Root.
    {"root name", [](Tree &t) { t.byte(60) = 'x'; return 60u; }, "root name", OK},
    {"root type", [](Tree &t) { return t.set(40, NC_STRING); }, "not a directory", OK},
    {"root parent", [](Tree &t) { return t.set(44, 0); }, "parent", OK},
    // Slots and entries.
    {"slot outside", [](Tree &t) { return t.set(t.slot(36, 0), kEnd); }, "slot holds", OK},
    {"slot straddles the end", [](Tree &t) { return t.set(t.slot(t.a, 1), kEnd - 12); }, "slot holds", OK},
    {"slot unaligned", [](Tree &t) { return t.set(t.slot(t.a, 2), t.u + 2); }, "slot holds", OK},
    {"slot array outside", [](Tree &t) { t.set(t.a + kOffset, kEnd); return kEnd - 4; }, "header 0", OK},
    {"slot count past the end", [](Tree &t) { t.set(t.a + kPages, 0x40000000); return t.value(t.a) - 4; },
     "cannot hold 4294967296", OK},
    {"entry header", [](Tree &t) { return t.set(t.bk - 4, 32); }, "entry chunk header 32", OK},
    {"slots out of order", [](Tree &t) { return t.swap(36, 0, 1); }, "sort below", OK},
    {"used after free", [](Tree &t) { return t.swap(t.a, 2, 3); }, "after a free entry", OK},
    {"free entry dirty", [](Tree &t) { return t.set(t.slotEntry(t.a, 4) + 20, 1) - 20; }, "not all zero", OK},
    {"wrong parent", [](Tree &t) { return t.set(t.s + kParent, 36); }, "parent", OK},
    {"parent outside", [](Tree &t) { return t.set(t.sub + kParent, kEnd + 36); }, "parent is 4132", OK},
    {"cycle through parents", [](Tree &t) { t.set(t.sub + kParent, t.a); return t.set(t.a + kParent, t.sub); },
     "parent", OK, [](NConfig &h) { EXPECT_EQ(h.chDir("/a/sub"), BAD); }},  // its name never ends
    {"directory holding itself", [](Tree &t) { return t.set(t.slot(t.sub, 0), t.sub); }, "second time", OK},
    {"directory holding its parent", [](Tree &t) { return t.set(t.slot(t.sub, 0), t.a); }, "second time", OK},
    {"unknown type", [](Tree &t) { return t.set(t.bk + kType, 9); }, "unknown entry type 9", OK},
    {"directory typed as a value", [](Tree &t) { return t.set(t.a + kType, NC_RAW); }, nullptr, OK},
    // Names.
    {"name unterminated", [](Tree &t) { memset(&t.byte(t.get(t.bk)), 'b', 4); return t.get(t.bk); },
     "NUL-terminated", OK},
    {"name without NUL at the end", [](Tree &t) { t.set(t.u + kName, t.tail(8)); return kEnd - 12; },
     "name chunk header 0", OK, [](NConfig &h) {  // the unterminated name is left out of a listing
       const auto list = listing(h, "/a");
       EXPECT_EQ(list ? list->size() : 0u, 2u); }},
    {"name outside", [](Tree &t) { return t.set(t.s + kName, kEnd + 4); }, "outside", OK},
    {"name chunk huge", [](Tree &t) { return t.set(t.get(t.u) - 4, 0x7FFFFFF0); }, "past the end", OK},
    {"name empty", [](Tree &t) { t.byte(t.get(t.bk)) = 0; return t.get(t.bk); }, "empty name", OK},
    {"name with slash", [](Tree &t) { t.byte(t.get(t.sub) + 1) = '/'; return t.get(t.sub); }, "'/'", OK},
    {"name offset 0", [](Tree &t) { return t.set(t.bk, 0); }, "no name chunk", OK},
    {"name in the header", [](Tree &t) { t.set(t.bk, 60); return 56u; }, "name chunk header 0", OK},
    // Directories.
    {"slots without array", [](Tree &t) { return t.set(t.e + kPages, 3); }, "without slot array", OK},
    {"array too small", [](Tree &t) { t.set(t.a + kPages, 9); return t.value(t.a) - 4; }, "cannot hold 36", OK},
    // Values.
    {"value outside", [](Tree &t) { t.set(t.u + kOffset, kEnd - 4); return kEnd - 8; }, "header 0", OK,
     [](NConfig &h) {  // its neighbours are intact
       unsigned v = 0;
       EXPECT_NE(h.getKey("/a/u", v), OK);
       EXPECT_EQ(valueOf(h, "/a/s"), "hello"); }},
    {"value in the superblock", [](Tree &t) { t.set(t.s + kOffset, 8); return 4u; }, "past the end", OK},
    {"value too long", [](Tree &t) { t.set(t.bk + kPages, 100); return t.value(t.bk) - 4; }, "cannot hold", OK},
    {"raw length past the end", [](Tree &t) { t.set(t.r + kPages, 0xFFFFFFF0); return t.value(t.r) - 4; },
     "cannot hold 4294967280", OK, [](NConfig &h) {
       unsigned v = 0;
       char *s = nullptr;
       EXPECT_EQ(h.getKey("/a/sub/r", s, v), BAD);
       EXPECT_EQ(s, nullptr); }},
    {"value past the end", [](Tree &t) { return t.set(t.value(t.bk) - 4, kEnd); }, "past the end", OK},
    {"value chunk huge", [](Tree &t) { return t.set(t.value(t.s) - 4, 0xFFFFFFF0); }, "past the end", OK},
    {"value chunk header zero", [](Tree &t) { return t.set(t.value(t.s) - 4, 0); }, "header 0", OK},
    {"string unterminated", [](Tree &t) { t.byte(t.value(t.bk) + 3) = 'q'; return t.value(t.bk); },
     "NUL-terminated", OK},
    {"string without NUL at the end", [](Tree &t) { t.set(t.s + kOffset, t.tail(16)); return kEnd - 20; },
     "header 0", OK},
    {"number not 8 bytes", [](Tree &t) { return t.set(t.z + kPages, 4); }, "not 8", OK},
    // Made on a machine of the other byte order: the checker reads it swapped
    // and finds it sound, and the store opens it. Under emulation the same
    // row checks the other direction.
    {"other byte order", [](Tree &t) {
       EXPECT_EQ(nc::swapOrder(reinterpret_cast<char *>(&t.byte(0)), kEnd, nc::hostIsBig()), "");
       return 0u; }, nullptr, OK},
    {"other byte order, damaged", [](Tree &t) {
       const uint32_t where = t.slot(36, 0);
       EXPECT_EQ(nc::swapOrder(reinterpret_cast<char *>(&t.byte(0)), kEnd, nc::hostIsBig()), "");
       std::reverse(&t.byte(where), &t.byte(where) + 4);  // a slot left in this machine's order
       return where; }, "slot holds", BAD},
};

// The checker accepts what the store makes: the model run checks every image
// the store leaves; these are images laid out without the store.
TEST(Check, FreshAndHandBuiltImagesAreSoundWithoutLeaks) {
  for (auto [resize, dirent, mchunks] : {std::tuple{1, 1, 2}, {4, 16, 64}, {1, 8, 500}}) {
    Image img = ImageBuilder(resize, dirent, mchunks).image();
    img.resize(img.size() + 4096, 0xee);  // bytes past the recorded size are not looked at
    EXPECT_TRUE(sound(img.data(), img.size(), false)) << resize << "/" << dirent << "/" << mchunks;
  }
  const nc_check_report r = check(Tree().b.image());
  EXPECT_TRUE(r.ok() && r.leaked_bytes == 0 && r.directories == 4 && r.keys == 5) << r.describe();
}

TEST(Damaged, EachKindIsFoundWhereItLiesAndGivesFailureResultsNeverACrash) {
  TempDir tmp;
  const std::string path = tmp.file("damaged");
  int careful = 0;
  for (const Damage &d : kDamages) {
    SCOPED_TRACE(d.what);
    Tree t;
    const uint32_t where = d.apply(t);
    const Image bytes = t.b.image();
    const nc_check_report r = check(bytes);
    bool found = !d.finding && r.ok();
    for (const nc_finding &f : r.damage)
      found |= d.finding && f.offset == where && f.what.find(d.finding) != std::string::npos;
    EXPECT_TRUE(found) << "expected \"" << (d.finding ? d.finding : "no damage") << "\" at " << where
                       << "\n" << r.describe();

    writeFile(path, bytes);
    for (int how : {NC_O_RO, NC_O_RW}) {
      NConfig h(careful++ % 3 == 0);
      ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
      ASSERT_EQ(h.open(how), d.open_result);
      if (d.open_result == BAD) { EXPECT_EQ(h.setKey("/x", 1), NC_ERR_NFILE); }  // still closed
      if (how == NC_O_RW && d.then) d.then(h);
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

// Another writer replaces the file under an open handle with a longer one
// whose root lies outside it: the next lock re-maps, finds no root, and every
// operation fails instead of following the old root.
TEST(Damaged, DamageByAnotherWriterIsFoundAtTheNextLock) {
  TempDir tmp;
  const std::string path = tmp.file("sample");
  Tree t;
  writeFile(path, t.b.image());
  NConfig h(0);
  ASSERT_TRUE(openAs(h, path, NC_O_RW));
  unsigned v = 0;
  ASSERT_EQ(h.getKey("/a/u", v), NC_ERR_OK);
  t.b.image().resize(8192);
  t.set(kSbSize, 8192), t.set(kSbRoot, 8192 + 36), t.set(32, t.get(32) + 1);  // and modtime moves on
  writeFile(path, t.b.image());
  EXPECT_EQ(h.getKey("/a/u", v), NC_ERR_NEXIST);
  EXPECT_EQ(h.ls("/"), nullptr);
  EXPECT_EQ(h.setKey("/a/u", 1u), NC_ERR_CORRUPT);
  EXPECT_EQ(h.setKey("relative", 1u), NC_ERR_CORRUPT);
  EXPECT_EQ(h.chDir("/a"), NC_ERR_NEXIST);
}

TEST(Check, LeaksAreReportedApartFromDamage) {
  Tree t;
  t.b.release(t.b.alloc(8));  // touching free areas are sound
  t.b.release(t.b.alloc(8));
  const uint32_t lost = t.b.alloc(10);
  nc_check_report r = check(t.b.image());
  EXPECT_TRUE(r.ok() && r.leaked_bytes == 16) << r.describe();
  ASSERT_EQ(r.leaks.size(), 1u);
  EXPECT_EQ(r.leaks[0].offset, lost - 4);

  r = nc_check_file("/nonexistent/registry");  // an unreadable file is damage at 0
  ASSERT_EQ(r.damage.size(), 1u);
  EXPECT_EQ(r.damage[0].offset, 0u);
}

// Random mutations of a sound image: the checker always returns with a
// consistent report. Runs under the sanitizers too.
TEST(Check, RandomMutationsNeverCrash) {
  const Image base = Tree().b.image();
  const uint32_t words = getWord(base, Tree().rec(0)) / 4 + 4;  // where the tree lies
  size_t damaged = 0;
  for (uint32_t seed = 1; seed <= 1500; seed++) {
    std::mt19937 rng(seed);
    Image img = base;
    for (int n = 1 + rng() % 8; n > 0; n--) {
      const uint32_t at = 4 * (rng() % words);
      if (at + 4 > img.size()) continue;
      switch (rng() % 6) {
        case 0: setWord(img, at, rng()); break;
        case 1: setWord(img, at, rng() % 80); break;
        case 2: setWord(img, at, getWord(img, 4 * (rng() % words))); break;
        case 3: setWord(img, at, getWord(img, at) + 4 * (rng() % 9) - 16); break;
        case 4: img[at + rng() % 4] ^= uint8_t(1u << (rng() % 8)); break;
        case 5: img.resize(rng() % img.size()); break;
      }
    }
    const nc_check_report r = check(img);
    ASSERT_LE(r.leaked_bytes, img.size()) << "seed " << seed;
    r.describe();
    damaged += !r.ok();
  }
  EXPECT_GT(damaged, 375u);
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
    sb.chunk = c[0];
    sb.chunk_ttl = c[1];
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
}  // namespace nctest
