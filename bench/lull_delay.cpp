// The benchmark's delay line (Linux): two TUN devices, and every packet that
// leaves one by the route enters by the other `delay` milliseconds later, in
// order. It stands in for netem where the kernel was built without it: the
// network figure's 30 ms round trip is 15 ms each way through this line.
//
//   lull_delay DEVICE_A DEVICE_B DELAY_MS MOST_SECONDS
//
// Prints "ready" once both devices exist (the caller then moves one into
// another namespace and gives them addresses), and ends after MOST_SECONDS
// or on SIGTERM. Packets beyond 20000 waiting in one direction are dropped.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stop_requested = 0;
void request_stop(int /*signal*/) { stop_requested = 1; }

int open_tun(const char* name) {
  const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (::ioctl(fd, TUNSETIFF, &request) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

struct Packet {
  Clock::time_point due;
  std::vector<unsigned char> bytes;
};

// One direction: what `from` gives is written to `to` once due.
struct Direction {
  int from = -1;
  int to = -1;
  std::deque<Packet> waiting;

  void take(Clock::time_point now, Clock::duration delay) {
    std::array<unsigned char, 65536> buffer{};
    for (;;) {
      const ssize_t got = ::read(from, buffer.data(), buffer.size());
      if (got <= 0) return;
      if (waiting.size() >= 20000) continue;
      waiting.push_back({now + delay, {buffer.begin(), buffer.begin() + got}});
    }
  }

  void give(Clock::time_point now) {
    while (!waiting.empty() && waiting.front().due <= now) {
      const auto& bytes = waiting.front().bytes;
      // A packet the device refuses is lost, as on a real line.
      if (::write(to, bytes.data(), bytes.size()) < 0) {
      }
      waiting.pop_front();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: lull_delay DEVICE_A DEVICE_B DELAY_MS MOST_SECONDS\n");
    return 2;
  }
  const int a = open_tun(argv[1]);
  const int b = open_tun(argv[2]);
  if (a < 0 || b < 0) {
    std::perror("lull_delay: tun");
    return 1;
  }
  std::signal(SIGTERM, request_stop);
  std::signal(SIGINT, request_stop);
  const auto delay = std::chrono::milliseconds(std::atoi(argv[3]));
  const auto end = Clock::now() + std::chrono::seconds(std::atoi(argv[4]));
  std::array<Direction, 2> directions{Direction{a, b, {}}, Direction{b, a, {}}};
  std::printf("ready\n");
  std::fflush(stdout);
  while (stop_requested == 0 && Clock::now() < end) {
    auto next = Clock::now() + std::chrono::milliseconds(100);
    for (const Direction& direction : directions) {
      if (!direction.waiting.empty()) next = std::min(next, direction.waiting.front().due);
    }
    const auto wait = std::max(Clock::duration::zero(), next - Clock::now());
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(wait);
    const timespec timeout{
        whole.count(), std::chrono::duration_cast<std::chrono::nanoseconds>(wait - whole).count()};
    std::array<pollfd, 2> watched{pollfd{a, POLLIN, 0}, pollfd{b, POLLIN, 0}};
    // ppoll's timeout in nanoseconds: a packet leaves on its time, not up to
    // a millisecond late as with poll's.
    ::ppoll(watched.data(), watched.size(), &timeout, nullptr);
    const auto now = Clock::now();
    for (Direction& direction : directions) {
      direction.take(now, delay);
      direction.give(now);
    }
  }
  return 0;
}
