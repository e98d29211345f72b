// The methods of XGB2Base, XGB2Regressor and XGB2Classifier, shared between the files that build
// the classes (estimators.cpp), train (training.cpp), check the training data (validation.cpp)
// and predict (prediction.cpp). The steps a cluster estimator reuses or overrides are methods of
// their own, so that every decision is written here once.
#pragma once

#include "bindings/xgboost/xgb2_module.hpp"

namespace movra::xgb2 {

// fit, _xgb_model_params and _fit_xgb_raw, added to XGB2Base.
void add_training_methods(bind::ClassBuilder& base);

// _settle_features and _check_columns (the features' names and types), added to XGB2Base.
void add_feature_methods(bind::ClassBuilder& base);

// The user's feature_types (copied) when given, else column_types (a DataFrame's, or None: all
// numerical); one entry per feature, each "numerical" or "categorical", or ValueError.
py::list feature_types_for(py::handle self, py::ssize_t n_features, py::handle column_types);

// _column_types, _encode_features and _feature_types_for (categorical features as codes of
// their categories), added to XGB2Base.
void add_table_methods(bind::ClassBuilder& base);

// The text of the monotone constraints for xgb_params_, refusing a name of mono_increasing_list
// or mono_decreasing_list that is no feature or a categorical one.
py::object monotone_constraints(py::handle self);

// Refuses a DataFrame whose string column names are not feature_names_in_.
void check_prediction_columns(py::handle self, py::handle X);

// _validate_input(self, x, y, sample_weight) -> (x, y, sample_weight)
py::object validate_regressor_input(const bind::Args& a);
py::object validate_classifier_input(const bind::Args& a);

// _check_training_rows (the sample weights' and the row count's verdicts), added to XGB2Base.
void add_training_row_check(bind::ClassBuilder& base);

// _fit_labels (the two classes and their encoding), added to XGB2Classifier.
void add_label_encoding(bind::ClassBuilder& classifier);

// _check_prediction_input (fitted, two-dimensional, the fitted feature count), added to
// XGB2Base.
void add_prediction_input_check(bind::ClassBuilder& base);

// _log_odds and _labels_of (static: the classifier's readings of class probabilities, which a
// cluster estimator applies per partition), added to XGB2Classifier.
void add_probability_readings(bind::ClassBuilder& classifier);

// predict / predict_proba / decision_function (self, X)
py::object regressor_predict(const bind::Args& a);
py::object classifier_predict_proba(const bind::Args& a);
py::object classifier_decision_function(const bind::Args& a);
py::object classifier_predict(const bind::Args& a);

}  // namespace movra::xgb2
