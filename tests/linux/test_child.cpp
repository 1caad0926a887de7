// A child for the end-to-end tests: writes what it sees to the file named by
// LULL_REPORT (its arguments, folder, session, every thread's scheduling
// class and nice, signal mask, ignored signals, open descriptors, what its
// standard input and output are, its control groups and I/O priority), then
// behaves as LULL_THREADS, LULL_SLEEP_MS, LULL_EXIT and LULL_KILL_SELF say, and
// writes the moment it ends to LULL_REPORT.end. With LULL_READ naming a file
// or device, a worker process (reported as "worker") reads it without the
// page cache for as long as the child lives (with LULL_READ_FOR, for that
// many milliseconds, and then only waits); with LULL_SUBGROUP as well, from
// a group it makes below the child's own. With LULL_SERVE naming an empty
// folder as well, the worker serves there instead, through FUSE, one file
// ("file") whose bytes it reads from LULL_READ without the page cache, as a
// network or archive file system does; "worker 0" when it cannot mount.
// With LULL_SOCKETS set it makes sockets first and reports their descriptors
// ("socket KIND FD"), a connection from a grandchild among them
// ("grandchild PID FD"), for the test to take and look at.
// Its class at its first instruction is reported as "first policy P nice N";
// with LULL_HOLD set, it waits after its report for as long as that file
// exists (its scratch folder removed lets it go too).
#include <dirent.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string first_class;  // its scheduling class as main began

int number_from(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::atoi(text) : fallback;
}

// The names in `folder`; for /proc/self/fd, less the descriptor that reads it.
std::vector<std::string> entries_of(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    const std::string reading = std::to_string(::dirfd(dir));
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.' && (folder != "/proc/self/fd" || entry->d_name != reading)) {
        names.emplace_back(entry->d_name);
      }
    }
    ::closedir(dir);
  }
  return names;
}

// What a descriptor's /proc link names: a path, "pipe:[inode]", or "" when closed.
std::string link_target(const char* link) {
  char target[4096] = {};
  const ssize_t length = ::readlink(link, target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "";
}

std::string status_field(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return line.substr(field.size() + 2);
  }
  return "";
}

// A TCP connection to `port` on the loopback address: its descriptor, or -1.
int connect_to(in_port_t port) {
  const int made = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = port;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (made >= 0 && ::connect(made, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    return made;
  return -1;
}

// A grandchild that connects to `port`, says its descriptor through a pipe
// and stays while `hold` exists (or for a minute at most).
std::string grandchild_connection(in_port_t port, const char* hold) {
  int pipe_ends[2] = {-1, -1};
  if (::pipe(pipe_ends) != 0) return "";
  const pid_t grandchild = ::fork();
  if (grandchild == 0) {
    const int made = connect_to(port);
    (void)!::write(pipe_ends[1], &made, sizeof made);
    for (int waited = 0; hold != nullptr && ::access(hold, F_OK) == 0 && waited < 12000; ++waited)
      ::usleep(5000);
    ::_exit(0);
  }
  ::close(pipe_ends[1]);
  int descriptor = -1;
  (void)!::read(pipe_ends[0], &descriptor, sizeof descriptor);
  ::close(pipe_ends[0]);
  return "grandchild " + std::to_string(grandchild) + " " + std::to_string(descriptor) + "\n";
}

// Sockets made after exec: a listener, a connection to it and the accepted
// end, a UDP socket, and a grandchild's connection.
std::string make_sockets() {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener, 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return "";
  const int connected = connect_to(address.sin_port);
  const int accepted = ::accept(listener, nullptr, nullptr);
  const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
  std::ostringstream out;
  out << "socket connected " << connected << "\nsocket accepted " << accepted << "\nsocket udp "
      << udp << "\n"
      << grandchild_connection(address.sin_port, std::getenv("LULL_HOLD"));
  return out.str();
}

std::string report(int argc, char** argv) {
  std::ostringstream out;
  out << "argc " << argc << "\n";
  out << first_class;
  for (int i = 0; i < argc; ++i) out << "argv " << argv[i] << "\n";
  char folder[4096] = {};
  out << "cwd " << (::getcwd(folder, sizeof folder) != nullptr ? folder : "?") << "\n";
  out << "pid " << ::getpid() << "\nsid " << ::getsid(0) << "\nppid " << ::getppid() << "\n";
  for (const std::string& tid : entries_of("/proc/self/task")) {
    const int id = std::stoi(tid);
    out << "thread " << id << " policy " << ::sched_getscheduler(id) << " nice "
        << ::getpriority(PRIO_PROCESS, static_cast<id_t>(id)) << "\n";
  }
  out << "sigblk " << status_field("SigBlk") << "\nsigign " << status_field("SigIgn") << "\n";
  for (const std::string& fd : entries_of("/proc/self/fd")) out << "fd " << fd << "\n";
  out << "input " << link_target("/proc/self/fd/0") << "\noutput " << link_target("/proc/self/fd/1")
      << "\n";
  std::ifstream autogroup("/proc/self/autogroup");
  std::string group;
  if (std::getline(autogroup, group)) out << "autogroup " << group << "\n";
  std::ifstream groups("/proc/self/cgroup");
  for (std::string line; std::getline(groups, line);) out << "cgroup " << line << "\n";
  out << "ioprio " << ::syscall(SYS_ioprio_get, 1 /* IOPRIO_WHO_PROCESS */, 0) << "\n";
  std::ifstream oom("/proc/self/oom_score_adj");
  if (std::getline(oom, group)) out << "oom " << group << "\n";
  const char* marker = std::getenv("LULL_MARKER");
  out << "marker " << (marker != nullptr ? marker : "") << "\n";
  return out.str();
}

// The child's own group in the unified tree, as a folder.
std::string own_unified_folder() {
  std::ifstream groups("/proc/self/cgroup");
  for (std::string line; std::getline(groups, line);) {
    if (line.starts_with("0::")) {
      const bool hybrid = ::access("/sys/fs/cgroup/unified/cgroup.procs", F_OK) == 0;
      return (hybrid ? "/sys/fs/cgroup/unified" : "/sys/fs/cgroup") + line.substr(3);
    }
  }
  return "";
}

// Reads `path` a MiB at a time with O_DIRECT, from a point of its own, until
// its parent is gone or SIGTERM comes.
[[noreturn]] void read_without_cache(const char* path, pid_t parent) {
  // A handler, as a program that tidies up has: a frozen process runs it
  // only once thawed, where the default action would end it frozen or not.
  (void)::signal(SIGTERM, [](int) { ::_exit(0); });
  (void)::signal(SIGQUIT, [](int) {});  // a thread dump, as a JVM answers it
  const int fd = ::open(path, O_RDONLY | O_DIRECT);
  void* buffer = nullptr;
  constexpr std::size_t chunk = 1 << 20;
  if (fd < 0 || ::posix_memalign(&buffer, 4096, chunk) != 0) ::_exit(1);
  const off_t size = ::lseek(fd, 0, SEEK_END);
  off_t at = size > static_cast<off_t>(4 * chunk)
                 ? static_cast<off_t>(::getpid() % (size / static_cast<off_t>(chunk) - 2)) *
                       static_cast<off_t>(chunk)
                 : 0;
  const char* reading_for = std::getenv("LULL_READ_FOR");
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(reading_for ? std::atoi(reading_for) : 0);
  while (::getppid() == parent) {
    if (reading_for != nullptr && std::chrono::steady_clock::now() > until) {
      ::usleep(50000);
      continue;
    }
    if (::pread(fd, buffer, chunk, at) <= 0) at = 0;
    at += static_cast<off_t>(chunk);
  }
  ::_exit(0);
}

// The worker of LULL_READ, in a group of its own below the child's where
// LULL_SUBGROUP asks; its process id, or 0.
pid_t start_reader() {
  const char* path = std::getenv("LULL_READ");
  if (path == nullptr) return 0;
  std::string subgroup;
  if (std::getenv("LULL_SUBGROUP") != nullptr) {
    subgroup = own_unified_folder() + "/sub";
    ::mkdir(subgroup.c_str(), 0755);
  }
  const pid_t parent = ::getpid();
  const pid_t worker = ::fork();
  if (worker == 0) {
    if (!subgroup.empty()) std::ofstream(subgroup + "/cgroup.procs") << "0\n";
    read_without_cache(path, parent);
  }
  return worker;
}

// The file system of LULL_SERVE: a root folder (node 1) that holds one file
// (node 2), the backing file's bytes.
constexpr std::uint64_t served_node = 2;

class FuseServer {
 public:
  FuseServer(int fuse, int backing) : fuse_(fuse), backing_(backing) {}

  // Answers requests until the file system is unmounted (ENODEV).
  [[noreturn]] void serve() {
    constexpr std::size_t most = (1 << 20) + 4096;  // above what INIT allows a request to carry
    std::vector<std::uint64_t> request(most / sizeof(std::uint64_t));  // aligned for the headers
    void* data = nullptr;
    if (::posix_memalign(&data, 4096, 1 << 20) != 0) ::_exit(1);
    for (;;) {
      const ssize_t got = ::read(fuse_, request.data(), most);
      if (got < 0 && errno == EINTR) continue;
      if (got < static_cast<ssize_t>(sizeof(fuse_in_header))) ::_exit(0);
      const auto* in = reinterpret_cast<const fuse_in_header*>(request.data());
      answer(*in, reinterpret_cast<const char*>(in + 1), static_cast<char*>(data));
    }
  }

 private:
  void reply(std::uint64_t unique, int error, const void* body = nullptr, std::size_t size = 0) {
    fuse_out_header header{static_cast<std::uint32_t>(sizeof header + size), -error, unique};
    iovec parts[2] = {{&header, sizeof header}, {const_cast<void*>(body), size}};
    (void)!::writev(fuse_, parts, size > 0 ? 2 : 1);
  }

  [[nodiscard]] fuse_attr attributes(std::uint64_t node) const {
    fuse_attr attr{};
    attr.ino = node;
    attr.mode = node == served_node ? S_IFREG | 0444 : S_IFDIR | 0755;
    attr.nlink = node == served_node ? 1 : 2;
    attr.size =
        node == served_node ? static_cast<std::uint64_t>(::lseek(backing_, 0, SEEK_END)) : 0;
    attr.blksize = 4096;
    return attr;
  }

  // Page-cache mode (no FOPEN_DIRECT_IO), reads asynchronous: a reader waits
  // on the page cache's folios, as on a disk, while the file system reads.
  void answer(const fuse_in_header& in, const char* body, char* data) {
    switch (in.opcode) {
      case FUSE_INIT: {
        const auto* asked = reinterpret_cast<const fuse_init_in*>(body);
        fuse_init_out out{};
        out.major = FUSE_KERNEL_VERSION;
        out.minor = FUSE_KERNEL_MINOR_VERSION;
        out.max_readahead = asked->max_readahead;
        out.flags = asked->flags & FUSE_ASYNC_READ;
        out.max_write = 4096;
        return reply(in.unique, 0, &out, sizeof out);
      }
      case FUSE_LOOKUP: {
        if (in.nodeid != FUSE_ROOT_ID || std::strcmp(body, "file") != 0)
          return reply(in.unique, ENOENT);
        fuse_entry_out out{};
        out.nodeid = served_node;
        out.entry_valid = out.attr_valid = 3600;
        out.attr = attributes(served_node);
        return reply(in.unique, 0, &out, sizeof out);
      }
      case FUSE_GETATTR: {
        fuse_attr_out out{};
        out.attr_valid = 3600;
        out.attr = attributes(in.nodeid);
        return reply(in.unique, 0, &out, sizeof out);
      }
      case FUSE_OPEN: {
        const fuse_open_out out{};
        return reply(in.unique, 0, &out, sizeof out);
      }
      case FUSE_READ: {
        const auto* read = reinterpret_cast<const fuse_read_in*>(body);
        const ssize_t got = ::pread(backing_, data, std::min<std::uint32_t>(read->size, 1 << 20),
                                    static_cast<off_t>(read->offset));
        return got < 0 ? reply(in.unique, errno)
                       : reply(in.unique, 0, data, static_cast<std::size_t>(got));
      }
      case FUSE_FLUSH:
      case FUSE_RELEASE:
        return reply(in.unique, 0);
      case FUSE_FORGET:
      case FUSE_BATCH_FORGET:
      case FUSE_INTERRUPT:  // every request is answered soon anyway
        return;
      default:
        return reply(in.unique, ENOSYS);
    }
  }

  int fuse_;
  int backing_;
};

// The worker of LULL_SERVE: mounts, then serves in a process of its own;
// its process id, or 0 when the mount is refused (no FUSE, not root).
pid_t start_server(const char* folder) {
  const char* path = std::getenv("LULL_READ");
  const int backing = path != nullptr ? ::open(path, O_RDONLY | O_DIRECT | O_CLOEXEC) : -1;
  const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  const std::string options = "fd=" + std::to_string(fuse) + ",rootmode=40000,user_id=0,group_id=0";
  if (backing < 0 || fuse < 0 ||
      ::mount("lull-test", folder, "fuse", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
    return 0;
  const pid_t worker = ::fork();
  if (worker == 0) FuseServer(fuse, backing).serve();
  ::close(fuse);
  ::close(backing);
  return worker;
}

}  // namespace

int main(int argc, char** argv) {
  first_class = "first policy " + std::to_string(::sched_getscheduler(0)) + " nice " +
                std::to_string(::getpriority(PRIO_PROCESS, 0)) + "\n";
  // Threads made at once, before anyone could change their class from outside.
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < number_from("LULL_THREADS", 0); ++i) {
    threads.emplace_back([&done] {
      while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
  }
  const char* served = std::getenv("LULL_SERVE");
  const pid_t worker = served != nullptr ? start_server(served) : start_reader();
  if (const char* path = std::getenv("LULL_REPORT")) {
    const std::string partial = std::string(path) + ".partial";
    const std::string sockets = std::getenv("LULL_SOCKETS") != nullptr ? make_sockets() : "";
    // Made before the file is opened: the report lists descriptors.
    const std::string text =
        report(argc, argv) + sockets + "worker " + std::to_string(worker) + "\n";
    std::ofstream(partial) << text;
    std::rename(partial.c_str(), path);  // the test sees the report whole or not at all
  }
  if (const char* hold = std::getenv("LULL_HOLD")) {
    while (::access(hold, F_OK) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(number_from("LULL_SLEEP_MS", 0)));
  done = true;
  for (std::thread& thread : threads) thread.join();
  if (const char* path = std::getenv("LULL_REPORT")) {
    // When it ended, on the monotonic clock every process shares.
    std::ofstream(std::string(path) + ".end")
        << std::chrono::steady_clock::now().time_since_epoch().count();
  }
  if (const int signal = number_from("LULL_KILL_SELF", 0)) ::kill(::getpid(), signal);
  return number_from("LULL_EXIT", 0);
}
