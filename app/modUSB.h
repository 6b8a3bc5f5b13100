// Finding readers in HID personality. The enumeration itself, with the
// tests that recognise a reader's interface, is a platform backend; the
// naming lives here so that every platform numbers and names the interfaces
// the same way.
#pragma once
#include "platform/hid_enum.h"
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex {

// Fills names[0..count-1] with "ZN480 Keyboard " + ordinal from 0 and returns
// count. When nothing matches the result is 0; when the search itself failed
// it is kHidSearchFailed, since "no reader" and "could not look" lead callers
// to opposite conclusions. In both cases the array is untouched.
constexpr int16_t kHidSearchFailed = -1;
int16_t ListHidReaders(HidEnumerator& hid, std::vector<std::string>& names);

} // namespace tarvex
