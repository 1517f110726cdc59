#include "firmware/UpdateWorker.h"

#include <cstring>
#include <system_error>

#include "link/CrvUsbDevice.h"
#include "platform/LastError.h"
#include "res/Strings.h"

namespace {
constexpr std::uint32_t kErrorFilenameTooLong = 206;
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
    if (worker->pathTooLong_) {
        platform::SetLastError(kErrorFilenameTooLong);
    }
    worker->m_checked = {};
    const std::int32_t result =
        worker->pathTooLong_
            ? -1
            : UpdateFirmware(worker->device_, worker->m_szFirmwarePath.data(), worker->m_pMainFrame,
                             worker->m_nFamily, worker->latencyTuning_, &worker->m_checked);
    // The error number is per thread: the report on the UI thread would otherwise show its own.
    worker->m_nRunError = platform::GetLastError();
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
    const UpdateResultBox box = DescribeUpdateResult(m_nResult.load(), m_nFamily, m_nRunError.load());
    platform::Ui().MessageBox(box.text, box.caption, box.flags, platform::BoxOwner::None);
}
