"""movra: interpretable machine learning and model diagnostics with a C++ core."""

__version__ = "0.1.0"
