// The about window: who made the program, its name, identity, version and
// build date and time. Made, filled, shown modally and destroyed per use.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPixmap>
#include <QString>

class QKeyEvent;
class QMouseEvent;

namespace mv::ui {

// The logo drawn in code, 153 x 53 pixels.
QPixmap MakeAboutLogo();

class TAboutForm : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutForm(QWidget* owner = nullptr);

  // Called in this order by the main window before showing.
  void SetCompanyName(const QString& s) { companyName_ = s; }
  void SetApplicationName(const QString& s) { applicationName_ = s; }
  void SetIdentity(const QString& s) { identity_ = s; }
  void SetVersion(const QString& s) { version_ = s; }
  void SetBuildTime(const QString& s) { buildTime_ = s; }
  void SetBuildDate(const QString& s) { buildDate_ = s; }
  void SetNoticeYear(const QString& s) { noticeYear_ = s; }

  // Fills the caption and the labels from the seven texts (run on show).
  void FormShow();

  QLabel* CompanyNameLabel;
  QLabel* ApplicationNameLabel;
  QLabel* IdentityLabel;
  QLabel* VersionLabel;
  QLabel* BuildDateLabel;
  QLabel* BuildTimeLabel;
  QLabel* CopyrightMessageLabel;
  QLabel* AboutImage;

 protected:
  void showEvent(QShowEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  QString companyName_ = QStringLiteral("???");
  QString applicationName_ = QStringLiteral("???");
  QString identity_ = QStringLiteral("???");
  QString version_ = QStringLiteral("???");
  QString buildTime_ = QStringLiteral("???");
  QString buildDate_ = QStringLiteral("???");
  QString noticeYear_ = QStringLiteral("???");
};

}  // namespace mv::ui
