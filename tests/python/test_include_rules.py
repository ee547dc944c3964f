"""scripts/check_includes.py (run by scripts/test.sh) fails on an include against the layers."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("file,line,complaint", [
    ("strided/layout.hpp", '#include "tensor/dtype.hpp"', "layer strided may not include layer elements"),
    ("autograd/graph.hpp", '#include "tensor/core.hpp"', "layer autograd may not include layer core"),
    ("engine/cpu/simd/loops.hpp", "#include <Python.h>", "layer simd may not include Python or NumPy headers"),
])
def test_a_planted_include_is_caught(tmp_path, file, line, complaint):
    if not (ROOT / "scripts" / "check_includes.py").exists():
        pytest.skip("the scripts and sources are not beside these tests")
    shutil.copytree(ROOT / "src", tmp_path / "src")
    with open(tmp_path / "src" / file, "a", encoding="utf-8") as f:
        f.write(line + "\n")
    got = subprocess.run([sys.executable, ROOT / "scripts" / "check_includes.py", "--src", tmp_path / "src"],
                         capture_output=True, encoding="utf-8")
    assert got.returncode == 1 and f"src/{file}:" in got.stderr and complaint in got.stderr, got.stderr
