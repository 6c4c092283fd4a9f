// stat and check: figures and structural integrity of a registry file.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>

#include "image.h"
#include "lib/system/nconfig.h"
#include "tool.h"

namespace nctool {

namespace {

// The allocator's figures, defined as the store's status() defines them.
struct FreeSpace {
  uint32_t total = 0, count = 0, min = 0, max = 0;
};

// The superblock of `image`; throws Failure when there is none.
nc_sb_s superblock(const Image &image) {
  nc_sb_s sb;
  if (image.bytes.size() < sizeof sb ||
      memcmp(image.bytes.data(), NC_SB_MAGIC, 4) != 0)
    throw Failure(image.file, "not a registry file (empty, or wrong magic number)");
  memcpy(&sb, image.bytes.data(), sizeof sb);
  return sb;
}

// Free-space figures from the table, or false when the table does not lie
// inside the file.
bool freeSpace(const Image &image, const nc_sb_s &sb, FreeSpace &f) {
  if (sb.chunk % 4 != 0 ||
      uint64_t(sb.chunk) + uint64_t(sb.chunk_ttl) * 8 > image.bytes.size())
    return false;
  for (uint32_t i = 0; i < sb.chunk_ttl; ++i) {
    nc_chunk_s rec;
    memcpy(&rec, image.bytes.data() + sb.chunk + i * 8, sizeof rec);
    if (i == 0) f.max = rec.size;
    if (rec.size == 0) continue;
    f.count++;
    f.total += rec.size;
    if (f.min == 0 || f.min > rec.size) f.min = rec.size;
  }
  return true;
}

int runStat(const std::string &file) {
  Image image = loadImage(file);
  if (otherByteOrder(image.bytes.data(), image.bytes.size()))
    throw Failure(file, kOtherByteOrder);
  nc_sb_s sb = superblock(image);
  CheckSummary check = checkImage(image);

  printf("size:         %u\n", sb.size);
  if (sb.size != image.bytes.size())
    printf("file length:  %zu (differs from size)\n", image.bytes.size());
  printf("growth unit:  %u page%s (%llu bytes)\n", sb.size_inc,
         sb.size_inc == 1 ? "" : "s",
         static_cast<unsigned long long>(sb.size_inc) * 4096);
  printf("dir batch:    %u slots\n", sb.ent_inc);
  printf("table:        %u records at %u, grows by %u\n", sb.chunk_ttl, sb.chunk,
         sb.chunk_inc);
  printf("modtime:      %u\n", sb.modtime);
  FreeSpace f;
  if (freeSpace(image, sb, f)) {
    printf("free:         %u in %u chunk%s\n", f.total, f.count,
           f.count > 1 ? "s" : "");
    if (f.count != 0)
      printf("min:          %u\navg:          %u\nmax:          %u\n", f.min,
             f.total / f.count, f.max);
  } else {
    printf("free:         unknown (the table lies outside the file)\n");
  }
  printf("directories:  %u\n", check.directories);
  printf("keys:         %u\n", check.keys);
  printf("leaked:       %llu bytes in %zu area%s\n",
         static_cast<unsigned long long>(check.leaked_bytes), check.leaks.size(),
         check.leaks.size() == 1 ? "" : "s");
  if (!check.damage.empty())
    printf("damage:       %zu finding%s; run 'nctool check %s'\n",
           check.damage.size(), check.damage.size() == 1 ? "" : "s",
           file.c_str());
  return kExitOk;
}

int runCheck(const std::string &file, bool quiet, bool leaks) {
  Image image = loadImage(file);
  CheckSummary check = checkImage(image);
  if (!quiet && otherByteOrder(image.bytes.data(), image.bytes.size()))
    printf("%s: %s\n", file.c_str(), kOtherByteOrder);
  if (!quiet) {
    for (const Finding &f : check.damage)
      printf("%s: offset %u: %s\n", file.c_str(), f.offset, f.what.c_str());
    if (leaks)
      for (const Finding &f : check.leaks)
        printf("%s: offset %u: leaked: %s\n", file.c_str(), f.offset, f.what.c_str());
    if (check.damage.empty()) {
      printf("%s: intact: %u director%s, %u key%s, %llu bytes leaked\n",
             file.c_str(), check.directories,
             check.directories == 1 ? "y" : "ies", check.keys,
             check.keys == 1 ? "" : "s",
             static_cast<unsigned long long>(check.leaked_bytes));
    } else {
      printf("%s: damaged: %zu finding%s\n", file.c_str(), check.damage.size(),
             check.damage.size() == 1 ? "" : "s");
    }
  }
  return check.damage.empty() ? kExitOk : kExitNo;
}

}  // namespace

void addStatCommand(CLI::App &app, std::vector<Command> &out) {
  auto file = std::make_shared<std::string>();
  CLI::App *cmd = app.add_subcommand("stat", "Show size, free space and counts");
  cmd->footer(
      "Prints the file's size and parameters; its free space as the allocator\n"
      "sees it: total bytes in free chunks, their number, and the smallest,\n"
      "average and largest; the number of directories (the root included)\n"
      "and keys; and leaked bytes: space allocated that nothing refers to,\n"
      "which 'compact' reclaims.\n"
      "Example:  nctool stat reg.db");
  cmd->add_option("FILE", *file, "Registry file")->required();
  out.push_back({cmd, [file] { return runStat(*file); }});
}

void addCheckCommand(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string file;
    bool quiet = false;
    bool leaks = false;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("check", "Check the file's structure");
  cmd->footer(
      "Prints one line per damage found: the byte offset in the file and what\n"
      "is wrong there; or that the file is intact. Leaked space is not damage.\n"
      "Exit status: 0 intact, 1 damaged, 2 the file cannot be opened.\n"
      "Example:  nctool check reg.db && cp reg.db /mnt/receiver/");
  cmd->add_option("FILE", o->file, "Registry file")->required();
  cmd->add_flag("-q,--quiet", o->quiet, "Print nothing; only the exit status");
  cmd->add_flag("-l,--leaks", o->leaks, "Also list each leaked area");
  out.push_back({cmd, [o] { return runCheck(o->file, o->quiet, o->leaks); }});
}

}  // namespace nctool
