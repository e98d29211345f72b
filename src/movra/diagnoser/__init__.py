"""Model diagnostics."""
