"""Notebook merge and diff drivers."""
