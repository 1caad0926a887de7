// Settings file access for Windows. Windows code only.
// CreateFileA, ReadFile and WriteFile; new lines end in CR LF.
#include "platform/file.h"

#include <windows.h>

namespace lull::platform {

const char* const new_file_line_end = "\r\n";

namespace {

// Others may read, write, rename or delete the file while it is open here:
// the wrapper never locks the user out of their settings.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `path` only when it names a file on disk; a folder cannot be opened
// this way, and a device or pipe in its place is closed again at once.
HANDLE open_disk_file(const std::string& path, DWORD access, DWORD disposition) {
  HANDLE file = ::CreateFileA(path.c_str(), access, share_all, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

HANDLE native(std::intptr_t descriptor) { return reinterpret_cast<HANDLE>(descriptor); }

}  // namespace

ReadableFile::ReadableFile(const std::string& path) {
  HANDLE file = open_disk_file(path, GENERIC_READ, OPEN_EXISTING);
  if (file != INVALID_HANDLE_VALUE) descriptor_ = reinterpret_cast<std::intptr_t>(file);
}

ReadableFile::~ReadableFile() {
  if (descriptor_ >= 0) ::CloseHandle(native(descriptor_));
}

long ReadableFile::read(char* buffer, std::size_t size) {
  if (descriptor_ < 0) return -1;
  const DWORD wanted = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  DWORD got = 0;
  if (::ReadFile(native(descriptor_), buffer, wanted, &got, nullptr) == 0) return -1;
  return static_cast<long>(got);
}

bool append_to_file(const std::string& path, const std::string& text) {
  // Append access alone makes every write land at the end of the file, as
  // one piece, however many wrappers append at the same moment.
  HANDLE file = open_disk_file(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool wrote =
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
      written == text.size();
  return ::CloseHandle(file) != 0 && wrote;
}

}  // namespace lull::platform
