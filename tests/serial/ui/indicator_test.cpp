#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <memory>

#include "serial/TDVXCOMPort.h"
#include "serial/gui_queue.h"
#include "serial/ui/TDVXCOMIndicator.h"

using namespace PLKDVX;

namespace {

QImage Grab(TDVXCOMIndicator& lamp) { return lamp.grab().toImage(); }

TEST(IndicatorWidget, NewLampIsA13PixelWhiteCircle) {
  TDVXCOMIndicator lamp;
  EXPECT_EQ(lamp.size(), QSize(13, 13));
  EXPECT_EQ(lamp.sizeHint(), QSize(13, 13));
  EXPECT_EQ(lamp.GetShape(), isCircle);
  EXPECT_EQ(lamp.GetVersion(), "1.00");
  const QImage img = Grab(lamp);
  EXPECT_EQ(img.pixelColor(6, 6), QColor(Qt::white));
  EXPECT_LT(img.pixelColor(6, 0).value(), 128);                                              // top of the black outline
  EXPECT_EQ(img.pixelColor(0, 0).alpha() == 0 || img.pixelColor(0, 0).value() > 128, true);  // outside the circle
}

TEST(IndicatorWidget, DrawsItsColoursInEveryStateEvenDisabled) {
  TDVXCOMIndicator lamp;
  lamp.SetShape(isSquare);
  lamp.SetOnColour(0x0000FF);      // red (red in the low byte)
  lamp.SetOffColour(0x00FF00);     // green
  lamp.SetBorderColour(0xFF0000);  // blue
  EXPECT_EQ(Grab(lamp).pixelColor(6, 6), QColor(0, 255, 0));
  EXPECT_EQ(Grab(lamp).pixelColor(0, 0), QColor(0, 0, 255));
  lamp.SetStateOn(true);
  EXPECT_EQ(Grab(lamp).pixelColor(6, 6), QColor(255, 0, 0));
  lamp.setEnabled(false);
  EXPECT_EQ(Grab(lamp).pixelColor(6, 6), QColor(255, 0, 0));
  EXPECT_EQ(Grab(lamp).pixelColor(0, 0), QColor(0, 0, 255));
  lamp.SetBorderOn(false);  // outline in the fill colour: no visible border
  EXPECT_EQ(Grab(lamp).pixelColor(0, 0), QColor(255, 0, 0));
  EXPECT_EQ(Grab(lamp).pixelColor(12, 12), QColor(255, 0, 0));
  lamp.resize(30, 20);
  EXPECT_EQ(Grab(lamp).pixelColor(29, 19), QColor(255, 0, 0));
}

TEST(IndicatorWidget, ColourValuesKeepRedInTheLowByte) {
  EXPECT_EQ(ColourToQColor(0x00FF00), QColor(0, 255, 0));
  EXPECT_EQ(ColourToQColor(0x0000FF), QColor(255, 0, 0));
  EXPECT_EQ(ColourToQColor(0x123456), QColor(0x56, 0x34, 0x12));
  EXPECT_EQ(QColorToColour(QColor(0x56, 0x34, 0x12)), 0x123456u);
}

TEST(IndicatorWidget, PortLinksDriveTheLampAndDestructionClearsThem) {
  mv::GuiCallQueue queue;
  TDVXCOMPort port(queue);
  auto rx = std::make_unique<TDVXCOMIndicator>();
  TDVXCOMIndicator cts;
  port.SetRXIndicator(rx.get());
  port.SetCTSIndicator(&cts);
  port.Indicator(itRX, true);
  EXPECT_TRUE(rx->GetStateOn());
  EXPECT_FALSE(cts.GetStateOn());
  port.Indicator(itRX, false);
  EXPECT_FALSE(rx->GetStateOn());
  port.Indicator(itCTS, true);
  EXPECT_TRUE(cts.GetStateOn());
  port.Indicator(42, true);  // not a lamp type: nothing
  rx.reset();
  EXPECT_EQ(port.GetRXIndicator(), nullptr);
  EXPECT_EQ(port.GetCTSIndicator(), &cts);
  port.Indicator(itRX, true);  // no lamp linked any more: nothing happens
}

TEST(IndicatorWidget, PulsesWithOnTimeStayVisibleUntilTheTimerEnds) {
  TDVXCOMIndicator lamp;
  lamp.SetOnTime(30);
  lamp.SetStateOn(true);
  lamp.SetStateOn(false);
  EXPECT_TRUE(lamp.GetStateOn());
  QElapsedTimer t;
  t.start();
  while (lamp.GetStateOn() && t.elapsed() < 2000) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  EXPECT_FALSE(lamp.GetStateOn());
}

}  // namespace
