"""What went wrong in a scored set: each utterance's word alignment and error counts, worst
first, and the word substitutions made most often, as a plain-text report."""
import collections
import unicodedata
from typing import List, NamedTuple, Sequence, Tuple

import jiwer

TOP_SUBSTITUTIONS = 20  # lines in the "Most frequent substitutions" section
# Marks of each aligned word pair; a correct word has none.
CORRECT, SUBSTITUTION, DELETION, INSERTION = "C", "S", "D", "I"
_KINDS = {"equal": CORRECT, "substitute": SUBSTITUTION, "delete": DELETION, "insert": INSERTION}
_CHARS = jiwer.ReduceToListOfListOfChars()


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
    if not ids:
        return []
    words = jiwer.process_words([" ".join(r.split()) for r in references], [" ".join(h.split()) for h in hypotheses])
    chars = jiwer.process_characters(list(references), list(hypotheses), reference_transform=_CHARS,
                                     hypothesis_transform=_CHARS)
    records = []
    for i, utt_id in enumerate(ids):
        ref_words, hyp_words = words.references[i], words.hypotheses[i]
        alignment = []
        for chunk in words.alignments[i]:
            mark = _KINDS[chunk.type]
            refs = ref_words[chunk.ref_start_idx:chunk.ref_end_idx]
            hyps = hyp_words[chunk.hyp_start_idx:chunk.hyp_end_idx]
            if mark == DELETION:
                hyps = [""] * len(refs)
            elif mark == INSERTION:
                refs = [""] * len(hyps)
            alignment += [(mark, r, h) for r, h in zip(refs, hyps)]
        marks = collections.Counter(mark for mark, _, _ in alignment)
        char_errors = sum(max(c.ref_end_idx - c.ref_start_idx, c.hyp_end_idx - c.hyp_start_idx)
                          for c in chars.alignments[i] if c.type != "equal")
        records.append(UtteranceErrors(utt_id, references[i], hypotheses[i], marks[SUBSTITUTION], marks[DELETION],
                                       marks[INSERTION], len(ref_words), char_errors, len(references[i]),
                                       tuple(alignment)))
    return records


def _width(text: str) -> int:
    """Columns ``text`` takes in a terminal: wide East Asian characters two, marks none."""
    return sum(0 if unicodedata.category(c) in ("Mn", "Me", "Cf") else
               2 if unicodedata.east_asian_width(c) in ("W", "F") else 1 for c in text)


def _pad(text: str, width: int) -> str:
    return text + " " * (width - _width(text))


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def _rate(errors: int, total: int) -> str:
    return f"{100 * errors / total:.2f} %" if total else "n/a"


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


def format_error_report(records: Sequence[UtteranceErrors], title: str) -> str:
    """A plain-text report: totals with WER and CER, every utterance worst first (most
    word errors, then most character errors, then by id), and the most frequent
    substitutions.

    Example:
        >>> print(format_error_report(utterance_errors(["7-3-0004"], ["the cat sat on"],
        ...                                            ["the bat sat on mat"]), "dev, greedy"), end="")
        dev, greedy
        1 utterance, 1 with errors
        WER 50.00 % (S=1 D=0 I=1 / 4 words), CER 35.71 % (5 / 14 characters)
        <BLANKLINE>
        7-3-0004  S=1 D=0 I=1  (2 errors / 4 words, 5 character errors / 14 characters)
        REF:  the cat sat on ***
        HYP:  the bat sat on mat
                  S          I
        <BLANKLINE>
        Most frequent substitutions (reference -> hypothesis)
          cat -> bat  1
    """
    totals = [sum(getattr(r, field) for r in records) for field in
              ("substitutions", "deletions", "insertions", "reference_words", "char_errors", "reference_chars")]
    subs, dels, ins, words, char_errors, chars = totals
    with_errors = sum(1 for r in records if r.word_errors or r.char_errors)
    lines = [title, f"{_count(len(records), 'utterance')}, {with_errors} with errors",
             f"WER {_rate(subs + dels + ins, words)} (S={subs} D={dels} I={ins} / {_count(words, 'word')}), "
             f"CER {_rate(char_errors, chars)} ({char_errors} / {_count(chars, 'character')})"]
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
