#pragma once
// Control entries of the simulator's D2XX provider library, beside the D2XX functions: tests
// reach them through the same loaded library (platform::LoadLibrary of its path and
// GetProcAddress). SimControl below wraps them.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/DynamicLibrary.h"

extern "C" {
// The simulator's clock: nullptr restores its own monotonic milliseconds. Tests on a
// platform::VirtualClock pass a function returning platform::GetTickCount().
using PFN_KestruneSim_SetTimeSource = void (*)(std::uint32_t (*now)(void));
// Drops every open handle and rebuilds the converter from $KESTRUNE_SIM and the state folder.
using PFN_KestruneSim_Reset = void (*)(void);
using PFN_KestruneSim_Void = void (*)(void);               // PullCable, PlugCable
using PFN_KestruneSim_Count = std::uint32_t (*)(void);     // counters and flags, below
using PFN_KestruneSim_GetCommState = int (*)(void* dcb28);
using PFN_KestruneSim_Escape = std::uint32_t (*)(std::uint32_t index);
using PFN_KestruneSim_UserArea = std::uint32_t (*)(std::uint8_t* out, std::uint32_t size);
using PFN_KestruneSim_Frame = std::uint32_t (*)(std::uint32_t index, std::uint8_t* out,
                                                std::uint32_t size);
using PFN_KestruneSim_Inject = void (*)(const std::uint8_t* data, std::uint32_t size);
using PFN_KestruneSim_SetFlag = void (*)(int on);
}

namespace sim {

// The control entries of a loaded provider. Holds a reference on the library while it lives,
// so the simulator's state stays while the program under test unloads and reloads it.
class SimControl {
public:
    explicit SimControl(const std::string& library) : module_(platform::LoadLibrary(library)) {}
    ~SimControl()
    {
        if (module_)
            platform::FreeLibrary(module_);
    }
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    bool Loaded() const { return module_ != nullptr; }

    void SetTimeSource(std::uint32_t (*now)(void))
    {
        if (auto f = Entry<PFN_KestruneSim_SetTimeSource>("KestruneSim_SetTimeSource"))
            f(now);
    }
    void Reset() { Call("KestruneSim_Reset"); }
    void PullCable() { Call("KestruneSim_PullCable"); }
    void PlugCable() { Call("KestruneSim_PlugCable"); }
    // Bit 0 DTR, bit 1 RTS.
    std::uint32_t ModemLines() { return Count("KestruneSim_ModemLines"); }
    bool IsOpen() { return Count("KestruneSim_IsOpen") != 0; }
    bool InBootLoader() { return Count("KestruneSim_InBootLoader") != 0; }
    std::uint32_t RescanCount() { return Count("KestruneSim_RescanCount"); }
    std::uint32_t ReloadCount() { return Count("KestruneSim_ReloadCount"); }
    std::uint32_t BytesWritten() { return Count("KestruneSim_BytesWritten"); }
    std::uint32_t FrameCount() { return Count("KestruneSim_FrameCount"); }
    // How the user area was read: FT_EE_UARead calls and FT_ReadEE calls.
    std::uint32_t BlockReads() { return Count("KestruneSim_BlockReads"); }
    std::uint32_t WordReads() { return Count("KestruneSim_WordReads"); }
    std::uint32_t EscapeCount() { return Count("KestruneSim_EscapeCount"); }
    std::uint32_t Escape(std::uint32_t index)
    {
        auto f = Entry<PFN_KestruneSim_Escape>("KestruneSim_Escape");
        return f ? f(index) : 0;
    }
    // The line settings the host last applied (28 bytes, the FTDCB layout).
    bool GetCommState(void* dcb28)
    {
        auto f = Entry<PFN_KestruneSim_GetCommState>("KestruneSim_GetCommState");
        return f && f(dcb28) != 0;
    }
    std::vector<std::uint8_t> UserArea()
    {
        auto f = Entry<PFN_KestruneSim_UserArea>("KestruneSim_UserArea");
        if (!f)
            return {};
        std::vector<std::uint8_t> out(256, 0);
        out.resize(f(out.data(), static_cast<std::uint32_t>(out.size())));
        return out;
    }
    std::vector<std::uint8_t> Frame(std::uint32_t index)
    {
        auto f = Entry<PFN_KestruneSim_Frame>("KestruneSim_Frame");
        if (!f)
            return {};
        std::vector<std::uint8_t> out(4096, 0);
        out.resize(f(index, out.data(), static_cast<std::uint32_t>(out.size())));
        return out;
    }
    void InjectFromDisplay(const std::uint8_t* data, std::uint32_t size)
    {
        if (auto f = Entry<PFN_KestruneSim_Inject>("KestruneSim_InjectFromDisplay"))
            f(data, size);
    }
    void SetDisplayResponds(bool on)
    {
        if (auto f = Entry<PFN_KestruneSim_SetFlag>("KestruneSim_SetDisplayResponds"))
            f(on ? 1 : 0);
    }

private:
    template <typename Fn>
    Fn Entry(const char* name)
    {
        return module_ ? reinterpret_cast<Fn>(platform::GetProcAddress(module_, name)) : nullptr;
    }
    void Call(const char* name)
    {
        if (auto f = Entry<PFN_KestruneSim_Void>(name))
            f();
    }
    std::uint32_t Count(const char* name)
    {
        auto f = Entry<PFN_KestruneSim_Count>(name);
        return f ? f() : 0;
    }

    platform::ModuleHandle module_;
};

} // namespace sim
