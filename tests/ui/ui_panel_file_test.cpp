// The panel file reader against the real Velmora.uir and the program's real declaration
// table: the good file reads, every kind of damage is refused with its own negative result.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "app/panel.h"
#include "app/shell.h"
#include "platform/ui_core.h"
#include "platform/ui_panel_file.h"

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

// Removes a control's block: its line up to the next blank line.
std::string RemoveBlock(const std::string &text, const std::string &head)
{
    const std::size_t at = text.find(head);
    EXPECT_NE(at, std::string::npos) << head;
    const std::size_t end = text.find("\n\n", at);
    return text.substr(0, at) + text.substr(end + 2);
}

// Removes every line that holds word, as `grep -v` would.
std::string RemoveLines(const std::string &text, const std::string &word)
{
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (line.find(word) == std::string::npos) {
            out += line + "\n";
        }
    }
    return out;
}

int Parse(const std::string &text, int resourceId = MAIN_PANEL, PanelSpec *layout = nullptr, std::string *why = nullptr)
{
    PanelSpec local;
    std::string reason;
    return ParsePanelText(text, kMainPanelDecl, resourceId, layout != nullptr ? layout : &local,
                          why != nullptr ? why : &reason);
}

TEST(PanelFile, TheShippedFileReadsWithThePanelItsProgramWants)
{
    PanelSpec layout;
    std::string why;
    ASSERT_EQ(ReadPanelFile(VELMORA_TEST_PANEL_FILE, kMainPanelDecl, MAIN_PANEL, &layout, &why), 0) << why;
    EXPECT_EQ(layout.title, "Velmora");
    EXPECT_EQ(layout.width, 810);
    EXPECT_EQ(layout.height, 610);
    EXPECT_EQ(layout.top, 41);
    EXPECT_EQ(layout.left, 28);
    EXPECT_EQ(layout.background, 0xF0F0F0u);
    EXPECT_EQ(layout.callback, &Main_Panel);
    EXPECT_EQ(layout.controls.size(), 15u);
    ASSERT_TRUE(layout.hasMenuBar);
    EXPECT_EQ(layout.menuBarId, MENUBAR);
    ASSERT_EQ(layout.menus.size(), 1u);
    const MenuSpec &menu = layout.menus[0];
    EXPECT_EQ(menu.id, PROJECT);
    EXPECT_EQ(menu.label, "PROJECT");
    ASSERT_EQ(menu.items.size(), 3u);
    EXPECT_EQ(menu.items[0].id, ABOUT);
    EXPECT_EQ(menu.items[0].label, "ABOUT");
    EXPECT_EQ(menu.items[0].shortcut, "Ctrl+A");
    EXPECT_EQ(menu.items[0].callback, &Menu_Select);
    EXPECT_EQ(menu.items[1].id, SEPARATOR);
    EXPECT_TRUE(menu.items[1].separator);
    EXPECT_EQ(menu.items[1].callback, nullptr);
    EXPECT_EQ(menu.items[2].id, QUIT);
    EXPECT_EQ(menu.items[2].shortcut, "Ctrl+Q");
    EXPECT_EQ(menu.items[2].callback, &Menu_Select);
}

TEST(PanelFile, CommentsBlankLinesIndentationAndCrLfDoNotMatter)
{
    std::string text = GoodText();
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    EXPECT_EQ(Parse(crlf), 0);
    EXPECT_EQ(Parse(Replace(text, "  title \"Velmora\"", "\n\t# a comment\n\t\t title   \"Velmora\"  ")), 0);
    PanelSpec layout;
    EXPECT_EQ(Parse(Replace(text, "label \"STOP\"", "label \"say \\\"STOP\\\" \\\\ now\""), MAIN_PANEL, &layout), 0);
    for (const ControlSpec &c : layout.controls) {
        if (c.id == STOP_AUDIOMETRIE) {
            EXPECT_EQ(c.label, "say \"STOP\" \\ now");
        }
    }
}

struct Damage {
    const char *what;
    std::string text;
    int result;
};

std::vector<Damage> Damages()
{
    const std::string good = GoodText();
    return {
        {"empty", "", UI_ERR_MALFORMED},
        {"only comments", "# nothing\n\n  # here\n", UI_ERR_MALFORMED},
        {"truncated at half", good.substr(0, good.size() / 2), UI_ERR_MALFORMED},
        {"truncated before end", good.substr(0, good.rfind("end")), UI_ERR_MALFORMED},
        {"binary", std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10), UI_ERR_MALFORMED},
        {"no format line", Replace(good, "velmora-panel 1", ""), UI_ERR_MALFORMED},
        {"format 2", Replace(good, "velmora-panel 1", "velmora-panel 2"), UI_ERR_MALFORMED},
        {"a control missing", RemoveBlock(good, "control NUMBER_PAUSE slide"), UI_ERR_MISSING},
        {"a canvas missing", RemoveBlock(good, "control EAR_RIGHT canvas"), UI_ERR_MISSING},
        {"a control's line missing", RemoveLines(good, "NUMBER_PAUSE"), UI_ERR_MALFORMED},
        {"a menu item missing", RemoveLines(good, "item QUIT"), UI_ERR_MISSING},
        {"no menu bar", RemoveLines(RemoveLines(RemoveLines(RemoveLines(good, "menubar"), "menu PROJECT"), "item "),
                                    "separator"),
         UI_ERR_MISSING},
        {"slide made a button", Replace(good, "control NUMBER_HOLD slide", "control NUMBER_HOLD button"),
         UI_ERR_WRONG_KIND},
        {"canvas made a ring", Replace(good, "control EAR_LEFT canvas", "control EAR_LEFT ring"), UI_ERR_WRONG_KIND},
        {"double slide typed int", Replace(good, "control NUMBER_HOLD slide\n  type double", "control NUMBER_HOLD slide\n  type int"),
         UI_ERR_WRONG_KIND},
        {"int slide typed double",
         Replace(good, "control NUMBER_BAND_WIDTH slide\n  type int", "control NUMBER_BAND_WIDTH slide\n  type double"),
         UI_ERR_WRONG_KIND},
        {"unknown kind", Replace(good, "control SPLITTER splitter", "control SPLITTER line"), UI_ERR_MALFORMED},
        {"unknown control callback", Replace(good, "callback Stimulation_Button", "callback Stimulation_Buton"),
         UI_ERR_UNKNOWN_CALLBACK},
        {"menu callback on a button", Replace(good, "callback Stimulation_Button", "callback Menu_Select"),
         UI_ERR_UNKNOWN_CALLBACK},
        {"unknown panel callback", Replace(good, "callback Main_Panel", "callback Main_Panell"), UI_ERR_UNKNOWN_CALLBACK},
        {"control callback on the panel", Replace(good, "callback Main_Panel", "callback Audiometrie_Button"),
         UI_ERR_UNKNOWN_CALLBACK},
        {"unknown menu callback", Replace(good, "Ctrl+Q Menu_Select", "Ctrl+Q Quit"), UI_ERR_UNKNOWN_CALLBACK},
        {"another resource id", Replace(good, "panel MAIN_PANEL 1", "panel MAIN_PANEL 2"), UI_ERR_WRONG_PANEL},
        {"another panel name", Replace(good, "panel MAIN_PANEL 1", "panel OTHER_PANEL 1"), UI_ERR_WRONG_PANEL},
        {"a control the program lacks", Replace(good, "control SPLITTER splitter", "control SPLITTER2 splitter"),
         UI_ERR_MALFORMED},
        {"a control twice", good.substr(0, good.rfind("end")) + "control SPLITTER splitter\n  rect 1 1 2 2\nend\n",
         UI_ERR_MALFORMED},
        {"statement after end", good + "control SPLITTER splitter\n", UI_ERR_MALFORMED},
        {"text not closed", Replace(good, "label \"VOLUME\"", "label \"VOLUME"), UI_ERR_MALFORMED},
        {"name quoted", Replace(good, "control SPLITTER splitter", "control \"SPLITTER\" splitter"), UI_ERR_MALFORMED},
        {"rectangle outside the panel", Replace(good, "rect 490 10 495 800", "rect 490 10 495 811"), UI_ERR_MALFORMED},
        {"empty rectangle", Replace(good, "rect 490 10 495 800", "rect 495 10 495 800"), UI_ERR_MALFORMED},
        {"short rectangle", Replace(good, "rect 490 10 495 800", "rect 490 10 495"), UI_ERR_MALFORMED},
        {"not a number", Replace(good, "size 810 610", "size 810 61O"), UI_ERR_MALFORMED},
        {"bad colour", Replace(good, "background 0xF0F0F0", "background F0F0F0"), UI_ERR_MALFORMED},
        {"ring start value not an item", Replace(good, "  entry \"500 x\" 500\n  value 10", "  entry \"500 x\" 500\n  value 45"),
         UI_ERR_MALFORMED},
        {"ring without items", RemoveLines(RemoveLines(good, "LEFT EAR STIMULATION"), "RIGHT EAR STIMULATION"),
         UI_ERR_MALFORMED},
        {"slide default off its steps", Replace(good, "value 50000", "value 50050"), UI_ERR_MALFORMED},
        {"slide default out of range", Replace(good, "value 200.0", "value 1450.0"), UI_ERR_MALFORMED},
        {"slide range not whole steps", Replace(good, "range 50.0 1200.0 50.0", "range 50.0 1210.0 50.0"),
         UI_ERR_MALFORMED},
        {"slide without a display", RemoveLines(good, "display 575 296 596 337"), UI_ERR_MALFORMED},
        {"button without a label", RemoveLines(good, "label \"STOP\""), UI_ERR_MALFORMED},
        {"callback on a ring", Replace(good, "  rect 515 10 534 230\n", "  rect 515 10 534 230\n  callback Stimulation_Button\n"),
         UI_ERR_MALFORMED},
        {"a statement twice", Replace(good, "  dimmed\n", "  dimmed\n  dimmed\n"), UI_ERR_MALFORMED},
        {"bad shortcut", Replace(good, "Ctrl+A", "Ctrl+"), UI_ERR_MALFORMED},
        {"decimals out of range", Replace(good, "decimals 3", "decimals 12"), UI_ERR_MALFORMED},
    };
}

TEST(PanelFile, EveryDamageIsRefusedWithItsOwnResult)
{
    for (const Damage &d : Damages()) {
        std::string why;
        EXPECT_EQ(Parse(d.text, MAIN_PANEL, nullptr, &why), d.result) << d.what << ": " << why;
        EXPECT_FALSE(why.empty()) << d.what;
    }
}

// Wherever a copy is cut short, what is left is refused: there is no prefix that reads.
TEST(PanelFile, EveryPrefixIsRefused)
{
    const std::string good = GoodText();
    const std::size_t end = good.rfind("end");
    for (std::size_t cut = 0; cut < end; cut += 7) {
        ASSERT_LT(Parse(good.substr(0, cut)), 0) << "cut at " << cut;
    }
}

TEST(PanelFile, AskingForAnotherPanelOrAMissingFileFails)
{
    EXPECT_EQ(Parse(GoodText(), 2), UI_ERR_WRONG_PANEL);
    PanelSpec layout;
    std::string why;
    EXPECT_EQ(ReadPanelFile("/nonexistent/Velmora.uir", kMainPanelDecl, MAIN_PANEL, &layout, &why), UI_ERR_FILE_MISSING);
    EXPECT_EQ(ReadPanelFile(nullptr, kMainPanelDecl, MAIN_PANEL, &layout, &why), UI_ERR_FILE_MISSING);
    EXPECT_LT(ReadPanelFile("/", kMainPanelDecl, MAIN_PANEL, &layout, &why), 0);  // a folder
}

}  // namespace
