import numpy as np
import pytest

import vorka  # noqa: F401  (registers the bfloat16 NumPy dtype)

DTYPES = ["f32", "f16", "bf16", "bool"]
NUMERIC = ["f32", "f16", "bf16"]
NP_DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": np.dtype("bfloat16"), "bool": np.bool_}


@pytest.fixture
def rng():
    return np.random.default_rng(1234)
