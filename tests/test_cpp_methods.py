"""C++ methods on Python classes: they must look and behave like Python functions."""

import copy
import inspect
import pickle
import pydoc

import pytest

from movra.diagnoser import sagzone
from movra.diagnoser.base import BaseDiagnoser
from movra.diagnoser.sagzone import BaseSlicing, HistogramSlicing, SagZone


def test_module_is_a_shared_library():
    assert sagzone.__file__.endswith((".so", ".pyd"))
    assert sagzone.BaseSlicing.__module__ == "movra.diagnoser.sagzone"
    assert issubclass(SagZone, BaseDiagnoser) and issubclass(HistogramSlicing, BaseSlicing)


def test_signature_names_and_doc():
    assert str(inspect.signature(BaseSlicing.__init__)) == (
        "(self, estimator=None, slice_features=None, task_type=None, threshold=1.2, "
        "min_samples=30, metric=None)"
    )
    method = BaseSlicing.get_index
    assert method.__name__ == "get_index"
    assert method.__qualname__ == "BaseSlicing.get_index"
    assert method.__module__ == "movra.diagnoser.sagzone"
    # Bound, the signature drops self, as for a Python function.
    bound = BaseSlicing().get_index
    assert str(inspect.signature(bound)) == "(x, lb1, ub1, lb2=None, ub2=None, right=False)"
    assert inspect.ismethod(bound) and bound.__self__ is not None
    text = pydoc.render_doc(BaseSlicing, renderer=pydoc.plaintext)
    assert "Base slice class for analyzing 1D or 2D numerical features." in text
    assert "get_rule_list(self, x, y, preds, scores, lb1, ub1" in text


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: BaseSlicing(*range(7)),
         "__init__() takes from 1 to 7 positional arguments but 8 were given"),
        (lambda: BaseSlicing(bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: BaseSlicing(None, estimator=None),
         "__init__() got multiple values for argument 'estimator'"),
        (lambda: BaseSlicing().get_index(), "get_index() missing 3 required positional "
                                            "arguments: 'x', 'lb1', and 'ub1'"),
        (lambda: BaseSlicing().get_index([1.0], 0.0),
         "get_index() missing 1 required positional argument: 'ub1'"),
        (lambda: SagZone(None), "__init__() missing 1 required positional argument: "
                                "'slice_features'"),
        (lambda: BaseSlicing.get_index(), "get_index() missing 4 required positional "
                                          "arguments: 'self', 'x', 'lb1', and 'ub1'"),
    ],
)
def test_argument_errors_use_cpython_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_pickle_and_copy_round_trips(protocol):
    slicer = HistogramSlicing(slice_features=["a"], threshold=1.5, bins=7, metric="MAE")
    for clone in (pickle.loads(pickle.dumps(slicer, protocol)), copy.deepcopy(slicer),
                  copy.copy(slicer)):
        assert type(clone) is HistogramSlicing
        assert vars(clone) == vars(slicer)
    # The methods themselves pickle by reference, like functions.
    assert pickle.loads(pickle.dumps(BaseSlicing.get_index, protocol)) is BaseSlicing.get_index
    assert copy.deepcopy(BaseSlicing.get_index) is BaseSlicing.get_index


def _cpp_methods():
    from movra.models.xgb2 import xgboost as xgb2

    for module in (sagzone, xgb2):
        for cls in vars(module).values():
            if not (isinstance(cls, type) and cls.__module__ == module.__name__):
                continue
            for name, value in vars(cls).items():
                function = value.__func__ if isinstance(value, staticmethod) else value
                if type(function).__name__ == "method":
                    yield module.__name__, function


def test_every_method_names_its_module_and_pickles_by_reference():
    methods = list(_cpp_methods())
    assert len(methods) > 20
    for module_name, method in methods:
        # CPython 3.8 hides it behind the method type's own module, "movra", unless undone.
        assert method.__module__ == module_name, method.__qualname__
        for protocol in (2, pickle.HIGHEST_PROTOCOL):
            assert pickle.loads(pickle.dumps(method, protocol)) is method


@pytest.mark.parametrize("module", ["movra._kernels", "movra.diagnoser.sagzone",
                                    "movra.models.xgb2.xgboost"])
def test_stubs_list_what_the_module_exports(module):
    # Editors read the .pyi beside each compiled module: it must not drift from the module.
    import ast
    import importlib
    import pathlib

    mod = importlib.import_module(module)
    tree = ast.parse(pathlib.Path(mod.__file__).parent.joinpath(
        module.rsplit(".", 1)[1] + ".pyi").read_text())
    stubbed = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    public = {n for n, v in vars(mod).items()
              if not n.startswith("_") and callable(v) and getattr(v, "__module__", "") == module}
    assert public - stubbed == set() and stubbed - set(vars(mod)) == set()
