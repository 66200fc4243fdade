// The user-interface layer on Qt Widgets: the toolkit, the panel built from its file, event
// processing, the message box. Everything here runs on the GUI thread (the thread that
// called Ui_Init) except CanvasHostQt, which the drawing threads call under the canvas lock.
// The cross-thread state lives in ui_core; this file writes the value mirrors and applies
// the queued label and dimming changes.

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QImage>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sys.h"
#include "platform/ui.h"
#include "platform/ui_core.h"
#include "platform/ui_panel_file.h"
#include "platform/ui_testing.h"

using namespace uicore;

namespace {

QRect ToQRect(const PanelRect &r) { return QRect(r.left, r.top, r.Width(), r.Height()); }

// Callbacks may discard the panel whose widget is delivering the event; the widgets must
// then outlive the callback, so deletion is deferred while any callback runs.
int gDispatchDepth = 0;
// While a button's commit is dispatched: when that button went down (main thread only).
std::int64_t gEventPressNs = -1;

template <typename Fn>
void Dispatch(Fn &&fn)
{
    ++gDispatchDepth;
    fn();
    --gDispatchDepth;
}

class CanvasWidget final : public QWidget {
public:
    CanvasWidget(const Canvas &canvas, QWidget *parent) : QWidget(parent), canvas_(canvas)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

    // Any thread, canvas lock held: at most one repaint request in flight per canvas.
    void PostRepaint()
    {
        if (!repaintPending_.exchange(true)) {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    repaintPending_.store(false);
                    update();
                },
                Qt::QueuedConnection);
        }
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QImage copy;
        // A deep copy under the lock, painted after it: a drawing thread waits a copy, not a paint.
        canvas_.ReadPixels([&](const std::uint32_t *pixels, int w, int h) {
            copy = QImage(reinterpret_cast<const uchar *>(pixels), w, h, w * 4, QImage::Format_RGB32).copy();
        });
        QPainter(this).drawImage(0, 0, copy);
    }

private:
    const Canvas &canvas_;
    std::atomic<bool> repaintPending_{false};
};

// Text and repaints for one canvas. Called on drawing threads with the canvas lock held.
class CanvasHostQt final : public CanvasHost {
public:
    CanvasHostQt(CanvasWidget *widget, const QFont &font) : widget_(widget)
    {
        font_.fromString(font.toString());  // a copy of its own, touched only under the canvas lock
        font_.setStyleStrategy(QFont::NoAntialias);
    }

    void DrawText(std::uint32_t *pixels, int width, int height, Point at, const char *text,
                  std::uint32_t rgb) override
    {
        QImage image(reinterpret_cast<uchar *>(pixels), width, height, width * 4, QImage::Format_RGB32);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::TextAntialiasing, false);
        painter.setFont(font_);
        painter.setPen(QColor::fromRgb(Opaque(rgb)));
        // Centred both ways on the point: a box centred there, wide enough for any label.
        painter.drawText(QRect(at.x - 500, at.y - 100, 1000, 200), Qt::AlignCenter, QString::fromUtf8(text));
    }

    void Changed() override { widget_->PostRepaint(); }

private:
    CanvasWidget *widget_;
    QFont font_;
};

class PanelWindow final : public QMainWindow {
public:
    PanelWindow(int handle, PanelCallback callback) : handle_(handle), callback_(callback) {}

protected:
    // The program decides whether a close request ends it (it may have a procedure running),
    // so the window never closes by itself.
    void closeEvent(QCloseEvent *event) override
    {
        event->ignore();
        if (callback_ != nullptr) {
            const int handle = handle_;
            const PanelCallback callback = callback_;
            Dispatch([&] { callback(handle, EVENT_CLOSE, nullptr, 0, 0); });
        }
    }

private:
    const int handle_;
    const PanelCallback callback_;
};

struct ControlWidgets {
    QWidget *main = nullptr;
    QLabel *caption = nullptr;
    QLabel *display = nullptr;
};

struct QtPanel {
    std::shared_ptr<Panel> core;
    PanelWindow *window = nullptr;  // owns every widget below
    QWidget *content = nullptr;
    std::map<int, ControlWidgets> controls;
    std::map<int, QAction *> actions;
    std::vector<std::unique_ptr<CanvasHostQt>> hosts;
};

int gArgc = 0;
char gDefaultName[] = "velmora";
char *gDefaultArgv[] = {gDefaultName, nullptr};
QApplication *gApp = nullptr;
const UiPanelDecl *gDecl = nullptr;
std::map<int, std::unique_ptr<QtPanel>> gPanels;
std::string gLastLoadError;

QtPanel *FindQtPanel(int handle)
{
    const auto it = gPanels.find(handle);
    return it == gPanels.end() ? nullptr : it->second.get();
}

const ControlWidgets *FindWidgets(int panel, int control)
{
    const QtPanel *p = FindQtPanel(panel);
    if (p == nullptr) {
        return nullptr;
    }
    const auto it = p->controls.find(control);
    return it == p->controls.end() ? nullptr : &it->second;
}

// A box's parent: the panel that the user sees, so the box stands over it.
QWidget *VisiblePanelWindow()
{
    for (const auto &[handle, qp] : gPanels) {
        if (qp->window->isVisible()) {
            return qp->window;
        }
    }
    return nullptr;
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
void ShowWarning(const AttributeChange &change)
{
    // A closed box may wait for its deletion: a hidden one counts as gone.
    std::erase_if(gWarningBoxes, [](const auto &entry) { return !entry.second.box || !entry.second.box->isVisible(); });
    const std::string key = change.text + '\n' + change.message.substr(0, change.message.find('\n'));
    const QString message = QString::fromUtf8(change.message);
    if (const auto it = gWarningBoxes.find(key); it != gWarningBoxes.end()) {
        WarningBox &shown = it->second;
        ++shown.times;
        const QString separator = message.endsWith('\n') ? QString() : QStringLiteral("\n");
        shown.box->setText(message + separator + QStringLiteral("(%1 times)").arg(shown.times));
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Warning, QString::fromUtf8(change.text), message, QMessageBox::Ok,
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
    if (change.attribute == UI_CHANGE_WARNING) {
        ShowWarning(change);
        return;
    }
    const ControlWidgets *w = FindWidgets(change.panel, change.control);
    if (w == nullptr) {
        return;  // discarded meanwhile
    }
    if (change.attribute == ATTR_LABEL_TEXT) {
        const QString text = QString::fromUtf8(change.text);
        if (auto *button = qobject_cast<QPushButton *>(w->main)) {
            button->setText(text);
        } else if (w->caption != nullptr) {
            w->caption->setText(text);
        }
    } else if (change.attribute == ATTR_DIMMED) {
        for (QWidget *widget : {w->main, static_cast<QWidget *>(w->caption), static_cast<QWidget *>(w->display)}) {
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

QLabel *MakeCaption(const ControlSpec &c, QWidget *parent)
{
    if (!c.hasLabelRect) {
        return nullptr;
    }
    auto *label = new QLabel(QString::fromUtf8(c.label), parent);
    // The panel's rectangles were laid out for a smaller dialog font than most desktops
    // use; a caption that does not fit grows away from the edge it is aligned to rather
    // than lose its end ("HOLD TIME [ms]" must not read "OLD TIME [m").
    QRect rect = ToQRect(c.labelRect);
    const int needed = label->fontMetrics().horizontalAdvance(label->text()) + 2;
    if (needed > rect.width()) {
        const int extra = needed - rect.width();
        if (c.labelAlign == LabelAlign::Left) {
            rect.setRight(rect.right() + extra);
        } else if (c.labelAlign == LabelAlign::Right) {
            rect.setLeft(rect.left() - extra);
        } else {
            const int half = (extra + 1) / 2;  // both sides alike: the centre stays put
            rect.adjust(-half, 0, half, 0);
        }
    }
    label->setGeometry(rect);
    const Qt::Alignment horizontal = c.labelAlign == LabelAlign::Left    ? Qt::AlignLeft
                                     : c.labelAlign == LabelAlign::Right ? Qt::AlignRight
                                                                         : Qt::AlignHCenter;
    label->setAlignment(horizontal | Qt::AlignVCenter);
    label->setObjectName(QString::fromStdString(c.captionName));
    return label;
}

// A slide and the box beside it that shows its value; the value mirror follows every step.
void BuildSlide(const ControlSpec &c, Control &core, QWidget *parent, ControlWidgets &w)
{
    auto *slider = new QSlider(Qt::Horizontal, parent);
    const int steps = static_cast<int>(std::lround((c.maximum - c.minimum) / c.increment));
    slider->setRange(0, steps);
    slider->setSingleStep(1);
    slider->setPageStep(std::max(1, steps / 10));
    slider->setValue(static_cast<int>(std::lround((c.value - c.minimum) / c.increment)));
    auto *display = new QLabel(parent);
    display->setGeometry(ToQRect(c.display));
    display->setAlignment(Qt::AlignCenter);
    display->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    display->setObjectName(QString::fromStdString(c.displayName));
    Control *mirror = &core;
    const auto show = [display, mirror, minimum = c.minimum, increment = c.increment, decimals = c.decimals](int step) {
        const double value = SlideValue(minimum, increment, step);
        mirror->value.store(value, std::memory_order_relaxed);
        display->setText(QString::number(value, 'f', decimals));
    };
    show(slider->value());
    QObject::connect(slider, &QSlider::valueChanged, slider, show);
    w.main = slider;
    w.display = display;
}

void BuildControl(QtPanel &qp, const ControlSpec &c, int handle)
{
    Control &core = *qp.core->Find(c.id);
    ControlWidgets w;
    QWidget *parent = qp.content;
    w.caption = MakeCaption(c, parent);
    switch (c.kind) {
    case UI_CANVAS: {
        auto *widget = new CanvasWidget(*core.canvas, parent);
        auto host = std::make_unique<CanvasHostQt>(widget, QApplication::font());
        core.canvas->Attach(host.get());
        qp.hosts.push_back(std::move(host));
        w.main = widget;
        break;
    }
    case UI_COMMAND_BUTTON: {
        auto *button = new QPushButton(QString::fromUtf8(c.label), parent);
        // Keyboard focus would let Enter or Space press a start button unseen; the mouse decides.
        button->setFocusPolicy(Qt::NoFocus);
        if (const CtrlCallback callback = c.callback) {
            const int id = c.id;
            // The press is timed as it goes down; the commit comes when it is released.
            auto downNs = std::make_shared<std::int64_t>(-1);
            QObject::connect(button, &QPushButton::pressed, button, [downNs] { *downNs = Sys_NowNs(); });
            QObject::connect(button, &QPushButton::clicked, button, [handle, id, callback, downNs] {
                gEventPressNs = *downNs;
                Dispatch([&] { callback(handle, id, EVENT_COMMIT, nullptr, 0, 0); });
                gEventPressNs = -1;
            });
        }
        w.main = button;
        break;
    }
    case UI_RING: {
        auto *combo = new QComboBox(parent);
        for (const RingEntry &e : c.entries) {
            combo->addItem(QString::fromUtf8(e.label), e.value);
        }
        combo->setCurrentIndex(c.startEntry);
        core.value.store(combo->currentData().toInt(), std::memory_order_relaxed);
        Control *mirror = &core;
        QObject::connect(combo, &QComboBox::currentIndexChanged, combo, [combo, mirror](int index) {
            mirror->value.store(combo->itemData(index).toInt(), std::memory_order_relaxed);
        });
        w.main = combo;
        break;
    }
    case UI_SLIDE_INT:
    case UI_SLIDE_DOUBLE:
        BuildSlide(c, core, parent, w);
        break;
    case UI_SPLITTER: {
        auto *line = new QFrame(parent);
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        w.main = line;
        break;
    }
    }
    w.main->setGeometry(ToQRect(c.rect));
    // The file's names, so that a widget can be matched with the file's (and Designer's).
    w.main->setObjectName(QString::fromStdString(c.name));
    for (QWidget *widget : {w.main, static_cast<QWidget *>(w.caption), static_cast<QWidget *>(w.display)}) {
        if (widget != nullptr) {
            widget->setEnabled(!c.dimmed);
        }
    }
    qp.controls[c.id] = w;
}

void BuildMenus(QtPanel &qp, const PanelSpec &layout, int handle)
{
    if (!layout.hasMenuBar) {
        return;
    }
    const int menuBarId = layout.menuBarId;
    for (const MenuSpec &m : layout.menus) {
        QMenu *menu = qp.window->menuBar()->addMenu(QString::fromUtf8(m.label));
        qp.actions[m.id] = menu->menuAction();
        for (const MenuItemSpec &item : m.items) {
            if (item.separator) {
                qp.actions[item.id] = menu->addSeparator();
                continue;
            }
            QAction *action = menu->addAction(QString::fromUtf8(item.label));
            if (!item.shortcut.empty()) {
                action->setShortcut(QKeySequence(QString::fromStdString(item.shortcut), QKeySequence::PortableText));
            }
            if (const MenuCallback callback = item.callback) {
                const int id = item.id;
                QObject::connect(action, &QAction::triggered, action, [menuBarId, id, callback, handle] {
                    Dispatch([&] { callback(menuBarId, id, nullptr, handle); });
                });
            }
            qp.actions[item.id] = action;
        }
    }
}

std::shared_ptr<Panel> MakeCorePanel(const PanelSpec &layout)
{
    auto panel = std::make_shared<Panel>();
    for (const ControlSpec &c : layout.controls) {
        auto control = std::make_unique<Control>();
        control->id = c.id;
        control->kind = c.kind;
        control->hasLabel = c.kind == UI_COMMAND_BUTTON || c.hasLabelRect;
        if (c.kind == UI_CANVAS) {
            control->canvas = std::make_unique<Canvas>(c.rect.Width(), c.rect.Height());
        }
        panel->controls[c.id] = std::move(control);
    }
    return panel;
}

}  // namespace

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
    PanelSpec layout;
    std::string why;
    const int result = ReadPanelFile(fileName, *gDecl, resourceId, &layout, &why);
    if (result < 0) {
        gLastLoadError = std::string(fileName == nullptr ? "(no file)" : fileName) + ": " + why;
        std::fprintf(stderr, "%s\n", gLastLoadError.c_str());
        return result;
    }
    gLastLoadError.clear();

    auto qp = std::make_unique<QtPanel>();
    qp->core = MakeCorePanel(layout);
    const int handle = RegisterPanel(qp->core);
    qp->window = new PanelWindow(handle, layout.callback);
    qp->window->setWindowTitle(QString::fromUtf8(layout.title));
    qp->content = new QWidget(qp->window);
    qp->content->setFixedSize(layout.width, layout.height);
    QPalette palette = qp->content->palette();
    palette.setColor(QPalette::Window, QColor::fromRgb(Opaque(layout.background)));
    qp->content->setPalette(palette);
    qp->content->setAutoFillBackground(true);
    qp->window->setCentralWidget(qp->content);
    qp->window->layout()->setSizeConstraint(QLayout::SetFixedSize);
    BuildMenus(*qp, layout, handle);
    for (const ControlSpec &c : layout.controls) {
        BuildControl(*qp, c, handle);
    }
    qp->window->adjustSize();
    // The window's inside (menu bar included) at the panel's position; the frame goes around it.
    qp->window->setGeometry(QRect(QPoint(layout.left, layout.top), qp->window->size()));
    gPanels[handle] = std::move(qp);
    return handle;
}

int Ui_DisplayPanel(int panel)
{
    QtPanel *qp = OnGuiThread() ? FindQtPanel(panel) : nullptr;
    if (qp == nullptr) {
        return UI_ERR_BAD_HANDLE;
    }
    DrainAttributeChanges();
    qp->window->show();
    qp->window->raise();
    qp->window->activateWindow();
    return 0;
}

int Ui_DiscardPanel(int panel)
{
    const auto it = OnGuiThread() ? gPanels.find(panel) : gPanels.end();
    if (it == gPanels.end()) {
        return UI_ERR_BAD_HANDLE;
    }
    std::unique_ptr<QtPanel> qp = std::move(it->second);
    gPanels.erase(it);
    UnregisterPanel(panel);
    DropAttributeChanges(panel);
    // After this no drawing thread calls a host, so hosts and widgets may go.
    for (const auto &[id, control] : qp->core->controls) {
        if (control->canvas != nullptr) {
            control->canvas->Attach(nullptr);
        }
    }
    qp->window->hide();
    if (gDispatchDepth > 0) {
        qp->window->deleteLater();
    } else {
        delete qp->window;
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

// ------------------------------------------------------------------------------ test views

QImage Ui_TestCanvasImage(int panel, int control)
{
    const std::shared_ptr<Panel> p = FindPanel(panel);
    const Control *c = p == nullptr ? nullptr : p->Find(control);
    if (c == nullptr || c->canvas == nullptr) {
        return QImage();
    }
    QImage image;
    c->canvas->ReadPixels([&](const std::uint32_t *pixels, int w, int h) {
        image = QImage(reinterpret_cast<const uchar *>(pixels), w, h, w * 4, QImage::Format_RGB32).copy();
    });
    return image;
}

QWidget *Ui_TestWidget(int panel, int control)
{
    const ControlWidgets *w = FindWidgets(panel, control);
    return w == nullptr ? nullptr : w->main;
}

QLabel *Ui_TestCaption(int panel, int control)
{
    const ControlWidgets *w = FindWidgets(panel, control);
    return w == nullptr ? nullptr : w->caption;
}

QLabel *Ui_TestValueDisplay(int panel, int control)
{
    const ControlWidgets *w = FindWidgets(panel, control);
    return w == nullptr ? nullptr : w->display;
}

QWidget *Ui_TestPanelWindow(int panel)
{
    const QtPanel *p = FindQtPanel(panel);
    return p == nullptr ? nullptr : p->window;
}

QWidget *Ui_TestContentArea(int panel)
{
    const QtPanel *p = FindQtPanel(panel);
    return p == nullptr ? nullptr : p->content;
}

QAction *Ui_TestMenuAction(int panel, int menuId)
{
    const QtPanel *p = FindQtPanel(panel);
    if (p == nullptr) {
        return nullptr;
    }
    const auto it = p->actions.find(menuId);
    return it == p->actions.end() ? nullptr : it->second;
}

std::string Ui_TestLastLoadError() { return gLastLoadError; }
