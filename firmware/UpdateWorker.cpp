#include "firmware/UpdateWorker.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "link/CrvUsbDevice.h"
#include "platform/LastError.h"
#include "res/Strings.h"

namespace {

struct VerdictText {
    char verdict;
    StringId text;
};
constexpr VerdictText kVerdictTexts[] = {
    {'-', IDS_ERROR_WRITING_FLASH}, {'A', IDS_VERDICT_ADDRESS},     {'F', IDS_VERDICT_FLASH_WRITE},
    {'H', IDS_VERDICT_NON_HEX},     {'L', IDS_VERDICT_LENGTH},      {'P', IDS_VERDICT_PROGRAMMING},
    {'R', IDS_VERDICT_RECORD_TYPE}, {'S', IDS_VERDICT_CHECKSUM},    {'V', IDS_VERDICT_READ_BACK},
};

std::string VerdictMessage(std::int32_t result) {
    for (const VerdictText& row : kVerdictTexts) {
        if (result == static_cast<unsigned char>(row.verdict)) {
            return LoadStdString(row.text);
        }
    }
    return {};
}

} // namespace

UpdateResultBox DescribeUpdateResult(std::int32_t result, std::int32_t family, std::uint32_t lastError) {
    const std::string flashCaption = LoadStdString(IDS_ERROR_WRITING_FLASH);
    char number[32];
    if (result == -1) {
        // Printed the way a signed long shows the system's error number.
        std::snprintf(number, sizeof number, " (%ld) ", static_cast<long>(static_cast<std::int32_t>(lastError)));
        return {LoadStdString(IDS_ERROR_LOADING_FIRMWARE) + number, flashCaption, platform::MB_ICONERROR};
    }
    if (result == 0) {
        return {LoadStdString(IDS_FIRMWARE_UPDATED), LoadStdString(IDR_MAINFRAME), platform::MB_OK};
    }
    if (family != 0) {
        std::snprintf(number, sizeof number, " (%d).", static_cast<int>(result));
        return {flashCaption + number, flashCaption, platform::MB_ICONERROR};
    }
    switch (result) {
    case -3:
        return {LoadStdString(IDS_DEVICE_NOT_RESPONDING), flashCaption, platform::MB_ICONERROR};
    case -2:
        return {LoadStdString(IDS_ERROR_COMM_PARAMETERS), flashCaption, platform::MB_ICONERROR};
    default:
        return {VerdictMessage(result), flashCaption, platform::MB_ICONERROR};
    }
}

UpdateWorker::UpdateWorker(CCrvUsbDevice& device) : device_(device) {}

UpdateWorker::~UpdateWorker() { Wait(); }

BOOL UpdateWorker::StartUpdate(const std::string& path, std::int32_t family, platform::UpdateSink* frame) {
    std::lock_guard lock(startMutex_);
    if (running_.load()) {
        return FALSE;
    }
    if (m_hThread.joinable()) {
        m_hThread.join(); // the last run has posted its end; its thread is finishing
    }
    m_szFirmwarePath.fill('\0');
    // A longer path would be cut into the name of some other file.
    pathTooLong_ = path.size() >= m_szFirmwarePath.size();
    if (!pathTooLong_) {
        std::memcpy(m_szFirmwarePath.data(), path.data(), path.size());
    }
    m_nFamily = family;
    m_pMainFrame = frame;
    running_ = true;
    try {
        m_hThread = std::thread(&UpdateWorker::RunUpdate, this);
    } catch (const std::system_error&) {
        running_ = false;
        return FALSE;
    }
    return TRUE;
}

void UpdateWorker::RunUpdate(UpdateWorker* worker) {
    if (worker == nullptr) {
        return;
    }
    const std::int32_t result =
        worker->pathTooLong_
            ? -1
            : UpdateFirmware(worker->device_, worker->m_szFirmwarePath.data(), worker->m_pMainFrame,
                             worker->m_nFamily, worker->latencyTuning_);
    worker->m_nResult = result;
    platform::UpdateSink* frame = worker->m_pMainFrame;
    // Cleared before the post, so the end-of-run handler may already start the next run.
    worker->running_ = false;
    if (frame != nullptr) {
        frame->PostUpdateFinished();
    }
}

void UpdateWorker::Wait() {
    std::lock_guard lock(startMutex_);
    if (m_hThread.joinable()) {
        m_hThread.join();
    }
}

void UpdateWorker::ReportUpdateResult() {
    const UpdateResultBox box = DescribeUpdateResult(m_nResult.load(), m_nFamily, platform::GetLastError());
    platform::Ui().MessageBox(box.text, box.caption, box.flags, platform::BoxOwner::None);
}
