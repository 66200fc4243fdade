// Reading the panel form and building it with QUiLoader. QUiLoader applies every property,
// connection, resource and plugin a form names; the program's form uses a handful of each,
// so the text is held to those before the loader sees it, and the loader builds only the
// classes that make the panel.

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QMenuBar>
#include <QSet>
#include <QString>
#include <QUiLoader>
#include <QXmlStreamReader>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/sys/regular_file.h"
#include "platform/ui/core.h"
#include "platform/ui/panel.h"

namespace uicore {

namespace {

// A panel file is a few tens of kilobytes; anything far larger or deeper is not one.
constexpr qint64 kMaxFileBytes = 1 << 20;
constexpr int kMaxDepth = 32;

struct PropertyRule {
    const char *name;
    const char *types;  // the value elements it may hold, separated by '|'
    bool dynamic;       // the program's own (stdset="0"), not Qt's
};

// Every property the panel uses. A style sheet, a pixmap, an icon or anything else that
// the loader would apply and the check would not look at is refused.
constexpr PropertyRule kProperties[] = {
    {"geometry", "rect", false},      {"minimumSize", "size", false},     {"windowTitle", "string", false},
    {"autoFillBackground", "bool", false}, {"palette", "palette", false}, {"text", "string", false},
    {"alignment", "set", false},      {"buddy", "cstring", false},        {"enabled", "bool", false},
    {"orientation", "enum", false},   {"readOnly", "bool", false},
    {"decimals", "number", false},    {"minimum", "number|double", false}, {"maximum", "number|double", false},
    {"singleStep", "number|double", false}, {"value", "number|double", false}, {"frameShape", "enum", false},
    {"frameShadow", "enum", false},   {"currentIndex", "number", false},  {"title", "string", false},
    {"shortcut", "string", false},    {"position", "point", true},        {"callback", "string", true},
    {"itemValues", "string", true},   {"slide", "cstring", true},        {"accessibleName", "string", false},
    {"labelNames", "stringlist", true},
};

// The elements of such a form: its structure, and the values of the properties above.
const QSet<QString> &Elements()
{
    static const QSet<QString> names = {
        "ui", "class", "widget", "property", "item", "addaction", "action", "resources", "connections",
        "string", "cstring", "number", "double", "bool", "enum", "set", "rect", "point", "size", "x", "y",
        "width", "height", "stringlist", "palette", "active", "inactive", "disabled", "colorrole", "brush", "color",
        "red", "green", "blue",
    };
    return names;
}

const PropertyRule *Rule(QStringView name)
{
    for (const PropertyRule &rule : kProperties) {
        if (name == QLatin1String(rule.name)) {
            return &rule;
        }
    }
    return nullptr;
}

// Empty when the text is a form of ours; else why not.
std::string CheckFormText(const QByteArray &text)
{
    QXmlStreamReader xml(text);
    // Per open element: the properties it has had, so that none is given twice.
    std::vector<QSet<QString>> properties;
    const PropertyRule *open = nullptr;  // the property whose value comes next
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::DTD) {
            return "a document type declaration";
        }
        if (token == QXmlStreamReader::EndElement) {
            properties.pop_back();
            continue;
        }
        if (token != QXmlStreamReader::StartElement) {
            continue;
        }
        const QString tag = xml.name().toString();
        if (properties.size() >= kMaxDepth) {
            return "nested too deep";
        }
        if (properties.empty() && (tag != "ui" || xml.attributes().value("version") != QLatin1String("4.0"))) {
            return "not a Qt Designer form of version 4.0";
        }
        if (!Elements().contains(tag)) {
            return "<" + tag.toStdString() + "> is nothing the panel uses";
        }
        if (tag == "resources" || tag == "connections") {
            // Designer writes both, empty; the loader would apply what they hold.
            QXmlStreamReader::TokenType next = xml.readNext();
            while ((next == QXmlStreamReader::Characters && xml.isWhitespace()) || next == QXmlStreamReader::Comment) {
                next = xml.readNext();
            }
            if (next != QXmlStreamReader::EndElement) {
                return "<" + tag.toStdString() + "> holds something";
            }
            continue;
        }
        if (open != nullptr && !QString::fromLatin1(open->types).split('|').contains(tag)) {
            return std::string("property ") + open->name + " is not a <" + open->types + ">";
        }
        open = nullptr;
        if (tag == "property") {
            const QString name = xml.attributes().value("name").toString();
            open = Rule(name);
            if (open == nullptr || open->dynamic != (xml.attributes().value("stdset") == QLatin1String("0"))) {
                return "property " + name.toStdString() + " is nothing the panel uses";
            }
            if (properties.back().contains(name)) {
                return "property " + name.toStdString() + " given twice";
            }
            properties.back().insert(name);
        }
        properties.emplace_back();
    }
    if (xml.hasError()) {
        return "not a well-formed XML document at line " + std::to_string(xml.lineNumber()) + ": " +
               xml.errorString().toStdString();
    }
    return {};
}

// Builds the classes that make the panel, each only where it may stand, and nothing else;
// the first widget it would not build decides the result.
class PanelLoader final : public QUiLoader {
public:
    explicit PanelLoader(const UiPanelDecl &decl) : decl_(decl)
    {
        clearPluginPaths();  // no Designer plugin may load into the program
        setTranslationEnabled(false);
    }

    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override
    {
        static const QSet<QString> kBuilt = {"QMainWindow", "QWidget", "QLabel",    "QPushButton",   "QSlider",
                                             "QComboBox",   "QFrame",  "Line",      "QSpinBox",      "QDoubleSpinBox",
                                             "QMenuBar",    "QMenu",   "QStatusBar"};
        const UiControlDecl *control = DeclaredControl(decl_, name);
        QWidget *made = nullptr;
        if (!kBuilt.contains(className)) {
            Refuse(control != nullptr ? UI_ERR_WRONG_KIND : UI_ERR_MALFORMED,
                   "'" + name + "' is a " + className + ", which the panel does not use");
        } else if (!Fits(className, parent)) {
            Refuse(UI_ERR_MALFORMED, "'" + name + "' stands where the panel has no " + className);
        } else if (className == "QMainWindow") {
            made = new PanelWindow(parent);
        } else if (className == "QWidget" && control != nullptr && control->kind == UI_CANVAS) {
            made = new CanvasWidget(parent);
        } else if (className == "QSpinBox" || className == "QDoubleSpinBox") {
            made = new ValueDisplay(className == "QSpinBox", parent);
        } else {
            return QUiLoader::createWidget(className, parent, name);
        }
        if (made != nullptr) {
            made->setObjectName(name);
        }
        return made;
    }

    int code = 0;
    std::string why;

private:
    // The window alone at the top; in it the control area, the menu bar and a status bar;
    // menus in the bar; every other widget in the control area, none inside another.
    static bool Fits(const QString &className, const QWidget *parent)
    {
        static const QSet<QString> kFrame = {"QMainWindow", "QMenuBar", "QMenu", "QStatusBar"};
        if (parent == nullptr) {
            return className == "QMainWindow";
        }
        if (dynamic_cast<const PanelWindow *>(parent) != nullptr) {
            return className == "QWidget" || className == "QMenuBar" || className == "QStatusBar";
        }
        if (qobject_cast<const QMenuBar *>(parent) != nullptr) {
            return className == "QMenu";
        }
        return dynamic_cast<const PanelWindow *>(parent->parentWidget()) != nullptr && !kFrame.contains(className);
    }

    void Refuse(int result, const QString &reason)
    {
        if (code == 0) {
            code = result;
            why = reason.toStdString();
        }
    }

    const UiPanelDecl &decl_;
};

bool ReadFile(const char *fileName, QByteArray *text)
{
    const int fd = velmora::OpenRegularFile(fileName);
    if (fd < 0) {
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    *text = file.read(kMaxFileBytes + 1);  // one byte more: too large
    return true;
}

}  // namespace

int LoadPanelForm(const char *fileName, const UiPanelDecl &decl, int resourceId, PanelLayout *out, std::string *why)
{
    QByteArray text;
    if (!ReadFile(fileName, &text)) {
        *why = "cannot read the file, or it is not a regular file";
        return UI_ERR_FILE_MISSING;
    }
    *why = text.size() > kMaxFileBytes ? "far too large for a panel file" : CheckFormText(text);
    if (!why->empty()) {
        return UI_ERR_MALFORMED;
    }
    QBuffer buffer(&text);
    buffer.open(QIODevice::ReadOnly);
    // QUiLoader loads every Designer plugin under the library paths as it is made; none may
    // come into the program (one would bring in Qt Quick), so it is made with none to see.
    const QStringList libraryPaths = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths({});
    PanelLoader loader(decl);
    QCoreApplication::setLibraryPaths(libraryPaths);
    std::unique_ptr<QWidget> root(loader.load(&buffer));
    if (loader.code != 0) {
        *why = loader.why;
        return loader.code;
    }
    PanelLayout layout;
    const int result = CheckPanelForm(root.get(), decl, resourceId, &layout, why);
    if (result == 0) {
        root.release();
        *out = std::move(layout);
    }
    return result;
}

}  // namespace uicore
