"""Helpers shared by the Python tests: fake peers speaking the ravo protocol."""
