#pragma once
// The display as a whole: its firmware and, after a reset into it, its boot loader, with the
// flash kept in a state folder. The converter and the pseudo-terminal program both put their
// line in front of this one model. Not thread-safe: the front end serialises calls.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/BootLoader.h"
#include "sim/DisplayEmulator.h"
#include "sim/Peer.h"

namespace sim {

class DisplayUnit : public Peer {
public:
    // stateFolder empty: the flash lives in memory only.
    DisplayUnit(const DisplayConfig& display, BootLoaderConfig bootLoader, std::string stateFolder);
    ~DisplayUnit() override;
    DisplayUnit(const DisplayUnit&) = delete;
    DisplayUnit& operator=(const DisplayUnit&) = delete;

    // To whichever of firmware and boot loader runs now.
    void Receive(std::span<const std::uint8_t> bytes, std::uint32_t nowMs,
                 std::vector<std::uint8_t>& out) override;
    void Poll(std::uint32_t nowMs, std::vector<std::uint8_t>& out) override;
    bool NextDue(std::uint32_t& dueMs) const override;

    // A reset into the boot loader (see BootLoader::Enter); the flash is read from the state
    // folder the first time.
    void EnterBootLoader(bool withBanner, std::uint32_t nowMs, std::vector<std::uint8_t>& out);
    // Back to the firmware: the flash is saved first unless it already was.
    void LeaveBootLoader();
    // Back to the firmware as it stands (the flash was saved when the line closed).
    void Restart();
    void SaveFlash();

    bool InBootLoader() const { return inBootLoader_; }
    bool Finished() const { return inBootLoader_ && bootLoader_ && bootLoader_->Finished(); }
    bool CablePulled() const { return inBootLoader_ && bootLoader_ && bootLoader_->CablePulled(); }
    DisplayEmulator& Firmware() { return firmware_; }
    const BootLoader* Loader() const { return bootLoader_.get(); }

    // Frames the firmware took since the last call, as received; appended to frames.log in
    // the state folder, so that another process can see them.
    std::vector<std::vector<std::uint8_t>> TakeFrames();

private:
    std::string StatePath(const char* name) const;

    DisplayEmulator firmware_;
    BootLoaderConfig bootLoaderConfig_;
    std::string stateFolder_;
    std::unique_ptr<BootLoader> bootLoader_;
    bool inBootLoader_ = false;
    bool flashSaved_ = false;
};

} // namespace sim
