// Export documents: registry trees as JSON and back.
#include "json_io.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "pathname.h"
#include "show.h"
#include "tool.h"

namespace nctool {

namespace {

using json = nlohmann::ordered_json;  // keeps "name" and "type" first

constexpr const char *kFormat = "nctool-export";
constexpr int kVersion = 1;

// Stores `s` under `key`, or as hex under key_hex when it is not UTF-8.
void putText(json &obj, const std::string &key, const std::string &s) {
  if (isUtf8(s)) {
    obj[key] = s;
  } else {
    obj[key + "_hex"] = hex(s);
  }
}

// True when the JSON number for `d` reads back as the very same bits.
bool numberKeepsBits(double d) {
  if (!std::isfinite(d)) return false;
  double back = json::parse(json(d).dump()).get<double>();
  return memcmp(&back, &d, sizeof d) == 0;
}

// The node `n` as JSON; with `below`, a directory's children too.
json toJson(const Node &n, bool below = true) {
  json j = json::object();
  putText(j, "name", n.name);
  j["type"] = typeName(n.type);
  switch (n.type) {
    case NC_DIR: {
      if (!below) break;
      json children = json::array();
      for (const Node &c : n.children) children.push_back(toJson(c));
      j["children"] = std::move(children);
      break;
    }
    case NC_RAW:
      j["value"] = hex(n.bytes);
      break;
    case NC_STRING:
      if (n.has_value) {
        putText(j, "value", n.bytes);
      } else {
        j["value"] = nullptr;
      }
      break;
    case NC_INT:
    case NC_UINT:
    case NC_DOUBLE: {
      if (!n.has_value) {
        j["value"] = nullptr;
      } else if (n.type == NC_INT) {
        j["value"] = static_cast<int64_t>(n.bits);
      } else if (n.type == NC_UINT) {
        j["value"] = static_cast<uint64_t>(n.bits);
      } else {
        double d;
        memcpy(&d, &n.bits, sizeof d);
        if (numberKeepsBits(d)) {
          j["value"] = d;
        } else {
          char buf[24];
          snprintf(buf, sizeof buf, "%016" PRIx64, n.bits);
          j["bits"] = buf;
        }
      }
      break;
    }
  }
  return j;
}

// Reads an export document, keeping the source's name and the registry path
// of the node being read for messages.
class Reader {
 public:
  explicit Reader(const std::string &source) : source_(source) {}

  Failure bad(const std::string &where, const std::string &what) const {
    return Failure(source_, where + ": " + what);
  }

  // Text under `key` or `key`_hex; false when neither is there.
  bool text(const json &obj, const std::string &key, const std::string &where,
            std::string &out) const {
    auto it = obj.find(key);
    if (it != obj.end()) {
      if (!it->is_string()) throw bad(where, "\"" + key + "\" is not a string");
      out = it->get<std::string>();
      return true;
    }
    it = obj.find(key + "_hex");
    if (it == obj.end()) return false;
    if (!it->is_string() || !unhex(it->get<std::string>(), out))
      throw bad(where, "\"" + key + "_hex\" is not hex digits");
    return true;
  }

  // The node `j`, which belongs at registry path `where`.
  Node node(const json &j, const std::string &where) const {
    if (!j.is_object()) throw bad(where, "not a JSON object");
    Node n;
    n.name = baseName(where);
    auto type = j.find("type");
    if (type == j.end() || !type->is_string())
      throw bad(where, "has no \"type\"");
    n.type = typeFromName(type->get<std::string>());
    if (n.type == 0) throw bad(where, "unknown type " + type->dump());
    // Nothing in the store creates or follows links; a file holding one is
    // damaged, so an import does not make one.
    if (n.type == NC_LINK) throw bad(where, "link entries cannot be imported");
    if (n.type == NC_DIR) {
      children(j, where, n);
    } else {
      value(j, where, n);
    }
    return n;
  }

 private:
  void children(const json &j, const std::string &where, Node &n) const {
    auto list = j.find("children");
    if (list == j.end()) return;
    if (!list->is_array()) throw bad(where, "\"children\" is not an array");
    if (std::count(where.begin(), where.end(), '/') >= kMaxDepth)
      throw bad(where, "nested deeper than " + std::to_string(kMaxDepth) + " levels");
    std::set<std::string> seen;
    for (const json &c : *list) {
      std::string name;
      if (!c.is_object() || !text(c, "name", where, name))
        throw bad(where, "a child has no \"name\"");
      if (!isPlainName(name) || name.find('\0') != std::string::npos)
        throw bad(where, "a child has the unusable name " + quote(name));
      if (!seen.insert(name).second)
        throw bad(where, "the name " + quote(name) + " appears twice");
      n.children.push_back(node(c, joinPath(where, name)));
    }
    std::sort(n.children.begin(), n.children.end(),
              [](const Node &a, const Node &b) { return a.name < b.name; });
  }

  void value(const json &j, const std::string &where, Node &n) const {
    if (n.type == NC_DOUBLE && j.contains("bits")) {
      std::string bits;
      const json &b = j["bits"];
      if (!b.is_string() || b.get<std::string>().size() != 16 ||
          !unhex(b.get<std::string>(), bits))
        throw bad(where, "\"bits\" is not 16 hex digits");
      n.bits = 0;
      for (unsigned char c : bits) n.bits = n.bits << 8 | c;
      return;
    }
    auto v = j.find("value");
    if (v != j.end() && v->is_null() && n.type != NC_RAW) {
      n.has_value = false;
      return;
    }
    switch (n.type) {
      case NC_STRING:
        if (!text(j, "value", where, n.bytes)) throw bad(where, "has no \"value\"");
        if (n.bytes.find('\0') != std::string::npos)
          throw bad(where, "a string cannot hold NUL bytes");
        return;
      case NC_RAW:
        if (v == j.end() || !v->is_string() || !unhex(v->get<std::string>(), n.bytes))
          throw bad(where, "\"value\" is not hex digits");
        return;
      case NC_INT:
        if (v != j.end() && v->is_number_integer() &&
            !(v->is_number_unsigned() && v->get<uint64_t>() > uint64_t(INT64_MAX))) {
          n.bits = uint64_t(v->get<int64_t>());
          return;
        }
        throw bad(where, "\"value\" is not a 64-bit signed integer");
      case NC_UINT:
        if (v != j.end() && v->is_number_unsigned()) {
          n.bits = v->get<uint64_t>();
          return;
        }
        throw bad(where, "\"value\" is not a 64-bit unsigned integer");
      case NC_DOUBLE:
        if (v != j.end() && v->is_number()) {
          double d = v->get<double>();
          memcpy(&n.bits, &d, sizeof d);
          return;
        }
        throw bad(where, "\"value\" is not a number");
    }
  }

  std::string source_;
};

// "line L, column C" of the byte at 1-based position `byte` of `text`
// ("the end" when the text ended first).
std::string place(const std::string &text, size_t byte) {
  if (byte == 0 || byte > text.size()) return "unexpected end of the text";
  size_t line = 1, column = 1;
  for (size_t i = 0; i + 1 < byte; ++i) {
    column = text[i] == '\n' ? 1 : column + 1;
    if (text[i] == '\n') ++line;
  }
  return "unexpected character at line " + std::to_string(line) + ", column " +
         std::to_string(column);
}

}  // namespace

std::string exportDocument(const Node &tree, const std::string &path) {
  json doc = json::object();
  doc["format"] = kFormat;
  doc["version"] = kVersion;
  putText(doc, "path", path);
  doc["tree"] = toJson(tree);
  return doc.dump(2) + "\n";
}

std::string listingJson(const Node &n, const std::string &path) {
  json doc = json::object();
  putText(doc, "path", path);
  doc["type"] = typeName(n.type);
  json entries = json::array();
  for (const Node *e : listed(n)) entries.push_back(toJson(*e, false));
  doc["entries"] = std::move(entries);
  return doc.dump() + "\n";
}

std::string keyJson(const Node &n, const std::string &path) {
  json doc = toJson(n, false);
  doc.erase("name");
  doc.erase("name_hex");
  json out = json::object();
  putText(out, "path", path);
  out.update(doc);
  return out.dump() + "\n";
}

Node importDocument(const std::string &text, const std::string &source,
                    std::string &path) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::parse_error &e) {
    throw Failure(source, "not valid JSON: " + place(text, e.byte));
  }
  Reader reader(source);
  if (!doc.is_object() || doc.value("format", json()) != kFormat)
    throw Failure(source, "not an nctool export (no \"format\": \"nctool-export\")");
  if (doc.value("version", json()) != kVersion)
    throw Failure(source, "export format version " + doc.value("version", json()).dump() +
                              " is not supported (this nctool reads version 1)");
  path = "/";
  reader.text(doc, "path", "document", path);
  if (!doc.contains("tree")) throw Failure(source, "has no \"tree\"");
  try {
    return reader.node(doc["tree"], path);
  } catch (const json::exception &) {
    throw Failure(source, "a value of the wrong kind in the document");
  }
}

}  // namespace nctool
