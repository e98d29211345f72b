"""Small shared helpers: named results, and the marker of missing values."""

import pprint


class TestDataResult:
    """A named result: ``key`` says what it is, ``value`` holds it, both kept unchanged.

    Parameters
    ----------
    key : str
        The result's name, such as "sagzone_result".
    value : object
        The result, usually a dictionary.
    """

    # pytest would otherwise try to collect this class from test modules that import it.
    __test__ = False

    def __init__(self, key, value):
        self.key = key
        self.value = value

    def __repr__(self):
        if isinstance(self.value, dict):
            body = ", ".join(f"{k!r}: {_short(v)}" for k, v in self.value.items())
            return f"TestDataResult(key={self.key!r}, value={{{body}}})"
        return f"TestDataResult(key={self.key!r}, value={_short(self.value)})"

    def _repr_html_(self):
        """The notebook's view: the key, the scalar settings, and the view's figure (marginal,
        distance, shift) or its table; a sentence saying why when it cannot be built."""
        from .report import display

        return display.guarded("TestDataResult", display.result, self)


def _short(value, limit=60):
    text = pprint.saferepr(value).replace("\n", " ")
    return text if len(text) <= limit else text[: limit - 3] + "..."


class _Missing:
    """The type of ``MISSING``: one instance, which pickles and copies to itself."""

    __slots__ = ()
    _instance = None

    def __new__(cls):
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self):
        return "<missing>"

    def __reduce__(self):
        # Unpickled by name, so that identity (``value is MISSING``) survives a round trip.
        return "MISSING"

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self


MISSING = _Missing()
"""The missing values of a feature, where a table or a figure names a region of them."""
