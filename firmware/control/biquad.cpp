#include "firmware/control/biquad.hpp"

#include <cmath>

namespace tavrix {

namespace {

// The design's value of pi: the float nearest 3.14159, which puts the corner about 0.8 ppm low.
constexpr float kDesignPi = 3.14159f;

}  // namespace

// Context: ISR, level 5 (PWM period), on the control interrupt's first run; main loop on a
// re-design.
void biquadInit(biquadStruct* bq, int32_t type, float Fc, float Q, float peakGain) {
  // Gain and prewarped corner are computed in double and rounded to float once.
  const float V =
      static_cast<float>(std::pow(10.0, static_cast<double>(std::fabs(peakGain)) / 20.0));
  const float K = static_cast<float>(std::tan(static_cast<double>(kDesignPi * Fc)));

  bq->type = type;
  bq->Fc = Fc;
  bq->Q = Q;
  bq->peakGain = peakGain;
  bq->z2 = 0.0f;
  bq->z1 = 0.0f;

  // Single-precision terms shared by the formulas; each is rounded exactly as if written inline.
  const float K2 = K * K;
  const float KQ = K / Q;
  const float VQK = V / Q * K;
  const float VK2 = V * K2;
  // The shelf types sum in double around the double square roots; the float terms above are
  // promoted only where they meet them.
  const double k = static_cast<double>(K);
  const double k2 = static_cast<double>(K2);
  const double v = static_cast<double>(V);
  const double vk2 = static_cast<double>(VK2);
  const double sqrt2 = std::sqrt(2.0);
  const double sqrt2V = std::sqrt(static_cast<double>(2.0f * V));

  float norm = 0.0f;
  switch (type) {
    case BIQUAD_LOWPASS:
      norm = 1.0f / (1.0f + KQ + K2);
      bq->a0 = K2 * norm;
      bq->a1 = 2.0f * bq->a0;
      bq->a2 = bq->a0;
      bq->b1 = 2.0f * (K2 - 1.0f) * norm;
      bq->b2 = (1.0f - KQ + K2) * norm;
      break;
    case BIQUAD_HIGHPASS:
      norm = 1.0f / (1.0f + KQ + K2);
      bq->a0 = norm;
      bq->a1 = -2.0f * bq->a0;
      bq->a2 = bq->a0;
      bq->b1 = 2.0f * (K2 - 1.0f) * norm;
      bq->b2 = (1.0f - KQ + K2) * norm;
      break;
    case BIQUAD_BANDPASS:
      norm = 1.0f / (1.0f + KQ + K2);
      bq->a0 = KQ * norm;
      bq->a1 = 0.0f;
      bq->a2 = -bq->a0;
      bq->b1 = 2.0f * (K2 - 1.0f) * norm;
      bq->b2 = (1.0f - KQ + K2) * norm;
      break;
    case BIQUAD_NOTCH:
      norm = 1.0f / (1.0f + KQ + K2);
      bq->a0 = (1.0f + K2) * norm;
      bq->a1 = 2.0f * (K2 - 1.0f) * norm;
      bq->a2 = bq->a0;
      bq->b1 = bq->a1;
      bq->b2 = (1.0f - KQ + K2) * norm;
      break;
    case BIQUAD_PEAK:
      if (peakGain >= 0.0f) {
        norm = 1.0f / (1.0f + KQ + K2);
        bq->a0 = (1.0f + VQK + K2) * norm;
        bq->a1 = 2.0f * (K2 - 1.0f) * norm;
        bq->a2 = (1.0f - VQK + K2) * norm;
        bq->b1 = bq->a1;
        bq->b2 = (1.0f - KQ + K2) * norm;
      } else {
        norm = 1.0f / (1.0f + VQK + K2);
        bq->a0 = (1.0f + KQ + K2) * norm;
        bq->a1 = 2.0f * (K2 - 1.0f) * norm;
        bq->a2 = (1.0f - KQ + K2) * norm;
        bq->b1 = bq->a1;
        bq->b2 = (1.0f - VQK + K2) * norm;
      }
      break;
    case BIQUAD_LOWSHELF:
      if (peakGain >= 0.0f) {
        norm = static_cast<float>(1.0 / (1.0 + sqrt2 * k + k2));
        const double n = static_cast<double>(norm);
        bq->a0 = static_cast<float>((1.0 + sqrt2V * k + vk2) * n);
        bq->a1 = 2.0f * (VK2 - 1.0f) * norm;
        bq->a2 = static_cast<float>((1.0 - sqrt2V * k + vk2) * n);
        bq->b1 = 2.0f * (K2 - 1.0f) * norm;
        bq->b2 = static_cast<float>((1.0 - sqrt2 * k + k2) * n);
      } else {
        norm = static_cast<float>(1.0 / (1.0 + sqrt2V * k + vk2));
        const double n = static_cast<double>(norm);
        bq->a0 = static_cast<float>((1.0 + sqrt2 * k + k2) * n);
        bq->a1 = 2.0f * (K2 - 1.0f) * norm;
        bq->a2 = static_cast<float>((1.0 - sqrt2 * k + k2) * n);
        bq->b1 = 2.0f * (VK2 - 1.0f) * norm;
        bq->b2 = static_cast<float>((1.0 - sqrt2V * k + vk2) * n);
      }
      break;
    case BIQUAD_HIGHSHELF:
      if (peakGain >= 0.0f) {
        norm = static_cast<float>(1.0 / (1.0 + sqrt2 * k + k2));
        const double n = static_cast<double>(norm);
        bq->a0 = static_cast<float>((v + sqrt2V * k + k2) * n);
        bq->a1 = 2.0f * (K2 - V) * norm;
        bq->a2 = static_cast<float>((v - sqrt2V * k + k2) * n);
        bq->b1 = 2.0f * (K2 - 1.0f) * norm;
        bq->b2 = static_cast<float>((1.0 - sqrt2 * k + k2) * n);
      } else {
        norm = static_cast<float>(1.0 / (v + sqrt2V * k + k2));
        const double n = static_cast<double>(norm);
        bq->a0 = static_cast<float>((1.0 + sqrt2 * k + k2) * n);
        bq->a1 = 2.0f * (K2 - 1.0f) * norm;
        bq->a2 = static_cast<float>((1.0 - sqrt2 * k + k2) * n);
        bq->b1 = 2.0f * (K2 - V) * norm;
        bq->b2 = static_cast<float>((v - sqrt2V * k + k2) * n);
      }
      break;
    default:
      // Unknown type: the previous design's coefficients stay in force.
      break;
  }
}

// Context: ISR, level 5 (PWM period).
// Transposed direct form II. Kept out of line so that it is built with this library's
// no-contraction flag: a fused multiply-add would round differently on the chip and the host.
float biquadProcess(biquadStruct* bq, float in) {
  const float out = in * bq->a0 + bq->z1;
  bq->z1 = (in * bq->a1 + bq->z2) - bq->b1 * out;
  bq->z2 = in * bq->a2 - bq->b2 * out;
  return out;
}

}  // namespace tavrix
