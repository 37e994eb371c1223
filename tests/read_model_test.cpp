// The Linux layer's read of the table, as its decisions (DumpRead, and the
// read policy behind it), against a model of the kernel: every sequence of
// kernel events up to a bound is fed to it, the reply as the kernel's bytes,
// and each read must come to what the kernel holds, within its attempts.
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "address_table.h"
#include "dump_read.h"
#include "netlink.h"
#include "sandbox.h"

namespace {

using namespace std::chrono_literals;
using linux_layer::DumpRead;
using Io = DumpRead::Io;

enum class Event {
  Sent,      // the request goes out and the kernel starts a dump
  Refused,   // the send fails (EPERM)
  SendCut,   // the send is cut short by a signal (EINTR)
  NoSocket,  // no socket to send from (EMFILE)
  Part,      // the kernel sends the next part of the reply, or its end
  Add0,      // the kernel's table changes, reported: address 0 or 1 comes or goes
  Add1,
  Lost0,  // the same, with the report lost in an overflow
  Lost1,
  Refresh,        // a report of an address that is there already
  Truncated,      // the next part, cut short by the room for it
  Forged,         // the end of the dump, from another socket
  Silence,        // nothing until the deadline
  Wake,           // nothing, before the deadline
  Interrupted,    // a receive a signal cut short (EINTR)
  ReceiveFailed,  // the kernel could build no more of the reply (ENOBUFS)
  FailedReply,    // the reply ends in an error, a refusal, an ack, or garbled
  Stale,          // a part of the reply to an earlier request
  MonitorBroke,   // the monitor's socket fails (EBADF)
  Discarded,      // the monitor's queue is thrown away
  DiscardFailed,  // ... or that fails (EIO)
};

constexpr std::size_t addresses = 2;
constexpr std::uint32_t port = 0x1234;

emulated::Address address(std::size_t i) {
  const std::uint32_t local = htonl(0xC0000201 + static_cast<std::uint32_t>(i));  // 192.0.2.1
  return emulated::Address::of(7, local, local, 24);
}

// One netlink message of the reply: an IPv4 address row, NLMSG_DONE or
// NLMSG_ERROR with its error, or a message that is none of these.
std::vector<std::uint8_t> message(std::uint16_t type, std::uint16_t flags, std::uint32_t seq,
                                  std::size_t row = 0, int error = 0) {
  flags |= NLM_F_MULTI;
  if (type != NLMSG_DONE && type != NLMSG_ERROR) {
    std::vector<std::uint8_t> b;
    testing_support::append_address_message(b, type, flags, seq, port, 7,
                                            0xC0000201 + static_cast<std::uint32_t>(row), 24);
    return b;
  }
  const struct {
    nlmsghdr hdr;
    int error;
  } done{{sizeof done, type, flags, seq, port}, -error};
  const auto* p = reinterpret_cast<const std::uint8_t*>(&done);
  return {p, p + sizeof done};
}

// One read, driven by choose: given the events that can come next, it
// names one, or none to let the kernel go on without a fault.
class ReadRun {
 public:
  using Chooser = std::function<int(const std::vector<Event>&)>;

  ReadRun(bool after_loss, Chooser choose) : choose_(std::move(choose)) {
    // What the table held before is forgotten: the kernel holds address 0,
    // the table address 1.
    holds_[0] = true;
    table_.begin_read();
    table_.listed(address(1));
    table_.end_read();
    read_.emplace(table_, after_loss);
    changed_ = after_loss;
    next_ = read_->start();
  }

  // Runs the read to its end.
  void run() {
    for (int step = 0; next_.io != Io::Done && next_.io != Io::Fail; ++step) {
      ASSERT_LT(step, 200) << "the read does not end:" << trace();
      const std::vector<Event> can = events();
      const int chosen = choose_(can);
      ASSERT_NO_FATAL_FAILURE(happen(chosen >= 0 ? can[static_cast<std::size_t>(chosen)] : can[0]));
    }
    ASSERT_NO_FATAL_FAILURE(judge());
  }

 private:
  std::vector<Event> events() const {
    switch (next_.io) {
      case Io::SendRequest:
        return {Event::Sent, Event::Refused, Event::SendCut, Event::NoSocket};
      case Io::Discard:
        return {Event::Discarded, Event::DiscardFailed};
      default:
        break;
    }
    // The first is what a kernel without a fault does next.
    std::vector<Event> can = {Event::Silence};  // the reply is over
    if (next_.reply) {
      can = {Event::Part,        Event::Truncated,     Event::Forged,
             Event::Interrupted, Event::ReceiveFailed, Event::FailedReply,
             Event::Stale,       Event::Wake,          Event::Silence};
    }
    for (const Event e :
         {Event::Add0, Event::Add1, Event::Lost0, Event::Lost1, Event::MonitorBroke}) {
      can.push_back(e);
    }
    if (holds_[0] || holds_[1]) {
      can.push_back(Event::Refresh);
    }
    return can;
  }

  void happen(Event e) {
    events_.push_back(e);
    t_ += 1ms;
    if (next_.io == Io::SendRequest && next_.fresh_socket) {
      dumping_ = false;  // the reader sends from a new socket
    }
    switch (e) {
      case Event::Sent:
        // The kernel refuses a dump on a socket whose last one still runs.
        ASSERT_FALSE(dumping_) << trace();
        ++sent_;
        dumping_ = true;
        slot_ = 0;
        interrupted_ = false;
        last_part_ = t_;
        return expect_poll(read_->sent(++seq_, port, t_));
      case Event::Refused:
        return incomplete(read_->send_failed(EPERM), EPERM);
      case Event::SendCut:
        // Made again on the same socket, and not counted as an attempt.
        next_ = read_->send_failed(EINTR);
        ASSERT_EQ(next_.io, Io::SendRequest) << trace();
        ASSERT_FALSE(next_.fresh_socket) << trace();
        return;
      case Event::NoSocket:
        return fatal(read_->broken(EMFILE), EMFILE);
      case Event::Part:
      case Event::Truncated: {
        std::vector<std::uint8_t> part = next_part();
        if (e == Event::Truncated) {
          // The rest of the dump is still to come on that socket.
          return incomplete(read_->received(part.data(), part.size() / 2, 0, true, t_), EMSGSIZE);
        }
        last_part_ = t_;
        return expect_poll(read_->received(part.data(), part.size(), 0, false, t_));
      }
      case Event::Forged: {
        const auto done = message(NLMSG_DONE, 0, seq_);
        return expect_poll(read_->received(done.data(), done.size(), 4242, false, t_));
      }
      case Event::Add0:
      case Event::Add1:
      case Event::Lost0:
      case Event::Lost1: {
        const std::size_t i = e == Event::Add0 || e == Event::Lost0 ? 0 : 1;
        holds_[i] = !holds_[i];
        interrupted_ = true;
        changed_ = true;
        if (e == Event::Lost0 || e == Event::Lost1) {
          next_ = read_->reports_taken(true, 0);
          ASSERT_EQ(next_.io, Io::Discard) << trace();
          return;
        }
        netlink::Message report;
        report.kind = holds_[i] ? netlink::Kind::NewAddress : netlink::Kind::DelAddress;
        report.address = address(i);
        read_->report(report);
        reported_ = true;
        return expect_poll(read_->reports_taken(false, 0));
      }
      case Event::Refresh: {
        netlink::Message report;
        report.kind = netlink::Kind::NewAddress;
        report.address = address(holds_[0] ? 0 : 1);
        read_->report(report);
        reported_ = true;
        return expect_poll(read_->reports_taken(false, 0));
      }
      case Event::Wake:
        return expect_poll(read_->silence(t_));
      case Event::Interrupted:
        return expect_poll(read_->receive_failed(EINTR, t_));
      case Event::Silence: {
        t_ = std::max(t_, next_.deadline);
        const bool reading = next_.reply;
        const DumpRead::Command after = read_->silence(t_);
        if (reading) {
          // A dump gone quiet may yet speak: its socket is not used again.
          return incomplete(after, ETIMEDOUT);
        }
        return attempt_over(after);
      }
      case Event::ReceiveFailed:
        dumping_ = false;
        return incomplete(read_->receive_failed(ENOBUFS, t_), ENOBUFS);
      case Event::FailedReply: {
        // By where it comes in the sequence, so that every depth meets each:
        // NLMSG_DONE with an error, the request refused, an ack where rows
        // were due, a part cut short without a word.
        dumping_ = false;
        constexpr int errors[] = {EIO, EPERM, EPROTO, EBADMSG};
        const int error = errors[events_.size() % 4];
        auto b = message(error == EIO ? NLMSG_DONE : NLMSG_ERROR, 0, seq_, 0,
                         error == EPROTO ? 0 : error);
        if (error == EBADMSG) {
          b = message(RTM_NEWADDR, 0, seq_);
          b.resize(b.size() / 2);
        }
        return incomplete(read_->received(b.data(), b.size(), 0, false, t_), error);
      }
      case Event::Stale: {
        // A row the kernel does not hold and the end, for the request before.
        auto b = message(RTM_NEWADDR, NLM_F_DUMP_INTR, seq_ - 1, holds_[0] ? 1 : 0);
        const auto done = message(NLMSG_DONE, 0, seq_ - 1);
        b.insert(b.end(), done.begin(), done.end());
        last_part_ = t_;
        return expect_poll(read_->received(b.data(), b.size(), 0, false, t_));
      }
      case Event::MonitorBroke:
        return fatal(read_->reports_taken(false, EBADF), EBADF);
      case Event::Discarded:
        ++epochs_;
        interrupted_endings_ = 0;
        next_ = read_->discarded(0);
        ASSERT_EQ(next_.io, Io::SendRequest) << trace();
        return;
      case Event::DiscardFailed:
        return fatal(read_->discarded(EIO), EIO);
    }
  }

  // The kernel's next part of the reply: the row in the next slot (or a
  // message of another kind where that address is not there), then the end.
  // Parts built after the table changed are marked interrupted.
  std::vector<std::uint8_t> next_part() {
    const std::uint16_t flags = interrupted_ ? NLM_F_DUMP_INTR : 0;
    if (slot_ == addresses) {
      dumping_ = false;
      reply_interrupted_ = interrupted_;
      done_at_ = t_;
      return message(NLMSG_DONE, flags, seq_);
    }
    const std::size_t row = slot_++;
    return message(holds_[row] ? RTM_NEWADDR : RTM_NEWLINK, flags, seq_, row);
  }

  // While the reply is read, the poll waits a second past its last part;
  // once it is over, the monitor is read once more without waiting.
  void expect_poll(const DumpRead::Command& c) {
    next_ = c;
    ASSERT_EQ(c.io, Io::Poll) << trace();
    ASSERT_EQ(c.deadline, c.reply ? last_part_ + 1s : done_at_) << trace();
  }

  // An attempt that may come to more: the next one is made, on a fresh
  // socket, until the eighth, whose failure ends the read with its errno.
  void incomplete(const DumpRead::Command& c, int error) {
    next_ = c;
    if (++incomplete_ == 8) {
      ASSERT_EQ(c.io, Io::Fail) << trace();
      ASSERT_EQ(read_->result().error, error) << trace();
      return;
    }
    ASSERT_EQ(c.io, Io::SendRequest) << trace();
  }

  void fatal(const DumpRead::Command& c, int error) {
    next_ = c;
    ASSERT_EQ(c.io, Io::Fail) << trace();
    ASSERT_EQ(read_->result().error, error) << trace();
  }

  // A reply read to its end: taken as the table, or, marked interrupted,
  // read once more and the two taken together.
  void attempt_over(const DumpRead::Command& c) {
    next_ = c;
    if (reply_interrupted_ && ++interrupted_endings_ < 2) {
      ASSERT_EQ(c.io, Io::SendRequest) << trace();
      return;
    }
    ASSERT_EQ(c.io, Io::Done) << trace();
  }

  // A read that ended well holds what the kernel holds, and counts as a
  // change if anything changed or was lost after it began, and only if a
  // report came or was lost; every read ends within its attempts.
  void judge() {
    EXPECT_LE(sent_, 8 + 3 * epochs_) << trace();
    if (next_.io == Io::Fail) {
      return;
    }
    const emulated::ReadResult& r = read_->result();
    EXPECT_EQ(r.error, 0);
    for (std::size_t i = 0; i < addresses; ++i) {
      emulated::AddressTable probe = table_;
      EXPECT_EQ(!probe.added(address(i)), holds_[i]) << "address " << i << ":" << trace();
    }
    if (changed_) {
      EXPECT_TRUE(r.counts_as_change) << trace();
    }
    if (!reported_ && !changed_) {
      EXPECT_FALSE(r.counts_as_change) << trace();
    }
  }

  Chooser choose_;
  emulated::AddressTable table_;
  std::optional<DumpRead> read_;
  DumpRead::Command next_{};
  std::array<bool, addresses> holds_{};
  DumpRead::Clock::time_point t_ = DumpRead::Clock::time_point() + 1h;
  DumpRead::Clock::time_point last_part_{};
  DumpRead::Clock::time_point done_at_{};
  std::uint32_t seq_ = 0;
  std::size_t slot_ = 0;
  bool dumping_ = false;
  bool interrupted_ = false;        // the table changed since the dump began
  bool reply_interrupted_ = false;  // the reply's end was marked interrupted
  bool changed_ = false;
  bool reported_ = false;
  int sent_ = 0;
  int epochs_ = 1;
  int incomplete_ = 0;
  int interrupted_endings_ = 0;
  std::vector<Event> events_;

  // The events so far, for a failure.
  std::string trace() const {
    std::ostringstream out;
    out << " after events";
    for (const Event e : events_) {
      out << ' ' << static_cast<int>(e);
    }
    return out.str();
  }
};

// Every sequence of up to depth chosen events, each followed by a kernel
// that goes on without a fault; returns how many reads were run.
long every_sequence(bool after_loss, std::size_t depth) {
  long runs = 0;
  std::vector<int> prefix;
  // Runs the prefix and then each choice after it, depth first.
  std::function<void()> explore = [&] {
    std::size_t at = 0;
    std::size_t options = 0;
    ReadRun run(after_loss, [&](const std::vector<Event>& can) {
      if (at < prefix.size()) {
        return prefix[at++];
      }
      if (at++ == prefix.size()) {
        options = can.size();
      }
      return -1;
    });
    run.run();
    ++runs;
    if (::testing::Test::HasFailure() || prefix.size() == depth) {
      return;
    }
    for (std::size_t i = 0; i < options && !::testing::Test::HasFailure(); ++i) {
      prefix.push_back(static_cast<int>(i));
      explore();
      prefix.pop_back();
    }
  };
  explore();
  return runs;
}

TEST(ReadModel, EverySequenceOfKernelEventsReadsWhatTheKernelHolds) {
  for (const bool after_loss : {false, true}) {
    SCOPED_TRACE(after_loss ? "after a loss" : "first read");
    const long runs = every_sequence(after_loss, 7);
    EXPECT_GT(runs, 10000);  // the explorer went deep
  }
}

// Plays a script of (when, event): at the first decision where a kernel
// without a fault would go on with `when`, the event comes instead.
void play(const std::vector<std::pair<Event, Event>>& script) {
  std::size_t at = 0;
  ReadRun run(false, [&](const std::vector<Event>& can) {
    if (at < script.size() && can[0] == script[at].first) {
      const auto it = std::find(can.begin(), can.end(), script[at++].second);
      return it == can.end() ? -1 : static_cast<int>(it - can.begin());
    }
    return -1;
  });
  run.run();
  EXPECT_EQ(at, script.size());
}

TEST(ReadModel, TheReadEndsAtItsLimitsAndCountsThemAfreshAfterALoss) {
  // Each way an attempt fails, one after another, eight times.
  const std::vector<std::pair<Event, Event>> failures = {{Event::Sent, Event::Refused},
                                                         {Event::Part, Event::Truncated},
                                                         {Event::Part, Event::Silence},
                                                         {Event::Part, Event::ReceiveFailed},
                                                         {Event::Part, Event::FailedReply}};
  for (std::size_t first = 0; first < failures.size(); ++first) {
    std::vector<std::pair<Event, Event>> script;
    for (std::size_t i = 0; i < 8; ++i) {
      script.push_back(failures[(first + i) % failures.size()]);
    }
    play(script);
  }
  // A read interrupted twice ends with the two; one interrupted once, then
  // one that lost reports, starts afresh, and an interrupted read after
  // that is read once more.
  play({{Event::Part, Event::Add0}, {Event::Sent, Event::Sent}, {Event::Part, Event::Add1}});
  play({{Event::Part, Event::Add0},
        {Event::Sent, Event::Sent},
        {Event::Part, Event::Lost1},
        {Event::Sent, Event::Sent},
        {Event::Part, Event::Add0}});
  // Reports lost in every read: the read starts again, but not for ever.
  emulated::AddressTable table;
  DumpRead flooded(table);
  flooded.start();
  const auto t = DumpRead::Clock::now();
  for (int read = 1; read < 1000; ++read) {
    flooded.sent(1, port, t);
    ASSERT_EQ(flooded.reports_taken(true, 0).io, Io::Discard) << read;
    ASSERT_EQ(flooded.discarded(0).io, Io::SendRequest) << read;
  }
  flooded.sent(1, port, t);
  EXPECT_EQ(flooded.reports_taken(true, 0).io, Io::Fail);
  EXPECT_EQ(flooded.result().error, ENOBUFS);
}

}  // namespace
