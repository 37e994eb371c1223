// How a read of the whole address table goes on from one attempt at it to
// the next, whatever kernel interface it reads: when to try again, when a
// loss of reports means starting over, and when to give up. It does no I/O
// itself; a layer's table reader makes the attempts and says how each ended.
//
// The read's states, and what moves it between them:
//
//   start ----------------(after a loss of reports)----------------+
//     |                                                            v
//     v                      discarded(0): begin afresh       Discard
//   Attempt <------------------------------------------------ (throw away
//     |   ^                                                   the queue)
//     |   |  Interrupted, the first time                          ^
//     |   +- Incomplete, under 8 times (on a fresh socket)        |
//     |                                                           |
//     +----- ReportsLost, under 1000 times -----------------------+
//     |
//     +----- Whole; Interrupted twice ---------------> Done (error 0)
//     +----- Incomplete 8 times; Fatal --------------> Done (its errno)
//     +----- ReportsLost 1000 times -----------------> Done (ENOBUFS)
//                             a failed discard ------> Done (its errno)
//
// A read that began after a loss, or met one, counts as a change whatever
// it finds (ReadResult::counts_as_change): that is how a loss becomes a
// line.
#pragma once

#include "address_table.h"

namespace emulated {

// What a read of the table comes to.
struct ReadResult {
  int error = 0;                  // 0, or the errno value that ended the reading
  bool counts_as_change = false;  // a report came in during the read, or reports were lost
};

class ReadPolicy {
 public:
  // How one attempt ended.
  enum class Outcome {
    Whole,        // every row, and every report queued meanwhile, taken in
    Interrupted,  // every row, but the kernel says the table changed under it
    Incomplete,   // cut short or failed in a way that another attempt may not be
    ReportsLost,  // the kernel dropped reports meanwhile
    Fatal,        // the sockets or the kernel can do no more: the read ends
  };

  enum class Action {
    Attempt,  // make an attempt; on a fresh socket, where the last one's may still be busy
    Discard,  // throw away every report queued, then say discarded()
    Done,     // result() holds what the read came to
  };
  struct Decision {
    Action action;
    bool fresh_socket = false;
  };

  // Starts a read into the table (AddressTable::begin_read). After a loss
  // of reports, the read starts by discarding what is queued, and counts as
  // a change whatever it finds.
  explicit ReadPolicy(AddressTable& table, bool after_loss = false);

  Decision start() const;
  // error is the errno value of an Incomplete or Fatal attempt.
  Decision ended(Outcome how, int error = 0);
  // error is 0, or the errno value of a discard that failed.
  Decision discarded(int error);

  const ReadResult& result() const { return result_; }

 private:
  Decision done(int error);

  AddressTable& table_;
  bool lost_;
  bool fresh_ = false;  // reports were lost before the kernel was done with the attempt
  int interrupted_ = 0;
  int incomplete_ = 0;
  int overflowed_ = 0;
  ReadResult result_;
};

}  // namespace emulated
