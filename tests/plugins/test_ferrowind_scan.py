"""The one-pass scanners against the host's own rules: str.lower() with `in`
for the keyword lists, the compiled patterns' findall for the frameworks."""

import re
import string

import pytest
from hypothesis import given, settings, strategies as st

import tarvish.plugins.analyzer.ferrowind as fw
from test_ferrowind import FRAMEWORK_WORDS, INDICATOR_WORDS, PATTERNS, ref_frameworks, ref_indicators, ref_quick

# The non-ASCII code points whose lower-case form holds ASCII, and those that the
# patterns' letters match under IGNORECASE: the scanners rely on exactly these.
LOWERS_TO_ASCII = {0x130: "i\u0307", 0x212A: "k"}
MATCHES_LETTER = {0x130: "i", 0x131: "i", 0x17F: "s", 0x212A: "k"}

ALTERNATIVES = [a.replace("\\", "") for p in PATTERNS.values() for a in p.pattern[3:-3].split("|")]
KEYWORDS = sorted({w for ws in FRAMEWORK_WORDS for w in ws} | {w for ws, _ in INDICATOR_WORDS for w in ws})
SPECIAL = ["\u0130", "\u0131", "\u017f", "\u212a", "\u0307", "ß", "Σ", "ς", "é", "ж", "\u0663", "一", "\xa0",
           "\u2014", "\U0001d538", "\U0001f600", "\x00", "²"]
FRAGMENT = st.one_of(
    st.sampled_from(KEYWORDS + ALTERNATIVES).flatmap(
        lambda w: st.sampled_from([w, w.upper(), w.title(), w.swapcase(), w[:-1], w[1:]])),
    st.sampled_from([" ", "\n", ".", "_", "(", "0", "7", "@", "**", "->", "/", "+", "x", "np", "pd", "Gb"]),
    st.sampled_from(SPECIAL))
# The same text in every storage kind: a wide code point (a word character or not)
# is put at a drawn place, or none is.
WIDEN = st.sampled_from(["", "\u0100", "\u2014", "\U00010400", "\U0001f600"])


@st.composite
def texts(draw):
    text = "".join(draw(st.lists(FRAGMENT, max_size=20)))
    at = draw(st.integers(0, len(text)))
    return text[:at] + draw(WIDEN) + text[at:]


@pytest.mark.thread_unsafe
class TestAgainstHost:
    @settings(max_examples=2000, deadline=None)
    @given(texts(), st.sampled_from(list(PATTERNS)))
    def test_quick_framework_score(self, code, framework):
        assert fw.quick_framework_score(code, framework) == ref_quick(code, framework)

    @settings(max_examples=2000, deadline=None)
    @given(texts())
    def test_score_framework_patterns(self, code):
        assert fw.score_framework_patterns(code) == ref_frameworks(code)

    @settings(max_examples=2000, deadline=None)
    @given(texts(), st.one_of(st.none(), texts()))
    def test_score_indicators(self, code, name):
        assert fw.score_indicators(code, name) == ref_indicators(code, name)

    @pytest.mark.parametrize("code", [
        "np.np.x", "np..x", "np.", "np._x", "x np.1", "\u0130np.", "pd.\u017f", "numpy\u0663 numpy", "_numpy",
        "NUMPY", "nump", "numpy" * 3, "ndarray.array", "\u0131", "f\u0130t", "f\u0131t \u212aFIT", "\u017fklearn",
        "Gr\u0131dSearchCV", "fit\x00fit", "a" * 200 + " linalg", " ".join(["array"] * 9) + "\u2014array",
    ])
    def test_runs_and_block_edges(self, code):
        # Runs that cross the scanners' 16- and 64-unit blocks, at every offset.
        for pad in (0, 1, 15, 16, 63, 64, 65):
            text = " " * pad + code
            assert [fw.quick_framework_score(text, f) for f in PATTERNS] == [ref_quick(text, f) for f in PATTERNS]
            assert fw.score_indicators(text, text) == ref_indicators(text, text)


@pytest.mark.thread_unsafe
class TestLongText:
    """Long texts, which a scanner may split between walks that each begin at
    their own place: a keyword across any split point is found all the same."""

    @settings(max_examples=200, deadline=None)
    @given(st.lists(FRAGMENT, min_size=10, max_size=100), WIDEN, st.one_of(st.none(), texts()))
    def test_against_host(self, fragments, wide, name):
        code = wide + "".join(fragments)
        assert fw.score_indicators(code, name) == ref_indicators(code, name)
        assert fw.score_framework_patterns(code) == ref_frameworks(code)

    # One keyword of each length (the longest of both groups among them), each
    # alone in n units of blanks at every place near the text's halves, thirds
    # ... sixths and its ends, as written, upper-cased, and with a Kelvin sign
    # for its "k" in wide text. Blanks match nothing, so every place gives the
    # result of the first.
    WORDS = sorted({len(w): w for w in reversed(KEYWORDS)}.values(), key=len) + ["chunk_workload", "sklearn"]

    @pytest.mark.parametrize("n", [100, 257, 1031])
    @pytest.mark.parametrize("head", ["", "\xe9", "\u2014", "\U0001f600"])
    def test_each_place_of_a_keyword(self, n, head):
        cuts = {round(n * i / d) for d in range(2, 7) for i in range(1, d)} | {0, n}
        blank = head + " " * (n - len(head))
        for w in self.WORDS:
            places = sorted({x for c in cuts for x in range(c - len(w) - 24, c + 25)
                             if len(head) <= x <= n - len(w)})
            for form in {w, w.upper(), w.replace("k", "\u212a") if head > "\xff" else w}:
                cases = [blank[:x] + form + blank[x + len(form):] for x in places]
                want = (ref_indicators(cases[0], None), ref_frameworks(cases[0]))
                assert want != ((0,) * 7, (0.0,) * 3)
                got = [(fw.score_indicators(t, None), fw.score_framework_patterns(t)) for t in cases]
                assert got == [want] * len(cases), (form, [x for x, g in zip(places, got) if g != want])


@pytest.mark.parametrize("wide", ["", "\u2014", "\U0001f600"])
@pytest.mark.parametrize("odd", ["", "\xe9", "\xa0", "\u0130", "\u212a", "\u2014", "\U0001f600"])
def test_split_keywords_in_long_text(odd, wide):
    # Each keyword split by one code point, inside a stretch of 16 code units
    # and at each place in it, in text stored in each kind (a wide code point
    # in a stretch of its own first).
    head = (wide + " " * 16)[:16]
    for w in KEYWORDS:
        for k in range(1, len(w)):
            text = head + " " * (16 + k) + w[:k].upper() + odd + w[k:] + " " * 16
            assert fw.score_indicators(text, None) == ref_indicators(text, None), text
            assert fw.score_framework_patterns(text) == ref_frameworks(text), text


def test_code_point_tables():
    """Every code point: the two tables above are the host's, and the scanners
    agree with the host on texts built from every code point of each storage kind."""
    cps = range(0x110000)
    lowered = map(str.lower, map(chr, cps))
    assert {c: low for c, low in zip(cps, lowered) if c >= 128 and min(low) < "\x80"} == LOWERS_TO_ASCII
    everything = "".join(map(chr, cps))
    cased = {ch for ch in re.findall("[a-z]", everything, re.IGNORECASE) if ch >= "\x80"}
    assert {ord(ch): "".join(a for a in string.ascii_lowercase if re.match(a, ch, re.IGNORECASE))
            for ch in cased} == MATCHES_LETTER
    assert re.findall(r"\.", everything, re.IGNORECASE) == ["."]
    # \b is between a word character (alphanumeric, or "_") and anything else:
    # between spaces, a boundary comes before each word character and after it.
    word = {ord(ch) for ch in re.findall(r"\b(.)", " ".join(everything), re.DOTALL)} - {0x20}
    assert word == {c for c in cps if chr(c).isalnum() or c == 0x5F}
    for lo, hi, step in ((128, 256, 1), (256, 0x10000, 1), (0x10000, 0x110000, 64)):
        words = [chr(c) for c in range(lo, hi) if c in word]
        non_words = [chr(c) for c in range(lo, hi) if c not in word][::step]  # beyond the BMP, mostly unassigned
        chars = words + non_words
        cases = [("sklearn", "".join(f" f{ch}t s{ch}learn {ch}klearn" for ch in chars)),
                 ("sklearn", "".join(f" {ch}fit fit{ch}" for ch in words)),
                 ("numpy", "".join(f" np.{ch} {ch}np." for ch in non_words))]
        for framework, text in cases:
            assert fw.quick_framework_score(text, framework) == ref_quick(text, framework)
        rest = "".join(f" loc{ch}" for ch in chars if ord(ch) not in LOWERS_TO_ASCII)
        assert fw.score_indicators(rest, None) == ref_indicators(rest, None) == (0,) * 7


def test_factors_are_the_reciprocals_of_the_list_sizes():
    assert fw.normalize_scores(1, 1, 1, 1, 1) == (0.06666666666666667, 0.1, 0.09090909090909091,
                                                  0.027777777777777776, 0.07692307692307693)
    assert fw.score_framework_patterns("np. agg fit") == (0.04, 0.05555555555555555, 0.05555555555555555)
