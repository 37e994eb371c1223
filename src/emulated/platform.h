// Where Windows is not the host, this header declares the small part of its API
// that the watch loop calls. The functions are defined once (platform.cpp)
// over a layer's kernel (Linux, FreeBSD), or by the scripted layer that the
// tests link in (src/scripted).
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG_PTR = std::uintptr_t;
using HANDLE = void*;
using WSAEVENT = HANDLE;

struct OVERLAPPED {
  ULONG_PTR Internal;
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
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline const WSAEVENT WSA_INVALID_EVENT = nullptr;

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }

// Returns 0 once the layer is ready to serve the calls below, or else an error
// code (not the last-error code, which it leaves alone).
int WSAStartup(WORD version, WSADATA* data);

// Returns the layer's event, unsignalled, or WSA_INVALID_EVENT with the reason
// in the last-error code. The layer has one event, as the loop needs no more.
WSAEVENT WSACreateEvent();

// Asks for overlapped->hEvent to be signalled at the next change of the IPv4
// address table. The event is reset at once and stays unsignalled until then.
// *handle is null on the first call, which starts the layer's watch and stores
// it there; later calls pass it back. Returns ERROR_IO_PENDING, with the
// last-error code also ERROR_IO_PENDING, when the request is outstanding; any
// other non-zero result, with an errno value as the last-error code, when it
// cannot be issued (EINVAL for a handle or event the layer did not give out).
DWORD NotifyAddrChange(HANDLE* handle, OVERLAPPED* overlapped);

// Returns the calling thread's last-error code.
int WSAGetLastError();

// Blocks until the event is signalled (WAIT_OBJECT_0): at a change, and
// also once standard output is a pipe or socket whose reader has gone, or
// is closed, so that the line the loop then fails to write ends the
// program at once rather than at the next change. Returns WAIT_FAILED,
// with the reason in the last-error code, when the watch breaks while waiting,
// and at once (EINVAL) for a handle that is not the layer's event, for a wait
// with a time-out, which the layer does not serve, or when no request is
// outstanding that could signal the event.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
