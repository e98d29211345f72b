"""Evaluation of effects' step functions."""


def predict_1D_func_tree(X, values, *args, **kwargs):
    raise NotImplementedError("being written")


def predict_2D_func_tree(X, values, *args, **kwargs):
    raise NotImplementedError("being written")
