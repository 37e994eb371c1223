// A read of the IPv4 address table over rtnetlink, as decisions without I/O:
// it is told what happened (a request sent, a datagram of the reply, reports
// of the monitor, silence, a failure) and answers what to do next. The
// table reader does the I/O around it, so that every bound on a read can be
// tried on bytes and timestamps.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "address_table.h"
#include "netlink.h"
#include "read_policy.h"
#include "change.h"

namespace linux_layer {

class DumpRead {
 public:
  using Clock = std::chrono::steady_clock;

  // The kernel builds the next part of a dump while the last one is
  // received, so a dump socket that stays silent this long will never
  // speak again.
  static constexpr Clock::duration silence_allowed = std::chrono::seconds(1);

  enum class Io {
    SendRequest,  // send a dump request, then say sent(); or send_failed(), broken()
    Poll,         // wait for the monitor and, if asked, the dump socket
    Discard,      // throw away the monitor's queue, then say discarded()
    Done,         // result() holds what the read came to
    Fail,         // result().error holds the errno value that ended it
  };
  struct Command {
    Io io;
    bool fresh_socket = false;     // SendRequest: the old socket's dump may still run
    Clock::time_point deadline{};  // Poll: say silence() once it has passed
    bool reply = false;            // Poll: the dump socket as well as the monitor
  };

  // Starts a read into the table; after_loss as for ReadPolicy.
  explicit DumpRead(emulated::AddressTable& table, bool after_loss = false)
      : table_(table), policy_(table, after_loss) {}

  Command start() { return command_for(policy_.start()); }

  // The request went out, with this sequence number, from the socket with
  // this port.
  Command sent(std::uint32_t seq, std::uint32_t port, Clock::time_point now);
  // A datagram came on the dump socket from the given port (0 is the
  // kernel); truncated when it did not fit.
  Command received(const std::uint8_t* buf, std::size_t len, std::uint32_t sender, bool truncated,
                   Clock::time_point now);
  // One report of the monitor's, and then how its drain ended.
  void report(const netlink::Message& report) { emulated::apply(table_, report); }
  Command reports_taken(bool lost, int error);
  // Nothing came for the dump socket (a poll timed out, was interrupted, or
  // woke for the monitor alone).
  Command silence(Clock::time_point now);
  // The send or a receive on the dump socket failed, with its errno value.
  Command send_failed(int error);
  Command receive_failed(int error, Clock::time_point now);
  // The sockets can do no more: the read ends.
  Command broken(int error) { return end(Outcome::Fatal, error); }
  Command discarded(int error) { return command_for(policy_.discarded(error)); }

  const emulated::ReadResult& result() const { return policy_.result(); }

 private:
  using Outcome = emulated::ReadPolicy::Outcome;
  Command end(Outcome how, int error = 0) { return command_for(policy_.ended(how, error)); }
  // An attempt that failed; the next may not.
  Command failed(int error) { return end(Outcome::Incomplete, error); }
  Command command_for(emulated::ReadPolicy::Decision decision);
  Command poll() const { return {Io::Poll, false, deadline_, reading()}; }
  bool reading() const { return reply_ && reply_->state() == netlink::DumpReply::State::Reading; }

  emulated::AddressTable& table_;
  emulated::ReadPolicy policy_;
  std::optional<netlink::DumpReply> reply_;  // the reply to the last request sent
  Clock::time_point deadline_{};
};

}  // namespace linux_layer
