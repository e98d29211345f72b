// The methods of XGB2Regressor and XGB2Classifier, shared between the files that build the
// classes (estimators.cpp), check the training data (validation.cpp) and predict
// (prediction.cpp).
#pragma once

#include "bindings/xgboost/xgb2_module.hpp"

namespace movra::xgb2 {

// _validate_input(self, x, y, sample_weight) -> (x, y, sample_weight)
py::object validate_regressor_input(const bind::Args& a);
py::object validate_classifier_input(const bind::Args& a);

// predict / predict_proba / decision_function (self, X)
py::object regressor_predict(const bind::Args& a);
py::object classifier_predict_proba(const bind::Args& a);
py::object classifier_decision_function(const bind::Args& a);
py::object classifier_predict(const bind::Args& a);

}  // namespace movra::xgb2
