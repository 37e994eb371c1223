// Test helpers for private network namespaces: changing addresses with ip,
// and skipping (or, under CI, failing) where no namespace can be had.
#pragma once

#include <string>

#include <gtest/gtest.h>

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
