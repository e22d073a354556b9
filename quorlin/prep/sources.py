"""Where utterances come from: a LibriSpeech-style tree, a Kaldi-style data folder or a
manifest (``source_utterances`` tells them apart); LM text files."""
import gzip
import json
import os
import re
from typing import Dict, Iterator, List, NamedTuple, Optional, Tuple

from quorlin._reading import excerpt, regular_file_problem
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


def source_utterances(source: str) -> List[Utterance]:
    """The utterances of a source: a Kaldi-style folder (one holding ``wav.scp``), a
    LibriSpeech-style folder (any other folder) or a manifest file.

    Raises:
        PreparationError: no such folder or file, or a source that cannot be read as its kind.
    """
    if os.path.isdir(source):
        if os.path.exists(os.path.join(source, "wav.scp")):
            return kaldi_utterances(source)
        return librispeech_utterances(source)
    if os.path.exists(source):
        return manifest_utterances(source)
    raise PreparationError(f"{source}: no such folder or manifest file")


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
            for where, utt_id, text in _id_lines(os.path.join(folder, name), problems):
                if utt_id not in audio:
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

    A manifest holds one utterance a line, in one of three forms that its first line tells
    apart (``MANIFEST_FORMS``): "<audio path><TAB><transcript>", whose id is the audio file's
    name without its extension (so names must be unique); "<id><TAB><audio path><TAB>
    <transcript>"; or JSON lines, one object a line with "audio_filepath", "text", and
    optionally "id" (else the file name) and "duration" (read by other tools). Relative audio
    paths are relative to the manifest's folder. Blank lines are skipped. A line of another form,
    a missing transcript or audio file and a repeated id raise one ``PreparationError`` that
    lists them all, showing the forms expected and the line.

    Example:
        >>> manifest_utterances("my-data/train.tsv")[0]
        Utterance(utt_id='clip-0001', audio_path='my-data/audio/clip-0001.wav', text='HELLO THERE')
    """
    base = os.path.dirname(path)
    utterances, problems, form = [], [], None
    named_by_file = True
    for number, line in enumerate(_lines(path), start=1):
        if not line.strip():
            continue
        where = f"{path}, line {number}"
        if form is None:
            form = _manifest_form(line)
            if form is None:
                problems.append(f"{where}: {excerpt(line)} is no manifest line; a manifest's lines are "
                                f"{_forms_text()}")
                break
        try:
            utt_id, audio, text = _MANIFEST_READERS[form](line)
        except ValueError as error:
            problems.append(f"{where}: {error}, got {excerpt(line)}")
            continue
        named_by_file = named_by_file and utt_id is None
        audio = os.path.join(base, audio.strip())
        utt_id = file_id(audio) if utt_id is None else utt_id
        if not text.strip():
            problems.append(f"{where}: no transcript for {audio}")
        elif not os.path.isfile(audio):
            problems.append(f"{where}: no audio file {audio}")
        elif not PLAIN_NAME.fullmatch(utt_id):
            what = "file name" if utt_id == file_id(audio) else "utterance id"
            problems.append(f"{where}: {what} {utt_id!r} does not make a plain utterance id")
        else:
            utterances.append(Utterance(utt_id, audio, text.strip()))
    raise_problems(problems, path)
    hint = "; give each utterance an id: \"id<TAB>audio<TAB>text\" lines" if named_by_file else ""
    return _unique_sorted(utterances, path, hint)


def kaldi_utterances(folder: str) -> List[Utterance]:
    """The utterances of a Kaldi-style data folder, sorted by id.

    ``wav.scp`` holds "<id> <audio path>" lines and ``text`` "<id> <transcript>" lines
    (other files, such as ``utt2spk``, are not read). Relative audio paths are relative to the
    current folder, as Kaldi's tools take them. Recordings cut into ``segments`` and audio
    made by commands ("... |") are refused; an id with audio and no transcript or the other way
    round, a missing audio file and a repeated id raise one ``PreparationError`` that lists
    them all.

    Example:
        >>> kaldi_utterances("data/train")[0]
        Utterance(utt_id='spk1-0001', audio_path='wavs/spk1-0001.wav', text='HOLA')
    """
    if os.path.exists(os.path.join(folder, "segments")):
        raise PreparationError(f"{os.path.join(folder, 'segments')}: recordings cut into segments are not read; "
                               "cut them into files of their own")
    problems = []
    audio = _kaldi_table(os.path.join(folder, "wav.scp"), problems)
    texts = _kaldi_table(os.path.join(folder, "text"), problems)
    utterances = []
    for utt_id, (where, path) in audio.items():
        if path.endswith("|"):
            problems.append(f"{where}: audio made by a command is not read; write it to a file")
        elif utt_id not in texts:
            problems.append(f"{where}: no line for {utt_id!r} in {os.path.join(folder, 'text')}")
        elif not os.path.isfile(path):
            problems.append(f"{where}: no audio file {path}")
        else:
            utterances.append(Utterance(utt_id, path, texts[utt_id][1]))
    problems += [f"{where}: no line for {utt_id!r} in {os.path.join(folder, 'wav.scp')}"
                 for utt_id, (where, _) in texts.items() if utt_id not in audio]
    raise_problems(problems, folder)
    return sorted(utterances)


def _kaldi_table(path: str, problems: List[str]) -> Dict[str, Tuple[str, str]]:
    """{id: (where, rest of the line)} of a Kaldi table file's "<id> <value>" lines."""
    table = {}
    for where, utt_id, value in _id_lines(path, problems):
        if not value.strip():
            problems.append(f"{where}: nothing after the id {utt_id!r}")
        elif utt_id in table:
            problems.append(f"{where}: utterance id {utt_id!r} used twice, first in {table[utt_id][0]}")
        else:
            table[utt_id] = (where, value.strip())
    return table


def _id_lines(path: str, problems: List[str]) -> Iterator[Tuple[str, str, str]]:
    """(where, id, rest of the line) of the "<id> <rest>" lines of ``path`` whose id is a plain
    file name; a line with another id adds its problem, a blank line is skipped."""
    for number, line in enumerate(_lines(path), start=1):
        utt_id, _, rest = line.strip().partition(" ")
        if not utt_id:
            continue
        where = f"{path}, line {number}"
        if PLAIN_NAME.fullmatch(utt_id):
            yield where, utt_id, rest
        else:
            problems.append(f"{where}: utterance id {utt_id!r} is not a plain file name")


# The lines a manifest may hold, as they are shown in messages.
MANIFEST_FORMS = {"audio": '"audio<TAB>text"', "id": '"id<TAB>audio<TAB>text"',
                  "json": 'JSON lines such as {"audio_filepath": "a.wav", "text": "...", "duration": 1.5}'}


def _forms_text() -> str:
    forms = list(MANIFEST_FORMS.values())
    return f"{', '.join(forms[:-1])} or {forms[-1]}"


def _manifest_form(line: str) -> Optional[str]:
    """The form of a manifest's first line: "json", "id" or "audio"; None for none."""
    if line.lstrip().startswith("{"):
        return "json"
    return {1: "audio", 2: "id"}.get(line.count("\t"))


def _audio_line(line: str) -> Tuple[None, str, str]:
    audio, tab, text = line.partition("\t")
    if tab and "\t" in text:
        raise ValueError(f"expected {MANIFEST_FORMS['audio']} as on the first line")
    return None, audio, text


def _id_line(line: str) -> Tuple[str, str, str]:
    fields = line.split("\t")
    if len(fields) != 3:
        raise ValueError(f"expected {MANIFEST_FORMS['id']} as on the first line")
    utt_id, audio, text = fields
    return utt_id.strip(), audio, text


def _json_line(line: str) -> Tuple[Optional[str], str, str]:
    try:
        entry = json.loads(line)
    except ValueError:
        entry = None
    if not isinstance(entry, dict) or not isinstance(entry.get("audio_filepath"), str) \
            or not isinstance(entry.get("text"), str):
        raise ValueError(f"expected {MANIFEST_FORMS['json']} as on the first line: an object with "
                         "\"audio_filepath\" and \"text\" strings")
    if not isinstance(entry.get("id", ""), str) or not isinstance(entry.get("duration", 0), (int, float)):
        raise ValueError('"id" must be a string and "duration" a number')
    if entry.get("offset", 0):
        raise ValueError('"offset" (a part of a recording) is not read: cut the recording into a file of its own')
    return entry.get("id"), entry["audio_filepath"], entry["text"]


_MANIFEST_READERS = {"audio": _audio_line, "id": _id_line, "json": _json_line}


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


def _unique_sorted(utterances: List[Utterance], source: str, hint: str = "") -> List[Utterance]:
    utterances = sorted(utterances)
    repeated = [f"{b.utt_id}: {a.audio_path} and {b.audio_path}"
                for a, b in zip(utterances, utterances[1:]) if a.utt_id == b.utt_id]
    raise_problems([f"utterance id used twice, {r}{hint}" for r in repeated], source)
    return utterances


def file_id(path) -> str:
    """The id of an audio file (and of the utterance it holds, unless it is given one): its
    name without the extension."""
    return os.path.splitext(os.path.basename(path))[0]
