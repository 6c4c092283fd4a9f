// Writing registry trees as dump text.
#include "dump_format.h"

#include <cstdio>
#include <cstring>

#include "show.h"

namespace nctool {

namespace {

// One byte as \xNN.
std::string hexEscape(unsigned char c) {
  char buf[5];
  snprintf(buf, sizeof buf, "\\x%02x", c);
  return buf;
}

// The value part of a key line: ":value", or "" for a key without one.
std::string valueText(const Node &n) {
  if (n.type == NC_RAW) return ":" + hex(n.bytes);
  if (!n.has_value || n.type == NC_LINK) return "";
  switch (n.type) {
    case NC_STRING:
      return ":" + escapeText(n.bytes, false);
    case NC_INT:
      return ":" + std::to_string(int64_t(n.bits));
    case NC_UINT:
      return ":" + std::to_string(n.bits);
    case NC_DOUBLE: {
      double d, back;
      memcpy(&d, &n.bits, sizeof d);
      std::string text = formatDouble(d);
      if (parseDouble(text, back) && memcmp(&back, &d, sizeof d) == 0)
        return ":" + text;
      char bits[20];
      snprintf(bits, sizeof bits, "#%016llx",
               static_cast<unsigned long long>(n.bits));
      return std::string(":") + bits;
    }
  }
  return "";
}

// The key line of `n`: "name=type:value".
std::string keyLine(const Node &n) {
  return escapeText(n.name, true) + "=" + typeName(n.type) + valueText(n) + "\n";
}

}  // namespace

std::string escapeText(const std::string &s, bool name) {
  std::string out;
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  for (size_t i = 0; i < s.size();) {
    unsigned char c = p[i];
    size_t len = utf8Sequence(p + i, s.size() - i);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f || len == 0 ||
               (name && (c == '=' || (i == 0 && (c == '[' || c == '#'))))) {
      out += hexEscape(c);
    } else {
      out.append(s, i, len);
      i += len;
      continue;
    }
    ++i;
  }
  return out;
}

std::string escapePath(const std::string &path) {
  if (path == "/") return path;
  std::string out;
  for (size_t start = 1; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    out += "/" + escapeText(path.substr(start, end - start), true);
    start = end + 1;
  }
  return out;
}

bool unescapeText(const std::string &text, std::string &out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 's': out += ' '; break;
      case 'x': {
        std::string byte;
        if (i + 2 >= text.size() || !unhex(text.substr(i + 1, 2), byte))
          return false;
        out += byte;
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

std::string dumpText(const Node &tree, const std::string &path) {
  std::string out = "# nctool dump 1\n";
  if (tree.type != NC_DIR)
    return out + "[" + escapePath(dirName(path)) + "]\n" + keyLine(tree);
  // Each directory's header, then its keys; its subdirectories follow.
  forEachNode(tree, path, [&](const Node &dir, const std::string &p) {
    if (dir.type != NC_DIR) return;
    out += "[" + escapePath(p) + "]\n";
    for (const Node &c : dir.children)
      if (c.type != NC_DIR) out += keyLine(c);
  });
  return out;
}

}  // namespace nctool
