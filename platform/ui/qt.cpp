// The user-interface layer on Qt Widgets: the toolkit, the panel that QUiLoader built from
// its form tied to the program, event processing, the message boxes. Everything here runs
// on the GUI thread (the thread that called Ui_Init) except the canvas widgets' text and
// repaint requests, which the drawing threads make under the canvas lock. The cross-thread
// state lives in core.h's registry; this file writes the value mirrors and applies the
// queued label and dimming changes.

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLayout>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sys.h"
#include "platform/ui.h"
#include "platform/ui/core.h"
#include "platform/ui/panel.h"

using namespace uicore;

namespace {

// Callbacks may discard the panel whose widget is delivering the event; the widgets must
// then outlive the callback, so deletion is deferred while any callback runs.
int gDispatchDepth = 0;
// While a button's commit is dispatched: when that button went down, and the button
// (main thread only).
std::int64_t gEventPressNs = -1;
const QWidget *gCommitting = nullptr;

template <typename Fn>
void Dispatch(Fn &&fn)
{
    ++gDispatchDepth;
    fn();
    --gDispatchDepth;
}

int gArgc = 0;
char gDefaultName[] = "velmora";
char *gDefaultArgv[] = {gDefaultName, nullptr};
QApplication *gApp = nullptr;
const UiPanelDecl *gDecl = nullptr;

// A panel of ours, on the GUI thread: null for another thread, an unknown handle or a
// panel that has no widgets (made by a test of the core alone).
std::shared_ptr<Panel> FindQtPanel(int handle)
{
    std::shared_ptr<Panel> panel = OnGuiThread() ? FindPanel(handle) : nullptr;
    return panel != nullptr && panel->layout != nullptr ? panel : nullptr;
}

// A box's parent: the panel that the user sees, so the box stands over it.
QWidget *VisiblePanelWindow()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (dynamic_cast<PanelWindow *>(window) != nullptr && window->isVisible()) {
            return window;
        }
    }
    return nullptr;
}

// The window system's stamp of the last press on the button it watches: a mouse button,
// or a key that presses a button (Space; Select on keypads). A held key's repeats press
// nothing, so they stamp nothing.
class PressStamp final : public QObject {
public:
    using QObject::QObject;
    std::uint64_t ms = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonPress) {
            ms = static_cast<QInputEvent *>(event)->timestamp();
        } else if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (!key->isAutoRepeat() && (key->key() == Qt::Key_Space || key->key() == Qt::Key_Select)) {
                ms = key->timestamp();
            }
        }
        return false;
    }
};

// Where the focus rests when no control should hold it: the panel's own area, which takes
// no focus by itself and is not in the Tab chain, so Space there presses nothing and the
// next Tab goes to the first control. A window that comes back to the front gives the
// focus back to it, not to its first button.
void ParkFocus(const PanelLayout &layout)
{
    QWidget *focused = layout.window->focusWidget();
    if (focused != layout.content && (focused == nullptr || layout.content->isAncestorOf(focused))) {
        layout.content->setFocus(Qt::OtherFocusReason);
    }
}

// The styles draw a focused button as such only after a Tab; the program's move must show
// as plainly, or Space would press a button the user cannot see is meant.
void FocusButton(QPushButton *button)
{
    button->window()->setAttribute(Qt::WA_KeyboardFocusChange);
    button->setFocus(Qt::OtherFocusReason);
    button->update();
}

// A button's accessible name goes with its label: the name the form gives for the label it
// shows, else the label itself (Qt's reading when the name is empty).
QString NameForLabel(const ControlLayout &c, const QString &label)
{
    for (qsizetype i = 0; i + 1 < c.labelNames.size(); i += 2) {
        if (c.labelNames[i] == label) {
            return c.labelNames[i + 1];
        }
    }
    return {};
}

// One box per kind of warning (its title and first line): a device that keeps failing
// would otherwise stack a box per failure. A repeat while the box is open updates its text
// with the count; once the user has closed it, the next repeat opens a new one.
struct WarningBox {
    QPointer<QMessageBox> box;
    int times = 0;
};
std::map<std::string, WarningBox> gWarningBoxes;

// Not modal: the panel stays usable (the answer button, the stimulation's stop) while
// the box is open, and a procedure that warned has long gone on.
void ShowWarning(const Warning &warning)
{
    // A closed box may wait for its deletion: a hidden one counts as gone.
    std::erase_if(gWarningBoxes, [](const auto &entry) { return !entry.second.box || !entry.second.box->isVisible(); });
    const std::string key = warning.title + '\n' + warning.message.substr(0, warning.message.find('\n'));
    const QString message = QString::fromUtf8(warning.message);
    if (const auto it = gWarningBoxes.find(key); it != gWarningBoxes.end()) {
        WarningBox &shown = it->second;
        ++shown.times;
        const QString separator = message.endsWith('\n') ? QString() : QStringLiteral("\n");
        shown.box->setText(message + separator + QStringLiteral("(%1 times)").arg(shown.times));
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Warning, QString::fromUtf8(warning.title), message, QMessageBox::Ok,
                                VisiblePanelWindow());
    box->setObjectName(QStringLiteral("velmora_warning"));
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
    gWarningBoxes[key] = WarningBox{box, 1};
}

void ApplyChange(const AttributeChange &change)
{
    const std::shared_ptr<Panel> panel = FindQtPanel(change.panel);
    const Control *control = panel != nullptr ? panel->Find(change.control) : nullptr;
    if (control == nullptr) {
        return;  // discarded meanwhile
    }
    const ControlLayout *c = control->layout;
    const PanelLayout &layout = *panel->layout;
    if (change.attribute == ATTR_LABEL_TEXT) {
        const QString text = QString::fromUtf8(change.text);
        if (auto *button = qobject_cast<QPushButton *>(c->widget)) {
            button->setText(text);
            button->setAccessibleName(NameForLabel(*c, text));
            // Relabelled by its own press, the button is what the user acts on next (a start
            // becomes the answer): it takes the focus, so Space answers. Relabelled by
            // anything else, it changed its meaning under the user (a pass ended): no
            // control keeps the focus, so the next Space starts nothing unseen.
            if (button == gCommitting) {
                FocusButton(button);
            } else {
                ParkFocus(layout);
            }
        } else if (c->caption != nullptr) {
            c->caption->setText(text);
        }
    } else if (change.attribute == ATTR_DIMMED) {
        // Qt would hand the focus of a control it dims to the next one in the Tab chain,
        // which may be a start button.
        if (change.value != 0 && layout.window->focusWidget() == c->widget) {
            ParkFocus(layout);
        }
        for (QWidget *widget : {c->widget, static_cast<QWidget *>(c->caption), static_cast<QWidget *>(c->display)}) {
            if (widget != nullptr) {
                widget->setEnabled(change.value == 0);
            }
        }
    }
}

// Any thread: have the GUI thread drain soon, also while a modal box runs its own loop.
void Wake()
{
    if (QCoreApplication *app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, &DrainAttributeChanges, Qt::QueuedConnection);
    }
}

// Not in the form: its fixed rectangles cannot know the desktop's font; a wide caption grows from its aligned edge.
void FitCaption(QLabel *label)
{
    QRect rect = label->geometry();
    const int extra = label->fontMetrics().horizontalAdvance(label->text()) + 2 - rect.width();
    if (extra > 0) {
        const Qt::Alignment align = label->alignment();
        if (align & Qt::AlignRight) {
            rect.setLeft(rect.left() - extra);
        } else if (align & Qt::AlignHCenter) {
            const int half = (extra + 1) / 2;  // both sides alike: the centre stays put
            rect.adjust(-half, 0, half, 0);
        } else {
            rect.setRight(rect.right() + extra);
        }
        label->setGeometry(rect);
    }
}

// The bar moves in whole steps of the increment; the value mirror follows every step.
void WireSlide(const ControlLayout &c, Control &core)
{
    auto *slider = static_cast<QSlider *>(c.widget);
    slider->setRange(0, c.steps);
    slider->setSingleStep(1);
    slider->setPageStep(std::max(1, c.steps / 10));
    slider->setValue(c.startStep);
    ValueDisplay *display = c.display;
    display->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Control *mirror = &core;
    const auto show = [display, mirror, minimum = c.minimum, increment = c.increment, decimals = c.decimals](int step) {
        const double value = SlideValue(minimum, increment, step);
        mirror->value.store(value, std::memory_order_relaxed);
        display->setText(QString::number(value, 'f', decimals));
    };
    show(slider->value());
    QObject::connect(slider, &QSlider::valueChanged, slider, show);
}

void WireControl(Control &core, const ControlLayout &c, int handle)
{
    if (c.caption != nullptr) {
        FitCaption(c.caption);
    }
    for (QWidget *widget : {static_cast<QWidget *>(c.caption), static_cast<QWidget *>(c.display)}) {
        if (widget != nullptr) {
            widget->setEnabled(c.widget->isEnabled());  // dimmed with its control
        }
    }
    if (auto *canvas = dynamic_cast<CanvasWidget *>(c.widget)) {
        canvas->Show(core.canvas.get());
    } else if (auto *button = qobject_cast<QPushButton *>(c.widget)) {
        // Tab reaches it and Space presses it, as on any form; Enter does not (a main
        // window's buttons are not default buttons). Where the focus may rest: ParkFocus.
        if (const QString name = NameForLabel(c, button->text()); !name.isEmpty()) {
            button->setAccessibleName(name);
        }
        if (const CtrlCallback callback = c.callback) {
            const int id = c.decl->id;
            // The press is timed as it goes down; the commit comes when it is released.
            auto downNs = std::make_shared<std::int64_t>(-1);
            auto *stamp = new PressStamp(button);
            button->installEventFilter(stamp);
            QObject::connect(button, &QPushButton::pressed, button, [downNs, stamp] {
                *downNs = PressTimeNs(stamp->ms, Sys_NowNs());
                stamp->ms = 0;  // a press that comes without a mouse event is timed at its arrival
            });
            QObject::connect(button, &QPushButton::clicked, button, [handle, id, callback, downNs, button] {
                gEventPressNs = *downNs;
                gCommitting = button;
                Dispatch([&] { callback(handle, id, EVENT_COMMIT, nullptr, 0, 0); });
                gCommitting = nullptr;
                gEventPressNs = -1;
            });
        }
    } else if (auto *combo = qobject_cast<QComboBox *>(c.widget)) {
        for (int i = 0; i < combo->count(); ++i) {
            combo->setItemData(i, c.values[static_cast<std::size_t>(i)]);
        }
        core.value.store(combo->currentData().toInt(), std::memory_order_relaxed);
        Control *mirror = &core;
        QObject::connect(combo, &QComboBox::currentIndexChanged, combo, [combo, mirror](int index) {
            mirror->value.store(combo->itemData(index).toInt(), std::memory_order_relaxed);
        });
    } else if (c.display != nullptr) {
        WireSlide(c, core);
    }
}

void WireMenus(const PanelLayout &layout, int handle)
{
    const int menuBarId = layout.menuBarId;
    for (const MenuItemLayout &item : layout.menuItems) {
        if (const MenuCallback callback = item.callback) {
            const int id = item.id;
            QObject::connect(item.action, &QAction::triggered, item.action, [menuBarId, id, callback, handle] {
                Dispatch([&] { callback(menuBarId, id, nullptr, handle); });
            });
        }
    }
}

std::shared_ptr<Panel> MakeCorePanel(const PanelLayout &layout)
{
    auto panel = std::make_shared<Panel>();
    for (const ControlLayout &c : layout.controls) {
        auto control = std::make_unique<Control>();
        control->id = c.decl->id;
        control->kind = c.decl->kind;
        control->hasLabel = c.decl->kind == UI_COMMAND_BUTTON || c.caption != nullptr;
        control->layout = &c;
        if (c.decl->kind == UI_CANVAS) {
            control->canvas = std::make_unique<Canvas>(c.widget->width(), c.widget->height());
        }
        panel->controls[control->id] = std::move(control);
    }
    return panel;
}

}  // namespace

namespace uicore {

void PanelWindow::closeEvent(QCloseEvent *event)
{
    event->ignore();
    if (callback_ != nullptr) {
        const int handle = handle_;
        const PanelCallback callback = callback_;
        Dispatch([&] { callback(handle, EVENT_CLOSE, nullptr, 0, 0); });
    }
}

}  // namespace uicore

int Ui_Init(int argc, char **argv)
{
    if (gApp != nullptr) {
        return 1;
    }
    if (QCoreApplication::instance() != nullptr) {
        return 0;  // someone else's application object: not ours to drive
    }
#if defined(Q_OS_LINUX)
    // Without a display Qt ends the process inside QApplication; the caller wants a 0 instead.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return 0;
    }
#endif
    if (argc < 1 || argv == nullptr) {
        gArgc = 1;
        argv = gDefaultArgv;
    } else {
        gArgc = argc;
    }
    gApp = new QApplication(gArgc, argv);
    GuiHooks hooks;
    hooks.apply = &ApplyChange;
    hooks.warn = &ShowWarning;
    hooks.wake = &Wake;
    SetGuiThread(hooks);
    return 1;
}

void Ui_DeclarePanel(const UiPanelDecl *decl) { gDecl = decl; }

int Ui_LoadPanel(int parentPanel, const char *fileName, int resourceId)
{
    if (gApp == nullptr || gDecl == nullptr || !OnGuiThread()) {
        return UI_ERR_NOT_READY;
    }
    if (parentPanel != 0) {
        return UI_ERR_BAD_HANDLE;  // child panels are not offered
    }
    auto loaded = std::make_shared<PanelLayout>();
    std::string why;
    const int result = LoadPanelForm(fileName, *gDecl, resourceId, loaded.get(), &why);
    if (result < 0) {
        std::fprintf(stderr, "%s: %s\n", fileName == nullptr ? "(no file)" : fileName, why.c_str());
        return result;
    }
    const PanelLayout &layout = *loaded;
    const std::shared_ptr<Panel> panel = MakeCorePanel(layout);
    panel->layout = std::move(loaded);
    const int handle = RegisterPanel(panel);
    layout.window->Bind(handle, layout.callback);
    layout.content->setFixedSize(layout.content->minimumSize());
    layout.window->layout()->setSizeConstraint(QLayout::SetFixedSize);
    for (const ControlLayout &c : layout.controls) {
        WireControl(*panel->Find(c.decl->id), c, handle);
    }
    WireMenus(layout, handle);
    layout.window->adjustSize();
    // The window's inside (menu bar included) at the panel's position; the frame goes around it.
    layout.window->setGeometry(QRect(layout.position, layout.window->size()));
    return handle;
}

int Ui_DisplayPanel(int panel)
{
    const std::shared_ptr<Panel> p = FindQtPanel(panel);
    if (p == nullptr) {
        return UI_ERR_BAD_HANDLE;
    }
    DrainAttributeChanges();
    // No control holds the focus when the panel first shows; Qt would give it to the first
    // one in the Tab chain, a start button.
    ParkFocus(*p->layout);
    QMainWindow *window = p->layout->window;
    window->show();
    window->raise();
    window->activateWindow();
    return 0;
}

int Ui_DiscardPanel(int panel)
{
    const std::shared_ptr<Panel> p = FindQtPanel(panel);
    if (p == nullptr) {
        return UI_ERR_BAD_HANDLE;
    }
    const std::shared_ptr<PanelLayout> layout = std::move(p->layout);
    UnregisterPanel(panel);
    DropAttributeChanges(panel);
    // After this no drawing thread calls a host, so hosts and widgets may go.
    for (const auto &[id, control] : p->controls) {
        if (control->canvas != nullptr) {
            control->canvas->Attach(nullptr);
        }
    }
    QMainWindow *window = layout->window;
    window->hide();
    if (gDispatchDepth > 0) {
        window->deleteLater();
    } else {
        delete window;
    }
    return 0;
}

std::int64_t Ui_EventPressTimeNs() { return gEventPressNs >= 0 ? gEventPressNs : Sys_NowNs(); }

int Ui_ProcessSystemEvents()
{
    if (gApp == nullptr || !OnGuiThread()) {
        return UI_ERR_NOT_READY;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    DrainAttributeChanges();
    return 0;
}

int Ui_MessagePopup(const char *title, const char *message)
{
    if (gApp == nullptr || !OnGuiThread()) {
        return UI_ERR_NOT_READY;
    }
    DrainAttributeChanges();
    QWidget *parent = VisiblePanelWindow();
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(title == nullptr ? "" : title),
                    QString::fromUtf8(message == nullptr ? "" : message), QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 0;
}
