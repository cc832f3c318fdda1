// Measures what starting each subject costs: size, system calls after execve,
// and the time to spawn it, let it print to /dev/null, and reap it.
//
//   startup RUNS BLOCKS FLOOR SUBJECT...
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
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// One spawn, run and reap, in microseconds.
double time_one_run(const std::string &path,
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
  if (waitpid(pid, &status, 0) < 0)
    fail("waitpid");
  const double elapsed = now_us() - start;
  expect_success(path, status);
  return elapsed;
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

} // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s RUNS BLOCKS FLOOR SUBJECT...\n", argv[0]);
    return 2;
  }
  const int runs = std::atoi(argv[1]);
  const int blocks = std::atoi(argv[2]);
  if (runs < 1 || blocks < 1) {
    std::fprintf(stderr, "%s: RUNS and BLOCKS must be positive\n", argv[0]);
    return 2;
  }
  std::vector<std::string> subjects;
  for (int i = 3; i < argc; ++i) {
    if (access(argv[i], X_OK) == 0)
      subjects.emplace_back(argv[i]);
    else if (i == 3)
      fail(argv[i]); // without the floor there is nothing to compare with
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
  std::vector<std::vector<double>> block_us(n), block_ratio(n);
  for (const std::string &subject : subjects)
    time_one_run(subject, to_null); // warm the page cache
  for (int b = 0; b < blocks; ++b) {
    std::vector<std::vector<double>> samples(n);
    for (int r = 0; r < runs; ++r) {
      std::shuffle(order.begin(), order.end(), shuffler);
      for (size_t s : order)
        samples[s].push_back(time_one_run(subjects[s], to_null));
    }
    const double floor_us = median(samples[0]);
    for (size_t s = 0; s < n; ++s) {
      const double us = median(samples[s]);
      block_us[s].push_back(us);
      block_ratio[s].push_back(us / floor_us);
    }
  }

  std::printf("%d blocks of %d interleaved runs each; medians over blocks\n",
              blocks, runs);
  std::printf("%-40s %10s %9s %9s %8s\n", "subject", "bytes", "syscalls",
              "us/run", "x floor");
  for (size_t s = 0; s < n; ++s) {
    struct stat st;
    if (stat(subjects[s].c_str(), &st) < 0)
      fail(subjects[s]);
    std::printf("%-40s %10lld %9d %9.1f %8.3f\n", subjects[s].c_str(),
                static_cast<long long>(st.st_size),
                count_system_calls(subjects[s]), median(block_us[s]),
                median(block_ratio[s]));
  }
}
