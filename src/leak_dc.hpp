// The DC blocker: y[n] = x[n] - x[n-1] + coef·y[n-1].
//
// Written for a Sample (`LeakDc`), and for a vector of Samples, one blocker
// in each lane (see iir_filter.hpp).
#pragma once

#include "sample.hpp"

namespace vorda {

template <class S>
struct BasicLeakDc {
  explicit BasicLeakDc(S coef) : coef(coef) {}
  explicit BasicLeakDc(Blank) : coef(S{}) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    visit(self.coef);
    visit(self.x1);
    visit(self.y1);
  }
  bool consistent() const { return true; }

  S process(S xn) {
    S difference = xn - x1;
    S feedback = coef * y1;
    S y = difference + feedback;
    x1 = xn;
    y1 = y;
    return y;
  }

  void reset() { x1 = y1 = S{}; }

  S coef;  // any value is accepted; changing it keeps the memory
  S x1{};
  S y1{};
};

using LeakDc = BasicLeakDc<Sample>;

}  // namespace vorda
