import re

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
SOURCE = ((SOURCE + "\n") * 2)[:2048]

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
    h.bench("quick_framework_score(2KB)", fw.quick_framework_score, (SOURCE, "numpy"), target=100_000,
            floor=(floor.call, (SOURCE, "numpy")), baseline=(py_quick_framework_score, (SOURCE, "numpy")))
    h.bench("quick_framework_score(unknown)", fw.quick_framework_score, (SOURCE, "torch"),
            floor=(floor.call, (SOURCE, "torch")), baseline=(py_quick_framework_score, (SOURCE, "torch")))
    h.bench("score_framework_patterns(2KB)", fw.score_framework_patterns, (SOURCE,), floor=(floor.call, (SOURCE,)),
            baseline=(py_score_framework_patterns, (SOURCE,)))
    h.bench("score_indicators(2KB)", fw.score_indicators, (SOURCE, name), floor=(floor.call, (SOURCE, name)),
            baseline=(py_score_indicators, (SOURCE, name)))
    counts = (7, 5, 2, 20, 4)
    h.bench("normalize_scores", fw.normalize_scores, counts, floor=(floor.call, counts),
            baseline=(py_normalize_scores, counts))
    args = (0.4, 0.3, 0.2, 0.5, 0.4, 0.1, 0.1, 0.1, 1, 0, 0.7, 0.7, 0.6, 0.3, 0.3, 0.3, False)
    h.bench("determine_workload_pattern", fw.determine_workload_pattern, args, floor=(floor.call, args),
            baseline=(py_determine_workload_pattern, args))
