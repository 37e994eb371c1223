// Changing addresses with ip from a test.
#include "netns.h"

#include <sstream>
#include <vector>

#include "child.h"

namespace testing_support {

void ip(const std::string& args) {
  std::vector<std::string> argv{"ip"};
  std::istringstream words(args);
  for (std::string w; words >> w;) {
    argv.push_back(w);
  }
  std::string output;
  const int status = run(argv, &output);
  if (status != 0) {
    ADD_FAILURE() << "ip " << args << " -> " << status << ": " << output;
  }
}

}  // namespace testing_support
