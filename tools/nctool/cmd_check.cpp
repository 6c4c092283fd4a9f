// stat and check: figures and structural integrity of a registry file.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "lib/system/nconfig.h"
#include "lib/system/nconfig_check.h"
#include "lib/system/nconfig_tool.h"
#include "registry.h"
#include "tool.h"

namespace nctool {

namespace {

using json = nlohmann::ordered_json;

using Finding = nc_finding;
using CheckSummary = nc_check_report;

// What stat reports about a file.
struct Figures {
  nc_space space;
  Parameters params;
  int order = 0;         // NC_ORDER_LITTLE or NC_ORDER_BIG
  uint64_t length = 0;   // bytes in the file
  CheckSummary check;
};

Figures figures(const std::string &file) {
  Figures fig;
  {
    Registry reg;
    reg.openFile(file, NC_O_RO);
    Lock lock(reg, NC_L_RO);
    const int rc = reg.space(&fig.space);
    if (rc != NC_ERR_OK) throw Failure(file, resultText(rc));
    fig.params = reg.growth();
    fig.order = reg.byteOrder();
  }  // closed before the checker opens the file
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) throw Failure(file, strerror(errno));
  fig.length = uint64_t(st.st_size);
  fig.check = nc_check_file(file.c_str());
  return fig;
}

const char *orderName(int order) { return order == NC_ORDER_BIG ? "big" : "little"; }

uint32_t average(const nc_space &f) { return f.free_chunks != 0 ? f.free_bytes / f.free_chunks : 0; }

void printStat(const std::string &file, const Figures &fig) {
  const nc_space &f = fig.space;
  const Parameters &p = fig.params;
  printf("size:         %u\n", f.size);
  printf("byte order:   %s-endian\n", orderName(fig.order));
  if (f.size != fig.length)
    printf("file length:  %llu (differs from size)\n",
           static_cast<unsigned long long>(fig.length));
  printf("growth unit:  %u page%s (%llu bytes)\n", p.size_inc,
         p.size_inc == 1 ? "" : "s",
         static_cast<unsigned long long>(p.size_inc) * 4096);
  printf("dir batch:    %u slots\n", p.ent_inc);
  printf("table:        %u records at %u, grows by %u\n", f.records, f.table,
         p.chunk_inc);
  printf("modtime:      %u\n", f.modtime);
  if (f.free_known) {
    printf("free:         %u in %u chunk%s\n", f.free_bytes, f.free_chunks,
           f.free_chunks > 1 ? "s" : "");
    if (f.free_chunks != 0)
      printf("min:          %u\navg:          %u\nmax:          %u\n", f.free_min,
             average(f), f.free_max);
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
  const nc_space &f = fig.space;
  j["size"] = f.size;
  j["byte_order"] = orderName(fig.order);
  j["file_length"] = fig.length;
  j["growth_pages"] = fig.params.size_inc;
  j["dir_batch"] = fig.params.ent_inc;
  j["table"] = {{"records", f.records}, {"offset", f.table},
                {"grows_by", fig.params.chunk_inc}};
  j["modtime"] = f.modtime;
  if (f.free_known) {
    j["free"] = {{"bytes", f.free_bytes}, {"chunks", f.free_chunks}, {"min", f.free_min},
                 {"avg", average(f)}, {"max", f.free_max}};
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
  requireFile(file, NC_O_RO);
  const CheckSummary check = nc_check_file(file.c_str());
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
