#pragma once
// GetLastError / SetLastError (per thread) and the system texts for the error codes the
// program shows.
#include <cstdint>
#include <string>

namespace platform {

std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

// HRESULTs the settings-file load raises.
constexpr std::int32_t E_FAIL = static_cast<std::int32_t>(0x80004005);
constexpr std::int32_t E_INVALIDARG = static_cast<std::int32_t>(0x80070057);

// The system's text for an HRESULT ("Unspecified error" for E_FAIL, "The parameter is
// incorrect." for E_INVALIDARG), as the command dispatch shows it.
std::string ErrorText(std::int32_t hresult);

} // namespace platform

#include <stdexcept>

namespace platform {

// The error a command raises to the command dispatch (the settings-file and record date
// checks); the dispatch shows ErrorText(hresult) under a stop icon, with what was refused
// (detail, such as "Manufacturing=99.99.99: not a date DD.MM.YY") on a line of its own.
class CommandError : public std::runtime_error {
public:
    explicit CommandError(std::int32_t hresult, const std::string& detail = {})
        : std::runtime_error(detail.empty() ? ErrorText(hresult) : ErrorText(hresult) + "\n" + detail),
          hresult_(hresult)
    {
    }
    std::int32_t HResult() const { return hresult_; }

private:
    std::int32_t hresult_;
};

} // namespace platform
