// Platform facts the store relies on, checked where the tests actually run:
// natively, under the sanitizers and under the emulator. scripts/test shows
// the platform line this prints.
#include <sys/utsname.h>

#include "test_util.h"

namespace {

// The file's words are read in place, so the magic bytes 00 09 12 00 read as
// a different number on each byte order.
TEST(Platform, RecordWordsAreReadInHostByteOrder) {
  struct utsname u;
  ASSERT_EQ(0, uname(&u));
  const bool big = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
  printf("platform: %s, %s-endian\n", u.machine, big ? "big" : "little");
  nc_sb_s sb = {};
  memcpy(&sb.magic, NC_SB_MAGIC, 4);
  EXPECT_EQ(big ? 0x00091200u : 0x00120900u, sb.magic);
}

}  // namespace
