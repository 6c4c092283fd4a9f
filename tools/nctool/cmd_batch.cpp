// batch: many edits in one open, one exclusive lock and one atomic change.
#include <CLI/CLI.hpp>
#include <functional>

#include "dump_format.h"
#include "edits.h"
#include "io.h"
#include "pathname.h"
#include "registry.h"
#include "show.h"
#include "tool.h"

namespace nctool {

namespace {

// One parsed script line: where it was, and the edit it makes.
struct Step {
  size_t line;
  std::function<void(Registry &)> edit;
};

// Splits `text` at runs of blanks; each word has its escapes undone.
// With a non-zero `keep`, stops after that many words; `rest` receives what
// follows them and one blank.
bool words(const std::string &text, size_t keep, std::vector<std::string> &out,
           std::string &rest) {
  out.clear();
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    if (keep != 0 && out.size() == keep) {
      rest = text.substr(i);
      return true;
    }
    size_t end = text.find_first_of(" \t", i);
    if (end == std::string::npos) end = text.size();
    std::string word;
    if (!unescapeText(text.substr(i, end - i), word)) return false;
    out.push_back(word);
    if (keep != 0 && end < text.size() && out.size() == keep) {
      rest = text.substr(end + 1);
      return true;
    }
    i = end;
  }
  return true;
}

// The edit of one script line; throws a Failure naming the cause.
std::function<void(Registry &)> parseStep(const std::string &file,
                                          const std::string &text) {
  std::vector<std::string> w;
  std::string rest;
  bool isSet = text.compare(0, 4, "set ") == 0 || text.compare(0, 4, "set\t") == 0;
  if (!words(text, isSet ? 3 : 0, w, rest)) throw Failure(file, "a bad escape");
  const std::string &op = w[0];
  if (isSet) {
    if (w.size() < 3) throw Failure(file, "set PATH TYPE VALUE");
    std::string value;
    if (!unescapeText(rest, value)) throw Failure(file, "a bad escape in the value");
    requirePath(file, w[1]);
    Node key = parseKey(file, w[1], w[2], value, false);
    std::string path = w[1];
    return [path, key](Registry &r) { storeKey(r, path, key); };
  }
  if (op == "mkdir" && (w.size() == 2 || w.size() == 3)) {
    uint64_t slots = 0;
    if (w.size() == 3 && (!parseUint(w[2], slots) || slots > UINT32_MAX))
      throw Failure(file, quote(w[2]) + " is not a slot count");
    requirePath(file, w[1]);
    std::string path = w[1];
    return [path, slots](Registry &r) { makeDirectory(r, path, uint32_t(slots)); };
  }
  if (op == "rm" && w.size() >= 2) {
    bool recursive = false, force = false;
    for (size_t i = 1; i + 1 < w.size(); ++i) {
      if (w[i] == "-r") recursive = true;
      else if (w[i] == "-f") force = true;
      else if (w[i] == "-rf" || w[i] == "-fr") recursive = force = true;
      else throw Failure(file, "rm [-r] [-f] PATH");
    }
    requirePath(file, w.back());
    std::string path = w.back();
    return [=](Registry &r) { removeEntry(r, path, recursive, force); };
  }
  if (op == "mv" && w.size() == 3) {
    requirePath(file, w[1]);
    if (w[2].find('/') != std::string::npos) requirePath(file, w[2]);
    std::string from = w[1], to = w[2];
    return [from, to](Registry &r) { moveEntry(r, from, to); };
  }
  throw Failure(file, "not a batch line (set, mkdir, rm or mv, as --help shows)");
}

// The steps of `script`; a bad line is reported as "SOURCE: line N: cause".
std::vector<Step> parseScript(const std::string &file, const std::string &script,
                              const std::string &source) {
  std::vector<Step> steps;
  size_t line = 0;
  for (size_t start = 0; start < script.size();) {
    size_t end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    std::string text = script.substr(start, end - start);
    start = end + 1;
    ++line;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos || text[first] == '#') continue;
    try {
      steps.push_back({line, parseStep(file, text.substr(first))});
    } catch (const Failure &f) {
      throw Failure(source, "line " + std::to_string(line) + ": " + f.what(), f.status);
    }
  }
  return steps;
}

int runBatch(const std::string &file, const std::string &input) {
  const std::string source = sourceName(input);
  const std::vector<Step> steps = parseScript(file, readInput(input), source);
  changeFile(file, [&](Registry &reg) {
    for (const Step &s : steps) {
      try {
        s.edit(reg);
      } catch (const Failure &f) {
        throw Failure(file, source + " line " + std::to_string(s.line) + ": " +
                                f.what() + "; nothing was changed",
                      f.status);
      }
    }
  });
  return kExitOk;
}

}  // namespace

void addBatchCommand(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string file, script = "-";
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("batch", "Apply many edits as one change");
  cmd->footer(
      "Reads one edit a line, as the single commands take them:\n"
      "  set PATH TYPE VALUE     (VALUE is the rest of the line)\n"
      "  mkdir PATH [SLOTS]\n"
      "  rm [-r] [-f] PATH\n"
      "  mv PATH NEW\n"
      "Blank lines and lines starting with '#' are skipped. Words are split\n"
      "at blanks; write a blank inside a path as \\s, and use the escapes of\n"
      "'dump' (\\\\ \\n \\t \\r \\xNN) for other bytes. All lines are applied in\n"
      "one open under one exclusive lock, wholly or not at all: if any line\n"
      "fails, nothing changes and the message names the line.\n"
      "Example:  printf 'mkdir /a\\nset /a/n int 5\\nrm -r /old\\n' |\n"
      "            nctool batch reg.db");
  cmd->add_option("FILE", o->file, "Registry file")->required();
  cmd->add_option("SCRIPT", o->script, "Edits to apply; '-' for standard input")
      ->capture_default_str();
  out.push_back({cmd, [o] { return runBatch(o->file, o->script); }});
}

}  // namespace nctool
