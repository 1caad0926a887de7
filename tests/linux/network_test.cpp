// The job gives way on the network: its sockets as another process sees them
// (taken from the job with pidfd_getfd), the programs on its leaf, and what
// is left once the wrapper has gone. As root, on a kernel that takes the
// programs; skipped, with the reason, elsewhere.
#include <fcntl.h>
#include <linux/bpf.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "linux/e2e_fixture.h"
#include "platform/linux/network_yield.h"

namespace lull::testing {
namespace {

using platform::kernel_yielding_congestion;
using platform::own_congestion_name;
using platform::yield_mark;

// A socket of another process, as getsockopt shows it.
struct SocketView {
  bool taken = false;
  std::string congestion;
  int tos = -1;
  std::uint32_t mark = 0;
};

SocketView look_at(pid_t pid, int descriptor) {
  SocketView view;
  const int process = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  const int taken =
      process >= 0 ? static_cast<int>(::syscall(SYS_pidfd_getfd, process, descriptor, 0)) : -1;
  if (process >= 0) ::close(process);
  if (taken < 0) return view;
  view.taken = true;
  std::array<char, platform::congestion_name_size> name{};
  socklen_t size = name.size();
  if (::getsockopt(taken, IPPROTO_TCP, TCP_CONGESTION, name.data(), &size) == 0)
    view.congestion.assign(name.data(), ::strnlen(name.data(), size));
  size = sizeof view.tos;
  ::getsockopt(taken, IPPROTO_IP, IP_TOS, &view.tos, &size);
  size = sizeof view.mark;
  ::getsockopt(taken, SOL_SOCKET, SO_MARK, &view.mark, &size);
  ::close(taken);
  return view;
}

// How many programs of `type` are attached to the group at `folder`; -1
// when the kernel cannot say.
int attached(const std::string& folder, bpf_attach_type type) {
  const int group = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bpf_attr query{};
  query.query.target_fd = static_cast<__u32>(group);
  query.query.attach_type = type;
  const long result = ::syscall(SYS_bpf, BPF_PROG_QUERY, &query, sizeof query);
  if (group >= 0) ::close(group);
  return result == 0 ? static_cast<int>(query.query.prog_cnt) : -1;
}

bool registered(const std::string& congestion) {
  std::ifstream available("/proc/sys/net/ipv4/tcp_available_congestion_control");
  for (std::string name; available >> name;) {
    if (name == congestion) return true;
  }
  return false;
}

class Network : public WrapperTest {
 protected:
  // Starts a wrapper whose held child makes its sockets; false (and the
  // reason in skip_) where the job cannot have them here.
  bool start(std::vector<std::string> environment) {
    if (::geteuid() != 0) return skip("needs root: the kernel attaches no program for others");
    environment.insert(environment.end(),
                       {report_variable(), hold_variable(), "LULL_SOCKETS=1", "LULLRUN_DEBUG=1"});
    wrapper_.emplace(Launch{.program = lullrun_path,
                            .arguments = {test_child_path},
                            .environment = environment,
                            .standard_output = log_descriptor()});
    report_ = wait_for_report(report_path());
    if (values(report_, "pid").size() != 1) return skip("the child did not report");
    child_ = std::stoi(values(report_, "pid").front());
    for (const std::string& line : values(report_, "cgroup"))
      if (line.starts_with("0::")) leaf_ = unified_mount() + line.substr(3);
    if (leaf_.find("/lullrun-job-") == std::string::npos)
      return skip("the job has no leaf of its own in the unified tree");
    for (const char* refusal : {"network: none: the kernel refused", "network: none: no libbpf"}) {
      const std::string log_text = read_file(log_path());
      const std::size_t at = log_text.find(refusal);
      if (at != std::string::npos) return skip(log_text.substr(at, log_text.find('\n', at) - at));
    }
    return true;
  }
  void TearDown() override {
    release_child();
    if (child_ > 0) wait_until_gone(child_, patience);
  }
  bool skip(const std::string& reason) {
    skip_ = reason;
    return false;
  }
  [[nodiscard]] SocketView socket_of(const std::string& kind) const {
    for (const std::string& line : values(report_, "socket")) {
      if (line.starts_with(kind + " ")) return look_at(child_, std::stoi(line.substr(kind.size())));
    }
    return {};
  }
  [[nodiscard]] SocketView grandchild_socket() const {
    const std::vector<std::string> found = values(report_, "grandchild");
    if (found.size() != 1) return {};
    const std::size_t space = found.front().find(' ');
    return look_at(std::stoi(found.front().substr(0, space)),
                   std::stoi(found.front().substr(space + 1)));
  }
  // The congestion control the job's sockets should have: the wrapper's
  // own, or the kernel's where it said it could not register its own.
  [[nodiscard]] std::string expected_congestion() const {
    if (read_file(log_path()).find("no congestion control of our own") == std::string::npos)
      return own_congestion_name(wrapper_->pid());
    return kernel_yielding_congestion(
        read_file("/proc/sys/net/ipv4/tcp_available_congestion_control"));
  }
  // Both the job's programs, or neither, are on its leaf.
  void expect_programs_on_leaf(int count) const {
    EXPECT_EQ(attached(leaf_, BPF_CGROUP_SOCK_OPS), count);
    EXPECT_EQ(attached(leaf_, BPF_CGROUP_INET_SOCK_CREATE), count);
  }

  std::optional<WrapperProcess> wrapper_;
  Report report_;
  pid_t child_ = 0;
  std::string leaf_;
  std::string skip_;
};

TEST(NetworkChoice, TheKernelsOwnYieldingSenderIsTakenByItsWholeName) {
  EXPECT_EQ(kernel_yielding_congestion("reno cubic vegas\n"), "vegas");
  EXPECT_EQ(kernel_yielding_congestion("nv reno vegas"), "vegas");
  EXPECT_EQ(kernel_yielding_congestion("reno\tnv"), "nv");
  EXPECT_EQ(kernel_yielding_congestion("reno cubic lp"), "");  // leaves an idle link unused
  EXPECT_EQ(kernel_yielding_congestion("vegas2 nvx cubic"), "");
  EXPECT_EQ(kernel_yielding_congestion(""), "");
  // Each wrapper's own name, within the kernel's 15 characters for the
  // largest process id there is.
  EXPECT_EQ(own_congestion_name(0x1234), "lullrun_0001234");
  EXPECT_EQ(own_congestion_name(4194304), "lullrun_0400000");
}

TEST_F(Network, EveryTcpSocketOfTheJobYieldsAndIsMarkedFromItsFirst) {
  if (!start({})) GTEST_SKIP() << skip_;
  // Where the kernel has no congestion control that yields, the sockets keep
  // the default one, and the marks all the same.
  const std::string congestion = expected_congestion();
  std::array<char, platform::congestion_name_size> fallback{};
  std::ifstream("/proc/sys/net/ipv4/tcp_congestion_control")
      .getline(fallback.data(), fallback.size());
  // Made at once after exec, a connection, the end the job accepted, and a
  // grandchild's connection.
  for (const auto& [name, view] : {std::pair{"connected", socket_of("connected")},
                                   std::pair{"accepted", socket_of("accepted")},
                                   std::pair{"grandchild's", grandchild_socket()}}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(view.taken);
    EXPECT_EQ(view.congestion, congestion.empty() ? std::string(fallback.data()) : congestion);
    EXPECT_EQ(view.tos, static_cast<int>(platform::yield_dscp << 2));
    EXPECT_EQ(view.mark, yield_mark);
  }
  const SocketView udp = socket_of("udp");
  ASSERT_TRUE(udp.taken);
  EXPECT_EQ(udp.mark, yield_mark);
  expect_programs_on_leaf(1);
}

TEST_F(Network, NothingIsAttachedWithTheSwitchOff) {
  if (!start({"LULLRUN_NETWORK=0"})) GTEST_SKIP() << skip_;
  const SocketView connected = socket_of("connected");
  ASSERT_TRUE(connected.taken);
  EXPECT_FALSE(connected.congestion.starts_with("lullrun_"));
  EXPECT_EQ(connected.tos, 0);
  EXPECT_EQ(connected.mark, 0U);
  expect_programs_on_leaf(0);
  EXPECT_NE(read_file(log_path()).find("network: none: LULLRUN_NETWORK is 0"), std::string::npos);
}

// The links are the wrapper's descriptors: killed outright, it leaves neither
// programs on the job's leaf nor its congestion control registered; ended
// with its job, neither.
TEST_F(Network, NothingIsLeftWhenTheWrapperEnds) {
  if (!start({})) GTEST_SKIP() << skip_;
  const std::string congestion = own_congestion_name(wrapper_->pid());
  if (!registered(congestion)) GTEST_SKIP() << "the kernel's own congestion control is in use";
  ::kill(wrapper_->pid(), SIGKILL);
  EXPECT_EQ(wrapper_->wait(patience), 128 + SIGKILL);
  expect_programs_on_leaf(0);
  EXPECT_FALSE(registered(congestion));
  release_child();
  ASSERT_TRUE(wait_until_gone(child_, patience));
  ::rmdir(leaf_.c_str());

  ScratchFolder again;
  WrapperProcess ended({.program = lullrun_path,
                        .arguments = {test_child_path},
                        .environment = {"LULL_SOCKETS=1", "LULL_REPORT=" + (again / "report")}});
  const std::string name = own_congestion_name(ended.pid());
  EXPECT_EQ(ended.wait(patience), 0);
  EXPECT_FALSE(registered(name));
}

}  // namespace
}  // namespace lull::testing
