import os

import numpy as np
import pytest

from quorlin.data.tokenizer import VaskTokenizer

ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZ '"


@pytest.fixture(scope="session")
def char_tokenizer():
    return VaskTokenizer.from_texts([ALPHABET])


def _save_transcript(path, text):
    np.save(path, np.array(list(text), dtype="<U1"))


@pytest.fixture
def save_transcript():
    """Saves a transcript as the corpus stores it: an array of single characters."""
    return _save_transcript


@pytest.fixture
def write_asr_partition():
    """Writes root/partition/fbank (and text, when texts are given) as .npy files."""
    def write(root, partition, feats, texts=None, names=None):
        names = names or [f"utt-{i:04d}.npy" for i in range(len(feats))]
        os.makedirs(os.path.join(root, partition, "fbank"))
        for name, feat in zip(names, feats):
            np.save(os.path.join(root, partition, "fbank", name), feat)
        if texts is not None:
            os.makedirs(os.path.join(root, partition, "text"))
            for name, text in zip(names, texts):
                _save_transcript(os.path.join(root, partition, "text", name), text)
        return names
    return write


@pytest.fixture
def asr_config():
    """An ASR data section over a root, four feature rows, no normalisation or augmentation."""
    def make(root, **overrides):
        config = {
            "root": str(root), "num_feats": 4, "norm": "none", "specaug": False,
            "specaug_conf": {"time_mask_width_range": 3, "freq_mask_width_range": 2,
                             "apply_freq_mask": True, "num_freq_mask": 1,
                             "apply_time_mask": True, "num_time_mask": 1},
        }
        config.update(overrides)
        return config
    return make


@pytest.fixture
def random_feats():
    """Positive float32 (dims, T) matrices, so zeros only come from padding or masks."""
    rng = np.random.default_rng(1234)
    return lambda frames, dims=6: [rng.uniform(1.0, 5.0, size=(dims, t)).astype(np.float32) for t in frames]
