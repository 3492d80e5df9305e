"""Converts a small batch of matrices between row-major order and the anti-diagonal layout,
on the CUDA module where a GPU is present and on the CPU twin otherwise, and prints it."""

import numpy as np

from orvane.buffers import select_backend


def show_batch(title, values, lengths, ref_length, row_major):
    print(title)
    offset = 0
    for k, rows in enumerate(lengths):
        block = values[offset:offset + rows * ref_length]
        shown = block.reshape(rows, ref_length) if row_major else block
        print(f"  signal {k} ({rows} x {ref_length}):")
        print("   ", np.array2string(shown, precision=0, separator=" ").replace("\n", "\n    "))
        offset += rows * ref_length


def main():
    backend = select_backend()
    print(f"Running on {backend.name}: {backend.module.__doc__}\n")
    lengths, ref_length = [3, 4, 1], 4
    total = sum(lengths) * ref_length
    # Each cell holds 10 * row + column, so the layouts are easy to read.
    square = np.concatenate([np.add.outer(10 * np.arange(rows), np.arange(ref_length)).ravel()
                             for rows in lengths]).astype(np.float32)

    square_buffer = backend.array(square)
    antidiag_buffer = backend.full(total, np.nan)
    last_rows_buffer = backend.full(len(lengths) * ref_length, np.nan)
    back_buffer = backend.full(total, np.nan)

    module = backend.module
    module.convert_square_to_antidiag(lengths, ref_length, square_buffer.ptr, antidiag_buffer.ptr)
    module.extract_last_row_antidiag(lengths, ref_length, antidiag_buffer.ptr,
                                     last_rows_buffer.ptr)
    module.convert_antidiag_to_square(lengths, ref_length, antidiag_buffer.ptr, back_buffer.ptr)

    show_batch("Row-major batch (cell = 10 * row + column):", square, lengths, ref_length, True)
    show_batch("\nAnti-diagonal layout (diagonal after diagonal):", antidiag_buffer.numpy(),
               lengths, ref_length, False)
    print("\nLast row of every signal:")
    last_rows = last_rows_buffer.numpy().reshape(len(lengths), ref_length)
    print("   ", np.array2string(last_rows, precision=0, separator=" ").replace("\n", "\n    "))
    round_trip = np.array_equal(back_buffer.numpy(), square)
    print(f"\nRound trip back to row-major reproduces the batch: {round_trip}")


if __name__ == "__main__":
    main()
