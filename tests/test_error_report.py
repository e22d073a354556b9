import random

import pytest

from quorlin.decoding.metrics import asr_metrics
from quorlin.error_report import TOP_SUBSTITUTIONS, format_error_report, utterance_errors


def test_report_layout():
    # 7-3-0002 and 7-3-0004 tie on word and character errors and go by id; a Chinese
    # character takes two columns.
    records = utterance_errors(
        ["7-3-0004", "7-3-0001", "7-3-0002", "7-3-0003", "7-3-0005", "7-3-0000"],
        ["the cat sat on", "a big dog", "", "天气 很好", "", "the cat"],
        ["the bat sat on mat", "a dog", "oh no", "天汽 很好", "", "the bat"])
    assert format_error_report(records, "dev-clean, greedy") == """\
dev-clean, greedy
6 utterances, 5 with errors
WER 63.64 % (S=3 D=1 I=3 / 11 words), CER 45.71 % (16 / 35 characters)

7-3-0002  S=0 D=0 I=2  (2 errors / 0 words, 5 character errors / 0 characters)
REF:  ** **
HYP:  oh no
      I  I

7-3-0004  S=1 D=0 I=1  (2 errors / 4 words, 5 character errors / 14 characters)
REF:  the cat sat on ***
HYP:  the bat sat on mat
          S          I

7-3-0001  S=0 D=1 I=0  (1 error / 3 words, 4 character errors / 9 characters)
REF:  a big dog
HYP:  a *** dog
        D

7-3-0000  S=1 D=0 I=0  (1 error / 2 words, 1 character error / 7 characters)
REF:  the cat
HYP:  the bat
          S

7-3-0003  S=1 D=0 I=0  (1 error / 2 words, 1 character error / 5 characters)
REF:  天气 很好
HYP:  天汽 很好
      S

7-3-0005  S=0 D=0 I=0  (0 errors / 0 words, 0 character errors / 0 characters)
REF:
HYP:

Most frequent substitutions (reference -> hypothesis)
  cat -> bat    2
  天气 -> 天汽  1
"""
    assert format_error_report(utterance_errors(["a"], [""], [""]), "silence") == """\
silence
1 utterance, 0 with errors
WER n/a (S=0 D=0 I=0 / 0 words), CER n/a (0 / 0 characters)

a  S=0 D=0 I=0  (0 errors / 0 words, 0 character errors / 0 characters)
REF:
HYP:

Most frequent substitutions: none
"""


def test_counts_against_an_independent_edit_distance(edit_distance):
    rng = random.Random(0)
    vocab = ["a", "b", "cd", "ef", "ghi", "äö", "ж"]
    refs = [" ".join(rng.choices(vocab, k=rng.randint(0, 7))) for _ in range(300)]
    hyps = [" ".join(rng.choices(vocab, k=rng.randint(0, 7))) for _ in range(300)]
    refs[0], hyps[0] = "  a\tb ", "a  b"   # any white space separates words; characters count as given
    ids = [f"u{i:03d}" for i in range(300)]
    records = utterance_errors(ids, refs, hyps)
    assert [r.utt_id for r in records] == ids
    for r, ref, hyp in zip(records, refs, hyps):
        assert (r.reference, r.hypothesis) == (ref, hyp)
        assert r.word_errors == edit_distance(ref.split(), hyp.split())
        assert r.char_errors == edit_distance(ref, hyp) and r.reference_chars == len(ref)
        assert r.reference_words == len(ref.split())
        # The alignment spells out both sides, and its marks agree with the counts.
        assert [w for mark, w, _ in r.alignment if mark != "I"] == ref.split()
        assert [w for mark, _, w in r.alignment if mark != "D"] == hyp.split()
        assert all((w == v) == (mark == "C") for mark, w, v in r.alignment if mark in "CS")
        assert [sum(mark == m for mark, _, _ in r.alignment) for m in "SDI"] == \
            [r.substitutions, r.deletions, r.insertions]
    assert records[0].word_errors == 0 and records[0].char_errors == 4

    # The header's rates are those of the evaluation.
    scored = [i for i in range(1, 300) if refs[i]]
    metrics = asr_metrics([refs[i] for i in scored], [hyps[i] for i in scored])
    header = format_error_report([records[i] for i in scored], "t").splitlines()[2]
    assert header.startswith(f"WER {metrics['wer']:.2f} % (") and f"CER {metrics['cer']:.2f} % (" in header


def test_order_and_substitution_counts():
    # Ties in word errors go to the utterance with more character errors, then by id.
    records = utterance_errors(["c", "b", "a", "d"], ["x y", "x y", "x y", "x"], ["x z", "x zzzz", "x z", "q"])
    report = format_error_report(records, "t")
    assert [line.split()[0] for line in report.splitlines() if line[:1] in "abcd" and "S=" in line] == \
        ["b", "a", "c", "d"]
    assert report.endswith("Most frequent substitutions (reference -> hypothesis)\n"
                           "  y -> z     2\n  x -> q     1\n  y -> zzzz  1\n")

    many = utterance_errors([f"u{i}" for i in range(TOP_SUBSTITUTIONS + 5)],
                            [f"w{i}" for i in range(TOP_SUBSTITUTIONS + 5)], ["v"] * (TOP_SUBSTITUTIONS + 5))
    listed = format_error_report(many, "t").split("Most frequent substitutions (reference -> hypothesis)\n")[1]
    assert len(listed.splitlines()) == TOP_SUBSTITUTIONS and listed.startswith("  w0 -> v   1\n  w1 -> v   1\n")

    assert utterance_errors([], [], []) == []
    assert format_error_report([], "none").startswith("none\n0 utterances, 0 with errors\nWER n/a")


@pytest.mark.parametrize("args, error, message", [
    ((["a", "b"], ["x"], ["x", "y"]), ValueError,
     "ids, references and hypotheses must have the same length, got 2, 1 and 2"),
    ((["a", "b", "a"], ["x"] * 3, ["x"] * 3), ValueError, "ids must be distinct, got 'a' 2 times"),
    (("ab", ["x"], ["x"]), TypeError, "ids must be a list of str, got str"),
    ((["a"], [None], ["x"]), TypeError, "references must hold only str, got None"),
])
def test_inputs_are_checked(args, error, message):
    with pytest.raises(error) as err:
        utterance_errors(*args)
    assert str(err.value) == message
