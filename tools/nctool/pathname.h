// The registry paths the tool accepts: plain absolute paths, so that every
// path names one entry in one way.
#ifndef TOOLS_NCTOOL_PATHNAME_H
#define TOOLS_NCTOOL_PATHNAME_H

#include <string>

namespace nctool {

// Deepest directory nesting any command walks; deeper trees are damaged or
// hostile, and are refused rather than followed.
constexpr int kMaxDepth = 1000;

// Why `path` is not a plain absolute path ("/" or "/a/b"), or "" when it is
// one. Refused: a relative path, an empty component ("//", or a trailing
// "/" after anything but the root), "." and "..", and NUL bytes.
std::string pathProblem(const std::string &path);

// Throws Failure naming `file`, `path` and the problem, with kExitTrouble,
// unless `path` is a plain absolute path.
void requirePath(const std::string &file, const std::string &path);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_PATHNAME_H
