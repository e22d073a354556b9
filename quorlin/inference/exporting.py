"""A trained recogniser exported for the C++ runtime: its model parts compiled ahead of time,
and a manifest of everything else that transcription needs.

    quorlin export expts/demo-asr -o demo-export/ --lm expts/demo-lm

The parts are ``torch.export`` programs whose varying dimensions are all dynamic, compiled
and packaged by AOTInductor for the CPU that exports them (``torch._inductor``); LibTorch's
``AOTIModelPackageLoader`` runs them from C++ without Python. With L decoder layers of h
heads of width dh:

- ``encoder.pt2``: normalised filter banks (1, T, F) and their valid frames (1,) -> the CTC
  head's log-probabilities (S, V), the decoder's cross-attention keys and values of the
  segment (L, 2, h, S, dh) and the valid positions (1,). An encoder dimension of one position
  cannot stay dynamic in an export, so the shortest segments come padded, as in a batch;
- ``decoder.pt2``: one decoder step of N segments searched together, W rows (beams) each:
  their newest tokens (N, W); where each row's earlier positions are kept, (N, W, t); the
  self-attention keys and values of the t positions before, (t, L, 2, P, h, dh); and the
  segments' cross-attention keys and values, padded to the longest, with their valid
  positions, (L, 2, N, h, S, dh) and (N,) -> next-token log-probabilities (N, W, V) and the
  keys and values of the new position (L, 2, N, W, h, dh);
- ``lm.pt2``: one step of the language model over R rows: tokens (R,), where each row's
  earlier positions are kept, (R, t), and past keys and values (t, L, 2, P, h, dh) -> (R, V)
  and (L, 2, R, h, dh).

Beside them the folder carries the Silero VAD network as the silero-vad package ships it
(``silero_vad.jit``, TorchScript, which LibTorch loads as it is) and the manifest: the
vocabulary, the features, the training durations that segments are aimed at, the timing of
encoder frames, and the search.

A beam search makes rows follow other rows. Rather than moving every cached key and value
after each step, the runtime keeps position p of every row where it was computed, in slot
``ancestors[row, p]`` of position p, and the step gathers each row's keys and values from
there: the gathered values are those a reordered cache would hold.

The steps run the models' own ``score_cached`` over stand-ins for their caches, so they
compute what the Python search computes. An export checks itself before anything is
written: every part gives the eager model's outputs within ``TOLERANCE`` on inputs of
several lengths.
"""
import json
import secrets
import shutil
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

import torch
import torch.nn as nn

from quorlin._files import write_text
from quorlin.errors import QuorlinError
from quorlin.inference.recognizer import Recognizer
from quorlin.inference.vad import silero_model_path
from quorlin.layout import EXPORT_MANIFEST, EXPORT_PARTS, EXPORT_VAD
from quorlin.prep.features import FRAME_LENGTH_MS, FRAME_SHIFT_MS, SAMPLE_RATE
from quorlin.run_folder import file_sha256

FORMAT = "quorlin-export"
FORMAT_VERSION = 2
TOLERANCE = 1e-4
# The most segments and beams per segment one decoder step takes, and rows one LM step takes.
MAX_SEGMENTS, MAX_BEAMS = 256, 256
MAX_ROWS = MAX_SEGMENTS * MAX_BEAMS


@dataclass
class ExportSummary:
    """What ``export`` wrote: the folder, its parts, the largest difference between a part and
    the eager model on the check inputs, and the seconds it took."""
    folder: Path
    parts: List[str]
    largest_difference: float
    seconds: float


def export(run, output, lm=None, overwrite: bool = False) -> ExportSummary:
    """Exports the recogniser of a trained run folder (and a language model for fusion) to a
    folder that the C++ runtime (``quorlin-transcribe``) transcribes with.

    The folder is written whole or not at all: the parts are compiled and checked in a
    temporary folder beside it, which then takes its place.

    Args:
        run: the recogniser's run folder.
        output: the export folder to write: absent, empty, or replaced with ``overwrite``.
        lm: a language model's run folder with the recogniser's tokenizer, or None.
        overwrite: replace an export folder that holds files.

    Raises:
        QuorlinError: a run folder is not trained, the language model has another tokenizer,
            the output folder is in the way, or a part does not reproduce the model.

    Example:
        >>> summary = export("expts/demo-asr", "demo-export", lm="expts/demo-lm")
        >>> summary.parts, summary.largest_difference < TOLERANCE
        (['encoder', 'decoder', 'lm'], True)
    """
    started = time.monotonic()
    output = Path(output)
    _check_output(output, [Path(run)] + ([Path(lm)] if lm is not None else []), overwrite)
    recognizer = Recognizer.from_run_folder(run, device="cpu", lm=lm)  # read locked, by the checked readers
    silero = silero_model_path()
    export_id = secrets.token_hex(8)
    output.parent.mkdir(parents=True, exist_ok=True)
    staging = output.parent / f".{output.name}.{export_id}.tmp"
    staging.mkdir()
    try:
        limits = _frame_limits(recognizer.model)
        largest = _export_parts(recognizer, staging, export_id, limits)
        shutil.copyfile(silero, staging / EXPORT_VAD)
        manifest = _manifest(recognizer, export_id)
        write_text(staging / EXPORT_MANIFEST, json.dumps(manifest, indent=1, ensure_ascii=False) + "\n")
        if output.exists():
            shutil.rmtree(output)
        staging.rename(output)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return ExportSummary(output, list(manifest["parts"]), largest, time.monotonic() - started)


def _check_output(output: Path, runs: Sequence[Path], overwrite: bool) -> None:
    if output.exists() and not output.is_dir():
        raise QuorlinError(f"{output} exists and is not a folder")
    resolved = output.resolve()
    for run in runs:
        if resolved == run.resolve() or resolved in run.resolve().parents:
            raise QuorlinError(f"{output} holds the run folder {run}; choose another export folder")
    if output.is_dir() and any(output.iterdir()) and not overwrite:
        raise QuorlinError(f"{output} exists and is not empty; give --overwrite to replace it")


@dataclass
class _FrameLimits:
    """Filter-bank frames the exported encoder takes: from the fewest that make two encoder
    positions (fewer, down to the ``least`` that make one, come padded to these) to the most
    that make ``max_len``."""
    least: int
    fewest: int
    most: int


def _frame_limits(model) -> _FrameLimits:
    frames = torch.arange(1, 16 * (model.max_len + 2))
    positions = model.source_embedding.calculate_downsampled_length(frames)
    return _FrameLimits(int(frames[positions >= 1][0]), int(frames[positions >= 2][0]),
                        int(frames[positions <= model.max_len][-1]))


# Stand-ins for the caches of a search, so that one traced step runs the models' own code.

class _PastKeysValues:
    """One layer's ``KeyValueCache`` in a traced step: the keys and values of the positions
    before come in as a tensor; the new position's are kept in ``new``."""

    def __init__(self, past: torch.Tensor):
        self.past = past.permute(1, 2, 3, 0, 4)  # (t, 2, R, h, dh) -> (2, R, h, t, dh)
        self.new: Optional[torch.Tensor] = None

    def append(self, kv: torch.Tensor, start: int) -> torch.Tensor:
        self.new = kv  # (2, R, h, 1, dh)
        return torch.cat([self.past, kv], dim=3)  # (2, R, h, t + 1, dh)


class _SegmentsMemory:
    """An ``EncoderMemory`` of N segments whose rows are W consecutive ones each, in order."""

    def __init__(self, memory: torch.Tensor, lengths: torch.Tensor, beams: int):
        self.kv = list(memory.unbind(0))  # (2, N, h, S, dh) per layer
        N, S = memory.size(2), memory.size(4)
        self.segments, self.beams = N, beams
        positions = torch.arange(S, device=memory.device)
        self.attend = (positions < lengths.unsqueeze(1))[:, None, None, :]  # (N, 1, 1, S)

    def group(self, x: torch.Tensor) -> torch.Tensor:
        _, T, d = x.shape
        return x.reshape(self.segments, self.beams * T, d)  # (N * W, T, d) -> (N, W * T, d)

    def ungroup(self, x: torch.Tensor) -> torch.Tensor:
        # One new position per row: (N, W, d) -> (N * W, 1, d).
        return x.reshape(self.segments * self.beams, 1, x.size(-1))


class _StepCache:
    """A ``DecoderCache`` in a traced step: the keys and values of position p of row r are in
    slot ancestors[r, p] of past (t, L, 2, P, h, dh)."""

    def __init__(self, past: torch.Tensor, ancestors: torch.Tensor, memory: Optional[_SegmentsMemory] = None):
        self.length = past.size(0)
        t, R = past.size(0), ancestors.size(0)
        index = ancestors.t()[:, None, :, None, None]  # (R, t) -> (t, 1, R, 1, 1)
        self.self_attn = [_PastKeysValues(torch.gather(layer, 2, index.expand(t, 2, R, *layer.shape[3:])))
                          for layer in past.unbind(1)]  # (t, 2, P, h, dh) -> (t, 2, R, h, dh)
        self.memory = memory

    def new_keys_values(self) -> torch.Tensor:
        return torch.stack([layer.new[:, :, :, 0] for layer in self.self_attn])  # (L, 2, R, h, dh)


class _Encoder(nn.Module):
    def __init__(self, model):
        super().__init__()
        self.model = model

    def forward(self, feats: torch.Tensor, lengths: torch.Tensor):
        encoder_output, _, _, ctc = self.model.encode(feats, lengths)
        memory = torch.stack([layer.cross_attn.memory_keys_values(encoder_output)[:, 0]
                              for layer in self.model.dec_layers])  # (L, 2, h, S, dh)
        return ctc["log_probs"][:, 0], memory, ctc["lengths"]  # (S, 1, V) -> (S, V)


class _RecognizerStep(nn.Module):
    def __init__(self, model):
        super().__init__()
        self.model = model

    def forward(self, tokens: torch.Tensor, ancestors: torch.Tensor, past: torch.Tensor, memory: torch.Tensor,
                lengths: torch.Tensor):
        N, W = tokens.shape
        cache = _StepCache(past, ancestors.flatten(0, 1), _SegmentsMemory(memory, lengths, W))
        log_probs = self.model.score_cached(tokens.reshape(N * W, 1), cache)  # (N, W) -> (N * W, 1) -> (R, V)
        return log_probs.reshape(N, W, -1), cache.new_keys_values().unflatten(2, (N, W))


class _LanguageModelStep(nn.Module):
    def __init__(self, model):
        super().__init__()
        self.model = model

    def forward(self, tokens: torch.Tensor, ancestors: torch.Tensor, past: torch.Tensor):
        cache = _StepCache(past, ancestors)
        log_probs = self.model.score_cached(tokens.unsqueeze(1), cache)  # (R,) -> (R, 1) -> (R, V)
        return log_probs, cache.new_keys_values()


def _heads(model) -> Dict[str, int]:
    attention = model.dec_layers[0].self_attn.mha
    return {"layers": len(model.dec_layers), "num_heads": attention.num_heads, "head_dim": attention.head_dim,
            "max_len": model.max_len, "vocab_size": model.num_classes}


def _export_parts(recognizer: Recognizer, folder: Path, export_id: str, limits: _FrameLimits) -> float:
    """Exports, compiles and checks every part into ``folder``; returns the largest difference."""
    from torch.export import Dim

    model, lm = recognizer.model, recognizer.lm
    generator = torch.Generator().manual_seed(0)
    segments, beams = Dim("segments", min=1, max=MAX_SEGMENTS), Dim("beams", min=1, max=MAX_BEAMS)
    rows, slots = Dim("rows", min=1, max=MAX_ROWS), Dim("slots", min=1, max=MAX_ROWS)
    past = Dim("past", min=0, max=model.max_len - 1)
    parts = {
        "encoder": (_Encoder(model),
                    (torch.randn(1, limits.fewest + 8, recognizer.num_feats, generator=generator),
                     torch.tensor([limits.fewest + 8])),
                    {"feats": {1: Dim("frames", min=limits.fewest, max=limits.most)}, "lengths": None}),
        "decoder": (_RecognizerStep(model), _decoder_example(model, generator),
                    {"tokens": {0: segments, 1: beams}, "ancestors": {0: segments, 1: beams, 2: past},
                     "past": {0: past, 3: slots}, "lengths": {0: segments},
                     "memory": {2: segments, 4: Dim("positions", min=1, max=model.max_len)}}),
    }
    if lm is not None:
        lm_past = Dim("lm_past", min=0, max=lm.max_len - 1)
        parts["lm"] = (_LanguageModelStep(lm), _lm_example(lm, generator),
                       {"tokens": {0: rows}, "ancestors": {0: rows, 1: lm_past}, "past": {0: lm_past, 3: slots}})
    compiled = {}
    for name, (module, example, dynamic) in parts.items():
        # A part carries the sizes its static dimensions were compiled for: the runtime checks
        # its inputs against them, since a compiled part does not.
        sizes = _heads(lm if name == "lm" else model)
        if name == "encoder":
            sizes.update(num_mel_bins=recognizer.num_feats, min_frames=limits.fewest, max_frames=limits.most)
        elif name == "decoder":
            sizes.update(max_segments=MAX_SEGMENTS, max_beams=MAX_BEAMS)
        else:
            sizes.update(max_rows=MAX_ROWS)
        metadata = {"quorlin.export": export_id, "quorlin.part": name,
                    **{f"quorlin.{key}": str(value) for key, value in sizes.items()}}
        try:
            with torch.no_grad():
                program = torch.export.export(module.eval(), example, dynamic_shapes=dynamic,
                                              prefer_deferred_runtime_asserts_over_guards=True)
                path = torch._inductor.aoti_compile_and_package(
                    program, package_path=str(folder / EXPORT_PARTS[name]),
                    inductor_configs={"aot_inductor.metadata": metadata})
        except Exception as error:  # torch.export and the compiler report failures in many ways
            reason = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
            what = "language model" if name == "lm" else "recogniser"
            raise QuorlinError(f"the {name} of the {what} cannot be exported: {reason}") from None
        compiled[name] = torch._inductor.aoti_load_package(path)
    return _check_parts(recognizer, {name: module for name, (module, _, _) in parts.items()}, compiled, limits,
                        generator)


def _past(model, generator: torch.Generator, length: int, slots: int) -> torch.Tensor:
    """Random keys and values of ``length`` positions before a step: (t, L, 2, slots, h, dh)."""
    shapes = _heads(model)
    return torch.randn(length, shapes["layers"], 2, slots, shapes["num_heads"], shapes["head_dim"],
                       generator=generator)


def _decoder_example(model, generator: torch.Generator, segments: int = 3, beams: int = 2, length: int = 5,
                     positions: int = 9, slots: int = 7) -> tuple:
    """Inputs of one decoder step: tokens (N, W), ancestors (N, W, t), past keys and values,
    and the segments' cross-attention keys and values with their lengths."""
    shapes = _heads(model)
    memory = torch.randn(shapes["layers"], 2, segments, shapes["num_heads"], positions, shapes["head_dim"],
                         generator=generator)
    lengths = torch.randint(1, positions + 1, (segments,), generator=generator)
    lengths[0] = positions
    return (torch.randint(0, model.num_classes, (segments, beams), generator=generator),
            torch.randint(0, slots, (segments, beams, length), generator=generator),
            _past(model, generator, length, slots), memory, lengths)


def _lm_example(model, generator: torch.Generator, rows: int = 3, length: int = 5, slots: int = 7) -> tuple:
    return (torch.randint(0, model.num_classes, (rows,), generator=generator),
            torch.randint(0, slots, (rows, length), generator=generator), _past(model, generator, length, slots))


def _in_place(rows: int, length: int, *shape: int) -> torch.Tensor:
    """Ancestors of rows that never moved: row r's positions all in slot r, (*shape, t)."""
    return torch.arange(rows)[:, None].expand(rows, length).reshape(*shape, length).contiguous()


def _check_parts(recognizer: Recognizer, modules: Dict[str, nn.Module], compiled: Dict[str, Any],
                 limits: _FrameLimits, generator: torch.Generator) -> float:
    """The largest difference between the compiled parts and the eager models; a
    ``QuorlinError`` when one exceeds ``TOLERANCE``.

    The encoder is run on filter banks of the fewest, a middle and the most frames, and on the
    shortest a recogniser takes, padded. The decoder steps, from the start token on, over two
    segments of different lengths with 1 and 3 beams each, against the model's ``score`` of
    the whole prefixes over the padded batch of both; the language model's likewise over 1 and
    4 rows; each step also at the last position it allows, against its eager module.
    """
    model, lm = recognizer.model, recognizer.lm
    largest = 0.0

    def compare(what: str, got: torch.Tensor, expected: torch.Tensor) -> None:
        nonlocal largest
        if got.shape != expected.shape:
            raise QuorlinError(f"the exported {what} has shape {tuple(got.shape)}, the model {tuple(expected.shape)}")
        difference = float((got - expected).abs().max()) if got.numel() else 0.0
        if not difference <= TOLERANCE:
            raise QuorlinError(f"the exported {what} differs from the model by {difference:.3g} "
                               f"(more than {TOLERANCE:g})")
        largest = max(largest, difference)

    with torch.inference_mode():
        middle = (limits.fewest + limits.most) // 2
        encoded = []
        for T in (limits.least, limits.fewest, middle, limits.most):
            feats = torch.randn(1, T, recognizer.num_feats, generator=generator)
            padded = torch.nn.functional.pad(feats, (0, 0, 0, max(0, limits.fewest - T)))  # (1, T', F)
            log_probs, memory, positions = compiled["encoder"](padded, torch.tensor([T]))
            encoder_output, _, _, ctc = model.encode(feats, torch.tensor([T]))
            S = int(positions)
            compare(f"encoder ({T} frames: CTC log-probabilities)", log_probs[:S], ctc["log_probs"][:, 0])
            for i, layer in enumerate(model.dec_layers):
                compare(f"encoder ({T} frames: keys and values of decoder layer {i + 1})", memory[i, :, :, :S],
                        layer.cross_attn.memory_keys_values(encoder_output)[:, 0])
            if T in (limits.fewest, middle):
                encoded.append((feats[0], memory[:, :, :, :S]))
        # Two segments as one padded batch, for the eager model and for the compiled step.
        feats = torch.nn.utils.rnn.pad_sequence([f for f, _ in encoded], batch_first=True)  # (2, T, F)
        lengths = torch.tensor([f.size(0) for f, _ in encoded])
        encoder_output, pad_mask, _, ctc = model.encode(feats, lengths)
        S = encoder_output.size(1)
        memory = torch.stack([torch.nn.functional.pad(m, (0, 0, 0, S - m.size(3))) for _, m in encoded], dim=2)
        for W in (1, 3):
            prefix = torch.full((2 * W, 1), recognizer.tokenizer.sos_id)
            past = _past(model, generator, 0, 2 * W)
            for t in range(min(6, model.max_len - 1)):
                # The compiled parts assume contiguous inputs: they read a strided view wrongly.
                log_probs, new = compiled["decoder"](prefix[:, -1].reshape(2, W).contiguous(),
                                                     _in_place(2 * W, t, 2, W), past, memory, ctc["lengths"])
                compare(f"decoder step (2 segments of {W} beams, position {t})", log_probs.reshape(2 * W, -1),
                        model.score(prefix, encoder_output, pad_mask))
                past = torch.cat([past, new.flatten(2, 3).unsqueeze(0)])  # (t + 1, L, 2, N * W, h, dh)
                prefix = torch.cat([prefix, torch.randint(4, model.num_classes, (2 * W, 1), generator=generator)], 1)
        last = _decoder_example(model, generator, length=model.max_len - 1, positions=model.max_len)
        for got, expected in zip(compiled["decoder"](*last), modules["decoder"](*last)):
            compare(f"decoder step (position {model.max_len - 1})", got, expected)
        if lm is not None:
            for R in (1, 4):
                prefix = torch.full((R, 1), recognizer.tokenizer.sos_id)
                past = _past(lm, generator, 0, R)
                for t in range(min(6, lm.max_len - 1)):
                    log_probs, new = compiled["lm"](prefix[:, -1].contiguous(), _in_place(R, t, R), past)
                    compare(f"lm step ({R} rows, position {t})", log_probs, lm.score(prefix))
                    past = torch.cat([past, new.unsqueeze(0)])  # (t + 1, L, 2, R, h, dh)
                    prefix = torch.cat([prefix, torch.randint(4, lm.num_classes, (R, 1), generator=generator)], 1)
            last = _lm_example(lm, generator, length=lm.max_len - 1)
            for got, expected in zip(compiled["lm"](*last), modules["lm"](*last)):
                compare(f"lm step (position {lm.max_len - 1})", got, expected)
    return largest


def _manifest(recognizer: Recognizer, export_id: str) -> Dict[str, Any]:
    """The export's manifest: what the parts do not hold (see docs/cpp-runtime.md)."""
    tokenizer, search = recognizer.tokenizer, recognizer.default_search
    parts = {name: file for name, file in EXPORT_PARTS.items() if name != "lm" or recognizer.lm is not None}
    features = {"sample_rate": SAMPLE_RATE, "frame_length_ms": FRAME_LENGTH_MS, "frame_shift_ms": FRAME_SHIFT_MS,
                "num_mel_bins": recognizer.num_feats, "norm": recognizer.norm}
    if recognizer.global_stats is not None:
        features["global_mean"], features["global_std"] = (t.tolist() for t in recognizer.global_stats)
    frame_seconds, shift = recognizer.frame_times()
    return {
        "format": FORMAT,
        "version": FORMAT_VERSION,
        "export": export_id,
        "parts": parts,
        "vad": {"silero": EXPORT_VAD},
        "checkpoint": {"file": recognizer.checkpoint.name, "sha256": file_sha256(recognizer.checkpoint)},
        "tokenizer": {"pieces": tokenizer.piece_texts(), "escaped": tokenizer.escaped, "pad_id": tokenizer.pad_id,
                      "sos_id": tokenizer.sos_id, "eos_id": tokenizer.eos_id},
        "features": features,
        "segments": {"train_durations": recognizer.segment_lengths.quantiles,
                     "max_seconds": recognizer.max_segment_seconds, "min_seconds": recognizer.min_seconds},
        "word_times": {"frame_seconds": frame_seconds, "shift_seconds": shift},
        "ctc_trained": recognizer.ctc_trained,
        "search": {"beam_width": search.beam_width, "ctc_weight": search.ctc_weight, "lm_weight": search.lm_weight},
    }
