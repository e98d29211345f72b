"""Exceptions and notices of the movra package."""


class MovraError(Exception):
    """An error of the movra toolbox: bad input or a state that cannot go on."""


class MovraWarning(UserWarning):
    """A warning of the movra toolbox: the result may not be what the caller expects."""


class MovraInfo(UserWarning):
    """A notice of the movra toolbox: something the caller may want to know."""
