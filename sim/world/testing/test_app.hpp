// A small application for the simulator's own tests: main() runs a body the test gives, and each
// event handler calls the test's hook (with a sensible default: acknowledge the PWM overflow,
// read one ADC result per call, A first). The hooks live outside the application, so a system
// reset, which constructs it afresh, keeps them.
#pragma once

#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "firmware/platform/platform.hpp"
#include "sim/world/world.hpp"

namespace tavrix::sim::testing {

class TestApp;

struct TestHooks {
  std::function<void(TestApp&)> main;  // after it returns, main relaxes for ever
  std::function<void(TestApp&)> ftm0;
  std::function<void(TestApp&)> tick;
  std::function<void(TestApp&, uint8_t)> can_rx;
  std::function<void(TestApp&, uint8_t)> can_tx;
  std::function<void(TestApp&)> spi1_received;
  std::function<void(TestApp&)> spi0_received;
  std::function<void(TestApp&)> spi0_sent;
  std::function<void(TestApp&)> adc0;
  std::function<void(TestApp&)> adc1;
};

class TestApp final : public platform::Application {
 public:
  TestApp(platform::Platform& p, TestHooks& h) : hw(p), hooks(h) {}

  [[noreturn]] void main() override {
    if (hooks.main) hooks.main(*this);
    for (;;) hw.cpu.Cpu_Relax();
  }
  void FTM0_Interrupt() override {
    if (hooks.ftm0) {
      hooks.ftm0(*this);
    } else {
      hw.motorTimer.FTM0_ClearOverflowFlag();
    }
  }
  void TI1_OnInterrupt(platform::LDD_TUserData*) override {
    if (hooks.tick) hooks.tick(*this);
  }
  void CAN2_OnFullRxBuffer(platform::LDD_TUserData*, platform::LDD_CAN_TBufferIndex i) override {
    if (hooks.can_rx) hooks.can_rx(*this, i);
  }
  void CAN2_OnFreeTxBuffer(platform::LDD_TUserData*, platform::LDD_CAN_TBufferIndex i) override {
    if (hooks.can_tx) hooks.can_tx(*this, i);
  }
  void SM1_OnBlockReceived(platform::LDD_TUserData*) override {
    SM1_Semaphore = 1;
    if (hooks.spi1_received) hooks.spi1_received(*this);
  }
  void SM3_OnBlockReceived(platform::LDD_TUserData*) override {
    if (hooks.spi0_received) hooks.spi0_received(*this);
  }
  void SM3_OnBlockSent(platform::LDD_TUserData*) override {
    if (hooks.spi0_sent) hooks.spi0_sent(*this);
  }
  void AD1_OnMeasurementComplete(platform::LDD_TUserData*) override {
    if (hooks.adc1) {
      hooks.adc1(*this);
    } else {
      readOne(platform::AdcUnit::ADC1);
    }
  }
  void AD2_OnMeasurementComplete(platform::LDD_TUserData*) override {
    if (hooks.adc0) {
      hooks.adc0(*this);
    } else {
      readOne(platform::AdcUnit::ADC0);
    }
  }

  // Reads one completed result of `unit`, A first, as the node's handlers do.
  void readOne(platform::AdcUnit unit) {
    using platform::AdcConversion;
    if (hw.motorTimer.ADC_IsComplete(unit, AdcConversion::A)) {
      hw.motorTimer.ADC_ReadResult(unit, AdcConversion::A);
    } else if (hw.motorTimer.ADC_IsComplete(unit, AdcConversion::B)) {
      hw.motorTimer.ADC_ReadResult(unit, AdcConversion::B);
    }
  }

  // Busy-waits until `done()` holds, as firmware does.
  template <typename F>
  void waitUntil(F done) {
    while (!done()) hw.cpu.Cpu_Relax();
  }

  platform::Platform& hw;
  TestHooks& hooks;
  volatile uint8_t SM1_Semaphore = 0;
  uint32_t scratch[8] = {};  // per-start state for the test's body
};

// Storage and factory of one TestApp per node: every (re)construction destroys the previous
// instance (its hooks may own heap memory) and builds a fresh one in place.
class TestAppSlot {
 public:
  explicit TestAppSlot(TestHooks& hooks) : hooks_(hooks) {}
  ~TestAppSlot() { destroy(); }
  TestAppSlot(const TestAppSlot&) = delete;
  TestAppSlot& operator=(const TestAppSlot&) = delete;

  AppFactory factory() {
    return [this](platform::Platform& p) -> platform::Application& {
      destroy();
      app_ = new (storage_) TestApp(p, hooks_);
      ++constructions_;
      return *app_;
    };
  }
  TestApp& app() { return *app_; }
  int constructions() const { return constructions_; }

 private:
  void destroy() {
    if (app_ != nullptr) app_->~TestApp();
    app_ = nullptr;
  }

  TestHooks& hooks_;
  alignas(TestApp) unsigned char storage_[sizeof(TestApp)];
  TestApp* app_ = nullptr;
  int constructions_ = 0;
};

}  // namespace tavrix::sim::testing
