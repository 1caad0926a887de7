// Settings file access for Windows. Windows code only.
// CreateFileW, ReadFile and WriteFile; new lines end in CR LF. A file in UTF-8
// is read as it is; any other is in the ANSI code page and read converted.
#include "platform/file.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/windows/text.h"

namespace lull::platform {

const char* const new_file_line_end = "\r\n";

namespace {

// Others may read, write, rename or delete the file while it is open here:
// the wrapper never locks the user out of their settings.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `path` only when it names a file on disk; a folder cannot be opened
// this way, and a device or pipe in its place is closed again at once.
HANDLE open_disk_file(const std::string& path, DWORD access, DWORD disposition) {
  HANDLE file = ::CreateFileW(utf16(path).c_str(), access, share_all, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

HANDLE native(std::intptr_t descriptor) { return reinterpret_cast<HANDLE>(descriptor); }

long read_bytes(HANDLE file, char* buffer, std::size_t size) {
  const DWORD wanted = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  DWORD got = 0;
  if (::ReadFile(file, buffer, wanted, &got, nullptr) == 0) return -1;
  return static_cast<long>(got);
}

// Whether the whole file is UTF-8, read from where it is to its end. Notepad
// saves UTF-8 by default (with or without the byte-order mark), older editors
// the ANSI code page: only the whole file tells them apart, as ASCII text is
// both. A read that fails counts as UTF-8: then nothing is converted, and the
// reads that follow fail too.
bool holds_utf8(HANDLE file) {
  std::array<char, 8192> buffer;
  Utf8Check check;
  bool valid = true;
  long count = 0;
  while (valid && (count = read_bytes(file, buffer.data(), buffer.size())) > 0) {
    for (long i = 0; i < count && valid; ++i)
      valid = check.take(static_cast<unsigned char>(buffer[static_cast<std::size_t>(i)]));
  }
  return count < 0 || (valid && check.complete());
}

}  // namespace

// A file in the ANSI code page, read piece by piece and handed out as UTF-8.
struct ReadableFile::Conversion {
  std::string text;  // converted, not yet handed out
  std::size_t next = 0;
  std::string held;  // read, but not yet a whole character
};

ReadableFile::ReadableFile(const std::string& path) {
  HANDLE file = open_disk_file(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return;
  const bool utf8 = holds_utf8(file);
  if (::SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) == 0) {
    ::CloseHandle(file);
    return;
  }
  descriptor_ = reinterpret_cast<std::intptr_t>(file);
  if (!utf8) conversion_ = new Conversion;
}

ReadableFile::~ReadableFile() {
  if (descriptor_ >= 0) ::CloseHandle(native(descriptor_));
  delete conversion_;
}

long ReadableFile::read(char* buffer, std::size_t size) {
  if (descriptor_ < 0) return -1;
  if (conversion_ == nullptr) return read_bytes(native(descriptor_), buffer, size);
  Conversion& converted = *conversion_;
  while (converted.next == converted.text.size()) {
    std::array<char, 4096> raw;
    const long count = read_bytes(native(descriptor_), raw.data(), raw.size());
    if (count < 0) return -1;
    if (count == 0 && converted.held.empty()) return 0;
    converted.held.append(raw.data(), static_cast<std::size_t>(count));
    // At the end of the file a lead byte left alone is converted as it is.
    const std::size_t whole =
        count == 0 ? converted.held.size() : whole_ansi_characters(converted.held);
    converted.text = utf8_from_ansi(std::string_view(converted.held).substr(0, whole));
    converted.held.erase(0, whole);
    converted.next = 0;
  }
  const std::size_t given = std::min(size, converted.text.size() - converted.next);
  std::memcpy(buffer, converted.text.data() + converted.next, given);
  converted.next += given;
  return static_cast<long>(given);
}

bool append_to_file(const std::string& path, const std::string& text) {
  // Append access alone makes every write land at the end of the file, as
  // one piece, however many wrappers append at the same moment. The text is
  // ASCII (a key, "=", line ends), the same bytes in UTF-8 and in any ANSI
  // code page, so it suits the file whichever it is in.
  HANDLE file = open_disk_file(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool wrote =
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
      written == text.size();
  return ::CloseHandle(file) != 0 && wrote;
}

}  // namespace lull::platform
