// A registry file read as bytes, for the commands that must work on damaged
// files: the structural check and the statistics.
#ifndef TOOLS_NCTOOL_IMAGE_H
#define TOOLS_NCTOOL_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace nctool {

// The bytes of a registry file, read under a shared whole-file lock so that
// no writer of the store is half-way through.
struct Image {
  std::string file;
  std::vector<char> bytes;
};

// Reads `file` whole. Throws Failure with status kExitNoFile when it cannot
// be opened or read.
Image loadImage(const std::string &file);

// One damage finding of the structural checker.
struct Finding {
  uint32_t offset;   // byte position in the file the finding is about
  std::string what;  // what is wrong there
};

// What the structural checker reports about an image.
struct CheckSummary {
  std::vector<Finding> damage;  // empty for an intact file
  uint64_t leaked_bytes = 0;    // allocated, yet reachable from nothing
  std::vector<Finding> leaks;   // each leaked area: where, and how large
  uint32_t directories = 0;
  uint32_t keys = 0;
};

// True when `bytes` begin with a superblock written on a machine of the
// other byte order (files are used only where they were made).
bool otherByteOrder(const char *bytes, size_t length);
// Brings `image`, of the other byte order, into host order. Returns "" or
// why it cannot be done (the image is damaged).
std::string toHostOrder(Image &image);

// Runs the store's structural checker over the image.
CheckSummary checkImage(const Image &image);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_IMAGE_H
