// A second-order section in transposed direct form II.
#pragma once

#include "sample.hpp"

namespace vorda {

class Biquad {
 public:
  Biquad(Sample b0, Sample b1, Sample b2, Sample a1, Sample a2)
      : b0_(b0), b1_(b1), b2_(b2), a1_(a1), a2_(a2) {}
  explicit Biquad(Blank) : Biquad(0, 0, 0, 0, 0) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    for (auto* field : {&self.b0_, &self.b1_, &self.b2_, &self.a1_, &self.a2_, &self.z1_, &self.z2_})
      visit(*field);
  }
  bool consistent() const { return true; }

  // y = b0·x + z1; the two products of each state update are combined with
  // each other before the older state is added (the grouping is part of the
  // bit-exact result).
  Sample process(Sample x) {
    Sample y = (x * b0_) + z1_;
    Sample next_z1 = z2_ + ((x * b1_) - (y * a1_));
    Sample next_z2 = (x * b2_) - (y * a2_);
    z1_ = next_z1;
    z2_ = next_z2;
    return y;
  }

  void reset() { z1_ = z2_ = 0.0f; }

  // The state carries over, so coefficients can change on every sample.
  void set_coefs(Sample b0, Sample b1, Sample b2, Sample a1, Sample a2) {
    b0_ = b0;
    b1_ = b1;
    b2_ = b2;
    a1_ = a1;
    a2_ = a2;
  }

 private:
  Sample z1_ = 0.0f;
  Sample z2_ = 0.0f;
  Sample b0_, b1_, b2_;
  Sample a1_, a2_;  // applied with a minus sign; a0 is 1
};

}  // namespace vorda
