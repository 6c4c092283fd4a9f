// stat and check: figures and structural integrity of a registry file.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "byteorder.h"
#include "image.h"
#include "lib/system/nconfig.h"
#include "lib/system/nconfig/format.h"
#include "tool.h"

namespace nctool {

namespace {

using json = nlohmann::ordered_json;

// The superblock of `image`; throws Failure when there is none.
nc_sb_s superblock(const Image &image) {
  nc_sb_s sb;
  if (image.bytes.size() < sizeof sb ||
      memcmp(image.bytes.data(), NC_SB_MAGIC, 4) != 0)
    throw Failure(image.file, "not a registry file (empty, or wrong magic number)");
  memcpy(&sb, image.bytes.data(), sizeof sb);
  return sb;
}

// What stat reports about a file.
struct Figures {
  nc_sb_s sb;
  size_t length = 0;     // bytes in the file
  bool foreign = false;  // of the other byte order than this machine's
  nc::FreeSpace free;    // as the store's status() reports it
  CheckSummary check;
};

Figures figures(const std::string &file) {
  Image image = loadImage(file);
  Figures fig;
  fig.foreign = otherByteOrder(image.bytes.data(), image.bytes.size());
  if (fig.foreign) {
    std::string why = toHostOrder(image);
    if (!why.empty()) throw Failure(file, "of the other byte order, and " + why);
  }
  fig.sb = superblock(image);
  fig.length = image.bytes.size();
  fig.free = nc::freeSpace(image.bytes.data(), image.bytes.size(), fig.sb);
  fig.check = checkImage(image);
  return fig;
}

void printStat(const std::string &file, const Figures &fig) {
  const nc_sb_s &sb = fig.sb;
  const nc::FreeSpace &f = fig.free;
  printf("size:         %u\n", sb.size);
  printf("byte order:   %s\n", (fig.foreign != hostIsBigEndian()) ? "big-endian" : "little-endian");
  if (sb.size != fig.length)
    printf("file length:  %zu (differs from size)\n", fig.length);
  printf("growth unit:  %u page%s (%llu bytes)\n", sb.size_inc,
         sb.size_inc == 1 ? "" : "s",
         static_cast<unsigned long long>(sb.size_inc) * 4096);
  printf("dir batch:    %u slots\n", sb.ent_inc);
  printf("table:        %u records at %u, grows by %u\n", sb.chunk_ttl, sb.chunk,
         sb.chunk_inc);
  printf("modtime:      %u\n", sb.modtime);
  if (f.known) {
    printf("free:         %u in %u chunk%s\n", f.bytes, f.chunks,
           f.chunks > 1 ? "s" : "");
    if (f.chunks != 0)
      printf("min:          %u\navg:          %u\nmax:          %u\n", f.min,
             f.avg(), f.max);
  } else {
    printf("free:         unknown (the table lies outside the file)\n");
  }
  const CheckSummary &check = fig.check;
  printf("directories:  %u\n", check.directories);
  printf("keys:         %u\n", check.keys);
  printf("leaked:       %llu bytes in %zu area%s\n",
         static_cast<unsigned long long>(check.leaked_bytes), check.leaks.size(),
         check.leaks.size() == 1 ? "" : "s");
  if (!check.damage.empty())
    printf("damage:       %zu finding%s; run 'nctool check %s'\n",
           check.damage.size(), check.damage.size() == 1 ? "" : "s",
           file.c_str());
}

void printStatJson(const std::string &file, const Figures &fig) {
  json j = json::object();
  j["file"] = file;
  j["size"] = fig.sb.size;
  j["byte_order"] = (fig.foreign != hostIsBigEndian()) ? "big" : "little";
  j["file_length"] = fig.length;
  j["growth_pages"] = fig.sb.size_inc;
  j["dir_batch"] = fig.sb.ent_inc;
  j["table"] = {{"records", fig.sb.chunk_ttl}, {"offset", fig.sb.chunk},
                {"grows_by", fig.sb.chunk_inc}};
  j["modtime"] = fig.sb.modtime;
  const nc::FreeSpace &f = fig.free;
  if (f.known) {
    j["free"] = {{"bytes", f.bytes}, {"chunks", f.chunks}, {"min", f.min},
                 {"avg", f.avg()}, {"max", f.max}};
  } else {
    j["free"] = nullptr;
  }
  j["directories"] = fig.check.directories;
  j["keys"] = fig.check.keys;
  j["leaked"] = {{"bytes", fig.check.leaked_bytes}, {"areas", fig.check.leaks.size()}};
  j["damage"] = fig.check.damage.size();
  printf("%s\n", j.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
}

// Findings as a JSON array of {"offset", "what"}.
json findingsJson(const std::vector<Finding> &list) {
  json a = json::array();
  for (const Finding &f : list) a.push_back({{"offset", f.offset}, {"what", f.what}});
  return a;
}

void printCheckJson(const std::string &file, const CheckSummary &check) {
  json j = json::object();
  j["file"] = file;
  j["intact"] = check.damage.empty();
  j["damage"] = findingsJson(check.damage);
  j["leaks"] = findingsJson(check.leaks);
  j["leaked_bytes"] = check.leaked_bytes;
  j["directories"] = check.directories;
  j["keys"] = check.keys;
  printf("%s\n", j.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
}

int runCheck(const std::string &file, bool quiet, bool leaks, bool asJson) {
  Image image = loadImage(file);
  if (otherByteOrder(image.bytes.data(), image.bytes.size())) {
    std::string why = toHostOrder(image);
    if (!why.empty()) {
      if (!quiet) printf("%s: of the other byte order, and %s\n", file.c_str(), why.c_str());
      return kExitNo;
    }
  }
  CheckSummary check = checkImage(image);
  if (asJson && !quiet) {
    printCheckJson(file, check);
    return check.damage.empty() ? kExitOk : kExitNo;
  }
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
  struct Options {
    std::string file;
    bool json = false;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("stat", "Show size, free space and counts");
  cmd->footer(
      "Prints the file's size and parameters; its free space as the allocator\n"
      "sees it: total bytes in free chunks, their number, and the smallest,\n"
      "average and largest; the number of directories (the root included)\n"
      "and keys; and leaked bytes: space allocated that nothing refers to,\n"
      "which 'compact' reclaims.\n"
      "Example:  nctool stat reg.db");
  cmd->add_option("FILE", o->file, "Registry file")->required();
  cmd->add_flag("--json", o->json, "One line of JSON (schema in README)");
  out.push_back({cmd, [o] {
                   Figures fig = figures(o->file);
                   if (o->json) {
                     printStatJson(o->file, fig);
                   } else {
                     printStat(o->file, fig);
                   }
                   return kExitOk;
                 }});
}

void addCheckCommand(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string file;
    bool quiet = false;
    bool leaks = false;
    bool json = false;
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
  cmd->add_flag("--json", o->json,
                "One line of JSON with every finding (schema in README)");
  out.push_back({cmd, [o] {
                   return runCheck(o->file, o->quiet, o->leaks, o->json);
                 }});
}

}  // namespace nctool
