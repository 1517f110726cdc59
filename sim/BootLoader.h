#pragma once
// The display's boot loader: wake-up, erase and load requests, Intel HEX record lines checked
// for real and written into an emulated flash, one verdict character a record.
//
// Replies (all ASCII):
//   banner start      config.banner, CR LF
//   wake-up "\r\n"    ">"        (one byte, so no tail of it can be taken for a later reply)
//   erase "K\r\n"     "OK\r\n"   after eraseMs
//   load "L\r\n"      "OK\r\n"   only after an erase
//   a record line ending in CR LF is refused ('H'): the host sends text-mode lines
//   each record       'G', 'H', 'L', 'S', 'R' or 'A' (or the reply of RefuseRecord)
//   after the end-of-file record's verdict: "OK\r\n"
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
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
    int refuseRecord = 0;     // answer the Nth record line (1-based) with refuseReply; 0 none
    std::string refuseReply;  // usually one verdict character; more test a verdict of several bytes
    int pullCableAtRecord = 0; // the converter disappears while record N is written; 0 never
    int silentFromRecord = 0;  // from record N (1-based) on, lines are taken and never answered
    int verdictDelayMs = 0;    // every verdict (and what follows it) comes this much later
    int splitBannerAt = 0;     // the banner line reaches the host in two packets split after
                               // this many characters (the converter does it); 0 whole
    int splitReplyAt = 0;      // the erase and load replies come in two parts split after this
                               // many characters, the rest kSplitReplyRestMs later; 0 whole
    int lateByteMs = 0;        // the banner and the wake-up, erase and load replies are each
    char lateByte = 0;         // followed by lateByte this much later (junk after a reply); 0 none
    int trickleMs = 0;         // the erase request gets no reply but one '.' every trickleMs,
                               // without end and without a line end; 0 a normal reply
    std::uint32_t flashSize = 131072;
};

// Reads section [BootLoader] of a simulator configuration file (keys Banner, ResetAfterMs,
// WakeUp, EraseReply, LoadReply, EraseMs, RefuseRecord as N:C (C: the reply, one character or
// more), PullCableAtRecord, SilentFromRecord, VerdictDelayMs, SplitBannerAt, SplitReplyAt,
// LateByte as MS:C, TrickleReplyMs, FlashSize); missing keys keep their defaults. Numbers may
// be decimal or 0x hexadecimal. With
// `own` (a second converter's [BootLoader.N]), its keys come first and [BootLoader] fills the rest.
BootLoaderConfig LoadBootLoaderConfig(const std::string& iniPath, const std::string& own = {});

// The reply texts, for the converter's and the tests' use.
inline constexpr const char* kWakeUpReply = ">";
inline constexpr const char* kEraseReply = "OK\r\n";
inline constexpr const char* kLoadReply = "OK\r\n";
inline constexpr const char* kFinalReply = "OK\r\n";
// A latency tick inside a reply: the rest follows one default timer period later.
inline constexpr std::uint32_t kSplitReplyRestMs = 16;

// Thread-safe: the converter may feed it and poll it from different threads.
class BootLoader : public Peer {
public:
    enum class Mode {
        Off,      // not entered: the display's firmware runs
        Quiet,    // entered without banner, waiting for the wake-up
        Commands, // erase and load requests
        Records,  // record lines after the load request
        Done,     // end-of-file record answered; input ignored
    };

    explicit BootLoader(BootLoaderConfig config = {});

    // The display was reset into the boot loader. withBanner: it announces itself (the
    // families 1-4 start); without: it waits quietly for the wake-up (the DTR pulse start).
    // Starts a new session: line state, record count and address base are reset; the flash
    // keeps its contents.
    void Enter(bool withBanner, std::uint32_t nowMs, std::vector<std::uint8_t>& out);
    // Back to the display's firmware (a reset without the boot loader).
    void Leave();

    void Receive(std::span<const std::uint8_t> bytes, std::uint32_t nowMs,
                 std::vector<std::uint8_t>& out) override;
    void Poll(std::uint32_t nowMs, std::vector<std::uint8_t>& out) override;
    bool NextDue(std::uint32_t& dueMs) const override;

    Mode CurrentMode() const;
    bool Active() const { return CurrentMode() != Mode::Off; }
    const BootLoaderConfig& Config() const { return config_; }

    // Set once the record named by pullCableAtRecord arrived: the converter must vanish. That
    // record is neither programmed nor answered.
    bool CablePulled() const;
    int RecordsSeen() const;
    bool Finished() const; // end-of-file record answered

    // Flash contents: addresses 0 up to the highest one programmed, 0xFF where unwritten.
    std::vector<std::uint8_t> FlashImage() const;
    // Written through a temporary file in the same folder and renamed into place.
    bool SaveFlash(const std::string& file) const;
    // Every byte of the file counts as programmed. False (flash unchanged) when the file
    // cannot be read or is larger than the flash.
    bool LoadFlash(const std::string& file);

    // The verdict a record line (from ':' up to, without, its line end) earns at the current
    // address base: 'G', 'H', 'L', 'S', 'R' or 'A' (no side effects).
    char CheckRecord(const std::string& line) const;

private:
    struct Record {
        std::uint8_t type = 0;
        std::uint16_t offset = 0;
        std::vector<std::uint8_t> data;
    };
    char Parse(const std::string& line, Record& record) const;
    void HandleByte(std::uint8_t byte, std::uint32_t nowMs, std::vector<std::uint8_t>& out);
    void HandleLine(std::uint32_t nowMs, std::vector<std::uint8_t>& out);
    void HandleRecord(std::uint32_t nowMs, std::vector<std::uint8_t>& out);
    // Verdicts go out at once, or verdictDelayMs later through Poll.
    void Answer(std::string_view reply, std::uint32_t nowMs, std::vector<std::uint8_t>& out);
    void Erase();
    void FinishErase(std::uint32_t nowMs, std::vector<std::uint8_t>& out);
    // The erase and load replies, split as SplitReplyAt asks.
    void Reply(std::string_view reply, std::uint32_t nowMs, std::vector<std::uint8_t>& out);
    void AfterReply(std::uint32_t nowMs);
    void Delay(std::uint32_t dueMs, std::string bytes);

    mutable std::mutex mutex_;
    BootLoaderConfig config_;
    Mode mode_ = Mode::Off;
    std::vector<std::uint8_t> flash_;
    std::uint32_t highest_ = 0;
    bool any_ = false;
    std::uint32_t base_ = 0; // extended segment or linear address
    bool segmented_ = false; // segment addressing: the offset wraps within 64 KiB
    std::string line_;       // bytes of the current request or record line
    int records_ = 0;
    bool cablePulled_ = false;
    bool finished_ = false;
    bool erasePending_ = false;
    bool erased_ = false; // the load request is answered only after an erase
    std::uint32_t eraseDoneAt_ = 0;
    struct Delayed {
        std::uint32_t dueMs;
        std::string bytes;
    };
    std::vector<Delayed> delayed_; // in order of their due times
    std::vector<std::uint8_t> held_; // input that came while the erase was running
    bool trickling_ = false;
    std::uint32_t nextTrickleAt_ = 0;
};

} // namespace sim
