// The item list a selector fills and reads: a small interface so that the
// selection logic works on a toolkit's list as well as on a plain vector.
#pragma once

#include <string>
#include <vector>

namespace CPortCtl {

class TComItems {
 public:
  virtual ~TComItems() = default;
  virtual void Clear() = 0;
  virtual void Add(const std::string& text) = 0;
  virtual int Count() const = 0;
  // Precondition: 0 <= index < Count().
  virtual std::string Get(int index) const = 0;
};

// A TComItems over a vector the caller owns.
class TStringVectorItems final : public TComItems {
 public:
  explicit TStringVectorItems(std::vector<std::string>& list) : list_(list) {}
  void Clear() override { list_.clear(); }
  void Add(const std::string& text) override { list_.push_back(text); }
  int Count() const override { return static_cast<int>(list_.size()); }
  std::string Get(int index) const override { return list_.at(static_cast<std::size_t>(index)); }

 private:
  std::vector<std::string>& list_;
};

}  // namespace CPortCtl
