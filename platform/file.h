// The settings file's access to the file system: read a regular file, append
// one piece of text to it. No operating-system header here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lull::platform {

// A regular file open for sequential reading. Anything else in its place (a
// folder, a FIFO, a device) is not opened, so it can never block the reader.
// What is read is the file's bytes, except on Windows, where it is UTF-8
// text: a file with a UTF-16 byte-order mark is in UTF-16, one with the UTF-8
// mark in UTF-8 (a stray byte read as U+FFFD), and any other that is not
// UTF-8 throughout is in the ANSI code page.
class ReadableFile {
 public:
  explicit ReadableFile(const std::string& path);
  ~ReadableFile();
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;

  [[nodiscard]] bool is_open() const { return descriptor_ >= 0; }
  // Reads up to `size` bytes; the count read, 0 at the end, -1 on failure.
  long read(char* buffer, std::size_t size);

 private:
  std::intptr_t descriptor_ = -1;
  struct Conversion;  // Windows: the converted text not yet handed out
  Conversion* conversion_ = nullptr;
};

// Appends `text` to the regular file at `path` in a single write, creating
// the file when it is missing, so wrappers appending at the same moment
// never interleave their lines. A write that falls short (a full disk, a
// file-size limit) is taken back. On Windows a file with a UTF-16 mark gets
// the text in UTF-16, and nothing is appended where the file's encoding
// cannot be read, or where a UTF-16 file's odd length would put the text
// inside a character. False when the text was not written whole.
bool append_to_file(const std::string& path, const std::string& text);

// The line end of a file the wrapper creates.
extern const char* const new_file_line_end;

}  // namespace lull::platform
