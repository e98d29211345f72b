// XGB2Base, XGB2Regressor and XGB2Classifier: scikit-learn estimators trained by XGBoost with
// trees of depth at most 2, so that the ensemble reads back as main effects and pairwise
// interactions.
#include <memory>
#include <string>
#include <vector>

#include "bindings/xgboost/estimator_methods.hpp"

namespace movra::xgb2 {

namespace {

using bind::optional;
using bind::Param;
using bind::required;

constexpr const char* kParamNames[] = {"n_estimators",
                                       "eta",
                                       "max_depth",
                                       "tree_method",
                                       "max_bin",
                                       "reg_lambda",
                                       "reg_alpha",
                                       "gamma",
                                       "feature_names",
                                       "feature_types",
                                       "mono_increasing_list",
                                       "mono_decreasing_list",
                                       "random_state"};

// The 13 constructor parameters with their defaults; XGB2Base and its subclasses differ only in
// max_bin and reg_lambda.
std::vector<Param> init_params(int max_bin, int reg_lambda) {
    return {required("self"),
            optional("n_estimators", py::int_(100)),
            optional("eta", py::float_(0.3)),
            optional("max_depth", py::int_(2)),
            optional("tree_method", py::str("auto")),
            optional("max_bin", py::int_(max_bin)),
            optional("reg_lambda", py::int_(reg_lambda)),
            optional("reg_alpha", py::int_(0)),
            optional("gamma", py::int_(0)),
            optional("feature_names"),
            optional("feature_types"),
            optional("mono_increasing_list", py::tuple()),
            optional("mono_decreasing_list", py::tuple()),
            optional("random_state", py::int_(0))};
}

// The class a method belongs to, known only once the class is created; the module keeps the
// class alive, so a borrowed handle is enough (and makes no reference cycle).
using ClassSlot = std::shared_ptr<py::handle>;

py::object super_of(const ClassSlot& cls, py::handle self) {
    return py::module_::import("builtins").attr("super")(*cls, self);
}

py::object base_init(const bind::Args& a) {
    const py::object& self = a.self();
    for (const char* name : kParamNames) py::setattr(self, name, a[name]);
    return py::none();
}

py::object subclass_init(const ClassSlot& cls, const bind::Args& a) {
    py::dict kwargs;
    for (const char* name : kParamNames) kwargs[name] = a[name];
    super_of(cls, a.self()).attr("__init__")(**kwargs);
    return py::none();
}

py::dict expected_failed_checks() {
    py::dict checks;
    checks["check_sample_weights_invariance"] =
        py::make_tuple("zero sample_weight is not equivalent to removing samples");
    return checks;
}

const char* const kValidateDoc = R"(Check and normalise the training data.

Parameters
----------
x : array-like of shape (n_samples, n_features)
    Training data.
y : array-like of shape (n_samples,)
    Target values.
sample_weight : array-like of shape (n_samples,) or None
    Sample weights; None stands for a weight of one per row.

Returns
-------
x : ndarray of shape (n_kept, n_features)
    The rows of positive weight.
y : ndarray of shape (n_kept,)
    Their targets%s.
sample_weight : ndarray of shape (n_kept,)
    Their weights, rescaled to sum to n_kept.
)";

std::string validate_doc(const char* target_note) {
    std::string doc = kValidateDoc;
    doc.replace(doc.find("%s"), 2, target_note);
    return doc;
}

const char* const kPredictInput = R"(
Parameters
----------
X : array-like of shape (n_samples, n_features)
    The input samples.
)";

const char* const kParametersDoc = R"(
Parameters
----------
n_estimators : int, default=100
    Number of boosted trees.

eta : float, default=0.3
    Boosting learning rate.

max_depth : int, default=2
    Maximum depth of each tree. The effects can be read back only up to depth 2.

tree_method : {"exact", "hist", "approx", "gpu_hist", "auto"}, default="auto"
    XGBoost's tree construction algorithm. "gpu_hist" trains on a CUDA device.

max_bin : int, default=256
    Maximum number of bins per feature for the histogram methods.

reg_lambda : float, default=0
    L2 regularisation on leaf weights.

reg_alpha : float, default=0
    L1 regularisation on leaf weights.

gamma : float, default=0
    Minimum loss reduction required for a further split.

feature_names : list of str or None, default=None
    Names of the features; None names them "X0", "X1", ...

feature_types : list of str or None, default=None
    Type of each feature, "numerical" or "categorical"; None makes them all "numerical".

mono_increasing_list : tuple of str, default=()
    Names of the features the prediction must increase with.

mono_decreasing_list : tuple of str, default=()
    Names of the features the prediction must decrease with. A feature in both lists
    counts as increasing.

random_state : int, default=0
    Random seed.

Attributes
----------
n_features_in_ : int
    Number of input features.

is_fitted_ : bool
    True once fitted.

feature_names_ : list of str
    Names of all input features.

feature_types_ : list of str
    Types of all input features.

xgb_params_ : dict
    Parameters handed to the XGBoost model.

estimator_ : %s
    The fitted XGBoost model.

X_ : ndarray of shape (n_samples, n_features)
    Copy of the validated training matrix.
)";

std::string class_doc(const char* first_line, const char* model, const char* extra_attributes) {
    std::string params = kParametersDoc;
    params.replace(params.find("%s"), 2, model);
    return std::string(first_line) + "\n" + params + extra_attributes;
}

py::object finish_init(bind::ClassBuilder& builder, const ClassSlot& slot) {
    py::object cls = builder.finish();
    *slot = cls;
    return cls;
}

const std::vector<Param> kSelfX{required("self"), required("X")};
const std::vector<Param> kSelfOnly{required("self")};
const std::vector<Param> kValidateParams{required("self"), required("x"), required("y"),
                                         required("sample_weight")};

py::object register_base(py::module_& m) {
    bind::ClassBuilder base(m, "XGB2Base", py::make_tuple(deps().BaseEstimator), "");
    base.def("__init__", "", init_params(20, 1), base_init);
    add_training_methods(base);
    add_feature_methods(base);
    add_table_methods(base);
    add_training_row_check(base);
    add_prediction_input_check(base);
    add_interpretation_methods(base);
    add_plot_methods(base);
    add_display_methods(base);
    return base.finish();
}

void register_regressor(py::module_& m, const py::object& base_cls) {
    auto slot = std::make_shared<py::handle>();
    bind::ClassBuilder regressor(m, "XGB2Regressor",
                                 py::make_tuple(deps().RegressorMixin, base_cls),
                                 class_doc("Depth-2 XGBoostRegressor.", "XGBRegressor", ""));
    regressor
        .def("__init__", "", init_params(256, 0),
             [slot](const bind::Args& a) { return subclass_init(slot, a); })
        .def("_more_tags", "", kSelfOnly,
             [](const bind::Args&) {
                 py::dict tags;
                 tags["_xfail_checks"] = expected_failed_checks();
                 tags["allow_nan"] = true;  // a missing value has a level of its own
                 return py::object(tags);
             })
        .def("__sklearn_tags__", "", kSelfOnly,
             [slot](const bind::Args& a) {
                 py::object tags = super_of(slot, a.self()).attr("__sklearn_tags__")();
                 tags.attr("input_tags").attr("allow_nan") = true;
                 return tags;
             })
        .def("_validate_input", validate_doc(""), kValidateParams, validate_regressor_input)
        .def("predict",
             std::string("Predict regression targets.\n") + kPredictInput +
                 "\nReturns\n-------\ny : ndarray of shape (n_samples,)\n    The predicted "
                 "values.\n",
             kSelfX, regressor_predict);
    finish_init(regressor, slot);
}

void register_classifier(py::module_& m, const py::object& base_cls) {
    auto slot = std::make_shared<py::handle>();
    bind::ClassBuilder classifier(
        m, "XGB2Classifier", py::make_tuple(deps().ClassifierMixin, base_cls),
        class_doc("Depth-2 XGBoostClassifier.", "XGBClassifier",
                  "\nlabel_binarizer_ : LabelBinarizer\n    Maps the two class labels to 0/1.\n\n"
                  "classes_ : ndarray of shape (2,)\n    The two class labels, sorted.\n"));
    classifier
        .def("__init__", "", init_params(256, 0),
             [slot](const bind::Args& a) { return subclass_init(slot, a); })
        .def("_more_tags", "", kSelfOnly,
             [](const bind::Args&) {
                 py::dict tags;
                 tags["binary_only"] = true;
                 tags["_xfail_checks"] = expected_failed_checks();
                 tags["allow_nan"] = true;  // a missing value has a level of its own
                 return py::object(tags);
             })
        .def("__sklearn_tags__", "", kSelfOnly,
             [slot](const bind::Args& a) {
                 py::object tags = super_of(slot, a.self()).attr("__sklearn_tags__")();
                 tags.attr("classifier_tags").attr("multi_class") = false;  // binary only
                 tags.attr("input_tags").attr("allow_nan") = true;
                 return tags;
             })
        .def("_validate_input", validate_doc(", encoded as 0.0/1.0 in the order of classes_"),
             kValidateParams, validate_classifier_input)
        .def("decision_function",
             std::string("Log-odds of the second class.\n\nThe probability is clipped to "
                         "[1e-7, 1 - 1e-7] first, so the values are finite.\n") +
                 kPredictInput +
                 "\nReturns\n-------\nscores : ndarray of shape (n_samples,)\n    "
                 "log(p / (1 - p)) with p the probability of the second class.\n",
             kSelfX, classifier_decision_function)
        .def("predict_proba",
             std::string("Class probabilities.\n") + kPredictInput +
                 "\nReturns\n-------\nproba : ndarray of shape (n_samples, 2)\n    The "
                 "probabilities of the two classes, in the order of the labels' sort.\n",
             kSelfX, classifier_predict_proba)
        .def("predict",
             std::string("Predict class labels.\n\nA sample goes to the second class when its "
                         "probability is strictly above 0.5.\n") +
                 kPredictInput +
                 "\nReturns\n-------\ny : ndarray of shape (n_samples,)\n    The class labels, "
                 "of the type given to fit.\n",
             kSelfX, classifier_predict);
    add_label_encoding(classifier);
    add_probability_readings(classifier);
    finish_init(classifier, slot);
}

}  // namespace

void register_estimators(py::module_& m) {
    const py::object base_cls = register_base(m);
    register_regressor(m, base_cls);
    register_classifier(m, base_cls);
}

}  // namespace movra::xgb2
