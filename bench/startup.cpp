// Measures what starting each subject costs: size, system calls after execve,
// minor page faults, and the time to spawn it, let it print to /dev/null, and
// reap it.
//
//   startup [--max-bytes=N] [--max-syscalls=N] RUNS BLOCKS FLOOR SUBJECT...
//
// FLOOR is what the ratios are taken against. The limits apply to the first
// SUBJECT: past either, the table is still printed, then one line names the
// figure and its limit, and the exit status is 1. Times are never limited.
//
// Subjects take turns run by run, in a fresh random order each round, so that
// a change in machine speed hits all of them alike and none always follows
// the same neighbour (what one process leaves behind can slow the next).
// Each block yields a median per subject and its ratio to the floor's; the
// figures printed are the medians over the blocks.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

extern char **environ;

namespace {

[[noreturn]] void fail(const std::string &what) {
  std::perror(what.c_str());
  std::exit(1);
}

double median(std::vector<double> values) {
  auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

double now_us() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

void expect_success(const std::string &path, int status) {
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s did not exit 0 (status %d)\n", path.c_str(),
                 status);
    std::exit(1);
  }
}

struct Run {
  double us;           // from spawn to reap
  double minor_faults; // the child's own
};

// One spawn, run and reap.
Run time_one_run(const std::string &path,
                 const posix_spawn_file_actions_t &to_null) {
  char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
  const double start = now_us();
  pid_t pid;
  if (int error =
          posix_spawn(&pid, path.c_str(), &to_null, nullptr, argv, environ)) {
    errno = error;
    fail(path);
  }
  int status;
  rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0)
    fail("wait4");
  const double elapsed = now_us() - start;
  expect_success(path, status);
  return {elapsed, static_cast<double>(usage.ru_minflt)};
}

// System calls the subject makes after its execve, with stdout on /dev/null.
int count_system_calls(const std::string &path) {
  const pid_t pid = fork();
  if (pid < 0)
    fail("fork");
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0 ||
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) < 0)
      _exit(127);
    execl(path.c_str(), path.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int status;
  waitpid(pid, &status, 0); // the stop that follows a successful execve
  if (!WIFSTOPPED(status))
    fail("ptrace " + path);
  ptrace(PTRACE_SETOPTIONS, pid, nullptr,
         PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  int stops = 0, signal = 0;
  for (;;) {
    ptrace(PTRACE_SYSCALL, pid, nullptr, signal);
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) || WIFSIGNALED(status))
      break;
    signal = 0;
    if (WSTOPSIG(status) == (SIGTRAP | 0x80))
      ++stops;
    else
      signal = WSTOPSIG(status);
  }
  expect_success(path, status);
  // Each call stops on entry and on exit, but exit_group never returns.
  return (stops + 1) / 2;
}

// A figure that must not pass its limit; -1: no limit.
struct Limit {
  const char *option;
  const char *figure;
  long max = -1;
};

bool parse_limit(const char *arg, Limit &limit) {
  const size_t n = std::strlen(limit.option);
  if (std::strncmp(arg, limit.option, n) != 0 || arg[n] != '=')
    return false;
  char *end;
  errno = 0;
  limit.max = std::strtol(arg + n + 1, &end, 10);
  if (errno || end == arg + n + 1 || *end || limit.max < 0) {
    std::fprintf(stderr, "startup: %s wants a count, not '%s'\n", limit.option,
                 arg + n + 1);
    std::exit(2);
  }
  return true;
}

// Prints one line and returns false when the figure is past its limit.
bool within(const Limit &limit, long value, const std::string &subject) {
  if (limit.max < 0 || value <= limit.max)
    return true;
  std::fprintf(stderr, "%s: %ld %s, over the limit of %ld\n", subject.c_str(),
               value, limit.figure, limit.max);
  return false;
}

} // namespace

int main(int argc, char **argv) {
  Limit max_bytes{"--max-bytes", "bytes"};
  Limit max_syscalls{"--max-syscalls", "system calls after execve"};
  int first = 1;
  while (first < argc && (parse_limit(argv[first], max_bytes) ||
                          parse_limit(argv[first], max_syscalls)))
    ++first;
  if (argc - first < 4) {
    std::fprintf(stderr,
                 "usage: %s [--max-bytes=N] [--max-syscalls=N] RUNS BLOCKS "
                 "FLOOR SUBJECT...\n",
                 argv[0]);
    return 2;
  }
  const int runs = std::atoi(argv[first]);
  const int blocks = std::atoi(argv[first + 1]);
  if (runs < 1 || blocks < 1) {
    std::fprintf(stderr, "%s: RUNS and BLOCKS must be positive\n", argv[0]);
    return 2;
  }
  std::vector<std::string> subjects;
  for (int i = first + 2; i < argc; ++i) {
    if (access(argv[i], X_OK) == 0)
      subjects.emplace_back(argv[i]);
    else if (i <= first + 3)
      fail(argv[i]); // the floor and the limited subject must be there
    else
      std::fprintf(stderr, "skipping %s: not executable here\n", argv[i]);
  }
  const size_t n = subjects.size();

  posix_spawn_file_actions_t to_null;
  posix_spawn_file_actions_init(&to_null);
  posix_spawn_file_actions_addopen(&to_null, 1, "/dev/null", O_WRONLY, 0);

  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::mt19937 shuffler(1); // a fixed seed: every run of the bench alike
  std::vector<std::vector<double>> block_us(n), block_ratio(n), faults(n);
  for (const std::string &subject : subjects)
    time_one_run(subject, to_null); // warm the page cache
  for (int b = 0; b < blocks; ++b) {
    std::vector<std::vector<double>> samples(n);
    for (int r = 0; r < runs; ++r) {
      std::shuffle(order.begin(), order.end(), shuffler);
      for (size_t s : order) {
        const Run run = time_one_run(subjects[s], to_null);
        samples[s].push_back(run.us);
        faults[s].push_back(run.minor_faults);
      }
    }
    const double floor_us = median(samples[0]);
    for (size_t s = 0; s < n; ++s) {
      const double us = median(samples[s]);
      block_us[s].push_back(us);
      block_ratio[s].push_back(us / floor_us);
    }
  }

  std::printf("%d blocks of %d interleaved runs each; times are medians over "
              "blocks, faults over all runs\n",
              blocks, runs);
  int width = 7;
  for (const std::string &subject : subjects)
    width = std::max(width, static_cast<int>(subject.size()));
  std::printf("%-*s %10s %9s %7s %9s %8s\n", width, "subject", "bytes",
              "syscalls", "faults", "us/run", "x floor");
  bool all_within = true;
  for (size_t s = 0; s < n; ++s) {
    struct stat st;
    if (stat(subjects[s].c_str(), &st) < 0)
      fail(subjects[s]);
    const int syscalls = count_system_calls(subjects[s]);
    std::printf("%-*s %10lld %9d %7.0f %9.1f %8.3f\n", width,
                subjects[s].c_str(), static_cast<long long>(st.st_size),
                syscalls, median(faults[s]), median(block_us[s]),
                median(block_ratio[s]));
    if (s == 1) {
      all_within &= within(max_bytes, st.st_size, subjects[s]);
      all_within &= within(max_syscalls, syscalls, subjects[s]);
    }
  }
  return all_within ? 0 : 1;
}
