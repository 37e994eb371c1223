// Fields read out of a kernel's bytes, as both layers' parsers read them.
#pragma once

#include <cstdint>
#include <cstring>

namespace emulated {

// A field of the kernel's bytes. The bytes may come from anywhere (a fuzzer
// among them), so nothing is read through a cast pointer: every field is
// copied out, whatever its alignment.
template <typename T>
T load(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace emulated
