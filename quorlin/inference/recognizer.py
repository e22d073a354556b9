"""A trained recogniser that transcribes recordings of any length, from files or from memory.

    recognizer = Recognizer.from_run_folder("expts/demo-asr")
    for transcript in recognizer.transcribe(["talk.flac", (waveform, 44100)]):
        print(transcript.id, transcript.text)

Long recordings are read in blocks and split at pauses into segments the model can take
(``max_segment_seconds``); segments of all inputs are recognised in batches, each with a
search as long as its audio allows, and stitched back in order with their times.
"""
import os
from collections import deque
from pathlib import Path
from typing import Any, Deque, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import torch

from quorlin.data.maltrey import normalize_features
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.decoding.recognition import batch_scorer
from quorlin.decoding.sequence_generator import SequenceGenerator
from quorlin.errors import QuorlinError
from quorlin.inference.alignment import align_words, spread_words
from quorlin.inference.audio import AudioError, AudioSource, file_id
from quorlin.inference.results import Segment, Transcript
from quorlin.inference.segmentation import AudioSegment, keep_words, split_audio
from quorlin.prep.features import FRAME_LENGTH_MS, FRAME_SHIFT_MS, SAMPLE_RATE, compute_fbank
from quorlin.run_folder import RunFolderError, load_trained, read_recognizer_settings

Input = Union[str, Path, Tuple[Any, int]]
# A segment spans at most this share of the model's positions: a margin for the front end's edges.
_SEGMENT_SHARE = 0.95
_BLOCK_SECONDS = 30.0
# The weight of a language model fused in when neither the caller nor the dev set chose one.
DEFAULT_LM_WEIGHT = 0.3


class Search(NamedTuple):
    """A search setting: beam width (1 is greedy), the CTC head's weight in the joint score
    and the language model's weight in shallow fusion (used only with a language model)."""
    beam_width: int = 1
    ctc_weight: float = 0.0
    lm_weight: float = 0.0


class Recognizer:
    """A trained ``EncoderDecoderTransformer`` with what its inputs need, ready to transcribe.

    Args:
        model: the recogniser (moved to ``device`` and put in evaluation mode).
        tokenizer: its tokenizer.
        settings: the run folder's recogniser settings: ``norm`` and the training statistics
            (``global_mean``, ``global_std``) of its features, and optionally the ``search``
            chosen on a dev set (``beam_width``, ``ctc_weight``, ``lm_weight``), the default of
            ``transcribe`` (greedy search without CTC scores when none was chosen; an LM, when
            given, is fused in with weight 0.3 unless the dev set chose another).
        num_feats: filter-bank bins of its inputs.
        device: where to run; None picks CUDA when available.
        lm: a ``DecoderOnlyTransformer`` over the same tokenizer, for shallow fusion.
        ctc_trained: whether the model's CTC head was trained; its alignments time the words,
            else the words are spread over their segment.

    Example:
        >>> recognizer = Recognizer.from_run_folder("expts/demo-asr", lm="expts/demo-lm")
        >>> [t.text for t in recognizer.transcribe(["a.wav", "b.flac"], beam_width=10)]
    """

    def __init__(self, model, tokenizer: VaskTokenizer, settings: Dict[str, Any], num_feats: int,
                 device: Optional[str] = None, lm=None, ctc_trained: bool = True):
        self.device = parse_device(device)
        self.model = model.to(self.device).eval()
        self.tokenizer = tokenizer
        self.num_feats = int(num_feats)
        self.norm = settings["norm"]
        self.global_stats = None
        if self.norm == "global_mvn":
            self.global_stats = tuple(torch.tensor(settings[key], dtype=torch.float32)
                                      for key in ("global_mean", "global_std"))
        chosen = settings.get("search", {})
        self.default_search = Search(chosen.get("beam_width", 1), chosen.get("ctc_weight", 0.0),
                                     chosen.get("lm_weight", DEFAULT_LM_WEIGHT))
        self.lm = None if lm is None else lm.to(self.device).eval()
        self.ctc_trained = ctc_trained
        self._frames_per_position = _frames_per_position(self.model.source_embedding.calculate_downsampled_length,
                                                         self.model.max_len)
        # Seconds of audio per encoder position: the resolution of word times.
        self.position_seconds = self._frames_per_position * FRAME_SHIFT_MS / 1000
        self.max_segment_seconds = (_SEGMENT_SHARE * self.model.max_len * self._frames_per_position
                                    * FRAME_SHIFT_MS / 1000)
        # The fewest filter-bank frames the encoder takes: a 25 ms window, then one 10 ms shift per frame.
        self.min_frames = _min_frames(self.model.source_embedding.calculate_downsampled_length)
        self.min_seconds = (FRAME_LENGTH_MS + (self.min_frames - 1) * FRAME_SHIFT_MS) / 1000

    @classmethod
    def from_run_folder(cls, path, device: Optional[str] = None, lm=None) -> "Recognizer":
        """The recogniser of a run folder ("expts/<run name>" or a copy of it), with the
        language model of the run folder ``lm`` fused in when given.

        Raises:
            RunFolderError: a folder is not a trained run folder, or the language model was
                trained with another tokenizer.
        """
        device = parse_device(device)
        trained = load_trained("asr", path, device)
        language_model = None
        if lm is not None:
            trained_lm = load_trained("lm", lm, device)
            if trained_lm.tokenizer != trained.tokenizer:
                raise RunFolderError(f"the language model in {lm} was trained with another tokenizer than the "
                                     f"recogniser in {path}")
            language_model = trained_lm.model
        return cls(trained.model, trained.tokenizer, read_recognizer_settings(path),
                   trained.section["data"]["num_feats"], device, language_model,
                   trained.section.get("loss", {}).get("ctc_weight", 0) > 0)

    def transcribe(self, inputs: Sequence[Input], beam_width: Optional[int] = None,
                   ctc_weight: Optional[float] = None, lm_weight: Optional[float] = None,
                   batch_size: int = 16, max_length: Optional[int] = None,
                   ids: Optional[Sequence[str]] = None, skip_errors: bool = False) -> List[Transcript]:
        """Transcribes every input: an audio file's path, or a (waveform, sample rate) pair.

        Args:
            inputs: paths of WAV, FLAC or Ogg files (any sample rate; channels are averaged),
                or (waveform, sample_rate) pairs with a (samples,) or (channels, samples)
                tensor or array.
            beam_width, ctc_weight, lm_weight: the search (see ``Search``); by default the
                setting chosen on the dev set and kept in the run folder, else greedy search
                without CTC scores. ``lm_weight`` counts only with a language model.
            batch_size: segments recognised together.
            max_length: the longest transcript of one segment, in tokens; by default as long
                as the segment's audio allows.
            ids: the transcripts' ids (default: a file's name without its extension, or
                "input-<n>" for a waveform).
            skip_errors: give an input that cannot be read a transcript with ``error`` set
                (and empty text) instead of raising.

        Returns:
            one ``Transcript`` per input, in order.

        Raises:
            QuorlinError: an input cannot be read (unless ``skip_errors``), or a setting is
                out of range.
        """
        return list(self.transcribe_iter(inputs, beam_width, ctc_weight, lm_weight, batch_size, max_length, ids,
                                         skip_errors))

    def transcribe_iter(self, inputs: Iterable[Input], beam_width: Optional[int] = None,
                        ctc_weight: Optional[float] = None, lm_weight: Optional[float] = None,
                        batch_size: int = 16, max_length: Optional[int] = None,
                        ids: Optional[Sequence[str]] = None, skip_errors: bool = False) -> Iterator[Transcript]:
        """``transcribe`` one input at a time: each transcript is yielded as soon as it is done."""
        search = self.search(beam_width, ctc_weight, lm_weight)
        max_length = self._check_max_length(max_length)
        batch_size = _positive_int(batch_size, "batch_size")
        pending: List[Tuple["_Job", AudioSegment]] = []
        jobs: Deque[_Job] = deque()
        for n, item in enumerate(inputs):
            given = ids[n] if ids is not None else file_id(item) if isinstance(item, (str, os.PathLike)) \
                else f"input-{n}"
            job = _Job(given)
            jobs.append(job)
            try:
                source = AudioSource(item, given)
                job.duration = source.duration
                if source.duration < self.min_seconds:
                    raise AudioError(f"{source.name}: {source.duration * 1000:.0f} ms of audio is too short for the "
                                     f"recogniser, which needs at least {self.min_seconds * 1000:.0f} ms")
                for segment in split_audio(source.blocks(_BLOCK_SECONDS), self.max_segment_seconds):
                    if segment.end - segment.start < self.min_seconds:
                        continue  # a blip between pauses, too short to hold a word
                    pending.append((job, segment))
                    job.waiting += 1
                    if len(pending) == batch_size:
                        self._recognize(pending, search, max_length)
                        pending = []
                        yield from _finished(jobs)
            except QuorlinError as error:
                if not skip_errors:
                    raise
                job.error = str(error)
                pending = [(j, s) for j, s in pending if j is not job]
                job.waiting = 0
            job.read = True
            yield from _finished(jobs)
        if pending:
            self._recognize(pending, search, max_length)
        yield from _finished(jobs)

    def transcribe_features(self, features: Sequence[np.ndarray], search: Search, batch_size: int = 16,
                            max_length: Optional[int] = None) -> List[str]:
        """The transcripts of prepared filter banks (num_feats, frames), as ``prepare`` writes
        them (not normalised); an utterance longer than the model takes is split at its
        quietest frames."""
        texts = []
        pieces = [(n, piece) for n, feats in enumerate(features) for piece in self._fitting_pieces(feats)]
        for start in range(0, len(pieces), batch_size):
            batch = pieces[start:start + batch_size]
            hypotheses, _, _ = self._decode([feats for _, feats in batch], search, max_length)
            texts += list(zip((n for n, _ in batch), hypotheses))
        joined = [[] for _ in features]
        for n, text in texts:
            joined[n].append(text)
        return [" ".join(t for t in parts if t) for parts in joined]

    def search(self, beam_width: Optional[int] = None, ctc_weight: Optional[float] = None,
               lm_weight: Optional[float] = None) -> Search:
        """A checked search setting, each value given or else the recogniser's default."""
        default = self.default_search
        search = Search(default.beam_width if beam_width is None else beam_width,
                        default.ctc_weight if ctc_weight is None else ctc_weight,
                        default.lm_weight if lm_weight is None else lm_weight)
        if isinstance(search.beam_width, bool) or not isinstance(search.beam_width, int) or search.beam_width < 1:
            raise QuorlinError(f"the beam width must be an integer >= 1, got {search.beam_width!r}")
        if not (isinstance(search.ctc_weight, (int, float)) and 0.0 <= search.ctc_weight <= 1.0):
            raise QuorlinError(f"the CTC weight must lie in [0, 1], got {search.ctc_weight!r}")
        if not (isinstance(search.lm_weight, (int, float)) and 0.0 <= search.lm_weight < float("inf")):
            raise QuorlinError(f"the LM weight must be a finite number >= 0, got {search.lm_weight!r}")
        return Search(int(search.beam_width), float(search.ctc_weight), float(search.lm_weight))

    def _check_max_length(self, max_length: Optional[int]) -> Optional[int]:
        if max_length is None:
            return None
        if isinstance(max_length, bool) or not isinstance(max_length, int) or not 2 <= max_length <= self.model.max_len:
            raise QuorlinError(f"the longest transcript must lie in [2, {self.model.max_len}] tokens (the model's "
                               f"max_len), got {max_length!r}")
        return max_length

    def _features(self, samples: torch.Tensor) -> np.ndarray:
        return compute_fbank(samples, SAMPLE_RATE, self.num_feats)  # (num_feats, frames)

    def _fitting_pieces(self, feats: np.ndarray) -> List[np.ndarray]:
        """``feats`` (F, T) cut at its quietest frames until every piece fits the model."""
        limit = int(self._frames_per_position * self.model.max_len * _SEGMENT_SHARE)
        if feats.shape[1] <= limit:
            return [feats]
        energy = feats.mean(axis=0)  # (T,) mean log-mel energy of every frame
        middle = feats.shape[1] // 2
        window = slice(middle // 2, middle + middle // 2 + 1)
        cut = window.start + int(np.argmin(energy[window]))
        return self._fitting_pieces(feats[:, :cut]) + self._fitting_pieces(feats[:, cut:])

    def _normalised(self, feats: np.ndarray) -> torch.Tensor:
        mean, std = self.global_stats or (None, None)
        return normalize_features(torch.from_numpy(feats), self.norm, mean, std).T  # (F, T) -> (T, F)

    def _recognize(self, pending: List[Tuple["_Job", AudioSegment]], search: Search, max_length) -> None:
        """Recognises the segments of ``pending`` and files each one's words with its input."""
        feats = [self._features(segment.samples) for _, segment in pending]
        texts, ids, ctc = self._decode(feats, search, max_length, align=self.ctc_trained)
        for (job, segment), text, row_ids, log_probs in zip(pending, texts, ids, ctc):
            if self.ctc_trained:
                words = align_words(log_probs, row_ids, self.tokenizer, self.position_seconds, segment.start)
            else:
                words = spread_words(text.split(), segment.start, segment.end)
            kept = keep_words(segment, words)
            if len(kept) != len(words):
                text = " ".join(word.text for word in kept)
            start = kept[0].start if kept else segment.keep_start
            end = kept[-1].end if kept else segment.keep_end
            job.segments.append(Segment(start, end, text, kept))
            job.waiting -= 1

    @torch.inference_mode()
    def _decode(self, feats: Sequence[np.ndarray], search: Search, max_length: Optional[int],
                align: bool = False) -> Tuple[List[str], List[List[int]], List[Optional[torch.Tensor]]]:
        """Recognises a batch of filter banks (F, T): texts, token ids and, with ``align``, the
        CTC head's log-probabilities (S_i, V) of every utterance (else None for each)."""
        rows = [self._normalised(f) for f in feats]
        lengths = torch.tensor([row.size(0) for row in rows], device=self.device)
        padded = torch.nn.utils.rnn.pad_sequence(rows, batch_first=True).to(self.device)  # (B, T, F)
        encoder_output, pad_mask_src, _, ctc_inputs = self.model.encode(padded, lengths)
        if max_length is None:
            # Every label needs an encoder frame under CTC: the search never needs more.
            max_length = min(self.model.max_len, int(ctc_inputs["lengths"].max()) + 2)
        config = {"beam_width": search.beam_width, "ctc_weight": search.ctc_weight,
                  "lm_model": self.lm, "lm_weight": search.lm_weight}
        generator = SequenceGenerator(score_fn=batch_scorer(self.model, self.tokenizer, encoder_output,
                                                            pad_mask_src, ctc_inputs, config),
                                      tokenizer=self.tokenizer, max_length=max_length, device=self.device)
        prompts = torch.full((len(rows), 1), self.tokenizer.sos_id, dtype=torch.long, device=self.device)
        if search.beam_width > 1:
            seqs, _ = generator.generate_beam(prompts, beam_width=search.beam_width)
            seqs = seqs[:, 0]  # the best beam: (B, L)
        else:
            seqs, _ = generator.generate_greedy(prompts)
        rows = [row.tolist() for row in generator.post_process_sequence(seqs, self.tokenizer)]
        texts = [self.tokenizer.decode(row, skip_special_tokens=True) for row in rows]
        if not align:
            return texts, rows, [None] * len(rows)
        log_probs = ctc_inputs["log_probs"].transpose(0, 1).float().cpu()  # (S, B, V) -> (B, S, V)
        return texts, rows, [log_probs[b, :int(n)] for b, n in enumerate(ctc_inputs["lengths"])]


class _Job:
    """One input's progress: its segments as they are recognised."""

    def __init__(self, utt_id: str):
        self.id = utt_id
        self.duration = 0.0
        self.segments: List[Segment] = []
        self.waiting = 0
        self.read = False
        self.error: Optional[str] = None

    def transcript(self) -> Transcript:
        if self.error is not None:
            return Transcript(self.id, "", self.duration, [], self.error)
        segments = [s for s in self.segments if s.text]
        return Transcript(self.id, " ".join(s.text for s in segments), self.duration, segments)


def _finished(jobs: Deque[_Job]) -> Iterator[Transcript]:
    """Transcripts of the leading inputs that are read and recognised, in input order."""
    while jobs and jobs[0].read and jobs[0].waiting == 0:
        yield jobs.popleft().transcript()


def _frames_per_position(reduced_length, max_len: int) -> float:
    """Filter-bank frames per encoder position of the front end (its time reduction)."""
    frames = torch.tensor([1000 * max_len])
    return 1000 * max_len / float(reduced_length(frames))


def _min_frames(reduced_length) -> int:
    """The fewest filter-bank frames from which the front end makes one encoder position."""
    frames = torch.arange(1, 1001)
    return int(frames[reduced_length(frames) >= 1][0])


def _positive_int(value, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise QuorlinError(f"{name} must be an integer >= 1, got {value!r}")
    return value


def parse_device(device: Optional[str]) -> str:
    """"cpu", "cuda" or "cuda:N" as given, checked; None picks CUDA when available."""
    if device is None:
        return "cuda" if torch.cuda.is_available() else "cpu"
    try:
        parsed = torch.device(device)
    except (RuntimeError, TypeError):
        raise QuorlinError(f"unknown device {device!r}: give cpu, cuda or cuda:N") from None
    if parsed.type not in ("cpu", "cuda"):
        raise QuorlinError(f"unknown device {device!r}: give cpu, cuda or cuda:N")
    if parsed.type == "cuda":
        if not torch.cuda.is_available():
            raise QuorlinError(f"device {device!r} asked for, but CUDA is not available here")
        if parsed.index is not None and parsed.index >= torch.cuda.device_count():
            raise QuorlinError(f"device {device!r} asked for, but this machine has {torch.cuda.device_count()} GPU(s)")
    return device
