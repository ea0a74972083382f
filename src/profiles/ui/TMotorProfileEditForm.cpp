#include "profiles/ui/TMotorProfileEditForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>

#include "profiles/ui/TVFDataEditForm.h"

namespace mv::ui {

namespace {

constexpr int kPageColumns = 3;

const QStringList& EdgeItems() {
  static const QStringList items{QStringLiteral("-ve edge"), QStringLiteral("+ve edge")};
  return items;
}

const QStringList& MotorTypeItems() {
  static const QStringList items{QStringLiteral("DC"), QStringLiteral("AC")};
  return items;
}

QString Latin1(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

bool IsEnterKey(const QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  const int key = static_cast<const QKeyEvent*>(event)->key();
  return key == Qt::Key_Return || key == Qt::Key_Enter;
}

// A label that names `buddy` (also for assistive tools) and shows plain text.
QLabel* LabelFor(QWidget* buddy, const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(buddy->objectName() + QStringLiteral("Label"));
  label->setTextFormat(Qt::PlainText);
  label->setBuddy(buddy);
  buddy->setAccessibleName(text);
  return label;
}

// Fixed foreground colour in every colour group (active, inactive, disabled),
// or back to the colours the widget inherits.
void SetFixedForeground(QWidget* w, QPalette::ColorRole role, const QColor* colour) {
  if (!colour) {
    w->setPalette(QPalette());
    return;
  }
  QPalette p = w->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) p.setColor(group, role, *colour);
  w->setPalette(p);
}

// Hands every key press of the application to a window first.
class KeyWatch : public QObject {
 public:
  KeyWatch(QObject* parent, std::function<bool(QObject*, QEvent*)> onKey) : QObject(parent), onKey_(std::move(onKey)) {
    QCoreApplication::instance()->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    return event->type() == QEvent::KeyPress && onKey_(watched, event);
  }

 private:
  std::function<bool(QObject*, QEvent*)> onKey_;
};

}  // namespace

TMotorProfileEditForm::TMotorProfileEditForm(QWidget* owner, int profileNumber, const mv::MotorProfile& slot)
    : QDialog(owner),
      slot_(&slot),
      working_(slot),
      accepted_(slot),
      profileNumber_(std::clamp(profileNumber, 1, mv::kSlotCount)) {
  setObjectName(QStringLiteral("MotorProfileEditForm"));
  setWindowTitle(QStringLiteral("Motor Profile Viewer/Editor"));
  setWindowFlag(Qt::WindowStaysOnTopHint);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  // Group "Motor Profile".
  MotorProfileGroupBox = new QGroupBox(QStringLiteral("Motor Profile"), this);
  MotorProfileGroupBox->setObjectName(QStringLiteral("MotorProfileGroupBox"));
  MotTypeComboBox = new QComboBox(MotorProfileGroupBox);
  MotTypeComboBox->setObjectName(QStringLiteral("MotTypeComboBox"));
  MotorProfileNameLabeledEdit = new QLineEdit(MotorProfileGroupBox);
  MotorProfileNameLabeledEdit->setObjectName(QStringLiteral("MotorProfileNameLabeledEdit"));
  MotorProfileNameLabeledEdit->setMaxLength(static_cast<int>(mv::kNameMaxChars));
  MotorProfileCommentLabeledEdit = new QLineEdit(MotorProfileGroupBox);
  MotorProfileCommentLabeledEdit->setObjectName(QStringLiteral("MotorProfileCommentLabeledEdit"));
  MotorProfileCommentLabeledEdit->setMaxLength(static_cast<int>(mv::kCommentMaxChars));
  ProfileLabel = new QLabel(MotorProfileGroupBox);
  ProfileLabel->setObjectName(QStringLiteral("ProfileLabel"));
  ProfileLabel->setTextFormat(Qt::PlainText);
  {
    auto* g = new QGridLayout(MotorProfileGroupBox);
    g->addWidget(LabelFor(MotTypeComboBox, QStringLiteral("Motor Type"), MotorProfileGroupBox), 0, 0);
    g->addWidget(MotTypeComboBox, 1, 0);
    g->addWidget(LabelFor(MotorProfileNameLabeledEdit, QStringLiteral("Name"), MotorProfileGroupBox), 0, 1);
    g->addWidget(MotorProfileNameLabeledEdit, 1, 1);
    g->addWidget(LabelFor(MotorProfileCommentLabeledEdit, QStringLiteral("Comment"), MotorProfileGroupBox), 0, 2);
    g->addWidget(MotorProfileCommentLabeledEdit, 1, 2);
    g->addWidget(ProfileLabel, 1, 3);
    g->setColumnStretch(3, 1);
  }
  MotorProfileNameLabeledEdit->setMinimumWidth(
      MotorProfileNameLabeledEdit->fontMetrics().horizontalAdvance(QStringLiteral("WWWWWWWWWWW")) / 2 + 40);
  MotorProfileCommentLabeledEdit->setMinimumWidth(
      MotorProfileCommentLabeledEdit->fontMetrics().horizontalAdvance(QStringLiteral("WWWWWWWWWWWWWWWWW")) / 2 + 40);

  // The five tabs.
  static const char* const pageNames[mv::kEditTabCount] = {"ControllerTabSheet", "ControllerIOTabSheet",
                                                           "MotorTabSheet", "DCMotorTabSheet", "ACMotorTabSheet"};
  PageControl = new QTabWidget(this);
  PageControl->setObjectName(QStringLiteral("PageControl"));
  std::array<QGridLayout*, mv::kEditTabCount> grids{};
  std::array<int, mv::kEditTabCount> used{};
  for (int t = 0; t < mv::kEditTabCount; ++t) {
    pages_[t] = new QWidget(PageControl);
    pages_[t]->setObjectName(QString::fromLatin1(pageNames[t]));
    grids[t] = new QGridLayout(pages_[t]);
    grids[t]->setVerticalSpacing(2);
    PageControl->addTab(pages_[t], QString::fromLatin1(mv::kEditTabCaptions[t]));
  }
  // Places a labelled control in the next free cell of its tab (label above it).
  auto place = [&](mv::EditTab tab, QWidget* w, QLabel* label) {
    const int t = static_cast<int>(tab);
    const int n = used[t]++;
    const int row = (n / kPageColumns) * 2, column = n % kPageColumns;
    if (label) grids[t]->addWidget(label, row, column);
    grids[t]->addWidget(w, row + 1, column, Qt::AlignLeft);
  };

  const auto addNumeric = [&](const mv::NumericEdit& def) {
    const int t = static_cast<int>(def.tab);
    auto* edit = new QLineEdit(pages_[t]);
    edit->setObjectName(QString::fromLatin1(def.control));
    edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 16);
    QLabel* label = LabelFor(edit, QString::fromLatin1(def.label), pages_[t]);
    place(def.tab, edit, label);
    numeric_.push_back({&def, label, edit});
    edit->installEventFilter(this);
  };
  const auto addEdges = [&]() {
    for (std::size_t i = 0; i < mv::kEdgeChoiceCount; ++i) {
      const auto& e = mv::kEdgeChoices[i];
      auto* box = new QComboBox(pages_[1]);
      box->setObjectName(QString::fromLatin1(e.control));
      place(mv::EditTab::ControllerIO, box, LabelFor(box, QString::fromLatin1(e.label), pages_[1]));
      box->installEventFilter(this);
      edges_[i] = box;
    }
  };

  // Fields in the order they are laid out (and tabbed through).
  for (const auto& def : mv::kNumericEdits) {
    if (def.tab == mv::EditTab::ControllerIO && !edges_[0]) addEdges();
    addNumeric(def);
    if (def.offset == mv::off::motor_pole_pairs) {
      MotTempEnableCheckBox = new QCheckBox(QStringLiteral("Motor Temperature Enable"), pages_[2]);
      MotTempEnableCheckBox->setObjectName(QStringLiteral("MotTempEnableCheckBox"));
      MotTempEnableCheckBox->setAccessibleName(MotTempEnableCheckBox->text());
      MotTempEnableCheckBox->installEventFilter(this);
      place(mv::EditTab::Motor, MotTempEnableCheckBox, nullptr);
    }
  }
  VFDataBitBtn = new QPushButton(QStringLiteral("V/F Data"), pages_[4]);
  VFDataBitBtn->setObjectName(QStringLiteral("VFDataBitBtn"));
  place(mv::EditTab::ACMotor, VFDataBitBtn, nullptr);
  for (int t = 0; t < mv::kEditTabCount; ++t) {
    grids[t]->setRowStretch(grids[t]->rowCount(), 1);
    grids[t]->setColumnStretch(kPageColumns, 1);
  }

  MotorProfileNameLabeledEdit->installEventFilter(this);
  MotorProfileCommentLabeledEdit->installEventFilter(this);

  OKBitBtn = new QPushButton(QStringLiteral("&OK"), this);
  OKBitBtn->setObjectName(QStringLiteral("OKBitBtn"));
  DefaultsBitBtn = new QPushButton(QStringLiteral("&Defaults"), this);
  DefaultsBitBtn->setObjectName(QStringLiteral("DefaultsBitBtn"));
  CancelBitBtn = new QPushButton(QStringLiteral("&Cancel"), this);
  CancelBitBtn->setObjectName(QStringLiteral("CancelBitBtn"));

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBitBtn);
  buttons->addWidget(DefaultsBitBtn);
  buttons->addWidget(CancelBitBtn);
  buttons->addStretch();
  auto* main = new QVBoxLayout(this);
  main->addWidget(MotorProfileGroupBox);
  main->addWidget(PageControl);
  main->addLayout(buttons);
  main->setSizeConstraint(QLayout::SetFixedSize);

  // Tab order: the group, the tabs, every field of every tab, the buttons.
  std::vector<QWidget*> chain{MotTypeComboBox, MotorProfileNameLabeledEdit, MotorProfileCommentLabeledEdit,
                              PageControl};
  for (int t = 0; t < mv::kEditTabCount; ++t)
    for (int i = 0; i < grids[t]->count(); ++i) {
      QWidget* w = grids[t]->itemAt(i)->widget();
      if (w && w->focusPolicy() != Qt::NoFocus) chain.push_back(w);
    }
  chain.insert(chain.end(), {OKBitBtn, DefaultsBitBtn, CancelBitBtn});
  for (std::size_t i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);

  connect(MotTypeComboBox, &QComboBox::currentIndexChanged, this, &TMotorProfileEditForm::MotTypeComboBoxChange);
  connect(VFDataBitBtn, &QPushButton::clicked, this, &TMotorProfileEditForm::VFDataBitBtnClick);
  connect(OKBitBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(DefaultsBitBtn, &QPushButton::clicked, this, &TMotorProfileEditForm::DefaultsBitBtnClick);
  connect(CancelBitBtn, &QPushButton::clicked, this, &QDialog::reject);

  new KeyWatch(this, [this](QObject* watched, QEvent* event) { return PageKey(watched, event); });

  ProfileLabel->setText(QStringLiteral("Profile: P0%1").arg(profileNumber_));
  FillControls();
  PageControl->setCurrentIndex(static_cast<int>(mv::EditTab::Controller));
}

void TMotorProfileEditForm::FillChoice(QComboBox* box, const QStringList& items, std::uint16_t value) {
  const QSignalBlocker block(box);
  box->clear();
  for (int i = 0; i < items.size(); ++i) box->addItem(items[i], i);
  // A value no item stands for (only a drive can send one) is shown as it is
  // and kept until another item is picked.
  if (value >= items.size()) box->addItem(QStringLiteral("(value %1)").arg(value), value);
  box->setCurrentIndex(box->findData(static_cast<int>(value)));
}

void TMotorProfileEditForm::FillControls() {
  MotorProfileNameLabeledEdit->setText(Latin1(working_.Name()));
  MotorProfileCommentLabeledEdit->setText(Latin1(working_.Comment()));
  for (const auto& c : numeric_) c.edit->setText(QString::fromStdString(mv::NumericEditText(*c.def, working_)));
  for (std::size_t i = 0; i < mv::kEdgeChoiceCount; ++i)
    FillChoice(edges_[i], EdgeItems(), working_.U16(mv::kEdgeChoices[i].offset));
  FillChoice(MotTypeComboBox, MotorTypeItems(), working_.U16(mv::off::motor_type));
  MotTempEnableCheckBox->setChecked(working_.U16(mv::off::motor_temp_enable) != 0);
  ApplyMotorTypeDisplay();
}

void TMotorProfileEditForm::ApplyMotorTypeDisplay() {
  // DC greys the AC fields and the reverse; any other value (from a drive)
  // greys nothing and leaves both tabs usable.
  const std::uint16_t type = working_.U16(mv::off::motor_type);
  const bool greyDC = type == 1, greyAC = type == 0;
  const QColor grey = InactiveColour();
  for (const auto& c : numeric_) {
    const bool g = (c.def->group == mv::MotorGroup::DC && greyDC) || (c.def->group == mv::MotorGroup::AC && greyAC);
    SetFixedForeground(c.edit, QPalette::Text, g ? &grey : nullptr);
    SetFixedForeground(c.label, QPalette::WindowText, g ? &grey : nullptr);
  }
  SetFixedForeground(VFDataBitBtn, QPalette::ButtonText, greyAC ? &grey : nullptr);
  // The tab stays selectable; only the controls on it are disabled.
  pages_[static_cast<int>(mv::EditTab::DCMotor)]->setEnabled(!greyDC);
  pages_[static_cast<int>(mv::EditTab::ACMotor)]->setEnabled(!greyAC);
}

void TMotorProfileEditForm::CommitNumeric(const NumericControl& c) {
  const std::string shown = mv::CommitNumericEdit(*c.def, c.edit->text().toStdString(), working_, accepted_);
  c.edit->setText(QString::fromStdString(shown));
}

void TMotorProfileEditForm::CommitName() {
  const QByteArray text = MotorProfileNameLabeledEdit->text().toLatin1();
  const std::string shown = mv::CommitTextEdit(mv::TextEdit::Name, text.toStdString(), working_, accepted_);
  MotorProfileNameLabeledEdit->setText(Latin1(shown));
}

void TMotorProfileEditForm::CommitComment() {
  const QByteArray text = MotorProfileCommentLabeledEdit->text().toLatin1();
  const std::string shown = mv::CommitTextEdit(mv::TextEdit::Comment, text.toStdString(), working_, accepted_);
  MotorProfileCommentLabeledEdit->setText(Latin1(shown));
}

void TMotorProfileEditForm::CommitEdge(int index) {
  QComboBox* box = edges_[index];
  if (box->currentIndex() < 0) return;
  mv::CommitChoice(mv::kEdgeChoices[index].offset, static_cast<std::uint16_t>(box->currentData().toUInt()), working_,
                   accepted_);
}

void TMotorProfileEditForm::CommitTempEnable() {
  mv::CommitChoice(mv::off::motor_temp_enable, MotTempEnableCheckBox->isChecked() ? 1 : 0, working_, accepted_);
}

void TMotorProfileEditForm::CommitWidget(QObject* widget) {
  if (widget == MotorProfileNameLabeledEdit) return CommitName();
  if (widget == MotorProfileCommentLabeledEdit) return CommitComment();
  if (widget == MotTempEnableCheckBox) return CommitTempEnable();
  for (std::size_t i = 0; i < edges_.size(); ++i)
    if (widget == edges_[i]) return CommitEdge(static_cast<int>(i));
  for (const auto& c : numeric_)
    if (widget == c.edit) return CommitNumeric(c);
}

void TMotorProfileEditForm::CommitAll() {
  CommitName();
  CommitComment();
  for (const auto& c : numeric_) CommitNumeric(c);
  for (std::size_t i = 0; i < edges_.size(); ++i) CommitEdge(static_cast<int>(i));
  CommitTempEnable();
}

void TMotorProfileEditForm::MotTypeComboBoxChange(int index) {
  if (index < 0) return;
  mv::CommitChoice(mv::off::motor_type, static_cast<std::uint16_t>(MotTypeComboBox->itemData(index).toUInt()), working_,
                   accepted_);
  ApplyMotorTypeDisplay();
}

void TMotorProfileEditForm::DefaultsBitBtnClick() {
  working_ = *slot_;
  FillControls();
}

void TMotorProfileEditForm::VFDataBitBtnClick() {
  TVFDataEditForm form(this, mv::VfTableOf(working_));
  if (form.exec() == QDialog::Accepted) mv::SetVfTable(working_, form.Table());
}

bool TMotorProfileEditForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut) {
    CommitWidget(watched);
  } else if (IsEnterKey(event) && qobject_cast<QLineEdit*>(watched)) {
    // Enter applies the field's rules where it is; the focus stays.
    CommitWidget(watched);
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

bool TMotorProfileEditForm::PageKey(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || widget->window() != this) return false;  // a combo's open list, another window
  const auto* key = static_cast<QKeyEvent*>(event);
  if (!(key->modifiers() & Qt::ControlModifier) || (key->modifiers() & Qt::AltModifier)) return false;
  const bool shift = key->modifiers() & Qt::ShiftModifier;
  switch (key->key()) {
    case Qt::Key_Tab: StepPage(shift ? -1 : 1); return true;
    case Qt::Key_Backtab: StepPage(-1); return true;
    case Qt::Key_PageDown: StepPage(1); return true;
    case Qt::Key_PageUp: StepPage(-1); return true;
    default: return false;
  }
}

void TMotorProfileEditForm::StepPage(int step) {
  const int count = PageControl->count();
  QWidget* focus = QApplication::focusWidget();
  const bool onPage = focus != nullptr && PageControl->currentWidget()->isAncestorOf(focus);
  PageControl->setCurrentIndex((PageControl->currentIndex() + step + count) % count);
  // A field on the page left behind is committed as it loses the focus; the
  // focus then goes to the tabs, which name the page now in front.
  if (onPage) PageControl->tabBar()->setFocus(Qt::TabFocusReason);
}

void TMotorProfileEditForm::keyPressEvent(QKeyEvent* event) {
  // Enter never presses a button of this window (a focused button still takes it).
  if (IsEnterKey(event)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TMotorProfileEditForm::done(int result) {
  // However the window closes, every field is committed and the checksum made good.
  CommitAll();
  mv::UpdateChecksum(working_);
  QDialog::done(result);
}

}  // namespace mv::ui
