"""`quorlin transcribe`: audio files and folders through a trained run folder, to
"<id><TAB><text>" lines, JSON, plain text, SubRip/WebVTT subtitles, or all of them.

Reports go to standard error, so that standard output holds the transcripts alone. Every
file is transcribed on its own: one that cannot be read gets its error line on standard
error and the others go on; the exit status is 1 when any failed. Where the output goes is
checked before any work: an output that names an input, lies in a run folder (whose files
it could replace) or cannot be written stops the command at once.
"""
import logging
import os
import sys
from pathlib import Path
from typing import List, Optional, Tuple

from quorlin import console
from quorlin._files import write_text
from quorlin.errors import QuorlinError
from quorlin.inference.audio import file_id
from quorlin.inference.formats import WRITERS, format_tsv, render
from quorlin.inference.inputs import audio_inputs
from quorlin.inference.recognizer import Recognizer
from quorlin.run_folder import enclosing_run_folder

log = logging.getLogger(__name__)


def transcribe(args) -> int:
    """Runs the command for parsed arguments; returns the exit status."""
    found, problems = audio_inputs(args.inputs)
    formats = list(WRITERS) if args.format == "all" else [args.format]
    folder, file = _output(args.output, formats, [path for _, path in found])
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
    if file is not None and (done or not WRITERS[args.format].per_input):
        write_text(file, render(args.format, done))  # a failed input has no subtitles or text to write
    elif folder is None and done:
        sys.stdout.write(render(args.format, done))
    where = folder or file
    if where is not None:
        log.info(f"{len(found) - (failed - len(problems))} transcript(s) written to {where}")
    return 1 if failed else 0


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
