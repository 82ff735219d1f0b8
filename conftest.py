"""Loads the collection plugin where it is not installed (a pytest other
than the project venv's, run from the project root)."""

pytest_plugins = ["zeto_compiled_tests.plugin"]
