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
// A call that the script does not expect ends the process with status 86 and
// a word on standard error. If NETWORK_CHANGE_TRACE names a file, every call
// adds a line to it, so tests can check which calls were made, in what order
// and with which arguments.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
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
  std::fprintf(stderr, "scripted platform: %s: %s\n", what, detail.c_str());
  std::fflush(stderr);
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
  int trace = -1;

  Script() {
    if (const char* path = std::getenv("NETWORK_CHANGE_TRACE")) {
      trace = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
  }

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

  void log(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (trace < 0) {
      return;
    }
    char line[256];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(line, sizeof line - 1, fmt, args);
    va_end(args);
    if (n > 0) {
      const auto len = std::min(static_cast<std::size_t>(n), sizeof line - 2);
      line[len] = '\n';
      if (write(trace, line, len + 1) < 0) {
        die("trace", std::strerror(errno));
      }
    }
  }
};

Script& script() {
  static Script s;
  return s;
}

thread_local int last_error = 0;

// The one event there is; its address is the handle that the loop must wait on.
struct {
  char tag;
} the_event;
HANDLE const event_handle = &the_event;

// Names for the pointers the loop passes, so that the trace can show that it
// passes the same ones on every call.
const void* first_handle_slot = nullptr;
const void* first_overlapped = nullptr;
char watch_token;

const char* same_as_first(const void** first, const void* p) {
  if (*first == nullptr) {
    *first = p;
  }
  return p == *first ? "same" : "other";
}

}  // namespace

int WSAStartup(WORD version, WSADATA* data) {
  const Step step = script().take(Call::Startup, "WSAStartup");
  script().log("WSAStartup %u.%u -> %" PRId64, version & 0xFFu, version >> 8u, step.result);
  if (data != nullptr) {
    data->wVersion = version;
    data->wHighVersion = version;
  }
  return static_cast<int>(step.result);
}

WSAEVENT WSACreateEvent() {
  const Step* next = script().peek();
  if (next != nullptr && next->call == Call::Event) {
    const Step step = script().take(Call::Event, "WSACreateEvent");
    last_error = step.error;
    script().log("WSACreateEvent -> invalid, error %d", step.error);
    return WSA_INVALID_EVENT;
  }
  script().log("WSACreateEvent -> event");
  return event_handle;
}

DWORD NotifyAddrChange(HANDLE* handle, OVERLAPPED* overlapped) {
  const Step step = script().take(Call::Notify, "NotifyAddrChange");
  if (handle == nullptr || overlapped == nullptr) {
    die("NotifyAddrChange", "null argument");
  }
  script().log("NotifyAddrChange slot=%s handle=%s overlapped=%s hEvent=%s -> %" PRId64
               ", error %d",
               same_as_first(&first_handle_slot, handle),
               *handle == nullptr ? "null" : (*handle == &watch_token ? "watch" : "other"),
               same_as_first(&first_overlapped, overlapped),
               overlapped->hEvent == event_handle ? "event" : "other", step.result, step.error);
  if (*handle == nullptr) {
    *handle = &watch_token;
  }
  last_error = step.error;
  return static_cast<DWORD>(step.result);
}

int WSAGetLastError() {
  script().log("WSAGetLastError -> %d", last_error);
  return last_error;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  const Step step = script().take(Call::Wait, "WaitForSingleObject");
  script().log("WaitForSingleObject %s %s", handle == event_handle ? "event" : "other",
               milliseconds == INFINITE ? "INFINITE" : "finite");
  if (step.block) {
    char byte;
    while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  return static_cast<DWORD>(step.result);
}
