// Live panels by handle, and the control calls that any thread may make on them: values
// read from their mirrors, label and dimming changes queued for the GUI thread, pen changes
// made at once.

#include <cmath>
#include <mutex>

#include "platform/ui/core.h"

namespace uicore {

double SlideValue(double minimum, double increment, int step)
{
    return static_cast<double>(std::llround((minimum + step * increment) * 1e6)) / 1e6;
}

std::int64_t PressTimeNs(std::uint64_t stampMs, std::int64_t arrivedNs)
{
    constexpr std::int64_t kTrustMs = 2000;
    const std::int64_t arrivedMs = arrivedNs / 1'000'000;
    const auto behindMs = static_cast<std::int64_t>(static_cast<std::uint32_t>(
        static_cast<std::uint64_t>(arrivedMs) - stampMs));
    if (stampMs == 0 || behindMs > kTrustMs) {
        return arrivedNs;
    }
    return (arrivedMs - behindMs) * 1'000'000;
}

namespace {

std::mutex gRegistryLock;
std::map<int, std::shared_ptr<Panel>> gPanels;
int gNextHandle = 1;

}  // namespace

int RegisterPanel(std::shared_ptr<Panel> panel)
{
    std::lock_guard lock(gRegistryLock);
    panel->handle = gNextHandle++;
    gPanels[panel->handle] = std::move(panel);
    return gNextHandle - 1;
}

std::shared_ptr<Panel> FindPanel(int handle)
{
    std::lock_guard lock(gRegistryLock);
    const auto it = gPanels.find(handle);
    return it == gPanels.end() ? nullptr : it->second;
}

void UnregisterPanel(int handle)
{
    std::shared_ptr<Panel> last;  // released outside the lock
    std::lock_guard lock(gRegistryLock);
    const auto it = gPanels.find(handle);
    if (it != gPanels.end()) {
        last = std::move(it->second);
        gPanels.erase(it);
    }
}

}  // namespace uicore

using namespace uicore;

namespace {

Control *FindControl(const std::shared_ptr<Panel> &panel, int control)
{
    return panel == nullptr ? nullptr : panel->Find(control);
}

bool HasValue(UiKind kind) { return kind != UI_CANVAS && kind != UI_SPLITTER; }

}  // namespace

int Ui_GetCtrlVal(int panel, int control, double *value)
{
    const std::shared_ptr<Panel> p = FindPanel(panel);
    const Control *c = FindControl(p, control);
    if (c == nullptr || value == nullptr) {
        return UI_ERR_BAD_HANDLE;
    }
    if (!HasValue(c->kind)) {
        return UI_ERR_BAD_ATTRIBUTE;
    }
    *value = c->value.load(std::memory_order_relaxed);
    return 0;
}

int Ui_GetCtrlVal(int panel, int control, int *value)
{
    double v = 0.0;
    const int result = Ui_GetCtrlVal(panel, control, &v);
    if (result < 0 || value == nullptr) {
        return result < 0 ? result : UI_ERR_BAD_HANDLE;
    }
    // Int controls hold whole numbers exactly; a double slide read as int rounds.
    *value = static_cast<int>(std::lround(v));
    return 0;
}

int Ui_SetCtrlAttribute(int panel, int control, int attribute, int value)
{
    const std::shared_ptr<Panel> p = FindPanel(panel);
    const Control *c = FindControl(p, control);
    if (c == nullptr) {
        return UI_ERR_BAD_HANDLE;
    }
    switch (attribute) {
    case ATTR_DIMMED:
        PostAttributeChange({panel, control, attribute, value != 0 ? 1 : 0, {}});
        return 0;
    case ATTR_PICT_BGCOLOR:
    case ATTR_PEN_COLOR:
    case ATTR_PEN_FILL_COLOR:
    case ATTR_PEN_WIDTH:
        // Pen state changes at once, on the calling thread: the next drawing call uses it.
        return c->canvas == nullptr ? UI_ERR_BAD_ATTRIBUTE : c->canvas->SetAttribute(attribute, value);
    default: return UI_ERR_BAD_ATTRIBUTE;
    }
}

int Ui_SetCtrlAttribute(int panel, int control, int attribute, const char *value)
{
    const std::shared_ptr<Panel> p = FindPanel(panel);
    const Control *c = FindControl(p, control);
    if (c == nullptr) {
        return UI_ERR_BAD_HANDLE;
    }
    if (attribute != ATTR_LABEL_TEXT || !c->hasLabel) {
        return UI_ERR_BAD_ATTRIBUTE;
    }
    if (value == nullptr) {
        return UI_ERR_BAD_ARGUMENT;
    }
    PostAttributeChange({panel, control, attribute, 0, value});
    return 0;
}
