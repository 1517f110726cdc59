#include "link/CrvUsbDevice.h"

#include "link/DeviceSelection.h"
#include "link/LineSettings.h"

#include <algorithm>
#include <vector>

#include "platform/Clock.h"
#include "platform/Ui.h"
#include "protocol/DeviceModel.h"
#include "res/Strings.h"

using d2xx::FT_OK;

namespace {

constexpr const char* kDriverText = "Please install CORVINA USB driver Version 2.08.30 or above!";
constexpr const char* kVeryOldDriverCaption = "Very old Driver Version";
constexpr const char* kOldDriverCaption = "Old Driver Version";

constexpr d2xx::WORD kConverterVendorId = 0x0403;
constexpr d2xx::WORD kConverterProductId = 0xF209;
constexpr std::uint32_t kDefaultBaudRate = 115200;
constexpr std::uint8_t kOpalCode = 89;
constexpr d2xx::DWORD kPurgeBoth = d2xx::PURGE_TXCLEAR | d2xx::PURGE_RXCLEAR;

// Windows drivers number 2.08.30 as 0x20830. The Linux library has no driver of its own and
// answers with its own version (1.4.x is 0x104xx), which the Windows floor would always refuse.
bool DriverVersionAccepted(d2xx::DWORD version)
{
    if (version >= 0x00020000)
        return version >= 0x00020830;
    return version >= 0x00010400;
}

} // namespace

CCrvUsbDevice::CCrvUsbDevice() : m_hDevice(d2xx::InvalidHandle()) {}

CCrvUsbDevice::~CCrvUsbDevice()
{
    CCrvUsbDevice::ClosePort();
}

BOOL CCrvUsbDevice::BindD2xxLibrary()
{
    return m_d2xx.Bind();
}

BOOL CCrvUsbDevice::OpenPort(std::string_view /*portName*/)
{
    OpenFailureCause = d2xx::kOpenFailureUnknown;
    if (!BindD2xxLibrary())
        return FALSE;
    std::string serial;
    if (!FindFirstDevice(serial, 128))
        return FALSE;

    // A handle kept from an open that failed a later step holds the converter busy, and the
    // reopen after a lost link would then never get it again.
    if (IsOpen()) {
        m_d2xx.W32_CloseHandle(m_hDevice);
        m_hDevice = d2xx::InvalidHandle();
    }
    if (OpenLocation) {
        // With FT_OPEN_BY_LOCATION the name is the location itself, not a pointer to text.
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        m_hDevice = m_d2xx.W32_CreateFile(reinterpret_cast<const char*>(static_cast<std::uintptr_t>(*OpenLocation)),
                                          d2xx::GENERIC_READ | d2xx::GENERIC_WRITE, 0, nullptr, d2xx::OPEN_EXISTING,
                                          d2xx::FT_OPEN_BY_LOCATION, nullptr);
    } else {
        m_hDevice = m_d2xx.W32_CreateFile(serial.c_str(), d2xx::GENERIC_READ | d2xx::GENERIC_WRITE, 0, nullptr,
                                          d2xx::OPEN_EXISTING, d2xx::FT_OPEN_BY_SERIAL_NUMBER, nullptr);
    }
    if (!IsOpen()) {
        m_hDevice = d2xx::InvalidHandle();
        OpenFailureCause = m_d2xx.OpenFailure();
        return FALSE;
    }

    d2xx::DWORD version = 0;
    if (m_d2xx.GetDriverVersion(m_hDevice, &version) != FT_OK) {
        platform::Ui().MessageBox(kDriverText, kVeryOldDriverCaption, platform::MB_ICONERROR,
                                  platform::BoxOwner::None);
        return FALSE;
    }
    if (!DriverVersionAccepted(version)) {
        platform::Ui().MessageBox(kDriverText, kOldDriverCaption, platform::MB_ICONERROR,
                                  platform::BoxOwner::None);
        return FALSE;
    }

    d2xx::FT_DEVICE chip = 0;
    d2xx::DWORD id = 0;
    if (m_d2xx.GetDeviceInfo(m_hDevice, &chip, &id, nullptr, nullptr, nullptr) != FT_OK)
        return FALSE;
    ChipType = chip;

    UserAreaValid = ReadUserArea();
    if (UserAreaValid)
        ParseUserArea();
    const std::uint8_t code = UserAreaImage[0];
    const bool opal = UserAreaValid && code == kOpalCode;

    d2xx::FTDCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    m_d2xx.W32_GetCommState(m_hDevice, &dcb);
    std::uint32_t baud = kDefaultBaudRate;
    if (UserAreaValid && code != 0) {
        const int row = FindDeviceModel(static_cast<std::uint32_t>(DeviceId));
        if (row >= 0)
            baud = static_cast<std::uint32_t>(DeviceModelTable[row].BaudRate);
    }
    if (BaudRateOverride != 0)
        baud = static_cast<std::uint32_t>(BaudRateOverride);
    ApplyPlainLine(dcb, baud, opal ? d2xx::RTS_CONTROL_ENABLE : d2xx::RTS_CONTROL_DISABLE);
    m_lineBaud = baud;
    m_d2xx.W32_SetCommState(m_hDevice, &dcb);

    // Reads return at once with what is queued; ReadBuffer does the waiting.
    d2xx::FTTIMEOUTS timeouts{0xFFFFFFFFu, 0, 0, 100, 1};
    if (!m_d2xx.W32_SetCommTimeouts(m_hDevice, &timeouts))
        return FALSE;

    if (opal) {
        m_d2xx.W32_EscapeCommFunction(m_hDevice, d2xx::CLRDTR);
        m_d2xx.W32_EscapeCommFunction(m_hDevice, d2xx::SETRTS);
    }
    return TRUE;
}

std::string CCrvUsbDevice::OpenFailureSentence() const
{
    switch (OpenFailureCause) {
    case d2xx::kOpenFailureBusy: return LoadStdString(IDS_CONVERTER_BUSY);
    case d2xx::kOpenFailureAccessDenied: return LoadStdString(IDS_CONVERTER_ACCESS_DENIED);
    case kOpenFailureNotNamed: return converters::NoMatchSentence(converters::CurrentDeviceSelection());
    case kOpenFailureAmbiguous: return converters::AmbiguousSentence(converters::CurrentDeviceSelection());
    default: return {};
    }
}

BOOL CCrvUsbDevice::FindFirstDevice(std::string& serial, int size)
{
    if (size <= 0)
        return FALSE;
    std::vector<char> work(static_cast<std::size_t>(size), '\0');
    serial.clear();

    d2xx::DWORD count = 0;
    auto anyListed = [this, &count] {
        count = 0;
        return m_d2xx.ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY) == FT_OK &&
               count > 0;
    };
    ChosenConverter.clear();
    if (!anyListed()) {
        // A converter plugged in a moment ago may not be enumerated yet.
        m_d2xx.Rescan();
        platform::Sleep(250);
        m_d2xx.Reload(kConverterVendorId, kConverterProductId);
        platform::Sleep(250);
        if (!anyListed())
            return FALSE;
    }
    // A converter named on the bench (--device) instead of device 0.
    const converters::DeviceSelection& selection = converters::CurrentDeviceSelection();
    std::uintptr_t index = 0;
    OpenLocation.reset();
    const std::vector<converters::ListedConverter> listed =
        count > 1 || selection.Named() ? converters::ListConverters(m_d2xx) : std::vector<converters::ListedConverter>{};
    if (selection.Named()) {
        const int chosen = converters::SelectConverter(listed, selection);
        if (chosen < 0) {
            OpenFailureCause = chosen == converters::kAmbiguousSelection ? kOpenFailureAmbiguous : kOpenFailureNotNamed;
            return FALSE;
        }
        index = static_cast<std::uintptr_t>(chosen);
    }
    // A serial another converter lists too (or none at all) would open that other one: the
    // converter is opened by its location instead.
    if (!listed.empty() && index < listed.size() && !converters::SerialOpensOnlyItself(listed, static_cast<int>(index)) &&
        listed[index].locationId != 0)
        OpenLocation = listed[index].locationId;
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::fill(work.begin(), work.end(), '\0');
        // With FT_LIST_BY_INDEX the first argument is the index itself, not a pointer to it.
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        if (m_d2xx.ListDevices(reinterpret_cast<void*>(index), work.data(),
                               d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_SERIAL_NUMBER) == FT_OK) {
            work.back() = '\0';
            serial = work.data();
            // On a bench the ready line says which converter this is.
            if (OpenLocation)
                ChosenConverter = listed[index].LocationName();
            else if (selection.Named() || count > 1)
                ChosenConverter = serial.empty() ? "index:" + std::to_string(index) : "serial:" + serial;
            return TRUE;
        }
    }
    return FALSE;
}

std::int32_t CCrvUsbDevice::ReadBuffer(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs)
{
    const std::uint32_t start = platform::GetTickCount();
    if (m_bLinkLost)
        return 1;
    if (!IsOpen())
        return 0;

    const std::size_t want = buffer.size();
    std::size_t got = 0;
    while (got < want) {
        bool progressed = false;
        d2xx::DWORD queued = 0;
        if (m_d2xx.GetQueueStatus(m_hDevice, &queued) == FT_OK && queued > 0) {
            const auto n = static_cast<d2xx::DWORD>(std::min<std::size_t>(queued, want - got));
            d2xx::DWORD read = 0;
            if (!m_d2xx.W32_ReadFile(m_hDevice, buffer.data() + got, n, &read)) {
                m_d2xx.W32_ClearCommError(m_hDevice);
                m_d2xx.StopInTask(m_hDevice);
                m_d2xx.W32_PurgeComm(m_hDevice, kPurgeBoth);
                m_d2xx.RestartInTask(m_hDevice);
                return 0;
            }
            got += std::min<std::size_t>(read, n);
            progressed = read > 0;
        }
        const std::uint32_t spent = platform::GetTickCount() - start;
        if (spent > timeoutMs)
            break;
        if (!progressed && got < want)
            PollNap((timeoutMs - spent + 1) * 1000u);
    }
    return static_cast<std::int32_t>(got);
}

// A millisecond's nap between empty polls keeps a long wait off the processor. Around the
// moment the last request has left the wire its answer is due: shorter naps then let a
// stop-and-wait exchange see it within a fraction of a millisecond. Before that moment no
// answer can come, so one sleep takes the wait there: each wake-up costs a task switch.
void CCrvUsbDevice::PollNap(std::uint32_t mostUs) const
{
    constexpr std::int64_t kEarlyUs = 150;   // an answer may follow the line's last byte at once
    constexpr std::int64_t kWindowUs = 3000; // later answers wait for a latency tick anyway
    constexpr std::int64_t kLongestUs = 20000;
    const auto sinceFree = static_cast<std::int64_t>(platform::MicroCount() - m_lineFreeAtUs);
    if (m_lineFreeAtUs == 0 || sinceFree >= kWindowUs) {
        platform::Sleep(1);
        return;
    }
    const std::int64_t toAnswer = -sinceFree - kEarlyUs;
    const auto fine = static_cast<std::int64_t>(platform::kNapUs);
    const std::int64_t us = toAnswer > fine ? std::min({toAnswer, kLongestUs, static_cast<std::int64_t>(mostUs)}) : fine;
    platform::Nap(static_cast<std::uint32_t>(std::max(us, fine)));
}

void CCrvUsbDevice::NoteWritten(std::size_t bytes)
{
    if (m_lineBaud == 0)
        return;
    // Ten bits a character: start, eight data bits, stop.
    const std::uint64_t now = platform::MicroCount();
    const std::uint64_t wireUs = static_cast<std::uint64_t>(bytes) * 10u * 1000000u / m_lineBaud;
    const bool busy = m_lineFreeAtUs != 0 && static_cast<std::int64_t>(m_lineFreeAtUs - now) > 0;
    m_lineFreeAtUs = (busy ? m_lineFreeAtUs : now) + wireUs;
}

BOOL CCrvUsbDevice::WriteByte(std::int32_t value)
{
    if (m_bLinkLost)
        return TRUE;
    if (!IsOpen())
        return FALSE;
    const std::uint8_t byte = static_cast<std::uint8_t>(value & 0xFF);
    d2xx::DWORD written = 0;
    if (m_d2xx.W32_WriteFile(m_hDevice, &byte, 1, &written) && written == 1) {
        NoteWritten(1);
        return TRUE;
    }
    m_d2xx.W32_ClearCommError(m_hDevice);
    return FALSE;
}

BOOL CCrvUsbDevice::WriteBuffer(std::span<const std::uint8_t> data)
{
    if (m_bLinkLost) {
        if (!OpenPort("USB"))
            return TRUE;
        m_bLinkLost = FALSE;
    }
    if (!IsOpen())
        return FALSE;
    const auto length = static_cast<d2xx::DWORD>(data.size());
    d2xx::DWORD written = 0;
    if (m_d2xx.W32_WriteFile(m_hDevice, data.data(), length, &written) && written == length) {
        NoteWritten(data.size());
        return TRUE;
    }
    m_d2xx.W32_ClearCommError(m_hDevice);
    m_d2xx.StopInTask(m_hDevice);
    m_d2xx.W32_PurgeComm(m_hDevice, kPurgeBoth);
    m_d2xx.RestartInTask(m_hDevice);
    m_d2xx.W32_CloseHandle(m_hDevice);
    m_hDevice = d2xx::InvalidHandle();
    m_bLinkLost = TRUE;
    return FALSE;
}

void CCrvUsbDevice::PurgePort()
{
    if (!IsOpen())
        return;
    m_d2xx.StopInTask(m_hDevice);
    m_d2xx.W32_PurgeComm(m_hDevice, kPurgeBoth);
    m_d2xx.RestartInTask(m_hDevice);
}

void CCrvUsbDevice::ClosePort()
{
    if (IsOpen()) {
        CCrvUsbDevice::PurgePort(); // also run by the destructor: no virtual call
        m_d2xx.W32_CloseHandle(m_hDevice);
    }
    m_hDevice = d2xx::InvalidHandle();
    m_bLinkLost = FALSE;
    if (m_d2xx.IsLoaded())
        m_d2xx.Free();
}

std::int32_t CCrvUsbDevice::GetBytesAvailable()
{
    d2xx::DWORD queued = 0;
    if (m_d2xx.GetQueueStatus(m_hDevice, &queued) != FT_OK)
        return -1;
    return static_cast<std::int32_t>(queued);
}

BOOL CCrvUsbDevice::ReadUserArea()
{
    d2xx::FT_DEVICE chip = 0;
    d2xx::DWORD id = 0;
    char serial[16] = {};
    char description[64] = {};
    if (m_d2xx.GetDeviceInfo(m_hDevice, &chip, &id, serial, description, nullptr) != FT_OK)
        return FALSE;

    const bool byWords =
        ReadUserAreaMethod != 1 && (chip == d2xx::FT_DEVICE_X_SERIES || ReadUserAreaMethod == 2);
    if (byWords) {
        const d2xx::DWORD first = chip == d2xx::FT_DEVICE_X_SERIES ? 0x12 : 0x30;
        // 13 words cover the 25 bytes; the 26th lands in the zeroed tail of the buffer.
        for (d2xx::DWORD i = 0; i < 13; ++i) {
            d2xx::WORD word = 0;
            if (m_d2xx.ReadEE(m_hDevice, first + i, &word) != FT_OK)
                return FALSE;
            const std::size_t at = 2 * std::size_t{i};
            UserAreaImage[at] = static_cast<std::uint8_t>(word & 0xFF);
            UserAreaImage[at + 1] = static_cast<std::uint8_t>(word >> 8);
        }
    } else {
        d2xx::DWORD got = 0;
        if (m_d2xx.EE_UARead(m_hDevice, UserAreaImage.data(), kUserAreaSize, &got) != FT_OK ||
            got < kUserAreaSize)
            return FALSE;
    }
    std::fill(UserAreaImage.begin() + kUserAreaSize, UserAreaImage.end(), 0);
    return TRUE;
}

BOOL CCrvUsbDevice::ParseUserArea()
{
    DeviceId = UserAreaImage[0];
    if (!UserAreaChecksumMatches(UserAreaImage)) {
        platform::Ui().MessageBeep(platform::MB_ICONEXCLAMATION);
        platform::Sleep(500);
        platform::Ui().MessageBeep(platform::MB_ICONEXCLAMATION);
    }
    return UserAreaValid;
}
