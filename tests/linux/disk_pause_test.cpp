// The pause's decision fed with readings taken every 100 ms: one character
// per reading, the stall the other groups gained and the step expected.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "platform/linux/pause_decision.h"

namespace lull::platform {
namespace {

struct Readings {
  const char* name;
  // s: 50 % of the time, h: 40 %, l: 39 %, e: 10 % exactly, n: just under 10 %, -: none
  std::string stall;
  std::string
      steps;  // P pause, C thaw after calm, B thaw at the bound, U thaw as useless, .: nothing
  // The bytes the most stalled group moved in each reading, in tens ('0' to
  // '9'); unknown for '?' and past the end.
  std::string ios = "";
  // Whether the job moved anything in each reading: '-' nothing; moved
  // where unsaid.
  std::string job = "";
};

void PrintTo(const Readings& value, std::ostream* out) { *out << value.name; }

std::string times(int count, char c) {
  // NOLINTNEXTLINE(modernize-return-braced-init-list): braces would make a two-character string
  return std::string(static_cast<std::size_t>(count), c);
}

class Decision : public ::testing::TestWithParam<Readings> {};

TEST_P(Decision, TakesTheStepsExpected) {
  PauseDecision decision;
  std::string steps;
  for (std::size_t i = 0; i < GetParam().stall.size(); ++i) {
    const char c = GetParam().stall[i];
    const std::int64_t stall_us = c == 's'   ? 50000
                                  : c == 'h' ? 40000
                                  : c == 'l' ? 39000
                                  : c == 'e' ? 10000
                                  : c == 'n' ? 9999
                                             : 0;
    const std::string& ios = GetParam().ios;
    const std::int64_t done = i < ios.size() && ios[i] != '?' ? (ios[i] - '0') * 10 : -1;
    const bool job_moved = i >= GetParam().job.size() || GetParam().job[i] != '-';
    const PauseStep step =
        decision.observe(static_cast<std::int64_t>(i + 1) * 100, 100, stall_us, done, job_moved);
    steps += ".PCBU"[static_cast<int>(step)];
  }
  EXPECT_EQ(steps, GetParam().steps);
}

INSTANTIATE_TEST_SUITE_P(
    Readings, Decision,
    ::testing::Values(
        Readings{"stall_pauses_and_calm_thaws", "--ss----", "..P..C.."},
        Readings{"a_tenth_of_the_time_is_stall_less_is_not", "nne--", "..P.C"},
        // A job that moved nothing (it read its input and now computes) is
        // not paused: freezing it would relieve no one.
        Readings{"a_job_that_moves_nothing_is_not_paused", "ssss--", "..P..C", "", "--"},
        // Back within twice the calm: the calm doubles (400 ms), then 800 ms.
        Readings{"flapping_doubles_the_calm", std::string("s--s----s") + times(8, '-'),
                 "P.CP...CP.......C"},
        // Back only after long calm: the calm halves again.
        Readings{"late_return_halves_the_calm", std::string("s--s----") + times(9, '-') + "s--",
                 std::string("P.CP...C") + times(9, '.') + "P.C"},
        // Never frozen 10 s at a stretch; then it runs a second before it may
        // pause again, and that thaw counts as no flap: the calm grown to
        // 800 ms stays 800 ms. The stall falls while paused (the pause helps)
        // but stays at 10 %.
        Readings{"bound_then_a_second_of_running",
                 std::string("s--s----s") + times(109, 'e') + std::string("ss") + times(9, '-'),
                 std::string("P.CP...CP") + times(99, '.') + std::string("B") + times(9, '.') +
                     std::string("P") + times(8, '.') + "C."},
        // A stall that does not fall while the job is frozen (its own
        // clients', a disk it does not use): undone once judged over a
        // second after the first 200 ms, then no pause for 5 s, then 10 s.
        Readings{"a_pause_that_lowers_nothing_is_undone_and_backs_off", times(80, 's'),
                 std::string("P") + times(11, '.') + std::string("U") + times(49, '.') +
                     std::string("P") + times(11, '.') + "U" + times(5, '.')},
        // Fallen to 80 % of what paused it: not enough. To 78 %: it helps.
        Readings{"a_stall_at_four_fifths_has_not_fallen", std::string("s") + times(14, 'h'),
                 std::string("P") + times(11, '.') + "U.."},
        Readings{"a_stall_fallen_below_four_fifths_keeps_the_pause",
                 std::string("s") + times(14, 'l'), std::string("P") + times(14, '.')},
        // A reader bound to the disk waits on it as much while the job is
        // frozen, but moves more than in the half second before: the pause
        // helps, and holds to the calm or the bound. A tenth more is
        // enough; no more, or nothing (a client of the job's own file
        // system), is not.
        Readings{"a_reader_that_gets_more_done_keeps_the_pause", "----" + times(15, 's'),
                 std::string("....P") + times(14, '.'), "44444" + times(14, '5')},
        Readings{"a_reader_that_gets_no_more_done_is_undone", "----" + times(15, 's'),
                 std::string("....P") + times(11, '.') + "U..", "99999" + times(14, '9')},
        Readings{"a_reader_that_gets_nothing_done_is_undone", times(15, 's'),
                 std::string("P") + times(11, '.') + "U..", times(15, '0')},
        // The rate before is over half a second, not the one reading that
        // paused the job.
        Readings{"the_rate_before_is_over_half_a_second", "----" + times(15, 's'),
                 std::string("....P") + times(14, '.'), "22229" + times(14, '5')},
        // A group first seen stalling as it paused the job: what it moves
        // while the job is frozen says whether the pause helps.
        Readings{"a_group_first_seen_keeps_the_pause_if_it_moves_anything", times(15, 's'),
                 std::string("P") + times(14, '.'), "?" + times(14, '1')},
        Readings{"a_group_first_seen_that_moves_nothing_is_undone", times(15, 's'),
                 std::string("P") + times(11, '.') + "U..", "?" + times(14, '0')},
        Readings{"a_reading_without_a_count_leaves_the_stall_to_judge", times(15, 's'),
                 std::string("P") + times(11, '.') + "U..", "4" + times(5, '5')}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lull::platform
