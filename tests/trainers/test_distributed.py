"""Two CPU processes (Gloo), started with the launcher's environment as torchrun starts them,
train as one process does on the same global batch. This file is also the processes' script:
``python test_distributed.py SCENARIO WORKDIR`` with RANK, LOCAL_RANK, WORLD_SIZE, MASTER_ADDR
and MASTER_PORT set."""
import json
import os
import shutil
import socket
import subprocess
import sys
import time
import traceback
from pathlib import Path

import numpy as np
import pytest
import torch
import yaml
from torch.utils.data import DataLoader, DistributedSampler

from quorlin.data.length_groups import LengthGroupedSampler
from quorlin.data.maltrey import Maltrey
from quorlin.data.maltrey_stream import MaltreyStream
from quorlin.data.pellith import Pellith
from quorlin.data.stream_index import write_stream_index
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer
import quorlin.trainers.brennick as brennick_module
from quorlin.trainers import Brennick, ProgressiveTrainer, Wendrel, distributed

LETTERS = "abcdef"
WORLD = 2
BATCH = 2  # per process; one process alone takes WORLD * BATCH
TOKENIZER = VaskTokenizer.from_texts([LETTERS])


def _write_data(root: Path) -> None:
    """Speech: every utterance 4 letters of 8 noisy frames each; text: 24 letters a line.
    All the same length, so that no padding tells a batch of 4 from two batches of 2."""
    rng = np.random.default_rng(0)
    patterns = rng.normal(size=(len(LETTERS), 8))
    for partition, count in [("train-clean-100", 20), ("dev-clean", 14)]:
        for folder in ("fbank", "text"):
            (root / "asr" / partition / folder).mkdir(parents=True)
        for i in range(count):
            text = rng.choice(list(LETTERS), size=4)
            frames = np.repeat(patterns[[LETTERS.index(c) for c in text]].T, 8, axis=1)  # (8, 32)
            np.save(root / "asr" / partition / "fbank" / f"{i:03d}.npy",
                    (frames + 0.3 * rng.standard_normal(frames.shape)).astype(np.float32))
            np.save(root / "asr" / partition / "text" / f"{i:03d}.npy", text)
    for partition, count in [("train", 16), ("val", 6)]:
        (root / "lm" / partition).mkdir(parents=True)
        for i in range(count):
            np.save(root / "lm" / partition / f"{i:03d}.npy", rng.choice(list(LETTERS), size=24))
    config = {"data": {"root": str(root / "asr"), "num_feats": 8, "norm": "none", "specaug": False,
                       "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2},
                       "batch_size": BATCH, "num_workers": 0},
              "loss": {"label_smoothing": 0.1, "ctc_weight": 0.5},
              "training": {"gradient_accumulation_steps": 2, "autocast_dtype": "float32",
                           "process_group_timeout": 60, "keep_last": 1}}
    (root / "config.yaml").write_text(yaml.safe_dump(config))


def _config(root: Path, **training) -> dict:
    config = yaml.safe_load((root / "config.yaml").read_text())
    config["training"].update(training)
    return config


def _with_optimizer(trainer):
    trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.5, momentum=0.9)
    trainer.scheduler = torch.optim.lr_scheduler.LambdaLR(trainer.optimizer, lambda step: 1 / (1 + step))
    return trainer


def _asr(root: Path, train_batch: int, cls=Brennick, seed=0, layers=1, run_name="asr"):
    """A tiny recogniser (dropout 0) and the training and validation loaders, unshuffled."""
    config = _config(root)
    torch.manual_seed(seed)
    model = EncoderDecoderTransformer(input_dim=8, time_reduction=4, reduction_method="conv",
                                      num_encoder_layers=layers, num_decoder_layers=layers, d_model=16,
                                      num_heads=2, d_ff=32, dropout=0.0, max_len=260,
                                      num_classes=TOKENIZER.vocab_size)
    trainer = _with_optimizer(cls(model, TOKENIZER, config, run_name, str(root / "config.yaml"), device="cpu"))
    train, dev = (Maltrey(partition, config["data"], TOKENIZER, partition == "train-clean-100")
                  for partition in ("train-clean-100", "dev-clean"))
    # Validation recognises the first 5 batches of 2, whatever the number of processes.
    return trainer, DataLoader(train, batch_size=train_batch, collate_fn=train.collate_fn), DataLoader(
        dev, batch_size=BATCH, collate_fn=dev.collate_fn)


def _lm(root: Path, batch: int, **training):
    config = _config(root, gradient_accumulation_steps=1, **training)
    torch.manual_seed(0)
    model = DecoderOnlyTransformer(num_layers=1, d_model=16, num_heads=2, d_ff=32, dropout=0.0, max_len=40,
                                   num_classes=TOKENIZER.vocab_size)
    trainer = _with_optimizer(Wendrel(model, TOKENIZER, config, "lm", str(root / "config.yaml"), device="cpu"))
    train, val = (Pellith(partition, {"root": str(root / "lm")}, TOKENIZER) for partition in ("train", "val"))
    return trainer, DataLoader(train, batch_size=batch, collate_fn=train.collate_fn), DataLoader(
        val, batch_size=4, collate_fn=val.collate_fn)


def _run_in_two_processes(root: Path, rank: int) -> None:
    # Different weights on each rank, until both load the checkpoint of one process.
    asr, train, dev = _asr(root, BATCH, seed=100 + rank)
    asr.load_checkpoint("start.pth")
    shard = asr.training_loader(train)
    assert isinstance(shard.sampler, DistributedSampler) and len(shard) == 5
    asr.train(train, dev, epochs=1)

    # W&B asked for on rank 1 too: only rank 0 may start it (and rank 1 writes nothing).
    lm, lm_train, lm_val = _lm(root, BATCH, use_wandb=rank == 1)
    lm.train(lm_train, lm_val, epochs=1)
    shuffled_buckets = DataLoader(lm_train.dataset, batch_sampler=[[0, 1], [2, 3]])
    with pytest.raises(ValueError, match="^under torchrun a data loader must be built with a batch_size"):
        lm.training_loader(shuffled_buckets)

    progressive, train, dev = _asr(root, BATCH, cls=ProgressiveTrainer, layers=2, run_name="stages")
    initial = {k: v.clone() for k, v in progressive.model.state_dict().items()}
    progressive.progressive_train(train, dev, [{
        "name": "half", "epochs": 1, "encoder_active_layers": [0, 1], "encoder_freeze": [True, False],
        "decoder_active_layers": [0], "dropout": 0.0, "label_smoothing": 0.0, "data_subset": 0.6}])
    staged = {k: v.clone() for k, v in progressive.model.state_dict().items()}
    progressive.train(train, dev, epochs=1)
    torch.save({"asr": asr.model.state_dict(), "asr_history": asr.training_history,
                "lm": lm.model.state_dict(), "lm_history": lm.training_history, "initial": initial,
                "staged": staged, "full": progressive.model.state_dict()}, root / f"out{rank}.pt")
    asr.cleanup()


def _fail_on_rank_one(root: Path, rank: int) -> None:
    """Rank 1 fails in its second batch and then lingers, as a stuck process would: rank 0,
    waiting for its gradients, must give up after the process group's timeout."""
    lm, train, val = _lm(root, BATCH, process_group_timeout=2)
    if rank == 1:
        batches = iter(range(2))
        collate = train.collate_fn
        train = DataLoader(train.dataset, batch_size=BATCH, collate_fn=lambda b: collate(b) if next(batches, None)
                           is not None else 1 / 0)
        try:
            lm.train(train, val, epochs=1)
        except ZeroDivisionError:
            traceback.print_exc()
            time.sleep(120)
    lm.train(train, val, epochs=1)


def _fail_in_evaluation(root: Path, rank: int) -> None:
    """Rank 1 fails to recognise with a beam of 10 (as a GPU out of memory would); then both
    ranks sum a number, as a run's next step would, and save how evaluation went."""
    asr, _, dev = _asr(root, BATCH)
    recognize_batch = brennick_module.recognize_batch

    def failing_on_rank_one(model, tokenizer, feats, feat_lengths, search, *rest):
        if rank == 1 and search.beam_width == 10:
            raise RuntimeError("out of memory")
        return recognize_batch(model, tokenizer, feats, feat_lengths, search, *rest)

    brennick_module.recognize_batch = failing_on_rank_one
    started = time.monotonic()
    tables = asr.evaluate(dev, max_length=6)
    seconds = time.monotonic() - started
    (total,) = distributed.sum_across_ranks(1.0)
    greedy = tables["greedy"]["transcription"].tolist()
    (root / f"evaluation{rank}.json").write_text(json.dumps(
        {"tables": list(tables), "seconds": seconds, "total": total, "greedy": greedy}))
    asr.cleanup()


def _stream_shares(root: Path, rank: int) -> None:
    """Each rank draws two epochs of the streamed training set, shuffled in batches of 2 and
    grouped by length in batches of 3, and saves which utterances it read."""
    asr, _, _ = _asr(root, BATCH)
    config = _config(root)
    dataset = MaltreyStream("train-clean-100", config["data"], TOKENIZER, True)
    read = []
    fetch = dataset.__getitems__
    dataset.__getitems__ = lambda indices: read.append(list(indices)) or fetch(indices)
    loaders = {"shuffled": DataLoader(dataset, batch_size=2, shuffle=True, collate_fn=dataset.collate_fn),
               "grouped": DataLoader(dataset, batch_size=3, collate_fn=dataset.collate_fn,
                                     sampler=LengthGroupedSampler(dataset.frame_counts.tolist(), 3, 2))}
    shares = {}
    for name, loader in loaders.items():
        for epoch in range(2):
            asr.current_epoch = epoch
            shard = asr.training_loader(loader)
            read.clear()
            batches = sum(1 for _ in shard)
            shares[f"{name} {epoch}"] = {"batches": batches, "length": len(shard), "read": list(read)}
    (root / f"shares{rank}.json").write_text(json.dumps(shares))
    asr.cleanup()


def _launch(scenario: str, root: Path, timeout: float = 180, wait_for: int = WORLD) -> list:
    """Starts the processes with torchrun's environment, waits for the first ``wait_for``
    ranks (ending the others) and returns their exit codes (None: still running) and logs."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = os.environ | {"MASTER_ADDR": "127.0.0.1", "MASTER_PORT": str(port), "WORLD_SIZE": str(WORLD),
                        "LOCAL_WORLD_SIZE": str(WORLD), "OMP_NUM_THREADS": "1"}
    processes = []
    for rank in range(WORLD):
        log = open(root / f"log{rank}.txt", "w")
        processes.append(subprocess.Popen([sys.executable, __file__, scenario, str(root)], stdout=log,
                                          stderr=subprocess.STDOUT, cwd=root / f"rank{rank}",
                                          env=env | {"RANK": str(rank), "LOCAL_RANK": str(rank)}))
        log.close()
    deadline = time.monotonic() + timeout
    results = []
    for rank, process in enumerate(processes[:wait_for]):
        try:
            code = process.wait(max(deadline - time.monotonic(), 1))
        except subprocess.TimeoutExpired:
            code = None
        results.append((code, (root / f"log{rank}.txt").read_text()))
    for process in processes:
        process.kill()
        process.wait()
    return results


def _files(folder: Path) -> list:
    return sorted(str(path.relative_to(folder)) for path in folder.rglob("*"))


@pytest.fixture(scope="module")
def two_processes(tmp_path_factory):
    """One launch: a recogniser resumed from one process's checkpoint, a language model and
    a curriculum, each trained for an epoch; every rank saves what it ended with."""
    root = tmp_path_factory.mktemp("ddp")
    _write_data(root)
    for rank in range(WORLD):
        (root / f"rank{rank}").mkdir()
    cwd = os.getcwd()
    os.chdir(root / "rank0")
    try:
        asr, _, _ = _asr(root, WORLD * BATCH)
        asr.save_checkpoint("start.pth")
    finally:
        os.chdir(cwd)
    start = root / "rank0" / "expts" / "asr" / "checkpoints" / "start.pth"
    (root / "rank1" / "expts" / "asr" / "checkpoints").mkdir(parents=True)
    shutil.copy(start, root / "rank1" / "expts" / "asr" / "checkpoints")
    rank1_before = _files(root / "rank1")
    results = _launch("train", root)
    assert [code for code, _ in results] == [0, 0], "\n\n".join(log for _, log in results)
    return root, rank1_before, [torch.load(root / f"out{rank}.pt", weights_only=True) for rank in range(WORLD)]


def _assert_close_states(a, b):
    assert list(a) == list(b)
    for key in a:
        torch.testing.assert_close(a[key], b[key], atol=1e-5, rtol=0, msg=key)


def _assert_close_history(a, b):
    assert [entry["epoch"] for entry in a] == [entry["epoch"] for entry in b]
    for x, y in zip(a, b):
        for split in ("train", "val"):
            assert x[split] == pytest.approx(y[split], rel=1e-5, abs=1e-9), split
        assert x["lr"] == y["lr"]


@pytest.mark.slow
def test_recogniser_in_two_processes_trains_as_one_process(two_processes, tmp_path, capsys):
    root, _, outputs = two_processes
    run = root / "rank0" / "expts" / "asr"
    trained = torch.load(run / "checkpoints" / "checkpoint-last-epoch-model.pth", weights_only=True)
    single, train, dev = _asr(root, WORLD * BATCH)
    assert single.training_loader(train) is train
    single.train(train, dev, epochs=1)
    # CE + CTC with accumulation over 2 batches and a last update of 1: 3 steps of a schedule.
    assert single.scheduler.last_epoch == 3
    _assert_close_states(trained["model_state_dict"], single.model.state_dict())
    _assert_close_states(outputs[1]["asr"], single.model.state_dict())
    _assert_close_history(trained["training_history"], single.training_history)
    assert outputs[0]["asr_history"] == outputs[1]["asr_history"] == trained["training_history"]
    # Validation covered the same 10 utterances, in the order of the loader.
    records = json.loads((run / "text" / "text_val_epoch_0.json").read_text())
    assert [r["target"] for r in records] == [r["target"] for r in json.loads(
        (single.text_dir / "text_val_epoch_0.json").read_text())] and len(records) == 10

    # A checkpoint of two processes loads into one.
    shutil.copy(run / "checkpoints" / "checkpoint-last-epoch-model.pth", single.checkpoint_dir / "two.pth")
    resumed, _, _ = _asr(root, WORLD * BATCH, seed=1)
    capsys.readouterr()
    resumed.load_checkpoint("two.pth")
    assert capsys.readouterr().out.splitlines()[-1] == (
        "Successfully loaded: model, optimizer, scheduler, scaler, training_state")
    for key, value in resumed.model.state_dict().items():
        assert torch.equal(value, trained["model_state_dict"][key])


@pytest.mark.slow
def test_language_model_in_two_processes_trains_as_one_process(two_processes):
    root, _, outputs = two_processes
    trained = torch.load(root / "rank0" / "expts" / "lm" / "checkpoints" / "checkpoint-last-epoch-model.pth",
                         weights_only=True)
    single, train, val = _lm(root, WORLD * BATCH)
    single.train(train, val, epochs=1)
    _assert_close_states(trained["model_state_dict"], single.model.state_dict())
    _assert_close_states(outputs[1]["lm"], single.model.state_dict())
    _assert_close_history(trained["training_history"], single.training_history)
    assert outputs[0]["lm_history"] == outputs[1]["lm_history"]


@pytest.mark.slow
def test_only_rank_zero_writes_files(two_processes):
    root, rank1_before, _ = two_processes
    assert _files(root / "rank1") == rank1_before
    files = _files(root / "rank0")
    for run in ("asr", "lm", "stages"):
        assert {f"expts/{run}/config.yaml", f"expts/{run}/model_arch.txt",
                f"expts/{run}/checkpoints/checkpoint-best-metric-model.pth",
                f"expts/{run}/text/text_val_epoch_0.json"} <= set(files)
    # training.keep_last: 1 keeps the checkpoint of the last epoch of the recogniser's runs.
    assert "expts/asr/checkpoints/checkpoint-epoch-0000.pth" in files
    assert "expts/stages/checkpoints/checkpoint-epoch-0001.pth" in files
    assert "expts/stages/checkpoints/checkpoint-epoch-0000.pth" not in files
    assert "expts/lm/attn/train_self_attention_epoch0.png" in files


@pytest.mark.slow
def test_curriculum_stages_keep_the_processes_in_step(two_processes):
    _, _, (first, second) = two_processes
    for state in ("staged", "full"):
        for key, value in first[state].items():
            assert torch.equal(value, second[state][key]), (state, key)
    changed = lambda state, prefix: any(not torch.equal(value, first["initial"][key])
                                        for key, value in first[state].items() if key.startswith(prefix))
    # Frozen in the stage, trained after it; the decoder layer left out of the stage as well.
    assert not changed("staged", "enc_layers.0.") and changed("staged", "enc_layers.1.")
    assert not changed("staged", "dec_layers.1.")
    assert changed("full", "enc_layers.0.") and changed("full", "dec_layers.1.")


@pytest.mark.slow
def test_a_failing_rank_ends_the_run_with_an_error(tmp_path):
    _write_data(tmp_path)
    for rank in range(WORLD):
        (tmp_path / f"rank{rank}").mkdir()
    started = time.monotonic()
    ((code, log),) = _launch("fail", tmp_path, timeout=90, wait_for=1)
    assert code not in (0, None), log
    assert time.monotonic() - started < 90 and "timed out" in log.lower(), log


@pytest.mark.slow
def test_a_rank_failing_in_evaluation_fails_that_setting_on_every_rank(tmp_path):
    _write_data(tmp_path)
    for rank in range(WORLD):
        (tmp_path / f"rank{rank}").mkdir()
    results = _launch("evaluate", tmp_path, timeout=100)
    assert [code for code, _ in results] == [0, 0], "\n\n".join(log for _, log in results)
    reports = [json.loads((tmp_path / f"evaluation{rank}.json").read_text()) for rank in range(WORLD)]
    for report, (_, log) in zip(reports, results):
        assert report["tables"] == ["greedy", "beam_20"] and report["total"] == 2.0
        # Far less than the process group's timeout (60 s): nobody waited for the failed rank.
        assert report["seconds"] < 30
        assert "Error evaluating with beam_10 config: rank 1: RuntimeError: out of memory" in log
    assert reports[0]["greedy"] == reports[1]["greedy"] and len(reports[0]["greedy"]) == 14
    files = _files(tmp_path / "rank0" / "expts" / "asr" / "text")
    assert files == ["text_test_beam_20_results.json", "text_test_greedy_results.json"]


@pytest.mark.slow
def test_two_ranks_stream_disjoint_shares_that_cover_each_epoch(tmp_path):
    _write_data(tmp_path)
    write_stream_index(str(tmp_path / "asr" / "train-clean-100"), 8)
    for rank in range(WORLD):
        (tmp_path / f"rank{rank}").mkdir()
    results = _launch("stream", tmp_path, timeout=100)
    assert [code for code, _ in results] == [0, 0], "\n\n".join(log for _, log in results)
    shares = [json.loads((tmp_path / f"shares{rank}.json").read_text()) for rank in range(WORLD)]
    for name, batches, batch_size in [("shuffled", 5, 2), ("grouped", 4, 3)]:
        orders = []
        for epoch in range(2):
            ranks = [share[f"{name} {epoch}"] for share in shares]
            # As many batches on every rank; each reads only the utterances of its own batches.
            assert [(r["batches"], r["length"], len(r["read"])) for r in ranks] == [(batches, batches, batches)] * 2
            read = [sorted(i for batch in r["read"] for i in batch) for r in ranks]
            assert all(len(batch) <= batch_size for r in ranks for batch in r["read"])
            if name == "shuffled":  # 20 utterances in 2 x 5 batches of 2: disjoint, and all of them
                assert sorted(read[0] + read[1]) == list(range(20))
            else:  # 7 batches of 3 (the last of 2), and the first completed again on one rank
                assert set(read[0]) | set(read[1]) == set(range(20)) and len(read[0]) + len(read[1]) == 23
            orders.append(ranks[0]["read"])
        assert orders[0] != orders[1]


def test_a_cuda_device_means_the_gpu_of_this_process(monkeypatch):
    monkeypatch.setenv("LOCAL_RANK", "1")
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    devices = [distributed.local_device(device) for device in ["cuda", "cuda:0", "cuda:3", None, "cpu"]]
    assert devices == ["cuda:1", "cuda:1", "cuda:1", "cuda:1", "cpu"]
    monkeypatch.setattr(torch.cuda, "is_available", lambda: False)
    assert distributed.local_device(None) == "cpu"


if __name__ == "__main__":
    torch.set_num_threads(1)
    _scenario, _root = sys.argv[1], Path(sys.argv[2])
    {"train": _run_in_two_processes, "fail": _fail_on_rank_one, "evaluate": _fail_in_evaluation,
     "stream": _stream_shares}[_scenario](
        _root, int(os.environ["RANK"]))
