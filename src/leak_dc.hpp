// The DC blocker: y[n] = x[n] - x[n-1] + coef·y[n-1].
#pragma once

#include "sample.hpp"

namespace vorda {

struct LeakDc {
  explicit LeakDc(Sample coef) : coef(coef) {}
  explicit LeakDc(Blank) : coef(0) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    visit(self.coef);
    visit(self.x1);
    visit(self.y1);
  }
  bool consistent() const { return true; }

  Sample process(Sample xn) {
    Sample difference = xn - x1;
    Sample feedback = coef * y1;
    Sample y = difference + feedback;
    x1 = xn;
    y1 = y;
    return y;
  }

  void reset() { x1 = y1 = 0.0f; }

  Sample coef;  // any value is accepted; changing it keeps the memory
  Sample x1 = 0.0f;
  Sample y1 = 0.0f;
};

}  // namespace vorda
