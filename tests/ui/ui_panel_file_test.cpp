// The panel file against the real Velmora.uir and the program's real declaration table,
// through Ui_LoadPanel (QUiLoader and the check): the good file loads, every kind of damage
// is refused with its own negative result and a reason, and leaves no window behind.

#include <gtest/gtest.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/panel.h"
#include "platform/ui/core.h"
#include "ui/ui_qt_fixture.h"

using namespace uicore;

namespace {

std::string GoodText()
{
    std::ifstream file(VELMORA_TEST_PANEL_FILE, std::ios::binary);
    std::stringstream s;
    s << file.rdbuf();
    return s.str();
}

std::string Replace(std::string text, const std::string &from, const std::string &to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "the good file no longer holds: " << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Replaces the first `from` after `anchor`.
std::string ReplaceAfter(std::string text, const std::string &anchor, const std::string &from, const std::string &to)
{
    const std::size_t at = text.find(from, text.find(anchor));
    EXPECT_NE(at, std::string::npos) << "the good file no longer holds: " << anchor << " ... " << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Removes the element that holds name="NAME", nested elements of its tag included, from
// the start of its line to the end of its end tag's line; the text as it is when none does.
std::string RemoveElement(const std::string &text, const std::string &name, const std::string &tag = "widget")
{
    const std::size_t at = text.find("name=\"" + name + "\"");
    if (at == std::string::npos) {
        return text;
    }
    const std::size_t begin = text.rfind('\n', at) + 1;
    std::size_t pos = at;
    for (int depth = 1; depth > 0;) {
        const std::size_t open = text.find("<" + tag + " ", pos);
        const std::size_t close = text.find("</" + tag + ">", pos);
        depth += open < close ? 1 : -1;
        pos = std::min(open, close) + 1;
    }
    return text.substr(0, begin) + text.substr(text.find('\n', pos) + 1);
}

// A control with everything that belongs to it: its caption and its value display.
std::string RemoveControl(const std::string &text, const std::string &name)
{
    return RemoveElement(RemoveElement(RemoveElement(text, name), name + "_CAPTION"), name + "_DISPLAY");
}

std::string Repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

// Loads the file (the program asks for panel resourceId), discards what loaded and gives
// 0 for it; the reason for a refusal is what Ui_LoadPanel writes to standard error.
int Load(const std::string &path, int resourceId = MAIN_PANEL, std::string *why = nullptr)
{
    if (SharedPanel() <= 0) {
        return -100;
    }
    const auto windows = QApplication::topLevelWidgets().size();
    testing::internal::CaptureStderr();
    const int handle = Ui_LoadPanel(0, path.c_str(), resourceId);
    const std::string error = testing::internal::GetCapturedStderr();
    if (why != nullptr) {
        *why = error;
    }
    if (handle > 0) {
        Ui_DiscardPanel(handle);
        return 0;
    }
    EXPECT_EQ(QApplication::topLevelWidgets().size(), windows) << "a refused file left a window";
    return handle;
}

int Parse(const std::string &text, int resourceId = MAIN_PANEL, std::string *why = nullptr)
{
    const std::string path = testing::TempDir() + "velmora-panel-under-test.uir";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    return Load(path, resourceId, why);
}

TEST(PanelFile, TheShippedFileLoads)
{
    std::string why;
    EXPECT_EQ(Load(VELMORA_TEST_PANEL_FILE, MAIN_PANEL, &why), 0) << why;
}

// The loader brings no Designer plugin into the program, though one is installed beside Qt.
TEST(PanelFile, NoDesignerPluginIsLoaded)
{
    ASSERT_EQ(Load(VELMORA_TEST_PANEL_FILE), 0);
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        EXPECT_EQ(line.find("/designer/"), std::string::npos) << line;
    }
}

// What Designer may write differently from the shipped file is accepted alike.
TEST(PanelFile, DesignerVariationsRead)
{
    const std::string good = GoodText();
    std::string crlf;
    for (char c : good) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const std::string variations[] = {
        crlf,
        Replace(good, "<string>STOP</string>", "<string>&quot;STOP&quot; &amp; go</string>"),
        Replace(good, "<x>28</x><y>41</y>", "\n<x> 28 </x><!-- left -->\n<y>41</y>"),
        Replace(good, "<double>0.01</double>", "<double>0.010000000000000</double>"),
        ReplaceAfter(good, "RING_LEFT_RIGHT", "<property name=\"currentIndex\"><number>0</number></property>", ""),
        Replace(Replace(good, "<width>810</width><height>610</height>", "<width>4000</width><height>4000</height>"),
                "<x>10</x><y>50</y><width>380</width><height>360</height>",
                "<x>10</x><y>50</y><width>2048</width><height>2048</height>"),
        Replace(good, "<widget class=\"QMenuBar\"", "<widget class=\"QStatusBar\" name=\"statusbar\"/>\n<widget class=\"QMenuBar\""),
    };
    for (const std::string &text : variations) {
        std::string why;
        EXPECT_EQ(Parse(text, MAIN_PANEL, &why), 0) << why;
    }
}

struct Damage {
    std::string what;
    std::string text;
    int result;
};

std::vector<Damage> Damages()
{
    const std::string good = GoodText();
    std::vector<Damage> rows;
    for (int tenth = 0; tenth < 10; ++tenth) {
        rows.push_back({"cut at " + std::to_string(tenth) + "/10", good.substr(0, good.size() * tenth / 10),
                        UI_ERR_MALFORMED});
    }
    // Each control of the declaration removed, and each made into a widget of another kind.
    for (int i = 0; i < kMainPanelDecl.controlCount; ++i) {
        const UiControlDecl &d = kMainPanelDecl.controls[i];
        rows.push_back({std::string("without ") + d.name, RemoveControl(good, d.name), UI_ERR_MISSING});
        const std::string head = "name=\"" + std::string(d.name) + "\">";
        const std::size_t at = good.find(head);
        const std::size_t cls = good.rfind("class=\"", at);
        const std::string other = d.kind == UI_COMMAND_BUTTON ? "QComboBox" : "QPushButton";
        rows.push_back({std::string(d.name) + " as a " + other,
                        good.substr(0, cls) + "class=\"" + other + "\" " + good.substr(at), UI_ERR_WRONG_KIND});
    }
    const std::string rings = "<string>0 1 2 3 4 5 6 7 8 9 10 11 12</string>";
    const std::vector<Damage> more = {
        {"no menu item QUIT", Replace(good, "<addaction name=\"QUIT\"/>", ""), UI_ERR_MISSING},
        {"no menu bar", RemoveElement(good, "MENUBAR"), UI_ERR_MISSING},
        {"a control of a class that makes no control",
         Replace(good, "class=\"QPushButton\" name=\"STOP_AUDIOMETRIE\"", "class=\"QP=shButton\" name=\"STOP_AUDIOMETRIE\""),
         UI_ERR_WRONG_KIND},
        {"double slide with an int display",
         Replace(good, "class=\"QDoubleSpinBox\" name=\"NUMBER_HOLD_DISPLAY\"", "class=\"QSpinBox\" name=\"NUMBER_HOLD_DISPLAY\""),
         UI_ERR_WRONG_KIND},
        {"int slide with a double display",
         Replace(good, "class=\"QSpinBox\" name=\"NUMBER_BAND_WIDTH_DISPLAY\"",
                 "class=\"QDoubleSpinBox\" name=\"NUMBER_BAND_WIDTH_DISPLAY\""),
         UI_ERR_WRONG_KIND},
        // Ranges: each declared bound, and the slide's own rules.
        {"frequency 13", Replace(good, rings, "<string>0 1 2 3 4 5 6 7 8 9 10 11 13</string>"), UI_ERR_MALFORMED},
        {"frequency -1", Replace(good, rings, "<string>-1 1 2 3 4 5 6 7 8 9 10 11 12</string>"), UI_ERR_MALFORMED},
        {"ear 2", Replace(good, "<string>0 1</string>", "<string>0 2</string>"), UI_ERR_MALFORMED},
        {"interval 0", Replace(good, "<string>1 2 3 5", "<string>0 2 3 5"), UI_ERR_MALFORMED},
        {"band width from 0", Replace(good, "<number>1000</number>", "<number>0</number>"), UI_ERR_MALFORMED},
        {"hold over a minute", Replace(good, "<double>1400.0</double>", "<double>60050.0</double>"), UI_ERR_MALFORMED},
        {"pause below 0", ReplaceAfter(good, "NUMBER_PAUSE_DISPLAY", "<double>50.0</double>", "<double>-50.0</double>"),
         UI_ERR_MALFORMED},
        {"volume over 1", ReplaceAfter(good, "NUMBER_VOLUME_DISPLAY", "<double>1.0</double>", "<double>1.1</double>"),
         UI_ERR_MALFORMED},
        {"slide default off its steps", Replace(good, "<number>50000</number>", "<number>50050</number>"), UI_ERR_MALFORMED},
        {"slide default out of range", Replace(good, "<double>200.0</double>", "<double>1450.0</double>"), UI_ERR_MALFORMED},
        {"slide range not whole steps", Replace(good, "<double>1200.0</double>", "<double>1210.0</double>"), UI_ERR_MALFORMED},
        {"slide step 0", Replace(good, "<double>0.005</double>", "<double>0</double>"), UI_ERR_MALFORMED},
        {"decimals 12", Replace(good, "<number>3</number>", "<number>12</number>"), UI_ERR_MALFORMED},
        {"slide without a display", RemoveElement(good, "NUMBER_VOLUME_DISPLAY"), UI_ERR_MALFORMED},
        {"ring starts on no item", ReplaceAfter(good, "RING_FREQ", "<number>5</number>", "<number>13</number>"),
         UI_ERR_MALFORMED},
        {"ring with a value short", Replace(good, "<string>0 1</string>", "<string>0</string>"), UI_ERR_MALFORMED},
        {"ring value not a number", Replace(good, "<string>0 1</string>", "<string>0 one</string>"), UI_ERR_MALFORMED},
        {"rectangle outside the panel", Replace(good, "<width>790</width>", "<width>801</width>"), UI_ERR_MALFORMED},
        {"empty rectangle", Replace(good, "<height>5</height>", "<height>0</height>"), UI_ERR_MALFORMED},
        {"rectangle not numbers", Replace(good, "<height>5</height>", "<height>five</height>"), UI_ERR_MALFORMED},
        {"panel off the screen", Replace(good, "<x>28</x>", "<x>9000</x>"), UI_ERR_MALFORMED},
        {"panel left of the screen", Replace(good, "<x>28</x>", "<x>-1</x>"), UI_ERR_MALFORMED},
        {"panel too large", Replace(good, "<width>810</width><height>610</height>", "<width>9000</width><height>610</height>"),
         UI_ERR_MALFORMED},
        {"canvas of the largest panel",
         Replace(Replace(good, "<width>810</width><height>610</height>", "<width>8192</width><height>8192</height>"),
                 "<x>10</x><y>50</y><width>380</width><height>360</height>",
                 "<x>0</x><y>0</y><width>8192</width><height>8192</height>"),
         UI_ERR_MALFORMED},
        {"canvas a pixel too wide",
         Replace(Replace(good, "<width>810</width><height>610</height>", "<width>4000</width><height>610</height>"),
                 "<x>10</x><y>50</y><width>380</width><height>360</height>",
                 "<x>10</x><y>50</y><width>2049</width><height>360</height>"),
         UI_ERR_MALFORMED},
        {"background of 256", Replace(good, "<red>240</red>", "<red>256</red>"), UI_ERR_MALFORMED},
        {"bad shortcut", Replace(good, "Ctrl+A", "Ctrl+"), UI_ERR_MALFORMED},
        // Callbacks.
        {"unknown control callback", Replace(good, "<string>Stimulation_Button</string>", "<string>Stimulation_Buton</string>"),
         UI_ERR_UNKNOWN_CALLBACK},
        {"menu callback on a button", Replace(good, "<string>Stimulation_Button</string>", "<string>Menu_Select</string>"),
         UI_ERR_UNKNOWN_CALLBACK},
        {"unknown panel callback", Replace(good, "<string>Main_Panel</string>", "<string>Main_Panell</string>"),
         UI_ERR_UNKNOWN_CALLBACK},
        {"control callback on the panel", Replace(good, "<string>Main_Panel</string>", "<string>Audiometrie_Button</string>"),
         UI_ERR_UNKNOWN_CALLBACK},
        {"unknown menu callback", ReplaceAfter(good, "<action name=\"QUIT\">", "Menu_Select", "Quit"),
         UI_ERR_UNKNOWN_CALLBACK},
        {"callback on a ring",
         Replace(good, "<string>0 1</string></property>",
                 "<string>0 1</string></property><property name=\"callback\" stdset=\"0\"><string>Stimulation_Button</string></property>"),
         UI_ERR_MALFORMED},
        // Panels, widgets and documents that are not ours.
        {"another panel name", Replace(good, "name=\"MAIN_PANEL\"", "name=\"OTHER_PANEL\""), UI_ERR_WRONG_PANEL},
        {"a widget the program lacks", Replace(good, "name=\"SPLITTER\"", "name=\"SPLITTER2\""), UI_ERR_MALFORMED},
        {"a widget inside a control",
         Replace(good, "<width>380</width><height>360</height></rect></property>\n   </widget>",
                 "<width>380</width><height>360</height></rect></property>\n"
                 "<widget class=\"QLabel\" name=\"INSIDE\"/>\n   </widget>"),
         UI_ERR_MALFORMED},
        {"a control twice", Replace(good, "name=\"EAR_RIGHT\">", "name=\"EAR_LEFT\">"), UI_ERR_MALFORMED},
        {"a caption of nothing", Replace(good, "<cstring>NUMBER_HOLD</cstring>", "<cstring>NUMBER_HOLDS</cstring>"),
         UI_ERR_MALFORMED},
        {"a caption on a button", Replace(good, "<cstring>EAR_LEFT</cstring>", "<cstring>STOP_AUDIOMETRIE</cstring>"),
         UI_ERR_MALFORMED},
        {"a property twice", Replace(good, "<bool>false</bool></property>", "<bool>false</bool></property><property name=\"enabled\"><bool>true</bool></property>"),
         UI_ERR_MALFORMED},
        {"a property of another type", Replace(good, "<string>Velmora</string>", "<number>1</number>"), UI_ERR_MALFORMED},
        {"form version 5", Replace(good, "<ui version=\"4.0\">", "<ui version=\"5.0\">"), UI_ERR_MALFORMED},
        {"a QDialog form", Replace(good, "class=\"QMainWindow\"", "class=\"QDialog\""), UI_ERR_MALFORMED},
        {"empty", "", UI_ERR_MALFORMED},
        {"binary", std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10), UI_ERR_MALFORMED},
        {"the retired line format", "velmora-panel 1\npanel MAIN_PANEL 1\nend\n", UI_ERR_MALFORMED},
        {"two documents", good + good, UI_ERR_MALFORMED},
        {"entities", Replace(good, "<ui version", "<!DOCTYPE ui [<!ENTITY a \"aaaa\"><!ENTITY b \"&a;&a;&a;\">]>\n<ui version"),
         UI_ERR_MALFORMED},
        {"nested too deep", Replace(good, "<resources/>", Repeat("<a>", 100) + Repeat("</a>", 100)), UI_ERR_MALFORMED},
    };
    rows.insert(rows.end(), more.begin(), more.end());
    return rows;
}

TEST(PanelFile, EveryDamageIsRefusedWithItsOwnResult)
{
    for (const Damage &d : Damages()) {
        std::string why;
        EXPECT_EQ(Parse(d.text, MAIN_PANEL, &why), d.result) << d.what << ": " << why;
        EXPECT_FALSE(why.empty()) << d.what;
    }
}

TEST(PanelFile, AskingForAnotherPanelOrAMissingFileFails)
{
    EXPECT_EQ(Parse(GoodText(), 2), UI_ERR_WRONG_PANEL);
    EXPECT_EQ(Load("/nonexistent/Velmora.uir"), UI_ERR_FILE_MISSING);
    EXPECT_EQ(Ui_LoadPanel(0, nullptr, MAIN_PANEL), UI_ERR_FILE_MISSING);
    EXPECT_LT(Load("/"), 0);  // a folder
}

// Only a regular file is read, and finding out never waits: a FIFO with no writer would
// hold the open for ever, a device would give bytes without end.
TEST(PanelFile, AnythingButARegularFileIsRefusedAtOnce)
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("velmora-panel-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::filesystem::path fifo = dir / "Velmora.uir";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink(fifo, dir / "link.uir");
    std::filesystem::copy_file(VELMORA_TEST_PANEL_FILE, dir / "regular.uir");
    struct Row {
        std::string path;
        int result;
    };
    const Row rows[] = {
        {fifo.string(), UI_ERR_FILE_MISSING},
        {(dir / "link.uir").string(), UI_ERR_FILE_MISSING},
        {"/dev/zero", UI_ERR_FILE_MISSING},
        {dir.string(), UI_ERR_FILE_MISSING},
        {(dir / "regular.uir").string(), 0},
    };
    for (const Row &row : rows) {
        // The load runs here, on the GUI thread: a writer that comes and goes after 5 s
        // releases an open that waits.
        std::promise<void> loaded;
        auto writer = std::async(std::launch::async, [&fifo, done = loaded.get_future()] {
            if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
                close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
                return false;
            }
            return true;
        });
        EXPECT_EQ(Load(row.path), row.result) << row.path;
        loaded.set_value();
        EXPECT_TRUE(writer.get()) << row.path << " held the reader";
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
