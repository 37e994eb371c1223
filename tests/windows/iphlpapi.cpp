// A scripted IPHLPAPI.DLL for the Windows program's tests under Wine. Its
// NotifyAddrChange leaves each request outstanding until the test says
// otherwise, through a FIFO whose path is in NETWORK_CHANGE_CONTROL, one
// command a line:
//
//   complete   signals the outstanding request's event
//   fail E R   makes the next call return R, with last-error code E
//
// Each command waits until a request is outstanding, so that no outcome
// depends on timing. Built without the C runtime, the DLL imports from
// KERNEL32 alone. It is for the tests only: never installed or packaged.
#include <windows.h>

namespace {

constexpr ULONG_PTR status_pending = 0x103;

HANDLE outstanding;    // a manual-reset event, set while a request is outstanding
HANDLE request_event;  // the outstanding request's event
volatile LONG started;
volatile LONG next_fails;
DWORD next_error;
DWORD next_result;

bool starts_with(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (*text != *prefix) {
      return false;
    }
  }
  return true;
}

// Reads a decimal number, with its sign, and moves past it and one space.
DWORD number(const char*& p) {
  const bool negative = *p == '-';
  p += negative ? 1 : 0;
  DWORD value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<DWORD>(*p - '0');
  }
  p += *p == ' ' ? 1 : 0;
  return negative ? 0U - value : value;
}

DWORD WINAPI control(void*) {
  char path[MAX_PATH];
  if (GetEnvironmentVariableA("NETWORK_CHANGE_CONTROL", path, sizeof path) == 0) {
    return 1;
  }
  const HANDLE fifo = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (fifo == INVALID_HANDLE_VALUE) {
    return 1;
  }
  char line[64];
  unsigned len = 0;
  for (;;) {
    char c;
    DWORD got = 0;
    if (!ReadFile(fifo, &c, 1, &got, nullptr) || got == 0) {
      return 0;
    }
    if (c != '\n') {
      line[len] = c;
      len += len + 1 < sizeof line ? 1 : 0;
      continue;
    }
    line[len] = '\0';
    len = 0;
    WaitForSingleObject(outstanding, INFINITE);
    if (starts_with(line, "complete")) {
      ResetEvent(outstanding);
      SetEvent(request_event);
    } else if (starts_with(line, "fail ")) {
      const char* p = line + 5;
      next_error = number(p);
      next_result = number(p);
      InterlockedExchange(&next_fails, 1);
    }
  }
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI NotifyAddrChange(PHANDLE, LPOVERLAPPED overlapped) {
  if (InterlockedExchange(&started, 1) == 0) {
    outstanding = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CreateThread(nullptr, 0, control, nullptr, 0, nullptr);
  }
  if (InterlockedExchange(&next_fails, 0) != 0) {
    SetLastError(next_error);
    return next_result;
  }
  ResetEvent(overlapped->hEvent);
  overlapped->Internal = status_pending;
  request_event = overlapped->hEvent;
  SetLastError(ERROR_IO_PENDING);
  SetEvent(outstanding);
  return ERROR_IO_PENDING;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
