import math
import re
import sys
import threading

import pytest
from support import Hostile, run_python
from hypothesis import given, settings, strategies as st

import tarvish.plugins.analyzer.ferrowind as fw

# ---------------------------------------------------------------------------
# Independent pure-Python statement of the scoring rules.

PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b", re.IGNORECASE),
}
FRAMEWORK_WORDS = [
    "numpy np. ndarray array matrix vectorize broadcast ufunc dot matmul linalg fft sum mean std var min max "
    "argmax argmin reshape transpose concatenate stack split".split(),
    "pandas pd. dataframe series groupby apply agg transform merge join concat pivot melt query eval rolling "
    "resample sort_values".split(),
    "sklearn fit predict transform score cross_val gridsearchcv randomizedsearchcv pipeline featureunion "
    "train_test_split classification regression clustering preprocessing model_selection metrics ensemble".split(),
]
INDICATOR_WORDS = [  # (keywords, also counted in the function name)
    ("for while range numpy scipy math calculation compute algorithm sum prod dot matmul fft linalg".split(), False),
    ("array list dict pandas dataframe allocate buffer cache append extend".split(), False),
    ("multiprocessing threading concurrent async parallel pool worker chunk batch processpoolexecutor "
     "threadpoolexecutor".split(), False),
    ("matmul dot tensordot @ fft ifft rfft convolve correlate sum mean std var sin cos exp log sqrt power ** add "
     "subtract multiply divide / * + - linalg linear_algebra array asarray zeros ones empty full".split(), True),
    ("reshape resize huge large gigabyte gb million billion 1e6 1e9 1024 megabyte mb".split(), False),
    ("workload benchmark intensive chunk_workload map apply vectorize broadcast".split(), True),
    ("global nonlocal lock mutex synchronized sequential ordered dependencies".split(), False),
]
FACTORS = [1 / 15, 1 / 10, 1 / 11, 1 / 36, 1 / 13]


def clamp(v, lo, hi):
    return max(min(v, hi), lo)


def fma(x, y, z):
    try:
        return math.fma(x, y, z)
    except ValueError:
        return math.nan
    except OverflowError:
        return math.copysign(math.inf, x * y + z)


def ref_quick(code, framework):
    return min(len(PATTERNS[framework].findall(code)) * 0.1, 1.0) if framework in PATTERNS else 0.0


def ref_frameworks(code):
    low = code.lower()
    counts = [sum(w in low for w in words) for words in FRAMEWORK_WORDS]
    return tuple(clamp(n * f, 0.0, 1.0) for n, f in zip(counts, (0.04, 0.05555555555555555, 0.05555555555555555)))


def ref_indicators(code, name):
    low, nlow = code.lower(), (name.lower() if name else "")
    return tuple(sum((w in low) or (also and w in nlow) for w in words) for words, also in INDICATOR_WORDS)


def ref_normalize(*counts):
    return tuple(clamp(c * f, 0.0, 1.0) for c, f in zip(counts, FACTORS))


def ref_gpu_suitability(op, data, cpu, available, cc):
    if not available:
        return 0.0
    mult = 1.0
    if cc:
        try:
            major = int(cc.split(".")[0])
            mult = 1.2 if major > 7 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8
        except (ValueError, IndexError):
            pass
    return clamp(mult * (fma(data, 0.4, op * 0.6) + clamp(cpu * 0.3, 0.0, 0.3)), 0.0, 1.0)


def ref_speedup(s, data, available):
    if not available or s == 0.0:
        return 1.0
    base = 15.0 if s > 0.8 else 8.0 if s > 0.6 else 4.0 if s > 0.3 else 2.0
    return fma(0.5 * data, base, base)


def ref_parallel(base, emb, seq, loop):
    total = (clamp(emb * 0.3, 0.0, 0.7) + base) - clamp(seq * 0.2, 0.0, 0.5)
    return clamp(fma(loop, 0.4, total), 0.0, 1.0)


def ref_pattern(cpu, mem, par, gsuit, gop, np_s, pd_s, sk_s, seq, emb, cpu_t, mem_t, gpu_t, np_t, pd_t, sk_t, gpu):
    rules = [(sk_s > sk_t, 12), (pd_s > pd_t, 10), (np_s > np_t, 8),
             (gpu and gsuit > gpu_t, 6 if gop > 0.7 and cpu > 0.6 else 7 if mem > 0.5 else 5),
             (emb > 0 or par > 0.6, 3), (cpu > cpu_t, 1), (mem > mem_t, 2), (seq >= 3, 4), (True, 0)]
    return next(code for cond, code in rules if cond)


def ref_threshold(t, rate, lr, lo, hi):
    t = lr + t if rate > 0.8 else t - lr if not rate >= 0.4 else t
    return lo if t < lo else min(t, hi)


def same(a, b):
    if isinstance(a, tuple):
        return type(b) is tuple and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return type(a) is type(b) and a == b and math.copysign(1, a) == math.copysign(1, b)


PATTERN_ARGS = dict(cpu_intensity=0.0, memory_intensity=0.0, parallelization_potential=0.0, gpu_suitability=0.0,
                    gpu_operation_score=0.0, numpy_score=0.0, pandas_score=0.0, sklearn_score=0.0,
                    sequential_count=0, embarrassing_count=0, cpu_threshold=0.5, memory_threshold=0.5,
                    gpu_threshold=0.6, numpy_threshold=0.3, pandas_threshold=0.3, sklearn_threshold=0.3,
                    gpu_available=False)


def pattern(**kw):
    return fw.determine_workload_pattern(**{**PATTERN_ARGS, **kw})


# ---------------------------------------------------------------------------


class TestModuleFrame:
    def test_attributes_in_order_and_table_private(self):
        names = [n for n in vars(fw) if not n.startswith("__")]
        assert names == ["re", "quick_framework_score", "calculate_gpu_suitability", "estimate_gpu_speedup",
                         "calculate_parallelization_potential", "score_indicators", "normalize_scores",
                         "score_framework_patterns", "determine_workload_pattern", "update_adaptive_threshold",
                         "logging", "logger"]
        assert fw.re is re and fw.logger.name == "tarvish.plugins.analyzer.ferrowind"

    def test_load_message_logged_at_info(self):
        code = ("import logging,sys; logging.basicConfig(level=logging.INFO, stream=sys.stdout, format='%(levelname)s "
                "%(name)s %(message)s'); import tarvish.plugins.analyzer.ferrowind")
        out = run_python(code, check=True).stdout
        assert out == "INFO tarvish.plugins.analyzer.ferrowind Tarvish Ferrowind Cython module loaded - IP protected\n"


class TestBinding:
    def test_keywords_accepted(self):
        assert fw.quick_framework_score(framework="numpy", code="np.x") == 0.1
        assert fw.normalize_scores(large_data_score=13, gpu_op_score=0, parallel_score=0, memory_score=0,
                                   cpu_score=0) == (0.0, 0.0, 0.0, 0.0, 1.0)
        assert pattern(sequential_count=3) == 4

    def test_conversions(self):
        assert fw.normalize_scores(1.9, True, 0, 0, 0) == (1 / 15, 0.1, 0.0, 0.0, 0.0)
        assert fw.estimate_gpu_speedup(1, 1, [0]) == 22.5  # ints as floats, a non-empty list is true
        assert fw.calculate_gpu_suitability(0.5, 0.5, 0.0, 1, "") == 0.5


class TestTextScoring:
    @pytest.mark.parametrize("code, framework, expected", [
        ("import numpy as np; x = np.array([1])", "numpy", 3 * 0.1),
        ("NP.ARRAY", "numpy", 0.2), ("arrays", "numpy", 0.0), ("np. x", "numpy", 0.0),
        ("array " * 10, "numpy", 1.0), ("array " * 25, "numpy", 1.0),
        ("numpy", "NumPy", 0.0), ("numpy", None, 0.0), (None, "torch", 0.0),
        ("df = pd.DataFrame(); df.groupby(1)", "pandas", 3 * 0.1), ("model.fit(X); model.predict(X)", "sklearn", 0.2),
        ("énumpy numpyé numpy_ 9numpy", "numpy", 0.0), ("\u017fklearn", "sklearn", 0.1),  # long s folds to s
    ])
    def test_quick_framework_score(self, code, framework, expected):
        assert fw.quick_framework_score(code, framework) == expected

    @pytest.mark.parametrize("code, expected", [
        ("import numpy as np; y = np.dot(a, b).sum()", (0.16, 0.0, 0.0)),
        ("df = pd.DataFrame(d); df.groupby('k').agg('sum')", (0.04, 4 * 0.05555555555555555, 0.0)),
        ("NUMPY", (0.04, 0.0, 0.0)), ("\u0130NUMPY", (0.04, 0.0, 0.0)),  # İ lowers to two code points
        ("", (0.0, 0.0, 0.0)),
        (" ".join(w for words in FRAMEWORK_WORDS for w in words), (1.0, 1.0, 1.0)),
    ])
    def test_score_framework_patterns(self, code, expected):
        assert fw.score_framework_patterns(code) == expected

    @pytest.mark.parametrize("code, name, expected", [
        ("for i in range(10): total = sum(x)", "compute_total", (3, 0, 0, 1, 0, 0, 0)),
        ("y = a @ b", "matmul_kernel", (0, 0, 0, 2, 0, 0, 0)),
        ("", None, (0,) * 7), ("", "", (0,) * 7), ("", "MAP_benchmark", (0, 0, 0, 0, 0, 2, 0)),
        ("x ** 2", None, (0, 0, 0, 2, 0, 0, 0)), ("a -> b", None, (0, 0, 0, 1, 0, 0, 0)),
        ("LOC\u212a", None, (0, 0, 0, 0, 0, 0, 1)),  # Kelvin sign lowers to k
        ("éforé", "\u00e9dot", (1, 0, 0, 1, 0, 0, 0)), ("dot", "dot", (1, 0, 0, 1, 0, 0, 0)),
    ])
    def test_score_indicators(self, code, name, expected):
        assert fw.score_indicators(code, name) == expected

    @pytest.mark.parametrize("pos", range(7))
    def test_indicator_lists_complete(self, pos):
        words, _ = INDICATOR_WORDS[pos]
        assert fw.score_indicators(" ".join(words).upper(), None)[pos] == len(words)

    @pytest.mark.parametrize("args, expected", [
        ((15, 10, 11, 36, 13), (1.0,) * 5), ((-3, 0, 22, 1, 0), (0.0, 0.0, 1.0, 0.027777777777777776, 0.0)),
        ((2**31 - 1, -2**31, 1, 1, 1), (1.0, 0.0, 1 / 11, 1 / 36, 1 / 13)),
    ])
    def test_normalize_scores(self, args, expected):
        assert fw.normalize_scores(*args) == expected


class TestDecisions:
    @pytest.mark.parametrize("args, expected", [
        ((0.5, 0.5, 0.0, True, None), 0.5), ((1.0, 1.0, 1.0, True, "8.6"), 1.0),
        ((0.5, 0.5, 0.0, True, "7.5"), 1.1 * 0.5), ((0.5, 0.5, 0.0, True, "5.2"), 0.8 * 0.5),
        ((0.5, 0.5, 0.0, True, "6.1"), 0.5), ((0.5, 0.5, 0.0, True, "abc"), 0.5), ((0.5, 0.5, 0.0, True, ".5"), 0.5),
        ((0.5, 0.5, 0.0, True, " 8 .1"), 0.6), ((0.5, 0.5, 0.0, True, "\u0668.6"), 0.6),
        ((0.5, 0.5, 0.0, True, "1_0"), 0.6), ((0.5, 0.5, 0.0, True, "-9.0"), 0.4),
        ((0.5, 0.5, 0.0, True, "9" * 5000), 0.5), ((1.0, 1.0, 1.0, False, "8.6"), 0.0),
        ((0.5, 0.5, 2.0, True, None), 0.8), ((0.3, 0.7, -1.0, True, None), math.fma(0.7, 0.4, 0.3 * 0.6)),
    ])
    def test_gpu_suitability(self, args, expected):
        assert fw.calculate_gpu_suitability(*args) == expected

    @pytest.mark.parametrize("args, expected", [
        ((0.9, 1.0, True), 22.5), ((0.7, 0.0, True), 8.0), ((0.5, 0.5, True), 5.0), ((0.1, 0.0, True), 2.0),
        ((0.0, 1.0, True), 1.0), ((-0.0, 1.0, True), 1.0), ((0.9, 1.0, False), 1.0), ((0.8, 0.3, True), math.fma(0.5 * 0.3, 8.0, 8.0)),
        ((0.6, 0.0, True), 4.0), ((0.3, 0.0, True), 2.0), ((-5.0, 0.0, True), 2.0),
    ])
    def test_gpu_speedup(self, args, expected):
        assert fw.estimate_gpu_speedup(*args) == expected

    @pytest.mark.parametrize("args, expected", [
        ((0.5, 1.0, 0.0, 0.0), 0.8), ((0.5, 5.0, 0.0, 0.0), 1.0), ((0.5, 0.0, 1.0, 0.0), 0.3),
        ((0.5, 0.0, 10.0, 0.0), 0.0), ((0.3, 0.0, 0.0, 0.5), 0.5), ((0.1, 0.1, 0.1, 0.1), math.fma(0.1, 0.4, (0.1 * 0.3 + 0.1) - 0.1 * 0.2)),
    ])
    def test_parallelization(self, args, expected):
        assert fw.calculate_parallelization_potential(*args) == expected

    @pytest.mark.parametrize("kw, expected", [
        (dict(sklearn_score=0.5, pandas_score=0.5, numpy_score=0.5), 12), (dict(pandas_score=0.5), 10),
        (dict(numpy_score=0.5), 8), (dict(numpy_score=0.3), 0),
        (dict(gpu_available=True, gpu_suitability=0.9, gpu_operation_score=0.9, cpu_intensity=0.9), 6),
        (dict(gpu_suitability=0.9, gpu_operation_score=0.9, cpu_intensity=0.9, cpu_threshold=0.7), 1),
        (dict(gpu_available=True, gpu_suitability=0.9, memory_intensity=0.6, memory_threshold=0.9), 7),
        (dict(gpu_available=True, gpu_suitability=0.9, gpu_operation_score=0.7, cpu_intensity=0.9), 5),
        (dict(gpu_available=True, gpu_suitability=0.6), 0), (dict(embarrassing_count=1, cpu_intensity=0.9), 3),
        (dict(parallelization_potential=0.61), 3), (dict(parallelization_potential=0.6), 0),
        (dict(memory_intensity=0.6), 2), (dict(sequential_count=3), 4), (dict(sequential_count=2), 0),
        (dict(embarrassing_count=-1, sequential_count=2**31 - 1), 4),
    ])
    def test_workload_pattern(self, kw, expected):
        assert pattern(**kw) == expected

    @pytest.mark.parametrize("args, expected", [
        ((0.5, 0.9, 0.05, 0.1, 0.9), 0.05 + 0.5), ((0.5, 0.3, 0.05, 0.1, 0.9), 0.5 - 0.05),
        ((0.5, 0.8, 0.05, 0.1, 0.9), 0.5), ((0.5, 0.4, 0.05, 0.1, 0.9), 0.5), ((0.88, 0.9, 0.05, 0.1, 0.9), 0.9),
        ((0.12, 0.1, 0.05, 0.1, 0.9), 0.1), ((0.5, 0.6, 0.05, 0.7, 0.3), 0.7), ((0.5, 0.6, 0.05, 0.1, 0.3), 0.3),
        ((0.5, math.nan, 0.05, 0.1, 0.9), 0.5 - 0.05),
    ])
    def test_adaptive_threshold(self, args, expected):
        assert fw.update_adaptive_threshold(*args) == expected


TEXT = st.lists(st.sampled_from(sorted({w for ws in FRAMEWORK_WORDS for w in ws} | {w for ws, _ in INDICATOR_WORDS
                                                                                    for w in ws})
                                + ["NP.", "Array", "DATAFRAME", "Fit", " ", ".", "_", "é", "\u0130", "\u212a",
                                   "\u017f", "ß", "Σ", "x", "1", "\n", "𝔸"]), max_size=30).map("".join)
FLOAT = st.one_of(st.floats(-2.0, 2.0), st.floats(), st.sampled_from([0.0, -0.0, 0.3, 0.6, 0.7, 0.8, 1.0]))
INT32 = st.integers(-2**31, 2**31 - 1)


@pytest.mark.thread_unsafe
class TestAgainstReference:
    @settings(max_examples=300, deadline=None)
    @given(TEXT, st.one_of(st.none(), TEXT), st.sampled_from(["numpy", "pandas", "sklearn", "NumPy", "", None]))
    def test_text_functions(self, code, name, framework):
        assert same(fw.quick_framework_score(code, framework), ref_quick(code, framework))
        assert same(fw.score_framework_patterns(code), ref_frameworks(code))
        assert same(fw.score_indicators(code, name), ref_indicators(code, name))

    @settings(max_examples=300, deadline=None)
    @given(st.lists(st.one_of(INT32, st.integers(-100, 100)), min_size=5, max_size=5))
    def test_normalize(self, counts):
        assert same(fw.normalize_scores(*counts), ref_normalize(*counts))

    @settings(max_examples=500, deadline=None)
    @given(FLOAT, FLOAT, FLOAT, FLOAT, FLOAT, st.booleans(),
           st.one_of(st.none(), st.from_regex(r"\A\s*-?[0-9]{1,3}(\.[0-9]*)?\Z"), st.text(max_size=6)))
    def test_numeric_functions(self, a, b, c, d, e, flag, cc):
        assert same(fw.calculate_gpu_suitability(a, b, c, flag, cc), ref_gpu_suitability(a, b, c, flag, cc))
        assert same(fw.estimate_gpu_speedup(a, b, flag), ref_speedup(a, b, flag))
        assert same(fw.calculate_parallelization_potential(a, b, c, d), ref_parallel(a, b, c, d))
        assert same(fw.update_adaptive_threshold(a, b, c, d, e), ref_threshold(a, b, c, d, e))

    @settings(max_examples=500, deadline=None)
    @given(st.lists(FLOAT, min_size=14, max_size=14), INT32, st.integers(-2, 5), st.booleans())
    def test_workload_pattern(self, f, emb, seq, gpu):
        args = [*f[:8], seq, emb, *f[8:], gpu]
        assert fw.determine_workload_pattern(*args) == ref_pattern(*args)


class TestErrors:
    @pytest.mark.parametrize("call, exc, message", [
        (lambda: fw.quick_framework_score(None, "numpy"), TypeError, "expected string or bytes-like object, got 'NoneType'"),
        (lambda: fw.score_framework_patterns(None), TypeError,
         "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object"),
        (lambda: fw.score_indicators(None, "f"), TypeError,
         "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object"),
        (lambda: fw.calculate_gpu_suitability(0, 0, 0, True, "2147483648.0"), OverflowError,
         "value too large to convert to int"),
    ])
    def test_messages(self, call, exc, message):
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc and str(info.value) == message

    @pytest.mark.parametrize("field, slot", [("gpu_available", "bool"), ("sequential_count", "int")])
    def test_every_argument_converted_before_the_first_rule(self, field, slot):
        with pytest.raises(ZeroDivisionError, match=f"^hostile __{slot}__$"):
            pattern(sklearn_score=1.0, **{field: Hostile()})  # the first rule alone would decide


@pytest.mark.thread_unsafe
class TestRefcounts:
    def test_arguments_not_leaked(self):
        code, name, x = "".join(["np.array(a) @ b"] * 3), "".join(["f", "n"]), 0.75 + 0.0
        calls = [lambda: fw.quick_framework_score(code, "numpy"), lambda: fw.score_framework_patterns(code),
                 lambda: fw.score_indicators(code, name), lambda: fw.calculate_gpu_suitability(x, x, x, True, name),
                 lambda: pattern(cpu_intensity=x), lambda: fw.quick_framework_score(code, 5),
                 lambda: fw.calculate_gpu_suitability(x, x, x, True, "9" * 20), lambda: fw.score_indicators(code, 5)]
        before = [sys.getrefcount(o) for o in (code, name, x)]
        for call in calls * 50:
            try:
                call()
            except (TypeError, OverflowError):
                pass
        assert [sys.getrefcount(o) for o in (code, name, x)] == before


@pytest.mark.threads
class TestConcurrency:
    def test_threads_agree(self):
        code = "import numpy as np\nfor i in range(9): y = np.dot(a, b) ** 2\n" * 20
        expected = (fw.quick_framework_score(code, "numpy"), fw.score_framework_patterns(code),
                    fw.score_indicators(code, "kernel"))
        results = []

        def work():
            for _ in range(50):
                results.append((fw.quick_framework_score(code, "numpy"), fw.score_framework_patterns(code),
                                fw.score_indicators(code, "kernel")))

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results == [expected] * 200
