// The rewrite of one rotor table into normal form.
#include "tools/cr/rotor_table.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Runs the rewrite into a buffer of exactly strlen(old) + 1 bytes, so that an
// overrun shows under the address sanitizer.
std::string normalized(const std::string &old) {
  std::vector<char> out(old.size() + 1, '#');
  normalizeRotorTable(old.c_str(), out.data());
  return std::string(out.data());
}

TEST(RotorTable, RewritesEachEntryByItsLength) {
  const std::pair<const char *, const char *> cases[] = {
      // Entries of seven are kept, entries of eight lose their sign.
      {"+019213-0035000+130123", "+0192130035000+130123"},
      // Entries shorter than seven are dropped.
      {"+19+019213", "+019213"}, {"+019213-1", "+019213"}, {"+-+1-12", ""}, {"+", ""},
      // An entry longer than eight leaves the whole table unchanged, entries
      // already rewritten before it included.
      {"+019213000", "+019213000"}, {"+0192130+12-0035000000", "+0192130+12-0035000000"},
      // Characters not at a sign are copied seven at a time, unexamined: the
      // sign inside the first seven is not looked at.
      {"0192130+130123", "0192130+130123"}, {"ab+1", "ab+1"}, {"abcde+1+0192130", "abcde+10192130"},
      {"abc", "abc"}, {"", ""}};
  for (const auto &[old, normal] : cases) EXPECT_EQ(normalized(old), normal) << old;
}

// Random tables, any and normal ones, and normal ones with an overlong entry.
TEST(RotorTable, RandomTablesKeepTheRewriteInvariants) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  // A signed entry of `len` characters.
  auto entry = [&](size_t len) {
    std::string e(1, below(2) ? '+' : '-');
    while (e.size() < len) e += char('0' + below(10));
    return e;
  };
  for (int round = 0; round < 20000; ++round) {
    std::string any(below(41), ' ');  // signs are rarer than digits
    for (char &c : any) c = "+-0123456789"[below(12)];
    const std::string once = normalized(any);
    ASSERT_LE(once.size(), any.size()) << any;
    // Running the tool a second time must not damage what the first made.
    ASSERT_EQ(normalized(once), once) << any;

    std::string normal;
    for (size_t n = below(6); n > 0; --n) normal += entry(7);
    ASSERT_EQ(normalized(normal), normal);

    std::string overlong = normal;
    overlong.insert(7 * below(normal.size() / 7 + 1), entry(9 + below(6)));
    for (size_t n = below(3); n > 0; --n) overlong += entry(1 + below(12));
    ASSERT_EQ(normalized(overlong), overlong);
  }
}

}  // namespace
