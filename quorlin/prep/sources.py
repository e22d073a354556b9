"""Where utterances come from: a LibriSpeech directory tree or a manifest; LM text files."""
import gzip
import os
import re
from typing import Iterator, List, NamedTuple

from quorlin._reading import regular_file_problem
from quorlin.prep.errors import PreparationError, raise_problems

# The audio files looked for, of the formats that soundfile reads (MP3 since libsndfile 1.1).
AUDIO_EXTENSIONS = (".flac", ".wav", ".ogg", ".opus", ".mp3", ".aiff", ".aif", ".au", ".caf", ".w64", ".rf64")
# A plain file name: no folder, no leading dot.
PLAIN_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]*")
# The end of a chunk that Python's binary line iteration gives: LF, CRLF, or a CR at the end of the file.
_LINE_END = re.compile(rb"(\r\n|\n|\r)\Z")


class Utterance(NamedTuple):
    """One recording: its id (the stem of the output files), audio path and transcript."""
    utt_id: str
    audio_path: str
    text: str


def librispeech_utterances(root: str) -> List[Utterance]:
    """The utterances of a LibriSpeech-style tree, sorted by id.

    ``root/<speaker>/<chapter>/`` holds ``<speaker>-<chapter>.trans.txt`` (lines
    "<id> <TRANSCRIPT>") and one ``<id>.flac``, ``.wav`` or ``.ogg`` per line. An
    audio file without a transcript line, a line without its audio file or an empty
    transcript raises one ``PreparationError`` that lists them all.

    Example:
        >>> utterances = librispeech_utterances("LibriSpeech/dev-other")
        >>> utterances[0].utt_id
        '1255-138279-0000'
    """
    if not os.path.isdir(root):
        raise PreparationError(f"{root}: no such directory")
    utterances, problems = [], []
    for folder, _, names in sorted(os.walk(root)):
        audio = {os.path.splitext(n)[0]: os.path.join(folder, n) for n in sorted(names)
                 if n.endswith(AUDIO_EXTENSIONS)}
        transcribed = set()
        for name in sorted(n for n in names if n.endswith(".trans.txt")):
            path = os.path.join(folder, name)
            for number, line in enumerate(_lines(path), start=1):
                utt_id, _, text = line.strip().partition(" ")
                if not utt_id:
                    continue
                where = f"{path}, line {number}"
                if not PLAIN_NAME.fullmatch(utt_id):
                    problems.append(f"{where}: utterance id {utt_id!r} is not a plain file name")
                elif utt_id not in audio:
                    problems.append(f"{where}: no audio file {utt_id}.* (.flac, .wav, .ogg, .mp3, ...) beside it")
                elif not text.strip():
                    problems.append(f"{where}: empty transcript for {utt_id}")
                else:
                    transcribed.add(utt_id)
                    utterances.append(Utterance(utt_id, audio[utt_id], text.strip()))
        problems += [f"{audio[i]}: no transcript (no line for {i!r} in a .trans.txt file of its folder)"
                     for i in sorted(set(audio) - transcribed)]
    raise_problems(problems, root)
    return _unique_sorted(utterances, root)


def manifest_utterances(path: str) -> List[Utterance]:
    """The utterances of a manifest, sorted by id.

    Each non-blank line is "<audio path><TAB><transcript>"; relative audio paths are
    relative to the manifest's folder. The id is the audio file name without its
    extension, so names must be unique. Lines without a transcript, missing audio
    files and repeated names raise one ``PreparationError`` that lists them all.

    Example:
        >>> manifest_utterances("my-data/train.tsv")[0]
        Utterance(utt_id='clip-0001', audio_path='my-data/audio/clip-0001.wav', text='HELLO THERE')
    """
    base = os.path.dirname(path)
    utterances, problems = [], []
    for number, line in enumerate(_lines(path), start=1):
        if not line.strip():
            continue
        audio, _, text = line.rstrip("\r\n").partition("\t")
        audio = os.path.join(base, audio.strip())
        utt_id = os.path.splitext(os.path.basename(audio))[0]
        where = f"{path}, line {number}"
        if not text.strip():
            problems.append(f"{where}: no transcript for {audio}")
        elif not os.path.isfile(audio):
            problems.append(f"{where}: no audio file {audio}")
        elif not PLAIN_NAME.fullmatch(utt_id):
            problems.append(f"{where}: file name {utt_id!r} does not make a plain utterance id")
        else:
            utterances.append(Utterance(utt_id, audio, text.strip()))
    raise_problems(problems, path)
    return _unique_sorted(utterances, path)


def read_text_lines(path: str) -> List[str]:
    """The non-blank lines of a UTF-8 text file (read through gzip when it ends in ".gz")."""
    return [line.strip() for line in _lines(path) if line.strip()]


def _lines(path: str) -> Iterator[str]:
    """The lines of a UTF-8 text file (through gzip when it ends in ".gz"), read one at a time,
    without their ends: a line ends at LF, CRLF or a lone CR (as some spreadsheet programs
    write). A file that cannot be read, or is not UTF-8, raises ``PreparationError`` naming it
    and the line."""
    problem = regular_file_problem(path)
    if problem:
        raise PreparationError(f"{path}: cannot read it: {problem}")
    opener = gzip.open if path.endswith(".gz") else open
    number = 0
    try:
        with opener(path, "rb") as f:
            for chunk in f:  # up to and with an LF
                for raw in _LINE_END.sub(b"", chunk, count=1).split(b"\r"):
                    number += 1
                    try:
                        yield raw.decode("utf-8-sig" if number == 1 else "utf-8")
                    except UnicodeDecodeError as error:
                        raise PreparationError(f"{path}, line {number}: not UTF-8 text (byte "
                                               f"{raw[error.start]:#04x}); save the file as UTF-8") from None
    except OSError as error:
        raise PreparationError(f"{path}: cannot read it: {error.strerror or error}") from None


def _unique_sorted(utterances: List[Utterance], source: str) -> List[Utterance]:
    utterances = sorted(utterances)
    repeated = [f"{b.utt_id}: {a.audio_path} and {b.audio_path}"
                for a, b in zip(utterances, utterances[1:]) if a.utt_id == b.utt_id]
    raise_problems([f"utterance id used twice, {r}" for r in repeated], source)
    return utterances
