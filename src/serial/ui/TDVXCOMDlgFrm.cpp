#include "serial/ui/TDVXCOMDlgFrm.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QProxyStyle>
#include <QShowEvent>
#include <QVBoxLayout>

#include "serial/port_info.h"
#include "serial/port_map.h"

namespace PLKDVX {

namespace {

QPixmap BlankImage() {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  return pm;
}

}  // namespace

QIcon PortPresentImage() {
  QPixmap pm = BlankImage();
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QPen pen(QColor(0x00, 0x99, 0x00), 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(pen);
  QPainterPath tick;
  tick.moveTo(2.5, 8.5);
  tick.lineTo(6.5, 12.5);
  tick.lineTo(13.5, 3.5);
  p.drawPath(tick);
  p.end();
  return QIcon(pm);
}

QIcon PortAbsentImage() {
  QPixmap pm = BlankImage();
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0xD0, 0x00, 0x00), 2.6, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
  p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
  p.end();
  return QIcon(pm);
}

namespace {

// The style in use, except that a combo box's list drops down as a list of
// its maximum visible items (some styles show every item, up to the screen).
class ListPopupStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == QStyle::SH_ComboBox_Popup) return 0;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

// The device line never widens the window: a long path is cut in the middle.
QString DeviceLineSample() { return QStringLiteral("COM32: /dev/ttyUSB10 (absent)"); }

}  // namespace

void DropDownComboBox::showPopup() {
  emit DropDown();
  QComboBox::showPopup();
}

TDVXCOMDlgFrm::TDVXCOMDlgFrm(QWidget* owner, int left, int top, const QString& caption, TCOMDlgReadOnlyAttribs readOnly,
                             int numPorts, int& port, TBaudRate& baudRate, TDataBits& dataBits, TParity& parity,
                             TStopBits& stopBits)
    : QDialog(owner),
      PortPresent(IsPortPres),
      PortPath(mv::PortDevicePath),
      AdapterOf([](const std::string& path) { return mv::PortAdapterDescription(path); }),
      left_(left),
      top_(top),
      caption_(caption),
      readOnly_(readOnly),
      numPorts_(numPorts >= 1 && numPorts <= kMaxListedPorts ? numPorts : kMaxListedPorts),
      openPort_(port >= 1 && port <= numPorts_ ? port : 1),
      openBaud_(static_cast<int>(baudRate) <= br115200 ? static_cast<int>(baudRate) : br9600),
      openDataBits_(static_cast<int>(dataBits) <= db8 ? static_cast<int>(dataBits) : db8),
      openParity_(static_cast<int>(parity) <= paSpace ? static_cast<int>(parity) : paNone),
      openStopBits_(static_cast<int>(stopBits) <= sb2 ? static_cast<int>(stopBits) : sb1),
      port_(port),
      baudRate_(baudRate),
      dataBits_(dataBits),
      parity_(parity),
      stopBits_(stopBits) {
  setObjectName(QStringLiteral("DVXCOMDlgFrm"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setModal(true);

  auto* group = new QGroupBox(this);
  auto* grid = new QGridLayout(group);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(4);

  auto addRow = [&](int row, QLabel*& label, const char* labelName, const QString& text, QComboBox* combo,
                    const char* comboName) {
    label = new QLabel(text, group);
    label->setObjectName(QString::fromLatin1(labelName));
    combo->setObjectName(QString::fromLatin1(comboName));
    combo->setAccessibleName(text);
    combo->setEditable(false);
    label->setBuddy(combo);
    grid->addWidget(label, row, 0);
    grid->addWidget(combo, row, 1);
  };
  COMPortComboBoxEx = new DropDownComboBox(group);
  auto* listStyle = new ListPopupStyle;
  listStyle->setParent(COMPortComboBoxEx);
  COMPortComboBoxEx->setStyle(listStyle);
  COMPortComboBoxEx->setMaxVisibleItems(8);
  COMPortComboBoxEx->setIconSize(QSize(16, 16));
  BaudRateComboBox = new QComboBox(group);
  DataBitsComboBox = new QComboBox(group);
  ParityComboBox = new QComboBox(group);
  StopBitsComboBox = new QComboBox(group);
  addRow(0, COMPortLabel, "COMPortLabel", QStringLiteral("COM Port"), COMPortComboBoxEx, "COMPortComboBoxEx");
  addRow(1, BaudRateLabel, "BaudRateLabel", QStringLiteral("Baud Rate"), BaudRateComboBox, "BaudRateComboBox");
  addRow(2, DataBitsLabel, "DataBitsLabel", QStringLiteral("Data Bits"), DataBitsComboBox, "DataBitsComboBox");
  addRow(3, ParityLabel, "ParityLabel", QStringLiteral("Parity"), ParityComboBox, "ParityComboBox");
  addRow(4, StopBitsLabel, "StopBitsLabel", QStringLiteral("Stop Bits"), StopBitsComboBox, "StopBitsComboBox");
  BaudRateComboBox->addItems(
      {"110", "300", "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"});
  DataBitsComboBox->addItems({"5", "6", "7", "8"});
  ParityComboBox->addItems({"None", "Odd", "Even", "Mark", "Space"});
  StopBitsComboBox->addItems({"1", "1.5", "2"});

  DeviceLabel = new QLabel(group);
  DeviceLabel->setObjectName(QStringLiteral("DeviceLabel"));
  DeviceLabel->setTextFormat(Qt::PlainText);
  DeviceLabel->setFixedWidth(DeviceLabel->fontMetrics().horizontalAdvance(DeviceLineSample()));
  grid->addWidget(DeviceLabel, 5, 0, 1, 2);
  AdapterLabel = new QLabel(group);
  AdapterLabel->setObjectName(QStringLiteral("AdapterLabel"));
  AdapterLabel->setTextFormat(Qt::PlainText);
  AdapterLabel->setAccessibleDescription(QStringLiteral("USB adapter of the selected port"));
  AdapterLabel->setWordWrap(true);
  AdapterLabel->setFixedWidth(DeviceLabel->width());
  grid->addWidget(AdapterLabel, 6, 0, 1, 2);

  OKButton = new QPushButton(QStringLiteral("&OK"), this);
  DefaultsButton = new QPushButton(QStringLiteral("&Defaults"), this);
  CancelButton = new QPushButton(QStringLiteral("&Cancel"), this);
  OKButton->setObjectName(QStringLiteral("OKButton"));
  DefaultsButton->setObjectName(QStringLiteral("DefaultsButton"));
  CancelButton->setObjectName(QStringLiteral("CancelButton"));
  OKButton->setAccessibleName(QStringLiteral("OK"));
  DefaultsButton->setAccessibleName(QStringLiteral("Defaults"));
  CancelButton->setAccessibleName(QStringLiteral("Cancel"));
  OKButton->setDefault(true);

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(OKButton);
  buttons->addWidget(DefaultsButton);
  buttons->addWidget(CancelButton);
  buttons->addStretch(1);
  auto* lay = new QHBoxLayout(this);
  lay->setSizeConstraint(QLayout::SetFixedSize);
  lay->addWidget(group);
  lay->addLayout(buttons);

  connect(COMPortComboBoxEx, &DropDownComboBox::DropDown, this, &TDVXCOMDlgFrm::COMPortComboBoxExDropDown);
  connect(COMPortComboBoxEx, &QComboBox::currentIndexChanged, this, [this] { ShowDevice(); });
  connect(OKButton, &QPushButton::clicked, this, &TDVXCOMDlgFrm::OKButtonClick);
  connect(DefaultsButton, &QPushButton::clicked, this, &TDVXCOMDlgFrm::DefaultsButtonClick);
  connect(CancelButton, &QPushButton::clicked, this, &TDVXCOMDlgFrm::CancelButtonClick);
  adjustSize();
  move(left_, top_);
}

void TDVXCOMDlgFrm::showEvent(QShowEvent* e) {
  // Filled when the program shows the window. A show event from the window
  // system (restored after a minimise) must keep the user's choices and the
  // place the user moved the window to.
  if (!e->spontaneous()) FormShow();
  QDialog::showEvent(e);
}

void TDVXCOMDlgFrm::FormShow() {
  move(left_, top_);
  setWindowTitle(caption_);
  COMPortComboBoxEx->blockSignals(true);
  COMPortComboBoxEx->clear();
  for (int n = 1; n <= numPorts_; ++n) COMPortComboBoxEx->addItem(QString::number(n));
  COMPortComboBoxEx->blockSignals(false);
  COMPortComboBoxExDropDown();
  SelectOpeningValues();
  COMPortComboBoxEx->setEnabled(!(readOnly_ & RoBit(roPort)));
  BaudRateComboBox->setEnabled(!(readOnly_ & RoBit(roBaudRate)));
  DataBitsComboBox->setEnabled(!(readOnly_ & RoBit(roDataBits)));
  ParityComboBox->setEnabled(!(readOnly_ & RoBit(roParity)));
  StopBitsComboBox->setEnabled(!(readOnly_ & RoBit(roStopBits)));
}

void TDVXCOMDlgFrm::COMPortComboBoxExDropDown() {
  for (int n = 1; n <= COMPortComboBoxEx->count() && n <= numPorts_; ++n) MarkPort(n);
  ShowDevice();
}

void TDVXCOMDlgFrm::MarkPort(int n) {
  static const QIcon images[2] = {PortPresentImage(), PortAbsentImage()};
  const int image = (PortPresent && PortPresent(n)) ? 0 : 1;
  const int i = n - 1;
  const QString presence = image == 0 ? QStringLiteral("present") : QStringLiteral("absent");
  COMPortComboBoxEx->setItemIcon(i, images[image]);
  COMPortComboBoxEx->setItemData(i, image, kImageIndexRole);
  // The mark is a picture: a screen reader hears it in the item's name.
  COMPortComboBoxEx->setItemData(i, QStringLiteral("%1, %2").arg(n).arg(presence), Qt::AccessibleTextRole);
  const std::string path = PortPath ? PortPath(n) : std::string();
  QString tip = QStringLiteral("COM%1: ").arg(n);
  tip += path.empty() ? QStringLiteral("no device") : QString::fromStdString(path);
  tip += QStringLiteral(" (") + presence + QStringLiteral(")");
  // Only a present device has an adapter to describe.
  const std::string adapter = (image == 0 && !path.empty() && AdapterOf) ? AdapterOf(path) : std::string();
  COMPortComboBoxEx->setItemData(i, QString::fromStdString(adapter), kAdapterRole);
  if (!adapter.empty()) tip += QStringLiteral("\n") + QString::fromStdString(adapter);
  COMPortComboBoxEx->setItemData(i, tip, Qt::ToolTipRole);
  COMPortComboBoxEx->setItemData(i, tip, Qt::AccessibleDescriptionRole);
}

void TDVXCOMDlgFrm::ShowDevice() {
  const int i = COMPortComboBoxEx->currentIndex();
  if (i < 0) {
    DeviceLabel->clear();
    AdapterLabel->clear();
    return;
  }
  // Chosen by the arrow keys as well as from the list: the mark as it is now.
  if (i < numPorts_) MarkPort(i + 1);
  const QString tip = COMPortComboBoxEx->itemData(i, Qt::ToolTipRole).toString();
  const QString line = tip.section(QLatin1Char('\n'), 0, 0);
  DeviceLabel->setText(DeviceLabel->fontMetrics().elidedText(line, Qt::ElideMiddle, DeviceLabel->width()));
  DeviceLabel->setToolTip(tip);
  DeviceLabel->setAccessibleDescription(line);
  const QString adapter = COMPortComboBoxEx->itemData(i, kAdapterRole).toString();
  AdapterLabel->setText(adapter);
  AdapterLabel->setToolTip(adapter);
}

void TDVXCOMDlgFrm::SelectOpeningValues() {
  COMPortComboBoxEx->setCurrentIndex(openPort_ - 1);
  BaudRateComboBox->setCurrentIndex(openBaud_);
  DataBitsComboBox->setCurrentIndex(openDataBits_);
  ParityComboBox->setCurrentIndex(openParity_);
  StopBitsComboBox->setCurrentIndex(openStopBits_);
}

void TDVXCOMDlgFrm::OKButtonClick() {
  const int i = COMPortComboBoxEx->currentIndex();
  port_ = i >= 0 ? i + 1 : openPort_;
  baudRate_ = static_cast<TBaudRate>(BaudRateComboBox->currentIndex());
  dataBits_ = static_cast<TDataBits>(DataBitsComboBox->currentIndex());
  parity_ = static_cast<TParity>(ParityComboBox->currentIndex());
  stopBits_ = static_cast<TStopBits>(StopBitsComboBox->currentIndex());
  accept();
}

void TDVXCOMDlgFrm::DefaultsButtonClick() { SelectOpeningValues(); }

void TDVXCOMDlgFrm::CancelButtonClick() { reject(); }

}  // namespace PLKDVX
