#pragma once
// The simulated USB serial converter with the display behind it: device list, EEPROM and user
// area, line settings and modem lines, the two directions of the byte stream with optional
// pacing at the line rate and the latency timer, and faults on request. The D2XX provider
// library is a thin front end over it. Times are the caller's milliseconds (a 32-bit tick count
// that wraps). Not thread-safe: the front end serialises calls.
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "link/D2xx.h"
#include "platform/File.h"
#include "sim/EepromImage.h"
#include "sim/SimConfig.h"

namespace sim {

// A moment on the caller's clock: its milliseconds and, from a clock that has them, the
// nanoseconds into that millisecond. Bytes then reach the host at their own line time.
struct SimTime {
    SimTime(std::uint32_t milliseconds, std::uint32_t nanoseconds = 0) : ms(milliseconds), ns(nanoseconds) {}
    std::uint32_t ms;
    std::uint32_t ns;
};

class DisplayUnit;
struct UsbIdentity;

class Converter {
public:
    explicit Converter(SimConfig config);
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    const SimConfig& Config() const { return config_; }

    // The device list. Index 0 is the simulated converter; further ones (Count) are listed
    // but always in use by someone else, so they cannot be opened.
    int ListedCount() const;
    std::string ListedSerial(int index) const;
    // The listed converter a D2XX open by serial number names: the whole serial, or, for one
    // longer than the list's 15 characters, the cut the list handed out. -1: none.
    int IndexBySerial(const std::string& name) const;
    std::string ListedDescription(int index) const;
    std::uint32_t LocationId(int index) const;
    std::uint32_t UsbId() const; // vendor ID << 16 | product ID
    bool Listed() const { return config_.present && !cablePulled_; }

    // The cable: pulled, the converter leaves the list and its session dies.
    void PullCable(SimTime nowMs);
    void PlugCable() { cablePulled_ = false; }
    bool CablePulled() const { return cablePulled_; }

    // A session: Open returns its number (0 when the converter is absent or already open);
    // every other call names it and fails for a dead one.
    std::uint64_t Open(SimTime nowMs);
    void Close(std::uint64_t session, SimTime nowMs);
    bool Alive(std::uint64_t session) const;
    bool IsOpen() const { return session_ != 0; }
    // The last Open failed because another process holds this converter.
    bool HeldElsewhere() const { return heldElsewhere_; }
    // Busy for an open, by configuration or by another process.
    bool Busy() const { return config_.busy || heldElsewhere_; }

    // The host's side of the byte stream.
    bool Write(std::span<const std::uint8_t> data, SimTime nowMs, std::uint32_t& written);
    std::uint32_t QueuedForHost(SimTime nowMs);
    std::uint32_t Read(std::span<std::uint8_t> out, SimTime nowMs);
    std::uint32_t QueuedForDisplay(SimTime nowMs);
    void PurgeReceive();
    void PurgeTransmit();
    // SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK, RESETDEV; false for other codes.
    bool Escape(std::uint32_t function, SimTime nowMs);
    // The DCB's EvtChar is the chip's event character: 0 disabled, else enabled.
    void GetLine(d2xx::FTDCB& dcb) const;
    bool SetLine(const d2xx::FTDCB& dcb, SimTime nowMs);
    // A received byte equal to the enabled event character sends the chip's packet at once,
    // without waiting for the latency timer. The error character is only kept.
    void SetChars(std::uint8_t eventChar, bool eventOn, std::uint8_t errorChar, bool errorOn,
                  SimTime nowMs);
    void SetEventChar(std::uint8_t c, bool on, SimTime nowMs);
    void SetErrorChar(std::uint8_t c, bool on);
    bool EventCharOn() const { return eventOn_; }
    std::uint8_t EventChar() const { return eventChar_; }
    void GetTimeouts(d2xx::FTTIMEOUTS& t) const { t = timeouts_; }
    void SetTimeouts(const d2xx::FTTIMEOUTS& t) { timeouts_ = t; }
    bool Dtr() const { return dtr_; }
    bool Rts() const { return rts_; }
    std::uint8_t LatencyTimer() const { return static_cast<std::uint8_t>(latencyMs_); }
    // D2XX takes 2..255 ms, the chip itself from 1.
    bool SetLatencyTimer(std::uint8_t ms, std::uint8_t least = 2);
    // The chip's reset request: queues purged, DTR and RTS low, event character off, line
    // settings kept.
    void ResetSio(SimTime nowMs);
    // Bytes as if the display had sent them.
    void InjectFromDisplay(std::span<const std::uint8_t> data, SimTime nowMs);

    // EEPROM.
    d2xx::FT_STATUS ReadEeprom(void* image, std::uint32_t size, char* manufacturer,
                               char* manufacturerId, char* description, char* serial);
    d2xx::FT_STATUS ProgramEeprom(const void* image, std::uint32_t size,
                                  const char* manufacturer, const char* manufacturerId,
                                  const char* description, const char* serial);
    d2xx::FT_STATUS ReadProgramData(d2xx::FT_PROGRAM_DATA& data);
    d2xx::FT_STATUS ProgramProgramData(const d2xx::FT_PROGRAM_DATA& data);
    std::uint32_t UserAreaSize() const;
    d2xx::FT_STATUS ReadUserArea(std::uint8_t* data, std::uint32_t size, std::uint32_t& got);
    d2xx::FT_STATUS WriteUserArea(const std::uint8_t* data, std::uint32_t size);
    d2xx::FT_STATUS ReadWord(std::uint32_t address, std::uint16_t& value);
    d2xx::FT_STATUS WriteWord(std::uint32_t address, std::uint16_t value);
    d2xx::FT_STATUS Erase();
    // A read on the bus: a 64-word EEPROM answers every address modulo its size, as a 93C46 does.
    d2xx::FT_STATUS ReadWordWrapped(std::uint32_t address, std::uint16_t& value);
    // What the chip enumerates with.
    UsbIdentity UsbIdentityFromEeprom() const;
    std::vector<std::uint8_t> UserAreaBytes() const;
    const EepromImage& Image() const { return image_; }
    // Bulk packet size: 512 on the high-speed chips (chip types 6, 7 and 8), else 64.
    std::size_t UsbPacketSize() const;
    // Plugged in again: the EEPROM as another process may have programmed it (not while open).
    void Replug();

    // Lets the time pass up to nowMs (deliveries, replies, a due operator reset).
    void Update(SimTime nowMs) { Advance(nowMs); }
    // Nanoseconds from the last moment seen until bytes may reach the host queue (a tick, a
    // full packet, the event character) or the display may answer (its last byte lands);
    // -1 when nothing is on its way. A waiting reader wakes then instead of polling.
    std::int64_t NanosToNextDelivery() const;

    // What the display got and did (for tests and for other processes through frames.log).
    std::size_t FrameCount() const { return frames_.size(); }
    std::vector<std::uint8_t> Frame(std::size_t index) const;
    bool InBootLoader() const;
    const std::vector<std::uint32_t>& EscapeLog() const { return escapes_; }
    std::uint64_t BytesWritten() const { return bytesWritten_; }
    std::uint32_t BlockReads() const { return blockReads_; } // FT_EE_UARead calls
    std::uint32_t WordReads() const { return wordReads_; }   // FT_ReadEE calls
    void SetDisplayResponds(bool responds);

private:
    // Simulator time in nanoseconds: a byte at 115200 baud takes 86.8 microseconds.
    using Nanos = std::uint64_t;
    struct Timed {
        Nanos at;
        std::uint8_t byte;
    };

    Nanos Now(SimTime nowMs);
    Nanos ByteTime() const;
    void Advance(SimTime nowMs);
    void DeliverToDisplay(std::span<const std::uint8_t> bytes, Nanos at);
    void FromDisplay(const std::vector<std::uint8_t>& bytes, Nanos at);
    void MoveReceived(Nanos now);
    Nanos NextTick(Nanos arrival) const;
    bool ImageFits(const void* image, std::uint32_t size) const;
    bool ImageValid() const;
    std::size_t FieldBytes() const;
    d2xx::FT_STATUS Program(const d2xx::FT_EEPROM_X_SERIES& fields, const std::string& manufacturer,
                            const std::string& manufacturerId, const std::string& description,
                            const std::string& serial);
    void PutUserArea(const std::uint8_t* data, std::size_t size);
    // Writes the words in which `next` differs, in address order, one by one as the chip
    // takes them (so a pull can strike between two). False when the cable was pulled.
    bool StoreChangedWords(const EepromImage& next);
    bool StoreWord(std::uint32_t address, std::uint16_t value);
    void SlowWrite() const;
    bool InUserArea(std::uint32_t wordAddress) const;
    static std::uint32_t Millis(Nanos t) { return static_cast<std::uint32_t>(t / 1000000); }
    void HarvestFrames();
    void ClearQueues();
    void EnterBootLoader(bool withBanner, Nanos at);
    void ReleaseBannerTail();
    void LoadState();
    void SaveState() const;
    std::string StatePath(const char* name) const;
    bool LockForSession();
    void Unlock();

    SimConfig config_;
    EepromImage image_;
    std::string manufacturerId_; // D2XX's own string: not kept in the EEPROM

    // Members are grouped by size, so that the object carries no padding.
    std::uint64_t session_ = 0;
    std::uint64_t lastSession_ = 0;
    std::uint64_t bytesWritten_ = 0;
    std::uint64_t bytesRead_ = 0;

    // The caller's 32-bit milliseconds, extended so that they never wrap (with lastMs_, haveTime_).
    Nanos msBase_ = 0; // now_ at lastMs_'s start
    Nanos now_ = 0;
    Nanos opened_ = 0;

    std::deque<Timed> toDisplay_;   // paced bytes on their way to the display
    Nanos txFree_ = 0;
    std::deque<Timed> onWire_;      // the display's bytes on their way to the converter
    Nanos rxFree_ = 0;
    std::deque<Timed> chipBuffer_;  // received, waiting for the latency timer
    std::deque<std::uint8_t> hostQueue_;

    std::unique_ptr<DisplayUnit> unit_;
    Nanos clrDtrAt_ = 0;
    Nanos resetAt_ = 0;
    std::vector<std::uint8_t> bannerTail_; // SplitBannerAt: held until the host sees the head
    std::vector<std::uint32_t> escapes_;
    std::vector<std::vector<std::uint8_t>> frames_;

    d2xx::FTDCB dcb_{};
    d2xx::FTTIMEOUTS timeouts_{};
    std::uint32_t blockReads_ = 0;
    std::uint32_t wordReads_ = 0;
    std::uint32_t eepromWordWrites_ = 0;
    std::uint32_t userAreaWordWrites_ = 0;
    std::uint32_t wordWrites_ = 0;
    std::uint32_t lastMs_ = 0;
    int latencyMs_ = 16;
    platform::File lock_; // held from Open to Close: the converter is busy for other processes
    std::uint8_t eventChar_ = 0;
    std::uint8_t errorChar_ = 0;
    bool eventOn_ = false;
    bool errorOn_ = false;
    bool cablePulled_ = false;
    bool pullArmed_ = true; // PullCableAfterBytes strikes once
    bool faultsArmed_ = false;
    bool dtr_ = false;
    bool rts_ = false;
    bool haveTime_ = false;
    bool haveClrDtr_ = false;
    bool resetPending_ = false;
    bool heldElsewhere_ = false;
};

} // namespace sim
