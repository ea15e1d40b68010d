// Tests of the harness support: the guard that tells documented refusals (exit with the
// accepted status) from findings, the byte reader, and the scratch files.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_support.h"

namespace {

int g_runs = 0;

// ---- run_guarded ----

TEST(RunGuarded, NormalReturnRunsTheBodyAgainInThisProcess) {
    g_runs = 0;
    fuzz::run_guarded([] { ++g_runs; }, 64);
    EXPECT_EQ(g_runs, 1); // the child's run does not count here; the second run does
}

TEST(RunGuarded, AcceptedExitIsARefusalAndNotRunHere) {
    g_runs = 0;
    fuzz::run_guarded(
        [] {
            ++g_runs;
            std::exit(64);
        },
        64);
    EXPECT_EQ(g_runs, 0);
}

TEST(RunGuardedDeathTest, OtherExitStatusIsAFinding) {
    EXPECT_DEATH(fuzz::run_guarded([] { std::exit(3); }, 64), "ended with status 3");
}

// SIGKILL: a signal no sanitizer can catch and turn into an exit status.
TEST(RunGuardedDeathTest, SignalIsAFinding) {
    EXPECT_DEATH(fuzz::run_guarded([] { std::raise(SIGKILL); }, 64), "died of signal 9");
}

// ---- byte_reader ----

TEST(ByteReader, TakesValuesInOrderAndZeroFillsMissingBytes) {
    const uint8_t bytes[] = {7, 1, 0, 0, 0, 0xff};
    fuzz::byte_reader in(bytes, sizeof bytes);
    EXPECT_EQ(in.u8(), 7);
    EXPECT_EQ(in.i32(), 1); // little-endian 01 00 00 00
    EXPECT_EQ(in.left(), 1u);
    EXPECT_EQ(in.i32(), 0xff); // ff then three missing bytes as 0
    EXPECT_EQ(in.u8(), 0);
    EXPECT_EQ(in.left(), 0u);
}

TEST(ByteReader, RestTextEndsAtTheFirstNul) {
    const uint8_t bytes[] = {'a', 'b', 0, 'c'};
    fuzz::byte_reader in(bytes, sizeof bytes);
    EXPECT_EQ(in.rest_text(), "ab");
    EXPECT_EQ(in.left(), 0u);
}

// ---- scratch files ----

TEST(Scratch, SameNameSamePathAndBytesRoundTrip) {
    const std::string a = fuzz::scratch_path("x.bin");
    EXPECT_EQ(a, fuzz::scratch_path("x.bin"));
    EXPECT_NE(a, fuzz::scratch_path("y.bin"));
    const uint8_t bytes[] = {0, 1, 2, 'z'};
    fuzz::write_file(a, bytes, sizeof bytes);
    std::ifstream in(a, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, std::string("\0\1\2z", 4));
}

} // namespace
