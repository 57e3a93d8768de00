// tempusd started with its standard descriptors closed, as a careless parent
// may leave them: the real program, as nobody, under the clock interposer.

#include <gtest/gtest.h>

#include "tests/support/e2e_tempusd.h"

namespace {

class E2ETempusdDescriptors : public tempusd_e2e::Fixture {};

// The port must not take the number of a standard descriptor, which the
// installing process closes before it forks the background process.
TEST_F(E2ETempusdDescriptors, PortSurvivesAStartWithoutStandardDescriptors)
{
    ASSERT_TRUE(start_emulator({"--offset", "7", "--minute-ms", "200"}));
    tproc::Spawn sp = tempusd_spawn({"/T1"});
    sp.close_std_fds = true;

    tproc::Result r = tproc::run(sp);

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    ASSERT_GT(wait_background(), 0);
    EXPECT_TRUE(wait_log_message("Nastapila synchronizacja zegara systemowego. Przesuniecie o  7 s.", 5000))
        << log_text();
    EXPECT_FALSE(clock_lines().empty()) << "no clock call recorded";
}

} // namespace
