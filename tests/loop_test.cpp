// The watch loop, run as a real process against the scripted platform: every
// branch of main, seen from the pipe as a reader would see it.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "loop.h"

namespace {

using namespace std::chrono_literals;
using loop_tests::Outcome;
using loop_tests::run;
using loop_tests::scripted;
using testing_support::Child;
using testing_support::ChildOptions;
using testing_support::exit_code;

TEST(LoopTest, NumbersEveryPassAndReadsTheLastErrorOnlyAfterANonZeroResult) {
  const Outcome r =
      run("notify=997,997 wait=0 "
          "notify=0,5 wait=0 "        // a zero result: the 5 must never be read
          "notify=997,997 wait=258 "  // timed out: a number is used up, no line
          "notify=50,997 wait=0 "     // any non-zero result is pending when the code is 997
          "notify=997,997 wait=0xFFFFFFFF "
          "notify=997,997 wait=0 "
          "notify=997,-7");  // 997 from the call, but the code says failure
  EXPECT_EQ(r.out,
            "net changed..0\n"
            "net changed..1\n"
            "net changed..3\n"
            "net changed..5\n"
            "NotifyRouteChange error...-7\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
}

TEST(LoopTest, AFailedRequestPrintsItsLastErrorCodeOnceAndEnds) {
  struct Case {
    const char* script;
    const char* line;
  } cases[] = {
      {"notify=1,0", "NotifyRouteChange error...0\n"},      // what Wine's answer comes to
      {"notify=997,87", "NotifyRouteChange error...87\n"},  // the code, never the result
      {"notify=87,24", "NotifyRouteChange error...24\n"},
      {"notify=-1,-2147483648", "NotifyRouteChange error...-2147483648\n"},
      {"notify=1,2147483647", "NotifyRouteChange error...2147483647\n"},
      {"notify=997,997 wait=0 notify=997,997 wait=0 notify=-5,996",
       "net changed..0\nnet changed..1\nNotifyRouteChange error...996\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const Outcome r = run(c.script);
    EXPECT_EQ(r.out, c.line);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(LoopTest, EachLineReachesThePipeBeforeTheNextPass) {
  // Between lines the loop is blocked in a wait that only the test can end,
  // so a line seen now cannot have been pushed out by a later write.
  Child child({SCRIPTED_BINARY}, scripted("notify=997,997 wait=0 "
                                          "notify=997,997 wait=block "
                                          "notify=0,0 wait=block "
                                          "notify=997,12345"));
  EXPECT_EQ(child.line(5s), "net changed..0");
  EXPECT_TRUE(child.running());
  child.send('x');
  EXPECT_EQ(child.line(5s), "net changed..1");
  EXPECT_TRUE(child.running());
  EXPECT_TRUE(child.quiet_for(100ms));
  child.send('x');
  EXPECT_EQ(child.line(5s), "net changed..2");
  // The failure line has no flush of its own; it must still come with the exit.
  const auto status = child.finish(5s);
  ASSERT_TRUE(status);
  EXPECT_EQ(exit_code(*status), 1);
  EXPECT_EQ(child.out(), "NotifyRouteChange error...12345\n");
  EXPECT_EQ(child.err(), "");
}

TEST(LoopTest, AFullNonBlockingPipeEndsItWithEveryLineWhole) {
  // Nobody reads while the loop writes as fast as it can. The line that finds
  // the pipe full ends the program; every line before it is there, whole and
  // in order.
  ChildOptions o = scripted("1000000*notify=0,0+wait=0");
  o.before_exec = [] { fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK); };
  Child child({SCRIPTED_BINARY}, o);
  const auto status = child.ended(10s);
  ASSERT_TRUE(status);
  EXPECT_EQ(exit_code(*status), 2);
  ASSERT_TRUE(child.finish(5s));
  EXPECT_EQ(child.err(), "");
  int n = 0;
  for (std::optional<std::string> line; (line = child.line(0ms)); ++n) {
    ASSERT_EQ(*line, "net changed.." + std::to_string(n));
  }
  EXPECT_GT(n, 1000);
  EXPECT_EQ(child.out(), "");
}

TEST(LoopTest, NoSocketsOrNoEventMeanAFailureLineNotASpin) {
  // Past either failure the scripted platform expects no call at all.
  for (const auto& [script, line] :
       {std::pair{"startup=10091", "NotifyRouteChange error...10091\n"},
        {"event=fail,10093", "NotifyRouteChange error...10093\n"}}) {
    SCOPED_TRACE(script);
    const Outcome r = run(script);
    EXPECT_EQ(r.out, line);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(LoopTest, TheScriptedPlatformRefusesCallsItWasNotToldOf) {
  // The guard that the tests above rely on to catch extra calls.
  const Outcome r = run("notify=997,997 wait=0");
  EXPECT_EQ(r.out, "net changed..0\n");
  EXPECT_NE(r.err.find("unexpected call: NotifyAddrChange"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 86);
}

}  // namespace
