// The updater run from a folder of downloads that holds planted DLLs: one of a name no system
// DLL has and several named like Windows DLLs, with Wine told to search the program's folder
// first for them, as Windows does for DLLs that are not KnownDLLs (WINEDLLOVERRIDES in the
// test's own environment: Wine reads it from the Unix side, so setting it here would not
// reach the programs this test starts). A control program in the
// same folder gets the planted copies; the updater, through its dialog, an install and its
// completion message, loads none of them, and a probe hooked into its thread cannot load
// them by bare name.
//
// Not planted: version.dll. Under Wine, user32.dll itself imports it, so a planted copy is
// loaded while the process starts, before any of the program's code runs (Windows' user32
// has no such import).
#include <gtest/gtest.h>

#include "harness.h"
#include "resource_ids.h"

namespace {

const char* const kPlantedNames[] = {"pgplant.dll",   "uxtheme.dll",     "dwmapi.dll",
                                     "cryptbase.dll", "textshaping.dll", "ole32.dll",
                                     "shell32.dll",   "setupapi.dll",    "msimg32.dll"};

std::string Joined() {
    std::string joined;
    for (const char* name : kPlantedNames)
        joined += (joined.empty() ? "" : ",") + std::string(name);
    return joined;
}

class Planting : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string planted = ProgramFolder() + "planted\\pgplant.dll";
        ASSERT_TRUE(FileExists(planted)) << planted;
        for (const char* name : kPlantedNames)
            ASSERT_TRUE(CopyFileA(planted.c_str(), (bench_.Path() + name).c_str(), FALSE)) << name;
        ASSERT_TRUE(CopyFileA(UpdaterRun::ProgramPath().c_str(), updater_.c_str(), FALSE));
        ASSERT_TRUE(
            CopyFileA((ProgramFolder() + "plant_control.exe").c_str(), control_.c_str(), FALSE));
    }

    TempFolder bench_{"downloads"};
    std::string updater_ = bench_.Path() + "PelagioUpdate.exe";
    std::string control_ = bench_.Path() + "plant_control.exe";
    std::string log_ = bench_.Path() + "plant.log";
    std::string probeResult_ = bench_.Path() + "probe.txt";
};

} // namespace

TEST_F(Planting, TheUpdaterLoadsNoDllBesideIt) {
    ScopedVariable plantLog("PELAGIO_PLANT_LOG", log_);
    ScopedVariable probeNames("PELAGIO_PROBE_NAMES", Joined());
    ScopedVariable probeResult("PELAGIO_PROBE_RESULT", probeResult_);

    // The control gets every planted copy: the bench plants.
    ChildProcess control;
    std::string line = "\"" + control_ + "\"";
    for (const char* name : kPlantedNames)
        line += std::string(" ") + name;
    ASSERT_TRUE(control.Start(control_, line, bench_.Path()));
    DWORD planted = 0;
    ASSERT_TRUE(control.WaitForExit(20000, &planted));
    ASSERT_EQ(planted, sizeof(kPlantedNames) / sizeof(kPlantedNames[0]))
        << "the control got only " << planted << " planted copies:\n"
        << ReadFileBytes(log_);

    HostInstallation host;
    HostRegistration registration(host.ProgramPath());
    UpdaterRun updater;
    ASSERT_TRUE(updater.Start(bench_.Path(), "", updater_));
    HWND dialog = updater.WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no dialog appeared";

    std::vector<std::string> probed =
        ProbeInside(updater, dialog, "dll_probe.dll", "ProbeHook", "PelagioDllProbe", probeResult_);
    EXPECT_EQ(probed.size(), sizeof(kPlantedNames) / sizeof(kPlantedNames[0]))
        << (probed.empty() ? "the probe wrote nothing" : probed[0]);
    for (const std::string& result : probed) {
        EXPECT_TRUE(result.find(" planted ") == std::string::npos)
            << "the updater's own search found a planted DLL: " << result;
        if (result.compare(0, 12, "pgplant.dll ") == 0) {
            EXPECT_EQ(result, "pgplant.dll absent");
        }
    }

    PressButton(dialog, IDC_UPDATE);
    HWND box = updater.WaitForMessageBox(20000);
    ASSERT_NE(box, nullptr) << "no completion message";
    DismissMessageBox(box);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(box); }));
    PressButton(dialog, IDCANCEL);
    ASSERT_TRUE(updater.WaitForExit(10000));

    for (const std::string& load : Lines(ReadFileBytes(log_)))
        EXPECT_TRUE(load.find(" in " + updater_) == std::string::npos)
            << "a planted DLL was loaded into the updater: " << load;
}
