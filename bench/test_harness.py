"""Checks of the benchmark machinery itself (no real timings are asserted).

Run with `.venv/bin/python -m pytest bench/test_harness.py`.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402  first, as in every bench script

import gc  # noqa: E402

import numpy as np  # noqa: E402
import pytest  # noqa: E402

from harness import Case, faster_than, within  # noqa: E402


class FakeClock:
    """perf_counter_ns that only advances when the timed function runs."""

    def __init__(self, cost_ns):
        self.now = 0
        self.cost_ns = cost_ns
        self.calls = 0
        self.gc_on_during_call = False

    def perf_counter_ns(self):
        return self.now

    def fn(self):
        self.calls += 1
        self.gc_on_during_call |= gc.isenabled()
        self.now += self.cost_ns(self.calls) if callable(self.cost_ns) else self.cost_ns


@pytest.fixture
def clock(monkeypatch):
    def make(cost_ns):
        c = FakeClock(cost_ns)
        monkeypatch.setattr(harness.time, "perf_counter_ns", c.perf_counter_ns)
        return c
    monkeypatch.setattr(harness, "_quick", False)
    return make


@pytest.mark.parametrize("cost_ns, min_time", [(10, 1e-3), (250, 0.02), (3_000_000, 0.01), (5e8, 0.2)])
def test_timeit_per_call_time_and_calibration(clock, cost_ns, min_time):
    c = clock(cost_ns)
    t = harness.timeit(c.fn, min_time=min_time, repeat=5, subtract_overhead=False)
    assert t == pytest.approx(cost_ns * 1e-9)
    assert not c.gc_on_during_call and gc.isenabled()
    # The final loop count makes each repetition last at least min_time, without
    # overshooting (20% headroom; calibration loops grow geometrically).
    per_rep = max(1, int(min_time * 1e9 // cost_ns))
    assert c.calls >= 5 * per_rep
    assert c.calls <= 1 + 6 * (1.2 * per_rep + 2)


def test_timeit_reports_median_not_mean(clock):
    # Calibration is instant (cost 1e9 ns >= min_time); then samples 1,1,9,1,9 s.
    costs = {1: 1e9, 2: 1e9, 3: 1e9, 4: 9e9, 5: 1e9, 6: 9e9}
    c = clock(lambda i: costs[i])
    assert harness.timeit(c.fn, min_time=0.5, repeat=5, subtract_overhead=False) == pytest.approx(1.0)


def test_quick_mode_caps_repetitions(clock, monkeypatch):
    c = clock(1e9)
    monkeypatch.setattr(harness, "_quick", True)
    harness.timeit(c.fn, repeat=7, subtract_overhead=False)
    assert c.calls == 1 + 3  # warm-up, then 3 single-call repetitions


def test_time_many_interleaves_repetitions(clock):
    order = []
    c = clock(1e9)

    def tagged(tag):
        def fn():
            order.append(tag)
            c.fn()
        return fn

    t = harness.time_many({"x": tagged("x"), "y": tagged("y")}, min_time=0.5, repeat=3,
                          subtract_overhead=False)
    assert t == pytest.approx({"x": 1.0, "y": 1.0})
    # warm-up and calibration per callable, then alternating repetitions
    assert order == ["x", "x", "y", "y", "x", "y", "x", "y"]


def test_timeit_restores_gc_after_an_exception():
    def boom():
        raise ValueError("x")
    with pytest.raises(ValueError):
        harness.timeit(boom)
    assert gc.isenabled()


@pytest.mark.parametrize("target, times, expected", [
    (faster_than("numpy", 2), {"vorka": 1.0, "numpy": 2.0}, True),
    (faster_than("numpy", 2), {"vorka": 1.0, "numpy": 1.9}, False),
    (within("numpy", 1.1), {"vorka": 1.1, "numpy": 1.0}, True),
    (within("numpy", 1.1), {"vorka": 1.2, "numpy": 1.0}, False),
    (faster_than("numpy", 2) & within("torch", 1), {"vorka": 1, "numpy": 3, "torch": 1}, True),
    (faster_than("numpy", 2) & within("torch", 1), {"vorka": 1, "numpy": 3, "torch": 0.9}, False),
    (faster_than("numpy", 2) & within("torch", 1), {"vorka": 1, "numpy": 3, "torch": None}, None),
    (faster_than("numpy", 2), {"vorka": None, "numpy": 3}, None),
])
def test_target_check(target, times, expected):
    assert target.check(times) is expected


@pytest.mark.parametrize("seconds, text", [
    (None, "n/a"), (4.2e-7, "420 ns"), (1.5e-5, "15.00 us"), (3.25e-3, "3.25 ms"), (2.0, "2.000 s"),
])
def test_fmt_time(seconds, text):
    assert harness.fmt_time(seconds) == text


def test_run_prints_table_with_missing_and_failing_libraries(monkeypatch, capsys):
    fake = {"v1": 1e-6, "n1": 3e-6, "t1": 8e-6, "v2": 2e-3, "n2": 1e-3}
    monkeypatch.setattr(harness, "time_many", lambda fns: {k: fake[fn()] for k, fn in fns.items()})

    def broken():
        raise RuntimeError("no such op")

    cases = [
        Case("fast", {"vorka": lambda: "v1", "numpy": lambda: "n1", "torch": lambda: "t1"},
             faster_than("numpy", 2)),
        Case("slow", {"vorka": lambda: "v2", "numpy": lambda: "n2"}, within("numpy", 1.1), note="info"),
        Case("broken", {"vorka": broken, "numpy": lambda: "n1"}),
    ]
    times = harness.run(cases, "Demo")
    out = capsys.readouterr().out
    rows = [line for line in out.splitlines() if line.startswith("| ")]
    assert rows[0] == "| case | vorka | numpy | torch | numpy/vorka | torch/vorka | target |"
    assert rows[1] == "| fast | 1.00 us | 3.00 us | 8.00 us | 3.00x | 8.00x | \u2713 >= 2x numpy |"
    assert rows[2] == "| slow | 2.00 ms | 1.00 ms | n/a | 0.50x | n/a | \u2717 <= 1.1x numpy time |"
    assert rows[3] == "| broken | err | 3.00 us | n/a | n/a | n/a |  |"
    assert "- slow: info" in out and "- broken: vorka failed: RuntimeError: no such op" in out
    assert times[2] == {"vorka": None, "numpy": 3e-6, "torch": None}
    assert harness.recorded[-3:] == [("Demo", c.name, t) for c, t in zip(cases, times)]


def test_plot_draws_every_case_with_missing_ratios(tmp_path):
    pytest.importorskip("matplotlib")
    import run_all

    out = tmp_path / "ratios.png"
    recorded = [("T", "`a + b`", {"vorka": 1e-6, "numpy": 3e-6, "torch": 5e-7}),
                ("T", "no torch", {"vorka": 2e-3, "numpy": 1e-3, "torch": None}),
                ("T", "vorka failed", {"vorka": None, "numpy": 1e-3, "torch": 1e-3})]
    run_all.plot_ratios(recorded, str(out), "Some CPU")
    data = out.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 10_000


def test_thread_limits_set_and_openblas_tuning_removed():
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS"):
        assert os.environ[var] == "1"
    assert "OPENBLAS_CORETYPE" not in os.environ and "OPENBLAS_L2_SIZE" not in os.environ


class _Result:
    def __init__(self, arr):
        self.arr = arr

    def to_numpy(self):
        return self.arr


@pytest.mark.parametrize("got, want, fragment", [
    (np.float32([1, 2]), np.float32([1, 2]), None),
    (np.float32([1, 2]), np.float32([1, 2.0000002]), "1 of 2 elements"),
    (np.float32([1, 2]), np.float16([1, 2]), "dtype"),
    (np.float32([1, 2]), np.float32([[1, 2]]), "shape"),
    (np.array([True, False]), np.array([True, True]), "1 of 2 elements"),
    (np.float32([-0.0]), np.float32([0.0]), None),
])
def test_result_comparison(got, want, fragment):
    import bench_elementwise
    problem = bench_elementwise._mismatch(_Result(got), want)
    assert (problem is None) if fragment is None else (fragment in problem)
