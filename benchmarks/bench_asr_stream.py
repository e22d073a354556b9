"""Training on features streamed from disk (``asr.data.storage: stream``) against features held in
memory (``memory``): peak memory as the corpus grows, throughput cold and warm, two ranks under
torchrun, and the file format that the stream reads.

    nice $QUORLIN_VENV/bin/python benchmarks/bench_asr_stream.py RECIPE --work DIR [--scales 1 4 16]
        [--memory-scales 1 4] [--parts storage memory ranks throughput] [--batches 40] [--rounds 1]

RECIPE is a prepared recipe (the demo's, after ``quorlin prepare``): its recogniser is the model
trained, its training set the corpus of the throughput part. Generated corpora of random
features, at each scale 7,590 utterances of 100 to 560 frames of 40 rows and their transcripts
(the size of the demo's speed-perturbed training set), are written once under DIR and reused.
A "cold" run first drops the files it reads from the page cache (a sync, then ``posix_fadvise``
DONTNEED on each), so that they come from the disk; a "warm" run reads them from memory.

Parts:
  storage     ms per length-grouped batch of 8 utterances of the 1x corpus: per-utterance .npy
              files through the native reader (what the stream reads), the same files through
              np.load, and shards of 1,000 utterances (one (frames, 40) array each, 2x the disk)
              sliced through np.memmap; cold and warm.
  memory      peak resident memory of a training process at each scale, stream against memory:
              the dataset, its length-grouped loader, one pass over all of the epoch's batches
              (without SpecAugment), then --steps training steps of the recipe's model on the
              first utterances (the same at every scale); and of preparation: its runner with
              a job per utterance, and writing the stream index.
  ranks       two processes under torchrun (Gloo): what each reads of an epoch (disjoint shares
              covering it) and its peak memory, at the smallest and the largest scale.
  throughput  the recipe's training set: time per batch of ``Brennick._train_epoch`` over
              --batches batches, and of the data alone over the whole epoch, stream against
              memory in turn in one process (the same batches), cold and warm, --rounds times.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np
import torch
import yaml
from torch.utils.data import DataLoader

from quorlin.data import FeatureReader
from quorlin.data.corpus import NUM_THREADS, list_npy_files
from quorlin.data.length_filter import utterance_frames
from quorlin.data.length_groups import LengthGroupedSampler
from quorlin.data.maltrey import Maltrey
from quorlin.data.maltrey_stream import MaltreyStream
from quorlin.data.stream_index import write_stream_index
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.layout import SET_PARTITIONS
from quorlin.prep.runner import run_parallel
from quorlin.recipe import load_recipe, load_tokenizer
from quorlin.run_folder import build_model
from quorlin.trainers import Brennick, distributed

UTTERANCES_PER_SCALE = 7590
NUM_FEATS = 40
TRAIN_SET = SET_PARTITIONS["train"]
LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ '"
BATCH = 8
DATASETS = {"memory": Maltrey, "stream": MaltreyStream}


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def set_cache(paths, cold: bool) -> None:
    """Evicts the files from the page cache, so that the next read comes from the disk; or,
    for a warm run, reads them, so that it comes from memory."""
    if cold:
        os.sync()
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            if cold:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            else:
                while os.read(fd, 1 << 20):
                    pass
        finally:
            os.close(fd)


def partition_files(root: str):
    folder = os.path.join(root, TRAIN_SET)
    return list_npy_files(os.path.join(folder, "fbank")) + list_npy_files(os.path.join(folder, "text"))


# Generated corpora.

def write_corpora(work: str, scales) -> None:
    """DIR/corpus holds the largest scale's files; DIR/x<s> partitions of links to the first
    7,590 * s of them, each with its stream index."""
    corpus = os.path.join(work, "corpus", TRAIN_SET)
    for folder in ("fbank", "text"):
        os.makedirs(os.path.join(corpus, folder), exist_ok=True)
    for i in range(UTTERANCES_PER_SCALE * max(scales)):
        fbank, text = (os.path.join(corpus, folder, f"{i:06d}.npy") for folder in ("fbank", "text"))
        if os.path.exists(text):  # written last
            continue
        rng = np.random.default_rng(i)
        frames = int(rng.integers(100, 561))
        np.save(fbank, rng.standard_normal((NUM_FEATS, frames), dtype=np.float32))
        np.save(text, rng.choice(list(LETTERS), size=max(1, int(frames / 5.6))))
    for scale in scales:
        partition = os.path.join(work, f"x{scale}", TRAIN_SET)
        if os.path.exists(os.path.join(partition, "stream_index.npz")):
            continue
        for folder in ("fbank", "text"):
            os.makedirs(os.path.join(partition, folder), exist_ok=True)
            for i in range(UTTERANCES_PER_SCALE * scale):
                link = os.path.join(partition, folder, f"{i:06d}.npy")
                if not os.path.lexists(link):
                    os.symlink(os.path.join(corpus, folder, f"{i:06d}.npy"), link)
        run_child(["index", os.path.join(work, f"x{scale}"), NUM_THREADS])


def data_config(root: str, storage: str) -> dict:
    return {"root": root, "num_feats": NUM_FEATS, "norm": "global_mvn", "storage": storage, "specaug": False,
            "specaug_conf": {"apply_freq_mask": True, "freq_mask_width_range": 8, "num_freq_mask": 2,
                             "apply_time_mask": True, "time_mask_width_range": 20, "num_time_mask": 2}}


# Child processes: each process (each rank under torchrun) writes its results to a JSON file.

def run_child(arguments, launcher=()) -> list:
    command = [*launcher, __file__, "--child", *map(str, arguments)]
    if not launcher:
        command = [sys.executable, *command]
    with tempfile.TemporaryDirectory() as results:
        done = subprocess.run(command, capture_output=True, text=True,
                              env=os.environ | {"OMP_NUM_THREADS": "1", "BENCH_RESULTS": results})
        if done.returncode:
            sys.exit(f"{' '.join(command)} failed:\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}")
        return [json.loads(open(os.path.join(results, name)).read()) for name in sorted(os.listdir(results))]


def report(**values) -> None:
    with open(os.path.join(os.environ["BENCH_RESULTS"], f"rank{os.environ.get('RANK', '0')}.json"), "w") as f:
        json.dump(values, f)


def noop_job(job) -> None:
    """A preparation job that does nothing: what remains is the runner's own bookkeeping."""


def child_jobs(count: int) -> None:
    jobs = [(f"audio/{i:08d}.flac", f"fbank/{i:08d}.npy", f"text/{i:08d}.npy", "A TRANSCRIPT", 80, 1.0)
            for i in range(count)]
    before = peak_mib()
    run_parallel(noop_job, jobs, 2)
    report(before_mib=before, peak_mib=peak_mib())


def child_index(root: str, threads: int) -> None:
    start = time.perf_counter()
    write_stream_index(os.path.join(root, TRAIN_SET), NUM_FEATS, threads)
    report(seconds=time.perf_counter() - start, peak_mib=peak_mib())


def train_steps(model, batches, device="cpu") -> None:
    """Plain updates of cross-entropy + 0.5 CTC: the work of training between the batches."""
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-4)
    ce, ctc = torch.nn.CrossEntropyLoss(ignore_index=0), torch.nn.CTCLoss(blank=0, zero_infinity=True)
    wrapped = distributed.wrap(model, device, False) if distributed.active() else model
    for feats, shifted, golden, feat_lengths, lengths in batches:
        logits, _, ctc_inputs = wrapped(feats, shifted, feat_lengths, lengths)
        loss = ce(logits.reshape(-1, logits.size(-1)), golden.reshape(-1)) + 0.5 * ctc(
            ctc_inputs["log_probs"], golden, ctc_inputs["lengths"], lengths)
        loss.backward()
        optimizer.step()
        optimizer.zero_grad()


def child_memory(root: str, storage: str, recipe_path: str, steps: int) -> None:
    """An epoch of the generated corpus's batches, then ``steps`` training steps on batches of
    its first utterances, which are the same at every scale."""
    recipe = load_recipe(recipe_path)
    tokenizer = VaskTokenizer.from_texts([LETTERS])
    if distributed.launched():
        distributed.join("cpu", 600)
    start = time.perf_counter()
    dataset = DATASETS[storage](TRAIN_SET, data_config(root, storage), tokenizer, True)
    built = time.perf_counter() - start
    sampler = LengthGroupedSampler(utterance_frames(dataset), BATCH, 50, seed=0)
    loader = DataLoader(dataset, batch_size=BATCH, sampler=sampler, collate_fn=dataset.collate_fn)
    if distributed.active():
        loader = distributed.shard_loader(loader, True)
        loader.sampler.set_epoch(0)
    read = []
    fetch = dataset.__getitems__ if storage == "stream" else None
    if fetch is not None:
        dataset.__getitems__ = lambda indices: read.extend(indices) or fetch(indices)
    start = time.perf_counter()
    batches = sum(1 for _ in loader)
    epoch, data_peak, epoch_read = time.perf_counter() - start, peak_mib(), sorted(read)
    torch.manual_seed(0)
    model = build_model("asr", recipe["asr"], tokenizer)
    first = DataLoader(dataset, batch_size=BATCH, sampler=range(steps * BATCH), collate_fn=dataset.collate_fn)
    start = time.perf_counter()
    train_steps(model, first)
    report(rank=int(os.environ.get("RANK", 0)), storage=storage, build_s=built, epoch_s=epoch, batches=batches,
           steps_s=time.perf_counter() - start, data_peak_mib=data_peak, peak_mib=peak_mib(), read=epoch_read)
    distributed.leave()


def child_throughput(recipe_path: str, cold: bool, num_batches: int, work: str) -> None:
    """Both storages in one process, batch by batch in turn: ``Brennick._train_epoch`` on each
    of the first ``num_batches`` batches of the recipe's grouped epoch, then the data alone over
    the whole epoch. The two batches of a turn hold the same utterances, so the model's work is
    the same; in a cold run the stream's files of a batch leave the page cache just before."""
    torch.set_num_threads(2)
    recipe = load_recipe(recipe_path)
    section = recipe["asr"]
    root = os.path.abspath(section["data"]["root"])
    tokenizer = load_tokenizer(recipe)
    files = partition_files(root)
    datasets, built = {}, {}
    for storage in ("stream", "memory"):
        set_cache(files, cold)
        start = time.perf_counter()
        data = {**section["data"], "storage": storage, "root": root}
        datasets[storage] = DATASETS[storage](TRAIN_SET, data, tokenizer, True)
        built[storage] = time.perf_counter() - start
    stream = datasets["stream"]
    order = list(LengthGroupedSampler(utterance_frames(stream), BATCH, section["data"].get("group_by_length", 50),
                                      seed=0))
    batches = [order[i:i + BATCH] for i in range(0, len(order), BATCH)]
    config = {"data": data, "loss": section["loss"], "training": section["training"]}
    os.chdir(work)
    with open("bench-config.yaml", "w") as f:
        yaml.safe_dump(config, f)
    torch.manual_seed(0)
    trainer = Brennick(build_model("asr", section, tokenizer), tokenizer, config, "bench-throughput",
                       "bench-config.yaml", device="cpu")
    trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=1e-4)
    trainer.scheduler = torch.optim.lr_scheduler.ConstantLR(trainer.optimizer, 1.0)
    seconds = {storage: {"train": 0.0, "data": 0.0} for storage in datasets}
    for kind, turns in (("train", batches[:num_batches]), ("data", batches)):
        set_cache(files, cold)
        for k, batch in enumerate(turns):
            for storage in ("stream", "memory") if k % 2 else ("memory", "stream"):
                if cold and storage == "stream":
                    set_cache([stream.fbank_files[i] for i in batch] + [stream.text_files[i] for i in batch], True)
                dataset = datasets[storage]
                loader = DataLoader(dataset, batch_size=BATCH, sampler=batch, collate_fn=dataset.collate_fn)
                start = time.perf_counter()
                trainer._train_epoch(loader) if kind == "train" else next(iter(loader))
                seconds[storage][kind] += time.perf_counter() - start
    report(cold=cold, built=built, seconds=seconds, batches={"train": num_batches, "data": len(batches)})


def child_storage(root: str, shards: str, layout: str, cold: bool, num_batches: int) -> None:
    """Reads ``num_batches`` length-grouped batches of features from one layout."""
    files = list_npy_files(os.path.join(root, TRAIN_SET, "fbank"))
    real = [os.path.realpath(f) for f in files]
    offsets = np.load(os.path.join(shards, "offsets.npy"))  # (N, 3): shard, first frame, frames
    order = list(LengthGroupedSampler(offsets[:, 2].tolist(), BATCH, 50, seed=0))[:num_batches * BATCH]
    batches = [order[i:i + BATCH] for i in range(0, len(order), BATCH)]
    shard_files = sorted(os.path.join(shards, n) for n in os.listdir(shards) if n.startswith("shard"))
    set_cache(real + shard_files, cold)
    reader = FeatureReader(NUM_FEATS, False, NUM_THREADS)
    maps = [np.load(f, mmap_mode="r") for f in shard_files] if layout == "shards" else None
    start = time.perf_counter()
    for batch in batches:
        if layout == "native":
            feats = [torch.FloatTensor(a) for a in reader.read([files[i] for i in batch])]
        elif layout == "np.load":
            feats = [torch.FloatTensor(np.load(files[i])) for i in batch]
        else:
            feats = [torch.from_numpy(np.ascontiguousarray(maps[s][o:o + t].T))
                     for s, o, t in (offsets[i] for i in batch)]
        assert all(f.shape[0] == NUM_FEATS for f in feats)
    report(layout=layout, cold=cold, ms_per_batch=1000 * (time.perf_counter() - start) / len(batches))


def write_shards(root: str, shards: str, per_shard: int = 1000) -> None:
    """The corpus's features as shards of ``per_shard`` utterances, (frames, 40) float32 each,
    with an (N, 3) table of each utterance's shard, first frame and frame count."""
    if os.path.exists(os.path.join(shards, "offsets.npy")):
        return
    os.makedirs(shards, exist_ok=True)
    files = list_npy_files(os.path.join(root, TRAIN_SET, "fbank"))
    offsets = []
    for s, start in enumerate(range(0, len(files), per_shard)):
        feats = [np.load(f) for f in files[start:start + per_shard]]
        first = np.cumsum([0] + [f.shape[1] for f in feats[:-1]])
        offsets += [(s, o, f.shape[1]) for o, f in zip(first, feats)]
        np.save(os.path.join(shards, f"shard-{s:04d}.npy"), np.concatenate([f.T for f in feats]))
    np.save(os.path.join(shards, "offsets.npy"), np.array(offsets, dtype=np.int64))


# The parts.

def part_storage(args) -> None:
    root, shards = os.path.join(args.work, "x1"), os.path.join(args.work, "shards-x1")
    write_shards(root, shards)
    rows = {}
    for _ in range(args.rounds):
        for cold in (True, False):
            for layout in ("native", "np.load", "shards"):
                (result,) = run_child(["storage", root, shards, layout, int(cold), 300])
                rows.setdefault((layout, cold), []).append(result["ms_per_batch"])
    print(f"\nstorage: ms per batch of {BATCH} (300 length-grouped batches of the 1x corpus, best of {args.rounds})")
    for cold in (True, False):
        base = min(rows[("native", cold)])
        print(f"  {'cold' if cold else 'warm'}: " + ", ".join(
            f"{layout} {min(rows[(layout, cold)]):.2f} ({min(rows[(layout, cold)]) / base:.2f}x)"
            for layout in ("native", "np.load", "shards")))


def part_memory(args) -> None:
    print(f"\nmemory: peak resident MiB of a training process (an epoch of batches of {BATCH}, "
          f"{args.steps} training steps)")
    results = {}
    for scale in args.scales:
        root = os.path.join(args.work, f"x{scale}")
        for storage in ("stream", "memory"):
            if storage == "memory" and scale not in args.memory_scales:
                continue
            (result,) = run_child(["memory", root, storage, args.recipe, args.steps])
            results[(storage, scale)] = result
            print(f"  {scale:2d}x {storage:6s}: peak {result['peak_mib']:6.0f} MiB ({result['data_peak_mib']:6.0f} "
                  f"before the model), built in {result['build_s']:5.1f} s, {result['batches']} batches in "
                  f"{result['epoch_s']:6.1f} s, {args.steps} steps in {result['steps_s']:5.1f} s", flush=True)
    for storage in ("stream", "memory"):
        scales = [s for s in args.scales if (storage, s) in results]
        if len(scales) > 1:
            low, high = results[(storage, scales[0])]["peak_mib"], results[(storage, scales[-1])]["peak_mib"]
            print(f"  {storage}: {scales[-1]}x against {scales[0]}x: {high / low:.2f}x the peak")
    print("  preparation's runner, a job per utterance (jobs that do nothing, 2 processes):")
    for scale in args.scales:
        (result,) = run_child(["jobs", UTTERANCES_PER_SCALE * scale])
        print(f"  {scale:2d}x: peak {result['peak_mib']:6.0f} MiB ({result['before_mib']:6.0f} before the jobs)",
              flush=True)
    print("  writing the stream index (preparation), warm:")
    for scale in args.scales:
        root = os.path.join(args.work, f"x{scale}")
        set_cache(partition_files(root), cold=False)
        for threads in sorted({1, NUM_THREADS}):
            (result,) = run_child(["index", root, threads])
            print(f"  {scale:2d}x, {threads} thread(s): peak {result['peak_mib']:6.0f} MiB, {result['seconds']:6.1f} s",
                  flush=True)


def part_ranks(args) -> None:
    print("\nranks: two processes under torchrun (Gloo), stream")
    launcher = [sys.executable, "-m", "torch.distributed.run", "--standalone", "--nproc_per_node=2"]
    for scale in (min(args.scales), max(args.scales)):
        root = os.path.join(args.work, f"x{scale}")
        results = sorted(run_child(["memory", root, "stream", args.recipe, args.steps], launcher),
                         key=lambda r: r["rank"])
        shares = [set(r["read"]) for r in results]
        count = UTTERANCES_PER_SCALE * scale
        print(f"  {scale:2d}x: batches {[r['batches'] for r in results]}, utterances read "
              f"{[len(r['read']) for r in results]} of {count}, shared by both {len(shares[0] & shares[1])}, "
              f"read by neither {count - len(shares[0] | shares[1])}; peak MiB "
              f"{[round(r['peak_mib']) for r in results]} ({[round(r['data_peak_mib']) for r in results]} before "
              "the model)", flush=True)


def part_throughput(args) -> None:
    runs = {True: [], False: []}
    for _ in range(args.rounds):
        for cold in (True, False):
            runs[cold] += run_child(["throughput", args.recipe, int(cold), args.batches, args.work])
    print(f"\nthroughput: the recipe's training set, batches of {BATCH}, both storages in turn in one process, "
          f"{args.rounds} round(s)")
    for cold, results in runs.items():
        label = "cold" if cold else "warm"
        for kind, what in (("train", "training"), ("data", "data alone")):
            stream, memory = (sum(r["seconds"][s][kind] for r in results) for s in ("stream", "memory"))
            batches = sum(r["batches"][kind] for r in results)
            print(f"  {label} {what} ({batches} batches): stream {1000 * stream / batches:.1f}, memory "
                  f"{1000 * memory / batches:.1f} ms per batch: stream at {memory / stream:.2f}x the throughput")
        built = {s: min(r["built"][s] for r in results) for s in ("stream", "memory")}
        print(f"  {label} construction: stream {built['stream']:.1f} s, memory {built['memory']:.1f} s")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        kind, rest = sys.argv[2], sys.argv[3:]
        if kind == "index":
            child_index(rest[0], int(rest[1]))
        elif kind == "jobs":
            child_jobs(int(rest[0]))
        elif kind == "memory":
            child_memory(rest[0], rest[1], rest[2], int(rest[3]))
        elif kind == "throughput":
            child_throughput(rest[0], bool(int(rest[1])), int(rest[2]), rest[3])
        else:
            child_storage(rest[0], rest[1], rest[2], bool(int(rest[3])), int(rest[4]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("recipe", help="a prepared recipe (its model; its training set for the throughput part)")
    parser.add_argument("--work", required=True, help="folder of the generated corpora (several GB at 16x)")
    parser.add_argument("--scales", type=int, nargs="+", default=[1, 4, 16])
    parser.add_argument("--memory-scales", type=int, nargs="+", default=[1, 4],
                        help="scales run with storage memory (16x holds 6.4 GB of features)")
    parser.add_argument("--parts", nargs="+", default=["storage", "memory", "ranks", "throughput"])
    parser.add_argument("--steps", type=int, default=10, help="training steps of the memory and ranks parts")
    parser.add_argument("--batches", type=int, default=40, help="training batches of the throughput part")
    parser.add_argument("--rounds", type=int, default=1, help="rounds of the storage and throughput parts")
    args = parser.parse_args()
    args.recipe, args.work = os.path.abspath(args.recipe), os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    if set(args.parts) & {"storage", "memory", "ranks"}:
        write_corpora(args.work, sorted(set(args.scales) | {1}))
    print(f"{os.cpu_count()} CPUs, torch {torch.__version__}, native reader threads {NUM_THREADS}")
    for part in args.parts:
        {"storage": part_storage, "memory": part_memory, "ranks": part_ranks, "throughput": part_throughput}[part](args)


if __name__ == "__main__":
    main()
