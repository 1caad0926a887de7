// Text conversions for Windows. Windows code only.
// Inside the programs all text is UTF-8, as the shared code expects of a
// std::string; the system's wide functions get it as UTF-16 at the last
// moment, and settings files in the ANSI code page are read as UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lull::platform {

// UTF-16 as the system gives it, as UTF-8. An unpaired surrogate (a file name
// or command line may hold one) keeps a three-byte form of its own, so the
// text comes back from `utf16` exactly as it was given.
std::string utf8(std::wstring_view wide);

// UTF-8, those surrogate forms included, as UTF-16 for the system. A byte
// that starts no complete UTF-8 sequence becomes U+FFFD.
std::wstring utf16(std::string_view text);

// Text in the ANSI code page as UTF-8.
std::string utf8_from_ansi(std::string_view ansi);

// How much of `ansi` ends on a whole character: in a double-byte code page a
// lead byte at the very end waits for the byte after it.
std::size_t whole_ansi_characters(std::string_view ansi);

// Follows bytes as they are read and says whether all of them so far could
// be well-formed UTF-8 (no overlong form, no surrogate, nothing past
// U+10FFFF), and whether the last sequence is complete.
class Utf8Check {
 public:
  bool take(unsigned char byte);
  [[nodiscard]] bool complete() const { return pending_ == 0; }

 private:
  int pending_ = 0;  // continuation bytes still due
  unsigned char low_ = 0x80;
  unsigned char high_ = 0xBF;  // the range the next continuation byte must be in
};

}  // namespace lull::platform
