"""`quorlin transcribe`: audio files and folders through a trained run folder, to
"<id><TAB><text>" lines, JSON, plain text, SubRip/WebVTT subtitles, or all of them.

Every file is transcribed on its own: one that cannot be read gets its error line on
standard error and the others go on; the exit status is 1 when any failed. Where the output
goes is checked before any work: an output that names an input, lies in a run folder (whose
files it could replace) or cannot be written stops the command at once.
"""
import os
import sys
from pathlib import Path
from typing import List, Optional, Tuple

from quorlin import console
from quorlin._files import write_text
from quorlin.errors import QuorlinError
from quorlin.inference.audio import file_id
from quorlin.inference.formats import WRITERS, format_tsv, render
from quorlin.inference.recognizer import Recognizer
from quorlin.prep.sources import AUDIO_EXTENSIONS
from quorlin.run_folder import enclosing_run_folder

_UNSAFE_ID_CHARACTERS = "\t\n\r"


def transcribe(args) -> int:
    """Runs the command for parsed arguments; returns the exit status."""
    found, problems = audio_inputs(args.inputs)
    formats = list(WRITERS) if args.format == "all" else [args.format]
    folder, file = _output(args.output, formats, [path for _, path in found])
    # Reports go to standard error, so that standard output holds the transcripts alone.
    with console.reports(sys.stderr):
        recognizer = Recognizer.from_run_folder(args.run, args.device, args.lm)
    for problem in problems:
        print(f"quorlin: error: {problem}", file=sys.stderr)
    failed, done = len(problems), []
    transcripts = recognizer.transcribe_iter([path for _, path in found], args.beam_width, args.ctc_weight,
                                             args.lm_weight, args.batch_size, args.max_length,
                                             ids=[i for i, _ in found], skip_errors=True, vad=args.vad)
    bar = console.progress_bar(transcripts, total=len(found), desc="[Transcribing]")
    for transcript in bar:
        if transcript.error is not None:
            bar.write(f"quorlin: error: {transcript.error}", file=sys.stderr)
            failed += 1
        elif folder is not None:
            for name in formats:
                write_text(folder / f"{transcript.id}.{name}", render(name, [transcript]))
        elif file is None and args.format == "tsv":
            sys.stdout.write(format_tsv([transcript]))
            sys.stdout.flush()
        else:
            done.append(transcript)
    if file is not None:
        write_text(file, render(args.format, done))
    elif folder is None and done:
        sys.stdout.write(render(args.format, done))
    where = folder or file
    if where is not None:
        with console.reports(sys.stderr):
            print(f"{len(found) - (failed - len(problems))} transcript(s) written to {where}")
    return 1 if failed else 0


def audio_inputs(inputs: List[str]) -> Tuple[List[Tuple[str, str]], List[str]]:
    """(id, path) of every audio file named or found below a named folder (the id is the file
    name without its extension), and the files refused by name: names that are not valid
    UTF-8 or whose id holds a tab or line break, which no output format could hold.

    Raises:
        QuorlinError: an input does not exist, nothing was found, or two files share an id.
    """
    found, problems = [], []
    for item in inputs:
        if os.path.isdir(item):
            paths = sorted(os.path.join(folder, name) for folder, _, names in os.walk(item) for name in names
                           if name.lower().endswith(AUDIO_EXTENSIONS))
        elif os.path.exists(item):
            paths = [item]  # a FIFO or device is refused as it is opened, with its own error line
        else:
            raise QuorlinError(f"{_printable(item)}: no such audio file or folder")
        for path in paths:
            utt_id = file_id(path)
            if _printable(path) != path:
                problems.append(f"{_printable(path)}: the file name is not valid UTF-8; rename the file")
            elif any(c in utt_id for c in _UNSAFE_ID_CHARACTERS):
                problems.append(f"{path!r}: the file name holds a tab or line break, which no transcript "
                                "format can hold; rename the file")
            else:
                found.append((utt_id, path))
    if not found and not problems:
        raise QuorlinError(f"no audio files ({', '.join(AUDIO_EXTENSIONS)}) in {', '.join(map(_printable, inputs))}")
    seen = {}
    repeated = [f"{path} and {seen[i]} both have the id {i!r}" for i, path in found if seen.setdefault(i, path) != path]
    if repeated:
        raise QuorlinError(f"two inputs share an id, the name of their output: {repeated[0]}")
    return found, problems


def _output(output: Optional[str], formats: List[str], inputs: List[str]) -> Tuple[Optional[Path], Optional[Path]]:
    """(folder, file) where the transcripts go (both None: standard output), checked before any work."""
    per_input = len(formats) > 1 or (WRITERS[formats[0]].per_input and len(inputs) != 1)
    if output is None:
        if per_input:
            what = "every format" if len(formats) > 1 else f"{formats[0]} output"
            raise QuorlinError(f"{what} is one file per input: give -o FOLDER for {len(inputs)} input(s)")
        return None, None
    path = Path(output)
    inside = enclosing_run_folder(path)
    if inside is not None:
        raise QuorlinError(f"{output}: lies in the run folder {inside}, whose files transcripts could replace; "
                           "write them elsewhere")
    as_folder = path.is_dir() or output.endswith(os.sep) or per_input
    targets = [path / f"{file_id(p)}.{name}" for p in inputs for name in formats] if as_folder else [path]
    sources = {os.path.realpath(p) for p in inputs}
    clash = next((t for t in targets if os.path.realpath(t) in sources), None)
    if clash is not None:
        raise QuorlinError(f"{clash}: the output would replace an input")
    if as_folder:
        try:
            path.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise QuorlinError(f"{output}: cannot make the output folder: {error.strerror}") from None
        writable = path
    else:
        writable = path.parent
        if not writable.is_dir():
            raise QuorlinError(f"{output}: its folder {writable} does not exist")
    if not os.access(writable, os.W_OK | os.X_OK):
        raise QuorlinError(f"{output}: cannot write there (permission denied)")
    return (path, None) if as_folder else (None, path)


def _printable(path: str) -> str:
    """``path`` as text that can be printed: bytes that are not UTF-8 shown as escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")
