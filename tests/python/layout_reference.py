"""An independent statement of the anti-diagonal layout: cells sorted by diagonal, then
column. Used by the tests as the oracle for every layout conversion."""

import numpy as np


def antidiag_order(rows, cols):
    """Row-major indices of an rows x cols matrix in anti-diagonal storage order."""
    i, j = np.divmod(np.arange(rows * cols, dtype=np.int64), cols)
    return np.lexsort((j, i + j))  # by diagonal, then by column


def matrix_offsets(lengths, cols):
    return np.concatenate([[0], np.cumsum(np.asarray(lengths, dtype=np.int64) * cols)[:-1]])


def square_to_antidiag(square, lengths, cols):
    """Batch matrix in row-major order -> anti-diagonal layout (float64 or float32 in, same out)."""
    out = np.empty_like(square)
    for offset, rows in zip(matrix_offsets(lengths, cols), lengths):
        block = square[offset:offset + rows * cols]
        out[offset:offset + rows * cols] = block[antidiag_order(rows, cols)]
    return out


def antidiag_to_square(antidiag, lengths, cols):
    out = np.empty_like(antidiag)
    for offset, rows in zip(matrix_offsets(lengths, cols), lengths):
        block = np.empty(rows * cols, dtype=antidiag.dtype)
        block[antidiag_order(rows, cols)] = antidiag[offset:offset + rows * cols]
        out[offset:offset + rows * cols] = block
    return out
