// Normal form of an LNB's rotor table string.
#include "rotor_table.h"

#include <cstring>

namespace {

constexpr size_t kEntryLength = 7;  // normal length of an entry, sign included

bool isSign(char c) { return c == '+' || c == '-'; }

// Length of the entry starting at the sign old[i]: the sign plus the
// non-sign characters that follow it before the next sign or `len`.
size_t entryLength(const char *old, size_t i, size_t len) {
  size_t run = 1;
  while (i + run < len && !isSign(old[i + run])) ++run;
  return run;
}

}  // namespace

void normalizeRotorTable(const char *old, char *out) {
  const size_t len = strlen(old);
  size_t o = 0;  // invariant: o <= i, so out never outgrows old
  size_t i = 0;
  while (i < len) {
    if (!isSign(old[i])) {
      const size_t n = len - i < kEntryLength ? len - i : kEntryLength;
      memcpy(out + o, old + i, n);
      o += n;
      i += kEntryLength;
      continue;
    }
    const size_t run = entryLength(old, i, len);
    if (run == kEntryLength) {
      memcpy(out + o, old + i, kEntryLength);
      o += kEntryLength;
    } else if (run == kEntryLength + 1) {
      memcpy(out + o, old + i + 1, kEntryLength);
      o += kEntryLength;
    } else if (run > kEntryLength + 1) {
      memcpy(out, old, len + 1);
      return;
    }
    i += run;
  }
  out[o] = '\0';
}
