// Text conversions for Windows. Windows code only.
// Inside the programs all text is UTF-8, as the shared code expects of a
// std::string; the system's wide functions get it as UTF-16 at the last
// moment, and settings files in UTF-16 or the ANSI code page are read as
// UTF-8.
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

// A settings file's text as UTF-8, piece by piece, from each encoding that
// Windows editors save. Each appends to `text` the longest start of `bytes`
// that ends on a whole character (all of it when `at_end`: the file has no
// more) and returns how many bytes that took; the rest waits for more.
//
// Text in the ANSI code page; in a double-byte code page a lead byte at the
// very end waits for the byte after it.
std::size_t append_utf8_from_ansi(std::string_view bytes, bool at_end, std::string& text);
// UTF-8 that a byte-order mark declared: a byte that starts no well-formed
// sequence becomes U+FFFD, alone, and nothing else changes.
std::size_t append_valid_utf8(std::string_view bytes, bool at_end, std::string& text);
// UTF-16 of either byte order; a pair of surrogates is never divided, and an
// odd byte at the end becomes U+FFFD.
std::size_t append_utf8_from_utf16(std::string_view bytes, bool big_endian, bool at_end,
                                   std::string& text);

// UTF-8 as the bytes of UTF-16 in the byte order given.
std::string utf16_bytes(std::string_view text, bool big_endian);

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
