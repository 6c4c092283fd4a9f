// Tests of the structural checker, on images laid out by ImageBuilder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <random>
#include <set>

#include "image_builder.h"
#include "lib/system/nconfig_check.h"

namespace nctest {
namespace {

nc_check_report check(const Image &img) { return nc_check_image(img.data(), img.size()); }

TEST(CheckFresh, ImagesOfSeveralShapesAreSoundWithoutLeaks) {
  struct Shape { uint32_t resize, dirent, mchunks; };
  for (Shape s : {Shape{1, 8, 16}, Shape{1, 1, 2}, Shape{2, 4, 3}, Shape{4, 16, 64}, Shape{1, 8, 500}}) {
    SCOPED_TRACE(testing::Message() << s.resize << "/" << s.dirent << "/" << s.mchunks);
    Image img = ImageBuilder(s.resize, s.dirent, s.mchunks).image();
    ASSERT_EQ(img.size(), s.resize * 4096u);
    nc_check_report r = check(img);
    EXPECT_TRUE(SoundImage(img, false));
    EXPECT_EQ(r.directories, 1u);
    EXPECT_EQ(r.keys, 0u);
    // Bytes past the recorded size are not part of the registry.
    img.resize(img.size() + 4096, 0xee);
    EXPECT_TRUE(SoundImage(img, false));
  }
}

TEST(CheckFresh, BuilderWritesTheCreationImage) {
  ImageBuilder b(1, 8, 16);
  EXPECT_EQ(memcmp(b.image().data(), "\0\11\22\0", 4), 0);
  const uint32_t sb[9] = {b.get(0), 4096, 8, 16, 1, 16, 68, 36, 0};
  for (uint32_t i = 0; i < 9; i++) EXPECT_EQ(b.get(4 * i), sb[i]) << "superblock word " << i;
  const uint32_t root[6] = {60, NC_DIR, 36, 0, 0, 0};
  for (uint32_t i = 0; i < 6; i++) EXPECT_EQ(b.get(36 + 4 * i), root[i]) << "root word " << i;
  EXPECT_EQ(b.get(60), getWord(Image{'/', 0, 0, 0}, 0));
  EXPECT_EQ(b.get(64), 132u);
  EXPECT_EQ(b.get(68), 196u);
  EXPECT_EQ(b.get(72), 3900u);
  for (uint32_t off = 76; off < 4096; off += 4) ASSERT_EQ(b.get(off), 0u) << off;
}

TEST(CheckTree, HandBuiltTreesAreSoundWithoutLeaks) {
  // ent_inc 2 makes slot arrays grow and release their old chunks; the large
  // raw value makes the file grow.
  ImageBuilder b(1, 2, 256);
  std::mt19937 rng(7);
  std::vector<uint32_t> dirs{ImageBuilder::kRoot};
  uint32_t keys = 0;
  std::set<std::pair<uint32_t, std::string>> used;
  for (int i = 0; i < 120; i++) {
    uint32_t parent = dirs[rng() % dirs.size()];
    std::string name(1 + rng() % 6, 'a');
    for (char &c : name) c = char("abcdefz\x80\xff"[rng() % 9]);
    if (!used.insert({parent, name}).second) continue;
    switch (rng() % 5) {
      case 0: dirs.push_back(b.addDir(parent, name, rng() % 3)); break;
      case 1: b.addString(parent, name, std::string(rng() % 20, 'v')); keys++; break;
      case 2: b.addUint(parent, name, rng()); keys++; break;
      case 3: b.addDouble(parent, name, 0.5); keys++; break;
      case 4: b.addValue(parent, name, NC_RAW, nullptr, 0); keys++; break;
    }
  }
  std::vector<uint8_t> big(10000, 7);
  b.addValue(ImageBuilder::kRoot, "big", NC_RAW, big.data(), uint32_t(big.size()));
  keys++;
  EXPECT_GT(b.image().size(), 4096u);

  nc_check_report r = check(b.image());
  EXPECT_TRUE(SoundImage(b.image(), false));
  EXPECT_EQ(r.directories, dirs.size());
  EXPECT_EQ(r.keys, keys);
}

TEST(CheckTree, SlotOrderIsDescendingWithFreeEntriesLast) {
  ImageBuilder b(1, 8, 16);
  for (const char *n : {"m", "z", "a"}) b.addUint(ImageBuilder::kRoot, n, 1);
  EXPECT_EQ(b.name(b.slotEntry(36, 0)), "z");
  EXPECT_EQ(b.name(b.slotEntry(36, 1)), "m");
  EXPECT_EQ(b.name(b.slotEntry(36, 2)), "a");
  for (uint32_t i = 3; i < 8; i++) EXPECT_EQ(b.get(b.slotEntry(36, i) + 4), 0u);
  EXPECT_EQ(b.get(32), 6u);  // modtime: two per key created
  EXPECT_TRUE(SoundImage(b.image(), false));
}

// The tree every damage case starts from:
//   /z (double), /b = "xyz", /e (directory without slots),
//   /a/u (uint), /a/sub/r (raw), /a/s = "hello"
// plus one released chunk, so the free-chunk table has two records in use.
struct Tree {
  ImageBuilder b{1, 8, 16};
  uint32_t a, s, u, sub, r, bk, z, e;
  Tree() {
    a = b.addDir(36, "a");
    u = b.addUint(a, "u", 42);
    sub = b.addDir(a, "sub");
    r = b.addValue(sub, "r", NC_RAW, "\1\2\3", 3);
    s = b.addString(a, "s", "hello");
    bk = b.addString(36, "b", "xyz");
    z = b.addDouble(36, "z", 2.5);
    e = b.addDir(36, "e");
    b.release(b.alloc(40));
  }
  uint32_t get(uint32_t off) const { return b.get(off); }
  void set(uint32_t off, uint32_t v) { b.set(off, v); }
  uint8_t &byte(uint32_t off) { return b.image()[off]; }
  uint32_t size() const { return uint32_t(b.image().size()); }
};

TEST(CheckDamage, BaseTreeIsSound) {
  Tree t;
  EXPECT_TRUE(SoundImage(t.b.image(), false));
  EXPECT_EQ(t.b.name(t.b.slotEntry(t.a, 0)), "u");
  EXPECT_EQ(t.b.name(t.b.slotEntry(t.a, 1)), "sub");
  EXPECT_EQ(t.b.name(t.b.slotEntry(t.a, 2)), "s");
  EXPECT_NE(t.get(t.b.record(1) + 4), 0u);
  EXPECT_EQ(t.get(t.b.record(2) + 4), 0u);
}

struct DamageCase {
  const char *name;
  std::function<uint32_t(Tree &)> apply;  // damages the tree; returns where
  const char *text;                       // part of the expected finding
};

const DamageCase kDamage[] = {
    // Superblock.
    {"short file", [](Tree &t) { t.b.image().resize(20); return 0u; }, "shorter"},
    {"magic", [](Tree &t) { t.byte(2) = 0x13; return 0u; }, "magic"},
    {"size beyond file", [](Tree &t) { t.set(4, t.size() + 4096); return 4u; }, "exceeds"},
    {"size unaligned", [](Tree &t) { t.set(4, t.size() - 2); return 4u; }, "multiple of 4"},
    {"size too small", [](Tree &t) { t.set(4, 40); return 4u; }, "header area"},
    {"ent_inc 0", [](Tree &t) { t.set(8, 0); return 8u; }, "ent_inc"},
    {"chunk_inc 0", [](Tree &t) { t.set(12, 0); return 12u; }, "chunk_inc"},
    {"size_inc 0", [](Tree &t) { t.set(16, 0); return 16u; }, "size_inc"},
    {"chunk_ttl 1", [](Tree &t) { t.set(20, 1); return 20u; }, "below 2"},
    {"table too large", [](Tree &t) { t.set(20, 0x40000000); return 20u; }, "cannot fit"},
    {"root elsewhere", [](Tree &t) { t.set(28, 40); return 28u; }, "root entry"},
    {"table outside", [](Tree &t) { t.set(24, t.size() + 8); return 24u; }, "outside"},
    {"table unaligned", [](Tree &t) { t.set(24, 70); return 24u; }, "aligned"},
    {"table header", [](Tree &t) { t.set(64, 100); return 64u; }, "header 100, expected 132"},
    // Free-chunk table.
    {"records out of order",
     [](Tree &t) { t.set(t.b.record(1) + 4, t.get(t.b.record(0) + 4) + 8); return t.b.record(1); },
     "follows a smaller"},
    {"record after empty",
     [](Tree &t) { t.set(t.b.record(3), 4000); t.set(t.b.record(3) + 4, 8); return t.b.record(3); },
     "after an empty"},
    {"free area outside",
     [](Tree &t) { t.set(t.b.record(0) + 4, t.get(t.b.record(0) + 4) + 4096); return t.b.record(0); },
     "outside"},
    {"free area unaligned",
     [](Tree &t) { t.set(t.b.record(1), t.get(t.b.record(1)) + 2); return t.b.record(1); },
     "aligned"},
    {"free areas overlap",
     [](Tree &t) { t.set(t.b.record(1), t.get(t.b.record(0)) + 8); return t.get(t.b.record(0)) + 8; },
     "free area"},
    {"free area over a name",
     [](Tree &t) { t.set(t.b.record(1), t.get(t.bk) - 4); t.set(t.b.record(1) + 4, 8); return t.get(t.bk) - 4; },
     "overlaps"},
    // Root.
    {"root name", [](Tree &t) { t.byte(60) = 'x'; return 60u; }, "root name"},
    {"root name offset", [](Tree &t) { t.set(36, 64); return 36u; }, "root name"},
    {"root type", [](Tree &t) { t.set(40, NC_STRING); return 40u; }, "not a directory"},
    {"root parent", [](Tree &t) { t.set(44, 0); return 44u; }, "parent"},
    // Slots and entries.
    {"slot outside", [](Tree &t) { t.set(t.b.slot(36, 0), t.size()); return t.b.slot(36, 0); }, "slot holds"},
    {"slot empty", [](Tree &t) { t.set(t.b.slot(36, 1), 0); return t.b.slot(36, 1); }, "slot holds"},
    {"entry header", [](Tree &t) { t.set(t.bk - 4, 32); return t.bk - 4; }, "entry chunk header 32"},
    {"slots out of order",
     [](Tree &t) {
       uint32_t s0 = t.get(t.b.slot(36, 0));
       t.set(t.b.slot(36, 0), t.get(t.b.slot(36, 1)));
       t.set(t.b.slot(36, 1), s0);
       return t.b.slot(36, 1);
     },
     "sort below"},
    {"used after free",
     [](Tree &t) {
       uint32_t s2 = t.get(t.b.slot(t.a, 2));
       t.set(t.b.slot(t.a, 2), t.get(t.b.slot(t.a, 3)));
       t.set(t.b.slot(t.a, 3), s2);
       return t.b.slot(t.a, 3);
     },
     "after a free entry"},
    {"free entry not zero",
     [](Tree &t) { uint32_t f = t.b.slotEntry(t.a, 4); t.set(f + 20, 1); return f; }, "not all zero"},
    {"wrong parent", [](Tree &t) { t.set(t.s + 8, 36); return t.s + 8; }, "parent"},
    {"entry reached twice",
     [](Tree &t) { t.set(t.b.slot(t.a, 4), t.s); return t.b.slot(t.a, 4); }, "second time"},
    {"cycle to the root",
     [](Tree &t) { t.set(t.b.slot(t.sub, 5), 36); return t.b.slot(t.sub, 5); }, "second time"},
    {"cycle to an ancestor",
     [](Tree &t) { t.set(t.b.slot(t.sub, 0), t.a); return t.b.slot(t.sub, 0); }, "second time"},
    {"unknown type", [](Tree &t) { t.set(t.bk + 4, 9); return t.bk + 4; }, "unknown entry type 9"},
    {"link type", [](Tree &t) { t.set(t.bk + 4, NC_LINK); return t.bk + 4; }, "NC_LINK"},
    // Names.
    {"name unterminated",
     [](Tree &t) { uint32_t n = t.get(t.bk); memset(&t.byte(n), 'b', 4); return n; }, "NUL-terminated"},
    {"name empty", [](Tree &t) { uint32_t n = t.get(t.bk); t.byte(n) = 0; return n; }, "empty name"},
    {"name with slash", [](Tree &t) { uint32_t n = t.get(t.sub); t.byte(n + 1) = '/'; return n; }, "'/'"},
    {"name offset 0", [](Tree &t) { t.set(t.bk, 0); return t.bk; }, "no name chunk"},
    {"name in the header", [](Tree &t) { t.set(t.bk, 60); return 56u; }, "name chunk header 0"},
    // Directories.
    {"slots without array", [](Tree &t) { t.set(t.e + 16, 3); return t.e + 16; }, "without slot array"},
    {"array of 0 slots", [](Tree &t) { t.set(t.sub + 16, 0); return t.sub + 16; }, "0 slots"},
    {"array too small",
     [](Tree &t) { t.set(t.a + 16, 9); return t.get(t.a + 12) - 4; }, "cannot hold 36 bytes"},
    // Values.
    {"value too long", [](Tree &t) { t.set(t.bk + 16, 100); return t.get(t.bk + 12) - 4; }, "cannot hold"},
    {"value past the end",
     [](Tree &t) { uint32_t h = t.get(t.bk + 12) - 4; t.set(h, t.size()); return h; }, "past the end"},
    {"value unaligned",
     [](Tree &t) { t.set(t.bk + 12, t.get(t.bk + 12) + 2); return t.bk + 12; }, "aligned"},
    {"string unterminated",
     [](Tree &t) { uint32_t v = t.get(t.bk + 12); t.byte(v + 3) = 'q'; return v; }, "NUL-terminated"},
    {"string of length 0", [](Tree &t) { t.set(t.bk + 16, 0); return t.bk + 16; }, "length 0"},
    {"number not 8 bytes", [](Tree &t) { t.set(t.z + 16, 4); return t.z + 16; }, "not 8"},
    {"value shared",
     [](Tree &t) { t.set(t.z + 12, t.get(t.u + 12)); return t.get(t.u + 12) - 4; }, "overlaps"},
};

TEST(CheckDamage, EachKindIsFoundWhereItLies) {
  for (const DamageCase &c : kDamage) {
    SCOPED_TRACE(c.name);
    Tree t;
    uint32_t where = c.apply(t);
    nc_check_report r = check(t.b.image());
    EXPECT_FALSE(r.ok());
    bool found = false;
    for (const nc_finding &f : r.damage)
      found |= f.offset == where && f.what.find(c.text) != std::string::npos;
    EXPECT_TRUE(found) << "expected \"" << c.text << "\" at " << where << "\n" << r.describe();
  }
}

TEST(CheckLeaks, UnreferencedChunkIsLeakedNotDamage) {
  Tree t;
  uint32_t lost = t.b.alloc(10);
  nc_check_report r = check(t.b.image());
  EXPECT_TRUE(r.ok()) << r.describe();
  EXPECT_EQ(r.leaked_bytes, 16u);
  ASSERT_EQ(r.leaks.size(), 1u);
  EXPECT_EQ(r.leaks[0].offset, lost - 4);
}

TEST(CheckLeaks, DeletedDirectoryLeavesOnlyItsEntriesLeaked) {
  // Delete /a/sub the way the store does: release the child's chunks, zero
  // it, release the directory's array and name, zero it, compact the parent.
  Tree t;
  t.b.release(t.get(t.r + 12));
  t.b.release(t.get(t.r));
  memset(&t.byte(t.r), 0, 24);
  t.b.release(t.get(t.sub + 12));
  t.b.release(t.get(t.sub));
  memset(&t.byte(t.sub), 0, 24);
  uint32_t array = t.get(t.a + 12);
  for (uint32_t i = 1; i < 7; i++) t.set(array + 4 * i, t.get(array + 4 * (i + 1)));
  t.set(array + 28, t.sub);
  nc_check_report r = check(t.b.image());
  EXPECT_TRUE(r.ok()) << r.describe();
  EXPECT_EQ(r.leaked_bytes, 8u * 28);  // sub's eight entry chunks
  EXPECT_EQ(r.directories, 3u);
  EXPECT_EQ(r.keys, 4u);
}

TEST(CheckLeaks, TouchingFreeAreasAreSound) {
  Tree t;
  uint32_t p = t.b.alloc(8), q = t.b.alloc(8);
  t.b.release(p);
  t.b.release(q);
  EXPECT_EQ(p + 12, q);
  EXPECT_TRUE(SoundImage(t.b.image(), false));
}

TEST(CheckFile, ReadsFilesAndReportsUnreadableOnes) {
  char path[] = "/tmp/nc_check_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  Tree t;
  ASSERT_TRUE(t.b.save(path));
  EXPECT_TRUE(SoundFile(path, false));
  EXPECT_EQ(readImage(path), t.b.image());
  unlink(path);
  nc_check_report r = nc_check_file(path);
  ASSERT_EQ(r.damage.size(), 1u);
  EXPECT_EQ(r.damage[0].offset, 0u);
}

// Mutates a sound image at random (words set to random, small or borrowed
// values, bytes flipped, the length cut) and checks that the checker always
// returns with a consistent report. Runs under the sanitizers in CI.
TEST(CheckFuzz, RandomMutationsNeverCrash) {
  Tree t;
  const Image base = t.b.image();
  // Most mutations land where the tree lies, in front of the free space.
  const uint32_t words = t.get(t.b.record(0)) / 4 + 4;
  size_t damaged = 0;
  for (uint32_t seed = 1; seed <= 4000; seed++) {
    std::mt19937 rng(seed);
    Image img = base;
    for (int n = 1 + rng() % 8; n > 0; n--) {
      uint32_t at = 4 * (rng() % words);
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
    nc_check_report r = check(img);
    ASSERT_LE(r.leaked_bytes, img.size()) << "seed " << seed;
    r.describe();
    damaged += !r.ok();
  }
  EXPECT_GT(damaged, 1000u);

  // Random bytes behind a good magic.
  for (uint32_t seed = 1; seed <= 500; seed++) {
    std::mt19937 rng(seed);
    Image img(4 * (rng() % 1024));
    for (size_t i = 0; i + 4 <= img.size(); i += 4) setWord(img, uint32_t(i), rng() % 4 ? rng() % 4096 : rng());
    if (img.size() >= 8) {
      memcpy(img.data(), NC_SB_MAGIC, 4);
      setWord(img, 4, uint32_t(img.size()));
    }
    check(img);
  }
}

}  // namespace
}  // namespace nctest
