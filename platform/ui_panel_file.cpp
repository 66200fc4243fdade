// The panel file: a small line-based text format of our own. Qt Designer's format would
// need a second Qt package and a custom widget plugin for the canvas and the slide with a
// value display; this one is read by 400 lines we control, and a test can damage it with sed.
//
// One statement per line. Leading blanks are ignored, so blocks may be indented; a line
// whose first non-blank character is '#' is a comment; blank lines are ignored. Tokens are
// separated by blanks; a token in double quotes may hold blanks, and \" and \\ inside it
// stand for " and \. Outside quotes only printable ASCII is allowed.
//
//   velmora-panel 1                      first statement: the format and its version
//   panel NAME ID                        the panel: its name and resource id
//     title "TEXT"                       these five belong to the panel and come before
//     size WIDTH HEIGHT                  the menu bar and the controls; size is the area
//     position TOP LEFT                  that holds the controls, position that of the
//     background 0xRRGGBB                window's inside from the screen's top-left corner
//     callback NAME                      panel callback (optional)
//   menubar NAME                         optional; then its menus:
//     menu NAME "LABEL"
//       item NAME "LABEL" SHORTCUT CALLBACK   SHORTCUT like Ctrl+A or -; CALLBACK a name or -
//       separator NAME
//   control NAME KIND                    KIND: canvas, button, ring, slide, splitter
//     rect TOP LEFT BOTTOM RIGHT         the control (a slide's bar); bottom and right exclusive
//     label "TEXT"                       a button's text, or a caption
//     label-rect TOP LEFT BOTTOM RIGHT [left|center|right]   where a caption stands
//     callback NAME                      buttons only
//     dimmed                             dimmed at start
//     type int|double                    slide: the value type the program reads
//     range MIN MAX INCREMENT            slide: inclusive range and the step of one change
//     decimals N                         slide: decimals shown in its value display
//     display TOP LEFT BOTTOM RIGHT      slide: where its value display stands
//     value V                            slide: the default; ring: the value selected at start
//     entry "LABEL" VALUE                ring: one item, in display order
//   end                                  last statement; nothing may follow it
//
// Rectangles are panel pixels and must lie inside the panel's size. Each statement may
// appear once in its block, except menu, item, separator, control and entry.
//
// Checked against the program's declaration: the panel's name and id, every declared
// control present once and of its declared kind (a slide's type included), every declared
// menu entry present, and each callback name one that the program offers for that use.
// The first fault found decides the result; a missing entry is found at the end.

#include "platform/ui_panel_file.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "platform/ui_core.h"

namespace uicore {

namespace {

// A panel file of ours is a few kilobytes; anything far larger is not one.
constexpr std::size_t kMaxFileBytes = 1 << 20;

struct Token {
    std::string text;
    bool quoted = false;
};

class Parser {
public:
    Parser(const UiPanelDecl &decl, int resourceId, PanelSpec *out) : decl_(decl), resourceId_(resourceId), out_(*out)
    {
    }

    int Run(std::string_view text, std::string *why);

private:
    enum class Context { Header, Panel, MenuBar, Menu, Control, End };

    int Fail(int code, const std::string &message)
    {
        if (code_ == 0) {
            code_ = code;
            std::ostringstream s;
            if (line_ > 0) {
                s << "line " << line_ << ": ";
            }
            s << message;
            why_ = s.str();
        }
        return code_;
    }

    bool Tokenize(std::string_view line, std::vector<Token> *tokens);
    void Statement(const std::vector<Token> &t);
    void PanelStatement(const std::vector<Token> &t);
    void MenuStatement(const std::vector<Token> &t);
    void ControlStatement(const std::vector<Token> &t);
    void FinishControl();
    void Finish();

    bool Arity(const std::vector<Token> &t, std::size_t n) { return ArityRange(t, n, n); }
    bool ArityRange(const std::vector<Token> &t, std::size_t lo, std::size_t hi)
    {
        if (t.size() < lo || t.size() > hi) {
            Fail(UI_ERR_MALFORMED, "'" + t[0].text + "' takes " + std::to_string(lo - 1) + " value(s)");
            return false;
        }
        for (std::size_t i = 1; i < t.size(); ++i) {
            // Only texts are quoted; a quoted number or name is a mistake worth reporting.
            const bool wantsText = IsTextArgument(t[0].text, i);
            if (t[i].quoted != wantsText) {
                Fail(UI_ERR_MALFORMED, "'" + t[0].text + "': value " + std::to_string(i) +
                                           (wantsText ? " must be quoted" : " must not be quoted"));
                return false;
            }
        }
        return true;
    }
    static bool IsTextArgument(const std::string &keyword, std::size_t index)
    {
        return ((keyword == "title" || keyword == "label" || keyword == "entry") && index == 1) ||
               ((keyword == "menu" || keyword == "item") && index == 2);
    }
    bool Once(const std::string &keyword)
    {
        if (!seen_.insert(keyword).second) {
            Fail(UI_ERR_MALFORMED, "'" + keyword + "' given twice");
            return false;
        }
        return true;
    }

    bool Int(const Token &t, int *value);
    bool Double(const Token &t, double *value);
    bool Rectangle(const std::vector<Token> &t, std::size_t first, PanelRect *rect);
    const UiCallbackDecl *Callback(const std::string &name);
    const UiMenuDecl *Menu(const std::string &name);

    const UiPanelDecl &decl_;
    const int resourceId_;
    PanelSpec &out_;
    int code_ = 0;
    int line_ = 0;
    std::string why_;
    Context context_ = Context::Header;
    std::set<std::string> seen_;          // statements given in the current block
    std::set<std::string> panelSeen_;     // the panel's own statements
    std::set<std::string> controlsSeen_;
    std::set<std::string> menusSeen_;
    bool hasType_ = false;
    UiKind declaredKind_ = UI_COMMAND_BUTTON;
};

bool Parser::Tokenize(std::string_view line, std::vector<Token> *tokens)
{
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        Token token;
        if (c == '"') {
            token.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char q = line[i++];
                if (q == '"') {
                    closed = true;
                    break;
                }
                if (q == '\\') {
                    if (i >= line.size() || (line[i] != '"' && line[i] != '\\')) {
                        Fail(UI_ERR_MALFORMED, "only \\\" and \\\\ may follow a backslash");
                        return false;
                    }
                    token.text += line[i++];
                } else if (static_cast<unsigned char>(q) < 0x20) {
                    Fail(UI_ERR_MALFORMED, "control character in a text");
                    return false;
                } else {
                    token.text += q;
                }
            }
            if (!closed) {
                Fail(UI_ERR_MALFORMED, "text not closed by \"");
                return false;
            }
            if (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                Fail(UI_ERR_MALFORMED, "a blank must follow a closing \"");
                return false;
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                const unsigned char b = static_cast<unsigned char>(line[i]);
                if (b < 0x21 || b > 0x7E || b == '"') {
                    Fail(UI_ERR_MALFORMED, "unexpected character outside a text");
                    return false;
                }
                token.text += line[i++];
            }
        }
        tokens->push_back(std::move(token));
    }
    return true;
}

bool Parser::Int(const Token &t, int *value)
{
    const char *end = t.text.data() + t.text.size();
    const auto [ptr, ec] = std::from_chars(t.text.data(), end, *value);
    if (ec != std::errc() || ptr != end) {
        Fail(UI_ERR_MALFORMED, "'" + t.text + "' is not a whole number");
        return false;
    }
    return true;
}

bool Parser::Double(const Token &t, double *value)
{
    const char *end = t.text.data() + t.text.size();
    const auto [ptr, ec] = std::from_chars(t.text.data(), end, *value);
    if (ec != std::errc() || ptr != end || !std::isfinite(*value)) {
        Fail(UI_ERR_MALFORMED, "'" + t.text + "' is not a number");
        return false;
    }
    return true;
}

bool Parser::Rectangle(const std::vector<Token> &t, std::size_t first, PanelRect *rect)
{
    if (!Int(t[first], &rect->top) || !Int(t[first + 1], &rect->left) || !Int(t[first + 2], &rect->bottom) ||
        !Int(t[first + 3], &rect->right)) {
        return false;
    }
    if (rect->top < 0 || rect->left < 0 || rect->bottom <= rect->top || rect->right <= rect->left ||
        rect->bottom > out_.height || rect->right > out_.width) {
        Fail(UI_ERR_MALFORMED, "rectangle empty or outside the panel");
        return false;
    }
    return true;
}

const UiCallbackDecl *Parser::Callback(const std::string &name)
{
    for (int i = 0; i < decl_.callbackCount; ++i) {
        if (name == decl_.callbacks[i].name) {
            return &decl_.callbacks[i];
        }
    }
    Fail(UI_ERR_UNKNOWN_CALLBACK, "the program has no callback '" + name + "'");
    return nullptr;
}

const UiMenuDecl *Parser::Menu(const std::string &name)
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

void Parser::Statement(const std::vector<Token> &t)
{
    const std::string &k = t[0].text;
    if (t[0].quoted) {
        Fail(UI_ERR_MALFORMED, "a statement cannot start with a text");
        return;
    }
    if (context_ == Context::End) {
        Fail(UI_ERR_MALFORMED, "statement after 'end'");
        return;
    }
    if (context_ == Context::Header) {
        if (k != "velmora-panel" || !Arity(t, 2) || t[1].text != "1") {
            Fail(UI_ERR_MALFORMED, "not a panel file of format 1 ('velmora-panel 1' must come first)");
            return;
        }
        context_ = Context::Panel;
        return;
    }
    if (k == "end" || k == "control" || k == "menubar" || k == "menu") {
        if (context_ == Context::Control) {
            FinishControl();
        }
        if (code_ != 0) {
            return;
        }
    }
    if (k == "end") {
        if (Arity(t, 1)) {
            context_ = Context::End;
        }
    } else if (k == "menubar") {
        if (out_.hasMenuBar || !out_.controls.empty() || out_.name.empty()) {
            Fail(UI_ERR_MALFORMED, "one menu bar, after the panel and before the controls");
            return;
        }
        if (!Arity(t, 2)) {
            return;
        }
        if (const UiMenuDecl *m = Menu(t[1].text)) {
            out_.hasMenuBar = true;
            out_.menuBarName = m->name;
            out_.menuBarId = m->id;
            context_ = Context::MenuBar;
        }
    } else if (k == "menu" || k == "item" || k == "separator") {
        MenuStatement(t);
    } else if (k == "control") {
        if (out_.name.empty()) {
            Fail(UI_ERR_MALFORMED, "a control before the panel");
            return;
        }
        if (!Arity(t, 3)) {
            return;
        }
        const std::string &name = t[1].text;
        const UiControlDecl *d = nullptr;
        for (int i = 0; i < decl_.controlCount; ++i) {
            if (name == decl_.controls[i].name) {
                d = &decl_.controls[i];
            }
        }
        if (d == nullptr) {
            Fail(UI_ERR_MALFORMED, "'" + name + "' is not a control of the program");
            return;
        }
        if (!controlsSeen_.insert(name).second) {
            Fail(UI_ERR_MALFORMED, "control '" + name + "' given twice");
            return;
        }
        const std::string &kind = t[2].text;
        UiKind k2;
        if (kind == "canvas") {
            k2 = UI_CANVAS;
        } else if (kind == "button") {
            k2 = UI_COMMAND_BUTTON;
        } else if (kind == "ring") {
            k2 = UI_RING;
        } else if (kind == "slide") {
            // Int or double comes with its 'type' statement.
            k2 = d->kind == UI_SLIDE_INT ? UI_SLIDE_INT : UI_SLIDE_DOUBLE;
        } else if (kind == "splitter") {
            k2 = UI_SPLITTER;
        } else {
            Fail(UI_ERR_MALFORMED, "unknown control kind '" + kind + "'");
            return;
        }
        const bool declaredSlide = d->kind == UI_SLIDE_INT || d->kind == UI_SLIDE_DOUBLE;
        if (k2 != d->kind && !(declaredSlide && kind == "slide")) {
            Fail(UI_ERR_WRONG_KIND, "control '" + name + "' is a " + kind + ", the program wants another kind");
            return;
        }
        ControlSpec c;
        c.name = name;
        c.id = d->id;
        c.kind = k2;
        out_.controls.push_back(std::move(c));
        declaredKind_ = d->kind;
        hasType_ = false;
        seen_.clear();
        context_ = Context::Control;
    } else if (context_ == Context::Panel) {
        PanelStatement(t);
    } else if (context_ == Context::Control) {
        ControlStatement(t);
    } else {
        Fail(UI_ERR_MALFORMED, "'" + k + "' is not allowed here");
    }
}

void Parser::PanelStatement(const std::vector<Token> &t)
{
    const std::string &k = t[0].text;
    if (k == "panel") {
        if (!out_.name.empty()) {
            Fail(UI_ERR_MALFORMED, "one panel per file");
            return;
        }
        if (!Arity(t, 3) || !Int(t[2], &out_.resourceId)) {
            return;
        }
        out_.name = t[1].text;
        if (out_.name != decl_.name || out_.resourceId != decl_.resourceId || out_.resourceId != resourceId_) {
            Fail(UI_ERR_WRONG_PANEL, "panel " + out_.name + " " + std::to_string(out_.resourceId) +
                                         " is not the panel asked for");
        }
        return;
    }
    if (out_.name.empty()) {
        Fail(UI_ERR_MALFORMED, "'panel' must follow the format line");
        return;
    }
    if (!panelSeen_.insert(k).second) {
        Fail(UI_ERR_MALFORMED, "'" + k + "' given twice");
        return;
    }
    if (k == "title") {
        if (Arity(t, 2)) {
            out_.title = t[1].text;
        }
    } else if (k == "size") {
        if (Arity(t, 3) && Int(t[1], &out_.width) && Int(t[2], &out_.height) &&
            (out_.width < 1 || out_.height < 1 || out_.width > 8192 || out_.height > 8192)) {
            Fail(UI_ERR_MALFORMED, "panel size out of range");
        }
    } else if (k == "position") {
        if (Arity(t, 3) && Int(t[1], &out_.top)) {
            Int(t[2], &out_.left);
        }
    } else if (k == "background") {
        if (!Arity(t, 2)) {
            return;
        }
        const std::string &v = t[1].text;
        unsigned value = 0;
        const char *end = v.data() + v.size();
        if (v.size() != 8 || v.compare(0, 2, "0x") != 0 ||
            std::from_chars(v.data() + 2, end, value, 16).ptr != end) {
            Fail(UI_ERR_MALFORMED, "colour must be 0xRRGGBB");
            return;
        }
        out_.background = value;
    } else if (k == "callback") {
        if (!Arity(t, 2)) {
            return;
        }
        const UiCallbackDecl *cb = Callback(t[1].text);
        if (cb != nullptr && cb->panel == nullptr) {
            Fail(UI_ERR_UNKNOWN_CALLBACK, "'" + t[1].text + "' is not a panel callback");
        } else if (cb != nullptr) {
            out_.callback = cb->panel;
        }
    } else {
        Fail(UI_ERR_MALFORMED, "'" + k + "' is not a panel statement");
    }
}

bool ValidShortcut(const std::string &s)
{
    if (s == "-") {
        return true;
    }
    std::string_view rest(s);
    for (const std::string_view modifier : {"Ctrl+", "Shift+", "Alt+"}) {
        if (rest.substr(0, modifier.size()) == modifier) {
            rest.remove_prefix(modifier.size());
        }
    }
    if (rest.size() == 1) {
        return (rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= '0' && rest[0] <= '9');
    }
    if (rest.size() >= 2 && rest.size() <= 3 && rest[0] == 'F') {
        int n = 0;
        const auto r = std::from_chars(rest.data() + 1, rest.data() + rest.size(), n);
        return r.ptr == rest.data() + rest.size() && n >= 1 && n <= 12;
    }
    return false;
}

void Parser::MenuStatement(const std::vector<Token> &t)
{
    const std::string &k = t[0].text;
    if (k == "menu") {
        if (context_ != Context::MenuBar && context_ != Context::Menu) {
            Fail(UI_ERR_MALFORMED, "'menu' outside the menu bar");
            return;
        }
        if (!Arity(t, 3)) {
            return;
        }
        if (const UiMenuDecl *m = Menu(t[1].text)) {
            out_.menus.push_back(MenuSpec{m->name, m->id, t[2].text, {}});
            context_ = Context::Menu;
        }
        return;
    }
    if (context_ != Context::Menu) {
        Fail(UI_ERR_MALFORMED, "'" + k + "' outside a menu");
        return;
    }
    MenuItemSpec item;
    if (k == "separator") {
        if (!Arity(t, 2)) {
            return;
        }
        item.separator = true;
    } else {
        if (!Arity(t, 5)) {
            return;
        }
        item.label = t[2].text;
        if (!ValidShortcut(t[3].text)) {
            Fail(UI_ERR_MALFORMED, "shortcut '" + t[3].text + "' is not like Ctrl+A");
            return;
        }
        item.shortcut = t[3].text == "-" ? "" : t[3].text;
        if (t[4].text != "-") {
            const UiCallbackDecl *cb = Callback(t[4].text);
            if (cb == nullptr) {
                return;
            }
            if (cb->menu == nullptr) {
                Fail(UI_ERR_UNKNOWN_CALLBACK, "'" + t[4].text + "' is not a menu callback");
                return;
            }
            item.callback = cb->menu;
        }
    }
    if (const UiMenuDecl *m = Menu(t[1].text)) {
        item.name = m->name;
        item.id = m->id;
        out_.menus.back().items.push_back(std::move(item));
    }
}

void Parser::ControlStatement(const std::vector<Token> &t)
{
    ControlSpec &c = out_.controls.back();
    const std::string &k = t[0].text;
    const bool slide = c.kind == UI_SLIDE_INT || c.kind == UI_SLIDE_DOUBLE;
    const auto only = [&](bool allowed) {
        if (!allowed) {
            Fail(UI_ERR_MALFORMED, "'" + k + "' does not apply to control '" + c.name + "'");
        }
        return allowed;
    };
    if (k != "entry" && !Once(k)) {
        return;
    }
    if (k == "rect") {
        if (Arity(t, 5)) {
            Rectangle(t, 1, &c.rect);
        }
    } else if (k == "label") {
        if (only(c.kind != UI_SPLITTER) && Arity(t, 2)) {
            c.label = t[1].text;
        }
    } else if (k == "label-rect") {
        if (!only(c.kind != UI_SPLITTER && c.kind != UI_COMMAND_BUTTON) || !ArityRange(t, 5, 6) ||
            !Rectangle(t, 1, &c.labelRect)) {
            return;
        }
        c.hasLabelRect = true;
        if (t.size() == 6) {
            if (t[5].text == "left") {
                c.labelAlign = LabelAlign::Left;
            } else if (t[5].text == "center") {
                c.labelAlign = LabelAlign::Center;
            } else if (t[5].text == "right") {
                c.labelAlign = LabelAlign::Right;
            } else {
                Fail(UI_ERR_MALFORMED, "alignment must be left, center or right");
            }
        }
    } else if (k == "callback") {
        if (!only(c.kind == UI_COMMAND_BUTTON) || !Arity(t, 2)) {
            return;
        }
        const UiCallbackDecl *cb = Callback(t[1].text);
        if (cb != nullptr && cb->control == nullptr) {
            Fail(UI_ERR_UNKNOWN_CALLBACK, "'" + t[1].text + "' is not a control callback");
        } else if (cb != nullptr) {
            c.callback = cb->control;
        }
    } else if (k == "dimmed") {
        if (Arity(t, 1)) {
            c.dimmed = true;
        }
    } else if (k == "type") {
        if (!only(slide) || !Arity(t, 2)) {
            return;
        }
        if (t[1].text != "int" && t[1].text != "double") {
            Fail(UI_ERR_MALFORMED, "slide type must be int or double");
            return;
        }
        const UiKind kind = t[1].text == "int" ? UI_SLIDE_INT : UI_SLIDE_DOUBLE;
        if (kind != declaredKind_) {
            Fail(UI_ERR_WRONG_KIND, "slide '" + c.name + "' is of type " + t[1].text + ", the program reads another");
            return;
        }
        c.kind = kind;
        hasType_ = true;
    } else if (k == "range") {
        if (only(slide) && Arity(t, 4) && Double(t[1], &c.minimum) && Double(t[2], &c.maximum)) {
            Double(t[3], &c.increment);
        }
    } else if (k == "decimals") {
        if (only(slide) && Arity(t, 2) && Int(t[1], &c.decimals) && (c.decimals < 0 || c.decimals > 9)) {
            Fail(UI_ERR_MALFORMED, "decimals must be 0 to 9");
        }
    } else if (k == "display") {
        if (only(slide) && Arity(t, 5)) {
            Rectangle(t, 1, &c.display);
        }
    } else if (k == "value") {
        if (only(slide || c.kind == UI_RING) && Arity(t, 2)) {
            Double(t[1], &c.value);
        }
    } else if (k == "entry") {
        RingEntry e;
        if (only(c.kind == UI_RING) && Arity(t, 3) && Int(t[2], &e.value)) {
            e.label = t[1].text;
            c.entries.push_back(std::move(e));
        }
    } else {
        Fail(UI_ERR_MALFORMED, "'" + k + "' is not a control statement");
    }
}

// Whole-block checks, once the block has ended.
void Parser::FinishControl()
{
    const ControlSpec &c = out_.controls.back();
    const auto need = [&](const char *keyword) {
        if (seen_.count(keyword) == 0) {
            Fail(UI_ERR_MALFORMED, "control '" + c.name + "' lacks '" + keyword + "'");
            return false;
        }
        return true;
    };
    if (!need("rect")) {
        return;
    }
    if (c.kind == UI_COMMAND_BUTTON) {
        need("label");
        return;
    }
    if (c.kind != UI_SPLITTER && !c.label.empty() && !need("label-rect")) {
        return;
    }
    if (c.kind == UI_RING) {
        if (c.entries.empty()) {
            Fail(UI_ERR_MALFORMED, "ring '" + c.name + "' has no entries");
            return;
        }
        if (!need("value")) {
            return;
        }
        bool found = false;
        for (const RingEntry &e : c.entries) {
            found = found || e.value == c.value;
        }
        if (!found) {
            Fail(UI_ERR_MALFORMED, "ring '" + c.name + "' has no entry of its start value");
        }
        return;
    }
    if (c.kind != UI_SLIDE_INT && c.kind != UI_SLIDE_DOUBLE) {
        return;
    }
    if (!need("type") || !need("range") || !need("decimals") || !need("display") || !need("value")) {
        return;
    }
    const double steps = (c.maximum - c.minimum) / c.increment;
    const double start = (c.value - c.minimum) / c.increment;
    // The slide moves in whole steps; a range or default off that grid could not be shown.
    if (!(c.increment > 0.0) || !(c.maximum > c.minimum) || steps > 1e6 ||
        std::abs(steps - std::round(steps)) > 1e-6) {
        Fail(UI_ERR_MALFORMED, "slide '" + c.name + "': range must be whole steps of its increment");
    } else if (c.value < c.minimum || c.value > c.maximum || std::abs(start - std::round(start)) > 1e-6) {
        Fail(UI_ERR_MALFORMED, "slide '" + c.name + "': default off its range or steps");
    } else if (c.kind == UI_SLIDE_INT && (c.minimum != std::trunc(c.minimum) || c.increment != std::trunc(c.increment) ||
                                          c.value != std::trunc(c.value))) {
        Fail(UI_ERR_MALFORMED, "int slide '" + c.name + "' with a fractional value");
    }
}

void Parser::Finish()
{
    if (context_ != Context::End) {
        Fail(UI_ERR_MALFORMED, context_ == Context::Header ? "empty file" : "no 'end': the file is cut short");
        return;
    }
    line_ = 0;
    for (const char *keyword : {"title", "size", "position", "background"}) {
        if (panelSeen_.count(keyword) == 0) {
            Fail(UI_ERR_MALFORMED, std::string("the panel lacks '") + keyword + "'");
            return;
        }
    }
    for (int i = 0; i < decl_.controlCount; ++i) {
        if (controlsSeen_.count(decl_.controls[i].name) == 0) {
            Fail(UI_ERR_MISSING, std::string("control '") + decl_.controls[i].name + "' is missing");
            return;
        }
    }
    for (int i = 0; i < decl_.menuCount; ++i) {
        if (menusSeen_.count(decl_.menus[i].name) == 0) {
            Fail(UI_ERR_MISSING, std::string("menu entry '") + decl_.menus[i].name + "' is missing");
            return;
        }
    }
}

int Parser::Run(std::string_view text, std::string *why)
{
    if (text.find('\0') != std::string_view::npos) {
        Fail(UI_ERR_MALFORMED, "not a text file");
    }
    std::size_t pos = 0;
    while (code_ == 0 && pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) {
            eol = text.size();
        }
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++line_;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') {
            continue;
        }
        std::vector<Token> tokens;
        if (Tokenize(line, &tokens)) {
            Statement(tokens);
        }
    }
    if (code_ == 0) {
        Finish();
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
    Parser parser(decl, resourceId, &parsed);
    const int result = parser.Run(text, why);
    if (result == 0) {
        *out = std::move(parsed);
    }
    return result;
}

int ReadPanelFile(const char *fileName, const UiPanelDecl &decl, int resourceId, PanelSpec *out, std::string *why)
{
    std::ifstream file(fileName == nullptr ? "" : fileName, std::ios::binary);
    if (!file) {
        if (why != nullptr) {
            *why = "cannot open the file";
        }
        return UI_ERR_FILE_MISSING;
    }
    std::string text;
    char buffer[4096];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(file.gcount()));
        if (text.size() > kMaxFileBytes) {
            if (why != nullptr) {
                *why = "far too large for a panel file";
            }
            return UI_ERR_MALFORMED;
        }
    }
    if (file.bad()) {
        if (why != nullptr) {
            *why = "cannot read the file";
        }
        return UI_ERR_FILE_MISSING;
    }
    return ParsePanelText(text, decl, resourceId, out, why);
}

}  // namespace uicore
