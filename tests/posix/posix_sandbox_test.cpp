// The test sandbox itself: results come back from the child, and what the
// child changes (modes, mounts) stays with the child.
#include "support/posix_sandbox.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace {

TEST(PosixSandbox, ReportsTheChildsResult) {
    EXPECT_EQ(RunInChild([] { return 0; }), 0);
    EXPECT_EQ(RunInChild([] { return 42; }), 42);
    EXPECT_EQ(RunInChild([] {
                  kill(getpid(), SIGKILL);
                  return 0;
              }),
              128 + SIGKILL);
    int outside = 1;
    EXPECT_EQ(RunInChild([&] { return ++outside; }), 2);
    EXPECT_EQ(outside, 1);  // the child had its own copy
}

TEST(PosixSandbox, AReadOnlyFolderStaysReadOnlyOnlyInTheChild) {
    ScratchDir dir;
    std::string file = dir.File("f");
    int rc = RunInChild([&] {
        if (!MakeReadOnly(dir.path)) return kSandboxUnavailable;
        WriteWholeFile(file, "child");
        return FileExists(file) ? 1 : 0;
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    EXPECT_EQ(rc, 0) << "the child could still create a file";
    WriteWholeFile(file, "parent");
    EXPECT_EQ(ReadWholeFile(file), "parent");
}

TEST(PosixSandbox, ATinyTmpfsFillsUpAndVanishesWithTheChild) {
    if (!RunningAsRoot()) GTEST_SKIP() << SandboxUnavailableReason();
    ScratchDir dir;
    int rc = RunInChild([&] {
        if (!MountTinyTmpfs(dir.path, 64 * 1024)) return kSandboxUnavailable;
        if (!FillUntilFull(dir.File("filler"))) return 1;
        return std::filesystem::file_size(dir.File("filler")) <= 64 * 1024 ? 0 : 2;
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(FileExists(dir.File("filler")));
}

}  // namespace
