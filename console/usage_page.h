// CUsage: the Usage page, after the designed ones. A bar chart of each user's download and
// upload in the current quota period (the largest users and one bar for the rest) with the
// totals, and a line chart of the whole service's throughput over the last hour. The counters
// come from the user store, read again on user and session notifications (at most once a
// second) and on every poll; the throughput from the daemon's figures, polled every 5 s from
// the console's start so that the hour is there when the page is first shown. The reads block
// (up to 2 s for the figures), so a UsageReader makes them off the user-interface thread, one at
// a time; this page only shows their answers.
#pragma once

#include <QStringList>
#include <memory>

#include "console/property_page.h"
#include "console/rate_history.h"
#include "console/usage_figures.h"
#include "console/usage_reader.h"

class QBarSet;
class QBarCategoryAxis;
class QChart;
class QChartView;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QStackedWidget;
class QTimer;
class QValueAxis;

namespace tarvo {

class CUsage : public CPropertyPage {
  Q_OBJECT

 public:
  static constexpr int kPollMs = 5000;

  explicit CUsage(CServerTreeSheet& sheet);

  // The page follows the sheet's size, which the designed pages set.
  QSize sizeHint() const override { return {0, 0}; }
  QSize minimumSizeHint() const override { return {0, 0}; }

  // The bars' names as the axis holds them, from the bottom bar (the smallest; "Others (N)"
  // when there are more users) up: a set's value i, in byteUnit(), is that of name i.
  QStringList barNames() const;
  QBarSet* downSet() const { return downSet_; }
  QBarSet* upSet() const { return upSet_; }
  ByteUnit byteUnit() const { return barUnit_; }
  const UserUsage& totals() const { return totals_; }
  QLabel* totalsLabel() const { return totalsLabel_; }

  const RateHistory& rateHistory() const { return history_; }
  QLineSeries* downRateSeries() const { return downRate_; }
  QLineSeries* upRateSeries() const { return upRate_; }
  // Shown instead of the line chart while the daemon's figures cannot be read.
  QLabel* rateError() const { return rateError_; }
  bool showsRateChart() const;
  QLabel* statusLine() const { return status_; }
  // How many polls were answered.
  int polls() const { return polls_; }
  // How often the bars were read from the store.
  int counterReads() const { return counterReads_; }

  // Asks for one poll, as the timer does: the figures and, once the page has its window, the
  // bars. Asked while a read is in flight, it is made after that read, and several asked
  // meanwhile are made as one.
  void Poll();
  // A read is in flight (and those asked meanwhile follow it); readShown() follows each answer.
  bool readInFlight() const { return inFlight_; }

 Q_SIGNALS:
  // A read's answer is shown (readInFlight() says whether another has started since).
  void readShown();

 protected:
  void OnInitDialog() override;
  void customEvent(QEvent* event) override;

 private:
  void ReadCounters();
  void AskOwedReads();
  void ShowReading(const UsageReading& reading);
  void ShowFigures(const UsageReading& reading);
  void ShowBars(const std::vector<UserUsage>& users);
  void ShowRates();

  QChart* barChart_ = nullptr;
  QBarSet* downSet_ = nullptr;
  QBarSet* upSet_ = nullptr;
  QBarCategoryAxis* barNames_ = nullptr;
  QValueAxis* barValues_ = nullptr;
  ByteUnit barUnit_;
  UserUsage totals_;
  QLabel* totalsLabel_ = nullptr;

  QStackedWidget* rateArea_ = nullptr;
  QChartView* rateView_ = nullptr;
  QLineSeries* downRate_ = nullptr;
  QLineSeries* upRate_ = nullptr;
  QDateTimeAxis* rateTimes_ = nullptr;
  QValueAxis* rateValues_ = nullptr;
  QLabel* rateError_ = nullptr;
  QLabel* status_ = nullptr;
  RateHistory history_;

  QTimer* poll_ = nullptr;
  QTimer* counterRead_ = nullptr;
  int polls_ = 0;
  int counterReads_ = 0;

  bool pollAsked_ = false;  // ever
  // Asked while a read was in flight, and made after it.
  bool pollOwed_ = false;
  bool countersOwed_ = false;
  bool inFlight_ = false;
  // Its thread ends with the page's members, before the page's events (answers not yet
  // handled among them) are dropped with the page.
  std::unique_ptr<UsageReader> reader_;
};

}  // namespace tarvo
