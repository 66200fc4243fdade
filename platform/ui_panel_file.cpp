// The panel file is a Qt Designer form (.ui, version 4.0): Designer opens and edits it, and
// QUiLoader builds the same widgets from it. What the reader takes from the form:
//
//   <ui version="4.0">
//    <widget class="QMainWindow" name=PANEL>     the panel, under the declared panel's name
//      position (dynamic, a point)                 the window's inside on the screen
//      windowTitle; callback (dynamic)             title; panel callback (optional)
//      <widget class="QWidget">                    the area that holds the controls:
//        minimumSize; palette                       its size; active Window colour: background
//        one widget per declared control, under the control's name, with its geometry and
//        enabled false when dimmed:
//          QWidget (canvas), QPushButton (text, callback), QSlider (a slide's bar),
//          QFrame or Line (splitter), QComboBox (items, currentIndex, and itemValues: one
//          whole number per item, separated by blanks)
//        QLabel captions: buddy names the control; text, geometry, alignment
//        QSpinBox (int) or QDoubleSpinBox (double) value displays: the dynamic property
//          slide names the slide; minimum, maximum, singleStep, value, decimals
//      <widget class="QMenuBar" name=MENUBAR>       menus in its <addaction> order
//        <widget class="QMenu" name=MENU>            title; items in <addaction> order,
//                                                     "separator" for a separator line
//      <action name=ITEM>                          text, shortcut ("Ctrl+A"), callback
//
// Properties not listed are left to Designer and QUiLoader. Checked against the program's
// declaration: the panel's name and number, every declared control present once and of its
// declared kind (a slide's value type included), every declared menu entry present, each
// callback name one that the program offers for that use, and every value a ring or slide
// can give within the control's declared bounds. Rectangles lie inside the panel; a slide
// moves in whole steps and starts on one. The first fault found decides the result; a
// missing control is found at the end.

#include "platform/ui_panel_file.h"

#include <QByteArray>
#include <QString>
#include <QXmlStreamReader>
#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <set>

#include "platform/ui_core.h"

namespace uicore {

namespace {

// A panel file is a few tens of kilobytes; anything far larger or deeper is not one.
constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kMaxDepth = 32;
// The largest panel, and the farthest place on a screen that a window may be put.
constexpr int kMaxScreen = 8192;

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

std::vector<const Node *> Children(const Node &n, const char *tag)
{
    std::vector<const Node *> found;
    for (const Node &child : n.children) {
        if (child.tag == QLatin1String(tag)) {
            found.push_back(&child);
        }
    }
    return found;
}

const Node *Child(const Node &n, const char *tag)
{
    const std::vector<const Node *> found = Children(n, tag);
    return found.empty() ? nullptr : found.front();
}

bool ValidShortcut(const std::string &s)
{
    std::string_view rest(s);
    for (const std::string_view modifier : {"Ctrl+", "Shift+", "Alt+"}) {
        if (rest.substr(0, modifier.size()) == modifier) {
            rest.remove_prefix(modifier.size());
        }
    }
    if (rest.size() == 1) {
        return (rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= '0' && rest[0] <= '9');
    }
    int n = 0;
    const char *end = rest.data() + rest.size();
    return rest.size() >= 2 && rest.size() <= 3 && rest[0] == 'F' && std::from_chars(rest.data() + 1, end, n).ptr == end &&
           n >= 1 && n <= 12;
}

class Reader {
public:
    Reader(const UiPanelDecl &decl, int resourceId, PanelSpec *out) : decl_(decl), resourceId_(resourceId), out_(*out)
    {
    }

    int Run(std::string_view text, std::string *why);

private:
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
    // the property is absent, or given as another type (which fails).
    const Node *Value(const Node &w, const char *name, const char *type, bool required);
    bool Text(const Node &w, const char *name, const char *type, bool required, std::string *out);
    bool Number(const Node *v, const std::string &what, int *out);  // <number>, <x>, <red> ...
    bool Int(const Node &w, const char *name, bool required, int *out);
    bool Double(const Node &w, const char *name, double *out);
    bool Rectangle(const Node &w, const char *name, PanelRect *out);
    template <typename Cb>
    bool Callback(const Node &w, Cb UiCallbackDecl::*use, const char *what, Cb *out);
    const UiMenuDecl *MenuEntry(const std::string &name);

    bool ReadWindow(const Node &window);
    bool ReadContent(const Node &content);
    bool ReadControl(const Node &w, const UiControlDecl &d);
    bool ReadRing(const Node &w, const UiControlDecl &d, ControlSpec *c);
    bool ReadCaption(const Node &w);
    bool ReadDisplay(const Node &w);
    bool ReadMenuBar(const Node &bar, const std::map<std::string, const Node *> &actions);
    bool ReadMenu(const Node &menu, const std::map<std::string, const Node *> &actions);
    bool CheckSlide(const ControlSpec &c);
    bool Finish();

    ControlSpec *Control(const std::string &name)
    {
        for (ControlSpec &c : out_.controls) {
            if (c.name == name) {
                return &c;
            }
        }
        return nullptr;
    }
    const UiControlDecl *Declared(const std::string &name) const
    {
        for (int i = 0; i < decl_.controlCount; ++i) {
            if (name == decl_.controls[i].name) {
                return &decl_.controls[i];
            }
        }
        return nullptr;
    }

    const UiPanelDecl &decl_;
    const int resourceId_;
    PanelSpec &out_;
    int code_ = 0;
    std::string why_;
    std::set<std::string> menusSeen_;
};

const Node *Reader::Value(const Node &w, const char *name, const char *type, bool required)
{
    const Node *property = nullptr;
    for (const Node *p : Children(w, "property")) {
        if (p->Attr("name") == name) {
            if (property != nullptr) {
                Fail(UI_ERR_MALFORMED, "'" + w.Attr("name") + "' has property " + name + " twice");
                return nullptr;
            }
            property = p;
        }
    }
    if (property == nullptr) {
        if (required) {
            Fail(UI_ERR_MALFORMED, "'" + w.Attr("name") + "' lacks property " + name);
        }
        return nullptr;
    }
    if (property->children.size() != 1 || property->children[0].tag != QLatin1String(type)) {
        Fail(UI_ERR_MALFORMED, "property " + std::string(name) + " of '" + w.Attr("name") + "' is not a <" + type + ">");
        return nullptr;
    }
    return &property->children[0];
}

bool Reader::Text(const Node &w, const char *name, const char *type, bool required, std::string *out)
{
    const Node *v = Value(w, name, type, required);
    if (v != nullptr) {
        *out = v->text.toStdString();
    }
    return v != nullptr;
}

bool Reader::Number(const Node *v, const std::string &what, int *out)
{
    if (v == nullptr) {
        return Fail(UI_ERR_MALFORMED, what + " is missing");
    }
    const std::string s = v->text.trimmed().toStdString();
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return (ec == std::errc() && end == s.data() + s.size()) ||
           Fail(UI_ERR_MALFORMED, what + ": '" + s + "' is not a whole number");
}

bool Reader::Int(const Node &w, const char *name, bool required, int *out)
{
    const Node *v = Value(w, name, "number", required);
    return v != nullptr && Number(v, name, out);
}

bool Reader::Double(const Node &w, const char *name, double *out)
{
    const Node *v = Value(w, name, "double", true);
    if (v == nullptr) {
        return false;
    }
    const std::string s = v->text.trimmed().toStdString();
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return (ec == std::errc() && end == s.data() + s.size() && std::isfinite(*out)) ||
           Fail(UI_ERR_MALFORMED, "'" + s + "' is not a number");
}

bool Reader::Rectangle(const Node &w, const char *name, PanelRect *out)
{
    const Node *rect = Value(w, name, "rect", true);
    if (rect == nullptr) {
        return false;
    }
    int x = 0, y = 0, width = 0, height = 0;
    if (!Number(Child(*rect, "x"), "x", &x) || !Number(Child(*rect, "y"), "y", &y) ||
        !Number(Child(*rect, "width"), "width", &width) || !Number(Child(*rect, "height"), "height", &height)) {
        return false;
    }
    *out = PanelRect{y, x, y + height, x + width};
    return (x >= 0 && y >= 0 && width > 0 && height > 0 && out->right <= out_.width && out->bottom <= out_.height) ||
           Fail(UI_ERR_MALFORMED, "the rectangle of '" + w.Attr("name") + "' is empty or outside the panel");
}

template <typename Cb>
bool Reader::Callback(const Node &w, Cb UiCallbackDecl::*use, const char *what, Cb *out)
{
    std::string name;
    if (!Text(w, "callback", "string", false, &name)) {
        return Ok();
    }
    for (int i = 0; i < decl_.callbackCount; ++i) {
        if (name == decl_.callbacks[i].name) {
            *out = decl_.callbacks[i].*use;
            return *out != nullptr || Fail(UI_ERR_UNKNOWN_CALLBACK, "'" + name + "' is not a " + what + " callback");
        }
    }
    return Fail(UI_ERR_UNKNOWN_CALLBACK, "the program has no callback '" + name + "'");
}

const UiMenuDecl *Reader::MenuEntry(const std::string &name)
{
    for (int i = 0; i < decl_.menuCount; ++i) {
        if (name == decl_.menus[i].name) {
            if (!menusSeen_.insert(name).second) {
                Fail(UI_ERR_MALFORMED, "menu entry '" + name + "' given twice");
                return nullptr;
            }
            return &decl_.menus[i];
        }
    }
    Fail(UI_ERR_MALFORMED, "'" + name + "' is not a menu entry of the program");
    return nullptr;
}

bool Reader::ReadWindow(const Node &window)
{
    out_.name = window.Attr("name");
    out_.resourceId = 1;  // a form holds one panel
    if (out_.name != decl_.name || decl_.resourceId != out_.resourceId || resourceId_ != out_.resourceId) {
        return Fail(UI_ERR_WRONG_PANEL, "panel " + out_.name + " is not the panel asked for");
    }
    const Node *position = Value(window, "position", "point", true);
    if (position == nullptr || !Number(Child(*position, "x"), "x", &out_.left) ||
        !Number(Child(*position, "y"), "y", &out_.top)) {
        return false;
    }
    if (out_.left < 0 || out_.top < 0 || out_.left > kMaxScreen || out_.top > kMaxScreen) {
        return Fail(UI_ERR_MALFORMED, "the panel's position is off any screen");
    }
    if (!Text(window, "windowTitle", "string", true, &out_.title) ||
        !Callback(window, &UiCallbackDecl::panel, "panel", &out_.callback)) {
        return false;
    }
    std::map<std::string, const Node *> actions;
    for (const Node *action : Children(window, "action")) {
        actions[action->Attr("name")] = action;
    }
    const Node *content = nullptr;
    const Node *bar = nullptr;
    for (const Node *w : Children(window, "widget")) {
        const std::string cls = w->Attr("class");
        const Node **slot = cls == "QWidget" ? &content : cls == "QMenuBar" ? &bar : nullptr;
        if (slot == nullptr || *slot != nullptr) {
            return Fail(UI_ERR_MALFORMED, "the panel holds one control area and one menu bar, not a " + cls);
        }
        *slot = w;
    }
    if (content == nullptr) {
        return Fail(UI_ERR_MALFORMED, "the panel has no control area");
    }
    return ReadContent(*content) && (bar == nullptr || ReadMenuBar(*bar, actions)) && Finish();
}

bool Reader::ReadContent(const Node &content)
{
    const Node *size = Value(content, "minimumSize", "size", true);
    if (size == nullptr || !Number(Child(*size, "width"), "width", &out_.width) ||
        !Number(Child(*size, "height"), "height", &out_.height)) {
        return false;
    }
    if (out_.width < 1 || out_.height < 1 || out_.width > kMaxScreen || out_.height > kMaxScreen) {
        return Fail(UI_ERR_MALFORMED, "panel size out of range");
    }
    const Node *palette = Value(content, "palette", "palette", true);
    const Node *active = palette == nullptr ? nullptr : Child(*palette, "active");
    const Node *color = nullptr;
    for (const Node *role : active == nullptr ? std::vector<const Node *>{} : Children(*active, "colorrole")) {
        const Node *brush = role->Attr("role") == "Window" ? Child(*role, "brush") : nullptr;
        color = brush == nullptr ? color : Child(*brush, "color");
    }
    int rgb[3] = {-1, -1, -1};
    const char *parts[3] = {"red", "green", "blue"};
    for (int i = 0; color != nullptr && i < 3 && Number(Child(*color, parts[i]), parts[i], &rgb[i]); ++i) {
    }
    if (!Ok() || rgb[0] < 0 || rgb[0] > 255 || rgb[1] < 0 || rgb[1] > 255 || rgb[2] < 0 || rgb[2] > 255) {
        return Fail(UI_ERR_MALFORMED, "the control area has no Window colour of 0 to 255 per part");
    }
    out_.background = static_cast<std::uint32_t>(rgb[0] << 16 | rgb[1] << 8 | rgb[2]);

    // Controls first, so that captions and displays find theirs wherever they stand.
    const std::vector<const Node *> widgets = Children(content, "widget");
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
        if (cls == "QLabel") {
            ReadCaption(*w);
        } else if (cls == "QSpinBox" || cls == "QDoubleSpinBox") {
            ReadDisplay(*w);
        } else {
            Fail(UI_ERR_MALFORMED, "'" + w->Attr("name") + "' is not a control of the program");
        }
        if (!Ok()) {
            return false;
        }
    }
    return true;
}

UiKind KindOfClass(const std::string &cls, UiKind declared)
{
    const bool slide = declared == UI_SLIDE_INT || declared == UI_SLIDE_DOUBLE;
    if (cls == "QWidget") return UI_CANVAS;
    if (cls == "QPushButton") return UI_COMMAND_BUTTON;
    if (cls == "QComboBox") return UI_RING;
    if (cls == "QFrame" || cls == "Line") return UI_SPLITTER;
    // The value type comes with the slide's display.
    if (cls == "QSlider") return slide ? declared : UI_SLIDE_DOUBLE;
    return static_cast<UiKind>(-1);
}

bool Reader::ReadControl(const Node &w, const UiControlDecl &d)
{
    ControlSpec c;
    c.name = d.name;
    c.id = d.id;
    c.kind = KindOfClass(w.Attr("class"), d.kind);
    if (c.kind != d.kind) {
        return Fail(UI_ERR_WRONG_KIND, "control '" + c.name + "' is a " + w.Attr("class") + ", the program wants another kind");
    }
    if (Control(c.name) != nullptr) {
        return Fail(UI_ERR_MALFORMED, "control '" + c.name + "' given twice");
    }
    bool enabled = true;
    const Node *e = Value(w, "enabled", "bool", false);
    if (e != nullptr) {
        enabled = e->text == QLatin1String("true");
        if (!enabled && e->text != QLatin1String("false")) {
            return Fail(UI_ERR_MALFORMED, "enabled of '" + c.name + "' is neither true nor false");
        }
    }
    c.dimmed = !enabled;
    if (!Ok() || !Rectangle(w, "geometry", &c.rect)) {
        return false;
    }
    if (c.kind == UI_COMMAND_BUTTON) {
        if (!Text(w, "text", "string", true, &c.label) || !Callback(w, &UiCallbackDecl::control, "control", &c.callback)) {
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

bool Reader::ReadRing(const Node &w, const UiControlDecl &d, ControlSpec *c)
{
    std::string values;
    if (!Text(w, "itemValues", "string", true, &values)) {
        return false;
    }
    std::vector<int> numbers;
    for (const QString &token : QString::fromStdString(values).split(' ', Qt::SkipEmptyParts)) {
        bool isInt = false;
        numbers.push_back(token.toInt(&isInt));
        if (!isInt) {
            return Fail(UI_ERR_MALFORMED, "ring '" + c->name + "': item value '" + token.toStdString() + "' is not a whole number");
        }
        if (numbers.back() < d.low || numbers.back() > d.high) {
            return Fail(UI_ERR_MALFORMED, "ring '" + c->name + "': item value " + token.toStdString() + " out of its bounds");
        }
    }
    const std::vector<const Node *> items = Children(w, "item");
    if (items.empty() || items.size() != numbers.size()) {
        return Fail(UI_ERR_MALFORMED, "ring '" + c->name + "' needs items and one value for each");
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        RingEntry entry{{}, numbers[i]};
        if (!Text(*items[i], "text", "string", true, &entry.label)) {
            return false;
        }
        c->entries.push_back(std::move(entry));
    }
    if (!Int(w, "currentIndex", false, &c->startEntry) && !Ok()) {
        return false;
    }
    if (c->startEntry < 0 || c->startEntry >= static_cast<int>(items.size())) {
        return Fail(UI_ERR_MALFORMED, "ring '" + c->name + "' starts on no item");
    }
    c->value = c->entries[static_cast<std::size_t>(c->startEntry)].value;
    return true;
}

bool Reader::ReadCaption(const Node &w)
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
    c->labelAlign = align.find("Qt::AlignRight") != std::string::npos   ? LabelAlign::Right
                    : align.find("Qt::AlignHCenter") != std::string::npos ||
                              align.find("Qt::AlignCenter") != std::string::npos
                        ? LabelAlign::Center
                        : LabelAlign::Left;
    c->hasLabelRect = true;
    c->captionName = w.Attr("name");
    return true;
}

bool Reader::ReadDisplay(const Node &w)
{
    std::string slide;
    if (!Text(w, "slide", "cstring", true, &slide)) {
        return false;
    }
    ControlSpec *c = Control(slide);
    if (c == nullptr || (c->kind != UI_SLIDE_INT && c->kind != UI_SLIDE_DOUBLE) || !c->displayName.empty()) {
        return Fail(UI_ERR_MALFORMED, "value display '" + w.Attr("name") + "' has no slide of its own");
    }
    const UiKind type = w.Attr("class") == "QSpinBox" ? UI_SLIDE_INT : UI_SLIDE_DOUBLE;
    if (type != c->kind) {
        return Fail(UI_ERR_WRONG_KIND, "slide '" + c->name + "' has a value type that the program does not read");
    }
    c->displayName = w.Attr("name");
    if (!Rectangle(w, "geometry", &c->display)) {
        return false;
    }
    if (type == UI_SLIDE_INT) {
        int v[4] = {};
        if (!Int(w, "minimum", true, &v[0]) || !Int(w, "maximum", true, &v[1]) || !Int(w, "singleStep", true, &v[2]) ||
            !Int(w, "value", true, &v[3])) {
            return false;
        }
        c->minimum = v[0], c->maximum = v[1], c->increment = v[2], c->value = v[3];
        c->decimals = 0;
        return true;
    }
    return Double(w, "minimum", &c->minimum) && Double(w, "maximum", &c->maximum) &&
           Double(w, "singleStep", &c->increment) && Double(w, "value", &c->value) &&
           Int(w, "decimals", true, &c->decimals) &&
           ((c->decimals >= 0 && c->decimals <= 9) || Fail(UI_ERR_MALFORMED, "decimals must be 0 to 9"));
}

bool Reader::ReadMenuBar(const Node &bar, const std::map<std::string, const Node *> &actions)
{
    const UiMenuDecl *m = MenuEntry(bar.Attr("name"));
    if (m == nullptr) {
        return false;
    }
    out_.hasMenuBar = true;
    out_.menuBarName = m->name;
    out_.menuBarId = m->id;
    // The bar shows the menus that it adds, in that order.
    for (const Node *add : Children(bar, "addaction")) {
        const Node *menu = nullptr;
        for (const Node *w : Children(bar, "widget")) {
            menu = w->Attr("class") == "QMenu" && w->Attr("name") == add->Attr("name") ? w : menu;
        }
        if (menu == nullptr) {
            return Fail(UI_ERR_MALFORMED, "the menu bar adds '" + add->Attr("name") + "', which is no menu of it");
        }
        if (!ReadMenu(*menu, actions)) {
            return false;
        }
    }
    return true;
}

bool Reader::ReadMenu(const Node &menu, const std::map<std::string, const Node *> &actions)
{
    const UiMenuDecl *m = MenuEntry(menu.Attr("name"));
    MenuSpec spec;
    if (m == nullptr || !Text(menu, "title", "string", true, &spec.label)) {
        return false;
    }
    spec.name = m->name;
    spec.id = m->id;
    for (const Node *add : Children(menu, "addaction")) {
        const std::string name = add->Attr("name");
        MenuItemSpec item;
        item.separator = name == "separator";
        if (!item.separator) {
            const auto it = actions.find(name);
            const UiMenuDecl *entry = it == actions.end() ? nullptr : MenuEntry(name);
            if (entry == nullptr) {
                return Fail(UI_ERR_MALFORMED, "menu '" + spec.name + "' adds '" + name + "', which is no menu item of the program");
            }
            item.name = entry->name;
            item.id = entry->id;
            const Node &action = *it->second;
            if (!Text(action, "text", "string", true, &item.label) ||
                (!Text(action, "shortcut", "string", false, &item.shortcut) && !Ok()) ||
                !Callback(action, &UiCallbackDecl::menu, "menu", &item.callback)) {
                return false;
            }
            if (!item.shortcut.empty() && !ValidShortcut(item.shortcut)) {
                return Fail(UI_ERR_MALFORMED, "shortcut '" + item.shortcut + "' is not like Ctrl+A");
            }
        }
        spec.items.push_back(std::move(item));
    }
    out_.menus.push_back(std::move(spec));
    return true;
}

bool Reader::CheckSlide(const ControlSpec &c)
{
    const UiControlDecl &d = *Declared(c.name);
    if (c.displayName.empty()) {
        return Fail(UI_ERR_MALFORMED, "slide '" + c.name + "' has no value display");
    }
    const double steps = (c.maximum - c.minimum) / c.increment;
    const double start = (c.value - c.minimum) / c.increment;
    // The slide moves in whole steps; a range or default off that grid could not be shown.
    if (!(c.increment > 0.0) || !(c.maximum > c.minimum) || steps > 1e6 || std::abs(steps - std::round(steps)) > 1e-6) {
        return Fail(UI_ERR_MALFORMED, "slide '" + c.name + "': range must be whole steps of its increment");
    }
    if (c.value < c.minimum || c.value > c.maximum || std::abs(start - std::round(start)) > 1e-6) {
        return Fail(UI_ERR_MALFORMED, "slide '" + c.name + "': default off its range or steps");
    }
    if (c.minimum < d.low || c.maximum > d.high) {
        return Fail(UI_ERR_MALFORMED, "slide '" + c.name + "': range out of its bounds");
    }
    return true;
}

bool Reader::Finish()
{
    for (int i = 0; i < decl_.controlCount; ++i) {
        const ControlSpec *c = Control(decl_.controls[i].name);
        if (c == nullptr) {
            return Fail(UI_ERR_MISSING, std::string("control '") + decl_.controls[i].name + "' is missing");
        }
        if ((c->kind == UI_SLIDE_INT || c->kind == UI_SLIDE_DOUBLE) && !CheckSlide(*c)) {
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

int Reader::Run(std::string_view text, std::string *why)
{
    Node ui;
    std::string error;
    if (text.size() > kMaxFileBytes) {
        Fail(UI_ERR_MALFORMED, "far too large for a panel file");
    } else if (!ParseXml(text, &ui, &error)) {
        Fail(UI_ERR_MALFORMED, error);
    } else if (ui.tag != QLatin1String("ui") || ui.Attr("version") != "4.0") {
        Fail(UI_ERR_MALFORMED, "not a Qt Designer form of version 4.0");
    } else if (Children(ui, "widget").size() != 1 || Child(ui, "widget")->Attr("class") != "QMainWindow") {
        Fail(UI_ERR_MALFORMED, "the form must hold one QMainWindow");
    } else {
        ReadWindow(*Child(ui, "widget"));
    }
    if (why != nullptr) {
        *why = why_;
    }
    return code_;
}

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
    std::ifstream file(fileName == nullptr ? "" : fileName, std::ios::binary);
    std::string text;
    char buffer[4096];
    while (file && text.size() <= kMaxFileBytes) {
        file.read(buffer, sizeof buffer);
        text.append(buffer, static_cast<std::size_t>(file.gcount()));
    }
    if (!file.is_open() || file.bad()) {
        if (why != nullptr) {
            *why = "cannot read the file";
        }
        return UI_ERR_FILE_MISSING;
    }
    return ParsePanelText(text, decl, resourceId, out, why);
}

}  // namespace uicore
