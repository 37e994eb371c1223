// The Linux layer's read of the table, as its decisions: fed the kernel's
// own datagrams (fuzz/corpus), reports and timestamps, with no socket.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "address_table.h"
#include "dump_read.h"
#include "netlink.h"

namespace {

using namespace std::chrono_literals;
using linux_layer::DumpRead;
using Bytes = std::vector<std::uint8_t>;
using Io = DumpRead::Io;
using Clock = DumpRead::Clock;

// The captures come from a little-endian machine, and netlink speaks in the
// host's order: on a big-endian one, the numbers the parser reads are
// turned round (the addresses are in network order already).
Bytes in_host_order(Bytes b) {
  if (std::endian::native == std::endian::little) {
    return b;
  }
  const auto le = [&b](std::size_t at, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = n; i-- > 0;) {
      v = v << 8 | b[at + i];
    }
    std::reverse(b.begin() + static_cast<std::ptrdiff_t>(at),
                 b.begin() + static_cast<std::ptrdiff_t>(at + n));
    return v;
  };
  for (std::size_t at = 0; at + sizeof(nlmsghdr) <= b.size();) {
    const std::uint32_t len = le(at, 4);
    const std::uint32_t type = le(at + 4, 2);
    le(at + 6, 2);
    le(at + 8, 4);
    le(at + 12, 4);
    if (type == NLMSG_DONE) {
      le(at + 16, 4);
    }
    if (type == RTM_NEWADDR || type == RTM_DELADDR) {
      le(at + 20, 4);  // ifa_index
      for (std::size_t a = at + 24; a + 4 <= at + len;) {
        const std::uint32_t attr_len = le(a, 2);
        le(a + 2, 2);
        a += NLMSG_ALIGN(std::max<std::uint32_t>(attr_len, 4));
      }
    }
    at += NLMSG_ALIGN(std::max<std::uint32_t>(len, sizeof(nlmsghdr)));
  }
  return b;
}

Bytes corpus(const char* name) {
  std::ifstream in(std::string(NETLINK_CORPUS) + "/" + name, std::ios::binary);
  Bytes b{std::istreambuf_iterator<char>(in), {}};
  if (b.empty()) {
    ADD_FAILURE() << "no capture " << name << " in " << NETLINK_CORPUS;
    b.resize(sizeof(nlmsghdr));
  }
  return in_host_order(std::move(b));
}

// The messages of a datagram, each changed by edit.
template <typename Edit>
Bytes edited(Bytes b, Edit edit) {
  for (std::size_t at = 0; at + sizeof(nlmsghdr) <= b.size();) {
    nlmsghdr hdr;
    std::memcpy(&hdr, b.data() + at, sizeof hdr);
    edit(hdr, b.data() + at + sizeof hdr);
    std::memcpy(b.data() + at, &hdr, sizeof hdr);
    at += NLMSG_ALIGN(hdr.nlmsg_len);
  }
  return b;
}

// The datagram with its first row made a row that is no address.
Bytes without_first_row(Bytes b) {
  b[offsetof(nlmsghdr, nlmsg_type)] = RTM_NEWLINK;
  return b;
}

std::vector<netlink::Message> messages(const Bytes& b) {
  std::vector<netlink::Message> all;
  std::size_t offset = 0;
  for (netlink::Message m;
       netlink::next(b.data(), b.size(), offset, m) == netlink::Step::Message;) {
    all.push_back(m);
  }
  return all;
}

class DumpReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(row.size(), 2u);
    ASSERT_EQ(report.kind, netlink::Kind::NewAddress);
  }

  // The seq and port that the captured reply answers.
  static constexpr std::uint32_t seq = 1;
  static constexpr std::uint32_t port = 0xfb4005ca;

  // The request sent at t, then the reply's datagrams, each after the one
  // before by step; returns the answer to the last.
  DumpRead::Command reply(DumpRead& read, std::initializer_list<Bytes> datagrams,
                          Clock::duration step = 10ms) {
    DumpRead::Command next = read.sent(seq, port, t);
    EXPECT_EQ(next.io, Io::Poll);
    EXPECT_TRUE(next.reply);
    EXPECT_EQ(next.deadline, t + 1s);
    for (const Bytes& d : datagrams) {
      t += step;
      next = read.received(d.data(), d.size(), 0, false, t);
    }
    return next;
  }
  // A whole reply; returns the answer once the monitor has nothing more.
  DumpRead::Command whole_reply(DumpRead& read) {
    const DumpRead::Command last = reply(read, {rows, done});
    EXPECT_EQ(last.io, Io::Poll);
    EXPECT_FALSE(last.reply);
    EXPECT_EQ(last.deadline, t);
    return read.silence(t);
  }
  // Whether the table, its read over, holds the row: refreshing it is then
  // no change.
  bool holds(const emulated::Address& a) {
    emulated::AddressTable copy = table;
    return !copy.added(a);
  }

  emulated::AddressTable table;
  Clock::time_point t = Clock::time_point() + 1h;
  const Bytes rows = corpus("dump-0");  // two addresses
  const Bytes done = corpus("dump-1");
  const std::vector<netlink::Message> row = messages(rows);
  const std::vector<netlink::Message> reports = messages(corpus("report-2"));
  const netlink::Message report = reports.empty() ? netlink::Message{} : reports[0];  // added
};

TEST_F(DumpReadTest, AWholeReplyIsTheTableAndReportsDuringItAreChanges) {
  for (const bool reported : {false, true}) {
    SCOPED_TRACE(reported ? "a report during the read" : "no report");
    table = {};
    DumpRead read(table);
    const DumpRead::Command first = read.start();
    EXPECT_EQ(first.io, Io::SendRequest);
    EXPECT_FALSE(first.fresh_socket);
    if (reported) {
      read.report(report);
      EXPECT_EQ(read.reports_taken(false, 0).io, Io::Poll);
    }
    EXPECT_EQ(whole_reply(read).io, Io::Done);
    EXPECT_EQ(read.result().error, 0);
    EXPECT_EQ(read.result().changed_meanwhile, reported);
    EXPECT_TRUE(holds(row[0].address));
    EXPECT_TRUE(holds(row[1].address));
    EXPECT_EQ(holds(report.address), reported);
  }
}

TEST_F(DumpReadTest, OnlyTheKernelSpeaksForTheReplyAndOnlyWhole) {
  DumpRead read(table);
  read.start();
  read.sent(seq, port, t);
  // The end of the same dump, from another sender: believed, it would
  // leave the table empty.
  const DumpRead::Command forged = read.received(done.data(), done.size(), 4242, false, t);
  EXPECT_EQ(forged.io, Io::Poll);
  EXPECT_TRUE(forged.reply);
  // A datagram cut short by the room for it loses rows: read again.
  const DumpRead::Command cut = read.received(rows.data(), rows.size(), 0, true, t);
  EXPECT_EQ(cut.io, Io::SendRequest);
  EXPECT_TRUE(cut.fresh_socket);
  EXPECT_EQ(whole_reply(read).io, Io::Done);
  EXPECT_TRUE(holds(row[0].address));
}

TEST_F(DumpReadTest, ASilentReplyIsGivenASecondAfterEachPartEvenWhileReportsWakeThePoll) {
  DumpRead read(table);
  read.start();
  const Clock::time_point sent = t;
  ASSERT_EQ(reply(read, {rows}, 900ms).deadline, sent + 1900ms);
  for (const auto at : {1000ms, 1500ms, 1899ms}) {
    read.report(report);
    EXPECT_EQ(read.reports_taken(false, 0).io, Io::Poll);
    const DumpRead::Command waiting = read.silence(sent + at);
    EXPECT_EQ(waiting.io, Io::Poll);
    EXPECT_EQ(waiting.deadline, sent + 1900ms);
  }
  const DumpRead::Command again = read.silence(sent + 1900ms);
  EXPECT_EQ(again.io, Io::SendRequest);
  EXPECT_TRUE(again.fresh_socket);
}

TEST_F(DumpReadTest, AnAttemptCutShortOrFailedIsMadeAgainEightTimesInAll) {
  const Bytes failed_done = edited(done, [](nlmsghdr&, std::uint8_t* payload) {
    const int eio = -EIO;
    std::memcpy(payload, &eio, sizeof eio);
  });
  DumpRead read(table);
  read.start();
  // Each way an attempt fails, then the same again until the eighth.
  DumpRead::Command next = read.failed(EAGAIN);  // a send the kernel refused
  EXPECT_EQ(next.io, Io::SendRequest);
  EXPECT_EQ(reply(read, {rows, failed_done}).io, Io::SendRequest);
  read.sent(seq, port, t);
  next = read.silence(t + 1s);
  EXPECT_EQ(next.io, Io::SendRequest);
  EXPECT_TRUE(next.fresh_socket);
  for (int attempt = 4; attempt < 8; ++attempt) {
    read.sent(seq, port, t);
    // A receive that a signal cut short, or that found nothing yet, is no
    // failure; one where the kernel could build no more of the reply is.
    EXPECT_EQ(read.receive_failed(EINTR, t).io, Io::Poll);
    EXPECT_EQ(read.receive_failed(EAGAIN, t).io, Io::Poll);
    next = read.receive_failed(ENOBUFS, t);
    EXPECT_EQ(next.io, Io::SendRequest) << attempt;
  }
  // Rows of the attempts that failed are not lost to the next one.
  EXPECT_EQ(whole_reply(read).io, Io::Done);
  EXPECT_TRUE(holds(row[1].address));

  DumpRead failing(table);
  failing.start();
  for (int attempt = 1; attempt < 8; ++attempt) {
    ASSERT_EQ(failing.failed(ENOBUFS).io, Io::SendRequest) << attempt;
  }
  EXPECT_EQ(failing.failed(ENOBUFS).io, Io::Fail);
  EXPECT_EQ(failing.result().error, ENOBUFS);
}

TEST_F(DumpReadTest, AnInterruptedReadIsReadOnceMoreAndTheTwoTogetherAreTheTable) {
  // The first read lacks the first row, as a read may that the table
  // changed under; the kernel marks both as interrupted.
  const auto interrupted = [](nlmsghdr& hdr, std::uint8_t*) { hdr.nlmsg_flags |= NLM_F_DUMP_INTR; };
  DumpRead read(table);
  read.start();
  reply(read, {without_first_row(edited(rows, interrupted)), edited(done, interrupted)});
  const DumpRead::Command again = read.silence(t);
  EXPECT_EQ(again.io, Io::SendRequest);
  EXPECT_FALSE(again.fresh_socket);  // its dump is over
  reply(read, {edited(rows, interrupted), edited(done, interrupted)});
  EXPECT_EQ(read.silence(t).io, Io::Done);
  EXPECT_FALSE(read.result().changed_meanwhile);
  EXPECT_TRUE(holds(row[0].address));
  EXPECT_TRUE(holds(row[1].address));
}

TEST_F(DumpReadTest, LostReportsStartTheReadAfreshAndAFloodWithoutEndEndsIt) {
  DumpRead read(table);
  read.start();
  // Reports lost during the first read: the rows it found may have gone.
  reply(read, {rows});
  EXPECT_EQ(read.reports_taken(true, 0).io, Io::Discard);
  const DumpRead::Command afresh = read.discarded(0);
  EXPECT_EQ(afresh.io, Io::SendRequest);
  EXPECT_TRUE(afresh.fresh_socket);
  // An interrupted read after it is still read once more.
  const auto interrupted = [](nlmsghdr& hdr, std::uint8_t*) { hdr.nlmsg_flags |= NLM_F_DUMP_INTR; };
  reply(read, {edited(done, interrupted)});
  EXPECT_EQ(read.silence(t).io, Io::SendRequest);
  reply(read, {without_first_row(rows), done});
  EXPECT_EQ(read.silence(t).io, Io::Done);
  EXPECT_TRUE(read.result().changed_meanwhile);
  EXPECT_FALSE(holds(row[0].address));
  EXPECT_TRUE(holds(row[1].address));

  // Once the reports have overflowed, the read starts by discarding them,
  // and whatever it finds is a change.
  DumpRead after_loss(table, true);
  EXPECT_EQ(after_loss.start().io, Io::Discard);
  EXPECT_EQ(after_loss.discarded(0).io, Io::SendRequest);
  EXPECT_EQ(whole_reply(after_loss).io, Io::Done);
  EXPECT_TRUE(after_loss.result().changed_meanwhile);

  DumpRead flooded(table);
  flooded.start();
  for (int read_ = 1; read_ < 1000; ++read_) {
    flooded.sent(seq, port, t);
    ASSERT_EQ(flooded.reports_taken(true, 0).io, Io::Discard) << read_;
    ASSERT_EQ(flooded.discarded(0).io, Io::SendRequest) << read_;
  }
  flooded.sent(seq, port, t);
  EXPECT_EQ(flooded.reports_taken(true, 0).io, Io::Fail);
  EXPECT_EQ(flooded.result().error, ENOBUFS);
}

TEST_F(DumpReadTest, WhatBreaksASocketEndsTheReadAtOnce) {
  const struct {
    const char* what;
    DumpRead::Command (*event)(DumpRead&);
    int error;
  } cases[] = {
      {"the monitor broke", [](DumpRead& r) { return r.reports_taken(false, EBADF); }, EBADF},
      {"no socket to send from", [](DumpRead& r) { return r.broken(EMFILE); }, EMFILE},
      {"the discard failed",
       [](DumpRead& r) {
         r.reports_taken(true, 0);
         return r.discarded(EIO);
       },
       EIO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DumpRead read(table);
    read.start();
    read.sent(seq, port, t);
    EXPECT_EQ(c.event(read).io, Io::Fail);
    EXPECT_EQ(read.result().error, c.error);
  }
}

}  // namespace
