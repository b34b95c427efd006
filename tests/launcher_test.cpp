// LaunchProgram with real processes: the stand-in host records what it was given.
#include <gtest/gtest.h>

#include "harness.h"
#include "program_launcher.h"

namespace {

TEST(Launcher, MissingProgramStartsNothing) {
    TempFolder folder;
    std::string program = folder.Path() + "Pelagio2.scr";
    EXPECT_EQ(LaunchProgram(program.c_str(), " -r Launch", 0), FALSE);
    EXPECT_TRUE(FolderEntries(folder.Path()).empty());
}

TEST(Launcher, ChildGetsExactlyTheCommandLineAndOurDirectory) {
    HostInstallation host;
    TempFolder current("current");
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(current.Path().c_str()));
    BOOL started = LaunchProgram(host.ProgramPath().c_str(), " -r Launch", 0);
    SetCurrentDirectoryA(previous);
    ASSERT_NE(started, FALSE);
    ASSERT_TRUE(WaitFor([&] { return !host.HostLog().empty(); })) << "the host did not record";
    std::string directory = current.Path().substr(0, current.Path().size() - 1);
    std::string line = host.HostLog()[0];
    EXPECT_EQ(line.substr(0, line.find(" priority=")),
              "launch command-line=[ -r Launch] directory=[" + directory + "]");
}

} // namespace
