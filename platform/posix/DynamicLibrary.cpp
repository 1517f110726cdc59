#include "platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <link.h>

namespace platform {

namespace {
// dlerror() is cleared by the next dl call, so keep the text of the last failure here.
thread_local std::string lastLoadError;

void RememberError()
{
    const char* text = dlerror();
    lastLoadError = text != nullptr ? text : "unknown error";
}
} // namespace

ModuleHandle LoadLibrary(const std::string& file)
{
    // RTLD_LOCAL: a provider's symbols must not satisfy lookups made by other libraries.
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        RememberError();
    return handle;
}

void* GetProcAddress(ModuleHandle module, const char* name)
{
    if (module == nullptr || name == nullptr) {
        lastLoadError = "no module or no symbol name";
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(module, name);
    if (symbol == nullptr)
        RememberError();
    return symbol;
}

void FreeLibrary(ModuleHandle module)
{
    if (module != nullptr && dlclose(module) != 0)
        RememberError();
}

std::string ModuleFile(ModuleHandle module)
{
    link_map* map = nullptr;
    if (module == nullptr || dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        map->l_name == nullptr)
        return {};
    return map->l_name;
}

std::string LastLoadError()
{
    return lastLoadError;
}

} // namespace platform
