// Reading a fitted depth-2 ensemble: split points, functional-ANOVA effects, partial dependence.
#include "bindings/xgboost/xgb2_module.hpp"

namespace movra::xgb2 {

void add_interpretation_methods(bind::ClassBuilder& /*base*/) {}

}  // namespace movra::xgb2
