// The simulated bus in this process, through libusb's own entry points: what the peers cannot
// show directly (packet boundaries, the latency wait, a cable pulled mid-session, a second
// opener) and, in a sanitizer build, the library itself under the sanitizers.
#include <gtest/gtest.h>
#include <libusb.h>

#include <dlfcn.h>

#include <chrono>
#include <vector>

#include "support/TempDir.h"

namespace {

class UsbFace : public ::testing::Test {
protected:
    UsbFace() : simFile_("KESTRUNE_SIM", dir_.File("sim.ini").c_str()) {}

    void SetUp() override
    {
        lib_ = dlopen(KESTRUNE_USBSIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr) << dlerror();
        Call<void (*)()>("KestruneUsbSim_Reset")();
        ASSERT_EQ(Call<int (*)(libusb_context**)>("libusb_init")(&ctx_), 0);
    }
    void TearDown() override
    {
        if (handle_)
            Call<void (*)(libusb_device_handle*)>("libusb_close")(handle_);
        if (ctx_)
            Call<void (*)(libusb_context*)>("libusb_exit")(ctx_);
        // Stays loaded, as libusb does in its clients: its bus lives as long as the process.
    }

    template <typename F>
    F Call(const char* name)
    {
        auto f = reinterpret_cast<F>(dlsym(lib_, name));
        EXPECT_NE(f, nullptr) << name;
        return f;
    }
    std::vector<libusb_device*> List()
    {
        libusb_device** list = nullptr;
        const ssize_t n = Call<ssize_t (*)(libusb_context*, libusb_device***)>(
            "libusb_get_device_list")(ctx_, &list);
        std::vector<libusb_device*> out(list, list + (n > 0 ? n : 0));
        EXPECT_EQ(list[n > 0 ? n : 0], nullptr); // the list ends with a null entry
        Call<void (*)(libusb_device**, int)>("libusb_free_device_list")(list, 1);
        return out;
    }
    int Open(libusb_device* dev, libusb_device_handle** h)
    {
        const int rc = Call<int (*)(libusb_device*, libusb_device_handle**)>("libusb_open")(dev, h);
        return rc ? rc : Call<int (*)(libusb_device_handle*, int)>("libusb_claim_interface")(*h, 0);
    }
    int BulkIn(std::vector<std::uint8_t>& buffer, unsigned timeoutMs = 1000)
    {
        int got = -1;
        const int rc = Call<int (*)(libusb_device_handle*, unsigned char, unsigned char*, int, int*,
                                    unsigned)>("libusb_bulk_transfer")(
            handle_, 0x81, buffer.data(), static_cast<int>(buffer.size()), &got, timeoutMs);
        return rc ? rc : got;
    }
    int Control(std::uint8_t type, std::uint8_t request, std::uint16_t value)
    {
        return Call<int (*)(libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t,
                            unsigned char*, uint16_t, unsigned)>("libusb_control_transfer")(
            handle_, type, request, value, 1, nullptr, 0, 1000);
    }

    TempDir dir_;
    ScopedEnv simFile_;
    void* lib_ = nullptr;
    libusb_context* ctx_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
};

TEST_F(UsbFace, PacketsWaitForTheLatencyTimerOrAFullPacket)
{
    WriteText(dir_.File("sim.ini"), "[Link]\nLatencyTimerMs=40\n[State]\nFolder=\n");
    const auto devices = List();
    ASSERT_EQ(devices.size(), 1u);
    ASSERT_EQ(Open(devices[0], &handle_), 0);
    std::vector<std::uint8_t> in(4096);

    // Idle: the status bytes alone, once the latency timer ran out.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(BulkIn(in), 2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(35));
    // A shorter client time-out ends the wait sooner, still with a packet.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(BulkIn(in, 5), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

    // 70 bytes from the display: 62 go at once, the rest at the next tick.
    std::vector<std::uint8_t> sent(70);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<std::uint8_t>(0x80 + i);
    Call<void (*)(const std::uint8_t*, std::uint32_t)>("KestruneUsbSim_InjectFromDisplay")(
        sent.data(), 70);
    ASSERT_EQ(BulkIn(in), 64);
    EXPECT_EQ(in[2], 0x80);
    ASSERT_EQ(BulkIn(in), 10);
    EXPECT_EQ(in[0], 0x31);
    EXPECT_EQ(in[9], 0x80 + 69);
}

TEST_F(UsbFace, APulledCableAndASecondOpener)
{
    WriteText(dir_.File("sim.ini"), "[State]\nFolder=\n");
    auto devices = List();
    ASSERT_EQ(devices.size(), 1u);
    ASSERT_EQ(Open(devices[0], &handle_), 0);
    libusb_device_handle* second = nullptr;
    EXPECT_EQ(Open(devices[0], &second), LIBUSB_ERROR_BUSY);
    Call<void (*)(libusb_device_handle*)>("libusb_close")(second);

    EXPECT_EQ(Control(0x40, 0x01, 0x0101), 0); // DTR on
    EXPECT_EQ(Call<std::uint32_t (*)()>("KestruneUsbSim_ModemLines")(), 1u);
    EXPECT_EQ(Control(0x40, 0x7F, 0), LIBUSB_ERROR_PIPE); // no such request

    Call<void (*)()>("KestruneUsbSim_PullCable")();
    std::vector<std::uint8_t> in(64);
    EXPECT_EQ(BulkIn(in), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(Control(0x40, 0x01, 0x0100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(List().empty());
    Call<void (*)()>("KestruneUsbSim_PlugCable")();
    EXPECT_EQ(List().size(), 1u);
    // The old session died with the cable; a new open gets a new one.
    EXPECT_EQ(BulkIn(in), LIBUSB_ERROR_NO_DEVICE);
}

} // namespace
