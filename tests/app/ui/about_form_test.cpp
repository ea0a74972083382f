#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include "app/ui/about_form.h"

using namespace mv::ui;  // the windows

namespace {

TEST(AboutForm, UnfilledWindowShowsQuestionMarksAfterEveryPrefix) {
  TAboutForm f;
  f.show();
  EXPECT_EQ(f.windowTitle(), "About ???");
  EXPECT_EQ(f.CompanyNameLabel->text(), "???");
  EXPECT_EQ(f.ApplicationNameLabel->text(), "???");
  EXPECT_EQ(f.IdentityLabel->text(), "Identity: ???");
  EXPECT_EQ(f.VersionLabel->text(), "Version: ???");
  EXPECT_EQ(f.BuildDateLabel->text(), "Built: ???");
  EXPECT_EQ(f.BuildTimeLabel->text(), "Time: ???");
  EXPECT_TRUE(f.CopyrightMessageLabel->text().contains("???"));
  EXPECT_TRUE(f.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST(AboutForm, TextsSetBeforeShowingAppearWithTheirPrefixes) {
  TAboutForm f;
  f.SetCompanyName("Morvane");
  f.SetApplicationName("Morvane Controller Host");
  f.SetIdentity("QRX410Host");
  f.SetVersion("V1.3A");
  f.SetBuildTime("16:00");
  f.SetBuildDate("6th April 2023");
  f.SetNoticeYear("2023");
  f.show();
  EXPECT_EQ(f.windowTitle(), "About Morvane Controller Host");
  EXPECT_EQ(f.CompanyNameLabel->text(), "Morvane");
  EXPECT_EQ(f.IdentityLabel->text(), "Identity: QRX410Host");
  EXPECT_EQ(f.VersionLabel->text(), "Version: V1.3A");
  EXPECT_EQ(f.BuildDateLabel->text(), "Built: 6th April 2023");
  EXPECT_EQ(f.BuildTimeLabel->text(), "Time: 16:00");
  EXPECT_TRUE(f.CopyrightMessageLabel->text().contains("Morvane (2023)"));
  // Texts that look like markup are shown as they are.
  for (QLabel* l : f.findChildren<QLabel*>())
    EXPECT_EQ(l->textFormat(), Qt::PlainText) << l->objectName().toStdString();
  EXPECT_EQ(f.AboutImage->size(), QSize(153, 53));
  EXPECT_EQ(MakeAboutLogo().size(), QSize(153, 53));
}

TEST(AboutForm, EscapeOrAClickAnywhereClosesOtherKeysDoNot) {
  TAboutForm f;
  f.show();
  QTest::keyClick(&f, Qt::Key_A);
  QTest::keyClick(&f, Qt::Key_Return);
  QTest::keyClick(&f, Qt::Key_Space);
  EXPECT_TRUE(f.isVisible());
  QTest::keyClick(&f, Qt::Key_Escape);
  EXPECT_FALSE(f.isVisible());

  QWidget* targets[] = {f.CompanyNameLabel,      f.ApplicationNameLabel, f.IdentityLabel,
                        f.VersionLabel,          f.BuildDateLabel,       f.BuildTimeLabel,
                        f.CopyrightMessageLabel, f.AboutImage,           &f};
  for (QWidget* w : targets) {
    f.show();
    ASSERT_TRUE(f.isVisible());
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_FALSE(f.isVisible()) << w->objectName().toStdString();
  }
}

TEST(AboutForm, ExecReturnsWhenClosedByEscape) {
  TAboutForm f;
  QTimer::singleShot(0, &f, [&] { QTest::keyClick(&f, Qt::Key_Escape); });
  f.exec();
  EXPECT_FALSE(f.isVisible());
}

}  // namespace
