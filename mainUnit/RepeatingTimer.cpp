#include "mainUnit/RepeatingTimer.h"

#include <limits>

namespace MainUnit {

TTimer::TTimer(QObject* parent) : QObject(parent) {
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &TTimer::OnTimer);
}

void TTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  Update();
}

void TTimer::SetInterval(std::uint32_t value) {
  if (value > static_cast<std::uint32_t>(std::numeric_limits<int>::max()))
    value = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
  if (value == interval_) return;
  interval_ = value;
  timer_.stop();  // a new period starts a new countdown
  Update();
}

void TTimer::Update() {
  // A QTimer with interval 0 would fire on every pass of the event loop; a
  // window timer with interval 0 does not fire at all.
  if (enabled_ && interval_ != 0) {
    if (!timer_.isActive()) timer_.start(static_cast<int>(interval_));
  } else {
    timer_.stop();
  }
}

}  // namespace MainUnit
