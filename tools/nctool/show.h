// How the tool shows names and values to people, and how it reads values
// from the command line.
#ifndef TOOLS_NCTOOL_SHOW_H
#define TOOLS_NCTOOL_SHOW_H

#include <cstdint>
#include <string>

namespace nctool {

struct Node;

// Longest string and raw value (in bytes) shown before shortening.
constexpr size_t kShortString = 64;
constexpr size_t kShortRaw = 32;

// Type names as the tool reads and writes them: "dir", "string", "int",
// "uint", "raw", "double", "link"; "type N" for anything else.
std::string typeName(uint32_t type);
// The type named `name`, or 0 when there is none.
uint32_t typeFromName(const std::string &name);

// Length of the well-formed UTF-8 sequence at p (at most n bytes), or 0.
// Rejects overlong forms, surrogates and code points above U+10FFFF.
size_t utf8Sequence(const unsigned char *p, size_t n);
// True when all of `s` is well-formed UTF-8.
bool isUtf8(const std::string &s);

// `s` in double quotes with ", \ and control characters escaped and bytes
// that are not UTF-8 shown as \xNN. With a non-zero `limit`, a longer `s`
// shows its first `limit` bytes (never a partial character) followed by
// `"..."... (N bytes)`.
std::string quote(const std::string &s, size_t limit = 0);
// A name as it appears in listings: bare when it is plain printable text,
// otherwise quoted as above.
std::string showName(const std::string &name);

// Lower-case hex digits of `bytes`.
std::string hex(const std::string &bytes);
// Decodes an even number of hex digits; false when `text` is not that.
bool unhex(const std::string &text, std::string &bytes);

// The shortest decimal text that reads back as the same double;
// "nan", "inf" and "-inf" for the values that have no number.
std::string formatDouble(double d);

// The value of key `n` as listings show it, shortened unless `full`.
std::string showValue(const Node &n, bool full);
// One listing line for `n` shown under `name`: "name/" for a directory,
// "name (type) = value" for a key.
std::string showEntry(const Node &n, const std::string &name, bool full);

// Parsers for command-line values; each returns false on anything but a
// complete, in-range value. Integers are decimal, or hex after "0x".
bool parseInt(const std::string &text, int64_t &out);
bool parseUint(const std::string &text, uint64_t &out);
bool parseDouble(const std::string &text, double &out);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_SHOW_H
