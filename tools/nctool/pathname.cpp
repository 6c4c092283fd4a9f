// Validation of the registry paths given to the tool.
#include "pathname.h"

#include "show.h"
#include "tool.h"

namespace nctool {

std::string pathProblem(const std::string &path) {
  if (path.empty()) return "it is empty";
  if (path[0] != '/') return "it must begin with '/'";
  if (path.find('\0') != std::string::npos) return "it holds a NUL byte";
  if (path == "/") return "";
  if (path.back() == '/') return "it ends in '/'";
  size_t depth = 0;
  for (size_t start = 1; start <= path.size(); ++depth) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part.empty()) return "it has an empty component ('//')";
    if (part == "." || part == "..") return "it has a '" + part + "' component";
    start = end + 1;
  }
  if (depth > size_t(kMaxDepth))
    return "it is deeper than " + std::to_string(kMaxDepth) + " levels";
  return "";
}

void requirePath(const std::string &file, const std::string &path) {
  std::string problem = pathProblem(path);
  if (!problem.empty())
    throw Failure(file, quote(path) + ": not a plain absolute path: " + problem,
                  kExitTrouble);
}

}  // namespace nctool
