// Showing names and values, and reading values from the command line.
#include "show.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/system/nconfig.h"
#include "tree.h"

namespace nctool {

namespace {

const char *const kTypeNames[] = {nullptr, "dir", "string", "int",
                                  "uint",  "raw", "double", "link"};

// Parses an unsigned magnitude: decimal, or hex after "0x"; all of [b, e).
bool parseMagnitude(const char *b, const char *e, uint64_t &out) {
  int base = 10;
  if (e - b > 2 && b[0] == '0' && (b[1] == 'x' || b[1] == 'X')) {
    base = 16;
    b += 2;
  }
  if (b == e) return false;
  auto [ptr, ec] = std::from_chars(b, e, out, base);
  return ec == std::errc() && ptr == e;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string typeName(uint32_t type) {
  if (type >= NC_DIR && type <= NC_LINK) return kTypeNames[type];
  return "type " + std::to_string(type);
}

uint32_t typeFromName(const std::string &name) {
  for (uint32_t t = NC_DIR; t <= NC_LINK; ++t)
    if (name == kTypeNames[t]) return t;
  return 0;
}

size_t utf8Sequence(const unsigned char *p, size_t n) {
  if (n == 0) return 0;
  unsigned c = p[0];
  if (c < 0x80) return 1;
  size_t len;
  unsigned lo = 0x80, hi = 0xbf;  // allowed range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
  } else if (c == 0xe0) {
    len = 3, lo = 0xa0;  // no overlong forms
  } else if (c == 0xed) {
    len = 3, hi = 0x9f;  // no surrogates
  } else if (c >= 0xe1 && c <= 0xef) {
    len = 3;
  } else if (c == 0xf0) {
    len = 4, lo = 0x90;
  } else if (c >= 0xf1 && c <= 0xf3) {
    len = 4;
  } else if (c == 0xf4) {
    len = 4, hi = 0x8f;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (n < len || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if (p[i] < 0x80 || p[i] > 0xbf) return 0;
  return len;
}

bool isUtf8(const std::string &s) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8Sequence(p + i, s.size() - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string quote(const std::string &s, size_t limit) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  const size_t n = s.size();
  const size_t stop = limit != 0 && n > limit ? limit : n;
  std::string out = "\"";
  size_t i = 0;
  while (i < stop) {
    size_t len = utf8Sequence(p + i, n - i);
    if (len > 1) {
      if (i + len > stop) break;  // never show part of a character
      out.append(s, i, len);
      i += len;
      continue;
    }
    unsigned char c = p[i++];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (len == 0 || c < 0x20 || c == 0x7f) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  out += '"';
  if (stop < n) out += "... (" + std::to_string(n) + " bytes)";
  return out;
}

std::string showName(const std::string &name) {
  const auto *p = reinterpret_cast<const unsigned char *>(name.data());
  bool plain = !name.empty();
  for (size_t i = 0; plain && i < name.size();) {
    size_t len = utf8Sequence(p + i, name.size() - i);
    unsigned char c = p[i];
    if (len == 0 || (len == 1 && (c <= 0x20 || c >= 0x7f || c == '"' ||
                                  c == '\\' || c == '=')))
      plain = false;
    i += len == 0 ? 1 : len;
  }
  return plain ? name : quote(name);
}

std::string hex(const std::string &bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

bool unhex(const std::string &text, std::string &bytes) {
  if (text.size() % 2 != 0) return false;
  std::string out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += char(hi << 4 | lo);
  }
  bytes.swap(out);
  return true;
}

std::string formatDouble(double d) {
  char buf[64];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, d);
  if (ec != std::errc()) return "?";
  return std::string(buf, ptr);
}

std::string showValue(const Node &n, bool full) {
  if (n.type == NC_RAW) {
    if (n.bytes.empty()) return "(empty)";
    if (full || n.bytes.size() <= kShortRaw) return hex(n.bytes);
    return hex(n.bytes.substr(0, kShortRaw)) + "... (" +
           std::to_string(n.bytes.size()) + " bytes)";
  }
  if (!n.has_value) return "(no value)";
  switch (n.type) {
    case NC_STRING: return quote(n.bytes, full ? 0 : kShortString);
    case NC_INT: return std::to_string(int64_t(n.bits));
    case NC_UINT: return std::to_string(n.bits);
    case NC_DOUBLE: {
      double d;
      memcpy(&d, &n.bits, sizeof d);
      return formatDouble(d);
    }
  }
  return "";
}

std::string showEntry(const Node &n, const std::string &name, bool full) {
  std::string shown = showName(name);
  if (n.type == NC_DIR)
    return shown.back() == '/' ? shown : shown + "/";
  shown += " (" + typeName(n.type) + ")";
  if (n.type >= NC_STRING && n.type <= NC_DOUBLE) shown += " = " + showValue(n, full);
  return shown;
}

bool parseInt(const std::string &text, int64_t &out) {
  const char *b = text.data(), *e = b + text.size();
  bool negative = false;
  if (b < e && (*b == '-' || *b == '+')) negative = *b++ == '-';
  uint64_t mag;
  if (!parseMagnitude(b, e, mag)) return false;
  const uint64_t limit = uint64_t(INT64_MAX) + (negative ? 1 : 0);
  if (mag > limit) return false;
  out = negative ? int64_t(0 - mag) : int64_t(mag);
  return true;
}

bool parseUint(const std::string &text, uint64_t &out) {
  const char *b = text.data(), *e = b + text.size();
  if (b < e && *b == '+') ++b;
  return parseMagnitude(b, e, out);
}

bool parseDouble(const std::string &text, double &out) {
  if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char *end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return false;
  // An overflow gives an infinity the text did not ask for.
  if (errno == ERANGE && std::isinf(v)) return false;
  out = v;
  return true;
}

}  // namespace nctool
