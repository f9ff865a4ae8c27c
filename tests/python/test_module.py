"""The installed module's surface: version, end-of-word token, __all__ and re-import."""
import importlib
import subprocess
import sys

import zelkor_ext


def test_public_names_in_order():
    assert zelkor_ext.__all__[:2] == ["__version__", "END_TOKEN"]
    for name in zelkor_ext.__all__:
        assert hasattr(zelkor_ext, name)


def test_version_and_end_token():
    assert zelkor_ext.__version__ == "0.1.10"
    assert zelkor_ext.END_TOKEN == "\u0120"


def test_reimport_returns_the_same_module():
    again = importlib.import_module("zelkor_ext")
    assert again is zelkor_ext
    assert importlib.reload(zelkor_ext).__all__[:2] == ["__version__", "END_TOKEN"]


def test_import_runs_nothing_else(tmp_path):
    # No log file appears and nothing is printed just by importing.
    result = subprocess.run(
        [sys.executable, "-c", "import zelkor_ext"],
        cwd=tmp_path, capture_output=True, text=True, check=True,
    )
    assert result.stdout == "" and result.stderr == ""
    assert list(tmp_path.iterdir()) == []
