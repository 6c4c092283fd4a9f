// The structural checker, on images laid out by ImageBuilder without the store.
#include <random>

#include "image_builder.h"
#include "test_util.h"

namespace nctest {
namespace {

nc_check_report check(const Image &img) { return nc_check_image(img.data(), img.size()); }

// The tree every damage case starts from:
//   /z (double), /b = "xyz", /e (directory without slots),
//   /a/u (uint), /a/sub/r (raw), /a/s = "hello"
// plus one released chunk, so the free-chunk table has two records in use.
struct Tree {
  ImageBuilder b{1, 8, 16};
  uint32_t a, s, u, sub, r, bk, z, e;
  Tree() {
    const uint64_t u42 = 42;
    const double z25 = 2.5;
    a = b.addDir(36, "a"), u = b.addValue(a, "u", NC_UINT, &u42, 8), sub = b.addDir(a, "sub");
    r = b.addValue(sub, "r", NC_RAW, "\1\2\3", 3), s = b.addValue(a, "s", NC_STRING, "hello", 6);
    bk = b.addValue(36, "b", NC_STRING, "xyz", 4), z = b.addValue(36, "z", NC_DOUBLE, &z25, 8);
    e = b.addDir(36, "e");
    b.release(b.alloc(40));
  }
  uint32_t get(uint32_t off) const { return b.get(off); }
  uint32_t set(uint32_t off, uint32_t v) { return b.set(off, v), off; }  // returns `off`
  uint8_t &byte(uint32_t off) { return b.image()[off]; }
  uint32_t size() const { return uint32_t(b.image().size()); }
  uint32_t rec(uint32_t i) const { return b.record(i); }
  uint32_t recSize(uint32_t i) const { return get(rec(i) + 4); }
  // Swaps slots i and j of `dir`; returns where slot j lies.
  uint32_t swap(uint32_t dir, uint32_t i, uint32_t j) {
    const uint32_t x = get(b.slot(dir, i));
    return set(b.slot(dir, i), get(b.slot(dir, j))), set(b.slot(dir, j), x);
  }
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
  EXPECT_TRUE(r.ok() && r.leaked_bytes == 0) << r.describe();
  EXPECT_EQ(r.directories, 4u);
  EXPECT_EQ(r.keys, 5u);
}

// A kind of damage: how it is made (returning where it lies), part of what the checker says.
struct DamageCase { const char *name; uint32_t (*apply)(Tree &); const char *text; };

const DamageCase kDamage[] = {
    // Superblock.
    {"short file", [](Tree &t) { t.b.image().resize(20); return 0u; }, "shorter"},
    {"magic", [](Tree &t) { t.byte(2) = 0x13; return 0u; }, "magic"},
    {"size beyond file", [](Tree &t) { return t.set(4, t.size() + 4096); }, "exceeds"},
    {"size too small", [](Tree &t) { return t.set(4, 40); }, "header area"},
    {"ent_inc 0", [](Tree &t) { return t.set(8, 0); }, "ent_inc"},
    {"chunk_ttl 1", [](Tree &t) { return t.set(20, 1); }, "below 2"},
    {"table too large", [](Tree &t) { return t.set(20, 0x40000000); }, "cannot fit"},
    {"root elsewhere", [](Tree &t) { return t.set(28, 40); }, "root entry"},
    {"table outside", [](Tree &t) { return t.set(24, t.size() + 8); }, "outside"},
    {"table header", [](Tree &t) { return t.set(64, 100); }, "header 100, expected 132"},
    // Free-chunk table.
    {"records out of order", [](Tree &t) { return t.set(t.rec(1) + 4, t.recSize(0) + 8) - 4; },
     "follows a smaller"},
    {"record after empty", [](Tree &t) { t.set(t.rec(3) + 4, 8); return t.set(t.rec(3), 4000); },
     "after an empty"},
    {"free area outside", [](Tree &t) { return t.set(t.rec(0) + 4, t.recSize(0) + 4096) - 4; },
     "outside"},
    {"free area over a name",
     [](Tree &t) { t.set(t.rec(1) + 4, 8); return t.get(t.set(t.rec(1), t.get(t.bk) - 4)); }, "overlaps"},
    // Root.
    {"root name", [](Tree &t) { t.byte(60) = 'x'; return 60u; }, "root name"},
    {"root type", [](Tree &t) { return t.set(40, NC_STRING); }, "not a directory"},
    {"root parent", [](Tree &t) { return t.set(44, 0); }, "parent"},
    // Slots and entries.
    {"slot outside", [](Tree &t) { return t.set(t.b.slot(36, 0), t.size()); }, "slot holds"},
    {"entry header", [](Tree &t) { return t.set(t.bk - 4, 32); }, "entry chunk header 32"},
    {"slots out of order", [](Tree &t) { return t.swap(36, 0, 1); }, "sort below"},
    {"used after free", [](Tree &t) { return t.swap(t.a, 2, 3); }, "after a free entry"},
    {"free entry dirty", [](Tree &t) { return t.set(t.b.slotEntry(t.a, 4) + 20, 1) - 20; }, "not all zero"},
    {"wrong parent", [](Tree &t) { return t.set(t.s + 8, 36); }, "parent"},
    {"cycle to an ancestor", [](Tree &t) { return t.set(t.b.slot(t.sub, 0), t.a); }, "second time"},
    {"unknown type", [](Tree &t) { return t.set(t.bk + 4, 9); }, "unknown entry type 9"},
    // Names.
    {"name unterminated", [](Tree &t) { memset(&t.byte(t.get(t.bk)), 'b', 4); return t.get(t.bk); },
     "NUL-terminated"},
    {"name empty", [](Tree &t) { t.byte(t.get(t.bk)) = 0; return t.get(t.bk); }, "empty name"},
    {"name with slash", [](Tree &t) { t.byte(t.get(t.sub) + 1) = '/'; return t.get(t.sub); }, "'/'"},
    {"name offset 0", [](Tree &t) { return t.set(t.bk, 0); }, "no name chunk"},
    {"name in the header", [](Tree &t) { t.set(t.bk, 60); return 56u; }, "name chunk header 0"},
    // Directories.
    {"slots without array", [](Tree &t) { return t.set(t.e + 16, 3); }, "without slot array"},
    {"array too small", [](Tree &t) { t.set(t.a + 16, 9); return t.get(t.a + 12) - 4; }, "cannot hold 36"},
    // Values.
    {"value too long", [](Tree &t) { t.set(t.bk + 16, 100); return t.get(t.bk + 12) - 4; }, "cannot hold"},
    {"value past the end", [](Tree &t) { return t.set(t.get(t.bk + 12) - 4, t.size()); }, "past the end"},
    {"string unterminated", [](Tree &t) { t.byte(t.get(t.bk + 12) + 3) = 'q'; return t.get(t.bk + 12); },
     "NUL-terminated"},
    {"number not 8 bytes", [](Tree &t) { return t.set(t.z + 16, 4); }, "not 8"},
};

TEST(Check, EachKindOfDamageIsFoundWhereItLies) {
  for (const DamageCase &c : kDamage) {
    Tree t;
    const uint32_t where = c.apply(t);
    const nc_check_report r = check(t.b.image());
    bool found = false;
    for (const nc_finding &f : r.damage)
      found |= f.offset == where && f.what.find(c.text) != std::string::npos;
    EXPECT_TRUE(found) << c.name << ": expected \"" << c.text << "\" at " << where << "\n" << r.describe();
  }
}

TEST(Check, LeaksAreReportedApartFromDamage) {
  Tree t;
  t.b.release(t.b.alloc(8)), t.b.release(t.b.alloc(8));  // touching free areas are sound
  const uint32_t lost = t.b.alloc(10);
  nc_check_report r = check(t.b.image());
  EXPECT_TRUE(r.ok()) << r.describe();
  EXPECT_EQ(r.leaked_bytes, 16u);
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

}  // namespace
}  // namespace nctest
