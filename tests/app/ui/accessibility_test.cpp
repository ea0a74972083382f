// What a screen reader hears of the main, log and about windows: captions in
// the names of buttons, values as the names of the labels that show them,
// edits named by their labels.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QRadioButton>
#include <QTest>

#include "app/ui/about_form.h"
#include "app/ui/main_form_fixture.h"
#include "support/accessibility_check.h"
#include "support/qt_keys.h"

using namespace mv::ui;  // the windows

namespace {

using mvtest::AccessibilityFaults;

class MainWindowHeard : public mainform::MainFormFixture {};

TEST_F(MainWindowHeard, EveryControlByItsCaptionEveryValueAsShown) {
  form->show();
  EXPECT_EQ(AccessibilityFaults(form.get()), "");
  EXPECT_EQ(AccessibilityFaults(form->LogWindow), "");

  // The status bar is read as it shows; what each panel is, is its description.
  const char* const shown[] = {"COM Closed", "Tx", "0", "Rx", "0", "TO", "0", "Errs", "0", "Busy", "0"};
  for (int i = 0; i < TMainForm::kPanelCount; ++i) {
    EXPECT_EQ(mvtest::AccessibleName(form->StatusPanels[i]), shown[i]) << i;
    EXPECT_FALSE(mvtest::AccessibleDescription(form->StatusPanels[i]).empty()) << i;
  }
  form->SetPanelText(2, "17");
  EXPECT_EQ(mvtest::AccessibleName(form->StatusPanels[2]), "17");

  // A slot's name label is its profile's name; its buttons say their caption first.
  EXPECT_EQ(mvtest::AccessibleName(form->Slots[0].NameLabel), "<undefined>");
  form->setProfileSlot(0, mv::MotorProfileDefaults(0));
  EXPECT_EQ(mvtest::AccessibleName(form->Slots[0].NameLabel), form->Slots[0].NameLabel->text().toStdString());
  EXPECT_NE(mvtest::AccessibleDescription(form->Slots[0].NameLabel).find("P01"), std::string::npos);
  EXPECT_EQ(mvtest::AccessibleName(form->Slots[0].LoadFromINIButton), "Load INI, P01");
  EXPECT_EQ(mvtest::AccessibleName(form->Slots[5].ActivedRadioButton), "Activate, P06");
  EXPECT_EQ(mvtest::AccessibleName(form->NameLabeledEdit), "Name");
}

// "Activate" is one of six radio buttons: a second press keeps it checked
// (the drive was just told to use that profile) and it is read as a radio button.
TEST_F(MainWindowHeard, ActivateIsARadioButtonThatStaysChecked) {
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  QRadioButton* activate = form->Slots[2].ActivedRadioButton;
  QAccessibleInterface* heard = QAccessible::queryAccessibleInterface(activate);
  ASSERT_NE(heard, nullptr);
  EXPECT_EQ(heard->role(), QAccessible::RadioButton);
  activate->setFocus();
  for (int press = 1; press <= 2; ++press) {
    mvtest::Press(Qt::Key_Space);
    EXPECT_TRUE(activate->isChecked()) << "press " << press;
    EXPECT_TRUE(heard->state().checked) << "press " << press;
  }
  form->Slots[4].ActivedRadioButton->click();
  EXPECT_FALSE(activate->isChecked());
  form->DeactivateAllButton->click();
  for (const auto& slot : form->Slots) EXPECT_FALSE(slot.ActivedRadioButton->isChecked());
}

// The report log is a window of its own to a screen reader, and Escape closes it.
TEST_F(MainWindowHeard, ReportLogIsAWindowThatEscapeCloses) {
  form->show();
  form->Log1->trigger();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form->LogWindow));
  QAccessibleInterface* heard = QAccessible::queryAccessibleInterface(form->LogWindow);
  ASSERT_NE(heard, nullptr);
  EXPECT_TRUE(heard->role() == QAccessible::Dialog || heard->role() == QAccessible::Window) << heard->role();
  EXPECT_EQ(heard->text(QAccessible::Name).toStdString(), "Report Log");
  mvtest::Press(Qt::Key_Escape);
  EXPECT_FALSE(form->LogWindow->isVisible());
}

TEST(AboutWindowHeard, LinesAreReadAsShown) {
  TAboutForm about;
  about.SetCompanyName("Morvane");
  about.SetIdentity("QRX410Host");
  about.show();
  EXPECT_EQ(AccessibilityFaults(&about), "");
  EXPECT_EQ(mvtest::AccessibleName(about.CompanyNameLabel), "Morvane");
  EXPECT_EQ(mvtest::AccessibleName(about.IdentityLabel), "Identity: QRX410Host");
  EXPECT_FALSE(mvtest::AccessibleDescription(about.CompanyNameLabel).empty());
}

}  // namespace
