// Welch's t-test between two classes of timings, over the whole sample and over the
// sample cropped at several percentiles: the statistic of the timing test
// (timing.cpp).
//
// A call whose time depends on a secret input takes a different time on average for a
// fixed secret than for random ones. Welch's t measures that difference in units of
// its own standard error, without assuming the two classes vary alike. Timings on a
// shared machine have a long upper tail (interrupts, preemption, another tenant's
// cache traffic) that swamps a shift of a few cycles, so each cropped test keeps only
// the timings below one percentile of a calibration sample: a shift in the bulk shows
// there, one confined to the slow tail in the uncropped test.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace timing {

// Mean and sum of squared deviations of one class, updated one timing at a time
// (Welford's method, which keeps its precision over millions of timings).
class Moments {
 public:
  void add(double x) noexcept {
    ++count_;
    const double delta = x - mean_;
    mean_ += delta / static_cast<double>(count_);
    squares_ += delta * (x - mean_);
  }
  std::size_t count() const noexcept { return count_; }
  double mean() const noexcept { return mean_; }
  double variance() const noexcept { return count_ > 1 ? squares_ / static_cast<double>(count_ - 1) : 0.0; }

 private:
  std::size_t count_ = 0;
  double mean_ = 0.0;
  double squares_ = 0.0;
};

// Welch's t of class 0 against class 1: 0 until each class has two timings.
inline double welch_t(const Moments& a, const Moments& b) noexcept {
  if (a.count() < 2 || b.count() < 2) return 0.0;
  const double error = std::sqrt(a.variance() / static_cast<double>(a.count()) +
                                 b.variance() / static_cast<double>(b.count()));
  return error > 0.0 ? (a.mean() - b.mean()) / error : 0.0;
}

// The percentiles at which timings are cropped, besides the uncropped test: from the
// 10th, which keeps only the fastest calls (those that no other thread or tenant
// disturbed, where a shift of a few cycles stands out most), up to the 99.9th, which
// drops only the rarest outliers.
inline constexpr std::array<double, 9> crop_levels = {0.10, 0.25, 0.50, 0.70, 0.80, 0.90, 0.95, 0.99, 0.999};
inline constexpr std::size_t test_count = crop_levels.size() + 1;  // the uncropped one first

// One t-test per crop level and one uncropped, fed with (class, timing) pairs.
class CroppedTests {
 public:
  // The crop thresholds are the percentiles of `calibration`: timings of the same
  // call, both classes pooled, that are not fed to the tests.
  explicit CroppedTests(std::vector<std::uint64_t> calibration) {
    std::sort(calibration.begin(), calibration.end());
    limits_[0] = UINT64_MAX;
    for (std::size_t k = 0; k < crop_levels.size(); ++k) {
      const auto at = static_cast<std::size_t>(crop_levels[k] * static_cast<double>(calibration.size() - 1));
      limits_[k + 1] = calibration[at];
    }
  }

  void add(int class_index, std::uint64_t cycles) noexcept {
    for (std::size_t k = 0; k < test_count; ++k) {
      if (cycles <= limits_[k]) moments_[k][class_index].add(static_cast<double>(cycles));
    }
  }

  // The test with the largest |t|: its index (0 uncropped, k the k-th crop level).
  std::size_t strongest() const noexcept {
    std::size_t best = 0;
    for (std::size_t k = 1; k < test_count; ++k) {
      if (std::fabs(t(k)) > std::fabs(t(best))) best = k;
    }
    return best;
  }
  double t(std::size_t test) const noexcept { return welch_t(moments_[test][0], moments_[test][1]); }
  const Moments& moments(std::size_t test, int class_index) const noexcept { return moments_[test][class_index]; }

 private:
  std::array<std::uint64_t, test_count> limits_{};
  std::array<std::array<Moments, 2>, test_count> moments_{};
};

}  // namespace timing
