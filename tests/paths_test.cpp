// Path resolution and navigation: lookups, absolute names, the current
// directory and listings.
#include <gtest/gtest.h>

#include "test_util.h"

namespace {

class Paths : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(makeRegistry(h, dir.file("r"), 2, 4, 16), NC_ERR_OK);
    for (const char *k : {"/a/b", "/a/c/d", "/q/DVB/x", "/a/s"}) ASSERT_EQ(h.setKey(k, 1), NC_ERR_OK);
    ASSERT_EQ(h.setKey("/str", "value"), NC_ERR_OK);
  }
  std::string pwd() {
    char *p = h.pwDir();
    std::string s = p ? p : "(null)";
    free(p);
    return s;
  }
  std::vector<std::pair<std::string, uint32_t>> list(const char *name) {
    std::vector<std::pair<std::string, uint32_t>> out;
    nc_ls_s *l = h.ls(name);
    for (nc_ls_s *r = l; r && r->name; r++) {
      out.emplace_back(r->name, r->type);
      free(r->name);
    }
    free(l);
    if (!l) out.emplace_back("(null)", 0);
    return out;
  }
  TempDir dir;
  TestNConfig h;
};

TEST_F(Paths, LookupRules) {
  nc_de_s *a = h.find("/a"), *b = h.find("/a/b");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(h.find("/"), h.rdir);
  EXPECT_EQ(h.find(""), h.cdir);
  EXPECT_EQ(h.find(".."), h.rdir);  // the root's parent is the root
  EXPECT_EQ(h.find("/a/.."), h.rdir);
  EXPECT_EQ(h.find("/a/./b"), b);
  EXPECT_EQ(h.find("/a/c/../b"), b);
  EXPECT_EQ(h.find("/a/"), a);
  EXPECT_EQ(h.find("a//b"), a);  // the walk ends at the first empty component
  EXPECT_EQ(h.find("a"), a);
  EXPECT_NE(h.find("/str"), nullptr);
  EXPECT_EQ(h.find("/str/x"), nullptr);  // a value in the middle of a path
  EXPECT_EQ(h.find("/a/b/"), b);         // the last component may be a value
  EXPECT_EQ(h.find("/A"), nullptr);      // names are exact bytes
  EXPECT_EQ(h.find("/a/bb"), nullptr);
  EXPECT_EQ(h.find("/missing/b"), nullptr);
  EXPECT_EQ(h.find(nullptr), nullptr);
}

TEST_F(Paths, BinarySearchFindsEveryChildAcrossFreeSlots) {
  // Many children in one directory with free slots after them, some names
  // prefixes of others, bytes above 0x7f.
  std::vector<std::string> names;
  for (int i = 0; i < 40; i++) names.push_back("k" + std::to_string(i * 7 % 40));
  names.push_back("k");
  names.push_back("\xc3\xa9t\xc3\xa9");
  ASSERT_EQ(h.createDir("/many", 64), NC_ERR_OK);
  for (const auto &n : names) ASSERT_EQ(h.setKey(("/many/" + n).c_str(), 1), NC_ERR_OK);
  for (const auto &n : names) EXPECT_NE(h.find(("/many/" + n).c_str()), nullptr) << n;
  EXPECT_EQ(h.find("/many/k40"), nullptr);
  EXPECT_EQ(h.find("/many/"), h.find("/many"));
  const auto slots = h.slotNames("/many");
  ASSERT_EQ(slots.size(), 64u);
  for (size_t i = 1; i < names.size(); i++)
    EXPECT_GT(strcmp(slots[i - 1].c_str(), slots[i].c_str()), 0) << i;
  EXPECT_EQ(slots[names.size()], "");
}

TEST_F(Paths, ListingsAreInSlotOrderAndNullWhenEmpty) {
  ASSERT_EQ(h.setKey("/l/x", "1"), NC_ERR_OK);
  ASSERT_EQ(h.createDir("/l/m", 0), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/l/b", 2.5), NC_ERR_OK);
  using Row = std::pair<std::string, uint32_t>;
  EXPECT_EQ(list("/l"), (std::vector<Row>{{"x", NC_STRING}, {"m", NC_DIR}, {"b", NC_DOUBLE}}));
  EXPECT_EQ(list("/l/m"), (std::vector<Row>{{"(null)", 0}}));  // exists but empty
  EXPECT_EQ(list("/nope"), (std::vector<Row>{{"(null)", 0}}));
  EXPECT_EQ(list("/str"), (std::vector<Row>{{"(null)", 0}}));
  ASSERT_EQ(h.chDir("/l"), NC_ERR_OK);
  EXPECT_EQ(list(nullptr).size(), 3u);  // null lists the current directory
}

TEST_F(Paths, CurrentDirectory) {
  EXPECT_EQ(pwd(), "/");
  ASSERT_EQ(h.chDir("q/DVB"), NC_ERR_OK);
  EXPECT_EQ(pwd(), "/q/DVB");
  EXPECT_EQ(std::string(h.cname), "/q/DVB");
  int v = 0;
  EXPECT_EQ(h.getKey("x", v), NC_ERR_OK);  // relative to the current directory
  EXPECT_EQ(h.getKey("../DVB/./x", v), NC_ERR_OK);

  EXPECT_EQ(h.chDir("/nope"), NC_ERR_NEXIST);
  EXPECT_EQ(h.chDir("x"), NC_ERR_NDIR);
  EXPECT_EQ(h.chDir(nullptr), NC_ERR_NVAL);
  EXPECT_EQ(pwd(), "/q/DVB");  // failures leave it unchanged

  ASSERT_EQ(h.chDir(".."), NC_ERR_OK);
  EXPECT_EQ(pwd(), "/q");
  ASSERT_EQ(h.chDir(".."), NC_ERR_OK);
  EXPECT_EQ(pwd(), "/");
  ASSERT_EQ(h.chDir("/a/c/.."), NC_ERR_OK);
  EXPECT_EQ(pwd(), "/a");

  char *name = h.getName(h.find("/a/c/d"));
  EXPECT_STREQ(name, "/a/c/d");
  free(name);

  h.close();
  EXPECT_EQ(h.chDir("/a"), NC_ERR_NFILE);
  EXPECT_EQ(h.pwDir(), nullptr);
  EXPECT_EQ(h.ls("/"), nullptr);
}

TEST(Canonize, ComponentsEndInAtLeastThreeNuls) {
  TestNConfig h;
  char *c = h.canonize("/ab/c");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(std::string(c, 7), std::string("ab\0c\0\0\0", 7));
  free(c);
  c = h.canonize("");
  EXPECT_EQ(std::string(c, 3), std::string("\0\0\0", 3));
  free(c);
}

}  // namespace
