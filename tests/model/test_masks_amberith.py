import math

import numpy as np
import pytest
import torch

from quorlin.model.amberith import Amberith
from quorlin.model.masks import CausalMask, PadMask

F, T_ = False, True


@pytest.mark.parametrize(
    "lengths, T, rows",
    [
        ([2, 4], 4, [[F, F, T_, T_], [F, F, F, F]]),
        ([0, 5], 3, [[T_, T_, T_], [F, F, F]]),  # 0 masks all, > T masks nothing
        ([1], 1, [[F]]),
    ],
)
def test_pad_mask_rows(lengths, T, rows):
    mask = PadMask(torch.zeros(len(lengths), T, 7), torch.tensor(lengths))
    assert mask.dtype == torch.bool
    assert mask.tolist() == rows


def test_causal_mask_rows_and_empty_inputs():
    assert CausalMask(torch.zeros(2, 3)).tolist() == [[F, T_, T_], [F, F, T_], [F, F, F]]
    assert CausalMask(torch.zeros(1, 1, 4)).tolist() == [[F]]
    assert PadMask(torch.zeros(3, 0), torch.tensor([0, 0, 0])).shape == (3, 0)
    assert CausalMask(torch.zeros(3, 0)).shape == (0, 0)


def test_masks_need_a_time_dimension():
    with pytest.raises(ValueError):
        PadMask(torch.zeros(4), torch.tensor([1, 2, 3, 4]))
    with pytest.raises(IndexError):
        CausalMask(torch.zeros(4))


def _numpy_table(d_model, max_len):
    pe = np.zeros((max_len, d_model))
    for p in range(max_len):
        for i in range(0, d_model, 2):
            w = 10000.0 ** (-i / d_model)
            pe[p, i] = math.sin(p * w)
            if i + 1 < d_model:
                pe[p, i + 1] = math.cos(p * w)
    return pe


@pytest.mark.parametrize("d_model, max_len", [(16, 50), (6, 1), (64, 300)])
def test_amberith_table_matches_the_formula(d_model, max_len):
    pe = Amberith(d_model, max_len).pe
    assert pe.shape == (1, max_len, d_model) and pe.dtype == torch.float32
    np.testing.assert_allclose(pe[0].numpy(), _numpy_table(d_model, max_len), atol=1e-4)
    assert pe[0, 0].tolist() == [0.0, 1.0] * (d_model // 2)


def test_amberith_odd_width_warns_and_builds(capsys):
    pe = Amberith(5, 20).pe
    assert capsys.readouterr().out == "Warning: d_model=5 is odd. Amberith assumes d_model is even.\n"
    assert pe.shape == (1, 20, 5)
    np.testing.assert_allclose(pe[0].numpy(), _numpy_table(5, 20), atol=1e-5)


def test_amberith_forward_lengths_and_state():
    module = Amberith(8, 10)
    assert list(module.state_dict()) == ["pe"]
    x = torch.randn(2, 10, 8)
    out = module(x)
    torch.testing.assert_close(out - x, module.pe.expand(2, -1, -1))
    assert module(torch.randn(3, 0, 8)).shape == (3, 0, 8)
    with pytest.raises(ValueError) as err:
        module(torch.randn(1, 11, 8))
    assert str(err.value) == "Sequence length 11 exceeds the maximum length 10"
    module.create_pe_table(8, 20)
    assert module(torch.randn(1, 11, 8)).shape == (1, 11, 8)
