// The panel file on arbitrary text, through Ui_LoadPanel as the program calls it: QUiLoader
// and the check, against the program's own declaration, on an offscreen display. A damaged
// file must come back as a clean error and leave no window; a file that loads must give a
// panel whose rings and slides read within their declared bounds.

#include <QApplication>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "app/panel.h"

// The declaration names the program's callbacks; the check only matches them by name.
int Main_Panel(int, int, void *, int, int) { return 0; }
void Menu_Select(int, int, void *, int) {}
int Audiometrie_Button(int, int, int, void *, int, int) { return 0; }
int Stimulation_Button(int, int, int, void *, int, int) { return 0; }

namespace {

const std::string &InputPath()
{
    static const std::string path = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static char name[] = "panel_file_fuzz";
        static char *argv[] = {name, nullptr};
        if (Ui_Init(1, argv) == 0) std::abort();
        Ui_DeclarePanel(&kMainPanelDecl);
        const char *dir = std::getenv("TMPDIR");
        return std::string(dir != nullptr ? dir : "/tmp") + "/velmora-panel-fuzz-" + std::to_string(getpid()) + ".uir";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string &path = InputPath();
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
    const auto windows = QApplication::topLevelWidgets().size();
    const int panel = Ui_LoadPanel(0, path.c_str(), MAIN_PANEL);
    std::remove(path.c_str());
    if (panel == 0) std::abort();
    if (panel < 0) {
        if (QApplication::topLevelWidgets().size() != windows) std::abort();
        return 0;
    }
    for (int i = 0; i < kMainPanelDecl.controlCount; ++i) {
        const UiControlDecl &c = kMainPanelDecl.controls[i];
        double value = 0.0;
        const bool hasValue = c.kind != UI_CANVAS && c.kind != UI_SPLITTER;
        if ((Ui_GetCtrlVal(panel, c.id, &value) == 0) != hasValue) std::abort();
        if (hasValue && (value < c.low || value > c.high)) std::abort();
    }
    if (Ui_DiscardPanel(panel) != 0) std::abort();
    return 0;
}
