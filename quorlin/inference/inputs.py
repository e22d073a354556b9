"""Which audio files a transcription's inputs name: files as given, folders searched below."""
import os
from typing import List, Sequence, Tuple

from quorlin.errors import QuorlinError
from quorlin.prep.sources import AUDIO_EXTENSIONS, file_id

_UNSAFE_ID_CHARACTERS = "\t\n\r"


def audio_inputs(inputs: Sequence[str]) -> Tuple[List[Tuple[str, str]], List[str]]:
    """The audio files that ``inputs`` name, each with its id, and the files refused by name.

    Args:
        inputs: paths of audio files, taken as they are whatever their extension, and of
            folders, searched below for files with an audio extension (``AUDIO_EXTENSIONS``,
            in any case), in sorted order.

    Returns:
        (id, path) of every file found, the id being the file name without its extension;
        and one line for each file refused by its name: a name that is not valid UTF-8, or
        an id holding a tab or line break, which no output format could hold.

    Raises:
        QuorlinError: an input does not exist, nothing was found, or two files share an id.

    Example:
        >>> found, refused = audio_inputs(["talk.flac", "recordings/"])
        >>> found[0]
        ('talk', 'talk.flac')
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


def _printable(path: str) -> str:
    """``path`` as text that can be printed: bytes that are not UTF-8 shown as escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")
