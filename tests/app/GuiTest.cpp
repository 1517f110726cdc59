#include "GuiTest.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "app/ChildView.h"
#include "app/CrvsetupApp.h"
#include "app/MainFrame.h"
#include "dialogs/Seams.h"
#include "dialogs/QtText.h"
#include "firmware/HexFile.h"
#include "records/MyCrvUsbDevice.h"

#ifndef KESTRUNE_SIM_LIBRARY
#error "the desktop tests need the simulator library"
#endif

namespace {

QSize ScreenFromEnvironment()
{
    const char* text = std::getenv("KESTRUNE_TEST_SCREEN");
    int w = 1920;
    int h = 1080;
    if (text != nullptr)
        std::sscanf(text, "%dx%d", &w, &h);
    return QSize(w, h);
}

// The QApplication lives from before the first test to the end of the process.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static std::string config;
        const QSize size = ScreenFromEnvironment();
        config = (std::filesystem::temp_directory_path() /
                  ("kestrune-screen-" + std::to_string(::getpid()) + ".json")).string();
        std::ofstream(config) << "{ \"screens\": [ { \"name\": \"test\", \"x\": 0, \"y\": 0, \"width\": "
                              << size.width() << ", \"height\": " << size.height()
                              << ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1 } ] }\n";
        const std::string platform = "offscreen:configfile=" + config;
        setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
        static int argc = 1;
        static char name[] = "test_app";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
        std::filesystem::remove(config);
    }
    void TearDown() override
    {
        delete app_;
        app_ = nullptr;
    }

private:
    QApplication* app_ = nullptr;
};

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

QSize TestScreenSize()
{
    return ScreenFromEnvironment();
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void Pump(int ms)
{
    WaitFor([] { return false; }, ms);
}

void GuiTest::SetUp()
{
    gui::seams::Reset();
    // Nothing may ever wait for a user: every box and dialog nobody answered is recorded.
    gui::seams::SetUnattended(true);
    std::filesystem::create_directories(dir_.File("state"));
    std::filesystem::create_directories(dir_.File("config"));
    std::filesystem::create_directories(dir_.File("data"));
    env_.push_back(std::make_unique<ScopedEnv>("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY));
    env_.push_back(std::make_unique<ScopedEnv>("KESTRUNE_PROFILE", dir_.File("kestrune.ini").c_str()));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", dir_.File("config").c_str()));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_DATA_HOME", dir_.File("data").c_str()));
    env_.push_back(std::make_unique<ScopedEnv>("KESTRUNE_SCREENSHOTS", nullptr));
    env_.push_back(std::make_unique<ScopedEnv>("KESTRUNE_SEND_COMMANDS", nullptr));
    device_ = std::make_unique<CMyCrvUsbDevice>();
    Device().ProfilePath = dir_.File("kestrune.ini");
    UseDisplay();
}

void GuiTest::TearDown()
{
    if (theApp.MainWindow() != nullptr)
        theApp.ExitInstance(0);
    Device().Worker().Wait();
    Device().ClosePort();
    device_.reset();
    gui::seams::Reset();
    g_strCommandLineFile.clear();
    while (!env_.empty())
        env_.pop_back();
}

void GuiTest::UseDisplay(const std::string& extraIni)
{
    const std::string ini = dir_.File("sim-" + std::to_string(env_.size()) + ".ini");
    std::ofstream(ini) << "[State]\nFolder=" << dir_.File("state") << "\n"
                       << "[BootLoader]\nResetAfterMs=50\n"
                       << extraIni;
    env_.push_back(std::make_unique<ScopedEnv>("KESTRUNE_SIM", ini.c_str()));
}

void GuiTest::UseNoDisplay()
{
    UseDisplay("[Converter]\nPresent=0\n");
}

std::string GuiTest::WriteFirmware(const std::string& name, std::size_t dataBytes)
{
    const testhex::Image image = testhex::MakeImage(dataBytes);
    firmwareData_ = image.data;
    const std::string path = dir_.File(name);
    std::ofstream(path, std::ios::binary) << image.text;
    return path;
}

void GuiTest::StartApp(const std::vector<std::string>& args)
{
    ASSERT_TRUE(theApp.InitInstance(Device(), args));
}

std::string GuiTest::StatusText() const
{
    CMainFrame* frame = theApp.MainWindow();
    return frame != nullptr ? gui::FromQt(frame->m_wndView->StatusText()) : std::string();
}

std::vector<std::string> GuiTest::BoxTexts() const
{
    std::vector<std::string> texts;
    for (const gui::BoxRequest& box : gui::seams::Boxes())
        texts.push_back(box.text);
    return texts;
}
