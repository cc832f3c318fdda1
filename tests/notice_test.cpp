// What the user sees when dorvenquil starts, in each situation it may start
// in. Every row states all the program is started with; whatever is not
// stated is as in the first row: argv "dorvenquil", the plain environment,
// stdin /dev/null, stdout a pipe, stderr a file, default signal dispositions.
#include <unistd.h>

#include <gtest/gtest.h>

#include "start.hpp"

namespace {

const Situation kSituations[] = {
    {.name = "no_arguments"},
    // The first argument, as people spell a request for help or a version.
    {.name = "first_argument_h", .argv = {"dorvenquil", "-h"}},
    {.name = "first_argument_help", .argv = {"dorvenquil", "--help"}},
    {.name = "first_argument_V", .argv = {"dorvenquil", "-V"}},
    {.name = "first_argument_version", .argv = {"dorvenquil", "--version"}},
    {.name = "first_argument_question_mark", .argv = {"dorvenquil", "-?"}},
    {.name = "first_argument_help_word", .argv = {"dorvenquil", "help"}},
    {.name = "first_argument_i", .argv = {"dorvenquil", "-i"}},
    {.name = "mixed_arguments",
     .argv = {"dorvenquil", "-i", "--help", "-h", "--", "update", "",
              "two words", "-v"}},
    {.name = "ten_thousand_arguments",
     .argv = dorvenquil_with_copies("-i", 10000)},
    {.name = "started_under_another_name", .argv = {"fwupdate"}},
    // Linux 5.18 and later hand the program one empty argument instead.
    {.name = "empty_argv", .argv = {}},

    {.name = "empty_environment", .env = {}},
    {.name = "odd_environment",
     .env = {"LANG=xx_XX.UTF-8", "LC_ALL=xx_XX.UTF-8", "POSIXLY_CORRECT=1",
             "LD_PRELOAD=/nonexistent/libmissing.so"}},

    {.name = "stdin_holds_data", .in = In::Data},
    {.name = "stdin_closed", .in = In::Closed},

    {.name = "stdout_regular_file", .out = Out::File},
    {.name = "stdout_terminal", .out = Out::Terminal},
    {.name = "at_shell_prompt",
     .out = Out::ShellPrompt,
     .sees = kNoticeOnScreen},
    {.name = "stdout_closed", .out = Out::Closed, .sees = ""},
    {.name = "stdout_device_full", .out = Out::Full, .sees = ""},
    {.name = "stdout_reader_gone",
     .out = Out::ReaderGone,
     .sees = "",
     .ends = "killed by SIGPIPE"},
    {.name = "stdout_reader_gone_sigpipe_ignored",
     .out = Out::ReaderGone,
     .sigpipe = Sigpipe::Ignored,
     .sees = ""},
    // More room than the first line needs, less than the notice: all of it
    // or nothing, never a fragment.
    {.name = "stdout_non_blocking_room_for_50",
     .out = Out::NonBlockingPipe,
     .room = 50,
     .sees = ""},
    {.name = "stdout_non_blocking_room_for_106",
     .out = Out::NonBlockingPipe,
     .room = 106},

    {.name = "script_in_working_directory", .script_in_cwd = true},
    {.name = "script_in_working_directory_with_option_i",
     .argv = {"dorvenquil", "-i"},
     .script_in_cwd = true},

    // With a locale named, so that loading one means opening a file.
    {.name = "open_read_and_spawn_forbidden",
     .env = {"PATH=/usr/bin:/bin", "LANG=de_DE.UTF-8", "LC_ALL=de_DE.UTF-8",
             "MUSL_LOCPATH=/usr/share/i18n/locales/musl"},
     .jail = Jail::Seccomp},
    {.name = "empty_root_directory", .jail = Jail::EmptyRoot},
};

class Started : public testing::TestWithParam<Situation> {};

TEST_P(Started, TheUserSeesWhatTheRowSays) {
  const Situation &s = GetParam();
  if (s.jail == Jail::EmptyRoot && geteuid() != 0)
    GTEST_SKIP() << "chroot needs root";

  const Seen seen = start(s);

  EXPECT_EQ(seen.ended, s.ends);
  EXPECT_EQ(seen.out, s.sees);
  EXPECT_EQ(seen.err, "");
  EXPECT_EQ(seen.stdin_offset, 0) << "standard input was read";
  EXPECT_EQ(seen.stdout_flags_after, seen.stdout_flags_before)
      << "the flags of the caller's open file behind stdout changed";
  EXPECT_FALSE(seen.script_ran);
}

INSTANTIATE_TEST_SUITE_P(Situations, Started, testing::ValuesIn(kSituations),
                         [](const auto &info) { return info.param.name; });

} // namespace
