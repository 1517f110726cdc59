// The text, caption and style of the box that closes an update run.
#include <cstdio>

#include "firmware/UpdateWorker.h"
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
    if (result == kUpdateStopped) {
        return {LoadStdString(IDS_UPDATE_STOPPED), flashCaption, platform::MB_ICONERROR};
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
