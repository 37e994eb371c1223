// The layer in-process, on the path the program runs (requests and untimed
// waits), each test in a network stack of its own.
#pragma once

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "machine.h"
#include "platform.h"

class Layer : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETNS();
    event_ = WSACreateEvent();
    ASSERT_NE(event_, WSA_INVALID_EVENT);
    overlapped_.hEvent = event_;
  }
  // Issues a request, as the loop does.
  ::testing::AssertionResult request() {
    const DWORD result = NotifyAddrChange(&handle_, &overlapped_);
    const int error = WSAGetLastError();
    if (result == static_cast<DWORD>(ERROR_IO_PENDING) && error == ERROR_IO_PENDING &&
        handle_ != nullptr) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "request: " << result << ", last error " << error;
  }

  enum class Ended { ByAChange, BySentinel, Failed };
  friend std::ostream& operator<<(std::ostream& out, Ended e) {
    return out << (e == Ended::ByAChange    ? "by a change"
                   : e == Ended::BySentinel ? "by the sentinel"
                                            : "failed");
  }

  // Waits, untimed, for the outstanding request to complete. Once this thread
  // is seen blocked with nothing left to read, another adds a sentinel
  // address; so the result tells whether what came before the call counted.
  Ended wait() {
    const std::string sentinel = "203.0.113." + std::to_string(++sentinels_) + "/32";
#ifdef __linux__
    const pid_t self = gettid();  // the thread that waits
#else
    const pid_t self = getpid();  // some thread of it waits
#endif
    std::atomic<bool> over{false};
    std::atomic<bool> adding{false};
    std::function<void()> add_sentinel = [&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!over && std::chrono::steady_clock::now() < deadline) {
        if (testing_support::wait_until_idle(self, std::chrono::milliseconds(20))) {
          adding = true;
          testing_support::add_address(sentinel, testing_support::loopback);
          return;
        }
      }
    };
    // A bare thread: under qemu-i386, std::thread::join ends in std::terminate
    // once the signal handler of SignalsDoNotEndAWait has run.
    pthread_t helper;
    const auto run = [](void* body) -> void* {
      (*static_cast<std::function<void()>*>(body))();
      return nullptr;
    };
    if (pthread_create(&helper, nullptr, run, &add_sentinel) != 0) {
      ADD_FAILURE() << "no thread to add the sentinel";
      return Ended::Failed;
    }
    const DWORD result = WaitForSingleObject(event_, INFINITE);
    const bool after_sentinel = adding;
    over = true;
    pthread_join(helper, nullptr);
    if (result != WAIT_OBJECT_0) {
      return Ended::Failed;
    }
    return after_sentinel ? Ended::BySentinel : Ended::ByAChange;
  }

  HANDLE event_ = nullptr;
  HANDLE handle_ = nullptr;
  OVERLAPPED overlapped_{};
  int sentinels_ = 0;
};
