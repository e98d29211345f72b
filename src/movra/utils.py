"""Small shared helpers."""

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


def _short(value, limit=60):
    text = pprint.saferepr(value).replace("\n", " ")
    return text if len(text) <= limit else text[: limit - 3] + "..."


class _Missing:
    """The missing value as the diagnosers' tables and figures name it."""

    __slots__ = ()

    def __repr__(self):
        return "<missing>"

    def __reduce__(self):
        return "MISSING"

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self


MISSING = _Missing()
"""The region of the rows where a feature is missing, in tables (``<missing>``)."""
