// The V/F data editor: the voltage/frequency compensation table of an AC motor
// as a grid of five rows (speed, no-load and max-load voltage, no-load and
// max-load speed loss) by twelve points. Each cell is checked when it is left;
// the opener takes the table back only when the window is closed with OK.
#pragma once

#include <QDialog>
#include <QTableWidget>

#include "profiles/profile_edit_rules.h"

class QLabel;
class QPushButton;

namespace mv::ui {

// The grid, with a way to commit a cell editor that is still open. Tab and
// Shift+Tab move between cells but leave the grid from its last and first
// cell, and Ctrl+Tab (Ctrl+Shift+Tab) leaves it from any cell, so a keyboard
// reaches the window's buttons.
class VfDataGrid : public QTableWidget {
  Q_OBJECT
 public:
  using QTableWidget::QTableWidget;
  // Writes an open cell editor's text through the cell rules and closes it.
  void CommitOpenEditor();
  // Commits an open editor and gives the focus to the window's next (or
  // previous) control.
  void LeaveGrid(bool forward);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

 private:
  // Whether the current cell is the last (forward) or the first cell.
  bool AtEdge(bool forward) const;
};

class TVFDataEditForm : public QDialog {
  Q_OBJECT
 public:
  // `source` is the opener's table; the window edits its own copy of it.
  TVFDataEditForm(QWidget* owner, const mv::VfTable& source);
  ~TVFDataEditForm() override;

  // The working table: read it after an OK close.
  const mv::VfTable& Table() const { return table_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ShowTable();
  void CommitCell(int row, int column, const QString& text);
  void OKButtonClick();
  void DefaultsButtonClick();

  const mv::VfTable source_;
  mv::VfTable table_;
  QLabel* TitleLabel;
  VfDataGrid* ACMotorVFDataStringGrid;
  QPushButton* OKButton;
  QPushButton* DefaultsButton;
  QPushButton* CancelButton;

  friend class VfCellDelegate;
};

}  // namespace mv::ui
