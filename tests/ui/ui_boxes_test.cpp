// The message box and the warning boxes over the shipped panel (offscreen).

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <vector>

#include "ui/ui_qt_fixture.h"

namespace {

TEST(Boxes, MessageBoxIsModalWithTitleTextAndOneOkButton)
{
    ASSERT_GT(SharedPanel(), 0);
    QString title;
    QString text;
    int buttons = -1;
    bool wasOk = false;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        text = box->text();
        buttons = static_cast<int>(box->buttons().size());
        wasOk = box->button(QMessageBox::Ok) != nullptr;
        box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(Ui_MessagePopup("Velmora", "Velmora\n\u00a9 2026 The Velmora developers\n<b>not bold</b>"), 0);
    EXPECT_EQ(title, "Velmora");
    EXPECT_EQ(text, QString::fromUtf8("Velmora\n\u00a9 2026 The Velmora developers\n<b>not bold</b>"));
    EXPECT_EQ(buttons, 1);
    EXPECT_TRUE(wasOk);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

std::vector<QMessageBox *> OpenWarningBoxes()
{
    std::vector<QMessageBox *> boxes;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (box != nullptr && box->objectName() == "velmora_warning" && box->isVisible()) {
            boxes.push_back(box);
        }
    }
    return boxes;
}

// A device that keeps failing warns again and again: one box per title and first line,
// its text counting the repeats, without holding the panel.
TEST(Boxes, RepeatedWarningsShareOneBoxThatCounts)
{
    ASSERT_GT(SharedPanel(), 0);
    const char *lost = "The sound output was lost.\nVelmora tries again.\n";
    struct Row {
        const char *title;
        const char *message;
        std::size_t boxes;
        const char *text;  // the newest box's text
    };
    const Row rows[] = {
        {"Velmora", lost, 1, "The sound output was lost.\nVelmora tries again.\n"},
        {"Velmora", lost, 1, "The sound output was lost.\nVelmora tries again.\n(2 times)"},
        {"Velmora", "The sound output was lost.\nAnother detail", 1, "The sound output was lost.\nAnother detail\n(3 times)"},
        {"Velmora", "No tone file opened.\n", 2, "No tone file opened.\n"},
        {"Other title", lost, 3, "The sound output was lost.\nVelmora tries again.\n"},
    };
    for (const Row &row : rows) {
        Ui_ShowWarning(row.title, row.message);
        Ui_ProcessSystemEvents();
        const std::vector<QMessageBox *> boxes = OpenWarningBoxes();
        ASSERT_EQ(boxes.size(), row.boxes) << row.title << ": " << row.message;
        bool found = false;
        for (QMessageBox *box : boxes) {
            found = found || (box->windowTitle() == row.title && box->text() == row.text);
            EXPECT_FALSE(box->isModal());
        }
        EXPECT_TRUE(found) << row.text;
    }

    // Closed by the user, the kind opens a fresh box on its next warning.
    for (QMessageBox *box : OpenWarningBoxes()) {
        box->close();
    }
    Ui_ProcessSystemEvents();
    ASSERT_TRUE(OpenWarningBoxes().empty());
    Ui_ShowWarning("Velmora", lost);
    Ui_ProcessSystemEvents();
    ASSERT_EQ(OpenWarningBoxes().size(), 1u);
    EXPECT_EQ(OpenWarningBoxes()[0]->text(), lost);
    OpenWarningBoxes()[0]->close();
    Ui_ProcessSystemEvents();
}

// A pool thread relabels, dims and draws while the GUI thread processes events: the GUI
// thread sees the labels in the order they were made, and the end state is the last one.

}  // namespace
