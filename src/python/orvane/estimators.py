"""scikit-learn estimators over Soft-DTW: k-means whose centroids are Soft-DTW barycenters, and
a nearest-neighbour classifier over the Soft-DTW divergence. scikit-learn is an optional
dependency, so the package does not import this module itself: `import orvane.estimators`.

Both take time series as tslearn lays them out, an (n, sz, d) array (an (n, sz) array is n
series of one channel) whose shorter series end in rows of NaN, or as a list of series of any
lengths, each (n_k,) or (n_k, d)."""

from __future__ import annotations

import inspect
import numbers
from dataclasses import dataclass

import numpy as np

try:
    from sklearn.base import (BaseEstimator, ClassifierMixin, ClusterMixin, TransformerMixin,
                              _fit_context)
    from sklearn.utils import check_random_state
    from sklearn.utils._param_validation import Interval, StrOptions
    from sklearn.utils.multiclass import check_classification_targets
    from sklearn.utils.validation import check_array, check_is_fitted, column_or_1d
except ImportError as error:
    raise ImportError("orvane.estimators needs scikit-learn: pip install scikit-learn (or the "
                      "package's sklearn extra)") from error

from ._barycenter import barycenter
from ._batch import COSTS
from ._pairwise import pairwise
from ._types import BACKEND_NAMES, PRECISIONS

__all__ = ["SoftDTWKMeans", "SoftDTWKNeighborsClassifier"]

# tslearn's soft-DTW barycenter tolerance (L-BFGS-B's, on the objective's relative change and
# the gradient's largest component), so that each centroid's search stops where its would.
BARYCENTER_TOL = 1e-3

# The keyword by which check_array lets NaN through: ensure_all_finite from scikit-learn 1.6,
# force_all_finite before it.
_FINITE_KEYWORD = ("ensure_all_finite" if "ensure_all_finite"
                   in inspect.signature(check_array).parameters else "force_all_finite")

# Series are kept in the type they come in when it is one the paths compute in.
_FLOAT_TYPES = (np.float64, np.float32)

# The options of the Soft-DTW calls that both estimators make.
_SOFT_DTW_CONSTRAINTS = {
    "gamma": [Interval(numbers.Real, 0, None, closed="neither")],
    "divergence": ["boolean"],
    "cost": [StrOptions(set(COSTS))],
    "backend": [StrOptions(set(BACKEND_NAMES)), None],
    "precision": [StrOptions(set(PRECISIONS)), None],
}


def _as_series(X, dtype=_FLOAT_TYPES) -> list[np.ndarray]:
    """X as a list of (n_k, d) arrays of `dtype` (the first of them unless X holds another),
    each without the rows of NaN that pad its end. X is a 2-D (n, sz) or 3-D (n, sz, d) array,
    or a list of series of any lengths, each (n_k,) or (n_k, d). A NaN anywhere but in the
    padding, or an infinite value, is refused."""
    if _is_ragged(X):
        series = [_with_channels(check_array(x, dtype=dtype, ensure_2d=False,
                                             **{_FINITE_KEYWORD: "allow-nan"}), f"series {k}")
                  for k, x in enumerate(X)]
    else:
        array = check_array(X, dtype=dtype, allow_nd=True, **{_FINITE_KEYWORD: "allow-nan"})
        if array.ndim > 3:
            raise ValueError(f"X must be an (n, sz) or (n, sz, d) array of series, got "
                             f"{array.ndim} dimensions")
        series = list(array[:, :, None] if array.ndim == 2 else array)
    series = [_unpadded(values, k) for k, values in enumerate(series)]
    channels = {values.shape[1] for values in series}
    if len(channels) > 1:
        raise ValueError(f"every series must have the same number of channels, got "
                         f"{sorted(channels)}")
    return series


def _is_ragged(X) -> bool:
    """Whether X is a list of series that no array holds: their shapes differ."""
    return isinstance(X, (list, tuple)) and len({np.shape(x) for x in X}) > 1


def _with_channels(values: np.ndarray, name: str) -> np.ndarray:
    if values.ndim > 2:
        raise ValueError(f"{name} must be (n_k,) or (n_k, d), got {values.ndim} dimensions")
    return values[:, None] if values.ndim == 1 else values


def _unpadded(values: np.ndarray, k: int) -> np.ndarray:
    """The series without its trailing rows of NaN (tslearn's padding of shorter series)."""
    padding = np.isnan(values).all(axis=1)
    if padding.all():
        raise ValueError(f"Input contains NaN only: series {k} has no samples")
    length = len(values) - int(np.argmin(padding[::-1]))
    if np.isnan(values[:length]).any():
        raise ValueError(f"Input contains NaN in series {k} (rows of NaN are read as padding "
                         "only at a series' end)")
    return values[:length]


def _signals(series: list[np.ndarray]) -> list[np.ndarray]:
    """Series as the package takes them: 1-D for one channel, so that no shape reads two ways."""
    return [values[:, 0] for values in series] if series[0].shape[1] == 1 else series


def _resampled(values: np.ndarray, length: int) -> np.ndarray:
    """An (n_k, d) series linearly resampled to `length` samples, channel by channel."""
    if len(values) == length:
        return values
    old, new = np.linspace(0.0, 1.0, len(values)), np.linspace(0.0, 1.0, length)
    return np.stack([np.interp(new, old, channel) for channel in values.T],
                    axis=1).astype(values.dtype)


class _SoftDTWEstimator(BaseEstimator):
    """What both estimators share: their Soft-DTW options, their reading of series once
    fitted, and their tags."""

    def _options(self) -> dict:
        return {"gamma": self.gamma, "cost": self.cost, "backend": self.backend,
                "precision": self.precision}

    def _distances(self, series, others, divergence=None) -> np.ndarray:
        """The (len(series), len(others)) NumPy matrix of Soft-DTW scores, or divergences."""
        divergence = self.divergence if divergence is None else divergence
        return np.asarray(pairwise(_signals(series), _signals(others), divergence=divergence,
                                   **self._options()))

    def _remember_input(self, series):
        self._dtype = series[0].dtype
        self._channels = series[0].shape[1]

    def _fitted_series(self, X) -> list[np.ndarray]:
        """X read as series of the fitted ones' type, refused unless of their channels."""
        check_is_fitted(self)
        series = _as_series(X, self._dtype)
        if series[0].shape[1] != self._channels:
            raise ValueError(f"X has {series[0].shape[1]} channels, but {type(self).__name__} "
                             f"was fitted on series of {self._channels}")
        return series

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.three_d_array = True
        return tags


@dataclass
class _Run:
    """One run of k-means from one set of seeds."""

    centers: np.ndarray
    labels: np.ndarray
    inertia: float
    iterations: int


class SoftDTWKMeans(TransformerMixin, ClusterMixin, _SoftDTWEstimator):
    """k-means under Soft-DTW: each series goes to the centroid of lowest Soft-DTW score (or
    divergence, with divergence=True), and each centroid is the Soft-DTW barycenter of its
    series (`orvane.barycenter`, from the centroid it replaces), as tslearn's
    TimeSeriesKMeans(metric="softdtw") does.

    n_clusters: the number of centroids.
    gamma: Soft-DTW's smoothing.
    max_iter: the most updates of the centroids in one run.
    tol: a run stops when the inertia changes by less than this between two assignments.
    n_init: runs from different seeds; the one of least inertia is kept. With `init` an
        array there is one run.
    max_iter_barycenter: L-BFGS-B's iteration limit for each centroid's update.
    init: "k-means++" (seeds drawn one by one, each series with probability in proportion to
        its divergence from the nearest seed so far), "random" (n_clusters distinct series),
        or an (n_clusters, sz, d) array of centroids to start from. Seeds drawn from the data
        are resampled linearly to the longest series' length.
    divergence: assign by the Soft-DTW divergence, and make centroids its barycenters.
    cost: "sqeuclidean" ((x - y)^2 summed over the channels, tslearn's) or "abs".
    backend, precision: passed on to every Soft-DTW call (None: the package's choice).
    random_state: draws the seeds.

    Attributes: cluster_centers_ ((n_clusters, sz, d)), labels_ (each training series'
    centroid), inertia_, n_iter_ (the centroids' updates in the run kept). inertia_ is the mean
    over the training series of their squared distance to their centroid, as tslearn defines
    it, so that the two compare; the distance is the score, which may be negative, unless
    divergence=True. labels_ and inertia_ are those of the returned centroids.
    """

    _parameter_constraints = {
        "n_clusters": [Interval(numbers.Integral, 1, None, closed="left")],
        "max_iter": [Interval(numbers.Integral, 1, None, closed="left")],
        "tol": [Interval(numbers.Real, 0, None, closed="left")],
        "n_init": [Interval(numbers.Integral, 1, None, closed="left")],
        "max_iter_barycenter": [Interval(numbers.Integral, 1, None, closed="left")],
        "init": [StrOptions({"k-means++", "random"}), "array-like"],
        "random_state": ["random_state"],
        **_SOFT_DTW_CONSTRAINTS,
    }

    def __init__(self, n_clusters=3, *, gamma=1.0, max_iter=50, tol=1e-6, n_init=1,
                 max_iter_barycenter=100, init="k-means++", divergence=False,
                 cost="sqeuclidean", backend=None, precision=None, random_state=None):
        self.n_clusters = n_clusters
        self.gamma = gamma
        self.max_iter = max_iter
        self.tol = tol
        self.n_init = n_init
        self.max_iter_barycenter = max_iter_barycenter
        self.init = init
        self.divergence = divergence
        self.cost = cost
        self.backend = backend
        self.precision = precision
        self.random_state = random_state

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y=None):
        """Clusters the series X; y is ignored."""
        series = _as_series(X)
        if len(series) < self.n_clusters:
            raise ValueError(f"n_samples={len(series)} should be >= "
                             f"n_clusters={self.n_clusters}")
        self._remember_input(series)
        given = self._given_centers(series)
        if given is not None:
            best = self._run(series, given)
        else:
            rng = check_random_state(self.random_state)
            length = max(len(values) for values in series)
            best = min((self._run(series, self._seeds(series, length, rng))
                        for _ in range(self.n_init)), key=lambda run: run.inertia)
        self.cluster_centers_ = best.centers
        self.labels_ = best.labels
        self.inertia_ = best.inertia
        self.n_iter_ = best.iterations
        return self

    def transform(self, X):
        """(n, n_clusters): each series' Soft-DTW score (or divergence) to every centroid."""
        series = self._fitted_series(X)
        return self._distances(series, list(self.cluster_centers_))

    def predict(self, X):
        """The centroid of least distance for each series of X."""
        return self.transform(X).argmin(axis=1)

    def _given_centers(self, series) -> np.ndarray | None:
        if isinstance(self.init, str):
            return None
        centers = _as_series(self.init, self._dtype)
        if len(centers) != self.n_clusters or len({len(c) for c in centers}) > 1:
            raise ValueError(f"init must hold n_clusters={self.n_clusters} centroids of one "
                             "length")
        if centers[0].shape[1] != series[0].shape[1]:
            raise ValueError(f"init has {centers[0].shape[1]} channels, X "
                             f"{series[0].shape[1]}")
        return np.stack(centers)

    def _seeds(self, series, length, rng) -> np.ndarray:
        if self.init == "random":
            chosen = rng.choice(len(series), self.n_clusters, replace=False)
        else:
            chosen = self._kmeans_plus_plus(series, rng)
        return np.stack([_resampled(series[k], length) for k in chosen])

    def _kmeans_plus_plus(self, series, rng) -> list[int]:
        """Seeds drawn one by one, the first uniformly, each next one with probability in
        proportion to a series' divergence from its nearest seed. The divergence, not the
        score, since the score of a series against itself is not its least."""
        chosen = [int(rng.randint(len(series)))]
        nearest = np.full(len(series), np.inf)
        while len(chosen) < self.n_clusters:
            to_last = self._distances(series, [series[chosen[-1]]], divergence=True)[:, 0]
            nearest = np.minimum(nearest, np.maximum(to_last, 0.0))
            weights = nearest.copy()
            weights[chosen] = 0.0
            if weights.sum() == 0.0:  # only copies of the seeds are left: any will do
                weights = np.ones(len(series))
                weights[chosen] = 0.0
            chosen.append(int(rng.choice(len(series), p=weights / weights.sum())))
        return chosen

    def _run(self, series, centers) -> _Run:
        """Assignments and updates from `centers` until the inertia settles or max_iter
        updates; the last assignment is to the centroids returned."""
        previous = np.inf
        for iterations in range(self.max_iter + 1):
            distances = self._distances(series, list(centers))
            labels = distances.argmin(axis=1)
            inertia = float(np.mean(np.square(distances[np.arange(len(series)), labels],
                                              dtype=np.float64)))
            if iterations == self.max_iter or abs(previous - inertia) < self.tol:
                return _Run(centers, labels, inertia, iterations)
            centers = self._updated(series, centers, distances, labels)
            previous = inertia

    def _updated(self, series, centers, distances, labels) -> np.ndarray:
        """Each cluster's barycenter, searched from its centroid. A cluster left empty takes
        the series farthest from its own centroid, not yet taken, as its centroid."""
        farthest = iter(np.argsort(-distances[np.arange(len(series)), labels], kind="stable"))
        updated = []
        for k, center in enumerate(centers):
            members = [values for values, label in zip(series, labels) if label == k]
            if members:
                updated.append(self._barycenter(members, center))
            else:
                updated.append(_resampled(series[next(farthest)], len(center)))
        return np.stack(updated)

    def _barycenter(self, members, center) -> np.ndarray:
        z, _ = barycenter(_signals(members), init=_signals([center])[0], gamma=self.gamma,
                          divergence=self.divergence, max_iter=self.max_iter_barycenter,
                          tol=BARYCENTER_TOL, cost=self.cost, backend=self.backend,
                          precision=self.precision)
        return np.asarray(z).reshape(center.shape)


class SoftDTWKNeighborsClassifier(ClassifierMixin, _SoftDTWEstimator):
    """k nearest neighbours under the Soft-DTW divergence, sdtw(x, y) - (sdtw(x, x) +
    sdtw(y, y)) / 2, which is zero from a series to itself and, with the squared cost, not
    negative (`orvane.pairwise(..., divergence=True)`).

    n_neighbors: the neighbours that vote.
    gamma: Soft-DTW's smoothing.
    weights: "uniform" (one vote each) or "distance" (each vote weighs the inverse of its
        divergence, clipped at zero; neighbours at zero, where there are any, take every
        vote).
    divergence: False ranks neighbours by the plain Soft-DTW score instead, as tslearn's
        KNeighborsTimeSeriesClassifier(metric="softdtw") does; a score may be negative, so
        that goes with weights="uniform" only.
    cost: "sqeuclidean" ((x - y)^2 summed over the channels, tslearn's) or "abs".
    backend, precision: passed on to every Soft-DTW call (None: the package's choice).

    Attributes: classes_, the labels seen in fit, in sorted order.
    """

    _parameter_constraints = {
        "n_neighbors": [Interval(numbers.Integral, 1, None, closed="left")],
        "weights": [StrOptions({"uniform", "distance"})],
        **_SOFT_DTW_CONSTRAINTS,
    }

    def __init__(self, n_neighbors=5, *, gamma=1.0, weights="uniform", divergence=True,
                 cost="sqeuclidean", backend=None, precision=None):
        self.n_neighbors = n_neighbors
        self.gamma = gamma
        self.weights = weights
        self.divergence = divergence
        self.cost = cost
        self.backend = backend
        self.precision = precision

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y):
        """Keeps the series X and their labels y."""
        series = _as_series(X)
        y = column_or_1d(y, warn=True)
        if len(y) != len(series):
            raise ValueError(f"X holds {len(series)} series, but y {len(y)} labels")
        check_classification_targets(y)
        if self.n_neighbors > len(series):
            raise ValueError(f"n_neighbors={self.n_neighbors} exceeds the training series "
                             f"(n_samples={len(series)})")
        if self.weights == "distance" and not self.divergence:
            raise ValueError("weights='distance' needs distances that are never negative: "
                             "divergence=True")
        self._remember_input(series)
        self.classes_, self._labels = np.unique(y, return_inverse=True)
        self._series = [values.copy() for values in series]  # X may change after fit
        return self

    def kneighbors(self, X, n_neighbors=None, return_distance=True):
        """The n_neighbors (by default the estimator's) nearest training series of each series
        of X, nearest first: (distances, indices), or the indices alone."""
        n_neighbors = self.n_neighbors if n_neighbors is None else n_neighbors
        distances = self._distances(self._fitted_series(X), self._series)
        if not 1 <= n_neighbors <= distances.shape[1]:
            raise ValueError(f"n_neighbors must be from 1 to {distances.shape[1]}, the training "
                             f"series, got {n_neighbors}")
        indices = np.argsort(distances, axis=1, kind="stable")[:, :n_neighbors]
        if return_distance:
            return np.take_along_axis(distances, indices, axis=1), indices
        return indices

    def predict_proba(self, X):
        """(n, n_classes): each class's share of the neighbours' votes."""
        distances, indices = self.kneighbors(X)
        votes = self._votes(distances)
        proba = np.zeros((len(indices), len(self.classes_)))
        np.add.at(proba, (np.arange(len(indices))[:, None], self._labels[indices]), votes)
        return proba / proba.sum(axis=1, keepdims=True)

    def predict(self, X):
        """The class of most votes for each series of X (the first in classes_ on a tie)."""
        proba = self.predict_proba(X)
        return self.classes_[proba.argmax(axis=1)]

    def _votes(self, distances) -> np.ndarray:
        if self.weights == "uniform":
            return np.ones_like(distances, dtype=np.float64)
        distances = np.maximum(np.asarray(distances, np.float64), 0.0)
        at_zero = distances == 0.0
        with np.errstate(divide="ignore"):
            votes = 1.0 / distances
        touching = at_zero.any(axis=1)
        votes[touching] = at_zero[touching]
        return votes
