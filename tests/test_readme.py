"""Every Python block of README.md runs as written, each in a fresh interpreter."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import movra

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


@pytest.mark.parametrize("block", range(len(BLOCKS)))
def test_readme_block_runs_as_written(block, tmp_path):
    code = BLOCKS[block]
    if "distributed" in code:
        pytest.importorskip("distributed")
    # The movra under test, wherever it was imported from.
    package_root = str(pathlib.Path(movra.__file__).resolve().parents[1])
    path = os.pathsep.join([package_root] + [p for p in [os.environ.get("PYTHONPATH")] if p])
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=path)
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-4000:]


def test_the_readme_shows_the_three_sessions():
    assert len(BLOCKS) >= 3
