// The V/F table window, driven through its real grid and cell editors.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "core/field_parse.h"
#include "profiles/ui/TVFDataEditForm.h"
#include "support/accessibility_check.h"
#include "support/qt_find.h"
#include "support/qt_keys.h"

namespace {

using mv::ui::TVFDataEditForm;

class VfFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source = mv::VfTableOf(mv::MotorProfileDefaults(0));
    form = std::make_unique<TVFDataEditForm>(nullptr, source);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    grid = form->findChild<QTableWidget*>("ACMotorVFDataStringGrid");
    ASSERT_NE(grid, nullptr);
    grid->setFocus();
  }

  // Opens the editor of a cell the way a user does (typing into the grid) and
  // types the rest into the editor; returns the open editor.
  QLineEdit* type(int row, int column, const QString& text) {
    grid->setCurrentCell(row, column);
    QTest::keyClick(grid, text.at(0).toLatin1());
    auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(grid->model()->index(row, column)));
    EXPECT_NE(editor, nullptr);
    if (editor) QTest::keyClicks(editor, text.mid(1));
    return editor;
  }
  QString cell(int row, int column) const { return grid->item(row, column)->text(); }
  std::uint16_t stored(int row, int column) const { return form->Table()[row * 12 + column]; }
  QPushButton* button(const char* name) const { return mvtest::Find<QPushButton>(form.get(), name); }

  mv::VfTable source{};
  std::unique_ptr<TVFDataEditForm> form;
  QTableWidget* grid = nullptr;
};

TEST_F(VfFormTest, LayoutShowsTheTableWithCaptionsAndNoHeaders) {
  EXPECT_EQ(form->windowTitle(), "V/F Data");
  EXPECT_EQ(grid->rowCount(), 5);
  EXPECT_EQ(grid->columnCount(), 12);
  EXPECT_FALSE(grid->horizontalHeader()->isVisible());
  EXPECT_FALSE(grid->verticalHeader()->isVisible());
  EXPECT_EQ(grid->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(grid->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  // Every cell is visible without scrolling.
  EXPECT_TRUE(grid->viewport()->rect().contains(grid->visualRect(grid->model()->index(4, 11))));

  const QStringList captions{"Speed (RPM)", "Voltage No Load (Volts)", "Voltage Max. Load (Volts)",
                             "Speed Loss No Load (RPM)", "Speed Loss Max. Load (RPM)"};
  for (int r = 0; r < 5; ++r) {
    auto* caption = form->findChild<QLabel*>(QStringLiteral("VFRow%1Label").arg(r));
    ASSERT_NE(caption, nullptr);
    EXPECT_EQ(caption->text(), captions[r]);
    EXPECT_EQ(caption->textFormat(), Qt::PlainText);
    // Right of the grid, level with its row.
    const QRect cellRect = grid->visualRect(grid->model()->index(r, 11));
    const QPoint cellCentre = grid->viewport()->mapTo(form.get(), cellRect.center());
    const QRect captionRect(caption->mapTo(form.get(), QPoint(0, 0)), caption->size());
    EXPECT_GT(captionRect.left(), cellCentre.x());
    EXPECT_LE(std::abs(captionRect.center().y() - cellCentre.y()), 2) << r;
  }
  auto* title = form->findChild<QLabel*>("TitleLabel");
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->text(), "Voltage/Frequency Compensation Table");
  EXPECT_EQ(title->buddy(), grid);
  EXPECT_EQ(grid->accessibleName(), title->text());

  // Stored values in display units: speeds x 10, voltages with one decimal and a point.
  EXPECT_EQ(cell(0, 11), "100000");
  EXPECT_EQ(cell(1, 4), "7.0");
  EXPECT_EQ(cell(2, 3), "21.0");
  EXPECT_EQ(cell(3, 0), "500");
  EXPECT_EQ(cell(4, 9), "6000");
}

TEST_F(VfFormTest, LeavingACellChecksItAgainstItsRow) {
  // Tab moves to the next cell and commits the one left.
  QTest::keyClick(type(0, 2, "250000"), Qt::Key_Tab);
  EXPECT_EQ(cell(0, 2), "240000");
  EXPECT_EQ(stored(0, 2), 24000);
  EXPECT_EQ(grid->currentColumn(), 3);

  type(0, 5, "12345");
  grid->setCurrentCell(1, 0);  // selecting another cell commits the one being left
  EXPECT_EQ(cell(0, 5), "12340");
  EXPECT_EQ(stored(0, 5), 1234);

  QTest::keyClick(type(1, 0, "50"), Qt::Key_Tab);
  EXPECT_EQ(cell(1, 0), "48.0");
  EXPECT_EQ(stored(1, 0), 480);
  QTest::keyClick(type(2, 7, "12.34"), Qt::Key_Tab);
  EXPECT_EQ(cell(2, 7), "12.3");
  EXPECT_EQ(stored(2, 7), 123);
  QTest::keyClick(type(3, 1, "-250"), Qt::Key_Tab);
  EXPECT_EQ(cell(3, 1), "0");
  EXPECT_EQ(stored(3, 1), 0);
  // Not a number: the cell's previous value comes back.
  QTest::keyClick(type(4, 4, "abc"), Qt::Key_Tab);
  EXPECT_EQ(cell(4, 4), "5000");
  EXPECT_EQ(stored(4, 4), 500);
}

TEST_F(VfFormTest, EnterCommitsTheCellAndKeepsTheWindowOpen) {
  QLineEdit* editor = type(4, 0, "99999");
  QTest::keyClick(editor, Qt::Key_Return);
  QCoreApplication::processEvents();
  EXPECT_EQ(cell(4, 0), "20000");
  EXPECT_EQ(stored(4, 0), 2000);
  EXPECT_TRUE(form->isVisible());
  // Enter on a cell that is not being edited does nothing either.
  QTest::keyClick(grid, Qt::Key_Return);
  QCoreApplication::processEvents();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->result(), QDialog::Rejected);
}

TEST_F(VfFormTest, OkStraightAfterTypingKeepsTheEdit) {
  type(1, 3, "33.37");
  button("OKButton")->click();  // no focus change: the open editor is committed first
  EXPECT_EQ(form->result(), QDialog::Accepted);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(stored(1, 3), 333);
}

TEST_F(VfFormTest, DefaultsRestoresTheOpenersTableAndCancelKeepsNothing) {
  QTest::keyClick(type(0, 0, "1000"), Qt::Key_Tab);
  QTest::keyClick(type(2, 2, "1"), Qt::Key_Tab);
  ASSERT_NE(form->Table(), source);
  // Defaults with an editor still open: the typed text does not survive.
  type(4, 4, "7");
  button("DefaultsButton")->click();
  EXPECT_EQ(form->Table(), source);
  EXPECT_EQ(cell(0, 0), "0");
  EXPECT_EQ(cell(2, 2), "20.0");
  EXPECT_EQ(cell(4, 4), "5000");
  button("OKButton")->click();
  EXPECT_EQ(form->result(), QDialog::Accepted);
  EXPECT_EQ(form->Table(), source);

  // Escape cancels.
  TVFDataEditForm other(nullptr, source);
  other.show();
  QTest::keyClick(mvtest::Find<QTableWidget>(&other, "ACMotorVFDataStringGrid"), Qt::Key_Escape);
  EXPECT_FALSE(other.isVisible());
  EXPECT_EQ(other.result(), QDialog::Rejected);
}

TEST_F(VfFormTest, CommaLocaleReadsCommaAndShowsPoint) {
  const char saved = mv::DecimalSeparator();
  mv::SetDecimalSeparator(',');
  QTest::keyClick(type(1, 6, "12,34"), Qt::Key_Tab);
  EXPECT_EQ(cell(1, 6), "12.3");
  EXPECT_EQ(stored(1, 6), 123);
  // Re-committing the shown text (with a point) keeps the value.
  QTest::keyClick(type(1, 6, cell(1, 6)), Qt::Key_Tab);
  EXPECT_EQ(stored(1, 6), 123);
  mv::SetDecimalSeparator(saved);
}

TEST_F(VfFormTest, ScreenReaderHearsCaptionsAndTheLabelledGrid) {
  EXPECT_EQ(mvtest::AccessibilityFaults(form.get()), "");
  // Each button's access key is told with it.
  for (const char* name : {"OKButton", "DefaultsButton", "CancelButton"})
    EXPECT_FALSE(mvtest::AccessibleText(button(name), QAccessible::Accelerator).isEmpty()) << name;
}

// A keyboard alone: edit cells, leave the grid and keep the edit with OK.
TEST_F(VfFormTest, KeyboardLeavesTheGridAndKeepsTheEdit) {
  using mvtest::Press;
  // Tab from the last cell (its editor open) goes to OK; Enter there keeps the edits.
  grid->setCurrentCell(4, 10);
  mvtest::TypeText("700");
  Press(Qt::Key_Tab);
  mvtest::TypeText("800");
  Press(Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), button("OKButton"));
  Press(Qt::Key_Return);
  EXPECT_EQ(form->result(), QDialog::Accepted);
  EXPECT_EQ(stored(4, 10), 70);
  EXPECT_EQ(stored(4, 11), 80);

  // Every way out of the grid, from a cell or its open editor; the typed value is kept.
  struct Case {
    const char* what;
    int row, column;
    const char* typed;  // "" = no editor open
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    const char* focusAfter;  // null: the window closed with OK
  };
  const Case cases[] = {
      {"Shift+Tab on the first cell", 0, 0, "", Qt::Key_Backtab, Qt::ShiftModifier, "CancelButton"},
      {"Shift+Tab in the first cell's editor", 0, 0, "50", Qt::Key_Backtab, Qt::ShiftModifier, "CancelButton"},
      {"Ctrl+Tab on a middle cell", 2, 5, "", Qt::Key_Tab, Qt::ControlModifier, "OKButton"},
      {"Ctrl+Tab in a middle cell's editor", 2, 5, "9", Qt::Key_Tab, Qt::ControlModifier, "OKButton"},
      {"Ctrl+Shift+Tab in a middle cell's editor", 2, 5, "9", Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier,
       "CancelButton"},
      {"Alt+O in a cell's editor", 1, 3, "12", Qt::Key_O, Qt::AltModifier, nullptr},
  };
  for (const Case& c : cases) {
    TVFDataEditForm other(nullptr, source);
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    auto* g = mvtest::Find<QTableWidget>(&other, "ACMotorVFDataStringGrid");
    g->setFocus();
    g->setCurrentCell(c.row, c.column);
    mvtest::TypeText(QString::fromLatin1(c.typed));
    Press(c.key, c.modifiers);
    if (c.focusAfter == nullptr) {
      EXPECT_TRUE(QTest::qWaitFor([&] { return !other.isVisible(); })) << c.what;
      EXPECT_EQ(other.result(), QDialog::Accepted) << c.what;
    } else {
      QWidget* focus = QApplication::focusWidget();
      EXPECT_EQ(focus ? focus->objectName().toStdString() : "", c.focusAfter) << c.what;
    }
    if (*c.typed) {
      EXPECT_NE(other.Table(), source) << c.what << ": the typed value was lost";
    }
  }
}

}  // namespace
