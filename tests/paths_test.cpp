// Path resolution and navigation: lookups, the current directory, listings.
#include "test_util.h"

namespace {

class Paths : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(makeRegistry(h, dir.file("r"), 2, 4, 16), NC_ERR_OK);
    for (const char *k : {"/a/b", "/a/c/d"}) ASSERT_EQ(h.setKey(k, 1), NC_ERR_OK);
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

// Listings in slot order, null when empty. (The current directory, where
// ".." and refusals lead, is the model run's.)
TEST_F(Paths, ListingsAndCurrentDirectory) {
  auto listed = [&](const char *d) {  // null shows as "(null)"
    auto l = nctest::listing(h, d);
    return l ? *l : nctest::Listing{{"(null)", 0}};
  };
  ASSERT_EQ(h.setKey("/l/x", "1"), NC_ERR_OK);
  ASSERT_EQ(h.createDir("/l/m", 0), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/l/b", 2.5), NC_ERR_OK);
  const nctest::Listing l = {{"x", NC_STRING}, {"m", NC_DIR}, {"b", NC_DOUBLE}};
  EXPECT_EQ(listed("/l"), l);
  for (const char *empty : {"/l/m", "/nope", "/str"}) EXPECT_EQ(nctest::listing(h, empty), nullptr) << empty;
  ASSERT_EQ(h.chDir("l"), NC_ERR_OK);
  EXPECT_EQ(listed(nullptr), l);  // null lists the current directory
  EXPECT_EQ(h.chDir(nullptr), NC_ERR_NVAL);
  h.close();
  EXPECT_EQ(h.chDir("/a"), NC_ERR_NFILE);
  EXPECT_EQ(h.pwDir(), nullptr);
  EXPECT_EQ(h.ls("/"), nullptr);
}

}  // namespace
