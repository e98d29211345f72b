"""Interpretable models."""
