// Reading and writing whole files and the standard streams.
#include "io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tool.h"

namespace nctool {

std::string sourceName(const std::string &input) {
  return input == "-" ? "standard input" : input;
}

std::string readInput(const std::string &input) {
  std::ostringstream text;
  if (input == "-") {
    text << std::cin.rdbuf();
    if (std::cin.bad()) throw Failure("standard input", "cannot be read");
    return text.str();
  }
  std::ifstream in(input, std::ios::binary);
  if (!in) throw Failure(input, strerror(errno));
  text << in.rdbuf();
  if (in.bad()) throw Failure(input, "cannot be read");
  return text.str();
}

void writeOutput(const std::string &output, const std::string &text) {
  if (output == "-") {
    fwrite(text.data(), 1, text.size(), stdout);
    return;
  }
  FILE *f = fopen(output.c_str(), "wb");
  if (f == nullptr) throw Failure(output, strerror(errno));
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  int err = errno;
  if (fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) throw Failure(output, strerror(err));
}

}  // namespace nctool
