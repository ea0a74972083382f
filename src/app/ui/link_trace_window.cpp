#include "app/ui/link_trace_window.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QColor>
#include <QDateTime>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QScrollBar>
#include <QShortcut>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "core/ui/window_place.h"
#include "session/trace_file.h"

namespace mv::ui {

namespace {

// Failures in colours that hold in every palette: both set, never the theme's.
const QColor kFailureBackground(255, 222, 222);
const QColor kFailureText(120, 0, 0);

constexpr mv::RequestOutcome kOutcomes[] = {
    mv::RequestOutcome::Completed, mv::RequestOutcome::Timeout,      mv::RequestOutcome::BadCode,
    mv::RequestOutcome::RxError,   mv::RequestOutcome::RxBreak,      mv::RequestOutcome::FrameRefused,
    mv::RequestOutcome::Shifted,   mv::RequestOutcome::LineNotQuiet, mv::RequestOutcome::Abandoned,
    mv::RequestOutcome::Preempted, mv::RequestOutcome::DeviceGone,
};

}  // namespace

// ---- LinkTraceModel ------------------------------------------------------------

int LinkTraceModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(events_.size());
}

int LinkTraceModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant LinkTraceModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return QVariant();
  static const char* const kHeaders[kColumnCount] = {"Time", "Direction", "Result", "Bytes", "Meaning"};
  return section >= 0 && section < kColumnCount ? QString::fromLatin1(kHeaders[section]) : QVariant();
}

mv::RequestOutcome LinkTraceModel::OutcomeOf(const mv::TraceEvent& e) const {
  if (e.kind == mv::TraceKind::RequestEnded) return e.outcome;
  const auto it = ends_.find(e.request);
  return e.request == 0 || it == ends_.end() ? mv::RequestOutcome::None : it->second->outcome;
}

bool LinkTraceModel::RequestFailed(const mv::TraceEvent& e) const {
  if (e.request == 0) return false;
  const auto it = ends_.find(e.request);
  return it != ends_.end() && it->second->Failure();
}

QString LinkTraceModel::CellText(int row, int column) const {
  const mv::TraceEvent& e = Event(row);
  switch (column) {
    case kTime: {
      const std::int64_t us = e.timeUs + wallOffsetUs_;
      return QDateTime::fromMSecsSinceEpoch(us / 1000).toString(QStringLiteral("hh:mm:ss.zzz")) +
             QStringLiteral("%1").arg(us % 1000, 3, 10, QLatin1Char('0'));
    }
    case kDirection:
      if (e.kind == mv::TraceKind::Frame) return QStringLiteral("to drive");
      if (e.kind == mv::TraceKind::Received) return QStringLiteral("from drive");
      return QString();
    case kResult: return e.Failure() ? QStringLiteral("failed") : QString();
    case kBytes: return QString::fromStdString(mv::HexBytes(e));
    case kMeaning: return QString::fromStdString(mv::DescribeEvent(e));
    default: break;
  }
  return QString();
}

QString LinkTraceModel::RowLine(int row) const {
  QStringList cells;
  for (int c = 0; c < kColumnCount; ++c) cells << CellText(row, c);
  return cells.join(QLatin1Char('\t'));
}

QVariant LinkTraceModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return QVariant();
  const mv::TraceEvent& e = Event(index.row());
  switch (role) {
    case Qt::DisplayRole: return CellText(index.row(), index.column());
    case Qt::ToolTipRole:
      // The whole of a long answer, which the column cuts.
      if (index.column() == kBytes || index.column() == kMeaning) return CellText(index.row(), index.column());
      break;
    case Qt::BackgroundRole:
      if (e.Failure()) return kFailureBackground;
      break;
    case Qt::ForegroundRole:
      if (e.Failure()) return kFailureText;
      break;
    default: break;
  }
  return QVariant();
}

void LinkTraceModel::Append(const mv::TraceEvent* events, std::size_t count) {
  if (count == 0) return;
  const std::size_t capacity = mv::kTraceCapacity;
  if (count > capacity) {
    events += count - capacity;
    count = capacity;
  }
  const std::size_t drop = events_.size() + count > capacity ? events_.size() + count - capacity : 0;
  if (drop > 0) {
    beginRemoveRows(QModelIndex(), 0, static_cast<int>(drop) - 1);
    for (std::size_t i = 0; i < drop; ++i) {
      const mv::TraceEvent& old = events_.front();
      if (old.kind == mv::TraceKind::RequestEnded) ends_.erase(old.request);
      events_.pop_front();
    }
    endRemoveRows();
  }
  const int first = static_cast<int>(events_.size());
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(count) - 1);
  for (std::size_t i = 0; i < count; ++i) {
    events_.push_back(events[i]);
    if (events[i].kind == mv::TraceKind::RequestEnded) ends_[events[i].request] = &events_.back();
  }
  endInsertRows();
}

void LinkTraceModel::Clear() {
  beginResetModel();
  events_.clear();
  ends_.clear();
  endResetModel();
}

// ---- LinkTraceFilter -------------------------------------------------------------

void LinkTraceFilter::SetRequest(int request) {
  request_ = request;
  invalidateFilter();
}

void LinkTraceFilter::SetOutcome(int outcome) {
  outcome_ = outcome;
  invalidateFilter();
}

bool LinkTraceFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
  const mv::TraceEvent& e = model_.Event(sourceRow);
  if (request_ >= 0 && (e.request == 0 || static_cast<int>(e.requestKind) != request_)) return false;
  if (outcome_ == -1) return e.Failure() || model_.RequestFailed(e);
  if (outcome_ >= 0) return static_cast<int>(model_.OutcomeOf(e)) == outcome_;
  return true;
}

// ---- TLinkTraceWindow --------------------------------------------------------------

TLinkTraceWindow::TLinkTraceWindow(QWidget* parent, mv::LinkRecorder& recorder, mv::Prompts& prompts)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                          Qt::WindowCloseButtonHint),
      recorder_(recorder),
      prompts_(prompts) {
  setObjectName(QStringLiteral("LinkTraceWindow"));
  setWindowTitle(QStringLiteral("Link Trace"));
  setModal(false);
  setSizeGripEnabled(true);
  resize(980, 480);

  model_ = new LinkTraceModel(this);
  model_->SetWallOffset(recorder.WallTimeUs(0));
  filter_ = new LinkTraceFilter(this, *model_);
  filter_->setSourceModel(model_);

  auto label = [this](const char* name, const QString& text) {
    auto* l = new QLabel(text, this);
    l->setObjectName(QString::fromLatin1(name));
    return l;
  };
  RequestFilterLabel = label("RequestFilterLabel", QStringLiteral("&Request:"));
  RequestFilterCombo = new QComboBox(this);
  RequestFilterCombo->setObjectName(QStringLiteral("RequestFilterCombo"));
  RequestFilterCombo->addItem(QStringLiteral("all"), -1);
  for (int r = 1; r < static_cast<int>(mv::kTraceRequestCount); ++r)
    RequestFilterCombo->addItem(QString::fromLatin1(mv::TraceRequestName(static_cast<mv::TraceRequest>(r))), r);
  RequestFilterLabel->setBuddy(RequestFilterCombo);

  OutcomeFilterLabel = label("OutcomeFilterLabel", QStringLiteral("&Outcome:"));
  OutcomeFilterCombo = new QComboBox(this);
  OutcomeFilterCombo->setObjectName(QStringLiteral("OutcomeFilterCombo"));
  OutcomeFilterCombo->addItem(QStringLiteral("all"), -2);
  OutcomeFilterCombo->addItem(QStringLiteral("failures only"), -1);
  for (mv::RequestOutcome o : kOutcomes)
    OutcomeFilterCombo->addItem(QString::fromLatin1(mv::RequestOutcomeText(o)), static_cast<int>(o));
  OutcomeFilterLabel->setBuddy(OutcomeFilterCombo);
  // The longest outcome's words would make the box as wide as the window.
  for (QComboBox* box : {RequestFilterCombo, OutcomeFilterCombo}) {
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(box == OutcomeFilterCombo ? 14 : 10);
    box->view()->setMinimumWidth(box->view()->sizeHintForColumn(0) + 24);  // the list shows them whole
  }

  FindLabel = label("FindLabel", QStringLiteral("&Find:"));
  FindEdit = new QLineEdit(this);
  FindEdit->setObjectName(QStringLiteral("FindEdit"));
  FindEdit->setAccessibleName(QStringLiteral("Find:"));
  FindEdit->setClearButtonEnabled(true);
  // Room for a few bytes or a word and the clear button, which shows once
  // something is typed: the window never grows while the user types.
  FindEdit->setMinimumWidth(FindEdit->fontMetrics().horizontalAdvance(QString(10, QLatin1Char('0'))) +
                            FindEdit->sizeHint().height() + 8);
  FindLabel->setBuddy(FindEdit);
  FindNextButton = new QPushButton(QStringLiteral("Find &Next"), this);
  FindNextButton->setObjectName(QStringLiteral("FindNextButton"));

  EventsLabel = label("EventsLabel", QStringLiteral("&Events:"));
  EventsView = new QTableView(this);
  EventsView->setObjectName(QStringLiteral("EventsView"));
  EventsView->setAccessibleName(QStringLiteral("Events:"));
  EventsView->setModel(filter_);
  EventsView->setSelectionBehavior(QAbstractItemView::SelectRows);
  EventsView->setSelectionMode(QAbstractItemView::ExtendedSelection);
  EventsView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  EventsView->setWordWrap(false);
  EventsView->setTextElideMode(Qt::ElideRight);
  EventsView->verticalHeader()->hide();
  // Rows of one height: the view lays out only what it shows, however long the list.
  EventsView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  EventsView->verticalHeader()->setDefaultSectionSize(EventsView->fontMetrics().height() + 6);
  EventsView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  const QFontMetrics fm(EventsView->font());
  QHeaderView* columns = EventsView->horizontalHeader();
  columns->setStretchLastSection(true);
  columns->resizeSection(LinkTraceModel::kTime, fm.horizontalAdvance(QStringLiteral("00:00:00.000000")) + 16);
  columns->resizeSection(LinkTraceModel::kDirection, fm.horizontalAdvance(QStringLiteral("from drive")) + 16);
  columns->resizeSection(LinkTraceModel::kResult, fm.horizontalAdvance(QStringLiteral("failed")) + 16);
  columns->resizeSection(LinkTraceModel::kBytes, fm.horizontalAdvance(QString(3 * 12, QLatin1Char('0'))) + 16);
  EventsLabel->setBuddy(EventsView);

  StateLabel = label("StateLabel", QString());
  StateLabel->setTextFormat(Qt::PlainText);
  StateLabel->setAccessibleDescription(QStringLiteral("What the list holds"));

  auto button = [this](const char* name, const QString& text, void (TLinkTraceWindow::*slot)()) {
    auto* b = new QPushButton(text, this);
    b->setObjectName(QString::fromLatin1(name));
    connect(b, &QPushButton::clicked, this, slot);
    return b;
  };
  PauseButton = button("PauseButton", QStringLiteral("&Pause"), &TLinkTraceWindow::PauseButtonClick);
  PauseButton->setCheckable(true);
  ClearButton = button("ClearButton", QStringLiteral("C&lear"), &TLinkTraceWindow::ClearButtonClick);
  CopyButton = button("CopyButton", QStringLiteral("&Copy"), &TLinkTraceWindow::CopyButtonClick);
  SaveButton = button("SaveButton", QStringLiteral("&Save..."), &TLinkTraceWindow::SaveButtonClick);
  connect(FindNextButton, &QPushButton::clicked, this, &TLinkTraceWindow::FindNextButtonClick);
  connect(FindEdit, &QLineEdit::returnPressed, this, &TLinkTraceWindow::FindNextButtonClick);
  connect(RequestFilterCombo, &QComboBox::currentIndexChanged, this, &TLinkTraceWindow::FilterChanged);
  connect(OutcomeFilterCombo, &QComboBox::currentIndexChanged, this, &TLinkTraceWindow::FilterChanged);
  auto* findAgain = new QShortcut(QKeySequence::FindNext, this);
  connect(findAgain, &QShortcut::activated, this, &TLinkTraceWindow::FindNextButtonClick);
  auto* copy = new QShortcut(QKeySequence::Copy, EventsView, nullptr, nullptr, Qt::WidgetShortcut);
  connect(copy, &QShortcut::activated, this, &TLinkTraceWindow::CopyButtonClick);

  // The filters, then Find on a row of its own: narrow enough to stand
  // beside Control/Status, away from its commands, on an 800-pixel screen.
  auto* top = new QGridLayout;
  top->addWidget(RequestFilterLabel, 0, 0);
  auto* filters = new QHBoxLayout;
  filters->addWidget(RequestFilterCombo);
  filters->addSpacing(12);
  filters->addWidget(OutcomeFilterLabel);
  filters->addWidget(OutcomeFilterCombo);
  filters->addStretch(1);
  top->addLayout(filters, 0, 1);
  top->addWidget(FindLabel, 1, 0);
  auto* find = new QHBoxLayout;
  find->addWidget(FindEdit, 1);
  find->addWidget(FindNextButton);
  top->addLayout(find, 1, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(StateLabel, 1);
  bottom->addWidget(PauseButton);
  bottom->addWidget(ClearButton);
  bottom->addWidget(CopyButton);
  bottom->addWidget(SaveButton);
  auto* lay = new QVBoxLayout(this);
  lay->addLayout(top);
  lay->addWidget(EventsLabel);
  lay->addWidget(EventsView, 1);
  lay->addLayout(bottom);

  pullTimer_.setInterval(kPullIntervalMs);
  connect(&pullTimer_, &QTimer::timeout, this, &TLinkTraceWindow::Pull);
  seen_ = recorder_.Ring().First();
  ShowState();
}

TLinkTraceWindow::~TLinkTraceWindow() = default;

void TLinkTraceWindow::Pull() {
  if (Paused()) return;
  const mv::TraceRing& ring = recorder_.Ring();
  if (seen_ < ring.First()) {
    lost_ += ring.First() - seen_;
    seen_ = ring.First();
  }
  if (seen_ == ring.End()) return;
  // Kept at the newest row if it was there, else where the user scrolled to.
  QScrollBar* bar = EventsView->verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  std::vector<mv::TraceEvent> fresh;
  fresh.reserve(static_cast<std::size_t>(ring.End() - seen_));
  for (; seen_ < ring.End(); ++seen_) fresh.push_back(ring.At(seen_));
  bool ended = false;
  for (const mv::TraceEvent& e : fresh) ended = ended || e.kind == mv::TraceKind::RequestEnded;
  model_->Append(fresh.data(), fresh.size());
  // A request's rows change their verdict when it ends.
  if (ended && filter_->ByOutcome()) filter_->Refilter();
  if (atEnd) EventsView->scrollToBottom();
  ShowState();
}

QString TLinkTraceWindow::ShownRowLine(int row) const {
  return model_->RowLine(filter_->mapToSource(filter_->index(row, 0)).row());
}

void TLinkTraceWindow::ShowState(const QString& extra) {
  QString text = QStringLiteral("%1 of %2 events shown").arg(filter_->rowCount()).arg(model_->rowCount());
  if (lost_ > 0) text += QStringLiteral("; %1 older ones went before they were shown").arg(lost_);
  if (Paused()) text += QStringLiteral("; paused");
  if (!extra.isEmpty()) text += QStringLiteral("; ") + extra;
  StateLabel->setText(text);
}

void TLinkTraceWindow::PauseButtonClick() {
  if (Paused()) {
    pullTimer_.stop();
  } else {
    Pull();
    if (isVisible()) pullTimer_.start();
  }
  ShowState();
}

void TLinkTraceWindow::ClearButtonClick() {
  recorder_.Clear();
  model_->Clear();
  seen_ = recorder_.Ring().End();
  lost_ = 0;
  ShowState();
}

void TLinkTraceWindow::CopyButtonClick() {
  QModelIndexList rows = EventsView->selectionModel()->selectedRows();
  std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  QStringList lines;
  for (const QModelIndex& r : rows) lines << ShownRowLine(r.row());
  if (lines.isEmpty()) {
    ShowState(QStringLiteral("nothing selected to copy"));
    return;
  }
  QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
  ShowState(QStringLiteral("%1 rows copied").arg(lines.size()));
}

void TLinkTraceWindow::SaveButtonClick() {
  mv::FileDialogOptions options;
  options.title = "Save Link Trace";
  options.filter = "Link traces|*.trace;*.txt";
  options.defaultExt = "trace";
  options.confirmOverwrite = true;
  std::string path;
  if (!prompts_.SaveFile(mv::OwnerOf(this), options, path)) return;
  // Every event the list holds, whatever the filters show.
  std::string text = mv::TraceFileHeaderText();
  for (int row = 0; row < model_->rowCount(); ++row)
    mv::AppendTraceEvent(text, model_->Event(row), model_->WallOffset());
  std::string message;
  if (!mv::WriteTraceFile(path, text, message)) {
    prompts_.ShowMessage(mv::OwnerOf(this), "ERROR: - " + message);
    return;
  }
  ShowState(QStringLiteral("saved to ") + QString::fromStdString(path));
}

void TLinkTraceWindow::FindNextButtonClick() {
  const QString wanted = FindEdit->text();
  if (wanted.isEmpty()) return;
  const int rows = filter_->rowCount();
  const int from = EventsView->currentIndex().isValid() ? EventsView->currentIndex().row() + 1 : 0;
  for (int i = 0; i < rows; ++i) {
    const int row = (from + i) % rows;
    if (!ShownRowLine(row).contains(wanted, Qt::CaseInsensitive)) continue;
    const QModelIndex at = filter_->index(row, LinkTraceModel::kMeaning);
    EventsView->setCurrentIndex(at);
    EventsView->selectionModel()->select(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    EventsView->scrollTo(at);
    ShowState(QStringLiteral("found in row %1").arg(row + 1));
    return;
  }
  ShowState(QStringLiteral("\"%1\" not found").arg(wanted));
  // Heard wherever the focus is.
  QAccessibleEvent alert(StateLabel, QAccessible::Alert);
  QAccessible::updateAccessibility(&alert);
}

void TLinkTraceWindow::FilterChanged() {
  filter_->SetRequest(RequestFilterCombo->currentData().toInt());
  filter_->SetOutcome(OutcomeFilterCombo->currentData().toInt());
  EventsView->scrollToBottom();
  ShowState();
}

void TLinkTraceWindow::showEvent(QShowEvent* e) {
  Pull();
  if (!Paused()) pullTimer_.start();
  if (!e->spontaneous() && centred_) mv::ui::CentreOverOwner(this);
  QDialog::showEvent(e);
}

void TLinkTraceWindow::hideEvent(QHideEvent* e) {
  pullTimer_.stop();
  QDialog::hideEvent(e);
}

}  // namespace mv::ui
