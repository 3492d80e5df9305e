"""The temporary matrices the package keeps between calls: per thread, gone with their thread,
all released by `release_memory` from any thread, and capped without a memory budget."""

import threading

import numpy as np
import pytest

import orvane
from orvane import _core
from orvane._core import WORKSPACES


@pytest.fixture(autouse=True)
def released():
    orvane.release_memory()
    yield
    orvane.release_memory()


def _batch(seed, lengths=(50, 70), ref_length=40):
    rng = np.random.default_rng(seed)
    return ([rng.standard_normal(n).astype(np.float32) for n in lengths],
            rng.standard_normal(ref_length).astype(np.float32))


def _in_threads(count, work):
    """Runs `work` once on each of `count` threads at the same time, and waits for them;
    their errors come back here."""
    errors = []

    def run():
        try:
            work()
        except BaseException as error:  # noqa: BLE001 (reported below)
            errors.append(error)

    threads = [threading.Thread(target=run) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors


def test_a_threads_workspaces_go_when_it_ends():
    signals, reference = _batch(1)
    _in_threads(8, lambda: orvane.soft_dtw_with_grad(signals, reference))
    assert WORKSPACES.held_bytes() == 0


def test_release_memory_releases_every_threads_workspaces():
    signals, reference = _batch(2)
    called, release = threading.Barrier(4), threading.Event()

    def call_then_wait():
        orvane.soft_dtw_with_grad(signals, reference)
        called.wait()
        release.wait()  # the thread lives on, holding its workspaces, until released

    threads = [threading.Thread(target=call_then_wait) for _ in range(3)]
    for thread in threads:
        thread.start()
    called.wait()
    try:
        assert WORKSPACES.held_bytes() == 3 * 8 * 120 * 40  # mixed float64 score matrices
        orvane.release_memory()
        assert WORKSPACES.held_bytes() == 0
    finally:
        release.set()
        for thread in threads:
            thread.join()


def test_calls_on_many_threads_give_the_bits_of_one_thread():
    signals, reference = _batch(3, lengths=(33, 61, 47, 20))
    alone = orvane.soft_dtw_with_grad(signals, reference)
    results = []
    _in_threads(6, lambda: results.extend(orvane.soft_dtw_with_grad(signals, reference)
                                          for _ in range(5)))
    for scores, gradients, reference_gradient in results:
        assert scores.tobytes() == alone[0].tobytes()
        assert reference_gradient.tobytes() == alone[2].tobytes()
        for got, want in zip(gradients, alone[1]):
            assert got.tobytes() == want.tobytes()


def test_without_a_budget_a_thread_keeps_no_more_than_the_cap(monkeypatch):
    monkeypatch.setattr(_core, "KEPT_BYTES_WITHOUT_BUDGET", 8 * 100 * 40)
    small, reference = _batch(4, lengths=(30, 40))
    large, _ = _batch(5, lengths=(150, 160))
    orvane.soft_dtw_with_grad(small, reference)
    assert WORKSPACES.held_bytes() == 8 * 70 * 40
    found = orvane.soft_dtw_with_grad(large, reference)  # needs more than the cap
    assert WORKSPACES.held_bytes() <= 8 * 100 * 40
    again = orvane.soft_dtw_with_grad(large, reference)
    assert again[0].tobytes() == found[0].tobytes()


def test_a_workspace_much_larger_than_later_calls_need_is_made_anew_at_their_size():
    large, reference = _batch(6, lengths=(400, 400))
    small, _ = _batch(7, lengths=(20,))
    orvane.soft_dtw_with_grad(large, reference)
    assert WORKSPACES.held_bytes() == 8 * 800 * 40
    for _ in range(_core.IDLE_CALLS_BEFORE_SHRINKING - 1):
        orvane.soft_dtw_with_grad(small, reference)
    assert WORKSPACES.held_bytes() == 8 * 800 * 40  # still reused: it may be needed again
    orvane.soft_dtw_with_grad(small, reference)
    assert WORKSPACES.held_bytes() == 8 * 20 * 40
