// Damaged registry files: every kind of broken link the format can carry is
// opened, walked through every reader and written to, and must give failure
// results, never a crash, a hang, or a change outside the view. Also files
// made on a machine of the other byte order, and the inputs the fuzzers found.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "internal.h"
#include "test_util.h"

namespace {

uint32_t get32(const std::vector<unsigned char> &b, uint32_t off) {
  uint32_t w;
  memcpy(&w, b.data() + off, 4);
  return w;
}
void put32(std::vector<unsigned char> &b, uint32_t off, uint32_t v) { memcpy(b.data() + off, &v, 4); }
uint32_t swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

void freeList(nc_ls_s *l) {
  if (!l) return;
  for (nc_ls_s *p = l; p->name; p++) free(p->name);
  free(l);
}

// Reads `path` through every typed getter.
void readAllWays(NConfig &h, const char *path) {
  unsigned long long ull;
  unsigned ui;
  long long ll;
  int i;
  long double ld;
  double d;
  h.getKey(path, ull);
  h.getKey(path, ui);
  h.getKey(path, ll);
  h.getKey(path, i);
  h.getKey(path, ld);
  h.getKey(path, d);
  char *s = nullptr;
  if (h.getKey(path, s) == NC_ERR_OK) free(s);
  unsigned len;
  char *raw = nullptr;
  if (h.getKey(path, raw, len) == NC_ERR_OK) free(raw);
}

// Walks the tree below `path` through listings, getters and the current
// directory; a damaged tree may be cyclic, so depth and visits are bounded.
// Returns the number of entries visited.
int walk(NConfig &h, const std::string &path, int depth = 0) {
  static int visits;
  if (depth == 0) visits = 0;
  nc_ls_s *list = h.ls(path.c_str());
  for (nc_ls_s *p = list; p && p->name && visits < 500; p++) {
    visits++;
    const std::string child = (path == "/" ? "/" : path + "/") + p->name;
    readAllWays(h, child.c_str());
    if (p->type == NC_DIR && depth < 8) {
      if (h.chDir(child.c_str()) == NC_ERR_OK) {
        free(h.pwDir());
        freeList(h.ls(nullptr));
        h.chDir("..");
        h.chDir("/");
      }
      walk(h, child, depth + 1);
    }
  }
  freeList(list);
  return visits;
}

// Everything a user can do to an open file, reads first, then writes.
void useEverything(NConfig &h) {
  walk(h, "/");
  readAllWays(h, "/..");
  h.setKey("/dir/key", 5u);
  h.setKey("/dir/str", "a string long enough to need a new chunk");
  h.setKey("/dir/str", "s");
  h.setKey("/dir/raw", "\1\2", 2);
  h.setKey("/new/deep/key", 1.25);
  h.createDir("/dir", 40);
  h.renameKey("/dir/key", "other");
  h.renameKey("/dir/str", "a-much-longer-name-than-before");
  walk(h, "/");
  h.delKey("/dir/sub");
  h.delKey("/dir");
  testing::internal::CaptureStderr();
  h.status();
  testing::internal::GetCapturedStderr();
}

// A registry with directories, every value type and a few deletions, and
// where its parts lie.
struct Sample {
  std::vector<unsigned char> image;
  uint32_t dir, key, str, raw, sub;  // entry offsets
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
    s.dir = h.offsetOf(h.find("/dir"));
    s.key = h.offsetOf(h.find("/dir/key"));
    s.str = h.offsetOf(h.find("/dir/str"));
    s.raw = h.offsetOf(h.find("/dir/raw"));
    s.sub = h.offsetOf(h.find("/dir/sub"));
  }
  s.image = readFile(path);
  return s;
}

// Field offsets inside records.
constexpr uint32_t kName = 0, kType = 4, kParent = 8, kOffset = 12, kPages = 16;
constexpr uint32_t kSbSize = 4, kSbEntInc = 8, kSbChunkInc = 12, kSbSizeInc = 16,
                   kSbChunkTtl = 20, kSbChunk = 24, kSbRoot = 28;

struct Damage {
  const char *what;
  std::function<void(std::vector<unsigned char> &, const Sample &)> apply;
  int open_result;  // what open answers
};

std::vector<Damage> damages() {
  using Img = std::vector<unsigned char>;
  const uint32_t end = 4096;
  return {
      // The superblock: each field out of range.
      {"size larger than the file", [](Img &b, const Sample &) { put32(b, kSbSize, 8192); },
       NC_ERR_CORRUPT},
      {"size zero", [](Img &b, const Sample &) { put32(b, kSbSize, 0); }, NC_ERR_CORRUPT},
      {"size unaligned", [](Img &b, const Sample &) { put32(b, kSbSize, 4093); }, NC_ERR_CORRUPT},
      {"size inside the header", [](Img &b, const Sample &) { put32(b, kSbSize, 40); },
       NC_ERR_CORRUPT},
      {"size cuts the table", [](Img &b, const Sample &) { put32(b, kSbSize, 80); },
       NC_ERR_CORRUPT},
      {"size cuts the tree", [](Img &b, const Sample &) { put32(b, kSbSize, 512); }, NC_ERR_OK},
      {"no directory growth", [](Img &b, const Sample &) { put32(b, kSbEntInc, 0); }, NC_ERR_OK},
      {"huge directory growth",
       [](Img &b, const Sample &) { put32(b, kSbEntInc, 0x720004); }, NC_ERR_OK},
      {"no table growth", [](Img &b, const Sample &) { put32(b, kSbChunkInc, 0); }, NC_ERR_OK},
      {"no file growth", [](Img &b, const Sample &) { put32(b, kSbSizeInc, 0); }, NC_ERR_OK},
      {"huge file growth", [](Img &b, const Sample &) { put32(b, kSbSizeInc, 0xFFFFF); },
       NC_ERR_OK},
      {"empty table", [](Img &b, const Sample &) { put32(b, kSbChunkTtl, 0); }, NC_ERR_OK},
      {"one-record table", [](Img &b, const Sample &) { put32(b, kSbChunkTtl, 1); }, NC_ERR_OK},
      {"table past the end", [](Img &b, const Sample &) { put32(b, kSbChunkTtl, 600); },
       NC_ERR_CORRUPT},
      {"table at 0", [](Img &b, const Sample &) { put32(b, kSbChunk, 0); }, NC_ERR_CORRUPT},
      {"table unaligned", [](Img &b, const Sample &) { put32(b, kSbChunk, 70); },
       NC_ERR_CORRUPT},
      {"table outside", [=](Img &b, const Sample &) { put32(b, kSbChunk, end); }, NC_ERR_CORRUPT},
      {"root at 0", [](Img &b, const Sample &) { put32(b, kSbRoot, 0); }, NC_ERR_CORRUPT},
      {"root outside", [=](Img &b, const Sample &) { put32(b, kSbRoot, end - 8); },
       NC_ERR_CORRUPT},
      {"root unaligned", [](Img &b, const Sample &) { put32(b, kSbRoot, 37); }, NC_ERR_CORRUPT},
      {"root is a value", [](Img &b, const Sample &s) { put32(b, kSbRoot, s.key); }, NC_ERR_OK},
      {"root is a free area", [](Img &b, const Sample &) { put32(b, kSbRoot, end - 64); },
       NC_ERR_OK},

      // Names.
      {"name without NUL at the end of the file",
       [=](Img &b, const Sample &s) {
         memset(b.data() + end - 8, 'n', 8);
         put32(b, s.key + kName, end - 8);
       },
       NC_ERR_OK},
      {"name outside", [=](Img &b, const Sample &s) { put32(b, s.str + kName, end + 4); },
       NC_ERR_OK},
      {"name at 0 in a used entry", [](Img &b, const Sample &s) { put32(b, s.dir + kName, 0); },
       NC_ERR_OK},
      {"name chunk header huge",
       [](Img &b, const Sample &s) { put32(b, get32(b, s.key + kName) - 4, 0x7FFFFFF0); },
       NC_ERR_OK},

      // Slots and slot arrays.
      {"slot past the end",
       [=](Img &b, const Sample &s) { put32(b, get32(b, s.dir + kOffset), end + 64); },
       NC_ERR_OK},
      {"slot straddles the end",
       [=](Img &b, const Sample &s) { put32(b, get32(b, s.dir + kOffset) + 4, end - 12); },
       NC_ERR_OK},
      {"slot unaligned",
       [](Img &b, const Sample &s) { put32(b, get32(b, s.dir + kOffset) + 8, s.key + 2); },
       NC_ERR_OK},
      {"slot array outside", [=](Img &b, const Sample &s) { put32(b, s.dir + kOffset, end); },
       NC_ERR_OK},
      {"slot count runs past the end",
       [](Img &b, const Sample &s) { put32(b, s.dir + kPages, 0x40000000); }, NC_ERR_OK},
      {"directory containing itself",
       [](Img &b, const Sample &s) { put32(b, get32(b, s.sub + kOffset), s.sub); }, NC_ERR_OK},
      {"directory containing its parent",
       [](Img &b, const Sample &s) { put32(b, get32(b, s.sub + kOffset) + 4, s.dir); },
       NC_ERR_OK},
      {"root containing itself",
       [](Img &b, const Sample &) { put32(b, get32(b, nc::kRootOffset + kOffset), 36); },
       NC_ERR_OK},
      {"slots out of order",
       [](Img &b, const Sample &s) {
         const uint32_t a = get32(b, s.dir + kOffset);
         const uint32_t first = get32(b, a);
         put32(b, a, get32(b, a + 8));
         put32(b, a + 8, first);
       },
       NC_ERR_OK},
      {"same entry in two slots",
       [](Img &b, const Sample &s) {
         const uint32_t a = get32(b, s.dir + kOffset);
         put32(b, a + 4, get32(b, a));
       },
       NC_ERR_OK},

      // Parents.
      {"cycle through parent",
       [](Img &b, const Sample &s) {
         put32(b, s.dir + kParent, s.sub);
         put32(b, s.sub + kParent, s.dir);
       },
       NC_ERR_OK},
      {"parent outside", [=](Img &b, const Sample &s) { put32(b, s.sub + kParent, end + 36); },
       NC_ERR_OK},
      {"parent is itself", [](Img &b, const Sample &s) { put32(b, s.sub + kParent, s.sub); },
       NC_ERR_OK},
      {"root's parent elsewhere",
       [](Img &b, const Sample &s) { put32(b, nc::kRootOffset + kParent, s.dir); }, NC_ERR_OK},

      // Values.
      {"value outside", [=](Img &b, const Sample &s) { put32(b, s.key + kOffset, end - 4); },
       NC_ERR_OK},
      {"string without NUL to the end",
       [=](Img &b, const Sample &s) {
         memset(b.data() + end - 16, 's', 16);
         put32(b, s.str + kOffset, end - 16);
         put32(b, s.str + kPages, 100);
       },
       NC_ERR_OK},
      {"raw length past the end",
       [](Img &b, const Sample &s) { put32(b, s.raw + kPages, 0xFFFFFFF0); }, NC_ERR_OK},
      {"value chunk header huge",
       [](Img &b, const Sample &s) { put32(b, get32(b, s.str + kOffset) - 4, 0xFFFFFFF0); },
       NC_ERR_OK},
      {"value chunk header zero",
       [](Img &b, const Sample &s) { put32(b, get32(b, s.str + kOffset) - 4, 0); }, NC_ERR_OK},
      {"value in the superblock", [](Img &b, const Sample &s) { put32(b, s.str + kOffset, 8); },
       NC_ERR_OK},
      {"unknown type", [](Img &b, const Sample &s) { put32(b, s.key + kType, 99); }, NC_ERR_OK},
      {"directory typed as a value",
       [](Img &b, const Sample &s) { put32(b, s.dir + kType, NC_RAW); }, NC_ERR_OK},

      // The free-chunk table.
      {"table out of order",
       [](Img &b, const Sample &) {
         put32(b, nc::kTableOffset + 4, 8);
         put32(b, nc::kTableOffset + 12, 3000);
         put32(b, nc::kTableOffset + 20, 2000);
       },
       NC_ERR_OK},
      {"free area past the end",
       [=](Img &b, const Sample &) { put32(b, nc::kTableOffset, end - 16); }, NC_ERR_OK},
      {"free area over the superblock",
       [](Img &b, const Sample &) { put32(b, nc::kTableOffset, 0); }, NC_ERR_OK},
      {"free area over the table",
       [](Img &b, const Sample &) { put32(b, nc::kTableOffset, nc::kTableOffset - 4); },
       NC_ERR_OK},
      {"free area over a directory",
       [](Img &b, const Sample &s) { put32(b, nc::kTableOffset, s.dir - 4); }, NC_ERR_OK},
      {"table full of huge areas",
       [](Img &b, const Sample &) {
         for (uint32_t i = 0; i < 4; i++) {
           put32(b, nc::kTableOffset + 8 * i, 0xFFFFF000);
           put32(b, nc::kTableOffset + 8 * i + 4, 0xFFFFFFF0);
         }
       },
       NC_ERR_OK},
      {"table header wrong",
       [](Img &b, const Sample &) { put32(b, nc::kTableHeaderOffset, 0xFFFFFFFF); }, NC_ERR_OK},
  };
}

TEST(Damaged, EveryDamageGivesFailureResultsNeverACrash) {
  TempDir tmp;
  const Sample sample = makeSample(tmp);
  ASSERT_EQ(sample.image.size(), 4096u);
  const std::string path = tmp.file("damaged");
  for (const Damage &d : damages()) {
    SCOPED_TRACE(d.what);
    std::vector<unsigned char> bytes = sample.image;
    d.apply(bytes, sample);
    writeFile(path, bytes);
    for (int careful = 0; careful < 2; careful++) {
      {
        NConfig h(careful);
        ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
        ASSERT_EQ(h.open(NC_O_RO), d.open_result);
        walk(h, "/");
      }
      {
        NConfig h(careful);
        ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
        ASSERT_EQ(h.open(NC_O_RW), d.open_result);
        useEverything(h);
      }
      // Whatever the writes did stayed inside the view: the file never
      // shrinks, and it still opens or is refused.
      EXPECT_GE(readFile(path).size(), bytes.size());
      NConfig again(0);
      again.setName(path.c_str());
      const int rc = again.open(NC_O_RO);
      EXPECT_TRUE(rc == NC_ERR_OK || rc == NC_ERR_CORRUPT) << rc;
      if (rc == NC_ERR_OK) walk(again, "/");
      writeFile(path, bytes);
    }
  }
}

// What the operations answer on some kinds of damage.
TEST(Damaged, ResultsNameTheDamage) {
  TempDir tmp;
  const Sample sample = makeSample(tmp);
  const std::string path = tmp.file("damaged");
  auto openWith = [&](const char *what, NConfig &h) {
    for (const Damage &d : damages())
      if (!strcmp(d.what, what)) {
        auto bytes = sample.image;
        d.apply(bytes, sample);
        writeFile(path, bytes);
      }
    h.setName(path.c_str());
    return h.open(NC_O_RW);
  };
  {
    NConfig h(0);
    ASSERT_EQ(openWith("no table growth", h), NC_ERR_OK);
    unsigned v = 0;
    EXPECT_EQ(h.getKey("/dir/key", v), NC_ERR_OK);  // reads still work
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(h.setKey("/dir/new", 1u), NC_ERR_CORRUPT);  // the allocator cannot work
  }
  {
    // Millions of entries per batch: refused before anything changes, as
    // creation refuses to make such a file.
    NConfig h(0);
    ASSERT_EQ(openWith("huge directory growth", h), NC_ERR_OK);
    EXPECT_EQ(h.setKey("/dir/new", 1u), NC_ERR_CORRUPT);
    EXPECT_EQ(h.setKey("/dir/key", 8u), NC_ERR_OK);  // no insertion needed
    NConfig maker(0);
    ASSERT_EQ(maker.setName(tmp.file("batch").c_str()), NC_ERR_OK);
    EXPECT_EQ(maker.createNew(1, 65537, 16), NC_ERR_NVAL);
    EXPECT_EQ(maker.createNew(1, 65536, 16), NC_ERR_OK);
  }
  {
    NConfig h(0);
    ASSERT_EQ(openWith("value outside", h), NC_ERR_OK);
    unsigned v = 0;
    EXPECT_NE(h.getKey("/dir/key", v), NC_ERR_OK);
    char *s = nullptr;
    EXPECT_EQ(h.getKey("/dir/str", s), NC_ERR_OK);  // its neighbours are intact
    EXPECT_STREQ(s, "value");
    free(s);
  }
  {
    NConfig h(0);
    ASSERT_EQ(openWith("raw length past the end", h), NC_ERR_OK);
    char *raw = nullptr;
    unsigned len = 0;
    EXPECT_EQ(h.getKey("/dir/raw", raw, len), NC_ERR_CORRUPT);
    EXPECT_EQ(raw, nullptr);
  }
  {
    NConfig h(0);
    ASSERT_EQ(openWith("value chunk header huge", h), NC_ERR_OK);
    EXPECT_EQ(h.setKey("/dir/str", "new"), NC_ERR_CORRUPT);
  }
  {
    NConfig h(0);
    ASSERT_EQ(openWith("cycle through parent", h), NC_ERR_OK);
    EXPECT_EQ(h.chDir("/dir/sub"), NC_ERR_CORRUPT);  // its absolute name never ends
    char *cwd = h.pwDir();
    EXPECT_STREQ(cwd, "/");
    free(cwd);
  }
  {
    NConfig h(0);
    ASSERT_EQ(openWith("name without NUL at the end of the file", h), NC_ERR_OK);
    nc_ls_s *l = h.ls("/dir");
    ASSERT_NE(l, nullptr);
    int n = 0;
    for (nc_ls_s *p = l; p->name; p++) n++;
    EXPECT_EQ(n, 3);  // the unterminated name is left out
    freeList(l);
  }
}

// Another writer replaces the file under an open handle with a longer one
// whose root lies outside it: the next lock re-maps, finds no root, and every
// operation fails instead of following the old root.
TEST(Damaged, DamageByAnotherWriterIsFoundAtTheNextLock) {
  TempDir tmp;
  Sample sample = makeSample(tmp);
  const std::string path = tmp.file("sample");
  NConfig h(0);
  ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
  ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
  unsigned v = 0;
  ASSERT_EQ(h.getKey("/dir/key", v), NC_ERR_OK);

  std::vector<unsigned char> bytes = sample.image;
  bytes.resize(8192);
  put32(bytes, kSbSize, 8192);
  put32(bytes, kSbRoot, 8192 + 36);
  put32(bytes, 32, get32(bytes, 32) + 1);  // modtime
  FILE *f = fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  fclose(f);

  EXPECT_EQ(h.getKey("/dir/key", v), NC_ERR_NEXIST);
  EXPECT_EQ(h.ls("/"), nullptr);
  EXPECT_EQ(h.setKey("/dir/key", 1u), NC_ERR_CORRUPT);
  EXPECT_EQ(h.setKey("relative", 1u), NC_ERR_CORRUPT);
  EXPECT_EQ(h.chDir("/dir"), NC_ERR_NEXIST);
  h.delKey("/dir");
  EXPECT_EQ(h.renameKey("/dir", "x"), NC_ERR_OK);  // nothing found to rename
}

// The image a machine of the other byte order makes of the same registry:
// every 32-bit field swapped, 8-byte values swapped whole, names unchanged.
std::vector<unsigned char> foreignImage(TestNConfig &h) {
  std::vector<unsigned char> b = h.image();
  std::vector<bool> is_field(b.size() / 4, false);
  auto field = [&](uint32_t off) { is_field[off / 4] = true; };
  for (uint32_t off = 4; off < 36; off += 4) field(off);  // the magic is bytes
  field(nc::kTableHeaderOffset);
  for (uint32_t i = 0; i < h.sb->chunk_ttl * 2; i++) field(h.sb->chunk + 4 * i);
  std::vector<uint32_t> dirs{h.sb->root};
  std::vector<uint32_t> values;
  while (!dirs.empty()) {
    const uint32_t d = dirs.back();
    dirs.pop_back();
    for (uint32_t k = 0; k < 6; k++) field(d + 4 * k);
    const nc_de_s *e = h.entryAt(d);
    if (e->name && d != h.sb->root) field(e->name - 4);
    if (e->type == NC_DIR) {
      if (!e->offset) continue;
      field(e->offset - 4);
      for (uint32_t i = 0; i < e->pages; i++) {
        field(e->offset + 4 * i);
        const uint32_t c = h.word(e->offset + 4 * i);
        field(c - 4);
        if (h.entryAt(c)->type != 0) dirs.push_back(c);
        else for (uint32_t k = 0; k < 6; k++) field(c + 4 * k);
      }
    } else if (e->offset) {
      field(e->offset - 4);
      if (e->type == NC_INT || e->type == NC_UINT || e->type == NC_DOUBLE) values.push_back(e->offset);
    }
  }
  for (size_t i = 0; i < is_field.size(); i++)
    if (is_field[i]) put32(b, uint32_t(4 * i), swap32(get32(b, uint32_t(4 * i))));
  for (uint32_t v : values) std::reverse(b.begin() + v, b.begin() + v + 8);
  return b;
}

// Made on the receiver's byte order and opened on the other one, or the
// reverse: under emulation the same test checks the other direction.
TEST(Damaged, FileOfTheOtherByteOrderIsRefused) {
  TempDir tmp;
  const std::string path = tmp.file("native");
  std::vector<unsigned char> foreign;
  {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, path, 2, 4, 4), NC_ERR_OK);
    h.setKey("/quorvane/DVB/config/lnbs/0/lofH", 9750u);
    h.setKey("/quorvane/DVB/config/lnbs/0/RotorTable", "0.0:1");
    h.setKey("/d", 2.5);
    h.lockFile(NC_L_RO, 0);
    foreign = foreignImage(h);
    h.unLockFile();
  }
  ASSERT_EQ(foreign.size(), 8192u);
  const std::vector<unsigned char> native = readFile(path);
  ASSERT_NE(foreign, native);
  const std::string fpath = tmp.file("foreign");
  writeFile(fpath, foreign);
  for (int how : {NC_O_RO, NC_O_RW}) {
    NConfig h(0);
    ASSERT_EQ(h.setName(fpath.c_str()), NC_ERR_OK);
    EXPECT_EQ(h.open(how), NC_ERR_CORRUPT);
    unsigned v;
    EXPECT_EQ(h.getKey("/quorvane/DVB/config/lnbs/0/lofH", v), NC_ERR_NFILE);
  }
  EXPECT_EQ(readFile(fpath), foreign);  // refused files are left alone
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
    const auto bytes = readFile(data + "/" + de->d_name);
    writeFile(path, bytes);
    inputs++;
    for (int how : {NC_O_RO, NC_O_RW}) {
      NConfig h(how == NC_O_RW);
      h.setName(path.c_str());
      if (h.open(how) != NC_ERR_OK) continue;
      walk(h, "/");
      if (how == NC_O_RW) useEverything(h);
    }
  }
  closedir(dir);
  EXPECT_GT(inputs, 0);
}

}  // namespace
