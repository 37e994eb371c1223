// The decisions of a table read over rtnetlink: which datagrams speak for
// the reply, how long a silent reply is waited for, and how an attempt ends.
#include "dump_read.h"

#include <cerrno>

namespace linux_layer {

DumpRead::Command DumpRead::sent(std::uint32_t seq, std::uint32_t port, Clock::time_point now) {
  reply_.emplace(seq, port);
  deadline_ = now + silence_allowed;
  return poll();
}

DumpRead::Command DumpRead::received(const std::uint8_t* buf, std::size_t len, std::uint32_t sender,
                                     bool truncated, Clock::time_point now) {
  if (!reading() || sender != 0) {
    return poll();  // only the kernel speaks for the table
  }
  if (truncated) {
    return failed(EMSGSIZE);
  }
  switch (reply_->take(buf, len, [this](const emulated::Address& a) { table_.listed(a); })) {
    case netlink::DumpReply::State::Reading:
      deadline_ = now + silence_allowed;
      break;
    case netlink::DumpReply::State::Failed:
      return failed(reply_->error());
    default:
      // Every report of a change that the reply could show is queued by
      // now: the monitor is read once more before the attempt ends.
      deadline_ = now;
      break;
  }
  return poll();
}

DumpRead::Command DumpRead::reports_taken(bool lost, int error) {
  // Each report is kept by the table for AddressTable::end_read; one lost
  // makes the read worthless.
  if (error != 0) {
    return broken(error);
  }
  return lost ? end(Outcome::ReportsLost) : poll();
}

DumpRead::Command DumpRead::silence(Clock::time_point now) {
  if (!reply_ || now < deadline_) {
    return poll();
  }
  if (reading()) {
    return failed(ETIMEDOUT);
  }
  return end(reply_->state() == netlink::DumpReply::State::Whole ? Outcome::Whole
                                                                 : Outcome::Interrupted);
}

DumpRead::Command DumpRead::send_failed(int error) {
  // Cut short by a signal, nothing went out: the same socket sends again.
  return error == EINTR ? Command{Io::SendRequest} : failed(error);
}

DumpRead::Command DumpRead::receive_failed(int error, Clock::time_point now) {
  if (error == EINTR || error == EAGAIN) {
    return silence(now);
  }
  // ENOBUFS among them: the kernel could not build the next part, and will
  // queue nothing more for this request.
  return failed(error);
}

DumpRead::Command DumpRead::command_for(emulated::ReadPolicy::Decision decision) {
  switch (decision.action) {
    case emulated::ReadPolicy::Action::Attempt:
      return {Io::SendRequest, decision.fresh_socket};
    case emulated::ReadPolicy::Action::Discard:
      return {Io::Discard};
    case emulated::ReadPolicy::Action::Done:
      break;
  }
  return {policy_.result().error != 0 ? Io::Fail : Io::Done};
}

}  // namespace linux_layer
