// Bytes the display sends, through the simulated converter and the USB transport, into the
// identity-reply reader.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "link/CrvUsbDevice.h"
#include "platform/Clock.h"
#include "sim/d2xx/KestruneSim.h"

namespace {

platform::VirtualClock g_clock;

std::uint32_t Now()
{
    return platform::GetTickCount();
}

struct Link {
    std::unique_ptr<sim::SimControl> control;
    std::unique_ptr<CCrvUsbDevice> device;

    Link()
    {
        char pattern[] = "/tmp/kestrune-fuzz-usb-XXXXXX";
        const std::string dir = mkdtemp(pattern);
        const std::string ini = dir + "/sim.ini";
        // A silent display, bytes at once, nothing persisted.
        std::ofstream(ini) << "[Display]\nResponds=0\n[Link]\nLatencyTimerMs=0\n[State]\nFolder=\n";
        setenv("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY, 1);
        setenv("KESTRUNE_SIM", ini.c_str(), 1);
        setenv("KESTRUNE_REGISTRY", (dir + "/none.reg").c_str(), 1);
        platform::SetClock(&g_clock);
        control = std::make_unique<sim::SimControl>(KESTRUNE_SIM_LIBRARY);
        control->SetTimeSource(&Now);
        control->Reset();
        device = std::make_unique<CCrvUsbDevice>();
        if (!device->OpenPort("USB"))
            std::abort();
        // Read once at the start; nothing of the folder is needed any more.
        std::filesystem::remove_all(dir);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Link link;
    link.device->PurgePort();
    link.control->InjectFromDisplay(data, static_cast<std::uint32_t>(size));
    const std::int32_t id = link.device->ReadIdentityReply(3);
    if (id != -1 && (id < 0 || id > 255 || id != link.device->DeviceId))
        std::abort();
    if (id != -1 && (size < 10 || data[1] != 'J'))
        std::abort();
    return 0;
}
