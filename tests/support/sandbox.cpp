// What the sandbox has the same on every system.
#include "sandbox.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace testing_support {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

}  // namespace testing_support
