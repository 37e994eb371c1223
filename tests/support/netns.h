// Test helpers for what a test needs of the machine: a private network
// namespace to change addresses in, and tools; skipped (or, under CI,
// failed) where they cannot be had.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "sandbox.h"

namespace testing_support {

// Runs `ip` with the words of args, split at spaces; fails the calling test
// with ip's own words if it does not succeed.
void ip(const std::string& args);

}  // namespace testing_support

// Enters a private network namespace, or skips the test where that cannot be
// had (and fails it under CI, where nothing may skip).
#define REQUIRE_PRIVATE_NETNS()                                           \
  do {                                                                    \
    const std::string why_not = ::testing_support::enter_private_netns(); \
    if (!why_not.empty()) {                                               \
      if (::testing_support::in_ci()) {                                   \
        FAIL() << why_not;                                                \
      }                                                                   \
      GTEST_SKIP() << why_not;                                            \
    }                                                                     \
  } while (0)

// Skips the test where a program it runs is not installed (and fails it
// under CI, where nothing may skip).
#define REQUIRE_TOOL(tool)                           \
  do {                                               \
    if (!::testing_support::on_path(tool)) {         \
      if (::testing_support::in_ci()) {              \
        FAIL() << (tool) << " is not installed";     \
      }                                              \
      GTEST_SKIP() << (tool) << " is not installed"; \
    }                                                \
  } while (0)
