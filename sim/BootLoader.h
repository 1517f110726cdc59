#pragma once
// The display's boot loader: wake-up, erase and load requests, Intel HEX record lines checked
// for real and written into an emulated flash, one verdict character a record.
#include <cstdint>
#include <string>
#include <vector>

#include "sim/Peer.h"

namespace sim {

struct BootLoaderConfig {
    std::string banner = "C8051F120 Firmware Updater"; // sent followed by CR LF
    int resetAfterMs = 1000;  // families 1-4: operator reset this long after DTR set; -1 never
    bool wakeUp = true;       // answer the family-0 wake-up
    bool eraseReply = true;   // false: never answer the erase request
    bool loadReply = true;    // false: never answer the load request
    int eraseMs = 0;          // the erase takes this long before its reply
    int refuseRecord = 0;     // answer the Nth record line (1-based) with refuseChar; 0 none
    char refuseChar = 0;
    int pullCableAtRecord = 0; // the converter disappears while record N is written; 0 never
    std::uint32_t flashSize = 131072;
};

// Reads section [BootLoader] of a simulator configuration file (keys Banner, ResetAfterMs,
// WakeUp, EraseReply, LoadReply, EraseMs, RefuseRecord as N:C, PullCableAtRecord, FlashSize);
// missing keys keep their defaults.
BootLoaderConfig LoadBootLoaderConfig(const std::string& iniPath);

class BootLoader : public Peer {
public:
    explicit BootLoader(BootLoaderConfig config = {});

    // The display was reset into the boot loader. withBanner: it announces itself (the
    // families 1-4 start); without: it waits quietly for the wake-up (the DTR pulse start).
    void Enter(bool withBanner, std::uint32_t nowMs, std::vector<std::uint8_t>& out);

    void Receive(std::span<const std::uint8_t> bytes, std::uint32_t nowMs,
                 std::vector<std::uint8_t>& out) override;
    void Poll(std::uint32_t nowMs, std::vector<std::uint8_t>& out) override;

    // Set once the record named by pullCableAtRecord arrived: the converter must vanish.
    bool CablePulled() const { return cablePulled_; }
    int RecordsSeen() const { return records_; }
    bool Finished() const { return finished_; } // end-of-file record answered

    // Flash contents: addresses 0 up to the highest one programmed, 0xFF where unwritten.
    std::vector<std::uint8_t> FlashImage() const;
    bool SaveFlash(const std::string& file) const;
    bool LoadFlash(const std::string& file);

    // The verdict a record line earns: 'G', 'H', 'L', 'S', 'R' or 'A' (no side effects).
    char CheckRecord(const std::string& line) const;

private:
    BootLoaderConfig config_;
    std::vector<std::uint8_t> flash_;
    std::vector<bool> written_;
    std::uint32_t highest_ = 0;
    bool any_ = false;
    std::uint32_t base_ = 0; // extended segment or linear address
    std::string line_;       // bytes of the current request or record line
    int records_ = 0;
    bool cablePulled_ = false;
    bool finished_ = false;
    bool erasePending_ = false;
    std::uint32_t eraseDoneAt_ = 0;
    bool woke_ = false;
};

} // namespace sim
