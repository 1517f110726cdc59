#pragma once
// The --simulate switch of both front ends: the simulated display instead of a real converter.
#include <string>

namespace platform {

// File name of the simulator's D2XX provider, built beside the programs.
#ifdef _WIN32
inline constexpr const char* kSimulatorLibraryName = "libkestrune-sim.dll";
#else
inline constexpr const char* kSimulatorLibraryName = "libkestrune-sim.so";
#endif

// Where an installed program keeps its own libraries, relative to the program's folder
// (bin/ and lib/kestrune/ under one prefix; the install rules use the same layout).
inline constexpr const char* kInstalledLibraryFolder = "../lib/kestrune";

// The folder of the running program; "" when it cannot be told.
std::string ExecutableFolder();

// A library of ours for the program in programFolder: beside it (a build tree), else in the
// installed library folder. "" when neither holds a regular file of that name.
std::string FindProgramLibrary(const std::string& programFolder, const std::string& name);

// The configuration of the default simulated display: a Nova (code 98) with a valid
// identification record, whose boot loader is entered about a second after DTR was set.
// Its state is kept beside the file.
std::string DefaultSimulatorConfig();

// Where the default configuration lives: DataHome()/simulator/simulator.ini.
std::string DefaultSimulatorConfigPath();

// Sets KESTRUNE_D2XX to the simulator library found for programFolder and, when KESTRUNE_SIM
// is unset, points it at the default configuration, writing that file first when it does not
// exist. It changes the environment, so it must run before the program starts any thread
// (QApplication included) and before the device is opened. Returns "" on success, else why it
// failed (the library is missing, the configuration cannot be written); nothing is changed then.
std::string EnableSimulation(const std::string& programFolder);
inline std::string EnableSimulation() { return EnableSimulation(ExecutableFolder()); }

} // namespace platform
