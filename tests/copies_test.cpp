// Whole-file copies: salvage of damaged files in either byte order, the
// byte-order round trip, compaction, and backups of a live registry.

#include "image_builder.h"
#include "test_util.h"

namespace nctest {
namespace {

const int kOtherOrder = nc::hostIsBig() ? NC_ORDER_LITTLE : NC_ORDER_BIG;

bool isForeign(const std::string &path) { return otherOrder(readFile(path)); }

// ---- salvage ---------------------------------------------------------------

// The image every salvage row damages: the sample tree with /n, growth 2/4/8,
// in this machine's order or the other.
struct Sample : SampleTree {
  explicit Sample(bool other) : SampleTree(ImageBuilder(2, 4, 8), true, other) {}
  char *at(uint32_t off) { return reinterpret_cast<char *>(&byte(off)); }
};

const std::vector<std::string> kSampleTree = {
    "/z double 4004000000000000", "/n int -7", "/e dir", "/b string xyz", "/a dir", "/a/u uint 42",
    "/a/sub dir", "/a/sub/r raw r1", "/a/s string hello", "2/4/8"};

// A damage, the lines of kSampleTree missing from the copy, how each line of
// the report begins, and the copy's growth parameters.
struct SalvageCase { const char *what; void (*damage)(Sample &); std::vector<std::string> gone, lost;
                     const char *params = "2/4/8"; };

const SalvageCase kSalvage[] = {
    {"undamaged", [](Sample &) {}, {}, {}},
    {"flipped free-table word", [](Sample &t) { t.set(t.rec(0) + 4, t.get(t.rec(0) + 4) ^ 0x10000); }, {}, {}},
    {"table offset flipped", [](Sample &t) { t.set(24, t.get(24) ^ 0x400); }, {}, {}},
    {"first 36 bytes zeroed", [](Sample &t) { memset(t.at(0), 0, 36); }, {}, {}, "1/8/16"},
    {"one magic bit", [](Sample &t) { *t.at(1) ^= 0x10; }, {}, {}},
    {"size beyond the file", [](Sample &t) { t.set(4, 1u << 20); }, {}, {}},
    {"broken name", [](Sample &t) { *t.at(t.get(t.bk) + 1) = '/'; }, {"/b string xyz"}, {"/ slot 3: the entry's name"}},
    {"name outside", [](Sample &t) { t.set(t.s, 0xFFFFF0); }, {"/a/s string hello"}, {"/a slot 2: the entry's name"}},
    {"value past the end", [](Sample &t) { t.set(t.s + 16, 0x7FFFFFF0); }, {"/a/s string hello"}, {"/a/s: its value lies outside"}},
    {"string without end", [](Sample &t) { *t.at(t.get(t.bk + 12) + 3) = 'q'; }, {"/b string xyz"}, {"/b: its string has no end"}},
    {"narrow numbers widened", [](Sample &t) {
       t.set(t.get(t.n + 12), uint32_t(-7)), t.set(t.n + 16, 4);
       *t.at(t.get(t.u + 12)) = 42, t.set(t.u + 16, 1); }, {}, {}},
    {"number of 3 bytes", [](Sample &t) { t.set(t.n + 16, 3); }, {"/n int -7"}, {"/n: its value has an impossible width"}},
    {"slot pointing outside", [](Sample &t) { t.set(t.slot(36, 0), 0x7FFFFF00); }, {"/z double 4004000000000000"}, {"/ slot 0: points outside"}},
    {"slot array outside", [](Sample &t) { t.set(t.sub + 12, 0x7FFFFF00); }, {"/a/sub/r raw r1"}, {"/a/sub: its slot array lies outside"}},
    {"wrong parent", [](Sample &t) { t.set(t.s + 8, 36); }, {"/a/s string hello"}, {"/a/s: its parent link is wrong"}},
    {"unknown type", [](Sample &t) { t.set(t.bk + 4, 9); }, {"/b string xyz"}, {"/b: an entry of unknown type 9"}},
    {"same name twice", [](Sample &t) { t.set(t.slot(t.a, 0), t.s); }, {"/a/u uint 42"},
     {"/a/s: its name appears twice"}},
    {"directory holding its parent", [](Sample &t) { t.set(t.slot(t.sub, 0), t.a); }, {"/a/sub/r raw r1"},
     {"/a/sub/a: its parent link is wrong"}},
    {"root named otherwise, in itself", [](Sample &t) { *t.at(60) = 'x'; t.set(t.slot(36, 0), 36); },
     {"/z double 4004000000000000"}, {"/x: the directory is reached a second time"}},
};

class Salvage : public ::testing::TestWithParam<std::tuple<bool, SalvageCase>> {};

TEST_P(Salvage, KeepsWhatIsSoundAndListsWhatIsLost) {
  const auto &[foreign, c] = GetParam();
  Sample t(foreign);
  c.damage(t);
  TempDir tmp;
  const std::string damaged = tmp.file("damaged"), copy = tmp.file("copy");
  writeFile(damaged, t.b.image());
  nc_salvage_report report;
  std::string why;
  ASSERT_EQ(nc_salvage(damaged.c_str(), copy.c_str(), &report, &why), NC_ERR_OK) << why;

  std::vector<std::string> kept;
  for (const std::string &line : kSampleTree)
    if (std::find(c.gone.begin(), c.gone.end(), line) == c.gone.end()) kept.push_back(line);
  kept.back() = c.params;
  EXPECT_EQ(contents(copy), kept);
  EXPECT_EQ(isForeign(copy), foreign);
  EXPECT_TRUE(nc_check_file(copy.c_str()).ok()) << nc_check_file(copy.c_str()).describe();
  EXPECT_FALSE(access((copy + "-journal").c_str(), F_OK) == 0);
  ASSERT_EQ(report.lost.size(), c.lost.size()) << ::testing::PrintToString(report.lost);
  for (size_t i = 0; i < c.lost.size(); i++) EXPECT_EQ(report.lost[i].rfind(c.lost[i], 0), 0u) << report.lost[i];
  uint32_t dirs = 0;
  for (const std::string &line : kept) dirs += line.find(" dir") != std::string::npos;
  EXPECT_EQ(report.directories, dirs + 1);  // and the root
  EXPECT_EQ(report.keys, kept.size() - 1 - dirs);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, Salvage, ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(kSalvage)),
                         [](const auto &info) {
                           std::string name = std::string(std::get<0>(info.param) ? "other_" : "host_") +
                                              std::get<1>(info.param).what;
                           for (char &ch : name) ch = isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

// A rewrite that meets damage half-way changes no byte: the walk is made
// whole before anything is swapped.
TEST(SwapOrder, LeavesADamagedImageAsItWas) {
  for (auto damage : {+[](Sample &t) { t.set(t.slot(t.sub, 0), 0x7FFFFF00); },
                      +[](Sample &t) { t.set(t.z + 16, 3); }}) {
    Sample t(false);
    damage(t);
    const Image before = t.b.image();
    Image &img = t.b.image();
    EXPECT_NE(nc::swapOrder(reinterpret_cast<char *>(img.data()), img.size(), nc::hostIsBig()), "");
    EXPECT_EQ(img, before);
  }
}

// ---- convert and compact ---------------------------------------------------

// A registry made by the store with every kind of value, a key without one,
// and the leaks and free space that deleting leaves.
void makeChurned(const std::string &path) {
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, path, 1, 4, 8), NC_ERR_OK);
  for (int i = 0; i < 40; i++) h.setKey(("/gone/d" + std::to_string(i % 5) + "/k" + std::to_string(i)).c_str(), i);
  h.setKey("/net/name", "receiver"), h.setKey("/net/port", 8080u), h.setKey("/net/mtu", -1500);
  h.setKey("/net/gain", 0.75), h.setKey("/net/blob", "\0\1\2\3", 4);
  ASSERT_EQ(h.setUntyped("/net/unset", NC_UINT, nullptr, 0), NC_ERR_OK);
  h.createDir("/empty", 0), h.delKey("/gone");
}

// A copy, and its answer for a sound superblock over a damaged tree.
struct Refusal { const char *what; int (*call)(const std::string &, const std::string &, std::string *); int damaged; };
const Refusal kRefusals[] = {
    {"convert", [](auto &s, auto &d, auto *why) { return nc_convert(s.c_str(), d.c_str(), kOtherOrder, why); }, NC_ERR_CORRUPT},
    {"compact", [](auto &s, auto &d, auto *why) { return nc_compact(s.c_str(), d.c_str(), nullptr, why); }, NC_ERR_CORRUPT},
    {"backup", [](auto &s, auto &d, auto *why) { return nc_backup(s.c_str(), d.c_str(), why); }, NC_ERR_CORRUPT},
    {"salvage", [](auto &s, auto &d, auto *why) { return nc_salvage(s.c_str(), d.c_str(), nullptr, why); }, NC_ERR_OK},
};

class Copies : public ::testing::TestWithParam<Refusal> {};

// A damaged source (salvage takes all but nothing of a registry), a missing
// one, an existing destination: refused, and no destination is left behind
// or touched.
TEST_P(Copies, RefuseDamageAndExistingFilesLeavingNothing) {
  TempDir tmp;
  const std::string src = tmp.file("src"), dst = tmp.file("dst");
  const Refusal &c = GetParam();
  std::string why;
  Sample t(false);
  t.set(t.slot(36, 0), 0x7FFFFF00);
  writeFile(src, t.b.image());
  EXPECT_EQ(c.call(src, dst, &why), c.damaged);
  unlink(dst.c_str());
  memset(t.at(0), 0, 64);  // superblock and root entry
  writeFile(src, t.b.image());
  EXPECT_EQ(c.call(src, dst, &why), NC_ERR_CORRUPT);
  EXPECT_TRUE(c.damaged != NC_ERR_OK || why.find("nothing of a registry") != std::string::npos) << why;
  EXPECT_EQ(c.call(tmp.file("missing"), dst, &why), NC_ERR_NFILE);
  EXPECT_NE(access(dst.c_str(), F_OK), 0);
  writeFile(src, Sample(true).b.image());  // sound, in the other order
  writeFile(dst, {7});
  EXPECT_EQ(c.call(src, dst, &why), NC_ERR_PERM);
  EXPECT_EQ(readFile(dst), std::vector<unsigned char>({7}));
  unlink(dst.c_str());
  EXPECT_EQ(c.call(src, dst, &why), NC_ERR_OK);
  EXPECT_EQ(contents(dst), kSampleTree);
}
INSTANTIATE_TEST_SUITE_P(Each, Copies, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.what); });

// Conversion to the other order and back gives the same file; compaction
// keeps the tree and the byte order, and drops the leaks.
TEST(Convert, OtherOrderAndBackIsTheSameFileAndCompactKeepsTheOrder) {
  TempDir tmp;
  const std::string src = tmp.file("src"), there = tmp.file("there"), back = tmp.file("back"),
                    dst = tmp.file("dst"), dst2 = tmp.file("dst2");
  makeChurned(src);
  std::string why;
  ASSERT_EQ(nc_convert(src.c_str(), there.c_str(), kOtherOrder, &why), NC_ERR_OK) << why;
  EXPECT_TRUE(isForeign(there));
  const nc_check_report mine = nc_check_file(src.c_str()), theirs = nc_check_file(there.c_str());
  EXPECT_TRUE(theirs.ok() && theirs.leaked_bytes == mine.leaked_bytes) << theirs.describe();
  EXPECT_EQ(contents(there), contents(src));
  ASSERT_EQ(nc_convert(there.c_str(), back.c_str(), nc_host_order(), &why), NC_ERR_OK) << why;
  EXPECT_EQ(readFile(back), readFile(src));

  ASSERT_GT(mine.leaked_bytes, 0u);
  ASSERT_EQ(nc_compact(src.c_str(), dst.c_str(), nullptr, &why), NC_ERR_OK) << why;
  const nc_check_report r = nc_check_file(dst.c_str());
  EXPECT_TRUE(r.ok() && r.leaked_bytes == 0) << r.describe();
  EXPECT_EQ(contents(dst), contents(src));
  EXPECT_LE(readFile(dst).size(), readFile(src).size());
  const nc_params p = {2, 16, 32};
  ASSERT_EQ(nc_compact(there.c_str(), dst2.c_str(), &p, &why), NC_ERR_OK) << why;
  EXPECT_TRUE(isForeign(dst2));
  auto expected = contents(src);
  expected.back() = "2/16/32";
  EXPECT_EQ(contents(dst2), expected);
  const nc_params bad = {1, 8, 600};  // the table would not fit
  EXPECT_EQ(nc_compact(src.c_str(), tmp.file("dst3").c_str(), &bad, &why), NC_ERR_NVAL);
  EXPECT_NE(access(tmp.file("dst3").c_str(), F_OK), 0);
}

// ---- backup ----------------------------------------------------------------

TEST(Backup, HoldsWhatIsOnlyInTheJournal) {
  TempDir tmp;
  const std::string src = tmp.file("reg"), dst = tmp.file("copy");
  leaveRecords(src);  // three commits the file lacks
  const auto before = readFile(src);
  std::string why;
  ASSERT_EQ(nc_backup(src.c_str(), dst.c_str(), &why), NC_ERR_OK) << why;
  EXPECT_EQ(readFile(src), before);  // a backup replays nothing
  EXPECT_EQ(seen(dst, NC_O_RO), kAll);
}

// Another process commits /n and /m together over and over; every backup
// shows them equal, and once it stops a backup is the file itself.
TEST(Backup, IsOneCommittedStateWhileAnotherProcessCommits) {
  TempDir tmp;
  const std::string src = tmp.file("reg"), stop = tmp.file("stop");
  ASSERT_EQ(makeRegistry(src), NC_ERR_OK);
  const pid_t writer = spawn([&] {
    NConfig h(0);
    if (!openAs(h, src, NC_O_RW)) return false;
    for (unsigned i = 0; access(stop.c_str(), F_OK) != 0; i++) {
      h.lockFile(NC_L_RW, 0), h.setKey("/n", i), h.setKey(("/pad/k" + std::to_string(i % 50)).c_str(), "x");
      h.setKey("/m", i), h.unLockFile();
    }
    return true;
  });
  for (int k = 0; k < 20; k++) {
    const std::string dst = tmp.file("b" + std::to_string(k));
    std::string why;
    ASSERT_EQ(nc_backup(src.c_str(), dst.c_str(), &why), NC_ERR_OK) << why;
    NConfig h(0);
    ASSERT_TRUE(openAs(h, dst, NC_O_RO));
    unsigned n = 0, m = 0;
    EXPECT_EQ(h.getKey("/n", n), h.getKey("/m", m));
    EXPECT_EQ(n, m) << "backup " << k;
  }
  writeFile(stop, {});
  ASSERT_EQ(waitFor(writer), 0);
  const std::string last = tmp.file("last");
  ASSERT_EQ(nc_backup(src.c_str(), last.c_str(), nullptr), NC_ERR_OK);
  EXPECT_EQ(readFile(last), readFile(src));
}

}  // namespace
}  // namespace nctest
