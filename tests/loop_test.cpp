// The watch loop, run as a real process against the scripted platform: every
// branch of main, seen from the pipe as a reader would see it.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Child;
using testing_support::ChildOptions;
using testing_support::exit_code;

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit code, -1 when killed or still running at the deadline
  std::string trace;
};

class LoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/network-change-trace-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    trace_path_ = path;
  }
  void TearDown() override { std::remove(trace_path_.c_str()); }

  ChildOptions options(const std::string& script, bool traced = true) const {
    ChildOptions o;
    o.env = {{"NETWORK_CHANGE_SCRIPT", script}};
    if (traced) {
      o.env.emplace_back("NETWORK_CHANGE_TRACE", trace_path_);
    }
    return o;
  }

  std::string trace() const {
    std::ifstream in(trace_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  Outcome run(const std::string& script, std::vector<std::string> args = {}, bool traced = true,
              std::chrono::milliseconds timeout = 10s) {
    std::remove(trace_path_.c_str());
    args.insert(args.begin(), SCRIPTED_BINARY);
    Child child(args, options(script, traced));
    const auto status = child.finish(timeout);
    return Outcome{child.out(), child.err(), status ? exit_code(*status) : -1, trace()};
  }

  std::string trace_path_;
};

// One script through most branches: zero and non-zero results, 997 taken from
// the last-error code alone, waits that do and do not end signalled.
const char* const mixed_script =
    "notify=997,997 wait=0 "
    "notify=0,5 wait=0 "        // a zero result: the 5 must never be read
    "notify=997,997 wait=258 "  // timed out: a number is used up, no line
    "notify=50,997 wait=0 "     // any non-zero result is pending when the code is 997
    "notify=997,997 wait=0xFFFFFFFF "
    "notify=997,997 wait=0 "
    "notify=997,-7";  // 997 from the call, but the code says failure

const char* const mixed_output =
    "net changed..0\n"
    "net changed..1\n"
    "net changed..3\n"
    "net changed..5\n"
    "NotifyRouteChange error...-7\n";

TEST_F(LoopTest, NumbersEveryPassAndReadsTheLastErrorOnlyAfterANonZeroResult) {
  const Outcome r = run(mixed_script);
  EXPECT_EQ(r.out, mixed_output);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
  const std::string notify =
      "NotifyAddrChange slot=same handle=watch overlapped=same hEvent=event -> ";
  const std::string read_997 = "WSAGetLastError -> 997\n";
  const std::string wait = "WaitForSingleObject event INFINITE\n";
  std::string expected = "WSAStartup 2.2 -> 0\nWSACreateEvent -> event\n";
  expected +=
      "NotifyAddrChange slot=same handle=null overlapped=same hEvent=event -> 997, error 997\n";
  expected += read_997 + wait;
  expected += notify + "0, error 5\n" + wait;  // no read of the code after a zero result
  expected += notify + "997, error 997\n" + read_997 + wait;
  expected += notify + "50, error 997\n" + read_997 + wait;
  expected += notify + "997, error 997\n" + read_997 + wait;
  expected += notify + "997, error 997\n" + read_997 + wait;
  expected += notify + "997, error -7\nWSAGetLastError -> -7\nWSAGetLastError -> -7\n";
  EXPECT_EQ(r.trace, expected);
}

TEST_F(LoopTest, ArgumentsChangeNothing) {
  const Outcome plain = run(mixed_script);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                               {"-v", "--version", "x"},
                                               {"", "NotifyRouteChange error...1"}}) {
    const Outcome r = run(mixed_script, args);
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, plain.status);
    EXPECT_EQ(r.trace, plain.trace);
  }
}

TEST_F(LoopTest, AFailedRequestPrintsItsLastErrorCodeOnceAndEnds) {
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

TEST_F(LoopTest, EachLineReachesThePipeBeforeTheNextPass) {
  // Between lines the loop is blocked in a wait that only the test can end,
  // so a line seen now cannot have been pushed out by a later write.
  Child child({SCRIPTED_BINARY}, options("notify=997,997 wait=0 "
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

TEST_F(LoopTest, AFullNonBlockingPipeEndsItWithEveryLineWhole) {
  // Nobody reads while the loop writes as fast as it can. The line that finds
  // the pipe full ends the program; every line before it is there, whole and
  // in order.
  ChildOptions o = options("1000000*notify=0,0+wait=0", false);
  o.nonblocking_stdout = true;
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

TEST_F(LoopTest, NoEventMeansAFailureLineNotASpin) {
  // Past a failed event the scripted platform expects no call at all, and
  // ends the process with 86 and a complaint on stderr if one comes.
  const Outcome r = run("event=fail,10093");
  EXPECT_EQ(r.out, "NotifyRouteChange error...10093\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.trace,
            "WSAStartup 2.2 -> 0\n"
            "WSACreateEvent -> invalid, error 10093\n"
            "WSAGetLastError -> 10093\n");
}

TEST_F(LoopTest, AFailedStartupEndsWithItsCode) {
  const Outcome r = run("startup=10091");
  EXPECT_EQ(r.out, "NotifyRouteChange error...10091\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.trace, "WSAStartup 2.2 -> 10091\n");
}

TEST_F(LoopTest, TheCountGoesOnPastTheLargestSignedValue) {
  // 2^31 - 1 passes that print nothing, then three that do. Built with
  // -fsanitize=undefined, a signed overflow here would end the process.
  const Outcome r =
      run("2147483647*notify=0,0+wait=258 "
          "notify=0,0 wait=0 notify=0,0 wait=0 notify=0,0 wait=0 notify=1,1",
          {}, false, 240s);
  EXPECT_EQ(r.out,
            "net changed..2147483647\n"
            "net changed..-2147483648\n"
            "net changed..-2147483647\n"
            "NotifyRouteChange error...1\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
}

TEST_F(LoopTest, TheScriptedPlatformRefusesCallsItWasNotToldOf) {
  // The guard that the tests above rely on to catch extra calls.
  const Outcome r = run("notify=997,997 wait=0");
  EXPECT_EQ(r.out, "net changed..0\n");
  EXPECT_NE(r.err.find("unexpected call: NotifyAddrChange"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 86);
}

}  // namespace
