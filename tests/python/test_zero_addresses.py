"""orvane_cpu refuses 0 for every buffer a function reads or writes: each such address given as
0, the others real, is refused by the function's and the argument's names with a ValueError
before anything is written, and only after the function's other checks; the addresses that
may be 0 (alpha, weights, the sample gradients of the lean calls, a band, the scores of a
global end's backward pass) still run. Every exported function that takes an address has its
case here, so that a new one cannot go without."""

import re
from dataclasses import dataclass
from functools import partial

import numpy as np
import pytest

import orvane_cpu

LENGTHS = [4, 3]
REF_LENGTH = 3
REF_LENGTHS = [3, 2]
SAMPLES = sum(LENGTHS)
CELLS = SAMPLES * REF_LENGTH
PAIR_CELLS = sum(n * m for n, m in zip(LENGTHS, REF_LENGTHS))
# Per-position results: a row of M values a signal.
PACKED = len(LENGTHS) * REF_LENGTH

# The exported functions that take no address.
WITHOUT_ADDRESSES = {"set_num_threads", "gradient_checkpoint_cells"}

# Data type and score type of each version's buffers.
VERSIONS = {"": (np.float32, np.float32), "_float64": (np.float64, np.float64),
            "_mixed": (np.float32, np.float64)}


@dataclass
class Case:
    """A call's buffers, those that must not be 0 and those that may (none), and its other
    arguments."""

    required: dict
    optional: dict
    arguments: dict

    def buffers(self):
        return {**self.required, **self.optional}


def values(count, dtype):
    """Distinct positive values, so that a write shows."""
    return np.linspace(0.25, 1.75, count).astype(dtype)


def one_reference(**arguments):
    return dict(input_signal_lengths=LENGTHS, ref_signal_length=REF_LENGTH, **arguments)


def pairs(**arguments):
    return dict(input_signal_lengths=LENGTHS, ref_signal_lengths=REF_LENGTHS, **arguments)


def band():
    return np.int32([1, 1])


def manhattan_distance(data, score):
    return Case(dict(input_signal_ptr=values(SAMPLES, data),
                     ref_signal_ptr=values(REF_LENGTH, data),
                     distance_matrix_ptr=values(CELLS, data)), {}, one_reference())


def distance(data, score):
    case = manhattan_distance(data, score)
    case.optional = dict(band_ptr=band())
    return case


def manhattan_distance_gradient(data, score):
    return Case(dict(input_signal_ptr=values(SAMPLES, data),
                     ref_signal_ptr=values(REF_LENGTH, data),
                     gradient_matrix_ptr=values(CELLS, data),
                     input_gradients_ptr=values(SAMPLES, data),
                     ref_gradients_ptr=values(REF_LENGTH, data)), {}, one_reference())


def distance_gradient(data, score):
    case = manhattan_distance_gradient(data, score)
    case.optional = dict(input_gradients_ptr=case.required.pop("input_gradients_ptr"))
    return case


def forward(data, score, cells=CELLS, shape=one_reference):
    return Case(dict(distance_matrix_ptr=values(cells, data),
                     score_matrix_ptr=values(cells, score),
                     scores_ptr=values(len(LENGTHS), score)),
                dict(alpha_ptr=values(len(LENGTHS), data)), shape(gamma=1.0))


def backward(data, score, cells=CELLS, shape=one_reference,
             gradient_matrix="gradient_matrix_prt"):
    # A global end reads no scores.
    return Case({"distance_matrix_ptr": values(cells, data),
                 "score_matrix_ptr": values(cells, score),
                 gradient_matrix: values(cells, data)},
                dict(alpha_ptr=values(len(LENGTHS), data),
                     scores_ptr=values(len(LENGTHS), score)), shape(gamma=1.0))


def scores(data, score, ref_samples=REF_LENGTH, shape=one_reference):
    return Case(dict(input_signal_ptr=values(SAMPLES, data),
                     ref_signal_ptr=values(ref_samples, data),
                     scores_ptr=values(len(LENGTHS), score)),
                dict(alpha_ptr=values(len(LENGTHS), data), band_ptr=band()), shape(gamma=1.0))


def gradients(data, score, ref_samples=REF_LENGTH, cells=CELLS, shape=one_reference):
    return Case(dict(input_signal_ptr=values(SAMPLES, data),
                     ref_signal_ptr=values(ref_samples, data),
                     score_matrix_ptr=values(cells, score),
                     scores_ptr=values(len(LENGTHS), score),
                     ref_gradients_ptr=values(ref_samples, data)),
                dict(input_gradients_ptr=values(SAMPLES, data),
                     alpha_ptr=values(len(LENGTHS), data),
                     weights_ptr=values(len(LENGTHS), data), band_ptr=band()), shape(gamma=1.0))


def normalize(data, score):
    return Case(dict(gradient_matrix_ptr=values(CELLS, data),
                     ref_total_grads_ptr=values(PACKED, data)), {}, one_reference())


def weighted_means(data, score):
    return Case(dict(input_signal_ptr=values(SAMPLES, data),
                     gradient_matrix_ptr=values(CELLS, data),
                     weighted_means_ptr=values(PACKED, data)), {}, one_reference())


def weighted_std(data, score):
    case = weighted_means(data, score)
    case.required["weighted_std_log_ptr"] = values(PACKED, data)
    return case


def weighted_index_std(data, score):
    return Case(dict(gradient_matrix_ptr=values(CELLS, data),
                     weighted_index_std_log_ptr=values(PACKED, data)), {}, one_reference())


def conversion(data, score):
    return Case(dict(input_matrix_ptr=values(CELLS, data),
                     output_matrix_ptr=values(CELLS, data)), {}, one_reference())


def last_row(data, score):
    return Case(dict(input_matrix_ptr=values(CELLS, data),
                     output_matrix_ptr=values(PACKED, data)), {}, one_reference())


FLOAT64 = ("", "_float64")
ALL_PATHS = ("", "_float64", "_mixed")
# Each operation: how to make its call's case, and the versions it has.
OPERATIONS = {
    "calc_manhattan_distance": (manhattan_distance, FLOAT64),
    "calc_distance": (distance, FLOAT64),
    "calc_manhattan_distance_gradient": (manhattan_distance_gradient, FLOAT64),
    "calc_distance_gradient": (distance_gradient, FLOAT64),
    "calc_softdtw_forward": (forward, ALL_PATHS),
    "calc_softdtw_backward": (backward, ALL_PATHS),
    "calc_softdtw_pair_forward": (partial(forward, cells=PAIR_CELLS, shape=pairs), ALL_PATHS),
    "calc_softdtw_pair_backward": (
        partial(backward, cells=PAIR_CELLS, shape=pairs, gradient_matrix="gradient_matrix_ptr"),
        ALL_PATHS),
    "calc_softdtw_scores": (scores, ALL_PATHS),
    "calc_softdtw_pair_scores": (
        partial(scores, ref_samples=sum(REF_LENGTHS), shape=pairs), ALL_PATHS),
    "calc_softdtw_gradients": (gradients, ALL_PATHS),
    "calc_softdtw_pair_gradients": (
        partial(gradients, ref_samples=sum(REF_LENGTHS), cells=PAIR_CELLS, shape=pairs),
        ALL_PATHS),
    "normalize_matrix": (normalize, FLOAT64),
    "calc_weighted_means": (weighted_means, FLOAT64),
    "calc_weighted_std": (weighted_std, FLOAT64),
    "calc_weighted_index_std": (weighted_index_std, FLOAT64),
    "convert_antidiag_to_square": (conversion, FLOAT64),
    "convert_square_to_antidiag": (conversion, FLOAT64),
    "extract_last_row_antidiag": (last_row, ("",)),
}
# Every exported function with an address: its operation (which its messages name) and the
# suffix of its version.
FUNCTIONS = {operation + suffix: (operation, suffix)
             for operation, (_, suffixes) in OPERATIONS.items() for suffix in suffixes}


def case_of(name):
    operation, suffix = FUNCTIONS[name]
    return OPERATIONS[operation][0](*VERSIONS[suffix])


def call(name, case, **changes):
    addresses = {key: buffer.ctypes.data for key, buffer in case.buffers().items()}
    getattr(orvane_cpu, name)(**{**addresses, **case.arguments, **changes})


def snapshot(case):
    return {key: buffer.tobytes() for key, buffer in case.buffers().items()}


def changed(case, before):
    return {key for key, buffer in case.buffers().items() if buffer.tobytes() != before[key]}


def exported_functions():
    return {name for name in dir(orvane_cpu)
            if not name.startswith("_") and callable(getattr(orvane_cpu, name))}


def address_arguments(name):
    """The arguments named as addresses in the function's signature, as pybind11 shows it."""
    signature = getattr(orvane_cpu, name).__doc__.splitlines()[0]
    return set(re.findall(r"(\w+_p(?:tr|rt)):", signature))


def test_every_function_that_takes_an_address_has_its_case():
    assert set(FUNCTIONS) == exported_functions() - WITHOUT_ADDRESSES
    assert WITHOUT_ADDRESSES <= exported_functions()
    for name in WITHOUT_ADDRESSES:
        assert address_arguments(name) == set(), name
    for name in FUNCTIONS:
        assert set(case_of(name).buffers()) == address_arguments(name), name


@pytest.mark.parametrize("name", FUNCTIONS)
def test_each_required_address_given_as_0_is_refused_before_anything_is_written(name):
    operation, _ = FUNCTIONS[name]
    case = case_of(name)
    before = snapshot(case)
    for address in case.required:
        message = f"^{operation}: {address} must not be 0$"
        with pytest.raises(ValueError, match=message):
            call(name, case, **{address: 0})
        assert changed(case, before) == set(), address


OPTIONAL = [name for name in FUNCTIONS if case_of(name).optional]


@pytest.mark.parametrize("name", OPTIONAL)
def test_optional_addresses_may_be_0(name):
    optional = list(case_of(name).optional)
    for none in [[address] for address in optional] + [optional]:
        case = case_of(name)
        before = snapshot(case)
        call(name, case, **dict.fromkeys(none, 0))
        assert changed(case, before), none


@pytest.mark.parametrize("name", FUNCTIONS)
def test_the_other_checks_come_before_the_addresses(name):
    case = case_of(name)
    zeros = dict.fromkeys(case.required, 0)
    lengths = [0] + LENGTHS[1:]
    with pytest.raises(ValueError, match=r"^input_signal_lengths\[0\] must be positive"):
        call(name, case, **zeros, input_signal_lengths=lengths)
    if "gamma" in case.arguments:
        with pytest.raises(ValueError, match="^gamma must be a finite, normal"):
            call(name, case, **zeros, gamma=0.0)


@pytest.mark.parametrize("name", [name for name in FUNCTIONS if "backward" in name])
def test_a_free_end_backward_pass_still_asks_for_its_scores_first(name):
    case = case_of(name)
    with pytest.raises(RuntimeError, match="scores_ptr is required when local_end is true"):
        call(name, case, **dict.fromkeys(case.required, 0), scores_ptr=0, local_end=True)
