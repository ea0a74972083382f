#include "app/ui/TProfileCompareForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "profiles/profile_file.h"

namespace mv::ui {

namespace {

constexpr int kLinkPollMs = 20;
constexpr int kSlotPollMs = 500;

QString SlotTag(int slotIndex) { return QStringLiteral("P%1").arg(slotIndex + 1, 2, 10, QLatin1Char('0')); }

QTableWidgetItem* Cell() {
  auto* item = new QTableWidgetItem;
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  return item;
}

}  // namespace

TProfileCompareForm::TProfileCompareForm(QWidget* owner, ProfileCompareHooks hooks, int slotIndex)
    : QDialog(owner),
      hooks_(std::move(hooks)),
      slotIndex_(slotIndex >= 0 && slotIndex < kSlotCount ? slotIndex : 0),
      linkTimer_(new QTimer(this)),
      slotTimer_(new QTimer(this)) {
  setObjectName(QStringLiteral("ProfileCompareForm"));
  setWindowTitle(QStringLiteral("Compare Motor Profiles"));
  setModal(true);

  // Top row: the slot, the drive and the file.
  SlotLabel = new QLabel(QStringLiteral("&Slot"), this);
  SlotLabel->setObjectName(QStringLiteral("SlotLabel"));
  SlotComboBox = new QComboBox(this);
  SlotComboBox->setObjectName(QStringLiteral("SlotComboBox"));
  SlotComboBox->setAccessibleName(QStringLiteral("Slot"));
  for (int i = 0; i < kSlotCount; ++i) SlotComboBox->addItem(SlotTag(i));
  SlotComboBox->setCurrentIndex(slotIndex_);
  SlotLabel->setBuddy(SlotComboBox);
  ReadDriveButton = new QPushButton(QStringLiteral("Read &Drive"), this);
  ReadDriveButton->setObjectName(QStringLiteral("ReadDriveButton"));
  ReadDriveButton->setAccessibleName(QStringLiteral("Read Drive"));
  ReadDriveButton->setAccessibleDescription(QStringLiteral("Read the profile from the drive"));
  OpenFileButton = new QPushButton(QStringLiteral("Open &File..."), this);
  OpenFileButton->setObjectName(QStringLiteral("OpenFileButton"));
  OpenFileButton->setAccessibleName(QStringLiteral("Open File..."));
  OpenFileButton->setAccessibleDescription(QStringLiteral("Open a profile file"));
  FileLabel = new QLabel(QStringLiteral("No file"), this);
  FileLabel->setObjectName(QStringLiteral("FileLabel"));
  FileLabel->setTextFormat(Qt::PlainText);
  FileLabel->setAccessibleDescription(QStringLiteral("Profile file compared"));
  FileLabel->setMinimumWidth(FileLabel->fontMetrics().averageCharWidth() * 24);
  auto* top = new QHBoxLayout;
  top->addWidget(SlotLabel);
  top->addWidget(SlotComboBox);
  top->addSpacing(8);
  top->addWidget(ReadDriveButton);
  top->addWidget(OpenFileButton);
  top->addWidget(FileLabel, 1);

  DifferencesOnlyCheckBox = new QCheckBox(QStringLiteral("Show differences &only"), this);
  DifferencesOnlyCheckBox->setObjectName(QStringLiteral("DifferencesOnlyCheckBox"));
  DifferencesOnlyCheckBox->setAccessibleName(QStringLiteral("Show differences only"));

  // The table: one row per field of the record.
  CompareTable = new QTableWidget(compare_.RowCount(), ColumnCount, this);
  CompareTable->setObjectName(QStringLiteral("CompareTable"));
  // Named by its label (item views do not look for one).
  CompareTable->setAccessibleName(QStringLiteral("Fields"));
  CompareTable->setAccessibleDescription(QStringLiteral("Profile comparison"));
  CompareTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  CompareTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  CompareTable->setWordWrap(false);
  CompareTable->verticalHeader()->setVisible(false);
  CompareTable->verticalHeader()->setDefaultSectionSize(CompareTable->fontMetrics().height() + 6);
  CompareTable->setHorizontalHeaderLabels(
      {QStringLiteral("Diff"), QStringLiteral("Field"), QString(), QString(), QStringLiteral("File")});
  auto* tableLabel = new QLabel(QStringLiteral("F&ields"), this);
  tableLabel->setObjectName(QStringLiteral("CompareTableLabel"));
  tableLabel->setBuddy(CompareTable);
  for (int row = 0; row < compare_.RowCount(); ++row) {
    const CompareField& f = compare_.Field(row);
    for (int col = 0; col < ColumnCount; ++col) CompareTable->setItem(row, col, Cell());
    QTableWidgetItem* field = CompareTable->item(row, FieldColumn);
    field->setText(QString::fromStdString(f.label));
    field->setToolTip(QString::fromStdString(f.group + ": " + f.key));
    CompareTable->item(row, DiffColumn)->setTextAlignment(Qt::AlignCenter);
  }
  const QFontMetrics fm = CompareTable->fontMetrics();
  QHeaderView* header = CompareTable->horizontalHeader();
  header->setSectionResizeMode(QHeaderView::Interactive);
  CompareTable->setColumnWidth(DiffColumn, fm.horizontalAdvance(QStringLiteral("Diff")) + 16);
  CompareTable->setColumnWidth(FieldColumn,
                               fm.horizontalAdvance(QStringLiteral("Speed Loss Max. Load (RPM), point 12")) + 16);
  for (int col : {SlotColumn, DriveColumn, FileColumn})
    CompareTable->setColumnWidth(col, fm.horizontalAdvance(QStringLiteral("54716 (invalid, expected 54716)")) + 16);
  header->setStretchLastSection(true);

  StatusLabel = new QLabel(this);
  StatusLabel->setObjectName(QStringLiteral("StatusLabel"));
  StatusLabel->setTextFormat(Qt::PlainText);
  StatusLabel->setAccessibleDescription(QStringLiteral("Status"));
  StatusLabel->setWordWrap(true);

  auto button = [this](QPushButton*& b, const char* name, const QString& text, const QString& what) {
    b = new QPushButton(text, this);
    b->setObjectName(QString::fromLatin1(name));
    b->setAccessibleName(QString(text).remove(QLatin1Char('&')));  // the caption as heard
    b->setAccessibleDescription(what);
  };
  const QString arrow = QString::fromUtf8(" \xE2\x86\x92 ");
  button(UseDriveButton, "UseDriveButton", QStringLiteral("Drive") + arrow + QStringLiteral("Slot"),
         QStringLiteral("Put the drive's profile into the slot"));
  button(UseFileButton, "UseFileButton", QStringLiteral("File") + arrow + QStringLiteral("Slot"),
         QStringLiteral("Put the file's profile into the slot"));
  button(SaveToDriveButton, "SaveToDriveButton", QStringLiteral("Slot") + arrow + QStringLiteral("Drive"),
         QStringLiteral("Save the slot to the drive"));
  button(SaveToFileButton, "SaveToFileButton", QStringLiteral("Slot") + arrow + QStringLiteral("File..."),
         QStringLiteral("Save the slot to a file"));
  button(CloseButton, "CloseButton", QStringLiteral("&Close"), QStringLiteral("Close"));
  auto* actions = new QHBoxLayout;
  actions->addWidget(UseDriveButton);
  actions->addWidget(UseFileButton);
  actions->addSpacing(12);
  actions->addWidget(SaveToDriveButton);
  actions->addWidget(SaveToFileButton);
  actions->addStretch(1);
  actions->addWidget(CloseButton);

  auto* lay = new QVBoxLayout(this);
  lay->addLayout(top);
  auto* tableRow = new QHBoxLayout;
  tableRow->addWidget(tableLabel);
  tableRow->addStretch(1);
  tableRow->addWidget(DifferencesOnlyCheckBox);
  lay->addLayout(tableRow);
  lay->addWidget(CompareTable, 1);
  lay->addWidget(StatusLabel);
  lay->addLayout(actions);

  int width = 0;
  for (int col = 0; col < ColumnCount; ++col) width += CompareTable->columnWidth(col);
  resize(width + 40, CompareTable->verticalHeader()->defaultSectionSize() * 24 + 160);

  connect(SlotComboBox, &QComboBox::currentIndexChanged, this, &TProfileCompareForm::SlotComboBoxChange);
  connect(ReadDriveButton, &QPushButton::clicked, this, &TProfileCompareForm::ReadDriveButtonClick);
  connect(OpenFileButton, &QPushButton::clicked, this, &TProfileCompareForm::OpenFileButtonClick);
  connect(DifferencesOnlyCheckBox, &QCheckBox::toggled, this, [this] { Refresh(); });
  connect(UseDriveButton, &QPushButton::clicked, this, &TProfileCompareForm::UseDriveButtonClick);
  connect(UseFileButton, &QPushButton::clicked, this, &TProfileCompareForm::UseFileButtonClick);
  connect(SaveToDriveButton, &QPushButton::clicked, this, &TProfileCompareForm::SaveToDriveButtonClick);
  connect(SaveToFileButton, &QPushButton::clicked, this, &TProfileCompareForm::SaveToFileButtonClick);
  connect(CloseButton, &QPushButton::clicked, this, &QDialog::accept);
  linkTimer_->setInterval(kLinkPollMs);
  connect(linkTimer_, &QTimer::timeout, this, &TProfileCompareForm::PollLink);
  slotTimer_->setInterval(kSlotPollMs);
  connect(slotTimer_, &QTimer::timeout, this, &TProfileCompareForm::RefreshSlot);
  slotTimer_->start();

  compare_.SetSide(kSlotSide, hooks_.Slot(slotIndex_));
  SetStatus(QStringLiteral("Read the drive or open a file to compare with slot ") + Tag() + QStringLiteral("."));
  Refresh();
}

QString TProfileCompareForm::Tag() const { return SlotTag(slotIndex_); }

void TProfileCompareForm::SetStatus(const QString& text) { StatusLabel->setText(text); }

// ---------------------------------------------------------------- the sides

void TProfileCompareForm::SlotComboBoxChange(int index) {
  if (index < 0 || index >= kSlotCount || index == slotIndex_) return;
  slotIndex_ = index;
  // The drive's copy belongs to the slot it was read for; a file compares with any slot.
  compare_.ClearSide(kDriveSide);
  driveUsable_ = false;
  if (waiting_ == Waiting::DriveRead) waiting_ = Waiting::Nothing;
  compare_.SetSide(kSlotSide, hooks_.Slot(slotIndex_));
  SetStatus(QStringLiteral("Slot ") + Tag() + QStringLiteral(": read the drive to compare it."));
  Refresh();
}

void TProfileCompareForm::RefreshSlot() {
  const MotorProfile& now = hooks_.Slot(slotIndex_);
  const MotorProfile* shown = compare_.Side(kSlotSide);
  if (shown != nullptr && *shown == now) return;
  compare_.SetSide(kSlotSide, now);
  Refresh();
}

void TProfileCompareForm::ReadDriveButtonClick() { StartDriveRead(); }

void TProfileCompareForm::StartDriveRead() {
  if (!hooks_.ReadDrive(slotIndex_)) {
    waiting_ = Waiting::Nothing;
    SetStatus(hooks_.LinkBusy() ? QStringLiteral("The drive was not read: another request is running; try again.")
                                : QStringLiteral("The drive was not read: the COM port is not open."));
    UpdateButtons();
    return;
  }
  waiting_ = Waiting::DriveRead;
  SetStatus(QStringLiteral("Reading ") + Tag() + QStringLiteral(" from the drive..."));
  linkTimer_->start();
  UpdateButtons();
}

void TProfileCompareForm::PollLink() {
  if (hooks_.LinkBusy()) return;
  linkTimer_->stop();
  const Waiting was = waiting_;
  waiting_ = Waiting::Nothing;
  if (was == Waiting::DriveRead) {
    DriveReadEnded();
  } else if (was == Waiting::SaveThenRead) {
    RefreshSlot();
    StartDriveRead();  // show what the drive holds now
  }
}

void TProfileCompareForm::DriveReadEnded() {
  const ScratchProfile& r = hooks_.DriveResult();
  driveUsable_ = false;
  if (r.askedSlot != slotIndex_ || r.state == ScratchProfile::State::Pending ||
      r.state == ScratchProfile::State::Empty) {
    compare_.ClearSide(kDriveSide);
    SetStatus(QStringLiteral("No answer from the drive for ") + Tag() + QStringLiteral("."));
  } else if (r.state == ScratchProfile::State::Short) {
    compare_.ClearSide(kDriveSide);
    SetStatus(QStringLiteral("The drive's answer for ") + Tag() + QStringLiteral(" is too short for a profile."));
  } else {
    compare_.SetSide(kDriveSide, r.profile);
    if (r.answeredSlot != slotIndex_) {
      SetStatus(QStringLiteral("The drive answered with the profile of slot %1; it is not used for %2.")
                    .arg(r.answeredSlot + 1)
                    .arg(Tag()));
    } else if (!r.checksumValid) {
      SetStatus(QStringLiteral("Motor profile %1: Invalid Checksum (see the Checksum row); it cannot go into the "
                               "slot.")
                    .arg(slotIndex_ + 1));
    } else {
      driveUsable_ = true;
      SetStatus(QStringLiteral("Drive ") + Tag() + QStringLiteral(" read."));
    }
  }
  Refresh();
}

void TProfileCompareForm::OpenFileButtonClick() {
  if (hooks_.prompts == nullptr) return;
  FileDialogOptions options;
  options.title = "Compare Motor Profile " + Tag().toStdString() + " with File";
  options.filter = "INI Files|*.ini";
  options.initialDir = ".";
  options.defaultExt = "ini";
  options.mustExist = true;
  std::string path;
  if (!hooks_.prompts->OpenFile(OwnerOf(this), options, path)) return;
  MotorProfile p;
  std::string message;
  if (!readMotorProfileFile(path, p, message)) {
    hooks_.prompts->ShowMessage(OwnerOf(this), RefusedProfileFileMessage(message, path));  // the file side stays
    return;
  }
  filePath_ = path;
  compare_.SetSide(kFileSide, p);
  FileLabel->setText(QString::fromStdString(path));
  FileLabel->setToolTip(QString::fromStdString(path));
  SetStatus(QStringLiteral("File read."));
  Refresh();
}

void TProfileCompareForm::ReloadFile() {
  if (filePath_.empty()) return;
  MotorProfile p;
  std::string message;
  if (readMotorProfileFile(filePath_, p, message)) {
    compare_.SetSide(kFileSide, p);
  } else {
    compare_.ClearSide(kFileSide);
    SetStatus(QString::fromStdString(message));
  }
}

// ---------------------------------------------------------------- using a side

void TProfileCompareForm::UseDriveButtonClick() {
  const MotorProfile* drive = compare_.Side(kDriveSide);
  if (drive == nullptr || !driveUsable_) return;
  hooks_.SetProfileSlot(slotIndex_, *drive);
  RefreshSlot();
  SetStatus(QStringLiteral("The drive's profile is now in slot ") + Tag() + QStringLiteral("."));
}

void TProfileCompareForm::UseFileButtonClick() {
  const MotorProfile* file = compare_.Side(kFileSide);
  if (file == nullptr) return;
  hooks_.SetProfileSlot(slotIndex_, *file);
  RefreshSlot();
  SetStatus(QStringLiteral("The file's profile is now in slot ") + Tag() + QStringLiteral("."));
}

void TProfileCompareForm::SaveToDriveButtonClick() {
  const bool busyBefore = hooks_.LinkBusy();
  hooks_.SaveCont(slotIndex_);
  if (busyBefore || !hooks_.LinkBusy()) {  // refused: a request was running, or the port is closed
    SetStatus(QStringLiteral("Slot ") + Tag() +
              (busyBefore ? QStringLiteral(" was not sent: another request is running; try again.")
                          : QStringLiteral(" was not sent: the COM port is not open.")));
    return;
  }
  compare_.ClearSide(kDriveSide);
  driveUsable_ = false;
  waiting_ = Waiting::SaveThenRead;
  SetStatus(QStringLiteral("Saving slot ") + Tag() + QStringLiteral(" to the drive..."));
  linkTimer_->start();
  Refresh();
}

void TProfileCompareForm::SaveToFileButtonClick() {
  hooks_.SaveINI(slotIndex_, OwnerOf(this));
  ReloadFile();  // the file shown may be the one just written
  RefreshSlot();
  Refresh();
}

// ---------------------------------------------------------------- showing

void TProfileCompareForm::Refresh() {
  CompareTable->horizontalHeaderItem(SlotColumn)->setText(QStringLiteral("Slot ") + Tag());
  CompareTable->horizontalHeaderItem(DriveColumn)->setText(QStringLiteral("Drive ") + Tag());
  const bool onlyDiffs = DifferencesOnlyCheckBox->isChecked();
  const int sideColumns[kCompareSides] = {SlotColumn, DriveColumn, FileColumn};
  const QBrush diffBack(DifferenceBackground());
  const QBrush diffText(DifferenceText());
  int differing = 0;
  for (int row = 0; row < compare_.RowCount(); ++row) {
    const bool differs = compare_.Differs(row);
    if (differs) ++differing;
    for (int side = 0; side < kCompareSides; ++side)
      CompareTable->item(row, sideColumns[side])->setText(QString::fromStdString(compare_.Text(row, side)));
    QTableWidgetItem* mark = CompareTable->item(row, DiffColumn);
    mark->setText(differs ? QStringLiteral("*") : QString());
    mark->setData(Qt::AccessibleTextRole, differs ? QStringLiteral("differs") : QStringLiteral("same"));
    for (int col = 0; col < ColumnCount; ++col) {
      QTableWidgetItem* item = CompareTable->item(row, col);
      if (differs) {
        item->setBackground(diffBack);
        item->setForeground(diffText);
      } else {
        item->setData(Qt::BackgroundRole, QVariant());
        item->setData(Qt::ForegroundRole, QVariant());
      }
    }
    CompareTable->setRowHidden(row, onlyDiffs && !differs);
  }
  DifferencesOnlyCheckBox->setText(QStringLiteral("Show differences &only (%1)").arg(differing));
  DifferencesOnlyCheckBox->setAccessibleName(QStringLiteral("Show differences only (%1)").arg(differing));
  UpdateButtons();
}

void TProfileCompareForm::UpdateButtons() {
  const bool idle = waiting_ == Waiting::Nothing;
  ReadDriveButton->setEnabled(idle);
  SlotComboBox->setEnabled(idle);
  UseDriveButton->setEnabled(idle && driveUsable_ && compare_.HasSide(kDriveSide));
  UseFileButton->setEnabled(idle && compare_.HasSide(kFileSide));
  SaveToDriveButton->setEnabled(idle);
  SaveToFileButton->setEnabled(idle);
}

}  // namespace mv::ui
