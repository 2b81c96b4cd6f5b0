#include "sim/mcu/tick_timer.hpp"

namespace tavrix::sim {

platform::LDD_TDeviceData* TickTimer::TI1_Init(platform::LDD_TUserData* UserDataPtr) {
  core_.countCall();
  user_data_ = UserDataPtr;
  modulo_ = kDefaultModulo;
  overflow_flag_ = false;
  running_ = true;
  core_.nvic().setPriority(Irq::kFtm1, platform::kLevelTick);
  core_.nvic().enable(Irq::kFtm1, true);
  scheduleOverflow();
  return this;
}

void TickTimer::FTM1_SetModulo(uint16_t modulo) {
  core_.countCall();
  modulo_ = modulo;
  if (running_) scheduleOverflow();
}

void TickTimer::scheduleOverflow() {
  core_.cancel(event_);
  event_ = core_.scheduleAfter(period_clk(), [this] {
    event_ = EventId{};
    overflow_flag_ = true;
    ++overflows_;
    core_.raise(Irq::kFtm1);
    scheduleOverflow();
  });
}

void TickTimer::isr() {
  overflow_flag_ = false;  // TU1_OnCounterRestart acknowledges the overflow
  core_.app()->TI1_OnInterrupt(user_data_);
}

void TickTimer::powerOnReset() {
  core_.cancel(event_);
  user_data_ = nullptr;
  running_ = false;
  modulo_ = kDefaultModulo;
  overflow_flag_ = false;
}

}  // namespace tavrix::sim
