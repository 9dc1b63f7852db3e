#include "console/usage_page.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHorizontalStackedBarSeries>
#include <QLabel>
#include <QLineSeries>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>

#include "console/console_images.h"
#include "console/notification_event.h"
#include "console/server_tree_sheet.h"

namespace tarvo {

namespace {

constexpr int kCounterReadMs = 1000;
constexpr std::int64_t kShortestSpanMs = 60 * 1000;

QChartView* ChartView(QChart* chart) {
  chart->setMargins(QMargins(2, 2, 2, 2));
  // Height is what the sheet has least of: the legend goes beside the plot, units into the
  // labels.
  chart->legend()->setAlignment(Qt::AlignRight);
  auto* view = new QChartView(chart);
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumSize(0, 0);
  return view;
}

QString Bytes(std::int64_t bytes) { return QString::fromStdString(FormatBytes(bytes)); }

}  // namespace

CUsage::CUsage(CServerTreeSheet& sheet)
    : CPropertyPage(sheet, QStringLiteral("Usage"), ConsoleIcon(ConsoleImage::CounterDisplay)) {
  downSet_ = new QBarSet(QStringLiteral("Download"));
  upSet_ = new QBarSet(QStringLiteral("Upload"));
  auto* bars = new QHorizontalStackedBarSeries;
  bars->append(downSet_);
  bars->append(upSet_);
  barChart_ = new QChart;
  barChart_->setTitle(QStringLiteral("Per user, this quota period"));
  barChart_->addSeries(bars);
  barNames_ = new QBarCategoryAxis;
  barValues_ = new QValueAxis;
  barChart_->addAxis(barNames_, Qt::AlignLeft);
  barChart_->addAxis(barValues_, Qt::AlignBottom);
  bars->attachAxis(barNames_);
  bars->attachAxis(barValues_);
  totalsLabel_ = new QLabel;

  downRate_ = new QLineSeries;
  downRate_->setName(QStringLiteral("Download"));
  upRate_ = new QLineSeries;
  upRate_->setName(QStringLiteral("Upload"));
  auto* rateChart = new QChart;
  rateChart->setTitle(QStringLiteral("Service throughput, last hour"));
  rateChart->addSeries(downRate_);
  rateChart->addSeries(upRate_);
  rateTimes_ = new QDateTimeAxis;
  rateValues_ = new QValueAxis;
  rateChart->addAxis(rateTimes_, Qt::AlignBottom);
  rateChart->addAxis(rateValues_, Qt::AlignLeft);
  for (QLineSeries* series : {downRate_, upRate_}) {
    series->attachAxis(rateTimes_);
    series->attachAxis(rateValues_);
  }
  rateView_ = ChartView(rateChart);
  rateError_ = new QLabel(QStringLiteral("The service's figures have not been read yet"));
  rateError_->setAlignment(Qt::AlignCenter);
  // Not wrapped: a label that wraps gives the sheet a height for its width, and the sheet
  // would change its size with the page shown. A long reason is cut instead.
  rateError_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  rateArea_ = new QStackedWidget;
  rateArea_->addWidget(rateView_);
  rateArea_->addWidget(rateError_);
  rateArea_->setCurrentWidget(rateError_);
  status_ = new QLabel;

  auto* layout = new QVBoxLayout(this);
  // The sheet keeps the designed pages' size; the charts fit into it.
  layout->setSizeConstraint(QLayout::SetNoConstraint);
  layout->addWidget(ChartView(barChart_), 1);
  layout->addWidget(totalsLabel_);
  layout->addWidget(rateArea_, 1);
  layout->addWidget(status_);
  ShowRates();

  reader_ = std::make_unique<UsageReader>(*this);
  // From the console's start, whether or not the page is ever shown.
  poll_ = new QTimer(this);
  poll_->setInterval(kPollMs);
  connect(poll_, &QTimer::timeout, this, &CUsage::Poll);
  poll_->start();
  counterRead_ = new QTimer(this);
  counterRead_->setSingleShot(true);
  counterRead_->setInterval(kCounterReadMs);
  connect(counterRead_, &QTimer::timeout, this, &CUsage::ReadCounters);
}

void CUsage::OnInitDialog() {
  sheet_.setUsagePageWindow(true);
  // A poll only when the timer has made none yet: two readings close together give a rate
  // that says little.
  if (!pollAsked_) {
    Poll();
  } else {
    ReadCounters();
  }
}

QStringList CUsage::barNames() const { return barNames_->categories(); }

bool CUsage::showsRateChart() const { return rateArea_->currentWidget() == rateView_; }

void CUsage::Poll() {
  pollAsked_ = true;
  pollOwed_ = true;
  AskOwedReads();
}

void CUsage::ReadCounters() {
  countersOwed_ = true;
  AskOwedReads();
}

void CUsage::AskOwedReads() {
  // One read at a time: a slow daemon or store gets no second read stacked on the first.
  if (inFlight_ || !(pollOwed_ || countersOwed_)) return;
  // The bars with every poll once the page has its window, which shows them.
  reader_->Ask({pollOwed_, countersOwed_ || (pollOwed_ && created())});
  pollOwed_ = false;
  countersOwed_ = false;
  inFlight_ = true;
}

void CUsage::ShowReading(const UsageReading& reading) {
  inFlight_ = false;
  if (reading.request.figures) {
    ++polls_;
    ShowFigures(reading);
  }
  if (reading.request.counters) {
    ++counterReads_;
    if (reading.users) {
      ShowBars(*reading.users);
    } else {
      totalsLabel_->setText(QStringLiteral("The user store could not be read"));  // bars kept
    }
  }
  AskOwedReads();
  Q_EMIT readShown();
}

void CUsage::ShowFigures(const UsageReading& reading) {
  if (reading.figuresRead) {
    history_.AddReading(reading.atMs, reading.down, reading.up);
    status_->setText(QString::fromStdString(reading.statusLine));
    ShowRates();
    rateArea_->setCurrentWidget(rateView_);
  } else {
    history_.Interrupt();
    rateError_->setText(QStringLiteral("The service's throughput cannot be shown: ") +
                        QString::fromStdString(reading.error));
    rateError_->setToolTip(rateError_->text());  // the whole of a reason too long to show
    status_->clear();
    rateArea_->setCurrentWidget(rateError_);
  }
}

void CUsage::ShowBars(const std::vector<UserUsage>& users) {
  totals_ = TotalUsage(users);
  totalsLabel_->setText(QStringLiteral("All users: download %1, upload %2, together %3")
                            .arg(Bytes(totals_.down), Bytes(totals_.up), Bytes(totals_.both())));

  const UsageBars grouped = GroupTopUsers(users);
  std::vector<UserUsage> shown;  // bottom up: the others, then the top users smallest first
  if (grouped.othersCount > 0) {
    shown.push_back(grouped.others);
    shown.back().name = QStringLiteral("Others (%1)").arg(grouped.othersCount).toStdString();
  }
  shown.insert(shown.end(), grouped.top.rbegin(), grouped.top.rend());
  std::int64_t largest = 0;
  for (const UserUsage& user : shown) largest = std::max(largest, user.both());
  barUnit_ = ChooseByteUnit(static_cast<double>(largest));

  QStringList names;
  QList<qreal> down;
  QList<qreal> up;
  for (const UserUsage& user : shown) {
    names.append(QString::fromStdString(user.name));
    down.append(static_cast<double>(user.down) / barUnit_.bytes);
    up.append(static_cast<double>(user.up) / barUnit_.bytes);
  }
  downSet_->remove(0, downSet_->count());
  upSet_->remove(0, upSet_->count());
  barNames_->clear();
  barNames_->append(names);
  downSet_->append(down);
  upSet_->append(up);
  barValues_->setRange(0, std::max(1.0, static_cast<double>(largest) / barUnit_.bytes) * 1.05);
  barValues_->applyNiceNumbers();
  barValues_->setLabelFormat(QStringLiteral("%.4g ") + QString::fromLatin1(barUnit_.name));
  barChart_->setTitle(shown.empty() ? QStringLiteral("Nothing counted in this quota period")
                                    : QStringLiteral("Per user, this quota period"));
}

void CUsage::ShowRates() {
  double largest = 0;
  for (const RatePoint& point : history_.points()) {
    largest = std::max({largest, point.down, point.up});
  }
  const ByteUnit unit = ChooseByteUnit(largest);
  QList<QPointF> down;
  QList<QPointF> up;
  for (const RatePoint& point : history_.points()) {
    down.append(QPointF(static_cast<qreal>(point.atMs), point.down / unit.bytes));
    up.append(QPointF(static_cast<qreal>(point.atMs), point.up / unit.bytes));
  }
  downRate_->replace(down);
  upRate_->replace(up);
  // The time the points cover (the last hour at most), and a minute at least.
  const auto& points = history_.points();
  const std::int64_t end =
      points.empty() ? QDateTime::currentMSecsSinceEpoch() : points.back().atMs;
  std::int64_t start =
      points.empty() ? end : std::max(points.front().atMs, end - RateHistory::kSpanMs);
  start = std::min(start, end - kShortestSpanMs);
  rateTimes_->setFormat(end - start > 10 * 60 * 1000 ? QStringLiteral("HH:mm")
                                                     : QStringLiteral("HH:mm:ss"));
  rateTimes_->setRange(QDateTime::fromMSecsSinceEpoch(start), QDateTime::fromMSecsSinceEpoch(end));
  rateValues_->setRange(0, std::max(1.0, largest / unit.bytes) * 1.05);
  rateValues_->applyNiceNumbers();
  rateValues_->setLabelFormat(QStringLiteral("%.4g ") + QString::fromLatin1(unit.name) +
                              QStringLiteral("/s"));
}

void CUsage::customEvent(QEvent* event) {
  if (event->type() == kUsageReadEvent) {
    ShowReading(static_cast<UsageReadEvent*>(event)->reading());
    return;
  }
  if (event->type() != kChangedEvent) return;
  // Users or sessions changed: one read of the store for a burst of them.
  if (!counterRead_->isActive()) counterRead_->start();
}

}  // namespace tarvo
