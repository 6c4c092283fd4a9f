// Path resolution and navigation: lookups, the current directory, listings.
#include "test_util.h"
#include "tree_walk.h"

namespace {

class Paths : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(makeRegistry(h, dir.file("r"), 2, 4, 16), NC_ERR_OK);
    for (const char *k : {"/a/b", "/a/c/d", "/q/DVB/x", "/a/s"}) ASSERT_EQ(h.setKey(k, 1), NC_ERR_OK);
    ASSERT_EQ(h.setKey("/str", "value"), NC_ERR_OK);
  }
  TempDir dir;
  TestNConfig h;
};

TEST_F(Paths, LookupRules) {
  nc_de_s *a = h.find("/a"), *b = h.find("/a/b");
  ASSERT_TRUE(a && b);
  // Dots, relative paths and values mid-path are the model run's.
  const std::pair<const char *, nc_de_s *> cases[] = {
      {"/", h.rdir}, {"", h.cdir}, {"/a/", a}, {"/a/b/", b},
      {"a//b", a},  // the walk ends at the first empty component
      {"/A", nullptr}, {"/a/bb", nullptr}, {nullptr, nullptr}};
  for (const auto &[path, want] : cases) EXPECT_EQ(h.find(path), want) << (path ? path : "null");

  char *c = h.canonize("/ab/c");  // components end in at least three NULs
  EXPECT_EQ(std::string(c, 7), std::string("ab\0c\0\0\0", 7));
  free(c);
  char *name = h.getName(h.find("/a/c/d"));
  EXPECT_STREQ(name, "/a/c/d");
  free(name);
}

TEST_F(Paths, BinarySearchFindsEveryChildAcrossFreeSlots) {
  // Many children with free slots after them, some names prefixes of
  // others, bytes above 0x7f.
  std::vector<std::string> names{"k", "\xc3\xa9t\xc3\xa9"};
  for (int i = 0; i < 40; i++) names.push_back("k" + std::to_string(i * 7 % 40));
  ASSERT_EQ(h.createDir("/many", 64), NC_ERR_OK);
  for (const auto &n : names) ASSERT_EQ(h.setKey(("/many/" + n).c_str(), 1), NC_ERR_OK);
  for (const auto &n : names) EXPECT_NE(h.find(("/many/" + n).c_str()), nullptr) << n;
  EXPECT_EQ(h.find("/many/k40"), nullptr);
  const auto slots = h.slotNames("/many");
  for (size_t i = 1; i < names.size(); i++) EXPECT_GT(strcmp(slots[i - 1].c_str(), slots[i].c_str()), 0) << i;
  EXPECT_EQ(slots[names.size()], "");
}

// Listings in slot order, null when empty; the current directory as pwDir
// shows it. (Where ".." and refusals lead is the model run's.)
TEST_F(Paths, ListingsAndCurrentDirectory) {
  auto list = [&](const char *name) {
    auto l = nctest::listing(h, name);
    std::string out = l ? "" : "(null)";
    for (size_t i = 0; l && i < l->size(); i++)
      out += (*l)[i].first + ":" + std::to_string((*l)[i].second) + " ";
    return out;
  };
  auto pwd = [&] {
    char *p = h.pwDir();
    const std::string s = p ? p : "(null)";
    free(p);
    return s;
  };
  ASSERT_EQ(h.setKey("/l/x", "1"), NC_ERR_OK);
  ASSERT_EQ(h.createDir("/l/m", 0), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/l/b", 2.5), NC_ERR_OK);
  EXPECT_EQ(list("/l"), "x:2 m:1 b:6 ");
  for (const char *empty : {"/l/m", "/nope", "/str"}) EXPECT_EQ(list(empty), "(null)") << empty;
  EXPECT_EQ(pwd(), "/");
  ASSERT_EQ(h.chDir("l"), NC_ERR_OK);
  EXPECT_EQ(list(nullptr), "x:2 m:1 b:6 ");  // null lists the current directory
  ASSERT_EQ(h.chDir("/q/DVB"), NC_ERR_OK);
  EXPECT_EQ(h.chDir(nullptr), NC_ERR_NVAL);
  EXPECT_EQ(pwd(), "/q/DVB");
  h.close();
  EXPECT_EQ(h.chDir("/a"), NC_ERR_NFILE);
  EXPECT_EQ(h.pwDir(), nullptr);
  EXPECT_EQ(h.ls("/"), nullptr);
}

}  // namespace
