// The panel reader on arbitrary text, checked against the program's own declaration. A
// damaged file must come back as a clean error; a file that reads must give a panel whose
// every control lies inside it, as the reader promises the toolkit side.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/panel.h"
#include "platform/ui_panel_file.h"

// The declaration names the program's callbacks; the reader only matches them by name.
int Main_Panel(int, int, void *, int, int) { return 0; }
void Menu_Select(int, int, void *, int) {}
int Audiometrie_Button(int, int, int, void *, int, int) { return 0; }
int Stimulation_Button(int, int, int, void *, int, int) { return 0; }

namespace {

bool inside(const uicore::PanelRect &r, const uicore::PanelSpec &p)
{
    return r.left >= 0 && r.top >= 0 && r.left <= r.right && r.top <= r.bottom && r.right <= p.width &&
           r.bottom <= p.height;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    uicore::PanelSpec spec;
    std::string why;
    const int rc = uicore::ParsePanelText(text, kMainPanelDecl, MAIN_PANEL, &spec, &why);
    if (rc > 0) std::abort();
    if (rc < 0) {
        if (why.empty()) std::abort();  // every refusal says why
        return 0;
    }
    if (spec.controls.size() != static_cast<std::size_t>(kMainPanelDecl.controlCount)) std::abort();
    for (const uicore::ControlSpec &c : spec.controls) {
        if (!inside(c.rect, spec)) std::abort();
        if (c.kind == UI_RING && (c.entries.empty() || c.startEntry < 0 ||
                                  c.startEntry >= static_cast<int>(c.entries.size())))
            std::abort();
    }
    return 0;
}
