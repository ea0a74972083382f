// Cost of the live plot at the fastest poll period (200 ms): adding a poll to
// the history, and one repaint of the plot with a full ten-minute window
// (3000 polls, six lanes) on the offscreen platform. Goal: a repaint takes
// under a tenth of the poll period, so the GUI keeps up with room to spare.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "control/status_history.h"

#ifdef MV_BENCH_WITH_GUI
#include <QApplication>
#include <QImage>
#include <QPainter>

#include "control/ui/status_plot.h"

using namespace mv::ui;  // the windows
#endif

namespace {

mv::StatusValues Poll(int i) {
  mv::StatusValues v;
  for (std::size_t f = 0; f < mv::kStatusFieldCount; ++f)
    v.raw[f] = static_cast<std::uint16_t>(1000 + 900 * std::sin(i * 0.01 + static_cast<double>(f)));
  v.received = 0x1FF;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  mv::StatusHistory history;
  const int adds = 1'000'000;
  const mv::StatusValues sample = Poll(1);
  const auto t0 = Clock::now();
  for (int i = 0; i < adds; ++i) history.Add(i * 0.2, sample);
  const double addNs = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / adds;
  std::printf("status history: %.0f ns per poll added (capacity %zu points)\n", addNs, history.Capacity());

#ifdef MV_BENCH_WITH_GUI
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  history.Clear();
  for (int i = 0; i < 3000; ++i) history.Add(i * 0.2, Poll(i));
  mv::ui::StatusPlotWidget plot(history);
  plot.resize(plot.sizeHint());
  plot.SetWindowSeconds(600);
  QImage image(plot.size(), QImage::Format_ARGB32_Premultiplied);
  const int paints = 50;
  const auto p0 = Clock::now();
  for (int i = 0; i < paints; ++i) plot.render(&image);
  const double paintMs = std::chrono::duration<double, std::milli>(Clock::now() - p0).count() / paints;
  const bool met = paintMs < 20.0;
  std::printf("status plot: %.2f ms per repaint of 3000 polls x 6 lanes at %dx%d (goal under 20 ms: %s)\n", paintMs,
              plot.width(), plot.height(), met ? "met" : "MISSED");
  return met ? 0 : 1;
#else
  (void)argc;
  (void)argv;
  std::printf("status plot: repaint not measured (built without the desktop application)\n");
  return 0;
#endif
}
