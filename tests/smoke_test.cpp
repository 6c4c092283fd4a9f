#include <gtest/gtest.h>

#include "test_util.h"

TEST(Smoke, CreateSetGet) {
  TempDir dir;
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, dir.file("r")), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/a/b/c", "x"), NC_ERR_OK);
  char *s = nullptr;
  ASSERT_EQ(h.getKey("/a/b/c", s), NC_ERR_OK);
  EXPECT_STREQ(s, "x");
  free(s);
}
