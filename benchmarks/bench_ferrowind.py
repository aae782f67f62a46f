import re

from harness import optional_import
from tarvish import _bench_floor as floor
from tarvish.plugins.analyzer import ferrowind as fw

# A typical function source of about 2 KB, as the analyser hands it over.
SOURCE = '''
def train_and_score(frame, labels, n_chunks=8, use_gpu=False):
    """Fit a model on chunks of a DataFrame and return the mean score."""
    import numpy as np
    import pandas as pd
    from sklearn.model_selection import train_test_split
    from sklearn.ensemble import RandomForestClassifier
    results = []
    grouped = frame.groupby("bucket").agg({"value": "sum", "weight": "mean"})
    matrix = np.asarray(grouped.values, dtype=np.float64)
    for i in range(n_chunks):
        chunk = matrix[i::n_chunks]
        if chunk.size == 0:
            continue
        norm = np.linalg.norm(chunk, axis=1)
        scaled = chunk / (norm[:, None] + 1e-9)
        product = scaled @ scaled.T
        total = np.sum(product ** 2) - np.mean(product)
        results.append(float(total))
    x_train, x_test, y_train, y_test = train_test_split(matrix, labels[: len(matrix)], test_size=0.25)
    model = RandomForestClassifier(n_estimators=100, n_jobs=-1)
    model.fit(x_train, y_train)
    predicted = model.predict(x_test)
    accuracy = (predicted == y_test).mean()
    while len(results) < n_chunks:
        results.append(0.0)
    merged = pd.DataFrame({"score": results}).rolling(2).mean().fillna(0.0)
    summary = merged.describe().transpose()
    if use_gpu:
        weights = np.exp(-np.abs(np.fft.fft(summary.values.ravel())))
        accuracy = accuracy * float(np.max(weights))
    cache = {}
    for key, value in zip(range(len(results)), results):
        cache[key] = value
    buffer = list(cache.values())
    buffer.extend(results)
    return accuracy, np.array(buffer).reshape(-1, 1).mean()
'''.strip()
DOCSTRING = '"""Fit a model on chunks of a DataFrame and return the mean score."""'
UNICODE_SOURCE = SOURCE.replace(DOCSTRING, '"""Fit a model on chunks of Jos\u00e9\u2019s DataFrame \u2014 the \u201cmean\u201d '
                                           'score of a forest."""')
SOURCE = ((SOURCE + "\n") * 2)[:2048]
# The same source with a little non-ASCII text (an em dash and quotes in the
# docstring, an accented name), which stores it two bytes per character.
UNICODE_SOURCE = ((UNICODE_SOURCE + "\n") * 2)[:2048]
BIG_SOURCE = SOURCE * 512  # 1 MB
BIG_UNICODE_SOURCE = UNICODE_SOURCE * 512  # 1 M characters, 2 MB as stored
# The one-pass floor of a text: str.count of a character it lacks reads it once,
# at memory speed.
ABSENT = "\x01"
assert ABSENT not in SOURCE + UNICODE_SOURCE

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
INDICATOR_WORDS = [
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


def py_quick_framework_score(code, framework):
    pattern = PATTERNS.get(framework)
    return min(len(pattern.findall(code)) * 0.1, 1.0) if pattern else 0.0


def py_score_framework_patterns(code):
    low = code.lower()
    out = []
    for words, factor in zip(FRAMEWORK_WORDS, (0.04, 0.05555555555555555, 0.05555555555555555)):
        out.append(max(min(sum(1 for w in words if w in low) * factor, 1.0), 0.0))
    return tuple(out)


def py_score_indicators(code, function_name):
    low = code.lower()
    name = function_name.lower() if function_name else ""
    return tuple(sum(1 for w in words if w in low or (also and w in name)) for words, also in INDICATOR_WORDS)


def _keyword_peers():
    """The keyword jobs done the way a user would with a multi-pattern automaton:
    lower-case the text, find every (overlapping) keyword, count per list."""
    rs, pyac = optional_import("ahocorasick_rs"), optional_import("ahocorasick")

    def jobs(lists):
        words = sorted({w for ws in lists for w in ws})
        sets = [frozenset(ws) for ws in lists]
        found = {}
        if rs:
            ac = rs.AhoCorasick(words, matchkind=rs.MatchKind.Standard)
            found["ahocorasick_rs"] = lambda text: set(ac.find_matches_as_strings(text, overlapping=True))
        if pyac:
            auto = pyac.Automaton()
            for w in words:
                auto.add_word(w, w)
            auto.make_automaton()
            found["pyahocorasick"] = lambda text: {w for _, w in auto.iter(text)}
        return sets, found

    frame_sets, frame_found = jobs(FRAMEWORK_WORDS)
    ind_sets, ind_found = jobs([ws for ws, _ in INDICATOR_WORDS])
    also = [a for _, a in INDICATOR_WORDS]
    factors = (0.04, 0.05555555555555555, 0.05555555555555555)

    def frameworks(find):
        return lambda code: tuple(max(min(len(find(code.lower()) & ws) * f, 1.0), 0.0)
                                  for ws, f in zip(frame_sets, factors))

    def indicators(find):
        def score(code, function_name):
            low = find(code.lower())
            name = find(function_name.lower()) if function_name else set()
            return tuple(len((low | name if a else low) & ws) for ws, a in zip(ind_sets, also))
        return score

    names = ("ahocorasick_rs", "pyahocorasick")
    return ({n: frameworks(frame_found[n]) if n in frame_found else None for n in names},
            {n: indicators(ind_found[n]) if n in ind_found else None for n in names})


def _pattern_peers():
    """findall of the same patterns by the re2 and regex engines."""
    re2, rx = optional_import("re2"), optional_import("regex")
    out = {}
    if re2:
        table = {k: re2.compile("(?i)" + p.pattern) for k, p in PATTERNS.items()}
        out["re2"] = lambda code, fw_name: min(len(table[fw_name].findall(code)) * 0.1, 1.0) if fw_name in table else 0.0
    else:
        out["re2"] = None
    if rx:
        table2 = {k: rx.compile(p.pattern, rx.IGNORECASE) for k, p in PATTERNS.items()}
        out["regex"] = (lambda code, fw_name: min(len(table2[fw_name].findall(code)) * 0.1, 1.0)
                        if fw_name in table2 else 0.0)
    else:
        out["regex"] = None
    return out


def py_normalize_scores(cpu, memory, parallel, gpu_op, large_data):
    factors = (0.06666666666666667, 0.1, 0.09090909090909091, 0.027777777777777776, 0.07692307692307693)
    return tuple(max(min(c * f, 1.0), 0.0) for c, f in zip((cpu, memory, parallel, gpu_op, large_data), factors))


def py_determine_workload_pattern(cpu, mem, par, gsuit, gop, np_s, pd_s, sk_s, seq, emb, cpu_t, mem_t, gpu_t, np_t,
                                  pd_t, sk_t, gpu):
    if sk_s > sk_t:
        return 12
    if pd_s > pd_t:
        return 10
    if np_s > np_t:
        return 8
    if gpu and gsuit > gpu_t:
        return 6 if gop > 0.7 and cpu > 0.6 else 7 if mem > 0.5 else 5
    if emb > 0 or par > 0.6:
        return 3
    if cpu > cpu_t:
        return 1
    if mem > mem_t:
        return 2
    return 4 if seq >= 3 else 0


def rows(h):
    name = "train_and_score"
    frame_peers, ind_peers = _keyword_peers()
    pattern_peers = _pattern_peers()

    def peers(table, args):
        return {k: (fn, args) if fn else None for k, fn in table.items()}

    for label, text in (("2KB", SOURCE), ("2KB non-ASCII", UNICODE_SOURCE), ("1MB", BIG_SOURCE),
                        ("1MB non-ASCII", BIG_UNICODE_SOURCE)):
        args = (text, "numpy")
        one_pass = (str.count, (text, ABSENT))
        h.bench(f"quick_framework_score({label})", fw.quick_framework_score, args,
                target=100_000 if label == "2KB" else None, floor=(floor.call, args),
                one_pass=one_pass, baseline=(py_quick_framework_score, args), peers=peers(pattern_peers, args))
        if label == "2KB":
            h.bench("quick_framework_score(unknown)", fw.quick_framework_score, (SOURCE, "torch"),
                    floor=(floor.call, (SOURCE, "torch")), baseline=(py_quick_framework_score, (SOURCE, "torch")))
        h.bench(f"score_framework_patterns({label})", fw.score_framework_patterns, (text,),
                floor=(floor.call, (text,)), one_pass=one_pass, baseline=(py_score_framework_patterns, (text,)),
                peers=peers(frame_peers, (text,)))
        h.bench(f"score_indicators({label})", fw.score_indicators, (text, name), floor=(floor.call, (text, name)),
                one_pass=one_pass, baseline=(py_score_indicators, (text, name)), peers=peers(ind_peers, (text, name)))
    counts = (7, 5, 2, 20, 4)
    h.bench("normalize_scores", fw.normalize_scores, counts, floor=(floor.call, counts),
            baseline=(py_normalize_scores, counts))
    args = (0.4, 0.3, 0.2, 0.5, 0.4, 0.1, 0.1, 0.1, 1, 0, 0.7, 0.7, 0.6, 0.3, 0.3, 0.3, False)
    h.bench("determine_workload_pattern", fw.determine_workload_pattern, args, floor=(floor.call, args),
            baseline=(py_determine_workload_pattern, args))
