// Short soak and fuzz runs of the whole supervisor (the runs of ovrbench,
// bench/soak.cpp and bench/fuzz.cpp, cut to about a minute in all). They
// check outcomes only: every crashed line restarted, nothing left running,
// handles and memory flat, no crash or hang on bad input, definition-file
// errors reported at their line. A failure prints the seed; ovrbench
// soak|pipefuzz|deffuzz -seed N repeats the run.
#include "benchmarks.h"
#include "benchutil.h"

#include "test_app.h"

namespace {

CBenchOptions ShortOptions()
{
    CBenchOptions options;
    options.fQuick = TRUE;
    // A fixed seed: a failure can be run again exactly.
    options.ullSeed = 20261206;
    return options;
}

}  // namespace

TEST(Soak, CrashingLinesAreAllRestartedWhileClientsComeAndGo)
{
    const CBenchOptions options = ShortOptions();
    const CSoakResult result = RunSoak(options, 30);
    EXPECT_TRUE(result.fPassed) << result.csFailure << " (seed " << options.ullSeed << ")";
    EXPECT_EQ(result.cUnrestarted, 0u);
    EXPECT_EQ(result.cLeftRunning, 0u);
    EXPECT_GE(result.cRestarts + 10, result.cCrashes);
    EXPECT_GT(result.cClientSessions, 0u);
    std::cout << "crashes " << result.cCrashes << ", restarts " << result.cRestarts << ", handles "
              << result.cHandlesStart << " -> " << result.cHandlesEnd << ", private memory " << result.cbPrivateStart
              << " -> " << result.cbPrivateEnd << std::endl;
}

TEST(Fuzz, BadPipeRecordsNeitherCrashNorHangTheSupervisor)
{
    const CBenchOptions options = ShortOptions();
    const CFuzzResult result = RunPipeFuzz(options, 3000);
    EXPECT_TRUE(result.fPassed) << result.csFailure << " (seed " << options.ullSeed << ")";
    EXPECT_GE(result.cRecords, 3000u);
}

TEST(Fuzz, DefinitionFilesAreRefusedAtTheirLineOrRun)
{
    const CBenchOptions options = ShortOptions();
    const CFuzzResult result = RunDefinitionFuzz(options, 24);
    EXPECT_TRUE(result.fPassed) << result.csFailure << " (seed " << options.ullSeed << ")";
    EXPECT_EQ(result.cFiles, 24u);
    EXPECT_EQ(result.cPlantedChecked, 8u);
    // The planted valid files start; a random file may happen to be valid too.
    EXPECT_GE(result.cFilesStarted, 8u);
}
