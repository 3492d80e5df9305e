"""orvane.torch as a user first meets it: the per-pair training example learns, the loss's
docstring example runs as written, its repr shows the options given, its forward pass has a
docstring of its own, and dir() offers the public names alone."""

import doctest
import importlib.util
import inspect
import pathlib

import pytest

torch = pytest.importorskip("torch")
import orvane.torch  # noqa: E402

EXAMPLE = pathlib.Path(__file__).parents[2] / "examples" / "torch_pairs_example.py"


def load_example():
    spec = importlib.util.spec_from_file_location("torch_pairs_example", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_per_pair_example_s_loss_falls_on_small_data(capsys):
    losses = load_example().main(["--small"])
    assert len(losses) == 25
    assert losses[-1] < 0.2 * losses[0]
    assert min(losses[-5:]) < min(losses[:5])
    printed = capsys.readouterr().out
    assert "after 25 steps" in printed and "step   0: loss" in printed


def test_the_example_s_pairs_have_lengths_of_their_own():
    example = load_example()
    inputs, targets = example.make_pairs(16, example.np.random.default_rng(1))
    input_lengths = [len(signal) for signal in inputs]
    target_lengths = [len(target) for target in targets]
    assert len(set(input_lengths)) > 1 and input_lengths != target_lengths


def test_the_loss_s_docstring_example_runs_as_written():
    finder, runner = doctest.DocTestFinder(), doctest.DocTestRunner(verbose=False)
    tests = finder.find(orvane.torch.SoftDTWLoss, "SoftDTWLoss", globs={})
    examples = [test for test in tests if test.name == "SoftDTWLoss" and test.examples]
    assert examples
    for test in examples:
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("options, shown", [
    ({}, ""),
    (dict(gamma=0.1), "gamma=0.1"),
    (dict(gamma=0.1, end="free", ref_gap_penalty=0.5, reduction="sum"),
     "gamma=0.1, end='free', ref_gap_penalty=0.5, reduction='sum'"),
    (dict(divergence=True, cost="abs", band=3, precision="mixed", backend="twin"),
     "divergence=True, cost='abs', band=3, backend='twin', precision='mixed'"),
    (dict(band=[2, 4], memory_budget=1 << 20, pairs=True, channels_first=False),
     "band=(2, 4), memory_budget=1048576, pairs=True, channels_first=False"),
])
def test_the_loss_s_repr_shows_the_options_that_differ_from_their_defaults(options, shown):
    assert repr(orvane.torch.SoftDTWLoss(**options)) == f"SoftDTWLoss({shown})"


def test_every_option_of_the_loss_shows_in_its_repr_once_changed():
    changed = {"gamma": 0.5, "end": "free", "ref_gap_penalty": 0.25, "reduction": "none",
               "divergence": True, "cost": "abs", "band": 2, "band_kind": "widened",
               "backend": "cpu", "memory_budget": 4096, "precision": "float64", "pairs": False,
               "channels_first": True}
    parameters = inspect.signature(orvane.torch.SoftDTWLoss).parameters
    # A new option needs a changed value here: the repr must show it too.
    assert set(parameters) == changed.keys()
    for name, value in changed.items():
        assert repr(orvane.torch.SoftDTWLoss(**{name: value})) == f"SoftDTWLoss({name}={value!r})"


def test_the_loss_s_forward_pass_has_a_docstring_of_its_own():
    forward = orvane.torch.SoftDTWLoss.forward
    assert forward is not torch.nn.Module.forward
    assert forward.__doc__ and "lengths" in forward.__doc__ and "ref_lengths" in forward.__doc__


def test_dir_offers_the_public_names_alone():
    assert dir(orvane.torch) == sorted(orvane.torch.__all__)
    assert set(orvane.torch.__all__) == {"SoftDTWLoss", "soft_dtw", "soft_dtw_divergence",
                                         "SoftDTWFunction", "SelfTermsFunction"}
    for name in orvane.torch.__all__:
        assert getattr(orvane.torch, name).__doc__
    # The package's functions are reached through its modules: none is bound here as if it
    # were this module's own.
    imported = {"annotations", "dataclass", "inspect", "Literal", "Sequence", "torch"}
    types = {"BackendName", "BandKind", "Cost", "End", "Lengths", "Options", "Precision",
             "Signals"}
    operations = {"soft_dtw_op", "soft_dtw_backward_op", "soft_dtw_self_terms_op"}
    bound = {name for name in vars(orvane.torch) if not name.startswith("_")}
    assert bound - set(orvane.torch.__all__) <= imported | types | operations
