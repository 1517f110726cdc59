#include "cli/Output.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "link/CrvSerialDevice.h"
#include "link/D2xxLibrary.h"

namespace cli {

Output::Output(OutputMode mode, std::FILE* out, std::FILE* err) : mode_(mode), out_(out), err_(err) {}

void Output::Text(std::string text)
{
    if (Json()) return;
    if (text.empty() || text.back() != '\n') text += '\n';
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void Output::Info(const std::string& text)
{
    if (mode_.quiet) return;
    std::fprintf(err_, "kestrune-cli: %s\n", text.c_str());
    std::fflush(err_);
}

void Output::Line(const nlohmann::json& object)
{
    // Invalid UTF-8 in a log record (a Windows station's code page) is replaced, not fatal.
    const std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fputs(text.c_str(), out_);
}

void Output::Finish(const std::string& command, int status)
{
    if (!mode_.json) return;
    nlohmann::json document = nlohmann::json::object();
    document["command"] = command;
    document["status"] = status;
    for (auto& [key, value] : result_.items()) document[key] = value;
    Line(document);
    std::fflush(out_);
}

namespace {

// Made on first use, so that building it can never throw before main runs.
Output& DefaultOutput()
{
    static Output output;
    return output;
}
Output* current = nullptr;

std::atomic<std::FILE*> traceFile{nullptr};
std::mutex traceMutex;

void Trace(const char* call, unsigned long status, long long micros, const void* bytes, unsigned long count)
{
    std::FILE* err = traceFile.load();
    if (err == nullptr) return;
    // Polls that found nothing would bury the requests.
    if (std::strcmp(call, "GetQueueStatus") == 0 || std::strcmp(call, "W32_ClearCommError") == 0 ||
        std::strcmp(call, "W32_GetCommModemStatus") == 0 ||
        (std::strcmp(call, "W32_ReadFile") == 0 && count == 0))
        return;
    std::string line = "kestrune-cli: request " + std::string(call) + " -> " + std::to_string(status);
    char time[32];
    std::snprintf(time, sizeof time, " (%.3f ms)", static_cast<double>(micros) / 1000.0);
    line += time;
    if (bytes != nullptr && count > 0) {
        // A firmware record is about 45 bytes; longer transfers are cut.
        const auto* data = static_cast<const unsigned char*>(bytes);
        const unsigned long shown = count < 64 ? count : 64;
        line += " " + std::to_string(count) + " bytes:";
        for (unsigned long i = 0; i < shown; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02x", data[i]);
            line += hex;
        }
        if (shown < count) line += " ...";
    }
    std::lock_guard lock(traceMutex);
    std::fprintf(err, "%s\n", line.c_str());
}

} // namespace

Output& Out() { return current != nullptr ? *current : DefaultOutput(); }

Output* SetOutput(Output* output)
{
    Output* previous = current;
    current = output != nullptr ? output : &DefaultOutput();
    return previous;
}

void TraceRequests(std::FILE* err)
{
    traceFile.store(err);
    SetD2xxTrace(&Trace);
    SetSerialTrace(&Trace);
}

void StopTracingRequests()
{
    SetD2xxTrace(nullptr);
    SetSerialTrace(nullptr);
    traceFile.store(nullptr);
}

} // namespace cli
