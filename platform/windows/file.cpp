// Settings file access for Windows. Windows code only.
// CreateFileW, ReadFile and WriteFile; new lines end in CR LF. A file in UTF-8
// is read as it is; one in UTF-16 or the ANSI code page is read converted, and
// a UTF-16 one is appended to in UTF-16.
#include "platform/file.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/diagnostics.h"
#include "platform/windows/text.h"

namespace lull::platform {

const char* const new_file_line_end = "\r\n";

namespace {

// Others may read, write, rename or delete the file while it is open here:
// the wrapper never locks the user out of their settings.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// `path` as the system is to be given it. An absolute path of MAX_PATH
// characters or more opens only in the form that lifts the limit: the
// programs carry no manifest that would, and a program's own path may take
// up to 259 characters, to which ".properties" adds 7. That form is taken
// literally, which suits a settings path: it is built from the program's own
// full path, with nothing in it left to resolve.
std::wstring system_path(const std::string& path) {
  std::wstring wide = utf16(path);
  if (wide.size() < MAX_PATH || wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\"))
    return wide;
  if (wide.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + wide.substr(2);
  if (wide.size() > 2 && wide[1] == L':' && wide[2] == L'\\') return L"\\\\?\\" + wide;
  return wide;
}

// Opens `path` only when it names a file on disk; a folder cannot be opened
// this way, and a device or pipe in its place is closed again at once.
HANDLE open_disk_file(const std::wstring& path, DWORD access, DWORD disposition) {
  HANDLE file = ::CreateFileW(path.c_str(), access, share_all, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    ::SetLastError(ERROR_BAD_FILE_TYPE);
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

bool rewind(HANDLE file) {
  return ::SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) != 0;
}

// How a settings file's text is written.
enum class Encoding { utf8, ansi, marked_utf8, utf16le, utf16be };
constexpr const char* encoding_names[] = {"UTF-8", "ANSI", "UTF-8 with its mark", "UTF-16LE",
                                          "UTF-16BE"};

// The encoding a byte-order mark at the start of the file declares; utf8
// where there is none. Notepad's "Unicode" and Windows PowerShell 5.1 save
// UTF-16 with a mark; a line added later in ANSI (PowerShell's Add-Content,
// cmd's "echo >>") must not undo a UTF-8 mark, or the first key would never
// match again.
Encoding declared_encoding(HANDLE file) {
  std::array<unsigned char, 3> start{};
  const long count = read_bytes(file, reinterpret_cast<char*>(start.data()), start.size());
  if (count >= 2 && start[0] == 0xFF && start[1] == 0xFE) return Encoding::utf16le;
  if (count >= 2 && start[0] == 0xFE && start[1] == 0xFF) return Encoding::utf16be;
  if (count == 3 && start[0] == 0xEF && start[1] == 0xBB && start[2] == 0xBF)
    return Encoding::marked_utf8;
  return Encoding::utf8;
}

// Whether the whole file is UTF-8, read from where it is to its end. Notepad
// saves UTF-8 by default (with or without the byte-order mark), older editors
// the ANSI code page: without a mark, only the whole file tells them apart,
// as ASCII text is both. A read that fails counts as UTF-8: then nothing is
// converted, and the reads that follow fail too.
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

Encoding encoding_of(HANDLE file) {
  const Encoding declared = declared_encoding(file);
  if (declared != Encoding::utf8 || !rewind(file)) return declared;
  return holds_utf8(file) ? Encoding::utf8 : Encoding::ansi;
}

}  // namespace

// A file not in plain UTF-8, read piece by piece and handed out as UTF-8. A
// UTF-16 mark becomes the UTF-8 one, which the lookup skips as in any file.
struct ReadableFile::Conversion {
  explicit Conversion(Encoding of) : encoding(of) {}
  Encoding encoding;
  std::string text;  // converted, not yet handed out
  std::size_t next = 0;
  std::string held;  // read, but not yet a whole character

  // The whole characters held (at the end of the file, all that is held)
  // into `text`.
  void convert(bool at_end) {
    text.clear();
    next = 0;
    std::size_t taken = 0;
    if (encoding == Encoding::ansi) {
      taken = append_utf8_from_ansi(held, at_end, text);
    } else if (encoding == Encoding::marked_utf8) {
      taken = append_valid_utf8(held, at_end, text);
    } else {
      taken = append_utf8_from_utf16(held, encoding == Encoding::utf16be, at_end, text);
    }
    held.erase(0, taken);
  }
};

ReadableFile::ReadableFile(const std::string& path) {
  const std::wstring name = system_path(path);
  HANDLE file = open_disk_file(name, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) {
    diagnose("settings file %s: error %lu", utf8(name).c_str(), ::GetLastError());
    return;
  }
  const Encoding encoding = encoding_of(file);
  if (!rewind(file)) {
    ::CloseHandle(file);
    return;
  }
  diagnose("settings file %s: read as %s", utf8(name).c_str(),
           encoding_names[static_cast<int>(encoding)]);
  descriptor_ = reinterpret_cast<std::intptr_t>(file);
  if (encoding != Encoding::utf8) conversion_ = new Conversion{encoding};
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
    converted.convert(count == 0);
  }
  const std::size_t given = std::min(size, converted.text.size() - converted.next);
  std::memcpy(buffer, converted.text.data() + converted.next, given);
  converted.next += given;
  return static_cast<long>(given);
}

namespace {

// The text to append to the open file `file`, in the file's own encoding;
// false when that cannot be known, or the text would not read back. The text
// is ASCII (a key, "=", line ends), the same bytes in UTF-8 and in any ANSI
// code page; a file with a UTF-16 mark gets it in UTF-16 of its byte order.
bool encode_for(HANDLE file, const std::wstring& name, const std::string& text,
                std::string& bytes) {
  LARGE_INTEGER size{};
  if (::GetFileSizeEx(file, &size) == 0) return false;
  const Encoding encoding = declared_encoding(file);
  if (encoding != Encoding::utf16le && encoding != Encoding::utf16be) {
    bytes = text;
    return true;
  }
  // A UTF-16 file of odd length holds single-byte text (cmd's "echo >>"
  // after PowerShell's ">") or a stray byte: whatever followed would start
  // inside a character and read as other characters, never as the key, and
  // be appended again on every run.
  if (size.QuadPart % 2 != 0) {
    diagnose("settings file %s: UTF-16 of odd length %lld, nothing appended", utf8(name).c_str(),
             size.QuadPart);
    return false;
  }
  bytes = utf16_bytes(text, encoding == Encoding::utf16be);
  return true;
}

}  // namespace

bool append_to_file(const std::string& path, const std::string& text) {
  // One handle both reads the mark and appends: where the file cannot be
  // read (another program holds it without read sharing, an access rule
  // grants append alone), its encoding is unknown and nothing is appended,
  // rather than single-byte text into a UTF-16 file. Without write access
  // (FILE_WRITE_DATA), every write lands at the end of the file, as one
  // piece, however many wrappers append at the same moment.
  const std::wstring name = system_path(path);
  HANDLE file = open_disk_file(name, FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) {
    diagnose("settings file %s: not appended to, error %lu", utf8(name).c_str(), ::GetLastError());
    return false;
  }
  std::string bytes;
  DWORD written = 0;
  const bool wrote =
      encode_for(file, name, text, bytes) &&
      ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
      written == bytes.size();
  return ::CloseHandle(file) != 0 && wrote;
}

}  // namespace lull::platform
