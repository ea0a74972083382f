// Tools > Link Trace on the main window: the session's recorder as a live
// list with failures in words and colour, filters, Find, Copy, Pause, Clear
// and Save, heard by a screen reader.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>

#include "app/ui/link_trace_window.h"
#include "app/ui/main_form_fixture.h"
#include "session/trace_file.h"
#include "support/accessibility_check.h"

using mv::ui::LinkTraceModel;
using mv::ui::TLinkTraceWindow;

namespace {

class LinkTraceTest : public mainform::MainFormFixture {
 protected:
  // A request of `count` steps as the engine tells the recorder of it: each
  // step answered, or the last cut off by a timeout.
  void Request(const mv::RequestStep* steps, std::uint32_t count, bool timeout, bool end = true) {
    mv::LinkRecorder& r = form->Session().Recorder();
    r.RequestBegun(steps, count, false);
    for (std::uint32_t i = 1; i <= count; ++i) {
      r.FrameSent(i, &steps[i - 1].command, 1, true);
      r.ByteReceived(0x07, mv::ByteUse::Part);
      if (timeout && i == count) break;
      r.ByteReceived(0x01, mv::ByteUse::Part);
      r.ByteReceived(0x00, mv::ByteUse::Part);
      r.ResponseComplete(mv::Response{}, true);
    }
    const auto outcome = timeout ? mv::RequestOutcome::Timeout : mv::RequestOutcome::Completed;
    if (end) r.RequestEnded(mv::RequestEnd{outcome, count, count, true});
  }
  std::string Shown(TLinkTraceWindow* w) const {
    std::string out;
    for (int i = 0; i < w->ShownRows(); ++i) out += w->ShownRowLine(i).toStdString() + "\n";
    return out;
  }
  const mv::RequestStep status_[9] = {{0x74}, {0x42}, {0x70}, {0x60}, {0x76}, {0xF1}, {0x75}, {0x73}, {0x72}};
  const mv::RequestStep info_[4] = {{0x77}, {0x0D}, {0x78}, {0x10}};
};

TEST_F(LinkTraceTest, ALiveListWithFailuresInWordsAndColourFiltersFindCopyPauseClearSave) {
  form->LinkTrace1->trigger();
  TLinkTraceWindow* w = form->LinkTraceWindow;
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->parentWidget(), form.get());
  EXPECT_EQ(mvtest::AccessibilityFaults(w), "");

  Request(status_, 9, false);
  Request(info_, 4, true);
  w->Pull();
  // 9 x (frame, answer) and begin, end; then 4 frames, 3 answers, a cut-off answer, begin, end.
  ASSERT_EQ(w->ShownRows(), 20 + 10);
  const int end = w->ShownRows() - 1;
  const QString last = w->ShownRowLine(end);
  EXPECT_TRUE(last.contains(QStringLiteral("\tfailed\t"))) << last.toStdString();
  EXPECT_TRUE(last.contains(QStringLiteral("#2 info ended: no answer from the drive (timeout) at step 4 of 4")));
  EXPECT_TRUE(
      w->ShownRowLine(end - 1).contains(QStringLiteral("from drive\tfailed\t07\t#2 info step 4 of 4: cut off")));
  EXPECT_TRUE(w->ShownRowLine(2).contains(QStringLiteral("answer 0x07 Phase Current (A) 0.1")));
  const QModelIndex failed = w->EventsView->model()->index(end, LinkTraceModel::kMeaning);
  const QModelIndex fine = w->EventsView->model()->index(2, LinkTraceModel::kMeaning);
  EXPECT_TRUE(failed.data(Qt::BackgroundRole).isValid());
  EXPECT_FALSE(fine.data(Qt::BackgroundRole).isValid());

  // Failures only: the failed request; a request's rows join when it fails.
  w->OutcomeFilterCombo->setCurrentIndex(w->OutcomeFilterCombo->findData(-1));
  EXPECT_EQ(w->ShownRows(), 10);
  Request(info_, 2, true, false);
  w->Pull();
  EXPECT_EQ(w->ShownRows(), 10);
  form->Session().Recorder().RequestEnded(mv::RequestEnd{mv::RequestOutcome::Timeout, 2, 2, true});
  w->Pull();
  EXPECT_EQ(w->ShownRows(), 10 + 6);
  w->OutcomeFilterCombo->setCurrentIndex(0);
  w->RequestFilterCombo->setCurrentIndex(w->RequestFilterCombo->findText(QStringLiteral("status")));
  EXPECT_EQ(w->ShownRows(), 20);
  w->RequestFilterCombo->setCurrentIndex(0);

  // Find selects the next row holding the words; Copy takes the selected rows.
  w->FindEdit->setText(QStringLiteral("TIMEOUT"));
  w->FindNextButton->click();
  ASSERT_EQ(w->EventsView->currentIndex().row(), end);
  w->CopyButton->click();
  EXPECT_EQ(QApplication::clipboard()->text(), last + QLatin1Char('\n'));
  w->FindEdit->setText(QStringLiteral("no such words"));
  w->FindNextButton->click();
  EXPECT_TRUE(w->StateLabel->text().contains(QStringLiteral("\"no such words\" not found")));

  // Paused, the list holds still while the recorder goes on.
  w->PauseButton->click();
  Request(status_, 9, false);
  QApplication::processEvents();
  w->Pull();
  const int held = w->ShownRows();
  w->PauseButton->click();
  EXPECT_EQ(w->ShownRows(), held + 20);

  // Save writes every row the list holds as a trace file; a failed save says why.
  mvtest::TempDir dir;
  prompts.paths = {dir.File("link.trace"), dir.File("missing/link.trace")};
  w->SaveButton->click();
  std::vector<mv::TraceFileRecord> records;
  std::string message;
  ASSERT_TRUE(mv::ReadTraceFile(dir.File("link.trace"), records, message)) << message;
  EXPECT_EQ(records.size(), 9u * 2 + 4 + 4 + 2 + 2 + 9u * 2);
  w->SaveButton->click();
  EXPECT_EQ(prompts.LastMessage().rfind("ERROR: - unable to write trace file", 0), 0u) << prompts.LastMessage();
  EXPECT_EQ(prompts.owners.back(), mv::OwnerOf(w));

  w->ClearButton->click();
  EXPECT_EQ(w->ShownRows(), 0);
  EXPECT_EQ(form->Session().Recorder().Ring().Size(), 0u);
}

}  // namespace
