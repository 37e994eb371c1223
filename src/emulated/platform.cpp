// The platform calls that the watch loop makes, where Windows is not the
// host: one event, an address-change request and an untimed wait, made of a
// layer's kernel interface and a copy of the IPv4 address table that says
// which of the kernel's reports are changes.
#include "platform.h"

#include <cerrno>
#include <memory>
#include <new>

#include "address_table.h"
#include "layer_kernel.h"

namespace {

using Kernel = emulated::LayerKernel;

thread_local int last_error = 0;

struct Watch {
  Kernel kernel;
  emulated::AddressTable table;
  int broken = 0;            // errno that ended the watch, 0 while it works
  bool unreported = false;   // a change seen before any request could report it
  bool outstanding = false;  // a request waits for a change
};

// The layer has one event and one watch, which is all the loop needs. Their
// handles are the addresses of objects here, so a handle is checked by
// comparing it, never by reading through it.
bool event_signalled = false;
std::unique_ptr<Watch> the_watch;
char watch_token;
void* const watch_handle = &watch_token;

DWORD request_failed(int error) {
  last_error = error;
  return static_cast<DWORD>(error);
}

// Subscribes first and reads the table second. Returns 0, or an errno value.
int start_watch() {
  try {
    the_watch = std::make_unique<Watch>();
    Watch& w = *the_watch;
    int error = w.kernel.subscribe();
    if (error == 0) {
      // A change made while the first request reads the table is a change,
      // and which reports in that window are mere refreshes can't be told:
      // each one counts.
      const emulated::ReadResult read = w.kernel.read(w.table);
      error = read.error;
      w.unreported = read.counts_as_change;
    }
    if (error != 0) {
      the_watch.reset();
    }
    return error;
  } catch (const std::bad_alloc&) {
    the_watch.reset();
    return ENOMEM;
  }
}

// Blocks until the kernel reports a change, or standard output's reader
// goes. Returns 0, or an errno value once the watch is broken.
int wait_for_change(Watch& w) {
  for (;;) {
    const Kernel::Reports r = w.kernel.wait_for_reports(w.table);
    if (r.error != 0) {
      return r.error;
    }
    if (r.reader_gone) {
      // No line can reach anyone now. The loop writes one at once, so that
      // the program ends as that line ends it (SIGPIPE, or status 2 where
      // SIGPIPE is ignored), not at some later change.
      return 0;
    }
    if (r.lost) {
      // Something may have changed unseen: the table is read afresh, and
      // that read counts as a change.
      const emulated::ReadResult read = w.kernel.read(w.table, true);
      if (read.error != 0 || read.counts_as_change) {
        return read.error;
      }
    }
    if (r.changed) {
      return 0;
    }
  }
}

}  // namespace

// Nothing to start: the watch starts with the first request.
int WSAStartup(WORD /*version*/, WSADATA* /*data*/) { return 0; }

WSAEVENT WSACreateEvent() {
  event_signalled = false;
  return &event_signalled;
}

int WSAGetLastError() { return last_error; }

DWORD NotifyAddrChange(HANDLE* handle, OVERLAPPED* overlapped) {
  if (handle == nullptr || overlapped == nullptr || overlapped->hEvent != &event_signalled ||
      (*handle != nullptr && *handle != watch_handle)) {
    return request_failed(EINVAL);
  }
  if (*handle == nullptr) {
    // A first request starts a watch of its own.
    if (const int error = start_watch(); error != 0) {
      return request_failed(error);
    }
    *handle = watch_handle;
  }
  if (!the_watch) {
    return request_failed(EBADF);  // a later first request failed and took it away
  }
  if (the_watch->broken != 0) {
    return request_failed(the_watch->broken);
  }
  event_signalled = false;
  the_watch->outstanding = true;
  last_error = ERROR_IO_PENDING;
  return static_cast<DWORD>(ERROR_IO_PENDING);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (handle != &event_signalled || milliseconds != INFINITE) {
    last_error = EINVAL;
    return WAIT_FAILED;
  }
  if (event_signalled) {
    return WAIT_OBJECT_0;
  }
  if (!the_watch || !the_watch->outstanding) {
    last_error = EINVAL;  // nothing could ever signal the event
    return WAIT_FAILED;
  }
  Watch& w = *the_watch;
  if (!w.unreported) {
    try {
      w.broken = wait_for_change(w);
    } catch (const std::bad_alloc&) {
      w.broken = ENOMEM;
    }
    if (w.broken != 0) {
      last_error = w.broken;
      return WAIT_FAILED;
    }
  }
  w.unreported = false;
  w.outstanding = false;
  event_signalled = true;
  return WAIT_OBJECT_0;
}
