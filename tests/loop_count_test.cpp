// The watch loop's count past the largest signed 32-bit value: two billion
// passes, a minute and more, run where a signed overflow would be caught,
// under the sanitizers.
#include <gtest/gtest.h>

#include "loop.h"

namespace {

using namespace std::chrono_literals;
using loop_tests::Outcome;
using loop_tests::run;

TEST(LoopTest, TheCountGoesOnPastTheLargestSignedValue) {
  // 2^31 - 1 passes that print nothing, then three that do. Built with
  // -fsanitize=undefined, a signed overflow here would end the process.
  const Outcome r =
      run("2147483647*notify=0,0+wait=258 "
          "notify=0,0 wait=0 notify=0,0 wait=0 notify=0,0 wait=0 notify=1,1",
          240s);
  EXPECT_EQ(r.out,
            "net changed..2147483647\n"
            "net changed..-2147483648\n"
            "net changed..-2147483647\n"
            "NotifyRouteChange error...1\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
}

}  // namespace
