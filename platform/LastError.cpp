#include "platform/LastError.h"

#include <cstdio>

namespace platform {

namespace {
thread_local std::uint32_t lastError = 0;
}

std::uint32_t GetLastError()
{
    return lastError;
}

void SetLastError(std::uint32_t code)
{
    lastError = code;
}

std::string ErrorText(std::int32_t hresult)
{
    switch (hresult) {
    case E_FAIL:
        return "Unspecified error";
    case E_INVALIDARG:
        return "The parameter is incorrect.";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "Error 0x%08X", static_cast<unsigned>(hresult));
        return text;
    }
    }
}

} // namespace platform
