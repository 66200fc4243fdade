// The built form against the program's declaration: every declared control present once,
// of its kind (a slide's value type too), and no widget besides them, their captions and
// their value displays; every declared menu entry present; each callback one that the
// program offers for that use; every value a ring or slide can give within the control's
// declared bounds. Rectangles lie inside the panel, and a canvas within 2048 pixels a side;
// a slide moves in whole steps and starts on one.

#include <QAction>
#include <QComboBox>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include "platform/ui/core.h"
#include "platform/ui/panel.h"

namespace uicore {

namespace {

// The largest panel, and the farthest place on a screen that a window may be put.
constexpr int kMaxScreen = 8192;
// A canvas keeps an image of 4 bytes a pixel, and a copy of it while it paints: at
// 2048 x 2048 that is 32 MB a canvas. Five times our chart's side, room for any redesign
// on a 4K screen; a canvas as large as the largest panel would take half a gigabyte.
constexpr int kMaxCanvas = 2048;

bool IsSlide(UiKind kind) { return kind == UI_SLIDE_INT || kind == UI_SLIDE_DOUBLE; }

bool IsKind(const QWidget *w, UiKind kind)
{
    switch (kind) {
    case UI_CANVAS: return dynamic_cast<const CanvasWidget *>(w) != nullptr;
    case UI_COMMAND_BUTTON: return qobject_cast<const QPushButton *>(w) != nullptr;
    case UI_RING: return qobject_cast<const QComboBox *>(w) != nullptr;
    case UI_SLIDE_INT:
    case UI_SLIDE_DOUBLE: return qobject_cast<const QSlider *>(w) != nullptr;
    case UI_SPLITTER: return w->metaObject() == &QFrame::staticMetaObject;  // a QFrame, or a Designer Line
    }
    return false;
}

std::string Name(const QObject *o) { return o->objectName().toStdString(); }

class Checker {
public:
    Checker(const UiPanelDecl &decl, PanelLayout &out) : decl_(decl), out_(out) {}

    int Run(QWidget *root, int resourceId, std::string *why)
    {
        auto *window = dynamic_cast<PanelWindow *>(root);
        if (window == nullptr) {
            Fail(UI_ERR_MALFORMED, "the form holds no QMainWindow");
        } else if (window->objectName() != QLatin1String(decl_.name) || decl_.resourceId != 1 || resourceId != 1) {
            Fail(UI_ERR_WRONG_PANEL, "panel " + Name(window) + " is not the panel asked for");  // a form holds one
        } else if (CheckWindow(*window) && CheckContent() && CheckMenuBar(*window)) {
            Finish();
        }
        *why = why_;
        return code_;
    }

private:
    // Always false, so that a check reads `return ok || Fail(...)`; the first fault stays.
    bool Fail(int code, const std::string &message)
    {
        if (code_ == 0) {
            code_ = code;
            why_ = message;
        }
        return false;
    }
    bool Ok() const { return code_ == 0; }

    const UiControlDecl *Declared(const QString &name) const { return DeclaredControl(decl_, name); }

    ControlLayout *Control(const QWidget *w)
    {
        const auto it = std::find_if(out_.controls.begin(), out_.controls.end(), [&](auto &c) { return c.widget == w; });
        return w == nullptr || it == out_.controls.end() ? nullptr : &*it;
    }

    template <typename Cb>
    bool Callback(const QObject &o, Cb UiCallbackDecl::*use, const char *what, Cb *out)
    {
        const QVariant property = o.property("callback");
        if (!property.isValid()) {
            return true;
        }
        const std::string name = property.toString().toStdString();
        const UiCallbackDecl *end = decl_.callbacks + decl_.callbackCount;
        const UiCallbackDecl *cb = std::find_if(decl_.callbacks, end, [&](auto &c) { return name == c.name; });
        if (cb == end) {
            return Fail(UI_ERR_UNKNOWN_CALLBACK, "the program has no callback '" + name + "'");
        }
        *out = cb->*use;
        return *out != nullptr || Fail(UI_ERR_UNKNOWN_CALLBACK, "'" + name + "' is not a " + what + " callback");
    }

    bool Inside(const QWidget &w)
    {
        const QRect r = w.geometry();
        return (r.width() > 0 && r.height() > 0 && r.left() >= 0 && r.top() >= 0 &&
                r.right() < out_.content->minimumWidth() && r.bottom() < out_.content->minimumHeight()) ||
               Fail(UI_ERR_MALFORMED, "the rectangle of '" + Name(&w) + "' is empty or outside the panel");
    }

    bool CheckWindow(PanelWindow &window)
    {
        out_.window = &window;
        const QVariant position = window.property("position");
        out_.position = position.toPoint();
        if (position.typeId() != QMetaType::QPoint || out_.position.x() < 0 || out_.position.y() < 0 ||
            out_.position.x() > kMaxScreen || out_.position.y() > kMaxScreen) {
            return Fail(UI_ERR_MALFORMED, "the panel has no position on the screen");
        }
        out_.content = window.centralWidget();
        if (out_.content == nullptr) {
            return Fail(UI_ERR_MALFORMED, "the panel has no control area");
        }
        const QSize size = out_.content->minimumSize();
        if (size.width() < 1 || size.height() < 1 || size.width() > kMaxScreen || size.height() > kMaxScreen) {
            return Fail(UI_ERR_MALFORMED, "the panel's size is out of its range");
        }
        if (!out_.content->palette().color(QPalette::Window).isValid()) {
            return Fail(UI_ERR_MALFORMED, "the panel's background is no colour");
        }
        return Callback(window, &UiCallbackDecl::panel, "panel", &out_.callback);
    }

    // Controls first, so that captions and displays find theirs wherever they stand.
    bool CheckContent()
    {
        const QList<QWidget *> widgets = out_.content->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
        for (QWidget *w : widgets) {
            if (const UiControlDecl *d = Declared(w->objectName()); d != nullptr && !CheckControl(*w, *d)) {
                return false;
            }
        }
        for (QWidget *w : widgets) {
            if (Declared(w->objectName()) != nullptr) {
                continue;
            }
            auto *display = dynamic_cast<ValueDisplay *>(w);
            auto *caption = qobject_cast<QLabel *>(w);
            if (display != nullptr   ? !CheckDisplay(*display)
                : caption != nullptr ? !CheckCaption(*caption)
                                     : !Fail(UI_ERR_MALFORMED, "'" + Name(w) + "' is not a control of the program")) {
                return false;
            }
        }
        return true;
    }

    bool CheckControl(QWidget &w, const UiControlDecl &d)
    {
        ControlLayout c;
        c.decl = &d;
        c.widget = &w;
        if (!IsKind(&w, d.kind)) {
            return Fail(UI_ERR_WRONG_KIND, "control '" + Name(&w) + "' is a " + w.metaObject()->className() +
                                               ", not of its kind");
        }
        if (std::any_of(out_.controls.begin(), out_.controls.end(), [&](auto &o) { return o.decl == &d; })) {
            return Fail(UI_ERR_MALFORMED, "control '" + Name(&w) + "' given twice");
        }
        if (!Inside(w)) {
            return false;
        }
        if (d.kind == UI_CANVAS && (w.width() > kMaxCanvas || w.height() > kMaxCanvas)) {
            return Fail(UI_ERR_MALFORMED, "canvas '" + Name(&w) + "' is larger than " + std::to_string(kMaxCanvas) +
                                              " x " + std::to_string(kMaxCanvas) + " pixels");
        }
        if (d.kind == UI_COMMAND_BUTTON) {
            if (!Callback(w, &UiCallbackDecl::control, "control", &c.callback)) {
                return false;
            }
            c.labelNames = w.property("labelNames").toStringList();
            if (c.labelNames.size() % 2 != 0) {
                return Fail(UI_ERR_MALFORMED, "the label names of '" + Name(&w) + "' are not in pairs");
            }
        } else if (w.property("callback").isValid()) {
            return Fail(UI_ERR_MALFORMED, "only buttons call back, not '" + Name(&w) + "'");
        } else if (w.property("labelNames").isValid()) {
            return Fail(UI_ERR_MALFORMED, "only buttons change their label, not '" + Name(&w) + "'");
        }
        if (d.kind == UI_RING && !CheckRing(static_cast<QComboBox &>(w), d, &c)) {
            return false;
        }
        out_.controls.push_back(std::move(c));
        return true;
    }

    bool CheckRing(const QComboBox &combo, const UiControlDecl &d, ControlLayout *c)
    {
        const QStringList tokens = combo.property("itemValues").toString().split(' ', Qt::SkipEmptyParts);
        if (combo.count() == 0 || combo.count() != tokens.size()) {
            return Fail(UI_ERR_MALFORMED, "ring '" + Name(&combo) + "' needs items and one value for each");
        }
        for (const QString &token : tokens) {
            bool isInt = false;
            const int value = token.toInt(&isInt);
            if (!isInt || value < d.low || value > d.high) {
                return Fail(UI_ERR_MALFORMED, "ring '" + Name(&combo) + "': item value '" + token.toStdString() +
                                                  "' is not a whole number within its bounds");
            }
            c->values.push_back(value);
        }
        return combo.currentIndex() >= 0 || Fail(UI_ERR_MALFORMED, "ring '" + Name(&combo) + "' starts on no item");
    }

    bool CheckCaption(QLabel &label)
    {
        ControlLayout *c = Control(label.buddy());
        if (c == nullptr || c->decl->kind == UI_COMMAND_BUTTON || c->decl->kind == UI_SPLITTER || c->caption != nullptr) {
            return Fail(UI_ERR_MALFORMED, "caption '" + Name(&label) + "' has no control of its own");
        }
        c->caption = &label;
        return Inside(label);
    }

    // The spin box's numbers, as the file gives them: a QSpinBox's whole, a QDoubleSpinBox's not.
    bool Number(const QWidget &w, const char *name, bool isInt, double *out)
    {
        const QVariant v = w.property(name);
        *out = v.toDouble();
        return (v.typeId() == (isInt ? QMetaType::Int : QMetaType::Double) && std::isfinite(*out)) ||
               Fail(UI_ERR_MALFORMED, "'" + Name(&w) + "' lacks " + name + " of its kind");
    }

    bool CheckDisplay(ValueDisplay &display)
    {
        ControlLayout *c = Control(out_.content->findChild<QWidget *>(display.property("slide").toString(),
                                                                       Qt::FindDirectChildrenOnly));
        if (c == nullptr || !IsSlide(c->decl->kind) || c->display != nullptr) {
            return Fail(UI_ERR_MALFORMED, "value display '" + Name(&display) + "' has no slide of its own");
        }
        if (display.IsInt() != (c->decl->kind == UI_SLIDE_INT)) {
            return Fail(UI_ERR_WRONG_KIND, "slide '" + Name(c->widget) + "' has a value type that the program does not read");
        }
        c->display = &display;
        double maximum = 0.0;
        double value = 0.0;
        double decimals = 0.0;
        const bool isInt = display.IsInt();
        if (!Inside(display) || !Number(display, "minimum", isInt, &c->minimum) ||
            !Number(display, "maximum", isInt, &maximum) || !Number(display, "singleStep", isInt, &c->increment) ||
            !Number(display, "value", isInt, &value) || (!isInt && !Number(display, "decimals", true, &decimals))) {
            return false;
        }
        if (decimals < 0 || decimals > 9) {
            return Fail(UI_ERR_MALFORMED, "decimals must be 0 to 9");
        }
        c->decimals = static_cast<int>(decimals);
        const double steps = (maximum - c->minimum) / c->increment;
        const double start = (value - c->minimum) / c->increment;
        // The slide moves in whole steps; a range or default off that grid could not be shown.
        if (!(c->increment > 0.0) || !(maximum > c->minimum) || steps > 1e6 ||
            std::abs(steps - std::round(steps)) > 1e-6) {
            return Fail(UI_ERR_MALFORMED, "slide '" + Name(c->widget) + "': range must be whole steps of its increment");
        }
        if (value < c->minimum || value > maximum || std::abs(start - std::round(start)) > 1e-6) {
            return Fail(UI_ERR_MALFORMED, "slide '" + Name(c->widget) + "': default off its range or steps");
        }
        c->steps = static_cast<int>(std::lround(steps));
        c->startStep = static_cast<int>(std::lround(start));
        return (c->minimum >= c->decl->low && maximum <= c->decl->high) ||
               Fail(UI_ERR_MALFORMED, "slide '" + Name(c->widget) + "': range out of its bounds");
    }

    const UiMenuDecl *MenuEntry(const QObject *o)
    {
        const std::string name = o == nullptr ? std::string() : Name(o);
        const UiMenuDecl *end = decl_.menus + decl_.menuCount;
        const UiMenuDecl *m = std::find_if(decl_.menus, end, [&](auto &e) { return name == e.name; });
        if (m == end) {
            Fail(UI_ERR_MALFORMED, "'" + name + "' is not a menu entry of the program");
            return nullptr;
        }
        return menusSeen_.insert(name).second || Fail(UI_ERR_MALFORMED, "menu entry '" + name + "' given twice") ? m
                                                                                                                : nullptr;
    }

    // A status bar that Designer may add is not the program's business.
    bool CheckMenuBar(const PanelWindow &window)
    {
        const QWidget *bar = window.menuWidget();
        const UiMenuDecl *m = bar == nullptr ? nullptr : MenuEntry(bar);
        if (bar == nullptr || m == nullptr) {
            return bar == nullptr;
        }
        out_.menuBarId = m->id;
        for (const QAction *add : bar->actions()) {
            const QMenu *menu = add->menu();
            if (menu == nullptr || MenuEntry(menu) == nullptr) {
                return Fail(UI_ERR_MALFORMED, "the menu bar holds '" + add->text().toStdString() + "', no menu of it");
            }
            for (QAction *item : menu->actions()) {
                if (!item->isSeparator() && !CheckMenuItem(*item)) {
                    return false;
                }
            }
        }
        return true;
    }

    bool CheckMenuItem(QAction &action)
    {
        MenuItemLayout item{&action, 0, nullptr};
        const UiMenuDecl *entry = MenuEntry(&action);
        if (entry == nullptr || !Callback(action, &UiCallbackDecl::menu, "menu", &item.callback)) {
            return false;
        }
        item.id = entry->id;
        const QKeySequence promised(QString::fromUtf8(entry->shortcut != nullptr ? entry->shortcut : ""),
                                    QKeySequence::PortableText);
        if (action.shortcut() != promised) {
            return Fail(UI_ERR_MALFORMED, "'" + Name(&action) + "' has not the shortcut the program promises");
        }
        out_.menuItems.push_back(item);
        return true;
    }

    bool Finish()
    {
        for (int i = 0; i < decl_.controlCount; ++i) {
            const UiControlDecl &d = decl_.controls[i];
            const auto c = std::find_if(out_.controls.begin(), out_.controls.end(), [&](auto &o) { return o.decl == &d; });
            if (c == out_.controls.end()) {
                return Fail(UI_ERR_MISSING, std::string("control '") + d.name + "' is missing");
            }
            if (IsSlide(d.kind) && c->display == nullptr) {
                return Fail(UI_ERR_MALFORMED, std::string("slide '") + d.name + "' has no value display");
            }
        }
        for (int i = 0; i < decl_.menuCount; ++i) {
            if (menusSeen_.count(decl_.menus[i].name) == 0) {
                return Fail(UI_ERR_MISSING, std::string("menu entry '") + decl_.menus[i].name + "' is missing");
            }
        }
        return true;
    }

    const UiPanelDecl &decl_;
    PanelLayout &out_;
    int code_ = 0;
    std::string why_;
    std::set<std::string> menusSeen_;
};

}  // namespace

const UiControlDecl *DeclaredControl(const UiPanelDecl &decl, const QString &name)
{
    const UiControlDecl *end = decl.controls + decl.controlCount;
    const UiControlDecl *d = std::find_if(decl.controls, end, [&](auto &c) { return name == c.name; });
    return d == end ? nullptr : d;
}

int CheckPanelForm(QWidget *root, const UiPanelDecl &decl, int resourceId, PanelLayout *out, std::string *why)
{
    return Checker(decl, *out).Run(root, resourceId, why);
}

}  // namespace uicore
