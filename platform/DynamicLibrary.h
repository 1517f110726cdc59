#pragma once
// Run-time loading of a shared library (LoadLibraryA / GetProcAddress / FreeLibrary).
#include <string>

namespace platform {

using ModuleHandle = void*;

ModuleHandle LoadLibrary(const std::string& file);     // nullptr on failure
void* GetProcAddress(ModuleHandle module, const char* name);
void FreeLibrary(ModuleHandle module);
std::string LastLoadError();
// Whether the last LoadLibrary found no such file, rather than one that does not load.
bool LastLoadFoundNothing();
// The D2XX driver library the system itself offers ("" when it offers none).
std::string SystemD2xxLibrary();
// The file a loaded module came from, as the loader resolved it; "" when unknown.
std::string ModuleFile(ModuleHandle module);

} // namespace platform
