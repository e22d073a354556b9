"""Fixtures shared by the trainer tests: every test runs in its own tmp_path (so "expts"
and "wandb" stay out of the repository), with a tiny tokenizer and models."""
import struct
import time
from pathlib import Path

import pytest
import yaml
from wandb.proto import wandb_internal_pb2

from quorlin.data.tokenizer import VaskTokenizer
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer

TEXTS = ["hello world", "the quick brown fox", "jumps over the lazy dog"]


@pytest.fixture(autouse=True)
def run_in_tmp_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def tokenizer():
    return VaskTokenizer.from_texts(TEXTS, kind="char")


@pytest.fixture
def lm_model(tokenizer):
    return DecoderOnlyTransformer(num_layers=1, d_model=16, num_heads=2, d_ff=32, dropout=0.0,
                                  max_len=24, num_classes=tokenizer.vocab_size)


@pytest.fixture
def asr_model(tokenizer):
    return EncoderDecoderTransformer(input_dim=8, time_reduction=4, reduction_method="conv",
                                     num_encoder_layers=1, num_decoder_layers=1, d_model=16,
                                     num_heads=2, d_ff=32, dropout=0.0, max_len=260,
                                     num_classes=tokenizer.vocab_size)


@pytest.fixture
def config():
    return {
        "data": {"batch_size": 2, "num_feats": 8},
        "training": {"use_wandb": False, "gradient_accumulation_steps": 1},
        "optimizer": {"name": "adamw", "lr": 1e-3, "weight_decay": 0.01,
                      "adamw": {"betas": [0.9, 0.98], "eps": 1e-9, "amsgrad": False}},
        "scheduler": {"name": "cosine", "cosine": {"T_max": 2, "eta_min": 1e-5},
                      "warmup": {"enabled": True, "epochs": 1}},
    }


@pytest.fixture
def config_file(tmp_path, config):
    """The configuration written as YAML, as a training script would load it."""
    path = tmp_path / "run.yaml"
    path.write_text(yaml.safe_dump(config))
    return str(path)


def _wandb_records(path):
    """Decode the records of a ".wandb" transaction log: a 7-byte header, then 32 KiB
    blocks of chunks (masked CRC, little-endian length, chunk type)."""
    data = Path(path).read_bytes()
    assert data[:4] == b":W&B"
    pos, payload, block = 7, b"", 32768
    while pos + 7 <= len(data):
        left = block - pos % block
        length, kind = struct.unpack("<HB", data[pos + 4:pos + 7])
        if left < 7 or kind == 0:  # block trailer
            pos += left
            continue
        if pos + 7 + length > len(data):  # still being written
            return
        payload += data[pos + 7:pos + 7 + length]
        pos += 7 + length
        if kind in (1, 4):  # full or last chunk
            record = wandb_internal_pb2.Record()
            record.ParseFromString(payload)
            yield record
            payload = b""


@pytest.fixture
def read_wandb_run():
    """Read back an offline run: its run record, its history rows (step -> key -> value
    as JSON text, or field -> JSON text for a logged object; internal "_" keys dropped)
    and the paths of its saved files."""

    def read(run_dir):
        (log,) = Path(run_dir).glob("run-*.wandb")
        # wandb.finish() may return before the W&B service has written the log out;
        # the log is complete once it holds the run's exit record.
        deadline = time.monotonic() + 60
        records = list(_wandb_records(log))
        while not any(r.WhichOneof("record_type") == "exit" for r in records):
            assert time.monotonic() < deadline, f"{log} never got its exit record"
            time.sleep(0.1)
            records = list(_wandb_records(log))
        run, history, files = None, {}, []
        for record in records:
            kind = record.WhichOneof("record_type")
            if kind == "run":
                run = record.run
            elif kind == "history":
                row = history.setdefault(record.history.step.num, {})
                for item in record.history.item:
                    key, *field = [item.key] if item.key else item.nested_key
                    if key.startswith("_"):
                        continue
                    if field:  # a logged object such as an image, one field per item
                        row.setdefault(key, {})["/".join(field)] = item.value_json
                    else:
                        row[key] = item.value_json
            elif kind == "files":
                files += [file.path for file in record.files.files]
        return run, history, files

    return read
