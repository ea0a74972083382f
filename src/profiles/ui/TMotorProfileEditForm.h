// The motor profile editor: one profile in engineering units, on five tabs.
// It works on a working copy and a last-accepted copy of the slot's record;
// each field is checked when it is left, on Enter and when the window closes;
// the opener takes the working copy (with a fresh checksum) after an OK close.
#pragma once

#include <QDialog>
#include <array>
#include <vector>

#include "profiles/profile_edit_rules.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace mv::ui {

class TMotorProfileEditForm : public QDialog {
  Q_OBJECT
 public:
  // `slot` must outlive the window; it is read (never written) when the window
  // opens and again by "Defaults". profileNumber is 1..6.
  TMotorProfileEditForm(QWidget* owner, int profileNumber, const mv::MotorProfile& slot);

  // The edited profile; after a close its checksum is up to date.
  const mv::MotorProfile& EditedProfile() const { return working_; }

  // The grey of the fields that do not apply to the selected motor type.
  static QColor InactiveColour() { return QColor(128, 128, 128); }

 public slots:
  void done(int result) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct NumericControl {
    const mv::NumericEdit* def;
    QLabel* label;
    QLineEdit* edit;
  };

  void FillControls();
  void FillChoice(QComboBox* box, const QStringList& items, std::uint16_t value);
  void ApplyMotorTypeDisplay();
  void CommitWidget(QObject* widget);
  void CommitAll();
  void CommitNumeric(const NumericControl& c);
  void CommitName();
  void CommitComment();
  void CommitEdge(int index);
  void CommitTempEnable();
  void MotTypeComboBoxChange(int index);
  void DefaultsBitBtnClick();
  void VFDataBitBtnClick();
  // Ctrl+Tab / Ctrl+PageDown (step 1) and Ctrl+Shift+Tab / Ctrl+PageUp (-1).
  void StepPage(int step);
  // The page keys from wherever the focus is in this window: seen before the
  // focused control (a combo box would take Ctrl+PageDown as a value change).
  bool PageKey(QObject* watched, QEvent* event);

  const mv::MotorProfile* slot_;
  mv::MotorProfile working_;
  mv::MotorProfile accepted_;
  int profileNumber_;

  QGroupBox* MotorProfileGroupBox;
  QComboBox* MotTypeComboBox;
  QLineEdit* MotorProfileNameLabeledEdit;
  QLineEdit* MotorProfileCommentLabeledEdit;
  QLabel* ProfileLabel;
  QTabWidget* PageControl;
  std::array<QWidget*, mv::kEditTabCount> pages_{};
  std::vector<NumericControl> numeric_;
  std::array<QComboBox*, mv::kEdgeChoiceCount> edges_{};
  QCheckBox* MotTempEnableCheckBox;
  QPushButton* VFDataBitBtn;
  QPushButton* OKBitBtn;
  QPushButton* DefaultsBitBtn;
  QPushButton* CancelBitBtn;
};

}  // namespace mv::ui
