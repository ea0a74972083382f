#include "app/ui/about_form.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <algorithm>

#include "core/ui/window_place.h"

namespace mv::ui {

QPixmap MakeAboutLogo() {
  QPixmap pm(153, 53);
  pm.fill(Qt::white);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, 153, 53);
  g.setColorAt(0, QColor(0x10, 0x3A, 0x7A));
  g.setColorAt(1, QColor(0x2E, 0x8B, 0xC9));
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRoundedRect(QRectF(1, 1, 151, 51), 8, 8);
  // A rotor: a ring with three blades.
  const QPointF c(26.5, 26.5);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0xF2, 0xA9, 0x00), 3));
  p.drawEllipse(c, 17, 17);
  p.setBrush(QColor(0xF2, 0xA9, 0x00));
  p.setPen(Qt::NoPen);
  for (int i = 0; i < 3; ++i) {
    p.save();
    p.translate(c);
    p.rotate(120.0 * i);
    QPainterPath blade;
    blade.moveTo(0, 0);
    blade.cubicTo(4, -6, 12, -8, 13, -2);
    blade.cubicTo(8, -3, 4, -1, 0, 0);
    p.drawPath(blade);
    p.restore();
  }
  p.drawEllipse(c, 3, 3);
  // Speed lines and the name.
  p.setPen(QPen(QColor(255, 255, 255, 160), 1.5));
  for (int i = 0; i < 3; ++i) p.drawLine(QPointF(52, 38 + 4 * i), QPointF(146 - 14 * i, 38 + 4 * i));
  QFont f;
  f.setBold(true);
  f.setPixelSize(17);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRectF(50, 6, 100, 28), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("MORVANE"));
  return pm;
}

TAboutForm::TAboutForm(QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("AboutForm"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint);
  setModal(true);
  setAttribute(Qt::WA_DeleteOnClose, false);  // the caller owns it and destroys it after use
  setAutoFillBackground(true);
  QPalette pal = palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    pal.setColor(group, QPalette::Window, pal.color(QPalette::Active, QPalette::Light));
  setPalette(pal);

  auto* lay = new QVBoxLayout(this);
  lay->setSizeConstraint(QLayout::SetFixedSize);
  lay->setContentsMargins(12, 12, 12, 12);
  lay->setSpacing(4);

  AboutImage = new QLabel(this);
  AboutImage->setObjectName(QStringLiteral("AboutImage"));
  AboutImage->setPixmap(MakeAboutLogo());
  AboutImage->setFixedSize(153, 53);
  AboutImage->setScaledContents(true);
  AboutImage->setTextFormat(Qt::PlainText);
  AboutImage->setAccessibleName(QStringLiteral("Logo"));
  lay->addWidget(AboutImage, 0, Qt::AlignLeft);

  // Each line is read as it shows; what it is goes in its description.
  auto make = [&](QLabel*& label, const char* name, const char* what) {
    label = new QLabel(this);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setAccessibleDescription(QString::fromLatin1(what));
    label->installEventFilter(this);
    lay->addWidget(label);
  };
  make(CompanyNameLabel, "CompanyNameLabel", "Company");
  make(ApplicationNameLabel, "ApplicationNameLabel", "Application");
  make(IdentityLabel, "IdentityLabel", "Identity");
  make(VersionLabel, "VersionLabel", "Version");
  make(BuildDateLabel, "BuildDateLabel", "Build date");
  make(BuildTimeLabel, "BuildTimeLabel", "Build time");
  make(CopyrightMessageLabel, "CopyrightMessageLabel", "Copyright notice");
  AboutImage->installEventFilter(this);

  QFont big = CompanyNameLabel->font();
  big.setPointSizeF(big.pointSizeF() * 2.0);
  big.setBold(true);
  CompanyNameLabel->setFont(big);
  CompanyNameLabel->setAlignment(Qt::AlignCenter);
  CompanyNameLabel->setAutoFillBackground(true);
  QPalette white = CompanyNameLabel->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    white.setColor(group, QPalette::Window, Qt::white);
    white.setColor(group, QPalette::WindowText, Qt::black);
  }
  CompanyNameLabel->setPalette(white);
  FormShow();
}

void TAboutForm::FormShow() {
  setWindowTitle(QStringLiteral("About ") + applicationName_);
  // Wide enough for the caption, which the title bar would otherwise cut
  // ("About... r Host"; "About Morvane Controller H" on Wayland).
  const QMargins m = layout()->contentsMargins();
  CopyrightMessageLabel->setMinimumWidth(std::min(mv::ui::WidthForTitle(windowTitle(), font()), 600) - m.left() -
                                         m.right());
  CompanyNameLabel->setText(companyName_);
  ApplicationNameLabel->setText(applicationName_);
  IdentityLabel->setText(QStringLiteral("Identity: ") + identity_);
  VersionLabel->setText(QStringLiteral("Version: ") + version_);
  BuildDateLabel->setText(QStringLiteral("Built: ") + buildDate_);
  BuildTimeLabel->setText(QStringLiteral("Time: ") + buildTime_);
  CopyrightMessageLabel->setText(QStringLiteral("Copyright \u00A9 ") + companyName_ + QStringLiteral(" (") +
                                 noticeYear_ + QStringLiteral(")"));
}

void TAboutForm::showEvent(QShowEvent* e) {
  FormShow();
  QDialog::showEvent(e);
}

void TAboutForm::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) {
    reject();
    return;
  }
  QDialog::mousePressEvent(e);
}

void TAboutForm::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) {
    reject();
    return;
  }
  e->accept();  // every other key does nothing (no default button to press)
}

bool TAboutForm::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
    reject();
    return true;
  }
  return QDialog::eventFilter(watched, e);
}

}  // namespace mv::ui
