// Starting dorvenquil in a situation stated in full, and what came of it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// The notice, byte for byte.
inline constexpr std::string_view kNotice =
    "Usage: \n"
    "Execute ./dorvenquil_1.04.sh to update FW\n"
    "Execute ./dorvenquil_1.04.sh -i to discover controller\n"
    "\n";
static_assert(kNotice.size() == 106);

// The notice as a terminal in its usual mode shows it: the terminal turns
// every line feed into a carriage return and a line feed.
inline constexpr std::string_view kNoticeOnScreen =
    "Usage: \r\n"
    "Execute ./dorvenquil_1.04.sh to update FW\r\n"
    "Execute ./dorvenquil_1.04.sh -i to discover controller\r\n"
    "\r\n";

// The environment of every situation that states no other.
inline const std::vector<std::string> kPlainEnvironment = {
    "PATH=/usr/local/bin:/usr/bin:/bin",
    "HOME=/nonexistent",
    "TERM=xterm-256color",
    "LANG=C.UTF-8",
};

enum class In { Null, Data, Closed };

enum class Out {
  Pipe,
  File,
  Terminal, // raw, so the bytes arrive as written
  Closed,
  Full,            // /dev/full: every write fails
  ReaderGone,      // a pipe whose read end is closed
  NonBlockingPipe, // O_NONBLOCK, with `room` bytes left free
  // As at a shell prompt with nothing typed: one terminal in its usual mode
  // on stdin, stdout and stderr, and the controlling terminal.
  ShellPrompt,
};

enum class Sigpipe { Default, Ignored };

enum class Jail {
  None,
  Seccomp,   // killed on any open, read or process start
  EmptyRoot, // chroot holding nothing but the executable
};

struct Situation {
  const char *name;
  std::vector<std::string> argv = {"dorvenquil"};
  std::vector<std::string> env = kPlainEnvironment;
  In in = In::Null;
  Out out = Out::Pipe;
  std::size_t room = 0; // for Out::NonBlockingPipe
  Sigpipe sigpipe = Sigpipe::Default;
  bool script_in_cwd = false;
  Jail jail = Jail::None;
  // What the user sees: on standard output, and how the process ends.
  std::string_view sees = kNotice;
  std::string_view ends = "exited 0";
};

// Test names and failure messages show a situation by its name.
inline void PrintTo(const Situation &s, std::ostream *os) { *os << s.name; }

// An argv of "dorvenquil" and then `count` copies of `arg`.
std::vector<std::string> dorvenquil_with_copies(const std::string &arg,
                                                std::size_t count);

// The whole of a file; empty if it cannot be read.
std::string slurp(const std::filesystem::path &path);

struct Seen {
  std::string ended; // "exited N", "killed by SIGNAME", or that it hung
  std::string out;
  std::string err;
  off_t stdin_offset = 0;
  // The file status flags of the caller's open file behind fd 1.
  int stdout_flags_before = 0;
  int stdout_flags_after = 0;
  bool script_ran = false;
};

// Runs the executable under test in the situation; a program that has not
// ended within a few seconds is killed and reported as hung.
Seen start(const Situation &s);
