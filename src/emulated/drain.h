// How a drain of a layer's monitor ends, and how much one wait takes: the
// rule both layers' monitors drain their queues by.
#pragma once

#include <cstddef>

namespace emulated {

// How a drain of the monitor's queue ended.
struct Drained {
  // Reports may have been lost: the kernel dropped some, or a datagram came
  // cut short or malformed past some point.
  bool lost = false;
  bool reader_gone = false;  // standard output's reader has gone, or it was never open
  int error = 0;             // errno once the socket is broken; nothing else holds then
};

// How much one wait takes from the monitor's queue before it answers. Every
// report queued when the wait looks fits in the socket's receive buffer, so
// all of them, however many, come in one answer and give one line; a flood
// that keeps the queue from emptying is answered once more than a bufferful
// has been taken, so that its line is not held back for ever.
class DrainBudget {
 public:
  // queue_bytes: the most the socket's queue can hold (SO_RCVBUF), with
  // room for one more datagram, as large as the monitor reads, that a
  // kernel may queue past it.
  explicit DrainBudget(std::size_t queue_bytes) : left_(queue_bytes) {}

  // Counts bytes taken. Returns false once the budget is spent.
  bool take(std::size_t bytes) {
    left_ = bytes < left_ ? left_ - bytes : 0;
    return left_ != 0;
  }

 private:
  std::size_t left_;
};

}  // namespace emulated
