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
      {"+019213-003500", "+019213-003500"},
      {"+0192130-0035000", "01921300035000"},
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

// Random tables over an alphabet where signs are rarer than digits.
class RandomTables {
 public:
  explicit RandomTables(unsigned seed) : rng_(seed) {}

  std::string anyTable() {
    std::string s(std::uniform_int_distribution<int>(0, 40)(rng_), ' ');
    for (char &c : s) c = "+-0123456789"[std::uniform_int_distribution<int>(0, 11)(rng_)];
    return s;
  }
  // A signed entry of `len` characters.
  std::string entry(size_t len) {
    std::string e(1, coin() ? '+' : '-');
    while (e.size() < len) e += char('0' + std::uniform_int_distribution<int>(0, 9)(rng_));
    return e;
  }
  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

 private:
  bool coin() { return std::uniform_int_distribution<int>(0, 1)(rng_) == 1; }
  std::mt19937 rng_;
};

TEST(RotorTable, RandomTablesKeepTheRewriteInvariants) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  RandomTables gen(seed);
  for (int round = 0; round < 20000; ++round) {
    const std::string any = gen.anyTable();
    const std::string once = normalized(any);
    ASSERT_LE(once.size(), any.size()) << any;
    // Running the tool a second time must not damage what the first made.
    ASSERT_EQ(normalized(once), once) << any;

    std::string normal;
    for (size_t n = gen.below(6); n > 0; --n) normal += gen.entry(7);
    ASSERT_EQ(normalized(normal), normal);

    std::string overlong = normal;
    overlong.insert(7 * gen.below(normal.size() / 7 + 1), gen.entry(9 + gen.below(6)));
    for (size_t n = gen.below(3); n > 0; --n) overlong += gen.entry(1 + gen.below(12));
    ASSERT_EQ(normalized(overlong), overlong);
  }
}

}  // namespace
