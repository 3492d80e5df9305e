"""Orvane CUDA implementation: the eleven address-level functions, on device addresses, the
passes of pairs and of references of any length, the cell-parallel operations of pairs
(distances and their gradient, both conversions, normalisation and the weighted statistics,
each signal against a reference of its own), the scores without matrices (calc_softdtw_scores
and calc_softdtw_pair_scores, with their float64 and mixed versions), the gradients without
matrices (calc_softdtw_gradients and calc_softdtw_pair_gradients, with theirs), and float64
versions of the operations
(name_float64: the same arguments on float64 buffers; the passes also as name_mixed)"""

import collections.abc
import typing


def calc_manhattan_distance(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_length: typing.SupportsInt,
    distance_matrix_ptr: typing.SupportsInt,
) -> None: ...

def calc_manhattan_distance_gradient(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_length: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    input_gradients_ptr: typing.SupportsInt,
    ref_gradients_ptr: typing.SupportsInt,
) -> None: ...

def calc_softdtw_backward(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    gradient_matrix_prt: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    scores_ptr: typing.SupportsInt = 0,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_softdtw_forward(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_weighted_index_std(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_index_std_log_ptr: typing.SupportsInt,
) -> None: ...

def calc_weighted_means(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_means_ptr: typing.SupportsInt,
) -> None: ...

def calc_weighted_std(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_means_ptr: typing.SupportsInt,
    weighted_std_log_ptr: typing.SupportsInt,
) -> None: ...

def convert_antidiag_to_square(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    input_matrix_ptr: typing.SupportsInt,
    output_matrix_ptr: typing.SupportsInt,
) -> None: ...

def convert_square_to_antidiag(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    input_matrix_ptr: typing.SupportsInt,
    output_matrix_ptr: typing.SupportsInt,
) -> None: ...

def extract_last_row_antidiag(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    input_matrix_ptr: typing.SupportsInt,
    output_matrix_ptr: typing.SupportsInt,
) -> None: ...

def normalize_matrix(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    ref_total_grads_ptr: typing.SupportsInt,
) -> None: ...

def calc_softdtw_pair_forward(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_softdtw_pair_forward_mixed(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_softdtw_pair_forward_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_softdtw_pair_backward(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    scores_ptr: typing.SupportsInt = 0,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_softdtw_pair_backward_mixed(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    scores_ptr: typing.SupportsInt = 0,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_softdtw_pair_backward_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    scores_ptr: typing.SupportsInt = 0,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_manhattan_pair_distance(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    distance_matrix_ptr: typing.SupportsInt,
) -> None: ...

def calc_manhattan_pair_distance_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    distance_matrix_ptr: typing.SupportsInt,
) -> None: ...

def calc_manhattan_pair_distance_gradient(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    gradient_matrix_ptr: typing.SupportsInt,
    input_gradients_ptr: typing.SupportsInt,
    ref_gradients_ptr: typing.SupportsInt,
) -> None: ...

def calc_manhattan_pair_distance_gradient_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    gradient_matrix_ptr: typing.SupportsInt,
    input_gradients_ptr: typing.SupportsInt,
    ref_gradients_ptr: typing.SupportsInt,
) -> None: ...

def convert_pair_antidiag_to_square(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    input_matrix_ptr: typing.SupportsInt,
    output_matrix_ptr: typing.SupportsInt,
) -> None: ...

def convert_pair_antidiag_to_square_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    input_matrix_ptr: typing.SupportsInt,
    output_matrix_ptr: typing.SupportsInt,
) -> None: ...

def convert_pair_square_to_antidiag(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    input_matrix_ptr: typing.SupportsInt,
    output_matrix_ptr: typing.SupportsInt,
) -> None: ...

def convert_pair_square_to_antidiag_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    input_matrix_ptr: typing.SupportsInt,
    output_matrix_ptr: typing.SupportsInt,
) -> None: ...

def normalize_pair_matrix(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    gradient_matrix_ptr: typing.SupportsInt,
    ref_total_grads_ptr: typing.SupportsInt,
) -> None: ...

def normalize_pair_matrix_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    gradient_matrix_ptr: typing.SupportsInt,
    ref_total_grads_ptr: typing.SupportsInt,
) -> None: ...

def calc_pair_weighted_means(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_means_ptr: typing.SupportsInt,
) -> None: ...

def calc_pair_weighted_means_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_means_ptr: typing.SupportsInt,
) -> None: ...

def calc_pair_weighted_std(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_means_ptr: typing.SupportsInt,
    weighted_std_log_ptr: typing.SupportsInt,
) -> None: ...

def calc_pair_weighted_std_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_means_ptr: typing.SupportsInt,
    weighted_std_log_ptr: typing.SupportsInt,
) -> None: ...

def calc_pair_weighted_index_std(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_index_std_log_ptr: typing.SupportsInt,
) -> None: ...

def calc_pair_weighted_index_std_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_index_std_log_ptr: typing.SupportsInt,
) -> None: ...

def calc_softdtw_scores(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_length: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_scores_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_length: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_scores_mixed(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_length: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_pair_scores(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_pair_scores_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_pair_scores_mixed(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_gradients(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_length: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    input_gradients_ptr: typing.SupportsInt,
    ref_gradients_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    weights_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    score_matrix_cells: typing.SupportsInt = 0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_gradients_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_length: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    input_gradients_ptr: typing.SupportsInt,
    ref_gradients_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    weights_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    score_matrix_cells: typing.SupportsInt = 0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_gradients_mixed(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_length: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    input_gradients_ptr: typing.SupportsInt,
    ref_gradients_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    weights_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    score_matrix_cells: typing.SupportsInt = 0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_pair_gradients(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    input_gradients_ptr: typing.SupportsInt,
    ref_gradients_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    weights_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    score_matrix_cells: typing.SupportsInt = 0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_pair_gradients_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    input_gradients_ptr: typing.SupportsInt,
    ref_gradients_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    weights_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    score_matrix_cells: typing.SupportsInt = 0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def calc_softdtw_pair_gradients_mixed(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    input_gradients_ptr: typing.SupportsInt,
    ref_gradients_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    weights_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
    score_matrix_cells: typing.SupportsInt = 0,
    channels: typing.SupportsInt = 1,
    cost: str = 'abs',
    band_ptr: typing.SupportsInt = 0,
    band_kind: str = 'scaled',
) -> None: ...

def gradients_max_ref_length(path: str) -> int: ...

def scores_max_ref_length(path: str) -> int: ...

def calc_softdtw_forward_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_softdtw_forward_mixed(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    scores_ptr: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_softdtw_backward_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    gradient_matrix_prt: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    scores_ptr: typing.SupportsInt = 0,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_softdtw_backward_mixed(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    distance_matrix_ptr: typing.SupportsInt,
    score_matrix_ptr: typing.SupportsInt,
    gradient_matrix_prt: typing.SupportsInt,
    gamma: typing.SupportsFloat,
    alpha_ptr: typing.SupportsInt = 0,
    local_end: bool = False,
    scores_ptr: typing.SupportsInt = 0,
    last_row_only: bool = False,
    ref_gap_penalty: typing.SupportsFloat = 0.0,
) -> None: ...

def calc_manhattan_distance_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_length: typing.SupportsInt,
    distance_matrix_ptr: typing.SupportsInt,
) -> None: ...

def calc_manhattan_distance_gradient_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_ptr: typing.SupportsInt,
    ref_signal_length: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    input_gradients_ptr: typing.SupportsInt,
    ref_gradients_ptr: typing.SupportsInt,
) -> None: ...

def normalize_matrix_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    ref_total_grads_ptr: typing.SupportsInt,
) -> None: ...

def calc_weighted_means_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_means_ptr: typing.SupportsInt,
) -> None: ...

def calc_weighted_std_float64(
    input_signal_ptr: typing.SupportsInt,
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_means_ptr: typing.SupportsInt,
    weighted_std_log_ptr: typing.SupportsInt,
) -> None: ...

def calc_weighted_index_std_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    gradient_matrix_ptr: typing.SupportsInt,
    weighted_index_std_log_ptr: typing.SupportsInt,
) -> None: ...

def convert_antidiag_to_square_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    input_matrix_ptr: typing.SupportsInt,
    output_matrix_ptr: typing.SupportsInt,
) -> None: ...

def convert_square_to_antidiag_float64(
    input_signal_lengths: collections.abc.Sequence[typing.SupportsInt],
    ref_signal_length: typing.SupportsInt,
    input_matrix_ptr: typing.SupportsInt,
    output_matrix_ptr: typing.SupportsInt,
) -> None: ...
