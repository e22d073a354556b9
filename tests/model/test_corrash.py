import pytest
import torch

from quorlin.model import corrash
from quorlin.model.corrash import Conv2DSubsampling, Corrash, StackedBLSTMEmbedding, get_inputs


@pytest.mark.parametrize(
    "n, pair",
    [(1, (1, 1)), (2, (2, 1)), (3, (3, 1)), (4, (2, 2)), (6, (3, 2)), (7, (7, 1)), (8, (4, 2)), (9, (3, 3)),
     (12, (4, 3)), (16, (4, 4))],
)
def test_closest_factors(n, pair):
    assert Conv2DSubsampling(20, 4).closest_factors(n) == pair
    assert StackedBLSTMEmbedding(4, 4, 4).closest_factors(n) == pair


@pytest.mark.parametrize("time_reduction", [1, 2, 4, 6, 7])
def test_conv_lengths_match_the_convolutions(time_reduction):
    torch.manual_seed(0)
    sub = Conv2DSubsampling(80, 8, time_reduction=time_reduction).eval()
    x = torch.randn(2, 100, 80)
    y, y_len = sub(x, torch.tensor([100, 60]))
    assert y.shape == (2, int(y_len[0]), 8)
    assert sub.linear_out.in_features == 8 * 76
    if time_reduction == 1:
        assert y.shape[1] == 96
    torch.testing.assert_close(y, sub(x, torch.tensor([100, 60]))[0])


def test_conv_worked_example_and_length_dtype():
    sub = Conv2DSubsampling(80, 8, time_reduction=6)
    assert (sub.time_stride1, sub.time_stride2) == (3, 2)
    assert sub(torch.randn(2, 100, 80), torch.tensor([100, 60]))[1].tolist() == [16, 9]
    lengths = sub(torch.randn(2, 100, 80), torch.tensor([100.0, 60.0]))[1]
    assert lengths.dtype == torch.float32 and lengths.tolist() == [16.0, 9.0]
    assert sub.calculate_downsampled_length(80, 1, 1) == 76


@pytest.mark.parametrize("time_reduction, pools, lengths, pooled", [
    (1, (1, 1), [100, 37], [100, 37]),
    (4, (2, 2), [100, 37], [25, 9]),
    (5, (5, 1), [100, 37], [20, 7]),
])
def test_blstm_pooling_lengths(time_reduction, pools, lengths, pooled):
    emb = StackedBLSTMEmbedding(12, 8, 6, time_reduction=time_reduction)
    assert (emb.stride1, emb.stride2) == pools
    assert list(emb.pool1_params.items()) == [("kernel_size", pools[0]), ("stride", pools[0]), ("padding", 0),
                                              ("dilation", 1)]
    y, y_len = emb(torch.randn(2, 100, 12), torch.tensor(lengths, dtype=torch.float32))
    assert y_len.dtype == torch.int64 and y_len.tolist() == pooled
    assert y.shape == (2, 100 // time_reduction, 6)


def test_blstm_ignores_the_padding_values():
    torch.manual_seed(1)
    emb = StackedBLSTMEmbedding(12, 8, 6, time_reduction=4).eval()
    x = torch.randn(2, 40, 12)
    noisy = x.clone()
    noisy[1, 23:] = 100 * torch.randn(17, 12)
    lengths = torch.tensor([40, 23])
    torch.testing.assert_close(emb(x, lengths)[0], emb(noisy, lengths)[0])


@pytest.mark.parametrize("method, conv_strides, pools", [
    ("conv", (3, 2), None),
    ("lstm", None, (3, 2)),
    ("both", (2, 1), (3, 1)),
])
def test_corrash_split_of_the_reduction(method, conv_strides, pools):
    front = Corrash(40, 8, time_reduction=6, reduction_method=method)
    assert front.embedding_dim == 8 and front.reduction_method == method
    if conv_strides is None:
        assert front.cnn is None
    else:
        assert (front.cnn.time_stride1, front.cnn.time_stride2) == conv_strides
    if pools is None:
        assert front.blstm is None
    else:
        assert (front.blstm.stride1, front.blstm.stride2) == pools
        assert front.blstm.blstm1.input_size == (8 if front.cnn is not None else 40)
    x_len = torch.tensor([120, 77])
    y, y_len = front(torch.randn(2, 120, 40), x_len)
    assert y.shape[2] == 8
    assert torch.equal(front.calculate_downsampled_length(x_len), y_len)
    assert y_len.dtype == torch.int64


@pytest.mark.parametrize("kwargs, message", [
    (dict(output_dim=0, dropout=1.0, reduction_method="x"), "All dimension values must be positive"),
    (dict(time_reduction=-2), "All dimension values must be positive"),
    (dict(dropout=1.0, reduction_method="x"), "Dropout rate must be between 0 and 1"),
    (dict(dropout=-0.1), "Dropout rate must be between 0 and 1"),
    (dict(reduction_method="pool"), "reduction_method must be 'conv', 'lstm', or 'both'"),
])
def test_corrash_argument_errors_in_order(kwargs, message):
    args = dict(input_dim=80, output_dim=16) | kwargs
    with pytest.raises(ValueError) as err:
        Corrash(**args)
    assert str(err.value) == message


def test_argument_types():
    with pytest.raises(TypeError, match="reduction_method"):
        Corrash(80, 16, dropout=2.0, reduction_method=None)
    with pytest.raises(ValueError, match="All dimension values must be positive"):
        StackedBLSTMEmbedding(4, 0, 4)
    with pytest.raises(ValueError, match="Dropout rate must be between 0 and 1"):
        StackedBLSTMEmbedding(4, 4, 4, dropout=1)
    with pytest.raises(TypeError, match="input_dim"):
        Conv2DSubsampling("80", 4)


def test_get_inputs():
    x, lengths = get_inputs(5, 7, 3)
    assert x.shape == (3, 7, 5) and lengths.dtype == torch.float32 and lengths.tolist() == [7.0] * 3


@pytest.mark.parametrize("smoke_test, printed", [
    (corrash.test_corrash_lstm, "tensor([500, 500, 500, 500, 500, 500, 500, 500, 500, 500])"),
    (corrash.test_corrash_conv, "tensor([497., 497., 497., 497., 497., 497., 497., 497., 497., 497.])"),
    (corrash.test_corrash_both, "tensor([498, 498, 498, 498, 498, 498, 498, 498, 498, 498])"),
])
def test_smoke_tests_print_summary_and_lengths(smoke_test, printed, capsys):
    torch.manual_seed(0)
    with torch.no_grad():
        smoke_test()
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == printed
    assert any(line.startswith("Corrash") for line in out)


@pytest.mark.parametrize("time_reduction", [4, 6])
def test_frame_centres_sit_where_clicks_move_the_output(time_reduction):
    """A click changes the convolutions' output frames whose inputs it reaches; their
    centres, as ``frame_centres`` places them in time, average out at the click (the start
    of each frame would be about half a frame early)."""
    from quorlin.prep.features import compute_fbank

    torch.manual_seed(0)
    front = Corrash(40, 16, time_reduction=time_reduction, reduction_method="conv").eval()
    stride, offset = front.frame_centres()
    quiet = torch.randn(3 * 16000) * 1e-3
    clicks = torch.linspace(0.5, 2.5, 25).tolist()
    errors = []
    with torch.no_grad():
        def output(audio):
            feats = torch.from_numpy(compute_fbank(audio, 16000, 40)).T[None]  # (1, T, 40)
            return front(feats, torch.tensor([feats.size(1)]))[0][0]

        before = output(quiet)
        for t in clicks:
            clicked = quiet.clone()
            clicked[round(t * 16000)] += 0.9
            moved = torch.nonzero((output(clicked) - before).abs().sum(dim=1) > 0).flatten().double()
            # Frame j: centred on filter-bank frame stride * j + offset, whose 25 ms window starts 10 ms apart.
            errors.append(float(((stride * moved + offset) * 0.01 + 0.0125).mean()) - t)
    assert abs(sum(errors) / len(errors)) < 0.010
    # The BLSTM stage reads everything; its frames are centred on the frames it pools.
    # 6 = convolutions 2 x 1 (centred 3 frames in) then poolings 3 x 1 (centred 1 frame in): 2 * 1 + 3.
    assert Corrash(40, 16, time_reduction=6, reduction_method="both").frame_centres() == (6, 5.0)
