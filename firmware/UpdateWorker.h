#pragma once
// Runs one firmware update at a time on a worker thread and reports its result.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "firmware/Firmware.h"
#include "platform/Types.h"
#include "platform/Ui.h"

class CCrvUsbDevice;

// The bytes a run read, checked and sent, for its log record.
struct CheckedFirmware {
    std::uint64_t size = 0;
    std::string sha256;
};

class UpdateWorker {
public:
    explicit UpdateWorker(CCrvUsbDevice& device);
    ~UpdateWorker(); // waits for a running thread: the device never goes away under it
    UpdateWorker(const UpdateWorker&) = delete;
    UpdateWorker& operator=(const UpdateWorker&) = delete;

    // UI thread. Copies the path (a path longer than 259 characters is refused: the run then
    // ends with -1), stores family and frame and starts the thread. FALSE without a thread when
    // a run is still active (nothing changes) or the thread cannot be created.
    BOOL StartUpdate(const std::string& path, std::int32_t family, platform::UpdateSink* frame);
    bool IsRunning() const { return running_.load(); }
    // Blocks until the last thread has ended (front ends without a message loop, tests). Not on
    // the UI thread while a run is active: the run's sink calls complete there.
    void Wait();

    // Shows the result box for m_nResult and m_nFamily through platform::Ui(); a refused file
    // is shown with the system error number the run met (m_nRunError).
    void ReportUpdateResult();

    // Setting the converter's latency timer to 2 ms for the run (restored at its end).
    void SetLatencyTuning(bool on) { latencyTuning_ = on; }

    std::array<char, 260> m_szFirmwarePath{};
    platform::UpdateSink* m_pMainFrame = nullptr;
    std::int32_t m_nFamily = 0;
    std::atomic<std::int32_t> m_nResult{0};
    // GetLastError of the worker thread when the run ended: the reason behind a -1.
    std::atomic<std::uint32_t> m_nRunError{0};
    // What the last run read (size 0: nothing); written before the run's end is posted.
    CheckedFirmware m_checked;

private:
    static void RunUpdate(UpdateWorker* worker);

    CCrvUsbDevice& device_;
    std::thread m_hThread;
    std::atomic<bool> running_{false};
    bool pathTooLong_ = false;
    bool latencyTuning_ = true;
    std::mutex startMutex_;
};

// The result box of a run: text, caption and style, as ReportUpdateResult shows it.
struct UpdateResultBox {
    std::string text;
    std::string caption;
    unsigned flags = 0;
};
UpdateResultBox DescribeUpdateResult(std::int32_t result, std::int32_t family,
                                     std::uint32_t lastError);

// The result of a run the operator stopped (frame's StopRequested): the link was reset and DTR
// cleared as on any failure, the display may hold part of the new image.
inline constexpr std::int32_t kUpdateStopped = -4;

// The update sequence over the device's USB link: the result code of the run (0, -1, -2, -3,
// -4, -33, -34 or the refusing verdict's character code). A lost link or a verdict byte 0
// ends it with -3. The file is read once; whatever happens to it later changes nothing. frame
// may be null. latencyTuning: the converter's latency timer is set to 2 ms for the run when
// the provider can, and given back at its end. checked (may be null) receives the size and
// SHA-256 of the bytes read, left empty when the file could not be read.
std::int32_t UpdateFirmware(CCrvUsbDevice& device, const std::string& path,
                            platform::UpdateSink* frame, std::int32_t family,
                            bool latencyTuning = true, CheckedFirmware* checked = nullptr);
