import pytest
import torch

from quorlin.data.tokenizer import VaskTokenizer
from quorlin.inference.alignment import align_words
from quorlin.inference.results import spread_words
from quorlin.inference.results import Word
from quorlin.model.encoder_decoder import EncoderDecoderTransformer


def _posterior(tokens, frames_each, blanks_before, vocab_size, blank, tail=2):
    """Log-probabilities (S, V) whose best path holds token i for frames_each[i] frames after
    blanks_before[i] blank frames (then ``tail`` blanks); also each token's [first, last + 1)."""
    path, spans = [], []
    for token, n, gap in zip(tokens, frames_each, blanks_before):
        path += [blank] * gap
        spans.append((len(path), len(path) + n))
        path += [token] * n
    path += [blank] * tail
    scores = torch.full((len(path), vocab_size), -6.0)
    scores[torch.arange(len(path)), torch.tensor(path)] = 0.0
    return scores.log_softmax(dim=-1), spans


def test_char_words_get_the_frames_of_their_first_and_last_letters():
    tok = VaskTokenizer.from_texts(["hello world"])
    ids = tok.encode("hello world")
    targets = ids + [tok.eos_id]
    # The repeated "l" needs a blank between its two frames runs.
    frames_each = [2, 1, 1, 3, 1, 2, 1, 1, 2, 1, 3, 1]
    blanks = [3, 0, 0, 1, 2, 4, 0, 1, 0, 2, 1, 0]
    log_probs, spans = _posterior(targets, frames_each, blanks, tok.vocab_size, tok.pad_id)
    words = align_words(log_probs, [tok.sos_id] + ids + [tok.eos_id], tok, frame_seconds=0.04, offset=10.0)
    # "hello" is tokens 0-4, the space token 5, "world" tokens 6-10; token 11 is the end id.
    expected = [Word(10.0 + spans[0][0] * 0.04, 10.0 + spans[4][1] * 0.04, "hello"),
                Word(10.0 + spans[6][0] * 0.04, 10.0 + spans[10][1] * 0.04, "world")]
    assert [w.text for w in words] == ["hello", "world"]
    for got, want in zip(words, expected):
        assert got.start == pytest.approx(want.start) and got.end == pytest.approx(want.end)


def test_subword_pieces_carry_their_spaces():
    tok = VaskTokenizer.from_texts(["hello world the cat sat on the mat"] * 20 + ["a b c the other thing"],
                                   kind="bpe", vocab_size=40)
    ids = tok.encode("the cat sat")
    pieces = [tok.decode([i]) for i in ids]
    words_of_pieces, current = [], []
    for k, piece in enumerate(pieces):  # the words each piece starts or continues
        if piece.startswith(" ") and current:
            words_of_pieces.append(current)
            current = []
        current.append(k)
    words_of_pieces.append(current)
    targets = ids + [tok.eos_id]
    log_probs, spans = _posterior(targets, [2] * len(targets), [1] * len(targets), tok.vocab_size, tok.pad_id)
    words = align_words(log_probs, ids, tok, frame_seconds=0.08)
    assert [w.text for w in words] == ["the", "cat", "sat"]
    assert len(words_of_pieces) == 3
    for word, ks in zip(words, words_of_pieces):
        assert word.start == pytest.approx(spans[ks[0]][0] * 0.08)
        assert word.end == pytest.approx(spans[ks[-1]][1] * 0.08)


def test_too_few_frames_spread_the_words_instead():
    tok = VaskTokenizer.from_texts(["hello a"])
    ids = tok.encode("hello a")
    # 7 tokens, the end id and one blank between the two "l": 9 frames at least.
    log_probs = torch.randn(9, tok.vocab_size).log_softmax(dim=-1)
    words = align_words(log_probs, ids, tok, frame_seconds=0.04, offset=1.0)
    assert [w.text for w in words] == ["hello", "a"] and all(1.0 <= w.start < w.end <= 1.36 for w in words)
    words = align_words(log_probs[:8], ids, tok, frame_seconds=0.04, offset=1.0)
    expected = [Word(1.0, 1.0 + 0.32 * 5 / 6, "hello"), Word(1.0 + 0.32 * 5 / 6, 1.32, "a")]
    for got, want in zip(words, expected):
        assert (got.text, got.start, got.end) == (want.text, pytest.approx(want.start), pytest.approx(want.end))
    # Scores that rule out every path, or NaN scores, still give timed words.
    for bad in (float("-inf"), float("nan")):
        words = align_words(torch.full((20, tok.vocab_size), bad), ids, tok, frame_seconds=0.04, offset=1.0)
        assert [w.text for w in words] == ["hello", "a"] and all(1.0 <= w.start < w.end <= 1.8 + 1e-9 for w in words)
    assert align_words(log_probs, [tok.sos_id, tok.eos_id], tok, 0.04) == []
    assert align_words(log_probs, tok.encode("  "), tok, 0.04) == []
    with pytest.raises(ValueError, match=r"shape \(S, 10\) for a tokenizer of 10 ids, got \(9, 1, 10\)"):
        align_words(log_probs.unsqueeze(1), ids, tok, 0.04)
    with pytest.raises(ValueError, match=r"shape \(S, 10\) for a tokenizer of 10 ids, got \(9, 9\)"):
        align_words(log_probs[:, :9], ids, tok, 0.04)


def test_spread_words_share_the_span_by_length():
    words = spread_words(["ab", "c", "def"], 2.0, 5.0)
    assert [(w.text, w.start, w.end) for w in words] == [("ab", 2.0, 3.0), ("c", 3.0, 3.5), ("def", 3.5, 5.0)]


def test_runs_on_the_ctc_head_of_a_model():
    torch.manual_seed(0)
    tok = VaskTokenizer.from_texts(["ab ba abba"])
    model = EncoderDecoderTransformer(input_dim=40, time_reduction=4, reduction_method="conv",
                                      num_encoder_layers=1, num_decoder_layers=1, d_model=32, num_heads=2,
                                      d_ff=64, dropout=0.0, max_len=200, num_classes=tok.vocab_size).eval()
    with torch.no_grad():
        _, _, _, ctc = model.encode(torch.randn(2, 160, 40), torch.tensor([160, 120]))
    length = int(ctc["lengths"][1])
    words = align_words(ctc["log_probs"][:length, 1], tok.encode("ab ba abba"), tok, 0.04, offset=3.0)
    assert [w.text for w in words] == ["ab", "ba", "abba"]
    times = [t for w in words for t in (w.start, w.end)]
    assert times == sorted(times) and 3.0 <= times[0] and times[-1] <= 3.0 + length * 0.04
    assert all(w.start < w.end for w in words)
