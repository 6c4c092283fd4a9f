// Reading what can still be read safely from a damaged registry image.
#ifndef TOOLS_NCTOOL_SALVAGE_H
#define TOOLS_NCTOOL_SALVAGE_H

#include <string>
#include <vector>

#include "image.h"
#include "tree.h"

namespace nctool {

// What was read from a damaged image, and what could not be.
struct Salvage {
  Node tree;                      // the root directory and all that was kept
  std::vector<std::string> lost;  // one line per entry left out, and why
};

// Walks the image (host byte order) from its root without trusting a word of
// it: every offset is checked against the image, directories are visited
// once and no deeper than kMaxDepth, and an entry is kept only when its name,
// type, parent link and whole value lie sound inside the image. Everything
// else is listed in `lost` by path (or by the directory and slot it hangs
// from) with the reason.
Salvage salvageImage(const Image &image);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_SALVAGE_H
