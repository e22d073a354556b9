"""A trained recogniser that transcribes recordings of any length, from files or from memory.

    recognizer = Recognizer.from_run_folder("expts/demo-asr")
    texts = {t.id: t.text for t in recognizer.transcribe(["talk.flac", (waveform, 44100)], ids=["talk", "memo"])}

A recording no longer than the model's longest training utterance is recognised whole. Longer
ones are read in blocks and cut at pauses, found by a voice activity detector, into segments
as long as the training utterances; segments of all inputs are recognised in batches, each
with a search as long as its own audio allows, and stitched back in order with their times.
"""
import os
from collections import deque
from pathlib import Path
from typing import Any, Deque, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np
import torch

from quorlin._checks import as_positive_int
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.decoding.recognition import Hypothesis, Search, recognize_batch
from quorlin.errors import QuorlinError
from quorlin.inference.alignment import align_words
from quorlin.inference.audio import AudioError, AudioSource, file_id
from quorlin.inference.ctc_speech import CtcSpeech
from quorlin.inference.results import Segment, Transcript, Word, spread_words
from quorlin.inference.segmentation import AudioSegment, SegmentLengths, keep_words, split_audio
from quorlin.inference.vad import DEFAULT_VAD, SpeechDetector, speech_detector
from quorlin.prep.features import (FRAME_LENGTH_MS, FRAME_SHIFT_MS, SAMPLE_RATE, compute_fbank, feature_seconds,
                                   normalize_features)
from quorlin.recipe_schema import MAX_BEAM_WIDTH
from quorlin.run_folder import RunFolderError, load_trained, read_recognizer_settings, reading_run_folder

Input = Union[str, Path, Tuple[Any, int]]
# A segment spans at most this share of the model's positions: a margin for the front end's edges.
_SEGMENT_SHARE = 0.95
_BLOCK_SECONDS = 30.0
# Segments wait until this many batches' worth are found, and are then searched in batches of
# about the same length: a batch is padded to its longest segment and searched until its last
# row ends. The longest go first, so that the later batches reuse the memory of the first.
_POOLED_BATCHES = 4
# The search of a run folder that was never evaluated: joint CTC/attention beam search when the
# CTC head was trained, else greedy search; a language model, when given, is fused in with 0.3.
DEFAULT_SEARCH, DEFAULT_SEARCH_WITHOUT_CTC = Search(10, 0.3, 0.3), Search(1, 0.0, 0.3)


class Recognizer:
    """A trained ``EncoderDecoderTransformer`` with what its inputs need, ready to transcribe.

    Args:
        model: the recogniser (moved to ``device`` and put in evaluation mode).
        tokenizer: its tokenizer.
        settings: the run folder's recogniser settings: ``norm`` and the training statistics
            (``global_mean``, ``global_std``) of its features, and optionally the ``search``
            chosen on a dev set (``beam_width``, ``ctc_weight``, ``lm_weight``), the default of
            ``transcribe``. Where none was chosen: beam 10 with CTC weight 0.3 when the CTC
            head was trained, else greedy search; an LM, when given, fused in with weight 0.3.
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
        self.ctc_trained = ctc_trained
        self.checkpoint: Optional[Path] = None  # the checkpoint file of a run folder's recogniser
        default = DEFAULT_SEARCH if ctc_trained else DEFAULT_SEARCH_WITHOUT_CTC
        chosen = settings.get("search", {})
        self.default_search = Search(*(chosen.get(key, value) for key, value in default._asdict().items()))
        self.lm = None if lm is None else lm.to(self.device).eval()
        self._frames_per_position = _frames_per_position(self.model.source_embedding.calculate_downsampled_length,
                                                         self.model.max_len)
        self.max_segment_seconds = (_SEGMENT_SHARE * self.model.max_len * self._frames_per_position
                                    * FRAME_SHIFT_MS / 1000)
        # Segments are aimed at the durations of the training utterances; a run folder that
        # does not know them aims at any length the model takes.
        quantiles = settings.get("train_durations") or torch.linspace(1.0, self.max_segment_seconds, 21).tolist()
        self.segment_lengths = SegmentLengths(quantiles, self.max_segment_seconds)
        self._min_frames = _min_frames(self.model.source_embedding.calculate_downsampled_length)
        self.min_seconds = feature_seconds(self._min_frames)
        # Which ids are letters: the blank (padding), start and end ids and spaces are not.
        self._letters = torch.tensor([bool(text.strip()) for text in tokenizer.piece_texts()])

    @classmethod
    def from_run_folder(cls, path, device: Optional[str] = None, lm=None,
                        checkpoint: Optional[str] = None) -> "Recognizer":
        """The recogniser of a run folder ("expts/<run name>" or a copy of it), with the
        language model of the run folder ``lm`` fused in when given.

        Args:
            checkpoint: the file in the run folder's checkpoints to take the weights from; by
                default the one its chosen search was scored with, else the best epoch's.

        Raises:
            RunFolderError: a folder is not a trained run folder, or the language model was
                trained with another tokenizer.
        """
        device = parse_device(device)
        with reading_run_folder(path):
            settings = read_recognizer_settings(path)
            trained = load_trained("asr", path, device, checkpoint or settings.get("search", {}).get("checkpoint"))
        language_model = None
        if lm is not None:
            trained_lm = load_trained("lm", lm, device)
            if trained_lm.tokenizer != trained.tokenizer:
                raise RunFolderError(f"the language model in {lm} was trained with another tokenizer than the "
                                     f"recogniser in {path}")
            language_model = trained_lm.model
        recognizer = cls(trained.model, trained.tokenizer, settings, trained.section["data"]["num_feats"], device,
                         language_model, trained.section.get("loss", {}).get("ctc_weight", 0) > 0)
        recognizer.checkpoint = trained.checkpoint
        return recognizer

    def transcribe(self, inputs: Sequence[Input], beam_width: Optional[int] = None,
                   ctc_weight: Optional[float] = None, lm_weight: Optional[float] = None,
                   batch_size: int = 16, max_length: Optional[int] = None,
                   ids: Optional[Sequence[str]] = None, skip_errors: bool = False,
                   vad: Optional[str] = None) -> List[Transcript]:
        """Transcribes every input: an audio file's path, or a (waveform, sample rate) pair.

        Args:
            inputs: paths of audio files (WAV, FLAC, Ogg, MP3, ...: any that soundfile reads, at
                any sample rate; channels are averaged), or (waveform, sample_rate) pairs (see
                ``AudioSource``); a single path is one input.
            beam_width, ctc_weight, lm_weight: the search (see ``Search``); by default the
                setting chosen on the dev set and kept in the run folder, else joint CTC/attention
                beam search (beam 10, CTC weight 0.3; greedy search for a recogniser trained
                without CTC). ``lm_weight`` counts only with a language model (default 0.3).
            batch_size: segments recognised together. Up to four batches' worth wait, so that
                segments of about the same length are searched together; a transcript does not
                depend on which.
            max_length: the longest transcript of one segment, in tokens; by default as long
                as the segment's audio allows.
            ids: the transcripts' ids (default: a file's name without its extension, or
                "input-<n>" for a waveform).
            skip_errors: give an input that cannot be read (or a waveform of the wrong type or
                shape) a transcript with ``error`` set and empty text, instead of raising.
            vad: the voice activity detector that finds the speech: "silero" (the default, a
                small neural network that holds in noise) or "energy" (frame energies against
                the noise floor).

        Returns:
            one ``Transcript`` per input, in order.

        Raises:
            QuorlinError: an input cannot be read (unless ``skip_errors``), or a setting is
                out of range.
        """
        return list(self.transcribe_iter(inputs, beam_width, ctc_weight, lm_weight, batch_size, max_length, ids,
                                         skip_errors, vad))

    def transcribe_iter(self, inputs: Iterable[Input], beam_width: Optional[int] = None,
                        ctc_weight: Optional[float] = None, lm_weight: Optional[float] = None,
                        batch_size: int = 16, max_length: Optional[int] = None,
                        ids: Optional[Sequence[str]] = None, skip_errors: bool = False,
                        vad: Optional[str] = None) -> Iterator[Transcript]:
        """``transcribe`` one input at a time: each transcript is yielded as soon as it is done."""
        search = self.search(beam_width, ctc_weight, lm_weight)
        vad = vad or DEFAULT_VAD
        speech_detector(vad)  # an unknown detector stops here, before any input is read
        if isinstance(inputs, (str, os.PathLike)):
            inputs = [inputs]  # one file, not the characters of its name
        if ids is not None and hasattr(inputs, "__len__") and len(ids) != len(inputs):
            raise QuorlinError(f"ids must hold one id per input: {len(ids)} ids for {len(inputs)} inputs")
        max_length = self._check_max_length(max_length)
        batch_size = as_positive_int(batch_size, "batch_size")
        pending: List[Tuple["_Job", AudioSegment]] = []
        jobs: Deque[_Job] = deque()
        for n, item in enumerate(inputs):
            if ids is not None and n >= len(ids):
                raise QuorlinError(f"ids must hold one id per input: {len(ids)} ids for more inputs")
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
                detector = self._speech_detector(vad, source.duration)
                # The CTC head's word times tell which words are a segment's own in the context of its cuts.
                for segment in split_audio(source.blocks(_BLOCK_SECONDS), detector, self.segment_lengths,
                                           source.duration, context=self.ctc_trained):
                    if segment.end - segment.start < self.min_seconds:
                        continue  # a blip between pauses, too short to hold a word
                    pending.append((job, segment))
                    job.waiting += 1
                    if len(pending) == batch_size * _POOLED_BATCHES:
                        self._recognize_pool(pending, search, max_length, batch_size)
                        pending = []
                        yield from _finished(jobs)
            except (QuorlinError, ValueError, TypeError) as error:  # the input's own fault
                if not skip_errors:
                    raise
                job.error = str(error)
                pending = [(j, s) for j, s in pending if j is not job]
                job.waiting = 0
            job.read = True
            yield from _finished(jobs)
        self._recognize_pool(pending, search, max_length, batch_size)
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
            hypotheses, _ = self._decode([feats for _, feats in batch], search, max_length)
            texts += [(n, hypothesis.text) for (n, _), hypothesis in zip(batch, hypotheses)]
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
        if isinstance(search.beam_width, bool) or not isinstance(search.beam_width, int) or \
                not 1 <= search.beam_width <= MAX_BEAM_WIDTH:
            raise QuorlinError(f"the beam width must be an integer in [1, {MAX_BEAM_WIDTH}], got {search.beam_width!r}")
        if not (isinstance(search.ctc_weight, (int, float)) and 0.0 <= search.ctc_weight <= 1.0):
            raise QuorlinError(f"the CTC weight must lie in [0, 1], got {search.ctc_weight!r}")
        if search.ctc_weight > 0 and not self.ctc_trained:
            raise QuorlinError(f"the CTC weight must be 0: this recogniser was trained without a CTC head "
                               f"(loss.ctc_weight 0), got {search.ctc_weight!r}")
        if not (isinstance(search.lm_weight, (int, float)) and 0.0 <= search.lm_weight < float("inf")):
            raise QuorlinError(f"the LM weight must be a finite number >= 0, got {search.lm_weight!r}")
        return Search(int(search.beam_width), float(search.ctc_weight), float(search.lm_weight))

    def frame_times(self) -> Tuple[float, float]:
        """(seconds per encoder frame, shift): encoder frame j of a segment spans
        [j, j + 1) * seconds per frame + shift seconds from the segment's start.

        Encoder frame j is centred on filter-bank frame stride * j + offset, whose window is
        centred half a window after its start: the frame spans that centre +- half a frame.
        """
        stride, offset = self.model.source_embedding.frame_centres()
        seconds_per_frame = stride * FRAME_SHIFT_MS / 1000
        return seconds_per_frame, (offset * FRAME_SHIFT_MS + FRAME_LENGTH_MS / 2) / 1000 - seconds_per_frame / 2

    def _speech_detector(self, vad: str, duration: float) -> SpeechDetector:
        """A fresh detector for a recording of ``duration`` seconds: the ``vad`` one, narrowed
        to the letters the CTC head reads (``CtcSpeech``) for a recording longer than the
        longest training utterance when the head was trained."""
        longest = round(self.segment_lengths.longest * 100)
        detector = speech_detector(vad, longest)
        if not self.ctc_trained or duration <= self.segment_lengths.longest:
            return detector  # decoded whole: only whether it holds speech counts
        return CtcSpeech(detector, self._letter_times, max(longest, 100))

    @torch.inference_mode()
    def _letter_times(self, samples: torch.Tensor) -> torch.Tensor:
        """Where in ``samples`` (m,) the CTC head reads a letter: the centres (n,) in seconds of
        the encoder frames whose most likely label is neither blank nor a space."""
        row = self._normalised(self._features(samples)).to(self.device)  # (T, F)
        _, _, _, ctc_inputs = self.model.encode(row[None], torch.tensor([row.size(0)], device=self.device))
        best = ctc_inputs["log_probs"][:, 0].argmax(dim=-1).cpu()  # (S, 1, V) -> (S,)
        frames = torch.nonzero(self._letters[best]).flatten()  # (n,)
        seconds_per_frame, shift = self.frame_times()
        return (frames.double() + 0.5) * seconds_per_frame + shift

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

    def _recognize_pool(self, pending: List[Tuple["_Job", AudioSegment]], search: Search, max_length,
                        batch_size: int) -> None:
        """Recognises the segments of ``pending`` in batches of ``batch_size``, longest first."""
        by_length = sorted(pending, key=lambda item: item[1].samples.numel(), reverse=True)
        for start in range(0, len(by_length), batch_size):
            self._recognize(by_length[start:start + batch_size], search, max_length)

    def _recognize(self, pending: List[Tuple["_Job", AudioSegment]], search: Search, max_length) -> None:
        """Recognises the segments of ``pending`` as one batch and files each one's words with its input."""
        feats = [self._features(segment.samples) for _, segment in pending]
        hypotheses, ctc = self._decode(feats, search, max_length)
        seconds_per_frame, shift = self.frame_times()
        for (job, segment), hypothesis, log_probs in zip(pending, hypotheses, ctc):
            text = hypothesis.text
            if self.ctc_trained:
                words = align_words(log_probs, hypothesis.ids, self.tokenizer, seconds_per_frame,
                                    segment.start + shift)
                words = [Word(max(w.start, segment.start), min(w.end, segment.end), w.text) for w in words]
            else:
                words = spread_words(text.split(), segment.start, segment.end)
            kept = keep_words(segment, words)
            if len(kept) != len(words):
                text = " ".join(word.text for word in kept)
            start = kept[0].start if kept else segment.keep_start
            end = kept[-1].end if kept else segment.keep_end
            job.segments.append((segment.start, Segment(start, end, text, kept)))
            job.waiting -= 1

    @torch.inference_mode()
    def _decode(self, feats: Sequence[np.ndarray], search: Search,
                max_length: Optional[int]) -> Tuple[List[Hypothesis], List[torch.Tensor]]:
        """Recognises a batch of filter banks (F, T): the hypotheses, and the CTC head's
        log-probabilities (S_i, V) of every utterance."""
        rows = [self._normalised(f) for f in feats]
        lengths = torch.tensor([row.size(0) for row in rows], device=self.device)
        padded = torch.nn.utils.rnn.pad_sequence(rows, batch_first=True).to(self.device)  # (B, T, F)
        hypotheses, ctc_inputs = recognize_batch(self.model, self.tokenizer, padded, lengths, search, self.lm,
                                                 max_length, self.ctc_trained)
        log_probs = ctc_inputs["log_probs"].transpose(0, 1).float().cpu()  # (S, B, V) -> (B, S, V)
        return hypotheses, [log_probs[b, :int(n)] for b, n in enumerate(ctc_inputs["lengths"])]


class _Job:
    """One input's progress: its segments as they are recognised."""

    def __init__(self, utt_id: str):
        self.id = utt_id
        self.duration = 0.0
        self.segments: List[Tuple[float, Segment]] = []  # (where its audio starts, what was recognised)
        self.waiting = 0
        self.read = False
        self.error: Optional[str] = None

    def transcript(self) -> Transcript:
        if self.error is not None:
            return Transcript(self.id, "", self.duration, [], self.error)
        segments = [s for _, s in sorted(self.segments, key=lambda item: item[0]) if s.text]
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
