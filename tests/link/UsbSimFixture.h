#pragma once
// A simulated converter per test: its own folder and configuration file, the provider library
// named by KESTRUNE_D2XX, and the simulator on the test's virtual clock.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/Clock.h"
#include "support/TempDir.h"
#include "sim/d2xx/KestruneSim.h"

class UsbSimTest : public ::testing::Test {
protected:
    explicit UsbSimTest(const char* library = KESTRUNE_SIM_LIBRARY)
        : library_(library), d2xx_("KESTRUNE_D2XX", library),
          simFile_("KESTRUNE_SIM", dir_.File("sim.ini").c_str()),
          registry_("KESTRUNE_REGISTRY", dir_.File("registry.reg").c_str()), control_(library)
    {
    }

    void SetUp() override
    {
        ASSERT_TRUE(control_.Loaded()) << library_;
        platform::SetClock(&clock_);
        control_.SetTimeSource(&VirtualNow);
        Configure("");
    }

    void TearDown() override
    {
        control_.SetTimeSource(nullptr);
        platform::SetClock(nullptr);
    }

    // A new configuration: the converter is rebuilt from it (and from what is in the state
    // folder).
    void Configure(const std::string& ini)
    {
        WriteText(dir_.File("sim.ini"), ini);
        control_.Reset();
    }

    // The per-user registry values ("BaudRate"="38400" lines) the next device object reads.
    void Registry(const std::string& values)
    {
        WriteText(dir_.File("registry.reg"),
                  "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\ZKM\\CORVINA]\r\n" + values);
    }

    static std::uint32_t VirtualNow() { return platform::GetTickCount(); }

    TempDir dir_;
    std::string library_;
    ScopedEnv d2xx_;
    ScopedEnv simFile_;
    ScopedEnv registry_;
    sim::SimControl control_;
    platform::VirtualClock clock_{1000};
};
