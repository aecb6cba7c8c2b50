// A second-order section in transposed direct form II.
//
// Written for a Sample (`Biquad`), and for a vector of Samples, one filter
// in each lane: the block kernels run several independent filters side by
// side with the same arithmetic, operation for operation.
#pragma once

#include "sample.hpp"

namespace vorda {

template <class S>
class BasicBiquad {
 public:
  BasicBiquad(S b0, S b1, S b2, S a1, S a2) : b0_(b0), b1_(b1), b2_(b2), a1_(a1), a2_(a2) {}
  explicit BasicBiquad(Blank) : BasicBiquad(S{}, S{}, S{}, S{}, S{}) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    for (auto* field : {&self.b0_, &self.b1_, &self.b2_, &self.a1_, &self.a2_, &self.z1_, &self.z2_})
      visit(*field);
  }
  bool consistent() const { return true; }

  // y = b0·x + z1; the two products of each state update are combined with
  // each other before the older state is added (the grouping is part of the
  // bit-exact result).
  S process(S x) {
    S y = (x * b0_) + z1_;
    S next_z1 = z2_ + ((x * b1_) - (y * a1_));
    S next_z2 = (x * b2_) - (y * a2_);
    z1_ = next_z1;
    z2_ = next_z2;
    return y;
  }

  void reset() { z1_ = z2_ = S{}; }

  // The state carries over, so coefficients can change on every sample.
  void set_coefs(S b0, S b1, S b2, S a1, S a2) {
    b0_ = b0;
    b1_ = b1;
    b2_ = b2;
    a1_ = a1;
    a2_ = a2;
  }

 private:
  S z1_{};
  S z2_{};
  S b0_, b1_, b2_;
  S a1_, a2_;  // applied with a minus sign; a0 is 1
};

using Biquad = BasicBiquad<Sample>;

}  // namespace vorda
