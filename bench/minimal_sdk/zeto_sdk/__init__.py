"""A minimal zeto_sdk for benchmarking the test module itself."""
