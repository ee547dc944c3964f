"""What a release promises beyond the operations: the version and the example's picture."""

import importlib.util
import struct
import sys
import tomllib
from importlib.metadata import version
from pathlib import Path

import pytest

import vorka

ROOT = Path(__file__).resolve().parents[2]


def test_version_is_the_project_metadata():
    assert vorka.__version__ == version("vorka")
    # Beside a source tree (a clone or an unpacked sdist) it is also pyproject's.
    pyproject = ROOT / "pyproject.toml"
    if pyproject.exists():
        assert vorka.__version__ == tomllib.loads(pyproject.read_text())["project"]["version"]
    with pytest.raises(AttributeError):
        vorka.__no_such_name__  # noqa: B018


def load_example():
    path = ROOT / "examples" / "train_mlp.py"
    if not path.exists():
        pytest.skip("the examples are not beside these tests")
    spec = importlib.util.spec_from_file_location("train_mlp", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_plot_writes_a_png_of_the_promised_size(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "spirals.png"
    assert load_example().main(["--epochs", "1", "--hidden", "8", "--plot", str(out)]) == 0
    data = out.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">I4sII", data[8:24]) == (13, b"IHDR", 600, 600)   # length, kind, width, height
    from matplotlib.image import imread

    pixels = imread(out)[..., :3].reshape(-1, 3)
    assert len({tuple(p) for p in pixels[::7]}) > 20, "the picture is (nearly) blank"


def test_plot_without_matplotlib_says_how_to_get_it(tmp_path, monkeypatch, capsys):
    example = load_example()
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes the import fail
    assert example.main(["--plot", str(tmp_path / "x.png")]) != 0
    assert "pip install matplotlib" in capsys.readouterr().err
    assert not (tmp_path / "x.png").exists()
