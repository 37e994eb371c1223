// The bounds on a read of the table, and recovery after a loss of reports.
#include "read_policy.h"

#include <cerrno>
#include <utility>

namespace emulated {

namespace {

// While the table keeps changing the kernel may mark every read of it as
// interrupted. Rows a read shows existed when it was read, so two reads
// together are taken as the table instead of waiting for a quiet moment.
constexpr int reads_when_interrupted = 2;

// Attempts that fail or are cut short are made again, but not without end.
constexpr int incomplete_reads = 8;

// A read during which the kernel dropped reports is started again, for as
// long as a flood outruns the reading; this only bounds a kernel gone wrong.
constexpr int overflowed_reads = 1000;

}  // namespace

ReadPolicy::ReadPolicy(AddressTable& table, bool after_loss) : table_(table), lost_(after_loss) {
  table_.begin_read();
}

ReadPolicy::Decision ReadPolicy::start() const {
  return {lost_ ? Action::Discard : Action::Attempt};
}

ReadPolicy::Decision ReadPolicy::ended(Outcome how, int error) {
  switch (how) {
    case Outcome::Whole:
      return done(0);
    case Outcome::Interrupted:
      return ++interrupted_ == reads_when_interrupted ? done(0) : Decision{Action::Attempt};
    case Outcome::Incomplete:
      return ++incomplete_ == incomplete_reads ? done(error) : Decision{Action::Attempt, true};
    case Outcome::ReportsLost:
      fresh_ = true;
      return ++overflowed_ == overflowed_reads ? done(ENOBUFS) : Decision{Action::Discard};
    case Outcome::Fatal:
      break;
  }
  return done(error);
}

ReadPolicy::Decision ReadPolicy::discarded(int error) {
  if (error != 0) {
    return done(error);
  }
  // What the reads found may have gone since, unseen: start afresh now that
  // the kernel queues reports again.
  lost_ = true;
  interrupted_ = 0;
  table_.begin_read();
  return {Action::Attempt, std::exchange(fresh_, false)};
}

ReadPolicy::Decision ReadPolicy::done(int error) {
  result_ = error != 0 ? ReadResult{error} : ReadResult{0, table_.end_read() || lost_};
  return {Action::Done};
}

}  // namespace emulated
