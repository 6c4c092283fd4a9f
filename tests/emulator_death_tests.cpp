// Death tests in gtest's "threadsafe" style start the test binary afresh. In
// the cross build the kernel cannot run that binary itself, so the children's
// command line gets the emulator's command words (NC_EMULATOR) in front.
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

// Set up after gtest has parsed the command line, before the first test.
class EmulatedDeathTestChildren : public testing::Environment {
  void SetUp() override {
    std::vector<std::string> argv;
    std::istringstream words(NC_EMULATOR);
    for (std::string word; words >> word;) argv.push_back(word);
    if (argv.empty()) return;  // the host build: nothing changes
    for (const std::string &arg : testing::internal::GetArgvs()) argv.push_back(arg);
    testing::internal::SetInjectableArgvs(argv);
  }
};
const auto *const kEmulated = testing::AddGlobalTestEnvironment(new EmulatedDeathTestChildren);

}  // namespace
