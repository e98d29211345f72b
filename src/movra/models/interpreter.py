"""Functional-ANOVA view of a model's effects."""


class FANOVAInterpreter:
    def __init__(self, *args, **kwargs):
        raise NotImplementedError("being written")
