// Where Windows is not the host, this header declares the small part of its API
// that the watch loop calls. One layer beside the loop defines the functions:
// the Linux layer over rtnetlink, or the scripted layer that the tests link in.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG_PTR = std::uintptr_t;
using HANDLE = void*;
using WSAEVENT = HANDLE;

struct OVERLAPPED {
  ULONG_PTR Internal;  // the request's status while it is in the layer's hands
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;  // signalled when the request completes
};

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};

inline constexpr DWORD NO_ERROR = 0;
inline constexpr int ERROR_IO_PENDING = 997;
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr ULONG_PTR STATUS_PENDING = 0x103;
inline const WSAEVENT WSA_INVALID_EVENT = nullptr;

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }

// Returns 0 once the layer is ready to serve the calls below, or else an error
// code (not the last-error code, which it leaves alone).
int WSAStartup(WORD version, WSADATA* data);

// Returns a new, unsignalled manual-reset event, or WSA_INVALID_EVENT with the
// reason in the last-error code.
WSAEVENT WSACreateEvent();

// Asks for overlapped->hEvent to be signalled at the next change of the IPv4
// address table. The event is reset at once and stays unsignalled until then.
// *handle is null on the first call; the layer stores its watch there and
// finds it again on later calls. Returns ERROR_IO_PENDING, with the last-error
// code also ERROR_IO_PENDING, when the request is outstanding; any other
// non-zero result, with an errno value as the last-error code, when it cannot
// be issued.
DWORD NotifyAddrChange(HANDLE* handle, OVERLAPPED* overlapped);

// Returns the calling thread's last-error code.
int WSAGetLastError();

// Blocks until the event is signalled (WAIT_OBJECT_0) or, unless milliseconds
// is INFINITE, until that time has passed (WAIT_TIMEOUT). Returns WAIT_FAILED,
// with the reason in the last-error code, for a handle that is not an event or
// a watch that broke while waiting.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
