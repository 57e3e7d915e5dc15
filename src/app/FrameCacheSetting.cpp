#include "app/FrameCacheSetting.h"

#include <QLabel>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "pixels/FrameCache.h"

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;

}  // namespace

TFrameCacheSetting::TFrameCacheSetting(QWidget* parent) : QGroupBox("Frame Cache", parent) {
  setObjectName("Frame Cache");
  auto* l = new QVBoxLayout(this);
  l->setContentsMargins(6, 2, 6, 2);
  cacheBudgetSpinBox = new QSpinBox(this);
  cacheBudgetSpinBox->setObjectName("cacheBudgetSpinBox");
  cacheBudgetSpinBox->setRange(kMinMiB, 1 << 20);
  cacheBudgetSpinBox->setSingleStep(256);
  cacheBudgetSpinBox->setSuffix(" MB");
  cacheBudgetSpinBox->setKeyboardTracking(false);  // applied when typing ends, not per digit
  cacheBudgetSpinBox->setToolTip(
      "Memory for decoded frames, for this run; the least recently seen go first");
  cacheUsageLabel = new QLabel(this);
  cacheUsageLabel->setObjectName("cacheUsageLabel");
  l->addWidget(cacheBudgetSpinBox);
  l->addWidget(cacheUsageLabel);
  connect(cacheBudgetSpinBox, &QSpinBox::valueChanged, this, [this](int mib) {
    FrameCache::Shared().SetBudget(int64_t(mib) * kMiB);
    Refresh();
  });
  // What the cache holds changes with every step: shown while the tab is up.
  refresh_ = new QTimer(this);
  refresh_->setInterval(1000);
  connect(refresh_, &QTimer::timeout, this, [this] {
    if (isVisible()) Refresh();
  });
  refresh_->start();
  Refresh();
}

void TFrameCacheSetting::Refresh() {
  FrameCache& cache = FrameCache::Shared();
  {
    const QSignalBlocker block(cacheBudgetSpinBox);
    cacheBudgetSpinBox->setValue(int(std::min<int64_t>(cache.Budget() / kMiB, 1 << 20)));
  }
  // Volumes count against the same budget as frames, so both are shown.
  const int64_t held = cache.BytesHeld() + cache.Charged();
  cacheUsageLabel->setText(QString("%1 MB held").arg((held + kMiB / 2) / kMiB));
}

bool ParseCacheMegabytes(const QString& text, int64_t& mib, QString* reason) {
  bool ok = false;
  const qlonglong v = text.trimmed().toLongLong(&ok);
  if (!ok || v < TFrameCacheSetting::kMinMiB || v > (qlonglong(1) << 20)) {
    if (reason)
      *reason = QString("--cache-mb wants a whole number of megabytes from %1 to %2, not \"%3\"")
                    .arg(TFrameCacheSetting::kMinMiB)
                    .arg(1 << 20)
                    .arg(text);
    return false;
  }
  mib = v;
  return true;
}
