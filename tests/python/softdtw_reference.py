"""Float64 reference of the Soft-DTW quantities, written from the mathematics (not from the
kernels): plain nested loops over (i, j) on ordinary 2-D arrays."""

import numpy as np


def softmin(values, gamma):
    """-gamma * log(sum(exp(-v / gamma))) over the finite-or-infinite values given."""
    values = np.asarray(values, dtype=np.float64)
    if values.size == 0 or np.all(values == np.inf):
        return np.inf
    if np.any(values == -np.inf):
        return -np.inf
    z = -values / gamma
    top = np.max(z)
    return -gamma * (top + np.log(np.sum(np.exp(z - top))))


def distance(x, y):
    return np.abs(np.asarray(x, np.float64)[:, None] - np.asarray(y, np.float64)[None, :])


def forward(cost_matrix, gamma, alpha=0.0):
    """Score matrix R of one signal; cost_matrix is D (N x M)."""
    cost = np.asarray(cost_matrix, np.float64) - alpha
    rows, cols = cost.shape
    score = np.empty((rows, cols))
    for i in range(rows):
        for j in range(cols):
            if i == 0 and j == 0:
                score[i, j] = cost[i, j]
                continue
            previous = []
            if i > 0:
                previous.append(score[i - 1, j])
            if i > 0 and j > 0:
                previous.append(score[i - 1, j - 1])
            if j > 0:
                previous.append(score[i, j - 1])
            score[i, j] = cost[i, j] + softmin(previous, gamma)
    return score


def terminals(rows, cols, last_row_only):
    cells = [(rows - 1, j) for j in range(cols)]
    if not last_row_only:
        cells += [(i, cols - 1) for i in range(rows - 1)]
    return cells


def final_score(score, gamma, local_end=False, last_row_only=False, gap=0.0):
    rows, cols = score.shape
    if not local_end:
        return score[-1, -1]
    return softmin([score[i, j] + gap * j for i, j in terminals(rows, cols, last_row_only)], gamma)


def score_of_distance(cost_matrix, gamma, alpha=0.0, **end):
    return final_score(forward(cost_matrix, gamma, alpha), gamma, **end)


def backward(cost_matrix, gamma, alpha=0.0, local_end=False, last_row_only=False, gap=0.0):
    """d final_score / d D(i, j): the expected alignment, by the chain rule through R."""
    cost = np.asarray(cost_matrix, np.float64) - alpha
    score = forward(cost_matrix, gamma, alpha)
    rows, cols = score.shape
    total = final_score(score, gamma, local_end, last_row_only, gap)
    grad = np.zeros((rows, cols))
    if local_end:
        for i, j in terminals(rows, cols, last_row_only):
            grad[i, j] = np.exp((total - score[i, j] - gap * j) / gamma)
    else:
        grad[-1, -1] = 1.0
    for i in range(rows - 1, -1, -1):
        for j in range(cols - 1, -1, -1):
            for si, sj in ((i + 1, j), (i + 1, j + 1), (i, j + 1)):
                # No path runs through an infinite cell (one outside a band).
                if si < rows and sj < cols and score[si, sj] != np.inf:
                    weight = np.exp((score[si, sj] - cost[si, sj] - score[i, j]) / gamma)
                    grad[i, j] += grad[si, sj] * weight
    return grad


def sample_gradients(x, y, grad):
    """Chain rule through |x_i - y_j|: (d/dx, d/dy) given d/dD."""
    sign = np.sign(np.asarray(x, np.float64)[:, None] - np.asarray(y, np.float64)[None, :])
    return (grad * sign).sum(axis=1), -(grad * sign).sum(axis=0)


def softmin64(*values, gamma):
    stacked = -np.stack(values) / gamma
    top = np.max(stacked, axis=0)
    safe = np.where(np.isfinite(top), top, 0.0)
    return -gamma * (np.log(np.sum(np.exp(stacked - safe), axis=0)) + safe)


def by_diagonals(cost, gamma, alpha=0.0, local_end=False, last_row_only=False, gap=0.0,
                 dtype=np.float64):
    """(R, final score, E) of one signal's cost matrix D, computed a whole anti-diagonal at a
    time in `dtype` (np.longdouble gives a reference better than float64): the same
    mathematics as forward() and backward(), fast enough for large matrices."""
    cost = np.asarray(cost, dtype) - dtype(alpha)
    gamma, gap = dtype(gamma), dtype(gap)
    n, m = cost.shape
    score = np.full((n + 1, m + 1), np.inf, dtype)
    score[0, 0] = 0
    for d in range(n + m - 1):
        i = np.arange(max(0, d - m + 1), min(d, n - 1) + 1)
        j = d - i
        score[i + 1, j + 1] = cost[i, j] + softmin64(score[i, j + 1], score[i, j],
                                                    score[i + 1, j], gamma=gamma)
    score = score[1:, 1:]
    # Padded by one cell on each side; successors past the matrix have no score.
    full = np.full((n + 2, m + 2), -np.inf, dtype)
    full[1:-1, 1:-1] = score
    padded_cost = np.zeros((n + 2, m + 2), dtype)
    padded_cost[1:-1, 1:-1] = cost
    seed = np.zeros((n + 2, m + 2), dtype)
    if local_end:
        cells = terminals(n, m, last_row_only)
        ends = np.array([score[i, j] + gap * j for i, j in cells], dtype)
        total = softmin64(*ends[:, None], gamma=gamma)[0]
        for (i, j), end in zip(cells, ends):
            seed[i + 1, j + 1] = np.exp((total - end) / gamma)
    else:
        total = score[-1, -1]
        seed[n, m] = 1
    grad = np.zeros((n + 2, m + 2), dtype)
    for d in range(n + m - 2, -1, -1):
        i = np.arange(max(0, d - m + 1), min(d, n - 1) + 1) + 1
        j = d - (i - 1) + 1
        here = full[i, j]
        value = seed[i, j].copy()
        for di, dj in ((1, 0), (1, 1), (0, 1)):
            s_i, s_j = i + di, j + dj
            with np.errstate(invalid="ignore"):
                weight = np.exp((full[s_i, s_j] - here - padded_cost[s_i, s_j]) / gamma)
            value += grad[s_i, s_j] * np.where(np.isfinite(full[s_i, s_j]), weight, 0)
        grad[i, j] = value
    return score, total, grad[1:-1, 1:-1]


def squared_distance(x, y):
    """The squared Euclidean cost (x_i - y_j)^2, tslearn's."""
    return distance(x, y) ** 2
