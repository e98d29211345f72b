"""Functional-ANOVA reading of a fitted XGBoost ensemble of depth-2 trees."""


class XGBInterpreter:
    def __init__(self, model, purification=True, true_to_data=False, feature_names=None,
                 feature_types=None):
        self.model = model
        self.purification = purification
        self.true_to_data = true_to_data
        self.feature_names = feature_names
        self.feature_types = feature_types

    def fit(self, X):
        raise NotImplementedError("being written")
