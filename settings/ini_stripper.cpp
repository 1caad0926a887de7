#include "settings/ini_stripper.h"

#include <array>
#include <string_view>

#include "platform/file.h"

namespace lull {
namespace {

// Positions inside an entry are 16-bit signed numbers: a longer entry makes
// the lookup fail. The same bound keeps an endless line from being read whole.
constexpr std::size_t max_entry_length = 32767;

// What one read of a field gave.
enum class Field {
  read,      // the field's text
  overlong,  // a field longer than an entry may be: its text is not kept
  none,      // a read past the end, or a read error
};

// Reads the settings file field by field. A field ends at a comma or a line
// end (CR, CR LF or LF), which is consumed with it; blanks in front of it are
// skipped. Every other character, quotes and "#" included, is literal. A
// UTF-8 byte-order mark at the very start of the file is no part of it.
class FieldReader {
 public:
  explicit FieldReader(platform::ReadableFile& file) : file_(file) { skip_byte_order_mark(); }

  Field read_field(std::string& field) {
    field.clear();
    overlong_holds_bracket_ = false;
    if (peek() < 0) return Field::none;
    while (peek() == ' ' || peek() == '\t') advance();
    bool overlong = false;
    for (int c = peek(); c >= 0; c = peek()) {
      advance();
      if (c == ',' || c == '\n') return overlong ? Field::overlong : Field::read;
      if (c == '\r') {
        if (peek() == '\n') advance();
        return overlong ? Field::overlong : Field::read;
      }
      if (!overlong && field.size() == max_entry_length) {
        // Read on without keeping anything: whether the field is skipped
        // depends only on whether it holds "[" (and no "=").
        overlong = true;
        if (field.find('=') != std::string::npos) return Field::overlong;
        overlong_holds_bracket_ = field.find('[') != std::string::npos;
        field.clear();
      }
      if (!overlong) {
        field.push_back(static_cast<char>(c));
      } else if (c == '=') {
        overlong_holds_bracket_ = false;  // an entry: never skipped
        return Field::overlong;
      } else if (c == '[') {
        overlong_holds_bracket_ = true;
      }
    }
    if (failed_) return Field::none;
    return overlong ? Field::overlong : Field::read;
  }

  // Whether the overlong field just read is skipped like any field that is no
  // entry and joins nothing: one without "=" that holds "[". Any other would
  // be, alone or joined with the fields after it, an entry over the limit.
  [[nodiscard]] bool overlong_is_skipped() const { return overlong_holds_bracket_; }

  [[nodiscard]] bool at_end() { return peek() < 0; }

 private:
  // Windows editors save "UTF-8 with BOM": the mark would otherwise be read
  // as part of the first key, which then never matches.
  void skip_byte_order_mark() {
    constexpr std::string_view mark = "\xEF\xBB\xBF";
    while (filled_ < mark.size() && !failed_) {
      const long count = file_.read(buffer_.data() + filled_, buffer_.size() - filled_);
      if (count <= 0) {
        failed_ = count < 0;
        break;
      }
      filled_ += static_cast<std::size_t>(count);
    }
    if (std::string_view(buffer_.data(), filled_).starts_with(mark)) next_ = mark.size();
  }

  // The next byte, or -1 at the end of the data or after a read error.
  int peek() {
    if (next_ == filled_ && !failed_) {
      const long count = file_.read(buffer_.data(), buffer_.size());
      failed_ = count < 0;
      filled_ = count > 0 ? static_cast<std::size_t>(count) : 0;
      next_ = 0;
    }
    return next_ < filled_ ? static_cast<unsigned char>(buffer_[next_]) : -1;
  }
  void advance() { ++next_; }

  platform::ReadableFile& file_;
  std::array<char, 8192> buffer_;  // small: the wrapper's whole footprint counts
  std::size_t next_ = 0;
  std::size_t filled_ = 0;
  bool failed_ = false;
  bool overlong_holds_bracket_ = false;
};

enum class Scan { found, not_found, failed };

bool holds(std::string_view text, char c) { return text.find(c) != std::string_view::npos; }

Scan scan(const std::string& key, const std::string& file, std::string& value) {
  platform::ReadableFile input(file);
  if (!input.is_open()) return Scan::failed;
  FieldReader reader(input);
  std::string entry;
  std::string next;
  for (;;) {
    const Field field = reader.read_field(entry);
    if (field == Field::none) return Scan::failed;
    if (field == Field::overlong) {
      if (!reader.overlong_is_skipped()) return Scan::failed;
      if (reader.at_end()) return Scan::not_found;
      continue;
    }
    // A remark longer than two characters swallows the fields after it until
    // the joined text holds an "="; running out of data here is a failure.
    if (!holds(entry, '=') && entry.size() > 2 && !holds(entry, '[')) {
      while (!holds(entry, '=')) {
        if (reader.read_field(next) != Field::read) return Scan::failed;
        entry.append(", ").append(next);
        if (entry.size() > max_entry_length) return Scan::failed;
      }
    }
    if (entry != "=" && !entry.empty() && holds(entry, '=')) {
      const std::size_t equals = entry.find('=');
      if (entry.compare(0, equals, key) == 0) {
        value = entry.substr(equals + 1);
        return Scan::found;
      }
      continue;  // no end check: at the end the next read fails
    }
    if (reader.at_end()) return Scan::not_found;
  }
}

// The line end the file already uses (that of its first line), and whether
// its last line is ended. A file that cannot be read counts as new.
struct FileTail {
  const char* line_end = platform::new_file_line_end;
  bool last_line_open = false;
};

FileTail tail_of(const std::string& file) {
  FileTail tail;
  platform::ReadableFile input(file);
  if (!input.is_open()) return tail;
  std::array<char, 8192> buffer;
  bool line_end_known = false;
  bool after_cr = false;
  char last = '\n';
  for (long count = 0; (count = input.read(buffer.data(), buffer.size())) > 0;) {
    for (long i = 0; i < count && !line_end_known; ++i) {
      const char c = buffer[static_cast<std::size_t>(i)];
      if (after_cr || c == '\n') {
        tail.line_end = after_cr ? (c == '\n' ? "\r\n" : "\r") : "\n";
        line_end_known = true;
      }
      after_cr = c == '\r';
    }
    last = buffer[static_cast<std::size_t>(count - 1)];
  }
  if (!line_end_known && after_cr) tail.line_end = "\r";
  tail.last_line_open = last != '\n' && last != '\r';
  return tail;
}

// Appends `key=` on a line of its own, in one write.
bool append_key(const std::string& key, const std::string& file) {
  const FileTail tail = tail_of(file);
  std::string line = tail.last_line_open ? tail.line_end : "";
  line.append(key).append("=").append(tail.line_end);
  return platform::append_to_file(file, line);
}

}  // namespace

std::string INIStripper(const std::string& key, const std::string& file) {
  std::string value;
  const Scan outcome = scan(key, file, value);
  if (outcome == Scan::found) return value;
  // A plain miss tries the append a second time; a failed read gives up at once.
  if (!append_key(key, file) && outcome == Scan::not_found) append_key(key, file);
  return {};
}

}  // namespace lull
