// A scripted stand-in for the platform, linked into a test build of the watch
// loop. NETWORK_CHANGE_SCRIPT says what each call returns, one step a call:
//
//   startup=N      WSAStartup returns N (0 when the script has no such step)
//   event=fail,E   WSACreateEvent fails with last-error code E
//   notify=R,E     NotifyAddrChange returns R and sets the last-error code to E
//   wait=N         WaitForSingleObject returns N
//   wait=block     WaitForSingleObject waits for a byte (or end of file) on
//                  standard input, then returns WAIT_OBJECT_0
//   K*S+S+...      the steps S, in turn, K times over
//
// A call that the script does not expect, or one that breaks what the loop
// promises the platform, ends the process with status 86 and a word on
// standard error. The promises: version 2.2 asked for; one event, and every
// request on it; the same handle slot and OVERLAPPED on every request, the
// handle null on the first and the layer's own after; one request
// outstanding at a time; and only untimed waits, each for a request.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"

namespace {

enum class Call { Startup, Event, Notify, Wait };

struct Step {
  Call call;
  std::int64_t result = 0;
  int error = 0;
  bool block = false;
};

struct Item {
  std::uint64_t times = 1;
  std::vector<Step> steps;
};

[[noreturn]] void die(const char* what, const std::string& detail) {
  (void)std::fprintf(stderr, "scripted platform: %s: %s\n", what, detail.c_str());
  (void)std::fflush(stderr);
  _exit(86);
}

Step parse_step(const std::string& s) {
  const auto eq = s.find('=');
  if (eq == std::string::npos) {
    die("bad step", s);
  }
  const std::string key = s.substr(0, eq);
  const std::string value = s.substr(eq + 1);
  const auto comma = value.find(',');
  Step step{};
  if (key == "startup") {
    step.call = Call::Startup;
    step.result = std::strtoll(value.c_str(), nullptr, 0);
  } else if (key == "event" && value.rfind("fail,", 0) == 0) {
    step.call = Call::Event;
    step.error = static_cast<int>(std::strtol(value.c_str() + 5, nullptr, 0));
  } else if (key == "notify" && comma != std::string::npos) {
    step.call = Call::Notify;
    step.result = std::strtoll(value.substr(0, comma).c_str(), nullptr, 0);
    step.error = static_cast<int>(std::strtol(value.c_str() + comma + 1, nullptr, 0));
  } else if (key == "wait") {
    step.call = Call::Wait;
    step.block = value == "block";
    step.result = step.block ? 0 : std::strtoll(value.c_str(), nullptr, 0);
  } else {
    die("bad step", s);
  }
  return step;
}

std::vector<Item> parse_script(const char* text) {
  std::vector<Item> items;
  const std::string all = text != nullptr ? text : "";
  std::size_t at = 0;
  while (at < all.size()) {
    const auto start = all.find_first_not_of(" \t\n", at);
    if (start == std::string::npos) {
      break;
    }
    const auto end = std::min(all.find_first_of(" \t\n", start), all.size());
    std::string word = all.substr(start, end - start);
    at = end;
    Item item;
    const auto star = word.find('*');
    if (star != std::string::npos) {
      item.times = std::strtoull(word.substr(0, star).c_str(), nullptr, 0);
      word = word.substr(star + 1);
    }
    std::size_t from = 0;
    for (;;) {
      const auto plus = word.find('+', from);
      item.steps.push_back(parse_step(word.substr(from, plus - from)));
      if (plus == std::string::npos) {
        break;
      }
      from = plus + 1;
    }
    if (item.times > 0) {
      items.push_back(std::move(item));
    }
  }
  return items;
}

struct Script {
  std::vector<Item> items = parse_script(std::getenv("NETWORK_CHANGE_SCRIPT"));
  std::size_t item = 0;
  std::uint64_t round = 0;
  std::size_t step = 0;

  const Step* peek() const { return item < items.size() ? &items[item].steps[step] : nullptr; }

  void advance() {
    if (++step < items[item].steps.size()) {
      return;
    }
    step = 0;
    if (++round < items[item].times) {
      return;
    }
    round = 0;
    ++item;
  }

  // Takes the next step, which must be of the given kind. Startup is the one
  // call that may be left out of a script.
  Step take(Call call, const char* name) {
    const Step* next = peek();
    if (next == nullptr || next->call != call) {
      if (call == Call::Startup) {
        return Step{Call::Startup};
      }
      die("unexpected call", name);
    }
    const Step taken = *next;
    advance();
    return taken;
  }
};

Script& script() {
  static Script s;
  return s;
}

thread_local int last_error = 0;

// The one event there is, and the promises the loop keeps to the platform.
char the_event;
HANDLE const event_handle = &the_event;
char watch_token;
bool event_made = false;
HANDLE* handle_slot = nullptr;
OVERLAPPED* the_overlapped = nullptr;
bool outstanding = false;

void expect(bool promise_kept, const char* promise) {
  if (!promise_kept) {
    die("broken promise", promise);
  }
}

}  // namespace

int WSAStartup(WORD version, WSADATA* data) {
  expect(!event_made && handle_slot == nullptr, "WSAStartup comes first");
  expect(version == 0x0202, "version 2.2 is asked for");
  const Step step = script().take(Call::Startup, "WSAStartup");
  if (data != nullptr) {
    data->wVersion = version;
    data->wHighVersion = version;
  }
  return static_cast<int>(step.result);
}

WSAEVENT WSACreateEvent() {
  expect(!event_made, "one event is made");
  const Step* next = script().peek();
  if (next != nullptr && next->call == Call::Event) {
    last_error = script().take(Call::Event, "WSACreateEvent").error;
    return WSA_INVALID_EVENT;
  }
  event_made = true;
  return event_handle;
}

DWORD NotifyAddrChange(HANDLE* handle, OVERLAPPED* overlapped) {
  const Step step = script().take(Call::Notify, "NotifyAddrChange");
  expect(event_made && handle != nullptr && overlapped != nullptr &&
             overlapped->hEvent == event_handle,
         "a request comes with the event");
  expect(handle_slot == nullptr
             ? *handle == nullptr
             : handle == handle_slot && overlapped == the_overlapped && *handle == &watch_token,
         "the same handle slot and OVERLAPPED, null at first and the watch's after");
  expect(!outstanding, "one request is outstanding at a time");
  handle_slot = handle;
  the_overlapped = overlapped;
  *handle = &watch_token;
  outstanding = true;
  last_error = step.error;
  return static_cast<DWORD>(step.result);
}

int WSAGetLastError() { return last_error; }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  const Step step = script().take(Call::Wait, "WaitForSingleObject");
  expect(handle == event_handle && milliseconds == INFINITE, "waits are for the event, untimed");
  expect(outstanding, "a wait is for a request");
  outstanding = false;
  if (step.block) {
    char byte;
    while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  return static_cast<DWORD>(step.result);
}
