// Runs the watch loop as a real process against the scripted platform, with
// a script of the platform calls' results, and keeps what a reader sees.
#pragma once

#include <chrono>
#include <string>

#include "child.h"

namespace loop_tests {

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit code, -1 when killed or still running at the deadline
};

inline testing_support::ChildOptions scripted(const std::string& script) {
  testing_support::ChildOptions o;
  o.env = {{"NETWORK_CHANGE_SCRIPT", script}};
  return o;
}

// The scripted platform ends the loop with status 86 at any call the script
// did not foresee or that breaks the loop's promises.
inline Outcome run(const std::string& script,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  testing_support::Child child({SCRIPTED_BINARY}, scripted(script));
  const auto status = child.finish(timeout);
  return Outcome{child.out(), child.err(), status ? testing_support::exit_code(*status) : -1};
}

}  // namespace loop_tests
