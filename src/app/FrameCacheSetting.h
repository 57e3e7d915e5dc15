// The Settings tab's frame cache field: the budget of decoded frames in MiB,
// for this run only (the program stores nothing between runs), and what the
// cache holds now. The budget is the one `tavrolen-viewer --cache-mb N` sets.
#pragma once

#include <QGroupBox>
#include <QString>
#include <cstdint>

class QLabel;
class QSpinBox;
class QTimer;

class TFrameCacheSetting : public QGroupBox {
  Q_OBJECT
 public:
  static constexpr int kMinMiB = 16;

  explicit TFrameCacheSetting(QWidget* parent = nullptr);

  QSpinBox* cacheBudgetSpinBox;  // MiB
  QLabel* cacheUsageLabel;       // "412 MB held"

  // Reads the budget and the bytes held from the cache again.
  void Refresh();

 private:
  QTimer* refresh_;
};

// Parses the value of --cache-mb: a whole number of MiB, at least kMinMiB.
// False (with a one-line reason) for anything else.
bool ParseCacheMegabytes(const QString& text, int64_t& mib, QString* reason = nullptr);
