// Texts of the result codes.
#include <set>

#include "test_util.h"

namespace {

TEST(StrError, EveryCodeHasATextOfItsOwn) {
  const std::string unknown = nc_strerror(1);
  std::set<std::string> seen;
  for (int code : {NC_ERR_OK, NC_ERR_TYPE, NC_ERR_NDIR, NC_ERR_PERM, NC_ERR_NMEM, NC_ERR_NEXIST, NC_ERR_NFILE,
                   NC_ERR_CORRUPT, NC_ERR_NVAL, NC_ERR_RDONLY, NC_ERR_NOSUPPORT}) {
    const char *text = nc_strerror(code);
    ASSERT_NE(text, nullptr) << code;
    EXPECT_NE(text, unknown) << code;
    EXPECT_TRUE(seen.insert(text).second) << code << " shares its text: " << text;
    EXPECT_EQ(nc_strerror(code), text) << code << ": not a static string";
  }
  for (int other : {1, -11, 1000, -1000}) EXPECT_EQ(nc_strerror(other), unknown) << other;
}

}  // namespace
