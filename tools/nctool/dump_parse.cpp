// Reading dump text back into a registry tree.
#include <cstring>
#include <map>

#include "dump_format.h"
#include "pathname.h"
#include "show.h"
#include "tool.h"

namespace nctool {

namespace {

// A directory as the reader collects it: entries found by name.
struct DirBuilder {
  std::map<std::string, DirBuilder> dirs;
  std::map<std::string, Node> keys;
};

// Turns a collected directory into a node; depth is bounded by the paths.
Node build(DirBuilder &d, const std::string &name) {
  Node n;
  n.name = name;
  n.type = NC_DIR;
  auto dir = d.dirs.begin();
  auto key = d.keys.begin();
  while (dir != d.dirs.end() || key != d.keys.end()) {
    if (key == d.keys.end() || (dir != d.dirs.end() && dir->first < key->first)) {
      n.children.push_back(build(dir->second, dir->first));
      ++dir;
    } else {
      n.children.push_back(std::move(key->second));
      ++key;
    }
  }
  return n;
}

class DumpReader {
 public:
  explicit DumpReader(const std::string &source) : source_(source) {}

  // Reads one line; `line_no` counts from 1.
  void line(const std::string &text, size_t line_no) {
    line_ = line_no;
    if (text.empty() || text[0] == '#') return;
    if (text[0] == '[') {
      header(text);
    } else {
      key(text);
    }
  }

  Node finish(std::string &path) {
    if (!started_) throw Failure(source_, "holds no \"[PATH]\" line");
    path = top_;
    return build(root_, baseName(top_));
  }

 private:
  Failure bad(const std::string &what) const {
    return Failure(source_, "line " + std::to_string(line_) + ": " + what);
  }

  void header(const std::string &text) {
    if (text.size() < 2 || text.back() != ']') throw bad("a header is \"[PATH]\"");
    std::string path;
    if (!unescapeText(text.substr(1, text.size() - 2), path))
      throw bad("a bad escape in the path");
    std::string problem = pathProblem(path);
    if (!problem.empty()) throw bad(quote(path) + ": not a plain absolute path: " + problem);
    if (!started_) {
      started_ = true;
      top_ = path;
    }
    std::string rest;
    if (path != top_) {
      std::string prefix = top_ == "/" ? "/" : top_ + "/";
      if (path.compare(0, prefix.size(), prefix) != 0)
        throw bad(path + ": not below " + top_ + ", where the dump begins");
      rest = path.substr(prefix.size());
    }
    current_ = &root_;
    for (size_t start = 0; start < rest.size();) {
      size_t end = std::min(rest.find('/', start), rest.size());
      std::string name = rest.substr(start, end - start);
      if (current_->keys.count(name)) throw bad(name + ": a key and a directory");
      current_ = &current_->dirs[name];
      start = end + 1;
    }
  }

  void key(const std::string &text) {
    if (current_ == nullptr) throw bad("a key before the first \"[PATH]\" line");
    size_t eq = text.find('=');
    if (eq == std::string::npos) throw bad("a key line is \"name=type:value\"");
    size_t colon = text.find(':', eq);
    Node n;
    if (!unescapeText(text.substr(0, eq), n.name) || !isPlainName(n.name) ||
        n.name.find('\0') != std::string::npos)
      throw bad("the key name " + quote(text.substr(0, eq)) + " is not usable");
    std::string type = text.substr(eq + 1, colon == std::string::npos ? colon : colon - eq - 1);
    n.type = typeFromName(type);
    if (n.type == 0 || n.type == NC_DIR || n.type == NC_LINK)
      throw bad(n.name + ": unknown type " + quote(type));
    n.has_value = colon != std::string::npos || n.type == NC_RAW;
    if (colon != std::string::npos) value(text.substr(colon + 1), n);
    if (current_->dirs.count(n.name) || current_->keys.count(n.name))
      throw bad(n.name + ": appears twice");
    current_->keys.emplace(n.name, std::move(n));
  }

  void value(const std::string &text, Node &n) {
    bool ok = true;
    if (n.type == NC_STRING) {
      ok = unescapeText(text, n.bytes) && n.bytes.find('\0') == std::string::npos;
    } else if (n.type == NC_RAW) {
      ok = unhex(text, n.bytes);
    } else if (n.type == NC_INT) {
      int64_t v;
      ok = parseInt(text, v);
      n.bits = uint64_t(v);
    } else if (n.type == NC_UINT) {
      ok = parseUint(text, n.bits);
    } else if (!text.empty() && text[0] == '#') {
      std::string bits;
      ok = text.size() == 17 && unhex(text.substr(1), bits);
      for (size_t i = 0; ok && i < 8; ++i) n.bits = n.bits << 8 | uint8_t(bits[i]);
    } else {
      double d;
      ok = parseDouble(text, d);
      memcpy(&n.bits, &d, sizeof d);
    }
    if (!ok) throw bad(n.name + ": " + quote(text) + " is not a valid " + typeName(n.type) + " value");
  }

  std::string source_;
  size_t line_ = 0;
  bool started_ = false;
  std::string top_;
  DirBuilder root_;
  DirBuilder *current_ = nullptr;
};

}  // namespace

Node parseDump(const std::string &text, const std::string &source,
               std::string &path) {
  DumpReader reader(source);
  size_t line_no = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    reader.line(line, ++line_no);
    start = end + 1;
  }
  return reader.finish(path);
}

}  // namespace nctool
