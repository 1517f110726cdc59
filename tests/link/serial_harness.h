#pragma once
// A simulated display on a pseudo-terminal, reachable as COM1 through the [Ports] section of a
// private profile store; the registry file is empty unless a test writes it.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <mutex>

#include "platform/Profile.h"
#include "support/TempDir.h"
#include "sim/DisplayEmulator.h"
#include "sim/PtyServer.h"

// Sends scripted bytes on its own and records what it received.
class ScriptPeer : public sim::Peer {
public:
    void Receive(std::span<const std::uint8_t> bytes, std::uint32_t, std::vector<std::uint8_t>& out) override
    {
        std::lock_guard lock(mutex_);
        received_.insert(received_.end(), bytes.begin(), bytes.end());
        Flush(out);
    }
    void Poll(std::uint32_t, std::vector<std::uint8_t>& out) override
    {
        std::lock_guard lock(mutex_);
        Flush(out);
    }
    void Send(std::vector<std::uint8_t> bytes)
    {
        std::lock_guard lock(mutex_);
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    }
    std::vector<std::uint8_t> Received()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    void Flush(std::vector<std::uint8_t>& out)
    {
        out.insert(out.end(), pending_.begin(), pending_.end());
        pending_.clear();
    }
    std::mutex mutex_;
    std::vector<std::uint8_t> pending_;
    std::vector<std::uint8_t> received_;
};

class SerialTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.Start());
        MapPort("COM1", server.SlavePath());
    }

    void MapPort(const char* name, const std::string& path)
    {
        ASSERT_TRUE(platform::WritePrivateProfileString("Ports", name, path.c_str(), profile));
    }

    void WriteRegistry(const std::string& values)
    {
        WriteText(registry, "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\ZKM\\CORVINA]\n" + values);
    }

    // Waits (up to 2 s) until the display has taken count frames.
    std::vector<sim::ReceivedFrame> FramesSeen(std::size_t count)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (display.Frames().size() < count && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return display.Frames();
    }

    TempDir dir;
    std::string profile = dir.File("kestrune.ini");
    std::string registry = dir.File("registry.reg");
    ScopedEnv profileEnv{"KESTRUNE_PROFILE", profile.c_str()};
    ScopedEnv registryEnv{"KESTRUNE_REGISTRY", registry.c_str()};
    sim::DisplayEmulator display{{.deviceId = 95, .revisionMajor = 1, .revisionMinor = 0x23}};
    sim::PtyServer server{display};
};

inline std::int64_t MillisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}
