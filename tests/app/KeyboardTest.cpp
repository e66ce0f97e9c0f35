// The main window from the keyboard: Enter presses the focused button and the focus comes
// back to it after the action; Tab goes round the shown tab in its order (the form's: on the
// individual tab "Assinar" comes first) without being held by the grid; Ctrl+Tab changes the tab.

#include "app/u_Principal.h"
#include "engine/RowModel.h"
#include "support/ScriptedDialogs.h"
#include "ui_u_Principal.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using norvane::test::ScriptedDialogs;

namespace {

// The names of the controls that Tab visits from the focused one until it comes back.
std::string tabRound() {
    QStringList round;
    QWidget* start = QApplication::focusWidget();
    for (int i = 0; i < 20; ++i) {
        round << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (QApplication::focusWidget() == start) break;
    }
    return round.join(QStringLiteral(" > ")).toStdString();
}

}  // namespace

TEST(Keyboard, EnterPressesTheFocusedButtonAndTheFocusComesBackAfterTheAction) {
    ScriptedDialogs dialogs;
    QTemporaryDir folder;
    dialogs.folderAnswers = {folder.path()};
    TFPrincipal window;
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto& ui = *window.ui;
    ui.Button1->setFocus();
    QTest::keyClick(ui.Button1, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.folderTitles.size() == 1; }));
    EXPECT_EQ(ui.PastaEntrada->text(), QDir::toNativeSeparators(folder.path()));
    // The intake locked the buttons (the focus left them); it comes back where the user was.
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui.Button1->isEnabled(); }));
    EXPECT_TRUE(ui.Button1->hasFocus());
    QTest::keyClick(ui.Button1, Qt::Key_Space);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.folderTitles.size() == 2 && ui.Button1->isEnabled(); }));
    EXPECT_TRUE(ui.Button1->hasFocus());
}

TEST(Keyboard, TabGoesRoundEachTabInItsOrderAndCtrlTabChangesTheTab) {
    TFPrincipal window;
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto& ui = *window.ui;
    ui.TabControl1->Tabs()->setObjectName(QStringLiteral("Tabs"));
    // A grid with rows, where Tab could move from cell to cell.
    for (const char* name : {"a.pdf", "b.pdf"}) {
        norvane::RowRecord row;
        row.file = QString::fromLatin1(name);
        static_cast<norvane::RowModel*>(ui.ListView1->model())->append(row);
    }
    ui.TabControl1->Tabs()->setFocus();
    EXPECT_EQ(tabRound(), "Tabs > Button1 > Button2 > Button3 > ListView1");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(ui.TabControl1->TabIndex(), 1);
    EXPECT_TRUE(ui.Panel2->isVisible());
    EXPECT_EQ(tabRound(), "Tabs > Button6 > Button5 > Button4 > ListView2");
    ui.Button4->setFocus();
    QTest::keyClick(ui.Button4, Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(ui.TabControl1->TabIndex(), 2);
    EXPECT_EQ(tabRound(), "Tabs > Button7 > Button9 > ButtonVerificar");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(ui.TabControl1->TabIndex(), 1);
}
