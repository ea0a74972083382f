#include "profiles/ui/TVFDataEditForm.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace mv::ui {

// Every text a cell editor hands back goes through the row's rules; the cell
// then shows the value as stored.
class VfCellDelegate : public QStyledItemDelegate {
 public:
  explicit VfCellDelegate(TVFDataEditForm* form) : QStyledItemDelegate(form), form_(form) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex& index) const override {
    auto* editor = new QLineEdit(parent);
    editor->setFrame(false);
    if (index.row() >= 0 && index.row() < mv::kVfRowCount)
      editor->setAccessibleName(QStringLiteral("%1, point %2")
                                    .arg(QString::fromLatin1(mv::kVfRows[index.row()].caption))
                                    .arg(index.column() + 1));
    return editor;
  }
  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    if (auto* line = qobject_cast<QLineEdit*>(editor)) line->setText(index.data(Qt::EditRole).toString());
  }
  void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override {
    if (auto* line = qobject_cast<QLineEdit*>(editor)) form_->CommitCell(index.row(), index.column(), line->text());
  }

 protected:
  // Ctrl+Tab in an open editor leaves the grid (Qt's own editor handling
  // would take it as Tab, the next cell).
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      const auto* key = static_cast<QKeyEvent*>(event);
      if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) && (key->modifiers() & Qt::ControlModifier)) {
        form_->ACMotorVFDataStringGrid->LeaveGrid(key->key() == Qt::Key_Tab && !(key->modifiers() & Qt::ShiftModifier));
        return true;
      }
    }
    return QStyledItemDelegate::eventFilter(object, event);
  }

 private:
  TVFDataEditForm* form_;
};

void VfDataGrid::CommitOpenEditor() {
  if (state() != QAbstractItemView::EditingState) return;
  QWidget* editor = indexWidget(currentIndex());
  if (!editor) return;
  commitData(editor);
  closeEditor(editor, QAbstractItemDelegate::NoHint);
}

void VfDataGrid::LeaveGrid(bool forward) {
  CommitOpenEditor();
  setFocus(Qt::OtherFocusReason);
  // The window's focus chain from the grid (QWidget's, not the grid's own
  // move between cells).
  QWidget::focusNextPrevChild(forward);
}

bool VfDataGrid::AtEdge(bool forward) const {
  const QModelIndex i = currentIndex();
  if (!i.isValid()) return true;
  return forward ? i.row() == rowCount() - 1 && i.column() == columnCount() - 1 : i.row() == 0 && i.column() == 0;
}

void VfDataGrid::keyPressEvent(QKeyEvent* event) {
  // Enter on a cell that is not being edited: its text is already committed.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) {
    const bool forward = event->key() == Qt::Key_Tab && !(event->modifiers() & Qt::ShiftModifier);
    if ((event->modifiers() & Qt::ControlModifier) || AtEdge(forward)) {
      event->accept();
      LeaveGrid(forward);
      return;
    }
  }
  QTableWidget::keyPressEvent(event);
}

void VfDataGrid::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
  // Tab in the editor of the last cell (Shift+Tab in the first) leaves the
  // grid instead of wrapping round to the other end.
  const bool next = hint == QAbstractItemDelegate::EditNextItem;
  if ((next || hint == QAbstractItemDelegate::EditPreviousItem) && AtEdge(next)) {
    QTableWidget::closeEditor(editor, QAbstractItemDelegate::NoHint);
    LeaveGrid(next);
    return;
  }
  QTableWidget::closeEditor(editor, hint);
}

// The grid goes first, while the form is still whole: an open cell editor
// that closes with it commits its text through the form.
TVFDataEditForm::~TVFDataEditForm() { delete ACMotorVFDataStringGrid; }

TVFDataEditForm::TVFDataEditForm(QWidget* owner, const mv::VfTable& source)
    : QDialog(owner), source_(source), table_(source) {
  setObjectName(QStringLiteral("VFDataEditForm"));
  setWindowTitle(QStringLiteral("V/F Data"));
  setWindowFlag(Qt::WindowStaysOnTopHint);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  TitleLabel = new QLabel(QStringLiteral("Voltage/Frequency Compensation Table"), this);
  TitleLabel->setObjectName(QStringLiteral("TitleLabel"));
  TitleLabel->setTextFormat(Qt::PlainText);

  ACMotorVFDataStringGrid = new VfDataGrid(mv::kVfRowCount, mv::kVfColumnCount, this);
  auto* grid = ACMotorVFDataStringGrid;
  grid->setObjectName(QStringLiteral("ACMotorVFDataStringGrid"));
  grid->setAccessibleName(TitleLabel->text());
  TitleLabel->setBuddy(grid);
  grid->setItemDelegate(new VfCellDelegate(this));
  grid->horizontalHeader()->hide();
  grid->verticalHeader()->hide();
  grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  grid->setTabKeyNavigation(true);
  grid->setSelectionMode(QAbstractItemView::SingleSelection);
  grid->setSelectionBehavior(QAbstractItemView::SelectItems);
  grid->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                        QAbstractItemView::AnyKeyPressed | QAbstractItemView::SelectedClicked);
  grid->setDragEnabled(false);
  grid->setCornerButtonEnabled(false);
  // Header texts are hidden but give each cell a name for assistive tools.
  QStringList rowNames, columnNames;
  for (const auto& r : mv::kVfRows) rowNames << QString::fromLatin1(r.caption);
  for (int c = 0; c < mv::kVfColumnCount; ++c) columnNames << QStringLiteral("Point %1").arg(c + 1);
  grid->setVerticalHeaderLabels(rowNames);
  grid->setHorizontalHeaderLabels(columnNames);

  const QFontMetrics fm(grid->font());
  const int columnWidth = fm.horizontalAdvance(QStringLiteral("2400000")) + 12;
  const int rowHeight = fm.height() + 8;
  for (int c = 0; c < mv::kVfColumnCount; ++c) grid->setColumnWidth(c, columnWidth);
  for (int r = 0; r < mv::kVfRowCount; ++r) grid->setRowHeight(r, rowHeight);
  const int frame = grid->frameWidth();
  grid->setFixedSize(columnWidth * mv::kVfColumnCount + 2 * frame, rowHeight * mv::kVfRowCount + 2 * frame);

  // One caption per row, to the right of the grid and level with its row.
  auto* captions = new QVBoxLayout;
  captions->setContentsMargins(0, frame, 0, frame);
  captions->setSpacing(0);
  for (int r = 0; r < mv::kVfRowCount; ++r) {
    auto* caption = new QLabel(rowNames[r], this);
    caption->setObjectName(QStringLiteral("VFRow%1Label").arg(r));
    caption->setTextFormat(Qt::PlainText);
    caption->setFixedHeight(rowHeight);
    caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    captions->addWidget(caption);
  }
  captions->addStretch();

  // Access keys press the buttons from inside a cell (Alt+O keeps the edit);
  // Tab from the last cell reaches OK.
  OKButton = new QPushButton(QStringLiteral("&OK"), this);
  OKButton->setObjectName(QStringLiteral("OKButton"));
  DefaultsButton = new QPushButton(QStringLiteral("&Defaults"), this);
  DefaultsButton->setObjectName(QStringLiteral("DefaultsButton"));
  CancelButton = new QPushButton(QStringLiteral("&Cancel"), this);
  CancelButton->setObjectName(QStringLiteral("CancelButton"));
  connect(OKButton, &QPushButton::clicked, this, &TVFDataEditForm::OKButtonClick);
  connect(DefaultsButton, &QPushButton::clicked, this, &TVFDataEditForm::DefaultsButtonClick);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

  auto* gridRow = new QHBoxLayout;
  gridRow->addWidget(grid, 0, Qt::AlignTop);
  gridRow->addLayout(captions);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKButton);
  buttons->addWidget(DefaultsButton);
  buttons->addWidget(CancelButton);
  buttons->addStretch();
  auto* main = new QVBoxLayout(this);
  main->addWidget(TitleLabel, 0, Qt::AlignHCenter);
  main->addLayout(gridRow);
  main->addLayout(buttons);
  main->setSizeConstraint(QLayout::SetFixedSize);

  setTabOrder(grid, OKButton);
  setTabOrder(OKButton, DefaultsButton);
  setTabOrder(DefaultsButton, CancelButton);

  ShowTable();
  grid->setCurrentCell(0, 0);
  grid->setFocus();
}

void TVFDataEditForm::ShowTable() {
  for (int r = 0; r < mv::kVfRowCount; ++r)
    for (int c = 0; c < mv::kVfColumnCount; ++c) {
      const QString text = QString::fromStdString(mv::VfCellText(table_, r, c));
      QTableWidgetItem* item = ACMotorVFDataStringGrid->item(r, c);
      if (!item) {
        item = new QTableWidgetItem;
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        ACMotorVFDataStringGrid->setItem(r, c, item);
      }
      item->setText(text);
    }
}

void TVFDataEditForm::CommitCell(int row, int column, const QString& text) {
  const std::string shown = mv::CommitVfCell(table_, row, column, text.toStdString());
  if (QTableWidgetItem* item = ACMotorVFDataStringGrid->item(row, column)) item->setText(QString::fromStdString(shown));
}

void TVFDataEditForm::OKButtonClick() {
  // Typed text in a cell that is still open counts, however OK was reached.
  ACMotorVFDataStringGrid->CommitOpenEditor();
  accept();
}

void TVFDataEditForm::DefaultsButtonClick() {
  ACMotorVFDataStringGrid->CommitOpenEditor();
  table_ = source_;
  ShowTable();
}

void TVFDataEditForm::keyPressEvent(QKeyEvent* event) {
  // Enter commits a cell; it never presses a button of the window.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace mv::ui
