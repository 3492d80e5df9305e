"""orvane.estimators against tslearn (a test oracle, float64) and scikit-learn: the classifier's
neighbours, votes and labels against tslearn's Soft-DTW matrices and scikit-learn's
nearest-neighbour voting, k-means against tslearn's TimeSeriesKMeans from the same centroids,
series of several lengths in both of tslearn's forms, parameter checks, scikit-learn's estimator
checks, and the two examples."""

import runpy
import sys
from pathlib import Path

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError
from sklearn.metrics import adjusted_rand_score
from sklearn.neighbors import KNeighborsClassifier
from sklearn.utils._param_validation import InvalidParameterError
from sklearn.utils.estimator_checks import parametrize_with_checks

import softdtw_reference as ref
from orvane import cpu_cuda_testing as hooks
from orvane.estimators import SoftDTWKMeans, SoftDTWKNeighborsClassifier
from tslearn_oracle import tslearn_module

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

# float64 on both sides: the two recurrences differ by a few roundings per cell.
FLOAT64_AGREEMENT = 1e-9
GAMMA = 0.5


@pytest.fixture(scope="module")
def trace():
    """A slice of tslearn's Trace data set, every fifth sample: (X_train, y_train, X_test,
    y_test) of 20 and 12 series of 55 samples."""
    X, y, X_test, y_test = tslearn_module("datasets").CachedDatasets().load_dataset("Trace")
    return X[:20, ::5], y[:20], X_test[:12, ::5], y_test[:12]


@pytest.fixture(params=["cpu", "twin"])
def backend_name(request):
    return request.param


def ragged(seed, count=9, channels=2):
    """Series of several lengths and channels, and the same as tslearn pads them (NaN rows)."""
    rng = np.random.default_rng(seed)
    series = [np.cumsum(rng.standard_normal((n, channels)), axis=0)
              for n in rng.integers(6, 15, count)]
    padded = np.full((count, max(len(s) for s in series), channels), np.nan)
    for k, values in enumerate(series):
        padded[k, :len(values)] = values
    return series, padded


# The classifier


def sklearn_votes(train_matrix, test_matrix, y, n_neighbors, weights):
    """scikit-learn's nearest-neighbour classifier on precomputed distances."""
    classifier = KNeighborsClassifier(n_neighbors, weights=weights, metric="precomputed")
    classifier.fit(train_matrix, y)
    return classifier.predict(test_matrix), classifier.predict_proba(test_matrix)


@pytest.mark.parametrize("weights", ["uniform", "distance"])
def test_the_classifier_votes_as_scikit_learn_does_on_tslearns_divergences(trace, weights,
                                                                          backend_name):
    X, y, X_test, _ = trace
    metrics = tslearn_module("metrics")
    divergences = metrics.cdist_soft_dtw_normalized(X_test, X, gamma=GAMMA)
    labels, proba = sklearn_votes(metrics.cdist_soft_dtw_normalized(X, X, gamma=GAMMA),
                                  divergences, y, 3, weights)
    ours = SoftDTWKNeighborsClassifier(3, gamma=GAMMA, weights=weights,
                                       backend=backend_name).fit(X, y)
    distances, indices = ours.kneighbors(X_test)
    np.testing.assert_array_equal(indices, np.argsort(divergences, axis=1)[:, :3])
    np.testing.assert_allclose(distances, np.sort(divergences, axis=1)[:, :3],
                               rtol=FLOAT64_AGREEMENT)
    np.testing.assert_array_equal(ours.predict(X_test), labels)
    np.testing.assert_allclose(ours.predict_proba(X_test), proba, rtol=FLOAT64_AGREEMENT)


def test_scores_rank_neighbours_as_tslearns_classifier_does(trace, backend_name):
    X, y, X_test, _ = trace
    neighbors = tslearn_module("neighbors")
    theirs = neighbors.KNeighborsTimeSeriesClassifier(
        n_neighbors=3, metric="softdtw", metric_params={"gamma": GAMMA}).fit(X, y)
    ours = SoftDTWKNeighborsClassifier(3, gamma=GAMMA, divergence=False,
                                       backend=backend_name).fit(X, y)
    np.testing.assert_array_equal(ours.kneighbors(X_test, return_distance=False),
                                  theirs.kneighbors(X_test, return_distance=False))
    np.testing.assert_array_equal(ours.predict(X_test), theirs.predict(X_test))


def test_a_series_at_zero_divergence_takes_every_vote_under_distance_weights():
    series = [np.sin(np.linspace(0, 3, n) + shift) for n, shift in [(20, 0), (18, 1), (22, 2)]]
    classifier = SoftDTWKNeighborsClassifier(3, weights="distance").fit(series, ["a", "b", "c"])
    np.testing.assert_array_equal(classifier.predict_proba([series[1]]), [[0.0, 1.0, 0.0]])
    # Elsewhere each neighbour weighs the inverse of its divergence.
    query = np.sin(np.linspace(0, 3, 19) + 0.4)
    distances, indices = classifier.kneighbors([query])
    expected = np.zeros(3)
    expected[indices[0]] = 1 / distances[0]
    np.testing.assert_allclose(classifier.predict_proba([query])[0], expected / expected.sum())


def test_series_of_several_lengths_read_alike_as_a_list_and_padded_with_nan():
    series, padded = ragged(seed=3)
    queries, padded_queries = ragged(seed=4, count=5)
    labels = np.arange(len(series)) % 3
    from_list = SoftDTWKNeighborsClassifier(2, gamma=GAMMA).fit(series, labels)
    from_padding = SoftDTWKNeighborsClassifier(2, gamma=GAMMA).fit(padded, labels)
    expected = tslearn_module("metrics").cdist_soft_dtw_normalized(padded_queries, padded,
                                                                   gamma=GAMMA)
    for classifier in (from_list, from_padding):
        for given in (queries, padded_queries):
            distances, _ = classifier.kneighbors(given)
            np.testing.assert_allclose(distances, np.sort(expected, axis=1)[:, :2],
                                       rtol=FLOAT64_AGREEMENT)


# k-means


@pytest.mark.parametrize("updates", [1, 3])
def test_kmeans_reaches_tslearns_inertia_from_the_same_centroids(trace, updates, backend_name):
    X = trace[0]
    init = X[[0, 1, 5, 7]]
    ours = SoftDTWKMeans(4, gamma=GAMMA, max_iter=updates, max_iter_barycenter=10, init=init,
                         backend=backend_name).fit(X)
    # tslearn reports the assignment before its last update: one more iteration gives the
    # inertia and labels of the centroids after `updates` updates, which ours returns.
    theirs = tslearn_module("clustering").TimeSeriesKMeans(
        4, metric="softdtw", metric_params={"gamma": GAMMA}, max_iter=updates + 1,
        max_iter_barycenter=10, init=init).fit(X)
    assert ours.n_iter_ == updates
    assert ours.inertia_ == pytest.approx(theirs.inertia_, rel=1e-6)
    np.testing.assert_array_equal(ours.labels_, theirs.labels_)


@pytest.mark.parametrize("divergence", [False, True], ids=["scores", "divergence"])
def test_kmeans_distances_and_inertia_are_tslearns_for_its_centroids(trace, divergence):
    X, _, X_test, _ = trace
    kmeans = SoftDTWKMeans(3, gamma=GAMMA, max_iter=2, max_iter_barycenter=5,
                           divergence=divergence, random_state=0).fit(X)
    metrics = tslearn_module("metrics")
    cdist = metrics.cdist_soft_dtw_normalized if divergence else metrics.cdist_soft_dtw
    expected = cdist(X_test, kmeans.cluster_centers_, gamma=GAMMA)
    np.testing.assert_allclose(kmeans.transform(X_test), expected, rtol=FLOAT64_AGREEMENT)
    np.testing.assert_array_equal(kmeans.predict(X_test), expected.argmin(axis=1))
    on_training = cdist(X, kmeans.cluster_centers_, gamma=GAMMA)
    np.testing.assert_array_equal(kmeans.labels_, on_training.argmin(axis=1))
    assert kmeans.inertia_ == pytest.approx(np.mean(on_training.min(axis=1) ** 2),
                                            rel=FLOAT64_AGREEMENT)


def test_kmeans_finds_groups_of_copies():
    """Four shapes, three copies each: k-means++ seeds one copy of each shape (a copy of a seed
    is at divergence zero from it, so it is never drawn), and the clusters are the shapes, each
    copy at divergence zero from its seed."""
    grid = np.linspace(0, 1, 30)
    shapes = [np.sin(6 * grid), np.cos(6 * grid), 4 * grid - 2, np.sign(grid - 0.5)]
    X = np.array([shape for shape in shapes for _ in range(3)])
    groups = np.repeat(np.arange(4), 3)
    for seed in range(3):
        kmeans = SoftDTWKMeans(4, max_iter=2, max_iter_barycenter=5, divergence=True,
                               random_state=seed).fit(X)
        assert adjusted_rand_score(groups, kmeans.labels_) == 1.0


def test_kmeans_keeps_the_run_of_least_inertia():
    series, _ = ragged(seed=5, count=12, channels=1)
    options = {"n_clusters": 3, "max_iter": 2, "max_iter_barycenter": 5, "init": "random"}
    # Runs from one generator draw the seeds that n_init runs draw from it, in turn.
    seeds = np.random.RandomState(0)
    runs = [SoftDTWKMeans(**options, random_state=seeds).fit(series).inertia_
            for _ in range(4)]
    assert len(set(runs)) > 1  # runs that differ, so that the choice among them is tested
    best = SoftDTWKMeans(**options, n_init=4, random_state=0).fit(series)
    assert best.inertia_ == min(runs)


def test_an_empty_cluster_takes_the_farthest_series():
    """A centroid far from every series wins none: it is replaced by the series farthest from
    its own centroid, which then has it to itself (at divergence zero)."""
    grid = np.linspace(0, 1, 25)
    X = np.array([np.sin(6 * grid + shift) for shift in (0.0, 0.1, 0.2, 3.0, 3.1)]
                 + [np.full(25, 5.0)])
    init = np.stack([X[0], X[3], np.full(25, 100.0)])
    kmeans = SoftDTWKMeans(3, gamma=GAMMA, max_iter=1, max_iter_barycenter=5, init=init,
                           divergence=True).fit(X)
    first = tslearn_module("metrics").cdist_soft_dtw_normalized(X, init, gamma=GAMMA)
    farthest = int(np.argmax(first.min(axis=1)))
    np.testing.assert_array_equal(kmeans.cluster_centers_[2, :, 0], X[farthest])
    assert np.flatnonzero(kmeans.labels_ == 2).tolist() == [farthest]


def test_kmeans_takes_series_of_several_lengths_as_a_list_and_padded_with_nan():
    series, padded = ragged(seed=6)
    fitted = [SoftDTWKMeans(2, max_iter=2, max_iter_barycenter=5, random_state=1).fit(given)
              for given in (series, padded)]
    longest = max(len(values) for values in series)
    for kmeans in fitted:
        assert kmeans.cluster_centers_.shape == (2, longest, 2)
        np.testing.assert_array_equal(kmeans.labels_, kmeans.predict(series))
    np.testing.assert_allclose(fitted[0].cluster_centers_, fitted[1].cluster_centers_)
    assert fitted[0].inertia_ == fitted[1].inertia_


# Options


def reference_divergence(x, y, gamma):
    """sdtw(x, y) - (sdtw(x, x) + sdtw(y, y)) / 2 under |x - y|, from the float64 reference."""
    score = lambda a, b: ref.score_of_distance(ref.distance(a, b), gamma)
    return score(x, y) - (score(x, x) + score(y, y)) / 2


def test_gamma_and_the_cost_reach_the_calls():
    series, _ = ragged(seed=7, count=5, channels=1)
    series = [values[:, 0] for values in series]
    classifier = SoftDTWKNeighborsClassifier(5, gamma=0.3, cost="abs").fit(series, range(5))
    distances, indices = classifier.kneighbors(series[:2])
    expected = [[reference_divergence(x, series[j], 0.3) for j in row]
                for x, row in zip(series[:2], indices)]
    np.testing.assert_allclose(distances, expected, rtol=FLOAT64_AGREEMENT, atol=1e-12)
    kmeans = SoftDTWKMeans(2, gamma=0.3, cost="abs", max_iter=1, max_iter_barycenter=3,
                           random_state=0).fit(series)
    centers = kmeans.cluster_centers_[:, :, 0]
    np.testing.assert_allclose(
        kmeans.transform(series[:2]),
        [[ref.score_of_distance(ref.distance(x, c), 0.3) for c in centers] for x in series[:2]],
        rtol=FLOAT64_AGREEMENT)


@pytest.mark.parametrize("backend_name, launches", [("cpu", False), ("twin", True)])
def test_the_backend_is_passed_on(backend_name, launches):
    """The twin counts its kernels' launches; the vectorised module launches none."""
    series, _ = ragged(seed=8, count=6, channels=1)
    before = hooks.launches_run()
    SoftDTWKMeans(2, max_iter=1, max_iter_barycenter=2, backend=backend_name,
                  random_state=0).fit(series)
    assert (hooks.launches_run() > before) == launches
    before = hooks.launches_run()
    SoftDTWKNeighborsClassifier(2, backend=backend_name).fit(series, [0, 1] * 3).predict(series)
    assert (hooks.launches_run() > before) == launches


# Parameters and input


@pytest.mark.parametrize("estimator", [
    SoftDTWKMeans(0), SoftDTWKMeans(gamma=0.0), SoftDTWKMeans(gamma=-1.0),
    SoftDTWKMeans(max_iter=0), SoftDTWKMeans(tol=-1.0), SoftDTWKMeans(n_init=0),
    SoftDTWKMeans(init="forgy"), SoftDTWKMeans(cost="l1"), SoftDTWKMeans(backend="gpu"),
    SoftDTWKMeans(precision="half"), SoftDTWKMeans(divergence="yes"),
    SoftDTWKNeighborsClassifier(0), SoftDTWKNeighborsClassifier(2.5),
    SoftDTWKNeighborsClassifier(weights="inverse"), SoftDTWKNeighborsClassifier(gamma="1"),
], ids=repr)
def test_bad_parameters_are_refused_at_fit(estimator):
    X, y = np.random.default_rng(0).standard_normal((6, 8)), [0, 1] * 3
    with pytest.raises(InvalidParameterError):
        estimator.fit(X, y)


@pytest.mark.parametrize("estimator, message", [
    (SoftDTWKMeans(7), "n_samples=6 should be >= n_clusters=7"),
    (SoftDTWKMeans(2, init=np.zeros((3, 8))), "n_clusters=2 centroids"),
    (SoftDTWKMeans(2, init=np.zeros((2, 8, 2))), "init has 2 channels"),
    (SoftDTWKNeighborsClassifier(7), "n_neighbors=7 exceeds"),
    (SoftDTWKNeighborsClassifier(weights="distance", divergence=False), "never negative"),
])
def test_what_does_not_fit_the_data_is_refused_at_fit(estimator, message):
    X, y = np.random.default_rng(0).standard_normal((6, 8)), [0, 1] * 3
    with pytest.raises(ValueError, match=message):
        estimator.fit(X, y)


@pytest.mark.parametrize("estimator", [SoftDTWKMeans(2), SoftDTWKNeighborsClassifier(2)],
                         ids=["kmeans", "neighbours"])
def test_series_are_checked(estimator):
    X, y = np.random.default_rng(0).standard_normal((6, 8, 2)), [0, 1] * 3
    with pytest.raises(NotFittedError):
        estimator.predict(X)
    inside = X.copy()
    inside[2, 3, 0] = np.nan
    with pytest.raises(ValueError, match="NaN in series 2"):
        estimator.fit(inside, y)
    with pytest.raises(ValueError, match="series 1 has no samples"):
        estimator.fit([X[0], np.full((4, 2), np.nan)], [0, 1])
    with pytest.raises(ValueError, match="same number of channels"):
        estimator.fit([X[0], X[1, :, :1]], [0, 1])
    estimator.fit(X, y)
    with pytest.raises(ValueError, match="X has 1 channels"):
        estimator.predict(X[:, :, 0])


def expected_failures(estimator):
    """The checks that hold a series' samples to be features of a fixed count: time series
    estimators take series of any length once fitted."""
    reason = ("series of any length are accepted once fitted, so there is no count of "
              "features to hold X to")
    failures = {"check_n_features_in": reason, "check_n_features_in_after_fitting": reason}
    general = ("check_classifiers_train" if isinstance(estimator, SoftDTWKNeighborsClassifier)
               else "check_transformer_general")
    failures[general] = f"predicts on X.T at its end, expecting a refusal: {reason}"
    return failures


@parametrize_with_checks([SoftDTWKNeighborsClassifier(),
                          SoftDTWKMeans(max_iter=3, max_iter_barycenter=5)],
                         expected_failed_checks=expected_failures)
def test_scikit_learns_estimator_checks(estimator, check):
    check(estimator)


# Examples


@pytest.mark.parametrize("example, printed", [
    ("classification_example.py", "accuracy"),
    ("clustering_example.py", "adjusted Rand index"),
])
def test_the_examples_run_on_a_few_series(example, printed, monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", [example, "--small"])
    runpy.run_path(str(EXAMPLES / example), run_name="__main__")
    assert printed in capsys.readouterr().out
