// The dump format: a registry tree as lines of text, for people, diff and
// version control. Every byte of every name and value is kept.
//
//   # nctool dump 1
//   [/net]
//   host=string:receiver1
//   port=uint:8001
//   [/net/hosts]
//
// A "[PATH]" line starts a directory (every directory has one, empty ones
// too); the "name=type:value" lines after it are its keys. Each directory's
// keys come in name order, then its subdirectories, each followed by all
// below it. Values: string as text; int and uint in decimal; double as the
// shortest decimal that reads back as the same bits, or "#" and the 16 hex
// digits of its bit pattern when none does (NaN payloads); raw as hex digits.
// "name=type" without ":" is a key without a value.
//
// Escapes in names, paths and strings: "\\", "\n", "\t", "\r", and "\xNN"
// for other control bytes, DEL and bytes that are not UTF-8; in names also
// "=" and a leading "[" or "#". Blank lines and lines starting with "#" are
// ignored when reading.
#ifndef TOOLS_NCTOOL_DUMP_FORMAT_H
#define TOOLS_NCTOOL_DUMP_FORMAT_H

#include <string>

#include "tree.h"

namespace nctool {

// `s` with the escapes above; with `name`, also those for names.
std::string escapeText(const std::string &s, bool name);
// `path` with each component escaped as a name.
std::string escapePath(const std::string &path);
// Undoes escapeText (also reads "\s" as a space). False on a bad escape.
bool unescapeText(const std::string &text, std::string &out);

// The dump of `tree`, read at `path`.
std::string dumpText(const Node &tree, const std::string &path);

// Reads a dump into a directory node. `path` receives the first header's
// path, under which every other header must lie. Throws Failure naming
// `source` and the line of the problem.
Node parseDump(const std::string &text, const std::string &source,
               std::string &path);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_DUMP_FORMAT_H
