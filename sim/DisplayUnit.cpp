#include "sim/DisplayUnit.h"

#include "platform/File.h"
#include "platform/System.h"
#include "sim/SimConfig.h"

namespace sim {

namespace {

void AppendLine(const std::string& path, const std::string& line)
{
    platform::FileStatus status = platform::FileStatus::Ok;
    platform::File file = platform::File::Open(path, platform::FileAccess::AppendCreate, status, false);
    // One write in append mode: lines from two processes never interleave.
    if (file.IsOpen())
        file.WriteAll(line + "\n");
}

} // namespace

DisplayUnit::DisplayUnit(const DisplayConfig& display, BootLoaderConfig bootLoader,
                         std::string stateFolder)
    : firmware_(display), bootLoaderConfig_(std::move(bootLoader)),
      stateFolder_(std::move(stateFolder))
{
}

DisplayUnit::~DisplayUnit() = default;

std::string DisplayUnit::StatePath(const char* name) const
{
    return platform::PathAppend(stateFolder_, name);
}

void DisplayUnit::Receive(std::span<const std::uint8_t> bytes, std::uint32_t nowMs,
                          std::vector<std::uint8_t>& out)
{
    if (!inBootLoader_) {
        firmware_.Receive(bytes, nowMs, out);
        return;
    }
    bootLoader_->Receive(bytes, nowMs, out);
    if (bootLoader_->Finished() && !flashSaved_)
        SaveFlash();
}

void DisplayUnit::Poll(std::uint32_t nowMs, std::vector<std::uint8_t>& out)
{
    if (inBootLoader_)
        bootLoader_->Poll(nowMs, out);
    else
        firmware_.Poll(nowMs, out);
}

void DisplayUnit::EnterBootLoader(bool withBanner, std::uint32_t nowMs,
                                  std::vector<std::uint8_t>& out)
{
    if (!bootLoader_) {
        bootLoader_ = std::make_unique<BootLoader>(bootLoaderConfig_);
        if (!stateFolder_.empty() && platform::PathFileExists(StatePath("flash.bin")))
            bootLoader_->LoadFlash(StatePath("flash.bin"));
    }
    inBootLoader_ = true;
    flashSaved_ = false;
    bootLoader_->Enter(withBanner, nowMs, out);
}

void DisplayUnit::LeaveBootLoader()
{
    if (!inBootLoader_)
        return;
    if (!flashSaved_)
        SaveFlash();
    Restart();
}

void DisplayUnit::Restart()
{
    if (bootLoader_)
        bootLoader_->Leave();
    inBootLoader_ = false;
}

void DisplayUnit::SaveFlash()
{
    if (bootLoader_ && !stateFolder_.empty())
        bootLoader_->SaveFlash(StatePath("flash.bin"));
    flashSaved_ = true;
}

std::vector<std::vector<std::uint8_t>> DisplayUnit::TakeFrames()
{
    const auto frames = firmware_.Frames();
    if (frames.empty())
        return {};
    firmware_.ClearFrames();
    std::vector<std::vector<std::uint8_t>> raw;
    raw.reserve(frames.size());
    for (const ReceivedFrame& f : frames) {
        if (!stateFolder_.empty())
            AppendLine(StatePath("frames.log"), ToHex(f.raw.data(), f.raw.size()));
        raw.push_back(f.raw);
    }
    return raw;
}

} // namespace sim
