// Text conversions for Windows. Windows code only.
#include "platform/windows/text.h"

#include <windows.h>

#include <utility>

namespace lull::platform {
namespace {

constexpr char32_t replacement = 0xFFFD;

bool is_high_surrogate(char32_t c) { return c >= 0xD800 && c < 0xDC00; }
bool is_low_surrogate(char32_t c) { return c >= 0xDC00 && c < 0xE000; }

void append_utf8(std::string& text, char32_t c) {
  static constexpr unsigned char lead[] = {0x00, 0xC0, 0xE0, 0xF0};
  const int continuation = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  text.push_back(static_cast<char>(lead[continuation] | (c >> (6 * continuation))));
  for (int shift = 6 * (continuation - 1); shift >= 0; shift -= 6)
    text.push_back(static_cast<char>(0x80 | ((c >> shift) & 0x3F)));
}

// The code point that starts at `text[at]` and how many bytes it takes.
// Surrogates are let through (see `utf8`); anything else that is not UTF-8
// counts as U+FFFD, one byte long.
std::pair<char32_t, std::size_t> decode(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return {lead, 1};
  const std::size_t length = lead >= 0xF8   ? 0
                             : lead >= 0xF0 ? 4
                             : lead >= 0xE0 ? 3
                             : lead >= 0xC0 ? 2
                                            : 0;
  if (length < 2 || at + length > text.size()) return {replacement, 1};
  char32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return {replacement, 1};
    c = (c << 6) | (byte(at + i) & 0x3F);
  }
  static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < least[length] || c > 0x10FFFF) return {replacement, 1};
  return {c, length};
}

// Text in the ANSI code page as UTF-8.
std::string utf8_from_ansi(std::string_view ansi) {
  if (ansi.empty()) return {};
  // No code page widens a byte to more than one UTF-16 unit.
  std::wstring wide(ansi.size(), L'\0');
  const int length = ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                           wide.data(), static_cast<int>(wide.size()));
  wide.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return utf8(wide);
}

// How much of `ansi` ends on a whole character.
std::size_t whole_ansi_characters(std::string_view ansi) {
  CPINFO code_page{};
  if (::GetCPInfo(CP_ACP, &code_page) == 0 || code_page.MaxCharSize < 2) return ansi.size();
  std::size_t at = 0;
  while (at < ansi.size()) {
    const std::size_t length = ::IsDBCSLeadByte(static_cast<BYTE>(ansi[at])) != 0 ? 2 : 1;
    if (at + length > ansi.size()) break;
    at += length;
  }
  return at;
}

}  // namespace

std::string utf8(std::wstring_view wide) {
  std::string text;
  text.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t c = wide[i];
    if (is_high_surrogate(c) && i + 1 < wide.size() && is_low_surrogate(wide[i + 1]))
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    append_utf8(text, c);
  }
  return text;
}

std::wstring utf16(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto [c, length] = decode(text, at);
    at += length;
    if (c < 0x10000) {
      wide.push_back(static_cast<wchar_t>(c));
    } else {
      wide.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  return wide;
}

std::size_t append_utf8_from_ansi(std::string_view bytes, bool at_end, std::string& text) {
  const std::size_t whole = at_end ? bytes.size() : whole_ansi_characters(bytes);
  text += utf8_from_ansi(bytes.substr(0, whole));
  return whole;
}

std::size_t append_valid_utf8(std::string_view bytes, bool at_end, std::string& text) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    Utf8Check check;
    std::size_t length = 0;
    bool valid = true;
    while (at + length < bytes.size()) {
      valid = check.take(static_cast<unsigned char>(bytes[at + length]));
      if (!valid) break;
      ++length;
      if (check.complete()) break;
    }
    if (valid && check.complete()) {
      text.append(bytes.substr(at, length));
      at += length;
      continue;
    }
    if (valid && !at_end) break;  // the rest of the sequence is still to come
    // The next byte may start a character again: a line end after a stray
    // byte still ends the line.
    append_utf8(text, replacement);
    ++at;
  }
  return at;
}

std::size_t append_utf8_from_utf16(std::string_view bytes, bool big_endian, bool at_end,
                                   std::string& text) {
  const auto unit = [&](std::size_t high, std::size_t low) {
    return static_cast<wchar_t>((bytes[high] & 0xFF) << 8 | (bytes[low] & 0xFF));
  };
  std::wstring wide;
  wide.reserve(bytes.size() / 2);
  std::size_t at = 0;
  for (; at + 1 < bytes.size(); at += 2)
    wide.push_back(big_endian ? unit(at, at + 1) : unit(at + 1, at));
  if (!at_end && !wide.empty() && is_high_surrogate(wide.back())) {
    wide.pop_back();
    at -= 2;
  }
  text += utf8(wide);
  if (at_end && at < bytes.size()) {
    append_utf8(text, replacement);
    at = bytes.size();
  }
  return at;
}

std::string utf16_bytes(std::string_view text, bool big_endian) {
  std::string bytes;
  for (const wchar_t unit : utf16(text)) {
    const auto high = static_cast<char>(unit >> 8);
    const auto low = static_cast<char>(unit & 0xFF);
    bytes.push_back(big_endian ? high : low);
    bytes.push_back(big_endian ? low : high);
  }
  return bytes;
}

bool Utf8Check::take(unsigned char byte) {
  if (pending_ == 0) {
    if (byte < 0x80) return true;
    if (byte < 0xC2 || byte > 0xF4) return false;
    pending_ = byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : 3;
    // Second bytes that would make an overlong form, a surrogate, or a
    // code point past U+10FFFF.
    low_ = byte == 0xE0 ? 0xA0 : byte == 0xF0 ? 0x90 : 0x80;
    high_ = byte == 0xED ? 0x9F : byte == 0xF4 ? 0x8F : 0xBF;
    return true;
  }
  if (byte < low_ || byte > high_) return false;
  low_ = 0x80;
  high_ = 0xBF;
  --pending_;
  return true;
}

}  // namespace lull::platform
