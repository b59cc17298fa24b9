// The figures of a run: one series of per-repetition values for each
// (measurement, contender), printed as one table per measurement with the
// median, the min..max spread and the median of the per-repetition ratios to
// the measurement's reference contender (raw, mostly).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Series {
  std::string measurement;
  std::string contender;
  std::vector<double> values;  // one per repetition, in repetition order
};

struct Measurement {
  std::string title;      // "receive"
  std::string unit;       // "MiB/s"
  int decimals = 0;
  std::string reference;  // contender the ratios are taken against; "" for none
  std::string note;       // printed under the table
};

class Results {
 public:
  // Declares a measurement (once; later calls return the first).
  void Declare(const Measurement& m);
  // Adds one repetition's value.
  void Add(const std::string& measurement, const std::string& contender, double value);

  const Series* Find(const std::string& measurement, const std::string& contender) const;
  // Median of the per-repetition ratios a / b (same repetition); none when a
  // series is missing.
  std::optional<double> Ratio(const std::string& measurement, const std::string& a, const std::string& b) const;
  std::optional<double> MedianOf(const std::string& measurement, const std::string& contender) const;

  void Print() const;

 private:
  std::vector<Measurement> measurements_;
  std::vector<Series> series_;
};

}  // namespace bench
