// The shipped panel file is a Qt Designer form: QUiLoader, which builds forms as Designer
// shows them, makes every widget of it at the place, in the state and with the text that
// the program's own panel has.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QUiLoader>
#include <cstdlib>
#include <memory>

#include "platform/ui_testing.h"
#include "ui/ui_qt_fixture.h"

namespace {

std::unique_ptr<QMainWindow> LoadWithDesignerLoader()
{
    QFile file(VELMORA_TEST_PANEL_FILE);
    if (!file.open(QIODevice::ReadOnly)) {
        return nullptr;
    }
    QUiLoader loader;
    return std::unique_ptr<QMainWindow>(qobject_cast<QMainWindow *>(loader.load(&file)));
}

// What the user reads on a widget: a button's or caption's text, a ring's items and
// selection, the value a display shows.
QString Shown(const QWidget *w)
{
    if (const auto *label = qobject_cast<const QLabel *>(w)) {
        return label->text();
    }
    if (const auto *button = qobject_cast<const QPushButton *>(w)) {
        return button->text();
    }
    if (const auto *combo = qobject_cast<const QComboBox *>(w)) {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i) {
            items << combo->itemText(i);
        }
        return items.join('|') + " @" + combo->currentText();
    }
    if (const auto *spin = qobject_cast<const QDoubleSpinBox *>(w)) {
        return QString::number(spin->value(), 'f', spin->decimals());
    }
    if (const auto *spin = qobject_cast<const QSpinBox *>(w)) {
        return QString::number(spin->value());
    }
    return {};
}

TEST(DesignerForm, QUiLoaderBuildsTheProgramsPanel)
{
    const int panel = SharedPanel();
    ASSERT_GT(panel, 0) << Ui_TestLastLoadError();
    const std::unique_ptr<QMainWindow> form = LoadWithDesignerLoader();
    ASSERT_NE(form, nullptr);
    QWidget *window = Ui_TestPanelWindow(panel);
    QWidget *content = Ui_TestContentArea(panel);
    EXPECT_EQ(form->windowTitle(), window->windowTitle());
    EXPECT_EQ(form->property("position").toPoint(), window->geometry().topLeft());
    EXPECT_EQ(form->centralWidget()->minimumSize(), content->size());
    EXPECT_EQ(form->centralWidget()->palette().color(QPalette::Window), content->palette().color(QPalette::Window));

    const QList<QWidget *> designed =
        form->centralWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    EXPECT_EQ(designed.size(), 15 + 7 + 5);  // controls, captions, value displays
    for (const QWidget *w : designed) {
        const QString name = w->objectName();
        const QWidget *mine = content->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
        ASSERT_NE(mine, nullptr) << name.toStdString();
        EXPECT_EQ(mine->isEnabled(), w->isEnabled()) << name.toStdString();
        EXPECT_EQ(Shown(mine), Shown(w)) << name.toStdString();
        const auto *label = qobject_cast<const QLabel *>(w);
        if (label == nullptr) {
            EXPECT_EQ(mine->geometry(), w->geometry()) << name.toStdString();
            continue;
        }
        // A caption that the font makes wider than its place grows away from its aligned edge.
        const Qt::Alignment align = label->alignment() & Qt::AlignHorizontal_Mask;
        EXPECT_EQ(static_cast<const QLabel *>(mine)->alignment() & Qt::AlignHorizontal_Mask, align);
        const QRect want = w->geometry();
        const QRect got = mine->geometry();
        EXPECT_TRUE(got.contains(want) && got.top() == want.top() && got.height() == want.height())
            << name.toStdString();
        EXPECT_TRUE(align == Qt::AlignLeft    ? got.left() == want.left()
                    : align == Qt::AlignRight ? got.right() == want.right()
                                              : std::abs(got.center().x() - want.center().x()) <= 1)
            << name.toStdString();
    }

    const QList<QAction *> menus = form->menuBar()->actions();
    const QList<QAction *> myMenus = static_cast<QMainWindow *>(window)->menuBar()->actions();
    ASSERT_EQ(menus.size(), myMenus.size());
    for (qsizetype m = 0; m < menus.size(); ++m) {
        EXPECT_EQ(menus[m]->text(), myMenus[m]->text());
        const QList<QAction *> items = menus[m]->menu()->actions();
        const QList<QAction *> myItems = myMenus[m]->menu()->actions();
        ASSERT_EQ(items.size(), myItems.size());
        for (qsizetype i = 0; i < items.size(); ++i) {
            EXPECT_EQ(items[i]->isSeparator(), myItems[i]->isSeparator());
            EXPECT_EQ(items[i]->text(), myItems[i]->text());
            EXPECT_EQ(items[i]->shortcut(), myItems[i]->shortcut());
        }
    }
}

}  // namespace
