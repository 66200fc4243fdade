// The form's layout and the checks are described in ui_panel_file.h.

#include "platform/ui_panel_file.h"

#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QXmlStreamReader>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ui_core.h"

namespace uicore {

namespace {

// A panel file is a few tens of kilobytes; anything far larger or deeper is not one.
constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kMaxDepth = 32;
// The largest panel, and the farthest place on a screen that a window may be put.
constexpr int kMaxScreen = 8192;
// A canvas keeps an image of 4 bytes a pixel, and a copy of it while it paints: at
// 2048 x 2048 that is 32 MB a canvas. Five times our chart's side, room for any redesign
// on a 4K screen; a canvas as large as the largest panel would take half a gigabyte.
constexpr int kMaxCanvas = 2048;

struct Node {
    QString tag;
    QXmlStreamAttributes attributes;
    QString text;
    std::vector<Node> children;

    std::string Attr(const char *name) const { return attributes.value(QLatin1String(name)).toString().toStdString(); }
};

// The whole document as a tree: a form is small, and the checks look ahead (a caption may
// come before its control).
bool ParseXml(std::string_view text, Node *root, std::string *error)
{
    QXmlStreamReader xml(QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size())));
    std::vector<Node *> open;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement: {
            if (open.size() >= kMaxDepth) {
                *error = "nested too deep";
                return false;
            }
            // Only the innermost open element grows, so the pointers to its ancestors stay valid.
            Node *node = open.empty() ? root : &open.back()->children.emplace_back();
            node->tag = xml.name().toString();
            node->attributes = xml.attributes();
            open.push_back(node);
            break;
        }
        case QXmlStreamReader::EndElement: open.pop_back(); break;
        case QXmlStreamReader::Characters:
            if (!open.empty()) {
                open.back()->text += xml.text();
            }
            break;
        case QXmlStreamReader::DTD: *error = "a document type declaration"; return false;
        default: break;
        }
    }
    if (xml.hasError()) {
        *error = "not a well-formed XML document at line " + std::to_string(xml.lineNumber()) + ": " +
                 xml.errorString().toStdString();
        return false;
    }
    return true;
}

std::vector<const Node *> Children(const Node *n, const char *tag)
{
    std::vector<const Node *> found;
    for (std::size_t i = 0; n != nullptr && i < n->children.size(); ++i) {
        if (n->children[i].tag == QLatin1String(tag)) {
            found.push_back(&n->children[i]);
        }
    }
    return found;
}

// The first child of that tag (whose attribute attr is value, if given); nullptr also for a
// null parent, so that a path reads as one expression.
const Node *Child(const Node *n, const char *tag, const std::string &value = {}, const char *attr = "name")
{
    for (const Node *child : Children(n, tag)) {
        if (value.empty() || child->Attr(attr) == value) {
            return child;
        }
    }
    return nullptr;
}

bool ValidShortcut(const std::string &s)
{
    static const QRegularExpression pattern("^(Ctrl\\+)?(Shift\\+)?(Alt\\+)?([A-Z0-9]|F[1-9]|F1[0-2])$");
    return pattern.match(QString::fromStdString(s)).hasMatch();
}

bool IsSlide(UiKind kind) { return kind == UI_SLIDE_INT || kind == UI_SLIDE_DOUBLE; }

// Empty for a class that is no control: UiKind has no value to spare for "none".
std::optional<UiKind> KindOfClass(const std::string &cls, UiKind declared)
{
    if (cls == "QSlider") {
        return IsSlide(declared) ? declared : UI_SLIDE_DOUBLE;  // the value type comes with the display
    }
    return cls == "QWidget"                   ? UI_CANVAS
           : cls == "QPushButton"             ? UI_COMMAND_BUTTON
           : cls == "QComboBox"               ? UI_RING
           : cls == "QFrame" || cls == "Line" ? std::optional<UiKind>(UI_SPLITTER)
                                              : std::nullopt;
}

class Reader {
public:
    Reader(const UiPanelDecl &decl, int resourceId, PanelSpec *out) : decl_(decl), resourceId_(resourceId), out_(*out)
    {
    }

    int Run(std::string_view text, std::string *why)
    {
        Node ui;
        std::string error;
        if (text.size() > kMaxFileBytes) {
            Fail(UI_ERR_MALFORMED, "far too large for a panel file");
        } else if (!ParseXml(text, &ui, &error)) {
            Fail(UI_ERR_MALFORMED, error);
        } else if (ui.tag != QLatin1String("ui") || ui.Attr("version") != "4.0") {
            Fail(UI_ERR_MALFORMED, "not a Qt Designer form of version 4.0");
        } else if (const Node *window = Child(&ui, "widget", "QMainWindow", "class"); window == nullptr) {
            Fail(UI_ERR_MALFORMED, "the form holds no QMainWindow");
        } else {
            ReadWindow(*window);
        }
        if (why != nullptr) {
            *why = why_;
        }
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

    // The value element (<string>, <number>, <rect> ...) of a widget's property; nullptr when
    // the property is absent (a fault if required) or of another type (a fault).
    const Node *Value(const Node &w, const char *name, const char *type, bool required = true)
    {
        const std::string widget = w.Attr("name");
        const Node *property = nullptr;
        for (const Node *p : Children(&w, "property")) {
            if (p->Attr("name") == name && property != nullptr) {
                Fail(UI_ERR_MALFORMED, "'" + widget + "' has property " + name + " twice");
                return nullptr;
            }
            property = p->Attr("name") == name ? p : property;
        }
        if (property == nullptr) {
            required && Fail(UI_ERR_MALFORMED, "'" + widget + "' lacks property " + name);
            return nullptr;
        }
        if (property->children.size() != 1 || property->children[0].tag != QLatin1String(type)) {
            Fail(UI_ERR_MALFORMED, std::string(name) + " of '" + widget + "' is not a <" + type + ">");
            return nullptr;
        }
        return &property->children[0];
    }

    // False when absent or faulty; Ok() tells an optional property's absence from a fault.
    bool Text(const Node &w, const char *name, const char *type, bool required, std::string *out)
    {
        const Node *v = Value(w, name, type, required);
        *out = v != nullptr ? v->text.toStdString() : *out;
        return v != nullptr;
    }

    template <typename T>
    bool Parse(const Node *v, const std::string &what, T *out)
    {
        if (v == nullptr) {
            return Fail(UI_ERR_MALFORMED, what + " is missing");
        }
        const std::string s = v->text.trimmed().toStdString();
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
        return (ec == std::errc() && end == s.data() + s.size() && std::isfinite(static_cast<double>(*out))) ||
               Fail(UI_ERR_MALFORMED, what + ": '" + s + "' is not a number of its kind");
    }

    // The whole-number parts of a <rect>, <point>, <size> or <color>, in the order asked, each
    // from low to high.
    bool Parts(const Node *v, std::initializer_list<const char *> tags, int low, int high, int *out)
    {
        for (const char *tag : tags) {
            if (!Parse(Child(v, tag), tag, out) ||
                ((*out < low || *out > high) && !Fail(UI_ERR_MALFORMED, std::string(tag) + " out of its range"))) {
                return false;
            }
            ++out;
        }
        return true;
    }

    bool Rectangle(const Node &w, const char *name, PanelRect *out)
    {
        int r[4] = {};  // x, y, width, height
        if (!Parts(Value(w, name, "rect"), {"x", "y", "width", "height"}, 0, kMaxScreen, r)) {
            return false;
        }
        *out = PanelRect{r[1], r[0], r[1] + r[3], r[0] + r[2]};
        return (r[2] > 0 && r[3] > 0 && out->right <= out_.width && out->bottom <= out_.height) ||
               Fail(UI_ERR_MALFORMED, "the rectangle of '" + w.Attr("name") + "' is empty or outside the panel");
    }

    template <typename Cb>
    bool Callback(const Node &w, Cb UiCallbackDecl::*use, const char *what, Cb *out)
    {
        std::string name;
        if (!Text(w, "callback", "string", false, &name)) {
            return Ok();
        }
        const UiCallbackDecl *end = decl_.callbacks + decl_.callbackCount;
        const UiCallbackDecl *cb = std::find_if(decl_.callbacks, end, [&](auto &c) { return name == c.name; });
        if (cb == end) {
            return Fail(UI_ERR_UNKNOWN_CALLBACK, "the program has no callback '" + name + "'");
        }
        *out = cb->*use;
        return *out != nullptr || Fail(UI_ERR_UNKNOWN_CALLBACK, "'" + name + "' is not a " + what + " callback");
    }

    const UiMenuDecl *MenuEntry(const std::string &name)
    {
        const UiMenuDecl *end = decl_.menus + decl_.menuCount;
        const UiMenuDecl *m = std::find_if(decl_.menus, end, [&](auto &e) { return name == e.name; });
        if (m == end) {
            Fail(UI_ERR_MALFORMED, "'" + name + "' is not a menu entry of the program");
            return nullptr;
        }
        return menusSeen_.insert(name).second || Fail(UI_ERR_MALFORMED, "menu entry '" + name + "' given twice") ? m
                                                                                                                : nullptr;
    }

    ControlSpec *Control(const std::string &name)
    {
        const auto it = std::find_if(out_.controls.begin(), out_.controls.end(), [&](auto &c) { return c.name == name; });
        return it == out_.controls.end() ? nullptr : &*it;
    }

    const UiControlDecl *Declared(const std::string &name) const
    {
        const UiControlDecl *end = decl_.controls + decl_.controlCount;
        const UiControlDecl *d = std::find_if(decl_.controls, end, [&](auto &c) { return name == c.name; });
        return d == end ? nullptr : d;
    }

    bool ReadWindow(const Node &window)
    {
        out_.name = window.Attr("name");
        out_.resourceId = 1;  // a form holds one panel
        if (out_.name != decl_.name || decl_.resourceId != out_.resourceId || resourceId_ != out_.resourceId) {
            return Fail(UI_ERR_WRONG_PANEL, "panel " + out_.name + " is not the panel asked for");
        }
        int at[2] = {};
        if (!Parts(Value(window, "position", "point"), {"x", "y"}, 0, kMaxScreen, at)) {
            return false;
        }
        out_.left = at[0];
        out_.top = at[1];
        if (!Text(window, "windowTitle", "string", true, &out_.title) ||
            !Callback(window, &UiCallbackDecl::panel, "panel", &out_.callback)) {
            return false;
        }
        // A status bar or tool bar that Designer may add is not the program's business.
        const Node *content = Child(&window, "widget", "QWidget", "class");
        const Node *bar = Child(&window, "widget", "QMenuBar", "class");
        if (content == nullptr) {
            return Fail(UI_ERR_MALFORMED, "the panel has no control area");
        }
        return ReadContent(*content) && (bar == nullptr || ReadMenuBar(*bar, window)) && Finish();
    }

    bool ReadContent(const Node &content)
    {
        int size[2] = {};
        if (!Parts(Value(content, "minimumSize", "size"), {"width", "height"}, 1, kMaxScreen, size)) {
            return false;
        }
        out_.width = size[0];
        out_.height = size[1];
        const Node *color = nullptr;
        for (const Node *role : Children(Child(Value(content, "palette", "palette"), "active"), "colorrole")) {
            color = role->Attr("role") == "Window" ? Child(Child(role, "brush"), "color") : color;
        }
        int rgb[3] = {};
        if (!Parts(color, {"red", "green", "blue"}, 0, 255, rgb)) {
            return false;
        }
        out_.background = static_cast<std::uint32_t>(rgb[0] << 16 | rgb[1] << 8 | rgb[2]);

        // Controls first, so that captions and displays find theirs wherever they stand.
        const std::vector<const Node *> widgets = Children(&content, "widget");
        for (const Node *w : widgets) {
            if (const UiControlDecl *d = Declared(w->Attr("name")); d != nullptr && !ReadControl(*w, *d)) {
                return false;
            }
        }
        for (const Node *w : widgets) {
            const std::string cls = w->Attr("class");
            if (Declared(w->Attr("name")) != nullptr) {
                continue;
            }
            if (cls == "QLabel" ? !ReadCaption(*w)
                : cls == "QSpinBox" || cls == "QDoubleSpinBox"
                    ? !ReadDisplay(*w)
                    : !Fail(UI_ERR_MALFORMED, "'" + w->Attr("name") + "' is not a control of the program")) {
                return false;
            }
        }
        return true;
    }

    bool ReadControl(const Node &w, const UiControlDecl &d)
    {
        ControlSpec c;
        c.name = d.name;
        c.id = d.id;
        c.kind = d.kind;
        if (KindOfClass(w.Attr("class"), d.kind) != d.kind) {
            return Fail(UI_ERR_WRONG_KIND, "control '" + c.name + "' is a " + w.Attr("class") + ", not of its kind");
        }
        if (Control(c.name) != nullptr) {
            return Fail(UI_ERR_MALFORMED, "control '" + c.name + "' given twice");
        }
        std::string enabled;
        c.dimmed = Text(w, "enabled", "bool", false, &enabled) && enabled != "true";  // as QUiLoader reads it
        if (!Ok() || !Rectangle(w, "geometry", &c.rect)) {
            return false;
        }
        if (c.kind == UI_CANVAS && (c.rect.Width() > kMaxCanvas || c.rect.Height() > kMaxCanvas)) {
            return Fail(UI_ERR_MALFORMED, "canvas '" + c.name + "' is larger than " + std::to_string(kMaxCanvas) +
                                              " x " + std::to_string(kMaxCanvas) + " pixels");
        }
        if (c.kind == UI_COMMAND_BUTTON) {
            if (!Text(w, "text", "string", true, &c.label) ||
                !Callback(w, &UiCallbackDecl::control, "control", &c.callback)) {
                return false;
            }
        } else if (Value(w, "callback", "string", false) != nullptr || !Ok()) {
            return Fail(UI_ERR_MALFORMED, "only buttons call back, not '" + c.name + "'");
        }
        if (c.kind == UI_RING && !ReadRing(w, d, &c)) {
            return false;
        }
        out_.controls.push_back(std::move(c));
        return true;
    }

    bool ReadRing(const Node &w, const UiControlDecl &d, ControlSpec *c)
    {
        std::string values;
        if (!Text(w, "itemValues", "string", true, &values)) {
            return false;
        }
        const QStringList tokens = QString::fromStdString(values).split(' ', Qt::SkipEmptyParts);
        const std::vector<const Node *> items = Children(&w, "item");
        if (items.empty() || items.size() != static_cast<std::size_t>(tokens.size())) {
            return Fail(UI_ERR_MALFORMED, "ring '" + c->name + "' needs items and one value for each");
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            const QString &token = tokens[static_cast<qsizetype>(i)];
            bool isInt = false;
            RingEntry entry{{}, token.toInt(&isInt)};
            if (!isInt || entry.value < d.low || entry.value > d.high) {
                return Fail(UI_ERR_MALFORMED, "ring '" + c->name + "': item value '" + token.toStdString() +
                                                  "' is not a whole number within its bounds");
            }
            if (!Text(*items[i], "text", "string", true, &entry.label)) {
                return false;
            }
            c->entries.push_back(std::move(entry));
        }
        const Node *index = Value(w, "currentIndex", "number", false);  // Qt's default: the first item
        if (!Ok() || (index != nullptr && !Parse(index, "currentIndex", &c->startEntry))) {
            return false;
        }
        if (c->startEntry < 0 || c->startEntry >= static_cast<int>(items.size())) {
            return Fail(UI_ERR_MALFORMED, "ring '" + c->name + "' starts on no item");
        }
        c->value = c->entries[static_cast<std::size_t>(c->startEntry)].value;
        return true;
    }

    bool ReadCaption(const Node &w)
    {
        std::string buddy;
        if (!Text(w, "buddy", "cstring", true, &buddy)) {
            return false;
        }
        ControlSpec *c = Control(buddy);
        if (c == nullptr || c->kind == UI_COMMAND_BUTTON || c->kind == UI_SPLITTER || c->hasLabelRect) {
            return Fail(UI_ERR_MALFORMED, "caption '" + w.Attr("name") + "' has no control of its own");
        }
        std::string align;
        if (!Text(w, "text", "string", true, &c->label) || !Rectangle(w, "geometry", &c->labelRect) ||
            (!Text(w, "alignment", "set", false, &align) && !Ok())) {
            return false;
        }
        const auto has = [&align](const char *flag) { return align.find(flag) != std::string::npos; };
        c->labelAlign = has("Qt::AlignRight")                                 ? LabelAlign::Right
                        : has("Qt::AlignHCenter") || has("Qt::AlignCenter") ? LabelAlign::Center
                                                                              : LabelAlign::Left;
        c->hasLabelRect = true;
        c->captionName = w.Attr("name");
        return true;
    }

    // A QSpinBox holds its numbers as <number>, a QDoubleSpinBox as <double>.
    bool ReadDisplay(const Node &w)
    {
        std::string slide;
        if (!Text(w, "slide", "cstring", true, &slide)) {
            return false;
        }
        ControlSpec *c = Control(slide);
        if (c == nullptr || !IsSlide(c->kind) || !c->displayName.empty()) {
            return Fail(UI_ERR_MALFORMED, "value display '" + w.Attr("name") + "' has no slide of its own");
        }
        const bool isInt = w.Attr("class") == "QSpinBox";
        if (isInt != (c->kind == UI_SLIDE_INT)) {
            return Fail(UI_ERR_WRONG_KIND, "slide '" + c->name + "' has a value type that the program does not read");
        }
        c->displayName = w.Attr("name");
        const char *type = isInt ? "number" : "double";
        c->decimals = 0;
        return Rectangle(w, "geometry", &c->display) && Parse(Value(w, "minimum", type), "minimum", &c->minimum) &&
               Parse(Value(w, "maximum", type), "maximum", &c->maximum) &&
               Parse(Value(w, "singleStep", type), "singleStep", &c->increment) &&
               Parse(Value(w, "value", type), "value", &c->value) &&
               (isInt || Parse(Value(w, "decimals", "number"), "decimals", &c->decimals)) &&
               ((c->decimals >= 0 && c->decimals <= 9) || Fail(UI_ERR_MALFORMED, "decimals must be 0 to 9"));
    }

    // The bar shows the menus that it adds, in that order; a menu, the actions that it adds.
    bool ReadMenuBar(const Node &bar, const Node &window)
    {
        const UiMenuDecl *m = MenuEntry(bar.Attr("name"));
        if (m == nullptr) {
            return false;
        }
        out_.hasMenuBar = true;
        out_.menuBarName = m->name;
        out_.menuBarId = m->id;
        for (const Node *add : Children(&bar, "addaction")) {
            const Node *menu = Child(&bar, "widget", add->Attr("name"));
            if (menu == nullptr || menu->Attr("class") != "QMenu") {
                return Fail(UI_ERR_MALFORMED, "the menu bar adds '" + add->Attr("name") + "', which is no menu of it");
            }
            m = MenuEntry(menu->Attr("name"));
            MenuSpec spec{m == nullptr ? "" : m->name, m == nullptr ? 0 : m->id, {}, {}};
            if (m == nullptr || !Text(*menu, "title", "string", true, &spec.label)) {
                return false;
            }
            for (const Node *item : Children(menu, "addaction")) {
                if (!ReadMenuItem(window, item->Attr("name"), &spec)) {
                    return false;
                }
            }
            out_.menus.push_back(std::move(spec));
        }
        return true;
    }

    bool ReadMenuItem(const Node &window, const std::string &name, MenuSpec *menu)
    {
        MenuItemSpec item;
        item.separator = name == "separator";
        const Node *action = item.separator ? nullptr : Child(&window, "action", name);
        const UiMenuDecl *entry = action == nullptr ? nullptr : MenuEntry(name);
        if (!item.separator && entry == nullptr) {
            return Fail(UI_ERR_MALFORMED, "menu '" + menu->name + "' adds '" + name + "', no menu item of the program");
        }
        if (entry != nullptr) {
            item.name = entry->name;
            item.id = entry->id;
            if (!Text(*action, "text", "string", true, &item.label) ||
                (!Text(*action, "shortcut", "string", false, &item.shortcut) && !Ok()) ||
                !Callback(*action, &UiCallbackDecl::menu, "menu", &item.callback)) {
                return false;
            }
            if (!item.shortcut.empty() && !ValidShortcut(item.shortcut)) {
                return Fail(UI_ERR_MALFORMED, "shortcut '" + item.shortcut + "' is not like Ctrl+A");
            }
        }
        menu->items.push_back(std::move(item));
        return true;
    }

    bool CheckSlide(const ControlSpec &c, const UiControlDecl &d)
    {
        if (c.displayName.empty()) {
            return Fail(UI_ERR_MALFORMED, "slide '" + c.name + "' has no value display");
        }
        const double steps = (c.maximum - c.minimum) / c.increment;
        const double start = (c.value - c.minimum) / c.increment;
        // The slide moves in whole steps; a range or default off that grid could not be shown.
        if (!(c.increment > 0.0) || !(c.maximum > c.minimum) || steps > 1e6 ||
            std::abs(steps - std::round(steps)) > 1e-6) {
            return Fail(UI_ERR_MALFORMED, "slide '" + c.name + "': range must be whole steps of its increment");
        }
        if (c.value < c.minimum || c.value > c.maximum || std::abs(start - std::round(start)) > 1e-6) {
            return Fail(UI_ERR_MALFORMED, "slide '" + c.name + "': default off its range or steps");
        }
        return (c.minimum >= d.low && c.maximum <= d.high) ||
               Fail(UI_ERR_MALFORMED, "slide '" + c.name + "': range out of its bounds");
    }

    bool Finish()
    {
        for (int i = 0; i < decl_.controlCount; ++i) {
            const ControlSpec *c = Control(decl_.controls[i].name);
            if (c == nullptr) {
                return Fail(UI_ERR_MISSING, std::string("control '") + decl_.controls[i].name + "' is missing");
            }
            if (IsSlide(c->kind) && !CheckSlide(*c, decl_.controls[i])) {
                return false;
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
    const int resourceId_;
    PanelSpec &out_;
    int code_ = 0;
    std::string why_;
    std::set<std::string> menusSeen_;
};

}  // namespace

int ParsePanelText(std::string_view text, const UiPanelDecl &decl, int resourceId, PanelSpec *out, std::string *why)
{
    PanelSpec parsed;
    Reader reader(decl, resourceId, &parsed);
    const int result = reader.Run(text, why);
    if (result == 0) {
        *out = std::move(parsed);
    }
    return result;
}

int ReadPanelFile(const char *fileName, const UiPanelDecl &decl, int resourceId, PanelSpec *out, std::string *why)
{
    // Only a regular file: opening a FIFO for reading would wait for a writer for ever, and a
    // device could give bytes without end. O_NONBLOCK keeps the open itself from waiting.
    const int fd = fileName == nullptr ? -1 : ::open(fileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) {
            ::close(fd);
        }
        if (why != nullptr) {
            *why = "cannot read the file, or it is not a regular file";
        }
        return UI_ERR_FILE_MISSING;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        if (why != nullptr) {
            *why = "cannot read the file";
        }
        return UI_ERR_FILE_MISSING;
    }
    const QByteArray text = file.read(static_cast<qint64>(kMaxFileBytes) + 1);  // one byte more: too large
    return ParsePanelText(std::string_view(text.constData(), static_cast<std::size_t>(text.size())), decl, resourceId,
                          out, why);
}

}  // namespace uicore
