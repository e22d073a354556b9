"""Training utterances joined in pairs: the utterance's filter banks and transcript followed by
its partner's, never longer than the longest utterance, in the share asked for, by both speech
datasets and through a real DataLoader."""
import pytest
import torch
from torch.utils.data import DataLoader

from quorlin.data.joining import UtteranceJoiner
from quorlin.data.maltrey import Maltrey
from quorlin.data.maltrey_stream import MaltreyStream
from quorlin.data.stream_index import write_stream_index
from quorlin.data.tokenizer import VaskTokenizer

TEXTS = ["HI", "A CAT", "NO", "THE LONGEST ONE", "BYE", "Z"]
FRAMES = [30, 12, 25, 40, 9, 16]  # the longest, 40 frames, fits no partner; 30 fits 9 only


def _text(tokenizer, golden) -> str:
    return tokenizer.decode(golden.tolist(), skip_special_tokens=True)


@pytest.mark.parametrize("dataset", [Maltrey, MaltreyStream])
def test_both_datasets_join_training_items_with_a_partner_that_fits(tmp_path, write_asr_partition, random_feats,
                                                                   asr_config, char_tokenizer, dataset):
    for partition in ("train-clean-100", "dev-clean"):
        write_asr_partition(tmp_path, partition, random_feats(FRAMES, dims=4), TEXTS)
        write_stream_index(str(tmp_path / partition), 4)
    plain = dataset("train-clean-100", asr_config(tmp_path), char_tokenizer, True)
    singles = [plain[i][0] for i in range(len(TEXTS))]  # (4, T) each
    joined = dataset("train-clean-100", asr_config(tmp_path, join_prob=1.0), char_tokenizer, True)

    torch.manual_seed(0)
    pairs = set()
    for _ in range(40):
        batch = list(range(len(TEXTS)))
        items = joined.__getitems__(batch) if dataset is MaltreyStream else [joined[i] for i in batch]
        for i, (feat, shifted, golden) in enumerate(items):
            assert torch.equal(shifted[1:], golden[:-1]) and shifted[0] == char_tokenizer.sos_id
            assert golden[-1] == char_tokenizer.eos_id
            if feat.shape[1] == FRAMES[i]:  # not joined: the partner drawn was too long
                assert torch.equal(feat, singles[i]) and _text(char_tokenizer, golden) == TEXTS[i]
                continue
            j = next(j for j in range(len(TEXTS)) if FRAMES[i] + FRAMES[j] == feat.shape[1]
                     and torch.equal(feat[:, FRAMES[i]:], singles[j]))
            assert feat.shape[1] <= 40 and torch.equal(feat[:, :FRAMES[i]], singles[i])
            assert _text(char_tokenizer, golden) == TEXTS[i] + " " + TEXTS[j]
            pairs.add((i, j))
    # Pairs are drawn at random among those that fit; the longest utterance never takes part.
    assert (0, 4) in pairs and {i for i, _ in pairs} == {0, 1, 2, 4, 5} and 3 not in {j for _, j in pairs}
    assert all(FRAMES[i] + FRAMES[j] <= 40 for i, j in pairs)

    dev = dataset("dev-clean", asr_config(tmp_path, join_prob=1.0), char_tokenizer, False)
    assert [dev[i][0].shape[1] for i in range(len(TEXTS))] == FRAMES

    loader = DataLoader(joined, batch_size=3, collate_fn=joined.collate_fn)
    feats, shifted, golden, feat_lengths, text_lengths = next(iter(loader))
    assert feats.shape == (3, int(feat_lengths.max()), 4) and shifted.shape == golden.shape
    assert int(feat_lengths.max()) <= 40 and int(text_lengths.max()) <= joined.text_max_len


def test_the_joiner_takes_its_share_puts_a_space_only_where_the_vocabulary_has_one_and_repeats_with_the_seed():
    first, partner = torch.ones(2, 5), torch.zeros(2, 3)
    latin = VaskTokenizer.from_texts(["AB C"])
    half = UtteranceJoiner(0.5, latin)
    torch.manual_seed(2)
    draws = [half(first, [4, 5], partner, [6], 100, 100) for _ in range(400)]
    assert 160 <= sum(feat.shape[1] == 5 for feat, _ in draws) <= 240
    torch.manual_seed(2)
    assert all(torch.equal(feat, half(first, [4, 5], partner, [6], 100, 100)[0]) for feat, _ in draws)

    always = UtteranceJoiner(1.0, latin)
    feat, ids = always(first, latin.encode("AB"), partner, latin.encode("C"), 8, 4)
    assert feat.shape == (2, 8) and latin.decode(ids) == "AB C"
    assert always(first, [4], partner, [5], 7, 4)[0] is first  # eight frames: too long
    assert always(first, latin.encode("AB"), partner, latin.encode("C"), 8, 3)[1] == latin.encode("AB")

    spaceless = VaskTokenizer.from_texts(["你好谢谢"])
    ids = UtteranceJoiner(1.0, spaceless)(first, spaceless.encode("你好"), partner, spaceless.encode("谢谢"), 8, 4)[1]
    assert spaceless.decode(ids) == "你好谢谢"


def test_a_joiner_refuses_a_share_outside_zero_to_one(char_tokenizer):
    with pytest.raises(ValueError) as error:
        UtteranceJoiner(-0.1, char_tokenizer)
    assert str(error.value) == "prob must lie in [0, 1], got -0.1"
