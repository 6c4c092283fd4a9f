// Explaining a refused open from the superblock and the checker.
#include "refusal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "lib/system/nconfig.h"
#include "lib/system/nconfig_check.h"
#include "lib/system/nconfig_tool.h"

namespace nctool {

namespace {

// Offset of the root entry, which the superblock records in the byte order
// of the machine that made the file.
constexpr uint32_t kRootOffset = 36;

constexpr char kNotRegistry[] = "not a registry file (empty, or wrong magic number)";

// The superblock of `file` and the file's length; false when it has none.
bool readSuperblock(const std::string &file, nc_sb_s *sb, off_t *length) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st = {};
  const bool ok = ::fstat(fd, &st) == 0 &&
                  ::pread(fd, sb, sizeof *sb, 0) == ssize_t(sizeof *sb) &&
                  memcmp(sb, NC_SB_MAGIC, 4) == 0;
  ::close(fd);
  *length = st.st_size;
  return ok;
}

}  // namespace

std::string refusal(const std::string &file) {
  nc_sb_s sb;
  off_t length = 0;
  if (!readSuperblock(file, &sb, &length)) return kNotRegistry;
  const bool other = sb.root != kRootOffset && __builtin_bswap32(sb.root) == kRootOffset;
  const uint32_t size = other ? __builtin_bswap32(sb.size) : sb.size;
  if (uint64_t(size) > uint64_t(length))
    return "truncated: header says " + std::to_string(size) + " bytes, file has " +
           std::to_string(length);
  const nc_check_report check = nc_check_file(file.c_str());
  const std::string first = check.damage.empty() ? "refused by the store" : check.damage[0].what;
  return std::string(other ? "of the other byte order, and " : "") + "damaged: " + first +
         "; run 'nctool salvage' on it";
}

}  // namespace nctool
