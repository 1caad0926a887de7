// The job gives way on the network. As root, the wrapper attaches programs
// of the kernel's (cgroup BPF) to the job's own leaf: every TCP socket the
// job or its descendants make, across exec, is marked DSCP CS1 and sends with
// a congestion control that yields to other traffic, and every IP socket
// carries a mark. The links are the wrapper's own descriptors, so the
// programs go when the wrapper goes. Ordinary users cannot attach such
// programs; for them nothing changes (README, "The network"). Linux code only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lull::platform {

struct PlacementPlan;
struct Placement;

// The DSCP value of the job's TCP packets: CS1, which Wi-Fi's background
// access category and cake's Bulk tin take, as Windows marks the job too.
inline constexpr unsigned yield_dscp = 8;
// The mark on every IP socket of the job, for a firewall rule to match:
// "yl" above CS1's value, unlikely to meet a routing rule's own mark.
inline constexpr std::uint32_t yield_mark = 0x796c0008;

// The longest congestion-control name the kernel keeps, with its NUL.
inline constexpr std::size_t congestion_name_size = 16;

// The congestion control a wrapper registers for its job: its own name, so
// that one wrapper's end does not take it from another's job.
std::string own_congestion_name(pid_t wrapper);

// The kernel's own yielding congestion control among those `available`
// lists (tcp_available_congestion_control), best first; "" when none.
// TCP-LP gives way too, but leaves most of an idle link unused: not taken.
std::string kernel_yielding_congestion(const std::string& available);

class NetworkYield {
 public:
  NetworkYield();
  ~NetworkYield();
  NetworkYield(const NetworkYield&) = delete;
  NetworkYield& operator=(const NetworkYield&) = delete;
  NetworkYield(NetworkYield&&) = delete;
  NetworkYield& operator=(NetworkYield&&) = delete;

  // Before the fork: whether the job is to get the programs (root, a leaf
  // planned, LULLRUN_NETWORK not 0, a wrapper that may fork a loader that
  // loads a library), and if so the gate the child waits at.
  void plan(const PlacementPlan& plan);

  // In the child, once placed and before exec: says so, and waits until the
  // programs are attached (or the loader has gone). Async-signal-safe.
  void wait_for_programs() const;

  // In the wrapper, after the fork: a loader process loads the programs
  // while the child places itself, attaches them to its leaf and passes the
  // links to the wrapper, which keep the programs attached while it lives.
  void attach(pid_t child, const PlacementPlan& plan);

  // Detaches the programs: the job has ended.
  void release();

 private:
  void run_loader(pid_t child, const PlacementPlan& plan, int links_out) const;

  std::vector<int> links_;
  pid_t wrapper_ = 0;
  int wrapper_end_ = -1;
  int child_end_ = -1;
};

}  // namespace lull::platform
