// The motor profile editor, driven through its real widgets: typing, leaving
// fields, Enter, the motor type list, Defaults, V/F Data and the ways to close.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "core/field_parse.h"
#include "profiles/ui/TMotorProfileEditForm.h"
#include "profiles/ui/TVFDataEditForm.h"
#include "support/accessibility_check.h"
#include "support/qt_find.h"
#include "support/qt_keys.h"

namespace {

using mv::ui::TMotorProfileEditForm;
namespace off = mv::off;

class ProfileFormTest : public ::testing::Test {
 protected:
  void SetUp() override { open(); }

  void open(int number = 3) {
    form = std::make_unique<TMotorProfileEditForm>(nullptr, number, slot);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  }
  template <class W = QLineEdit>
  W* w(const char* name) const {
    return mvtest::Find<W>(form.get(), name);
  }
  // Types into a field as a user does: focus, select all, type.
  void type(const char* name, const QString& text) {
    QLineEdit* e = w(name);
    showPageOf(e);
    e->setFocus();
    e->selectAll();
    if (text.isEmpty())
      QTest::keyClick(e, Qt::Key_Delete);
    else
      QTest::keyClicks(e, text);
  }
  // Types and leaves the field (the focus moves to the next field).
  QString enter(const char* name, const QString& text) {
    type(name, text);
    QTest::keyClick(w(name), Qt::Key_Tab);
    return w(name)->text();
  }
  void showPageOf(QWidget* widget) {
    auto* pages = w<QTabWidget>("PageControl");
    for (int i = 0; i < pages->count(); ++i)
      if (pages->widget(i)->isAncestorOf(widget)) pages->setCurrentIndex(i);
  }
  void closeWith(const char* button) { w<QPushButton>(button)->click(); }
  static bool grey(QWidget* widget, QPalette::ColorRole role) {
    for (auto g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
      if (widget->palette().color(g, role) != QColor(128, 128, 128)) return false;
    return true;
  }

  mv::MotorProfile slot = mv::MotorProfileDefaults(2);
  std::unique_ptr<TMotorProfileEditForm> form;
};

TEST_F(ProfileFormTest, LayoutLabelsAndTabOrder) {
  EXPECT_EQ(form->windowTitle(), "Motor Profile Viewer/Editor");
  EXPECT_TRUE(form->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(form->minimumSize(), form->maximumSize());  // fixed size
  EXPECT_EQ(w<QLabel>("ProfileLabel")->text(), "Profile: P03");
  auto* pages = w<QTabWidget>("PageControl");
  const QStringList tabs{"Controller", "Controller I/O", "Motor", "DC Motor", "AC Motor"};
  ASSERT_EQ(pages->count(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(pages->tabText(i), tabs[i]);
  EXPECT_EQ(pages->currentIndex(), 0);

  // Every numeric edit sits on its tab with its label as buddy and name, showing the slot's value.
  for (const auto& def : mv::kNumericEdits) {
    QLineEdit* edit = w(def.control);
    auto* label = form->findChild<QLabel*>(QString::fromLatin1(def.control) + "Label");
    ASSERT_TRUE(edit && label) << def.control;
    EXPECT_EQ(label->text(), def.label);
    EXPECT_EQ(label->buddy(), edit);
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(edit->accessibleName(), def.label);
    EXPECT_TRUE(pages->widget(static_cast<int>(def.tab))->isAncestorOf(edit)) << def.control;
    EXPECT_EQ(edit->text().toStdString(), mv::NumericEditText(def, slot));
  }
  EXPECT_EQ(w("ContUnderVoltageTripLabeledEdit")->text(), "35.0");
  EXPECT_EQ(w("MotorProfileNameLabeledEdit")->maxLength(), 11);
  EXPECT_EQ(w("MotorProfileCommentLabeledEdit")->maxLength(), 17);
  for (const auto& e : mv::kEdgeChoices) {
    auto* box = w<QComboBox>(e.control);
    EXPECT_EQ(box->accessibleName(), e.label);
    EXPECT_EQ(box->count(), 2);
    EXPECT_EQ(box->itemText(1), "+ve edge");
  }

  // Tab runs through the group, then through the fields of the page in front, then the buttons.
  w<QComboBox>("MotTypeComboBox")->setFocus();
  pages->setCurrentIndex(2);
  QStringList visited;
  for (int i = 0; i < 15; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    visited << QApplication::focusWidget()->objectName();
  }
  visited.removeAll(QStringLiteral("qt_tabwidget_tabbar"));
  EXPECT_EQ(visited.mid(0, 14),
            (QStringList{"MotorProfileNameLabeledEdit", "MotorProfileCommentLabeledEdit",
                         "MotOverCurrentTripLabeledEdit", "MotOverPowerTripLabeledEdit", "MotDecRateLabeledEdit",
                         "MotAccRateLabeledEdit", "MotDecAccPeriodLabeledEdit", "MotTempMinResistanceLabeledEdit",
                         "MotTempMaxResistanceLabeledEdit", "MotSpeedMinLabeledEdit", "MotSpeedMaxLabeledEdit",
                         "MotPolePairsLabeledEdit", "MotTempEnableCheckBox", "OKBitBtn"}));
}

// The page keys switch pages wherever the focus is, combo boxes included, and
// never change a value.
TEST_F(ProfileFormTest, PageKeysSwitchPagesFromAnyControlAndChangeNoValue) {
  auto* pages = w<QTabWidget>("PageControl");
  ASSERT_NE(pages, nullptr);
  struct Key {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    int step;
  };
  const Key keys[] = {{Qt::Key_Tab, Qt::ControlModifier, 1},
                      {Qt::Key_PageDown, Qt::ControlModifier, 1},
                      {Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier, -1},
                      {Qt::Key_PageUp, Qt::ControlModifier, -1}};
  for (const char* name : {"MotTypeComboBox", "ContDigitalInput1EdgeComboBox", "MotorProfileNameLabeledEdit",
                           "MotPolePairsLabeledEdit", "MotTempEnableCheckBox"}) {
    auto* control = w<QWidget>(name);
    ASSERT_NE(control, nullptr);
    for (const Key& k : keys) {
      showPageOf(control);
      control->setFocus();
      const int before = pages->currentIndex();
      const mv::MotorProfile working = form->EditedProfile();
      auto* combo = qobject_cast<QComboBox*>(control);
      const int item = combo ? combo->currentIndex() : -1;
      mvtest::Press(k.key, k.modifiers);
      EXPECT_EQ(pages->currentIndex(), (before + k.step + pages->count()) % pages->count())
          << name << ", key " << k.key << ": no page change";
      if (combo) {
        EXPECT_EQ(combo->currentIndex(), item) << name << ", key " << k.key << ": the value changed";
      }
      EXPECT_TRUE(form->EditedProfile() == working) << name << ", key " << k.key << ": the profile changed";
    }
  }
}

TEST_F(ProfileFormTest, LeavingAFieldChecksIt) {
  EXPECT_EQ(enter("ContUnderVoltageTripLabeledEdit", "60"), "55.0");
  EXPECT_EQ(enter("ContUnderVoltageTripLabeledEdit", "volts"), "55.0");
  EXPECT_EQ(enter("ContTempTripLabeledEdit", "hot"), "80");
  EXPECT_EQ(enter("MotPolePairsLabeledEdit", "0"), "1");
  EXPECT_EQ(enter("MotSpeedMinLabeledEdit", "1234"), "2000");
  EXPECT_EQ(enter("MotSpeedMaxLabeledEdit", "99999"), "99990");
  EXPECT_EQ(enter("ContAnalogueInputScalingLabeledEdit", "5000"), "4095");
  EXPECT_EQ(enter("MotorProfileNameLabeledEdit", ""), "P03");
  EXPECT_EQ(enter("MotorProfileCommentLabeledEdit", ""), "Default");
  EXPECT_EQ(enter("MotorProfileNameLabeledEdit", "Spindle"), "Spindle");
  EXPECT_EQ(enter("MotorProfileNameLabeledEdit", ""), "Spindle");
  w<QComboBox>("MotTypeComboBox")->setCurrentIndex(1);
  EXPECT_EQ(enter("ACMotCurrentNoLoadLabeledEdit", "0.04"), "0.5");

  closeWith("OKBitBtn");
  const mv::MotorProfile& p = form->EditedProfile();
  EXPECT_EQ(p.U16(off::cont_under_voltage_trip), 550);
  EXPECT_EQ(p.U16(off::motor_pole_pairs), 1);
  EXPECT_EQ(p.U16(off::motor_speed_min), 200);
  EXPECT_EQ(p.U16(off::motor_speed_max), 9999);
  EXPECT_EQ(p.U16(off::motor_ac_current_no_load), 5);
  EXPECT_EQ(p.U16(off::motor_type), 1);
  EXPECT_EQ(p.Name(), "Spindle");
  EXPECT_TRUE(mv::ProfileChecksumValid(p));
}

TEST_F(ProfileFormTest, EnterCommitsInPlace) {
  type("MotOverPowerTripLabeledEdit", "5000");
  QLineEdit* e = w("MotOverPowerTripLabeledEdit");
  QTest::keyClick(e, Qt::Key_Return);
  EXPECT_EQ(e->text(), "1200");
  EXPECT_EQ(QApplication::focusWidget(), e);
  EXPECT_TRUE(form->isVisible());  // Enter does not press OK
  type("MotOverCurrentTripLabeledEdit", "35.37");
  QTest::keyClick(w("MotOverCurrentTripLabeledEdit"), Qt::Key_Enter);
  EXPECT_EQ(w("MotOverCurrentTripLabeledEdit")->text(), "35.0");
  EXPECT_TRUE(form->isVisible());
}

TEST_F(ProfileFormTest, OkStraightAfterTypingStoresTheCheckedValue) {
  type("ContOverVoltageTripLabeledEdit", "42.77");
  type("MotorProfileCommentLabeledEdit", "Bench rig");
  type("DCMotPIDKpDivLabeledEdit", "9");
  closeWith("OKBitBtn");  // click() does not move the focus: closing commits
  EXPECT_EQ(form->result(), QDialog::Accepted);
  const mv::MotorProfile& p = form->EditedProfile();
  EXPECT_EQ(p.U16(off::cont_over_voltage_trip), 427);
  EXPECT_EQ(p.Comment(), "Bench rig");
  EXPECT_EQ(p.U16(off::motor_dc_pid_kp_div), 6);
  EXPECT_TRUE(mv::ProfileChecksumValid(p));
  EXPECT_EQ(slot, mv::MotorProfileDefaults(2));  // the slot itself is never written
}

TEST_F(ProfileFormTest, CancelEscapeAndCloseBoxLeaveTheSlotAlone) {
  const mv::MotorProfile before = slot;
  enter("ContBrakingRatioLabeledEdit", "50");
  closeWith("CancelBitBtn");
  EXPECT_EQ(form->result(), QDialog::Rejected);
  EXPECT_EQ(slot.bytes, before.bytes);

  open();
  type("ContBrakingRatioLabeledEdit", "50");
  QTest::keyClick(w("ContBrakingRatioLabeledEdit"), Qt::Key_Escape);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(form->result(), QDialog::Rejected);
  EXPECT_EQ(form->EditedProfile().U16(off::cont_braking_ratio), 50);  // committed, but not taken

  open();
  form->close();
  EXPECT_EQ(form->result(), QDialog::Rejected);
  EXPECT_EQ(slot.bytes, before.bytes);
}

TEST_F(ProfileFormTest, MotorTypeGreysTheOtherTypesFieldsAndDisablesItsTab) {
  auto* pages = w<QTabWidget>("PageControl");
  auto* type = w<QComboBox>("MotTypeComboBox");
  const QColor normal = w("ContTempTripLabeledEdit")->palette().color(QPalette::Active, QPalette::Text);
  auto check = [&](bool ac) {
    for (const auto& def : mv::kNumericEdits) {
      if (def.group == mv::MotorGroup::Both) continue;
      const bool shouldGrey = (def.group == mv::MotorGroup::DC) == ac;
      QLineEdit* e = w(def.control);
      auto* label = mvtest::Find<QLabel>(form.get(), QString::fromLatin1(def.control) + "Label");
      EXPECT_EQ(grey(e, QPalette::Text), shouldGrey) << def.control;
      EXPECT_EQ(grey(label, QPalette::WindowText), shouldGrey) << def.control;
      if (!shouldGrey) {
        EXPECT_EQ(e->palette().color(QPalette::Active, QPalette::Text), normal) << def.control;
      }
    }
    EXPECT_EQ(grey(w<QPushButton>("VFDataBitBtn"), QPalette::ButtonText), !ac);
    EXPECT_EQ(pages->widget(3)->isEnabled(), !ac);
    EXPECT_EQ(pages->widget(4)->isEnabled(), ac);
    EXPECT_FALSE(grey(w("MotPolePairsLabeledEdit"), QPalette::Text));
  };
  check(false);
  type->setCurrentIndex(1);
  check(true);
  EXPECT_EQ(form->EditedProfile().U16(off::motor_type), 1);
  // A disabled tab can still be brought to the front; its fields cannot be changed.
  pages->tabBar()->setCurrentIndex(3);
  EXPECT_EQ(pages->currentIndex(), 3);
  EXPECT_TRUE(pages->isTabEnabled(3));
  EXPECT_FALSE(w("DCMotStartMDCLabeledEdit")->isEnabled());
  type->setCurrentIndex(0);
  check(false);
  EXPECT_TRUE(w("DCMotStartMDCLabeledEdit")->isEnabled());
}

TEST_F(ProfileFormTest, DefaultsTakesTheSlotAsItIsNow) {
  slot.SetU16(off::motor_pole_pairs, 4);  // e.g. a profile fetched while the window is open
  slot.SetVf(off::motor_ac_vf_data_speed, 2, 700);
  enter("ContPWMFreqLabeledEdit", "33");
  enter("MotorProfileNameLabeledEdit", "Changed");
  w<QComboBox>("MotTypeComboBox")->setCurrentIndex(1);
  closeWith("DefaultsBitBtn");
  EXPECT_EQ(w("ContPWMFreqLabeledEdit")->text(), "90");
  EXPECT_EQ(w("MotPolePairsLabeledEdit")->text(), "4");
  EXPECT_EQ(w("MotorProfileNameLabeledEdit")->text(), "P03");
  EXPECT_EQ(w<QComboBox>("MotTypeComboBox")->currentIndex(), 0);
  EXPECT_TRUE(w<QTabWidget>("PageControl")->widget(3)->isEnabled());
  closeWith("OKBitBtn");
  mv::MotorProfile expected = slot;
  mv::UpdateChecksum(expected);
  EXPECT_EQ(form->EditedProfile(), expected);
  EXPECT_NE(slot.Checksum(), expected.Checksum());  // the slot's stale checksum was not copied
}

TEST_F(ProfileFormTest, ValuesNoItemStandsForAreKeptUntilChanged) {
  slot.SetU16(off::cont_io_output2_edge, 5);
  slot.SetU16(off::motor_type, 3);
  slot.SetU16(off::motor_temp_enable, 0);
  open();
  auto* edge = w<QComboBox>("ContDigitalOutput2EdgeComboBox");
  EXPECT_EQ(edge->currentText(), "(value 5)");
  auto* type = w<QComboBox>("MotTypeComboBox");
  EXPECT_EQ(type->currentText(), "(value 3)");
  // Neither type: nothing grey, both motor tabs usable.
  auto* pages = w<QTabWidget>("PageControl");
  EXPECT_TRUE(pages->widget(3)->isEnabled());
  EXPECT_TRUE(pages->widget(4)->isEnabled());
  EXPECT_FALSE(grey(w("DCMotBEMFSumLabeledEdit"), QPalette::Text));
  EXPECT_FALSE(grey(w("ACMotCurrentNoLoadLabeledEdit"), QPalette::Text));

  edge->setFocus();
  w("ContAnalogueInputScalingLabeledEdit")->setFocus();
  closeWith("OKBitBtn");
  EXPECT_EQ(form->EditedProfile().U16(off::cont_io_output2_edge), 5);
  EXPECT_EQ(form->EditedProfile().U16(off::motor_type), 3);

  open();
  w<QComboBox>("ContDigitalOutput2EdgeComboBox")->setCurrentIndex(1);
  w<QComboBox>("MotTypeComboBox")->setCurrentIndex(0);
  w<QCheckBox>("MotTempEnableCheckBox")->setChecked(true);
  closeWith("OKBitBtn");
  EXPECT_EQ(form->EditedProfile().U16(off::cont_io_output2_edge), 1);
  EXPECT_EQ(form->EditedProfile().U16(off::motor_type), 0);
  EXPECT_EQ(form->EditedProfile().U16(off::motor_temp_enable), 1);
}

TEST_F(ProfileFormTest, VfDataEditsTheWorkingTableOnlyOnOk) {
  w<QComboBox>("MotTypeComboBox")->setCurrentIndex(1);
  auto runVf = [&](const char* button, const QString& text) {
    QTimer::singleShot(0, [&, button, text] {
      auto* vf = qobject_cast<mv::ui::TVFDataEditForm*>(QApplication::activeModalWidget());
      ASSERT_NE(vf, nullptr);
      auto* grid = mvtest::Find<QTableWidget>(vf, "ACMotorVFDataStringGrid");
      grid->item(1, 2)->setText("0.0");  // shown text only; the table is what counts
      grid->setCurrentCell(1, 2);
      grid->editItem(grid->item(1, 2));
      auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(grid->model()->index(1, 2)));
      ASSERT_NE(editor, nullptr);
      editor->setText(text);
      mvtest::Find<QPushButton>(vf, button)->click();
    });
    w<QPushButton>("VFDataBitBtn")->click();
  };
  runVf("CancelButton", "40");
  closeWith("OKBitBtn");
  EXPECT_EQ(form->EditedProfile().Vf(off::motor_ac_vf_data_voltage_no_load, 2), 60);

  open();
  w<QComboBox>("MotTypeComboBox")->setCurrentIndex(1);
  runVf("OKButton", "40.55");
  closeWith("OKBitBtn");
  EXPECT_EQ(form->EditedProfile().Vf(off::motor_ac_vf_data_voltage_no_load, 2), 405);
  EXPECT_TRUE(mv::ProfileChecksumValid(form->EditedProfile()));
}

TEST_F(ProfileFormTest, CommaLocaleReadsCommaAndShowsPoint) {
  const char saved = mv::DecimalSeparator();
  mv::SetDecimalSeparator(',');
  open();
  EXPECT_EQ(w("MotOverCurrentTripLabeledEdit")->text(), "25.0");
  EXPECT_EQ(enter("MotOverCurrentTripLabeledEdit", "12,34"), "12.3");
  closeWith("OKBitBtn");  // closing re-commits the shown "12.3": the value stays
  EXPECT_EQ(form->EditedProfile().U16(off::motor_over_current_trip), 123);
  mv::SetDecimalSeparator(saved);
}

TEST_F(ProfileFormTest, ScreenReaderHearsCaptionsAndLabelledFields) {
  EXPECT_EQ(mvtest::AccessibilityFaults(form.get()), "");
  EXPECT_EQ(mvtest::AccessibleName(w<QLabel>("ProfileLabel")), "Profile: P03");
}

}  // namespace
