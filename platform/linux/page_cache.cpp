// Keeping the job's page cache within an allowance by proactive reclaim of
// its own leaf. Linux code only.
#include "platform/linux/page_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/diagnostics.h"
#include "platform/linux/cgroups.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

using std::chrono::milliseconds;

constexpr std::uint64_t mib = 1ULL << 20;
constexpr milliseconds fastest_look{100};
constexpr milliseconds slowest_look{1000};
// Without I/O seen, the cache is still looked at on the wrapper's tick
// (every 4 s): a job the pause does not watch may be filling it all the same.
constexpr milliseconds quiet_look{2000};

// The number after "\nKEY " in memory.stat's text, or 0.
std::uint64_t stat_value(std::string_view text, std::string_view key, bool& found) {
  std::uint64_t value = 0;
  for_each_line(text, [&](std::string_view line) {
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ' ') {
      value = std::strtoull(line.data() + key.size() + 1, nullptr, 10);
      found = true;
    }
  });
  return value;
}

std::uint64_t memory_total() {
  const std::string meminfo = read_text("/proc/meminfo", 256);
  const std::size_t at = meminfo.find("MemTotal:");
  return at == std::string::npos ? 0 : std::strtoull(meminfo.c_str() + at + 9, nullptr, 10) * 1024;
}

// LULLRUN_CACHE: "0" turns the reclaim off, a number of MiB sets the
// allowance; anything else is the default.
std::uint64_t allowance_setting(bool& off) {
  const char* setting = std::getenv("LULLRUN_CACHE");
  off = setting != nullptr && std::string_view(setting) == "0";
  if (setting == nullptr || off) return 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(setting, &end, 10);
  return *setting >= '0' && *setting <= '9' && *end == '\0' && value < (1ULL << 30) ? value * mib
                                                                                    : 0;
}

unsigned long long in_mib(std::uint64_t bytes) { return (bytes + mib / 2) / mib; }

// The text written whole at the start of the open kernel file `descriptor`:
// 0, or the errno.
int put_text(int descriptor, const char* text) {
  const std::size_t length = std::strlen(text);
  ssize_t written = -1;
  do {
    written = ::pwrite(descriptor, text, length, 0);
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(length) ? 0 : written < 0 ? errno : EIO;
}

std::uint64_t read_number(const KernelFile& file) {
  std::array<char, 32> buffer{};
  const std::string_view text = file.read(buffer);
  return std::strtoull(std::string(text).c_str(), nullptr, 10);
}

}  // namespace

CacheUse cache_use(std::string_view memory_stat) {
  CacheUse use;
  bool ignored = false;
  use.file = stat_value(memory_stat, "file", use.read);
  use.inactive_file = stat_value(memory_stat, "inactive_file", ignored);
  use.dirty = stat_value(memory_stat, "file_dirty", ignored) +
              stat_value(memory_stat, "file_writeback", ignored);
  return use;
}

std::uint64_t bytes_to_ask(const CacheUse& use, std::uint64_t allowance, bool file_only) {
  if (use.file <= allowance) return 0;
  const std::uint64_t clean = use.file - std::min(use.dirty, use.file);
  const std::uint64_t excess = std::min(use.file - allowance, clean);
  return file_only ? excess : std::min(excess, use.inactive_file);
}

std::uint64_t cache_allowance(std::uint64_t memory_total) {
  return std::clamp<std::uint64_t>(memory_total / 16, 64 * mib, 256 * mib);
}

milliseconds look_interval(std::uint64_t grown, milliseconds elapsed, std::uint64_t allowance) {
  if (grown == 0) return milliseconds::max();
  const auto rate_per_ms =
      static_cast<double>(grown) / static_cast<double>(std::max<std::int64_t>(elapsed.count(), 1));
  const double wanted = static_cast<double>(allowance) / 2 / rate_per_ms;
  return std::clamp(milliseconds(static_cast<std::int64_t>(std::min(wanted, 1e9))), fastest_look,
                    slowest_look);
}

PageCache::~PageCache() {
  if (high_ >= 0) ::close(high_);
}

PageCache::time_point PageCache::look(const std::string& leaf, bool job_did_io, time_point now,
                                      LeafFreezer& freezer) {
  if (state_ == State::unready) {
    ready(leaf);
    last_look_ = now;
  }
  if (state_ != State::on) return time_point::max();
  // At its own pace while the job fills the cache; otherwise when the watch
  // saw the job's I/O, and on the wrapper's tick.
  const auto since = now - last_look_;
  const bool quiet = next_look_ == time_point::max();
  if (now < next_look_ &&
      !(quiet && ((job_did_io && since >= fastest_look) || since >= quiet_look)))
    return next_look_;
  std::array<char, 4096> buffer{};
  const CacheUse use = cache_use(stat_.read(buffer));
  if (!use.read) {
    diagnose("cache: no more: the leaf's memory.stat cannot be read");
    state_ = State::off;
    return time_point::max();
  }
  most_file_ = std::max(most_file_, use.file);
  const std::uint64_t grown = use.file > expected_ ? use.file - expected_ : 0;
  expected_ = use.file;
  ask_back(use, now, freezer);
  const milliseconds interval =
      look_interval(grown, std::chrono::duration_cast<milliseconds>(now - last_look_), allowance_);
  last_look_ = now;
  next_look_ = interval == milliseconds::max() ? time_point::max() : now + interval;
  return next_look_;
}

void PageCache::ready(const std::string& leaf) {
  state_ = State::off;
  bool off = false;
  const std::uint64_t chosen = allowance_setting(off);
  if (leaf.empty() || off) {
    diagnose("cache: none: %s", off ? "LULLRUN_CACHE is 0" : "the job has no leaf of its own");
    return;
  }
  // A delegated scope hands its controllers on only when told to: the leaf
  // below it gets the memory controller from the scope's subtree_control,
  // which the scope, holding no process of its own, may give.
  const std::string parent = leaf.substr(0, leaf.rfind('/'));
  if (::access((leaf + "/memory.stat").c_str(), R_OK) != 0 &&
      holds_word(read_text(parent + "/cgroup.controllers", 256), "memory", ' '))
    write_small_file((parent + "/cgroup.subtree_control").c_str(), "+memory");
  if (const char* why = refusal(leaf); why != nullptr) {
    diagnose("cache: none: %s", why);
    return;
  }
  stat_ = KernelFile(leaf + "/memory.stat");
  allowance_ = chosen != 0 ? chosen : cache_allowance(memory_total());
  state_ = State::on;
  diagnose("cache: the job's file pages are kept within %llu MiB%s%s", in_mib(allowance_),
           chosen != 0 ? " (LULLRUN_CACHE)" : "",
           reclaim_path_.empty() ? ", by lowering the leaf's memory.high for a moment (no "
                                   "memory.reclaim before Linux 5.19)"
                                 : "");
}

// Why the job's cache cannot be kept in bounds, or nullptr, with the way to
// ask it back chosen: memory.reclaim, or before Linux 5.19 the leaf's
// memory.high, where it is ours to lower ("max": nobody set it).
const char* PageCache::refusal(const std::string& leaf) {
  if (::access((leaf + "/memory.stat").c_str(), R_OK) != 0)
    return "the job's leaf has no memory controller (none in its tree, or not handed down to it)";
  if (::access((leaf + "/memory.reclaim").c_str(), F_OK) == 0) {
    if (::access((leaf + "/memory.reclaim").c_str(), W_OK) != 0)
      return "the leaf's memory.reclaim may not be written";
    reclaim_path_ = leaf + "/memory.reclaim";
    return nullptr;
  }
  high_ = ::open((leaf + "/memory.high").c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  std::array<char, 16> text{};
  if (high_ < 0 || ::pread(high_, text.data(), text.size() - 1, 0) != 4 ||
      std::string_view(text.data()) != "max\n") {
    if (high_ >= 0) ::close(high_);
    high_ = -1;
    return "the kernel has no memory.reclaim (Linux 5.19 and later have it), and the leaf's "
           "memory.high is set or may not be written";
  }
  current_ = KernelFile(leaf + "/memory.current");
  file_only_ = false;  // a lowered memory.high takes no swappiness
  return nullptr;
}

void PageCache::ask_back(const CacheUse& use, time_point now, LeafFreezer& freezer) {
  std::uint64_t bytes = bytes_to_ask(use, allowance_, file_only_);
  // Small requests are left for the next look: each costs a write and a
  // walk of the leaf's lists.
  if (bytes < allowance_ / 16) return;
  int error = write_request(bytes, freezer);
  if (error == EINVAL && file_only_) {
    file_only_ = false;
    diagnose(
        "cache: the kernel takes no swappiness with memory.reclaim: only inactive file "
        "pages are asked back");
    bytes = bytes_to_ask(use, allowance_, file_only_);
    if (bytes < allowance_ / 16) return;
    error = write_request(bytes, freezer);
  }
  if (error != 0 && error != EAGAIN) {
    diagnose("cache: no more: memory.reclaim refused: %s", std::strerror(error));
    state_ = State::off;
    return;
  }
  if (requests_ == 0) first_ask_ = now;
  ++requests_;
  asked_ += bytes;
  short_ += error == EAGAIN ? 1 : 0;
  expected_ = use.file - bytes;
  diagnose(
      "cache: the job's file pages %llu MiB (%llu MiB dirty), allowance %llu MiB: %llu MiB "
      "asked back%s",
      in_mib(use.file), in_mib(use.dirty), in_mib(allowance_), in_mib(bytes),
      error == EAGAIN ? ", the kernel gave back less" : "");
}

int PageCache::write_request(std::uint64_t bytes, LeafFreezer& freezer) {
  if (reclaim_path_.empty()) return lower_high_for(bytes, freezer);
  std::array<char, 48> request{};
  (void)std::snprintf(request.data(), request.size(), "%" PRIu64 "%s", bytes,
                      file_only_ ? " swappiness=0" : "");
  return write_small_file(reclaim_path_.c_str(), request.data());
}

// memory.high lowered `bytes` below what the leaf holds makes the kernel
// reclaim down to it within this write; it is put back at once. Never
// without the guard, which puts it back should the wrapper be killed in
// between: a job left under a lowered memory.high would crawl.
int PageCache::lower_high_for(std::uint64_t bytes, LeafFreezer& freezer) {
  const std::uint64_t held = read_number(current_);
  if (held <= bytes || !freezer.guard_memory_high(high_)) return EAGAIN;
  std::array<char, 24> lowered{};
  (void)std::snprintf(lowered.data(), lowered.size(), "%" PRIu64, held - bytes);
  const int error = put_text(high_, lowered.data());
  int put_back = put_text(high_, "max");
  for (int attempt = 0; put_back != 0 && attempt < 100; ++attempt) {
    ::usleep(1000);
    put_back = put_text(high_, "max");
  }
  if (put_back != 0) return put_back;  // the guard puts it back as the wrapper goes
  if (error != 0) return error;
  return read_number(current_) > held - bytes + allowance_ / 16 ? EAGAIN : 0;
}

void PageCache::say_totals() {
  if (state_ != State::on) return;
  state_ = State::off;
  if (requests_ == 0) {
    diagnose(
        "cache: nothing asked back: the job's file pages stayed within %llu MiB (at most "
        "%llu MiB)",
        in_mib(allowance_), in_mib(most_file_));
    return;
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(last_look_ - first_ask_).count();
  diagnose(
      "cache: %llu MiB asked back in %d requests over %lld s (%d met in part); the job's "
      "file pages at most %llu MiB, allowance %llu MiB",
      in_mib(asked_), requests_, static_cast<long long>(seconds), short_, in_mib(most_file_),
      in_mib(allowance_));
}

}  // namespace lull::platform
