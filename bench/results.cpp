// The run's figures and their tables.
#include "results.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench.h"

namespace bench {

void Results::Declare(const Measurement& m) {
  for (const Measurement& known : measurements_) {
    if (known.title == m.title) return;
  }
  measurements_.push_back(m);
}

void Results::Add(const std::string& measurement, const std::string& contender, double value) {
  for (Series& s : series_) {
    if (s.measurement == measurement && s.contender == contender) {
      s.values.push_back(value);
      return;
    }
  }
  series_.push_back(Series{measurement, contender, {value}});
}

const Series* Results::Find(const std::string& measurement, const std::string& contender) const {
  for (const Series& s : series_) {
    if (s.measurement == measurement && s.contender == contender) return &s;
  }
  return nullptr;
}

namespace {

std::vector<double> Finite(const std::vector<double>& values) {
  std::vector<double> kept;
  for (double v : values) {
    if (std::isfinite(v)) kept.push_back(v);
  }
  return kept;
}

std::vector<double> Ratios(const Series& a, const Series& b) {
  std::vector<double> r;
  for (std::size_t i = 0; i < std::min(a.values.size(), b.values.size()); ++i) {
    if (b.values[i] != 0 && std::isfinite(a.values[i]) && std::isfinite(b.values[i])) {
      r.push_back(a.values[i] / b.values[i]);
    }
  }
  return r;
}

std::string Cell(const std::vector<double>& raw, int decimals) {
  const std::vector<double> v = Finite(raw);
  if (v.empty()) return "-";
  if (v.size() == 1) return Format(v[0], decimals);
  return Format(Median(v), decimals) + " (" + Format(Min(v), decimals) + ".." + Format(Max(v), decimals) + ")";
}

void PrintColumns(const std::vector<std::vector<std::string>>& lines) {
  std::vector<std::size_t> width(lines[0].size(), 0);
  for (const auto& line : lines) {
    for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  }
  for (std::size_t l = 0; l < lines.size(); ++l) {
    std::string text = "  ";
    for (std::size_t i = 0; i < lines[l].size(); ++i) {
      text += lines[l][i];
      if (i + 1 < lines[l].size()) text += std::string(width[i] - lines[l][i].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::printf("%s\n", text.c_str());
    if (l == 0) {
      std::size_t total = 0;
      for (std::size_t w : width) total += w + 2;
      std::printf("  %s\n", std::string(total - 2, '-').c_str());
    }
  }
}

}  // namespace

std::optional<double> Results::Ratio(const std::string& measurement, const std::string& a,
                                     const std::string& b) const {
  const Series* sa = Find(measurement, a);
  const Series* sb = Find(measurement, b);
  if (sa == nullptr || sb == nullptr) return std::nullopt;
  const std::vector<double> r = Ratios(*sa, *sb);
  if (r.empty()) return std::nullopt;
  return Median(r);
}

std::optional<double> Results::MedianOf(const std::string& measurement, const std::string& contender) const {
  const Series* s = Find(measurement, contender);
  if (s == nullptr) return std::nullopt;
  const std::vector<double> v = Finite(s->values);
  if (v.empty()) return std::nullopt;
  return Median(v);
}

void Results::Print() const {
  for (const Measurement& m : measurements_) {
    std::vector<std::vector<std::string>> lines;
    const Series* reference = m.reference.empty() ? nullptr : Find(m.title, m.reference);
    lines.push_back({"contender", m.unit, reference ? "ratio to " + m.reference : ""});
    for (const Series& s : series_) {
      if (s.measurement != m.title) continue;
      lines.push_back({s.contender, Cell(s.values, m.decimals), reference ? Cell(Ratios(s, *reference), 2) : ""});
    }
    if (lines.size() == 1) continue;
    std::printf("%s\n", m.title.c_str());
    PrintColumns(lines);
    if (!m.note.empty()) std::printf("  (%s)\n", m.note.c_str());
    std::printf("\n");
  }
}

}  // namespace bench
