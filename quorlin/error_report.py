"""What went wrong in a scored set: each utterance's word alignment and error counts, worst
first, and the word substitutions made most often, as a plain-text report."""
import collections
import unicodedata
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from quorlin.decoding.metrics import asr_metrics

TOP_SUBSTITUTIONS = 20  # lines in the "Most frequent substitutions" section
# Marks of each aligned word pair; a correct word has none.
CORRECT, SUBSTITUTION, DELETION, INSERTION = "C", "S", "D", "I"


class UtteranceErrors(NamedTuple):
    """One utterance's errors against its reference.

    Words are the reference and hypothesis split at white space; characters are those of
    the texts as given, spaces included, so that the totals give the usual WER and CER.
    ``alignment`` holds one (mark, reference word, hypothesis word) triple per aligned
    position, with "C", "S", "D" or "I" as the mark and "" for the missing side of a
    deletion or insertion.
    """
    utt_id: str
    reference: str
    hypothesis: str
    substitutions: int
    deletions: int
    insertions: int
    reference_words: int
    char_errors: int
    reference_chars: int
    alignment: Tuple[Tuple[str, str, str], ...]

    @property
    def word_errors(self) -> int:
        return self.substitutions + self.deletions + self.insertions


def utterance_errors(ids: Sequence[str], references: Sequence[str],
                     hypotheses: Sequence[str]) -> List[UtteranceErrors]:
    """The word alignment and error counts of each utterance, in the order given.

    Args:
        ids: utterance ids, distinct.
        references: the reference transcript of each utterance ("" allowed).
        hypotheses: the recognised text of each utterance ("" allowed).

    Example:
        >>> utterance_errors(["u1"], ["the cat sat on"], ["the bat sat on mat"])[0].word_errors
        2
    """
    for name, values in (("ids", ids), ("references", references), ("hypotheses", hypotheses)):
        if isinstance(values, str) or not isinstance(values, Sequence):
            raise TypeError(f"{name} must be a list of str, got {type(values).__name__}")
        for value in values:
            if not isinstance(value, str):
                raise TypeError(f"{name} must hold only str, got {value!r}")
    if not len(ids) == len(references) == len(hypotheses):
        raise ValueError(f"ids, references and hypotheses must have the same length, got "
                         f"{len(ids)}, {len(references)} and {len(hypotheses)}")
    repeated = [utt_id for utt_id, count in collections.Counter(ids).items() if count > 1]
    if repeated:
        raise ValueError(f"ids must be distinct, got {repeated[0]!r} {ids.count(repeated[0])} times")
    records = []
    for utt_id, reference, hypothesis in zip(ids, references, hypotheses):
        ref_words = reference.split()
        alignment = align_words(ref_words, hypothesis.split())
        marks = collections.Counter(mark for mark, _, _ in alignment)
        char_errors = int(_edit_distances(_code_points(reference), _code_points(hypothesis))[-1, -1])
        records.append(UtteranceErrors(utt_id, reference, hypothesis, marks[SUBSTITUTION], marks[DELETION],
                                       marks[INSERTION], len(ref_words), char_errors, len(reference), alignment))
    return records


def _code_points(text: str) -> np.ndarray:
    return np.frombuffer(text.encode("utf-32-le"), dtype=np.uint32)


def _token_ids(tokens: Sequence[str], vocabulary: Dict[str, int]) -> np.ndarray:
    return np.array([vocabulary.setdefault(token, len(vocabulary)) for token in tokens], dtype=np.int64)


def _edit_distances(ref: np.ndarray, hyp: np.ndarray) -> np.ndarray:
    """The Levenshtein table: entry (i, j) is the edit distance between ``ref[:i]`` and ``hyp[:j]``.

    Shapes:
        ref: (N,), hyp: (M,) -> (N + 1, M + 1)
    """
    rows = np.arange(len(ref) + 1)
    table = np.empty((len(ref) + 1, len(hyp) + 1), dtype=np.int32)
    table[:, 0] = rows
    for j in range(1, len(hyp) + 1):
        left = table[:, j - 1]
        # Each row's best step from the previous column: an insertion, or a match or substitution.
        best = np.empty_like(left)
        best[0] = j
        np.minimum(left[1:] + 1, left[:-1] + (ref != hyp[j - 1]), out=best[1:])
        # Deletions then run down the column: table[i, j] = min over k <= i of best[k] + (i - k).
        table[:, j] = np.minimum.accumulate(best - rows) + rows
    return table


def align_words(ref_words: Sequence[str], hyp_words: Sequence[str]) -> Tuple[Tuple[str, str, str], ...]:
    """A minimal word alignment, as (mark, reference word, hypothesis word) triples.

    Words the two sides share at the start and the end are aligned first. Between them the
    edit-distance table is traced back from its end, taking at each cell a deletion when one
    is optimal, else an insertion when the diagonal's start costs more than the insertion's,
    else the diagonal step (a match or a substitution). This fixed choice among alignments of
    equal cost is Hyyrö's bit-parallel traceback; the listings keep it.

    Example:
        >>> align_words("the cat sat on".split(), "the bat sat on mat".split())[:2]
        (('C', 'the', 'the'), ('S', 'cat', 'bat'))
    """
    start = 0
    while start < min(len(ref_words), len(hyp_words)) and ref_words[start] == hyp_words[start]:
        start += 1
    end = 0
    while end < min(len(ref_words), len(hyp_words)) - start and ref_words[-1 - end] == hyp_words[-1 - end]:
        end += 1
    ref, hyp = ref_words[start:len(ref_words) - end], hyp_words[start:len(hyp_words) - end]
    vocabulary: Dict[str, int] = {}
    table = _edit_distances(_token_ids(ref, vocabulary), _token_ids(hyp, vocabulary))
    backwards = []
    i, j = len(ref), len(hyp)
    while i and j:
        if table[i, j] - table[i - 1, j] == 1:
            i -= 1
            backwards.append((DELETION, ref[i], ""))
            continue
        j -= 1
        if j and table[i, j] - table[i - 1, j] == -1:
            backwards.append((INSERTION, "", hyp[j]))
        else:
            i -= 1
            backwards.append((CORRECT if ref[i] == hyp[j] else SUBSTITUTION, ref[i], hyp[j]))
    backwards += [(DELETION, ref[k], "") for k in reversed(range(i))]
    backwards += [(INSERTION, "", hyp[k]) for k in reversed(range(j))]
    shared = [(CORRECT, word, word) for word in ref_words[:start]]
    return tuple(shared + backwards[::-1] + [(CORRECT, word, word) for word in ref_words[len(ref_words) - end:]])


def _width(text: str) -> int:
    """Columns ``text`` takes in a terminal: wide East Asian characters two, marks none."""
    return sum(0 if unicodedata.category(c) in ("Mn", "Me", "Cf") else
               2 if unicodedata.east_asian_width(c) in ("W", "F") else 1 for c in text)


def _pad(text: str, width: int) -> str:
    return text + " " * (width - _width(text))


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def aligned_lines(record: UtteranceErrors) -> List[str]:
    """The "REF:", "HYP:" and (when there are errors) marks lines of one utterance.

    Each aligned pair takes a column as wide as its wider word; the missing word of a
    deletion or insertion shows as asterisks, and the marks line puts S, D or I under
    the start of each error's column.
    """
    ref, hyp, marks = [], [], []
    for mark, r, h in record.alignment:
        width = max(_width(r), _width(h))
        ref.append(_pad(r or "*" * width, width))
        hyp.append(_pad(h or "*" * width, width))
        marks.append(_pad("" if mark == CORRECT else mark, width))
    lines = ["REF:  " + " ".join(ref), "HYP:  " + " ".join(hyp)]
    if record.word_errors:
        lines.append("      " + " ".join(marks))
    return [line.rstrip() for line in lines]


def format_error_report(records: Sequence[UtteranceErrors], title: str,
                        rates: Optional[Dict[str, float]] = None) -> str:
    """A plain-text report: totals with WER and CER, every utterance worst first (most
    word errors, then most character errors, then by id), and the most frequent
    substitutions. ``rates`` are the set's ``asr_metrics``, when already computed.

    Example:
        ``format_error_report(utterance_errors(["7-3-0004"], ["the cat sat on"], ["the bat sat on mat"]),
        "dev, greedy")`` reads::

        dev, greedy
        1 utterance, 1 with errors
        WER 50.00 % (S=1 D=0 I=1 / 4 words), CER 35.71 % (5 / 14 characters)

        7-3-0004  S=1 D=0 I=1  (2 errors / 4 words, 5 character errors / 14 characters)
        REF:  the cat sat on ***
        HYP:  the bat sat on mat
                  S          I

        Most frequent substitutions (reference -> hypothesis)
          cat -> bat  1
    """
    totals = [sum(getattr(r, field) for r in records) for field in
              ("substitutions", "deletions", "insertions", "reference_words", "char_errors", "reference_chars")]
    subs, dels, ins, words, char_errors, chars = totals
    # The rates are the evaluation's own; without reference words or characters there are none.
    if rates is None and chars:
        rates = asr_metrics([r.reference for r in records], [r.hypothesis for r in records])
    wer = f"{rates['wer']:.2f} %" if words else "n/a"
    cer = f"{rates['cer']:.2f} %" if chars else "n/a"
    with_errors = sum(1 for r in records if r.word_errors or r.char_errors)
    lines = [title, f"{_count(len(records), 'utterance')}, {with_errors} with errors",
             f"WER {wer} (S={subs} D={dels} I={ins} / {_count(words, 'word')}), "
             f"CER {cer} ({char_errors} / {_count(chars, 'character')})"]
    for r in sorted(records, key=lambda r: (-r.word_errors, -r.char_errors, r.utt_id)):
        lines += ["", f"{r.utt_id}  S={r.substitutions} D={r.deletions} I={r.insertions}  "
                      f"({_count(r.word_errors, 'error')} / {_count(r.reference_words, 'word')}, "
                      f"{_count(r.char_errors, 'character error')} / {_count(r.reference_chars, 'character')})"]
        lines += aligned_lines(r)
    pairs = collections.Counter((ref, hyp) for r in records for mark, ref, hyp in r.alignment if mark == SUBSTITUTION)
    lines.append("")
    if not pairs:
        lines.append("Most frequent substitutions: none")
    else:
        lines.append("Most frequent substitutions (reference -> hypothesis)")
        top = sorted(pairs.items(), key=lambda item: (-item[1], item[0]))[:TOP_SUBSTITUTIONS]
        width = max(_width(f"{ref} -> {hyp}") for (ref, hyp), _ in top)
        lines += [f"  {_pad(f'{ref} -> {hyp}', width)}  {count}" for (ref, hyp), count in top]
    return "\n".join(lines) + "\n"
