// The user area is whatever the converter holds: any 25 bytes must decode without harm, and a
// record that decodes must encode back to the same values.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/LastError.h"
#include "records/DeviceData.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kUserAreaSize)
        return 0;
    UserAreaImageBuffer image{};
    std::memcpy(image.data(), data, kUserAreaSize);
    DeviceData record;
    try {
        DecodeUserArea(image, record);
    } catch (const platform::CommandError&) {
        return 0;
    }
    UserAreaImageBuffer again{};
    if (EncodeUserArea(record, again)) {
        DeviceData back;
        if (!DecodeUserArea(again, back) || back.DeviceCode != record.DeviceCode ||
            back.SerialPart1 != record.SerialPart1 || back.SerialPart2 != record.SerialPart2 ||
            back.SerialPart3 != record.SerialPart3)
            std::abort();
    }
    return 0;
}
