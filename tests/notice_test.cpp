// What the user sees when dorvenquil starts, in each situation it may start
// in: the notice on standard output, nothing on standard error, exit status 0.
#include <elf.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNotice =
    "Usage: \n"
    "Execute ./dorvenquil_1.04.sh to update FW\n"
    "Execute ./dorvenquil_1.04.sh -i to discover controller\n"
    "\n";
static_assert(kNotice.size() == 106);

enum class Out { Pipe, File, Terminal, Closed, Full };
enum class In { Empty, Data, Closed };
enum class Jail {
  None,
  Seccomp,   // killed on any open, read or process start
  EmptyRoot, // chroot holding nothing but the executable
};

struct Situation {
  const char *name;
  std::vector<std::string> args = {};
  Out out = Out::Pipe;
  In in = In::Empty;
  bool script_in_cwd = false;
  Jail jail = Jail::None;
  std::string_view sees = kNotice; // on standard output
};

const Situation kSituations[] = {
    {.name = "no_arguments"},
    {.name = "option_i", .args = {"-i"}},
    {.name = "help_request", .args = {"--help"}},
    {.name = "mixed_arguments",
     .args = {"-i", "--help", "-h", "--", "update", "", "two words", "-v"}},
    {.name = "ten_thousand_arguments",
     .args = std::vector<std::string>(10000, "-i")},
    {.name = "stdout_regular_file", .out = Out::File},
    {.name = "stdout_terminal", .out = Out::Terminal},
    {.name = "stdout_closed", .out = Out::Closed, .sees = ""},
    {.name = "stdout_device_full", .out = Out::Full, .sees = ""},
    {.name = "stdin_holds_data", .in = In::Data},
    {.name = "stdin_closed", .in = In::Closed},
    {.name = "script_in_working_directory", .script_in_cwd = true},
    {.name = "script_in_working_directory_with_option_i",
     .args = {"-i"},
     .script_in_cwd = true},
    {.name = "open_read_and_spawn_forbidden", .jail = Jail::Seccomp},
    {.name = "empty_root_directory", .jail = Jail::EmptyRoot},
};

// Test names and failure messages show a situation by its name.
void PrintTo(const Situation &s, std::ostream *os) { *os << s.name; }

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

// A terminal in raw mode, so the bytes arrive as written: {master, slave}.
std::pair<Fd, Fd> make_terminal() {
  Fd master(check(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), "posix_openpt"));
  check(grantpt(master.get()), "grantpt");
  check(unlockpt(master.get()), "unlockpt");
  Fd slave = open_fd(ptsname(master.get()), O_RDWR | O_NOCTTY);
  termios mode{};
  check(tcgetattr(slave.get(), &mode), "tcgetattr");
  cfmakeraw(&mode);
  check(tcsetattr(slave.get(), TCSANOW, &mode), "tcsetattr");
  return {std::move(master), std::move(slave)};
}

// Reads until end of file, or until a terminal's last writer has gone (EIO).
std::string drain(int fd) {
  std::string bytes;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return bytes;
    bytes.append(chunk, static_cast<size_t>(n));
  }
}

std::string slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
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
    return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

struct Seen {
  std::string exit;
  std::string out;
  std::string err;
  off_t stdin_offset = 0;
  bool script_ran = false;
};

Seen start(const Situation &s) {
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
  if (s.in == In::Empty)
    in = open_fd("/dev/null", O_RDONLY);
  if (s.in == In::Data) {
    std::ofstream(scratch.dir / "stdin") << "-i\nyes\n";
    in = open_fd(scratch.dir / "stdin", O_RDONLY);
  }

  Fd out, out_reader; // out_reader: where the parent reads what was written
  switch (s.out) {
  case Out::Pipe:
    std::tie(out_reader, out) = make_pipe();
    break;
  case Out::Terminal:
    std::tie(out_reader, out) = make_terminal();
    break;
  case Out::File:
    out = open_fd(scratch.dir / "stdout", O_WRONLY | O_CREAT | O_EXCL);
    break;
  case Out::Full:
    out = open_fd("/dev/full", O_WRONLY);
    break;
  case Out::Closed:
    break;
  }
  Fd err = open_fd(scratch.dir / "stderr", O_WRONLY | O_CREAT | O_EXCL);

  // Everything the child needs is made before fork: after it, only system
  // calls until exec.
  std::vector<char *> argv = {const_cast<char *>("dorvenquil")};
  for (const std::string &arg : s.args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  const std::vector<sock_filter> filter = forbid_open_read_spawn();
  const sock_fprog seccomp{static_cast<unsigned short>(filter.size()),
                           const_cast<sock_filter *>(filter.data())};
  const std::string dir = cwd.string();

  const pid_t pid = check(fork(), "fork");
  if (pid == 0) {
    int fds[] = {in.get(), out.get(), err.get()};
    // Lift every source above 2 first, so that placing one cannot clobber
    // another; the lifted copies close on exec.
    for (int &fd : fds)
      if (fd >= 0)
        fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    for (int target = 0; target < 3; ++target)
      if (fds[target] >= 0)
        dup2(fds[target], target);
      else
        close(target);
    if (s.jail == Jail::EmptyRoot ? chroot(dir.c_str()) || chdir("/")
                                  : chdir(dir.c_str()))
      _exit(126);
    if (s.jail == Jail::Seccomp &&
        (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) ||
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &seccomp)))
      _exit(126);
    execve(exe.c_str(), argv.data(), environ);
    _exit(127);
  }

  out = Fd(); // so the reader sees the end once the child has gone
  Seen seen;
  if (out_reader.get() >= 0)
    seen.out = drain(out_reader.get());
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    check(errno == EINTR ? 0 : -1, "waitpid");
  seen.exit = describe(status);
  if (s.out == Out::File)
    seen.out = slurp(scratch.dir / "stdout");
  seen.err = slurp(scratch.dir / "stderr");
  if (s.in == In::Data)
    seen.stdin_offset = check(lseek(in.get(), 0, SEEK_CUR), "lseek");
  seen.script_ran = fs::exists(marker);
  return seen;
}

class Started : public testing::TestWithParam<Situation> {};

TEST_P(Started, PrintsTheNoticeAndSucceeds) {
  const Situation &s = GetParam();
  if (s.jail == Jail::EmptyRoot && geteuid() != 0)
    GTEST_SKIP() << "chroot needs root";

  const Seen seen = start(s);

  EXPECT_EQ(seen.exit, "exited 0");
  EXPECT_EQ(seen.out, s.sees);
  EXPECT_EQ(seen.err, "");
  EXPECT_EQ(seen.stdin_offset, 0) << "standard input was read";
  EXPECT_FALSE(seen.script_ran);
}

INSTANTIATE_TEST_SUITE_P(Situations, Started, testing::ValuesIn(kSituations),
                         [](const auto &info) { return info.param.name; });

// The executable's own program headers.
std::vector<Elf64_Phdr> program_headers(std::string_view elf) {
  Elf64_Ehdr header;
  if (elf.size() < sizeof header)
    return {};
  std::memcpy(&header, elf.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_machine != EM_X86_64)
    return {};
  std::vector<Elf64_Phdr> headers(header.e_phnum);
  for (size_t i = 0; i < headers.size(); ++i) {
    const size_t at = header.e_phoff + i * sizeof(Elf64_Phdr);
    if (at + sizeof(Elf64_Phdr) > elf.size())
      return {};
    std::memcpy(&headers[i], elf.data() + at, sizeof(Elf64_Phdr));
  }
  return headers;
}

// Whether two segments map any page of the file in common: such a page is
// mapped with the permissions of both.
bool share_a_file_page(const Elf64_Phdr &a, const Elf64_Phdr &b) {
  if (a.p_filesz == 0 || b.p_filesz == 0)
    return false;
  const auto first = [](const Elf64_Phdr &h) { return h.p_offset / 4096; };
  const auto last = [](const Elf64_Phdr &h) {
    return (h.p_offset + h.p_filesz - 1) / 4096;
  };
  return first(a) <= last(b) && first(b) <= last(a);
}

class Executable : public testing::Test {
protected:
  const std::string elf = slurp(DORVENQUIL_EXE);
  const std::vector<Elf64_Phdr> headers = program_headers(elf);

  bool has(Elf64_Word type) const {
    for (const Elf64_Phdr &h : headers)
      if (h.p_type == type)
        return true;
    return false;
  }
};

TEST_F(Executable, NeedsNoInterpreterOrSharedLibrary) {
  ASSERT_FALSE(headers.empty()) << "not an x86-64 ELF executable";
  EXPECT_FALSE(has(PT_INTERP));
  for (const Elf64_Phdr &h : headers) {
    if (h.p_type != PT_DYNAMIC)
      continue;
    const size_t end = std::min<size_t>(h.p_offset + h.p_filesz, elf.size());
    for (size_t at = h.p_offset; at + sizeof(Elf64_Dyn) <= end;
         at += sizeof(Elf64_Dyn)) {
      Elf64_Dyn entry;
      std::memcpy(&entry, elf.data() + at, sizeof entry);
      if (entry.d_tag == DT_NULL)
        break;
      EXPECT_NE(entry.d_tag, DT_NEEDED) << "needs a shared library";
    }
  }
}

TEST_F(Executable, IsHardened) {
  ASSERT_FALSE(headers.empty()) << "not an x86-64 ELF executable";
  bool stack_marked = false;
  for (const Elf64_Phdr &h : headers) {
    if (h.p_type == PT_GNU_STACK) {
      stack_marked = true;
      EXPECT_FALSE(h.p_flags & PF_X) << "executable stack";
    }
    if (h.p_type == PT_LOAD && (h.p_flags & PF_X)) {
      EXPECT_FALSE(h.p_flags & PF_W)
          << "segment at " << h.p_vaddr << " is writable and executable";
      EXPECT_GT(h.p_offset, 0u) << "the ELF headers are executable";
      for (const Elf64_Phdr &other : headers) {
        if (other.p_type == PT_LOAD && &other != &h) {
          EXPECT_FALSE(share_a_file_page(h, other))
              << "code shares a page with data at " << other.p_vaddr;
        }
      }
    }
  }
  EXPECT_TRUE(stack_marked) << "no PT_GNU_STACK: the stack may be executable";
  EXPECT_TRUE(has(PT_GNU_RELRO)) << "no RELRO";
}

} // namespace
