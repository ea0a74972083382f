// Tools > Link Trace: the link's flight recorder as a live list. One row per
// event (time, direction, result, bytes in hex, what the host made of it),
// newest last; failures are said in the Result column and the words, and
// coloured. Pause holds the list while the recorder goes on; Clear empties
// both; the request and outcome filters, Find, Copy and Save (a trace file,
// see session/trace_file.h) work on what the list holds.
//
// The recorder lives in the drive session on this (the GUI) thread; the
// window copies what is new from it at most five times a second while it is
// shown, so continuous status polls never wait for it.
#pragma once

#include <QAbstractTableModel>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <unordered_map>

#include "core/prompts.h"
#include "session/link_recorder.h"

namespace mv::ui {

// The events the window holds, oldest first.
class LinkTraceModel : public QAbstractTableModel {
 public:
  enum Column { kTime, kDirection, kResult, kBytes, kMeaning, kColumnCount };
  explicit LinkTraceModel(QObject* parent) : QAbstractTableModel(parent) {}

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Appends events, dropping the oldest beyond kTraceCapacity.
  void Append(const mv::TraceEvent* events, std::size_t count);
  void Clear();
  const mv::TraceEvent& Event(int row) const { return events_[static_cast<std::size_t>(row)]; }
  // How the request of an event ended (None: not yet, or no request).
  mv::RequestOutcome OutcomeOf(const mv::TraceEvent& e) const;
  bool RequestFailed(const mv::TraceEvent& e) const;
  void SetWallOffset(std::int64_t us) { wallOffsetUs_ = us; }
  std::int64_t WallOffset() const { return wallOffsetUs_; }
  QString CellText(int row, int column) const;
  // The row as one line: the columns separated by tabs.
  QString RowLine(int row) const;

 private:
  std::deque<mv::TraceEvent> events_;
  std::unordered_map<std::uint32_t, const mv::TraceEvent*> ends_;  // request -> its RequestEnded
  std::int64_t wallOffsetUs_ = 0;
};

// Shows the events whose request and outcome match the two filters.
class LinkTraceFilter : public QSortFilterProxyModel {
 public:
  LinkTraceFilter(QObject* parent, const LinkTraceModel& model) : QSortFilterProxyModel(parent), model_(model) {}
  // -1: any request; else a TraceRequest.
  void SetRequest(int request);
  // -2: any; -1: failures only; else a RequestOutcome.
  void SetOutcome(int outcome);
  // Whether the outcome filter depends on how requests end (so rows change
  // their verdict when a request ends).
  bool ByOutcome() const { return outcome_ != -2; }
  void Refilter() { invalidateFilter(); }

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  const LinkTraceModel& model_;
  int request_ = -1;
  int outcome_ = -2;
};

// A window of the main window, not modal.
class TLinkTraceWindow : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kPullIntervalMs = 200;

  TLinkTraceWindow(QWidget* parent, mv::LinkRecorder& recorder, mv::Prompts& prompts);
  ~TLinkTraceWindow() override;

  // Takes in what the recorder kept since the last look (a timer does it
  // while the window is shown and not paused).
  void Pull();
  // Shown centred over its owner (the default), or where its owner put it
  // (beside Control/Status, never over Stop).
  void SetCentredOverOwner(bool centred) { centred_ = centred; }
  bool Paused() const { return PauseButton->isChecked(); }
  // Rows after the filters; the text of a shown row as Copy gives it.
  int ShownRows() const { return filter_->rowCount(); }
  QString ShownRowLine(int row) const;
  const LinkTraceModel& Model() const { return *model_; }

  QLabel* RequestFilterLabel;
  QComboBox* RequestFilterCombo;
  QLabel* OutcomeFilterLabel;
  QComboBox* OutcomeFilterCombo;
  QLabel* FindLabel;
  QLineEdit* FindEdit;
  QPushButton* FindNextButton;
  QLabel* EventsLabel;
  QTableView* EventsView;
  QLabel* StateLabel;  // how many rows, paused, what Find found
  QPushButton* PauseButton;
  QPushButton* ClearButton;
  QPushButton* CopyButton;
  QPushButton* SaveButton;

 public slots:
  void PauseButtonClick();
  void ClearButtonClick();
  void CopyButtonClick();
  void SaveButtonClick();
  void FindNextButtonClick();
  void FilterChanged();

 protected:
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;

 private:
  void ShowState(const QString& extra = QString());

  mv::LinkRecorder& recorder_;
  mv::Prompts& prompts_;
  LinkTraceModel* model_;
  LinkTraceFilter* filter_;
  QTimer pullTimer_;
  bool centred_ = true;
  std::uint64_t seen_ = 0;  // the recorder's sequence number up to which the list holds
  std::uint64_t lost_ = 0;  // events the recorder dropped before the window took them
};

}  // namespace mv::ui
