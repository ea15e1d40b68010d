// The guard is the one piece of the harness support that the corpus replays cannot check:
// the saved inputs hold no findings, so a guard that swallowed a crash would pass them all.
// The byte reader and the scratch files show through the replays themselves.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "fuzz_support.h"

namespace {

int g_runs = 0;

TEST(RunGuarded, ReturnRunsTheBodyAgainHereAcceptedExitDoesNot) {
    g_runs = 0;
    fuzz::run_guarded([] { ++g_runs; }, 64);
    EXPECT_EQ(g_runs, 1); // the child's run does not count here; the second run does
    fuzz::run_guarded([] { ++g_runs; std::exit(64); }, 64);
    EXPECT_EQ(g_runs, 1);
}

// SIGKILL: a signal no sanitizer can catch and turn into an exit status.
TEST(RunGuardedDeathTest, OtherExitStatusOrSignalIsAFinding) {
    EXPECT_DEATH(fuzz::run_guarded([] { std::exit(3); }, 64), "ended with status 3");
    EXPECT_DEATH(fuzz::run_guarded([] { std::raise(SIGKILL); }, 64), "died of signal 9");
}

} // namespace
