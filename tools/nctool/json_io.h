// The export format: a registry tree as JSON that keeps every type and every
// byte. The format:
//
//   {"format": "nctool-export", "version": 1, "path": "/a",
//    "tree": {"name": "a", "type": "dir", "children": [ ...nodes... ]}}
//
// A node has "type" ("dir", "string", "int", "uint", "double", "raw"; "link"
// is written for a damaged file's link entries but never read back)
// and, except for the exported node itself, "name". Values:
//   string  "value": the text; null for a string key without a value
//   int     "value": a JSON integer (64-bit signed)
//   uint    "value": a JSON integer (64-bit unsigned)
//   double  "value": a JSON number that reads back as the same double, or
//           "bits": 16 hex digits of the IEEE 754 pattern (NaN, infinities)
//   raw     "value": hex digits, "" for an empty value
//   dir     "children": an array of nodes
// A name, path or string that is not valid UTF-8 is written as hex digits
// under the same key followed by "_hex" ("name_hex", "value_hex").
// int, uint and double keys without a value have "value": null.
#ifndef TOOLS_NCTOOL_JSON_IO_H
#define TOOLS_NCTOOL_JSON_IO_H

#include <string>

#include "tree.h"

namespace nctool {

// The export document for `tree`, read at `path`, indented for people.
std::string exportDocument(const Node &tree, const std::string &path);

// The listing of `n`, read at `path`, as one line of JSON:
//   {"path": "/net", "type": "dir", "entries": [ ...nodes... ]}
// The entries are the children of a directory, or the key itself; each is a
// node as above, directories without "children".
std::string listingJson(const Node &n, const std::string &path);

// The key `n`, read at `path`, as one line of JSON: {"path": "/net/port",
// "type": "uint", "value": 8001}, the value as in a node above.
std::string keyJson(const Node &n, const std::string &path);

// Reads an export document. Throws Failure naming `source` and the place of
// the problem. `path` receives the path the tree was exported from.
Node importDocument(const std::string &text, const std::string &source,
                    std::string &path);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_JSON_IO_H
