// NConfigTool: walks that trust no offset, untyped stores with their length
// rules, rollback of a bracket, and lock releases that answer the commit.

#include "test_util.h"

namespace {

// One line per entry a walk hands out: depth, path, name, type, length, and
// the value bytes in hex (or "-" for none).
struct Rendered {
  std::string text;
  int stop_at = -1;  // a depth at which the callback stops the walk with 77
  int skip_at = -1;  // a depth at which the callback answers NC_WALK_SKIP
};

std::string hexOf(const char *bytes, uint32_t len) {
  std::string out;
  for (char two[3]; len-- > 0;) snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(*bytes++)), out += two;
  return out;
}

int render(const nc_entry *e, void *ctx) {
  Rendered &r = *static_cast<Rendered *>(ctx);
  char line[512];
  snprintf(line, sizeof line, "%u %s %s %u %u ", e->depth, e->path, e->name, e->type, e->length);
  r.text += line + (e->value ? hexOf(e->value, e->length) : "-") + "\n";
  return int(e->depth) == r.stop_at ? 77 : int(e->depth) == r.skip_at ? NC_WALK_SKIP : NC_WALK_ON;
}

class Tool : public testing::Test {
 protected:
  void SetUp() override {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, path_), NC_ERR_OK);
    h.setKey("/a/s", "hi"), h.setKey("/a/n", -2), h.createDir("/a/d", 0);
    h.setKey("/b", "\x01\x02", 2), h._setKey("/none", NC_UINT, nullptr, 0);
    ASSERT_TRUE(openAs(t_, path_, NC_O_RW));
  }
  std::string walked(const char *path, int depth, int *rc, int stop = -1, int skip = -1) {
    Rendered r{"", stop, skip};
    *rc = t_.walk(path, depth, render, &r);
    return r.text;
  }

  TempDir tmp_;
  const std::string path_ = tmp_.file("r");
  NConfigTool t_;
};

// Depth first, children in slot order (descending names), values as stored.
TEST_F(Tool, WalkHandsOutEntriesInSlotOrderToTheDepthAsked) {
  const int64_t minus2 = -2;  // as stored: in this machine's order
  const std::string two = hexOf(reinterpret_cast<const char *>(&minus2), 8);
  const std::string a = "0 /a a 1 8 -\n", s = "1 /a/s s 2 3 686900\n", n = "1 /a/n n 3 8 " + two + "\n",
                    d = "1 /a/d d 1 0 -\n";
  const std::string all = "0 / / 1 8 -\n1 /none none 4 0 -\n1 /b b 5 2 0102\n1 /a a 1 8 -\n" +
                          ("2" + s.substr(1)) + ("2" + n.substr(1)) + ("2" + d.substr(1));
  const struct { const char *path; int depth, stop, skip, rc; std::string text; } cases[] = {
      {"/a", -1, -1, -1, NC_ERR_OK, a + s + n + d},
      {"/a", 0, -1, -1, NC_ERR_OK, a},
      {"a", 1, -1, -1, NC_ERR_OK, a + s + n + d},  // relative to the current directory
      {"/", -1, -1, -1, NC_ERR_OK, all},
      {"/", -1, -1, 1, NC_ERR_OK, all.substr(0, all.find("2 /a/s"))},  // not below depth 1
      {"/a", -1, 1, -1, 77, a + s},                                  // the callback's stop value
      {"/a/s", -1, -1, -1, NC_ERR_OK, "0" + s.substr(1)},
      {"/zz", -1, -1, -1, NC_ERR_NEXIST, ""},
      {"/a/s/x", -1, -1, -1, NC_ERR_NDIR, ""},
  };
  for (const auto &c : cases) {
    int rc;
    EXPECT_EQ(walked(c.path, c.depth, &rc, c.stop, c.skip), c.text) << c.path;
    EXPECT_EQ(rc, c.rc) << c.path;
  }
  nc_entry e;
  EXPECT_EQ(t_.describe("/a/n", &e), NC_ERR_OK);
  EXPECT_EQ(std::tuple(e.type, e.has_value, e.length, e.value == nullptr, e.path == nullptr),
            std::tuple(uint32_t(NC_INT), true, 8u, true, true));
  EXPECT_EQ(t_.describe("/none", &e), NC_ERR_OK);
  EXPECT_FALSE(e.has_value);
  EXPECT_EQ(std::tuple(t_.describe("/a/s/x", &e), t_.describe("/q", &e), t_.describe(nullptr, &e)),
            std::tuple(NC_ERR_NDIR, NC_ERR_NEXIST, NC_ERR_NVAL));
  NConfigTool closed;
  int rc;
  EXPECT_EQ(std::tuple(closed.walk("/", -1, render, &rc), closed.describe("/", &e), closed.byteOrder()),
            std::tuple(NC_ERR_NFILE, NC_ERR_NFILE, 0));
}

// A damaged file ends the walk with NC_ERR_CORRUPT, never outside the view
// and never in a loop.
TEST_F(Tool, WalkEndsOnDamage) {
  const std::pair<const char *, void (*)(TestNConfig &)> cases[] = {
      {"value outside", [](TestNConfig &h) { h.edit("/a/s")->offset = h.lsize + 64; }},
      {"slots outside", [](TestNConfig &h) { h.edit("/a")->offset = h.lsize - 4; }},
      {"cycle", [](TestNConfig &h) { h.edit("/a/d")->offset = h.find("/")->offset;
                                     h.edit("/a/d")->pages = h.find("/")->pages; }},
      {"slot not an entry", [](TestNConfig &h) { h.edit("/a")->offset = 4; }},  // the superblock's words
  };
  for (const auto &[what, damage] : cases) {
    t_.close();
    unlink(path_.c_str()), unlink((path_ + "-journal").c_str());
    SetUp();
    {
      TestNConfig h;
      ASSERT_TRUE(openAs(h, path_, NC_O_RW));
      h.lockFile(NC_L_RW, 0);
      damage(h);
    }
    int rc;
    walked("/", -1, &rc);
    EXPECT_EQ(rc, NC_ERR_CORRUPT) << what;
  }
}

// setUntyped stores what the type allows, byte for byte, and refuses lengths
// the type cannot have.
TEST_F(Tool, SetUntypedChecksLengthsPerType) {
  const char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const struct { uint32_t type; const char *value; uint32_t len; int rc; bool has_value; } cases[] = {
      {NC_STRING, "ab", 3, NC_ERR_OK, true},   {NC_STRING, "ab", 2, NC_ERR_NVAL, false},
      {NC_STRING, "", 0, NC_ERR_NVAL, false},  {NC_STRING, nullptr, 0, NC_ERR_OK, false},
      {NC_INT, eight, 4, NC_ERR_OK, true},     {NC_INT, eight, 8, NC_ERR_OK, true},
      {NC_UINT, eight, 2, NC_ERR_NVAL, false}, {NC_DOUBLE, eight, 4, NC_ERR_NVAL, false},
      {NC_DOUBLE, eight, 8, NC_ERR_OK, true},  {NC_RAW, eight, 0, NC_ERR_OK, false},
      {NC_RAW, eight, 5, NC_ERR_OK, true},     {NC_RAW, nullptr, 3, NC_ERR_NVAL, false},
      {NC_DIR, nullptr, 0, NC_ERR_NVAL, false}, {NC_LINK, nullptr, 0, NC_ERR_NVAL, false},
  };
  int i = 0;
  for (const auto &c : cases) {
    const std::string key = "/u/" + std::to_string(i++);
    EXPECT_EQ(t_.setUntyped(key.c_str(), c.type, c.value, c.len), c.rc) << key;
    nc_entry e;
    if (c.rc != NC_ERR_OK) { EXPECT_EQ(t_.describe(key.c_str(), &e), NC_ERR_NEXIST) << key; continue; }
    Rendered r;
    ASSERT_EQ(t_.walk(key.c_str(), 0, render, &r), NC_ERR_OK);
    EXPECT_EQ(r.text.substr(r.text.rfind(' ') + 1), (c.has_value ? hexOf(c.value, c.len) : "-") + "\n") << key;
    EXPECT_EQ(t_.describe(key.c_str(), &e), NC_ERR_OK);
    EXPECT_EQ(std::tuple(e.type, e.has_value, e.length),
              std::tuple(c.type, c.has_value, c.has_value ? c.len : 0u)) << key;
  }
  EXPECT_EQ(t_.setUntyped("/a/s/x", NC_INT, eight, 8), NC_ERR_PERM);
  EXPECT_EQ(t_.setUntyped("/a/s", NC_INT, eight, 8), NC_ERR_TYPE);
}

// Changes of every kind, the file's growth among them, are undone by
// rollback: the file stays byte for byte, and the handle sees what it saw.
TEST_F(Tool, RollbackLeavesTheFileAndTheViewAsBefore) {
  const std::vector<unsigned char> before = readFile(path_);
  int rc;
  const std::string seen = walked("/", -1, &rc);
  const std::pair<const char *, void (*)(NConfigTool &)> changes[] = {
      {"set", [](NConfigTool &t) { t.setKey("/a/s", "changed"); t.setKey("/new/k", 1); }},
      {"delete", [](NConfigTool &t) { t.delKey("/a"); }},
      {"rename", [](NConfigTool &t) { t.renameKey("/b", "c"); }},
      {"growth", [](NConfigTool &t) { t.setKey("/big", std::string(20000, 'g').c_str()); }},
      {"directory", [](NConfigTool &t) { t.createDir("/many", 2000); t.chDir("/many"); }},
  };
  EXPECT_EQ(t_.rollback(), NC_ERR_PERM);
  for (const auto &[what, change] : changes) {
    t_.lockFile(NC_L_RW, 0);
    change(t_);
    EXPECT_EQ(t_.rollback(), NC_ERR_OK) << what;
    EXPECT_EQ(walked("/", -1, &rc), seen) << what;
    t_.lockFile(NC_L_RO, 0);  // the lock is kept: this nests
    EXPECT_EQ(t_.unLockFile(), NC_ERR_OK);
    EXPECT_EQ(t_.unLockFile(), NC_ERR_OK) << what;
    EXPECT_EQ(readFile(path_), before) << what;
  }
  t_.lockFile(NC_L_RO, 0);
  EXPECT_EQ(t_.rollback(), NC_ERR_PERM);
  t_.unLockFile();
  // Changes after a rollback, in the same bracket, are committed.
  t_.lockFile(NC_L_RW, 0);
  t_.setKey("/gone", 1), t_.rollback(), t_.setKey("/kept", 2);
  EXPECT_EQ(t_.unLockFile(), NC_ERR_OK);
  NConfig other(0);
  ASSERT_TRUE(openAs(other, path_, NC_O_RO));
  int v = 0;
  EXPECT_EQ(std::tuple(other.getKey("/kept", v), v, other.getKey("/gone", v)),
            std::tuple(NC_ERR_OK, 2, NC_ERR_NEXIST));
}

// unLockFile answers what the outermost exclusive release's commit did.
TEST_F(Tool, UnlockAnswersTheCommit) {
  for (const bool full : {false, true}) {
    const char *value = full ? "full disk" : "sound";
    t_.lockFile(NC_L_RW, 0);
    t_.lockFile(NC_L_RW, 0);
    ASSERT_EQ(t_.setKey("/a/s", value), NC_ERR_OK);
    EXPECT_EQ(t_.unLockFile(), NC_ERR_OK) << "a nested level commits nothing";
    testing::internal::CaptureStderr();
    if (full) nc::sys().fdatasync = [](int) { return errno = ENOSPC, -1; };
    EXPECT_EQ(t_.unLockFile(), full ? NC_ERR_NMEM : NC_ERR_OK) << value;
    nc::resetSysCalls();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(valueOf(t_, "/a/s"), "sound") << value;
  }
  EXPECT_EQ(t_.unLockFile(), NC_ERR_OK) << "no lock held";
}

// The stamp moves with every commit of another handle, and not with reads.
// (The other figures: nctool's stat.)
TEST_F(Tool, StampFollowsCommits) {
  nc_stamp first, again;
  ASSERT_EQ(t_.stamp(&first), NC_ERR_OK);
  valueOf(t_, "/a/s");
  ASSERT_EQ(t_.stamp(&again), NC_ERR_OK);
  EXPECT_EQ(first, again);
  for (int i = 0; i < 5; i++) {
    NConfig w(0);
    ASSERT_TRUE(openAs(w, path_, NC_O_RW) && w.setKey("/a/n", i) == NC_ERR_OK);
    usleep(20000);  // a tick of the file system's clock
    ASSERT_EQ(t_.stamp(&first), NC_ERR_OK);
    EXPECT_NE(first, again) << i;
    again = first;
  }
  EXPECT_EQ(t_.watchedFiles(), (std::vector<std::string>{path_, path_ + "-journal"}));
}

}  // namespace
