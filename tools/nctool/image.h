// A registry file read as bytes, for the commands that must work on damaged
// files: the structural check and the statistics.
#ifndef TOOLS_NCTOOL_IMAGE_H
#define TOOLS_NCTOOL_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "lib/system/nconfig_check.h"

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

// What the store's structural checker reports, as the library gives it.
using Finding = nc_finding;
using CheckSummary = nc_check_report;

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
