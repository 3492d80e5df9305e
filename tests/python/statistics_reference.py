"""Float64 reference of the alignment statistics, from their formulas."""

import numpy as np


def normalize(gradient):
    """(W, column sums) of one signal's N x M gradient matrix."""
    sums = gradient.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        weights = np.where(sums != 0.0, gradient / np.where(sums != 0.0, sums, 1.0), 0.0)
    return weights, sums


def clamped_log_std(variance):
    with np.errstate(invalid="ignore"):
        value = np.log(np.sqrt(variance) + 1e-8)
    return np.where(np.isnan(value), 10.0, np.clip(value, -10.0, 10.0))


def weighted_mean(weights, values):
    return (weights * values[:, None]).sum(axis=0)


def weighted_log_std(weights, values, means):
    return clamped_log_std((weights * (values[:, None] - means[None, :]) ** 2).sum(axis=0))


def index_log_std(weights):
    rows = np.arange(weights.shape[0], dtype=np.float64)
    return weighted_log_std(weights, rows, weighted_mean(weights, rows))
