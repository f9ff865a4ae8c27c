"""Shared set-up: the training log goes to a temporary file instead of zelkor.log in the repo."""
import os

import pytest


@pytest.fixture(scope="session", autouse=True)
def log_file(tmp_path_factory):
    # The log path is read once per process, at the first log line, so it must be set before any
    # test trains.
    path = tmp_path_factory.mktemp("log") / "zelkor.log"
    old = os.environ.get("LOG_FILE")
    os.environ["LOG_FILE"] = str(path)
    yield path
    if old is None:
        os.environ.pop("LOG_FILE", None)
    else:
        os.environ["LOG_FILE"] = old
