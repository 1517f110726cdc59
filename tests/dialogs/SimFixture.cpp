#include "SimFixture.h"

#include <QDir>
#include <QStandardPaths>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "platform/Profile.h"
#include "records/MyCrvUsbDevice.h"

QApplication& TestApplication()
{
    static int argc = 1;
    static char name[] = "test_dialogs";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

void SimFixture::SetUp()
{
    TestApplication();
    char pattern[] = "/tmp/kestrune-dlg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_dir = pattern;
    m_simIni = m_dir + "/sim.ini";
    std::filesystem::create_directories(m_dir + "/c");
    setenv("KESTRUNE_SIM", m_simIni.c_str(), 1);
    setenv("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY, 1);
    setenv("KESTRUNE_PROFILE", (m_dir + "/kestrune.ini").c_str(), 1);
    setenv("KESTRUNE_DRIVE_C", (m_dir + "/c").c_str(), 1);
    setenv("KESTRUNE_REGISTRY", (m_dir + "/registry.reg").c_str(), 1);
    // Every write to the converter leaves a backup there.
    setenv("XDG_DATA_HOME", (m_dir + "/data").c_str(), 1);
    setenv("TZ", "UTC", 1);
    tzset();
    m_pDevice = std::make_unique<CMyCrvUsbDevice>();
    Device().ProfilePath = m_dir + "/kestrune.ini";
    m_sim = std::make_unique<sim::SimControl>(KESTRUNE_SIM_LIBRARY);
    ASSERT_TRUE(m_sim->Loaded());
    Configure();
}

void SimFixture::TearDown()
{
    if (m_pDevice)
        Device().Disconnect();
    m_pDevice.reset();
    m_sim.reset();
    std::error_code ec;
    if (!m_dir.empty())
        std::filesystem::remove_all(m_dir, ec);
}

void SimFixture::Configure(std::initializer_list<IniValue> values)
{
    const IniValue defaults[] = {
        {"Converter", "Present", "1"},
        {"Converter", "ChipType", "9"},
        {"Eeprom", "VendorId", "0x0403"},
        {"Eeprom", "ProductId", "0x6001"},
        {"Eeprom", "Manufacturer", "ZKM"},
        {"Eeprom", "ManufacturerId", "ZK"},
        {"Eeprom", "Description", "Corvina KV"},
        {"Eeprom", "SerialNumber", "ZK000012"},
        {"UserArea", "DeviceCode", "0x5f"},
        {"UserArea", "SerialNumber", "0012.0345.006"},
        {"UserArea", "Manufacturing", "2015-03-04"},
        {"UserArea", "LastUpdate", "2016-05-06"},
        {"Display", "Revision", "1.23"},
        {"Link", "LatencyTimerMs", "0"},
    };
    if (!std::filesystem::exists(m_simIni))
        for (const IniValue& v : defaults)
            platform::WritePrivateProfileString(v.section, v.key, v.value, m_simIni);
    for (const IniValue& v : values)
        platform::WritePrivateProfileString(v.section, v.key, v.value, m_simIni);
    m_sim->Reset();
}

bool SimFixture::Connect() { return Device().ConnectDevice(FALSE) != 0; }

std::vector<std::string> SimFixture::BoxTexts() const
{
    std::vector<std::string> texts;
    for (const auto& box : m_ui.Boxes())
        texts.push_back(box.text);
    return texts;
}

std::string SimFixture::StateFile(const std::string& name) const
{
    std::ifstream in(m_dir + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> SimFixture::ReceivedFrames() const
{
    std::vector<std::string> frames;
    std::istringstream in(StateFile("frames.log"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string spaced;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (i && i % 2 == 0)
                spaced += ' ';
            spaced += static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
        }
        if (!spaced.empty())
            frames.push_back(spaced);
    }
    return frames;
}

std::string SimFixture::RunCli(const std::string& arguments, int* status) const
{
#ifdef KESTRUNE_CLI
    const std::string command = std::string(KESTRUNE_CLI) + " " + arguments + " 2>/dev/null";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
            out.append(buffer, n);
        const int rc = pclose(pipe);
        if (status)
            *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    return out;
#else
    (void)arguments;
    (void)status;
    return {};
#endif
}

std::string SimFixture::ProductionLog() const
{
    std::ifstream in(m_dir + "/c/LOG/fertigung.log", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Click(QWidget* parent, const char* name)
{
    auto* button = parent->findChild<QPushButton*>(name);
    ASSERT_NE(button, nullptr) << name;
    QTest::mouseClick(button, Qt::LeftButton);
}

void TypeInto(QLineEdit* edit, const QString& text)
{
    ASSERT_NE(edit, nullptr);
    edit->setFocus();
    edit->selectAll();
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}
