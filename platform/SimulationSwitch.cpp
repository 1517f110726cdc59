#include "platform/SimulationSwitch.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/File.h"
#include "platform/System.h"

namespace platform {

namespace fs = std::filesystem;

std::string FindProgramLibrary(const std::string& programFolder, const std::string& name)
{
    if (programFolder.empty())
        return {};
    std::error_code error;
    const fs::path beside(programFolder);
    for (const fs::path& folder : {beside, beside / kInstalledLibraryFolder}) {
        const fs::path file = (folder / name).lexically_normal();
        if (fs::is_regular_file(file, error))
            return file.string();
    }
    return {};
}

std::string DefaultSimulatorConfig()
{
    return "; The simulated display of the --simulate switch. Edit freely: the file is only\n"
           "; written when it is missing. The converter's EEPROM, the user area and the flash\n"
           "; are kept in this folder.\n"
           "[Converter]\n"
           "Present=1\n"
           "SerialNumber=ZK000001\n"
           "ChipType=9\n"
           "[Eeprom]\n"
           "VendorId=0x0403\n"
           "ProductId=0xF208\n"
           "Manufacturer=ZKM\n"
           "ManufacturerId=ZK\n"
           "Description=Corvina Nova\n"
           "SerialNumber=ZK000001\n"
           "[UserArea]\n"
           "DeviceCode=98\n"
           "SerialNumber=0001.0001.001\n"
           "Manufacturing=2024-03-04\n"
           "LastUpdate=2024-03-04\n"
           "[Display]\n"
           "Revision=1.00\n"
           "[BootLoader]\n"
           "ResetAfterMs=1000\n";
}

std::string DefaultSimulatorConfigPath()
{
    return (fs::path(DataHome()) / "simulator" / "simulator.ini").string();
}

namespace {

// Written beside the target and renamed, so a second program starting at the same moment
// never reads half a file.
std::string WriteDefaultConfig(const fs::path& file)
{
    // Our data folder holds the state of every run: private, whichever program makes it first.
    if (!CreatePrivateFolders(file.parent_path().string()))
        return "cannot create " + file.parent_path().string() + ": " +
               std::error_code(errno, std::generic_category()).message();
    if (!ReplaceFileContent(file.string(), DefaultSimulatorConfig(), 0644))
        return "cannot write " + file.string();
    return {};
}

} // namespace

std::string EnableSimulation(const std::string& programFolder)
{
    const std::string library = FindProgramLibrary(programFolder, kSimulatorLibraryName);
    if (library.empty()) {
        const fs::path folder(programFolder);
        const fs::path installed = (folder / kInstalledLibraryFolder).lexically_normal();
        return "the simulator library " + std::string(kSimulatorLibraryName) +
               " is missing (looked in " + folder.string() + " and " + installed.string() + ")";
    }
    std::error_code error;

    const char* configured = std::getenv("KESTRUNE_SIM");
    std::string config;
    if (!configured || !*configured) {
        config = DefaultSimulatorConfigPath();
        if (!fs::exists(config, error)) {
            std::string failure = WriteDefaultConfig(config);
            if (!failure.empty()) return failure;
        }
    }
    // Called before the program starts any thread (see the header).
    SetEnvironment("KESTRUNE_D2XX", library);
    if (!config.empty()) SetEnvironment("KESTRUNE_SIM", config);
    return {};
}

} // namespace platform
