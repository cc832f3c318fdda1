#include "start.hpp"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <tuple>
#include <utility>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Long enough for any machine, short enough that a program that blocks
// fails its row instead of hanging the suite.
constexpr std::chrono::seconds kPatience{5};

template <typename Result> Result check(Result result, const char *what) {
  if (result < 0)
    throw std::system_error(errno, std::generic_category(), what);
  return result;
}

// An owned file descriptor; -1 stands for "closed".
class Fd {
public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd &operator=(Fd &&other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0)
      close(fd_);
  }
  int get() const { return fd_; }

private:
  int fd_;
};

Fd open_fd(const fs::path &path, int flags) {
  return Fd(check(open(path.c_str(), flags | O_CLOEXEC, 0644), "open"));
}

std::pair<Fd, Fd> make_pipe() {
  int ends[2];
  check(pipe2(ends, O_CLOEXEC), "pipe2");
  return {Fd(ends[0]), Fd(ends[1])};
}

// A new terminal, {master, slave}. Its mode is the kernel's default, the one
// a shell leaves it in for a command: canonical input with echo, and line
// feeds shown as CR LF. Raw mode shows the bytes as written instead.
std::pair<Fd, Fd> make_terminal(bool raw) {
  Fd master(check(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), "posix_openpt"));
  check(grantpt(master.get()), "grantpt");
  check(unlockpt(master.get()), "unlockpt");
  Fd slave = open_fd(ptsname(master.get()), O_RDWR | O_NOCTTY);
  if (raw) {
    termios mode{};
    check(tcgetattr(slave.get(), &mode), "tcgetattr");
    cfmakeraw(&mode);
    check(tcsetattr(slave.get(), TCSANOW, &mode), "tcsetattr");
  }
  return {std::move(master), std::move(slave)};
}

int ms_until(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  return static_cast<int>(std::max<Clock::rep>(
      0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

// Whether fd became readable before the deadline.
bool ready_by(int fd, Clock::time_point deadline) {
  pollfd ready{fd, POLLIN, 0};
  for (;;) {
    const int n = poll(&ready, 1, ms_until(deadline));
    if (n >= 0)
      return n > 0;
    check(errno == EINTR ? 0 : -1, "poll");
  }
}

const std::string kHung =
    "still running after " + std::to_string(kPatience.count()) + " s";

// Reads until end of file, or until a terminal's last writer has gone (EIO).
std::string drain(int fd, Clock::time_point deadline) {
  std::string bytes;
  char chunk[4096];
  for (;;) {
    if (!ready_by(fd, deadline))
      throw std::runtime_error("output left open: " + kHung);
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return bytes;
    bytes.append(chunk, static_cast<size_t>(n));
  }
}

// A fresh directory, removed with all it holds.
struct Scratch {
  fs::path dir;
  Scratch() {
    std::string name = (fs::temp_directory_path() / "dorvenquil-XXXXXX");
    if (!mkdtemp(name.data()))
      throw std::system_error(errno, std::generic_category(), "mkdtemp");
    dir = name;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

// A seccomp program that kills the process on any system call that opens or
// reads a file or starts a process, and on any x32 system call.
std::vector<sock_filter> forbid_open_read_spawn() {
  const unsigned forbidden[] = {
      SYS_open,   SYS_openat, SYS_openat2, SYS_creat,               // open
      SYS_read,   SYS_readv,  SYS_pread64, SYS_preadv, SYS_preadv2, // read
      SYS_fork,   SYS_vfork,  SYS_clone,   SYS_clone3,              // start
      SYS_socket,                                                   // connect
  };
  const sock_filter kill = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
  std::vector<sock_filter> program = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      kill,
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, __X32_SYSCALL_BIT, 0, 1),
      kill,
  };
  for (unsigned nr : forbidden) {
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1));
    program.push_back(kill);
  }
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return program;
}

std::string describe(int status) {
  if (WIFEXITED(status))
    return "exited " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return std::string("killed by SIG") + sigabbrev_np(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// Reaps the child; one still running at the deadline is killed first.
std::string reap(pid_t pid, Clock::time_point deadline) {
  // By system call: glibc 2.36's <sys/pidfd.h> lacks extern "C".
  const Fd exited(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  const int pidfd_error = errno;
  const bool ended = exited.get() >= 0 && ready_by(exited.get(), deadline);
  if (!ended)
    kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    check(errno == EINTR ? 0 : -1, "waitpid");
  if (exited.get() < 0)
    throw std::system_error(pidfd_error, std::generic_category(), "pidfd_open");
  return ended ? describe(status) : kHung;
}

// The strings as the null-terminated array that execve takes.
std::vector<char *> c_array(const std::vector<std::string> &strings) {
  std::vector<char *> array;
  for (const std::string &s : strings)
    array.push_back(const_cast<char *>(s.c_str()));
  array.push_back(nullptr);
  return array;
}

// Fd 1 as the situation has it.
struct Stdout {
  Fd fd;              // what the child gets as fd 1
  Fd reader;          // where the parent reads what was written, if anywhere
  std::string filler; // what the pipe held before the run
};

Stdout make_stdout(const Situation &s, const fs::path &dir) {
  Stdout out;
  switch (s.out) {
  case Out::Pipe:
  case Out::ReaderGone:
    std::tie(out.reader, out.fd) = make_pipe();
    if (s.out == Out::ReaderGone)
      out.reader = Fd();
    break;
  case Out::NonBlockingPipe: {
    std::tie(out.reader, out.fd) = make_pipe();
    // The smallest pipe, one page, filled until `room` bytes are free.
    const int capacity =
        check(fcntl(out.fd.get(), F_SETPIPE_SZ, 1), "F_SETPIPE_SZ");
    out.filler.assign(static_cast<size_t>(capacity) - s.room, '.');
    if (check(write(out.fd.get(), out.filler.data(), out.filler.size()),
              "write") != static_cast<ssize_t>(out.filler.size()))
      throw std::runtime_error("short write while filling the pipe");
    check(fcntl(out.fd.get(), F_SETFL, O_NONBLOCK), "F_SETFL");
    break;
  }
  case Out::Terminal:
  case Out::ShellPrompt:
    std::tie(out.reader, out.fd) = make_terminal(s.out == Out::Terminal);
    break;
  case Out::File:
    out.fd = open_fd(dir / "stdout", O_WRONLY | O_CREAT | O_EXCL);
    break;
  case Out::Full:
    out.fd = open_fd("/dev/full", O_WRONLY);
    break;
  case Out::Closed:
    break;
  }
  return out;
}

} // namespace

std::string slurp(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> dorvenquil_with_copies(const std::string &arg,
                                                std::size_t count) {
  std::vector<std::string> argv(count + 1, arg);
  argv[0] = "dorvenquil";
  return argv;
}

Seen start(const Situation &s) {
  const Clock::time_point deadline = Clock::now() + kPatience;
  Scratch scratch;
  const fs::path cwd = scratch.dir / "cwd";
  const fs::path marker = scratch.dir / "script-ran";
  fs::create_directory(cwd);

  std::string exe = DORVENQUIL_EXE;
  if (s.jail == Jail::EmptyRoot) {
    fs::copy_file(exe, cwd / "dorvenquil");
    exe = "/dorvenquil";
  }
  if (s.script_in_cwd) {
    const fs::path script = cwd / "dorvenquil_1.04.sh";
    std::ofstream(script) << "#!/bin/sh\ntouch '" << marker.string() << "'\n";
    fs::permissions(script, fs::perms::owner_all, fs::perm_options::add);
  }

  Fd in;
  if (s.in == In::Null)
    in = open_fd("/dev/null", O_RDONLY);
  if (s.in == In::Data) {
    std::ofstream(scratch.dir / "stdin") << "-i\nyes\n";
    in = open_fd(scratch.dir / "stdin", O_RDONLY);
  }

  Stdout out = make_stdout(s, scratch.dir);
  Fd err = open_fd(scratch.dir / "stderr", O_WRONLY | O_CREAT | O_EXCL);
  const bool at_prompt = s.out == Out::ShellPrompt;
  const int fds_for_child[] = {at_prompt ? out.fd.get() : in.get(),
                               out.fd.get(),
                               at_prompt ? out.fd.get() : err.get()};

  Seen seen;
  if (out.fd.get() >= 0)
    seen.stdout_flags_before = check(fcntl(out.fd.get(), F_GETFL), "F_GETFL");

  // Everything the child needs is made before fork: after it, only system
  // calls until exec.
  std::vector<char *> argv = c_array(s.argv);
  std::vector<char *> envp = c_array(s.env);
  const std::vector<sock_filter> filter = forbid_open_read_spawn();
  const sock_fprog seccomp{static_cast<unsigned short>(filter.size()),
                           const_cast<sock_filter *>(filter.data())};
  const std::string dir = cwd.string();
  struct sigaction by_default = {}, ignore = {};
  by_default.sa_handler = SIG_DFL;
  ignore.sa_handler = SIG_IGN;
  sigset_t nothing;
  sigemptyset(&nothing);

  const pid_t pid = check(fork(), "fork");
  if (pid == 0) {
    // An ignored signal stays ignored across exec, and so does the mask:
    // reset both, so that the caller's dispositions never reach the program.
    for (int sig = 1; sig < NSIG; ++sig)
      sigaction(sig, &by_default, nullptr);
    if (s.sigpipe == Sigpipe::Ignored)
      sigaction(SIGPIPE, &ignore, nullptr);
    sigprocmask(SIG_SETMASK, &nothing, nullptr);

    // Lift every source above 2 first, so that placing one cannot clobber
    // another; then close everything else, inherited or not.
    int fds[3];
    for (int target = 0; target < 3; ++target)
      fds[target] = fds_for_child[target] < 0
                        ? -1
                        : fcntl(fds_for_child[target], F_DUPFD_CLOEXEC, 3);
    for (int target = 0; target < 3; ++target)
      if (fds[target] >= 0)
        dup2(fds[target], target);
      else
        close(target);
    close_range(3, ~0U, 0);

    if (at_prompt && (setsid() < 0 || ioctl(0, TIOCSCTTY, 0) < 0))
      _exit(126);
    if (s.jail == Jail::EmptyRoot ? chroot(dir.c_str()) || chdir("/")
                                  : chdir(dir.c_str()))
      _exit(126);
    if (s.jail == Jail::Seccomp &&
        (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) ||
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &seccomp)))
      _exit(126);
    execve(exe.c_str(), argv.data(), envp.data());
    _exit(127);
  }

  seen.ended = reap(pid, deadline);
  if (out.fd.get() >= 0)
    seen.stdout_flags_after = check(fcntl(out.fd.get(), F_GETFL), "F_GETFL");
  out.fd = Fd(); // so the reader sees the end: the child has gone
  if (out.reader.get() >= 0)
    seen.out = drain(out.reader.get(), deadline);
  if (!seen.out.starts_with(out.filler))
    throw std::runtime_error("the pipe lost what it held before the run");
  seen.out.erase(0, out.filler.size());
  if (s.out == Out::File)
    seen.out = slurp(scratch.dir / "stdout");
  seen.err = slurp(scratch.dir / "stderr");
  if (s.in == In::Data)
    seen.stdin_offset = check(lseek(in.get(), 0, SEEK_CUR), "lseek");
  seen.script_ran = fs::exists(marker);
  return seen;
}
