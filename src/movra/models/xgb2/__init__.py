"""Depth-2 boosted trees."""
