// TTimer: a repeating timer with the enabled-and-interval model of a window
// timer: it ticks only while it is enabled and its interval is not 0. A
// changed interval restarts the countdown; the same interval changes nothing.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>

namespace MainUnit {

class TTimer : public QObject {
  Q_OBJECT

 public:
  explicit TTimer(QObject* parent = nullptr);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  // Milliseconds; at most INT32_MAX.
  std::uint32_t Interval() const { return interval_; }
  void SetInterval(std::uint32_t value);
  // Whether ticks are being produced.
  bool Running() const { return timer_.isActive(); }

 signals:
  void OnTimer();

 private:
  void Update();
  QTimer timer_;
  bool enabled_ = true;
  std::uint32_t interval_ = 1000;
};

}  // namespace MainUnit
