"""The API reference builds from the docstrings with Sphinx, warnings as errors, and documents
every public name; the docstrings' conventions read as the reStructuredText docs/conf.py makes
of them."""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

import orvane

pytest.importorskip("sphinx", reason="Sphinx is not installed: pip install '.[docs]'")

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
TORCH_NAMES = ["soft_dtw", "soft_dtw_divergence", "SoftDTWLoss"]


@pytest.fixture(scope="module")
def api_page(tmp_path_factory) -> str:
    """The built reference's API page, its HTML."""
    out = tmp_path_factory.mktemp("docs")
    build = subprocess.run([sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b",
                            "html", "-d", str(out / "doctrees"), str(DOCS), str(out / "html")],
                           capture_output=True, text=True, timeout=600)
    assert build.returncode == 0, f"Sphinx failed:\n{build.stdout}\n{build.stderr}"
    return (out / "html" / "api.html").read_text()


def _documented(page: str) -> set[str]:
    return set(re.findall(r'<dt class="sig[^"]*" id="([^"]+)"', page))


def test_the_reference_documents_every_public_name(api_page):
    documented = _documented(api_page)
    assert {f"orvane.{name}" for name in orvane.__all__} - documented == set()
    assert "orvane.__version__" in documented
    assert {f"orvane.torch.{name}" for name in TORCH_NAMES} - documented == set()
    assert "orvane.buffers.select_backend" in documented


def test_the_reference_documents_the_estimators_where_they_import(api_page):
    if importlib.util.find_spec("orvane.estimators") is None:
        pytest.skip("orvane.estimators is not in this installation")
    pytest.importorskip("sklearn", reason="orvane.estimators needs scikit-learn")
    import orvane.estimators

    names = getattr(orvane.estimators, "__all__", ["SoftDTWKMeans",
                                                   "SoftDTWKNeighborsClassifier"])
    assert {f"orvane.estimators.{name}" for name in names} - _documented(api_page) == set()


def test_the_reference_shows_an_argument_entry_and_an_absolute_value(api_page):
    # soft_dtw's `band` entry, whose |...| would otherwise read as a substitution.
    assert re.search(r"<dt><code[^>]*><span class=\"pre\">band</span></code></dt>", api_page)
    assert "|i (M - 1) - j (N_k - 1)|" in api_page


@pytest.fixture(scope="module")
def conf():
    spec = importlib.util.spec_from_file_location("orvane_docs_conf", DOCS / "conf.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_docstring_entries_examples_and_bars_become_restructured_text(conf):
    lines = ["What it does, |a| at most.",
             "",
             "    example(call)",
             "    more(call)",
             "",
             "first: one line",
             "second, third: their entry",
             "    goes on, |b| with `|c|` kept",
             "Prose again.",
             "reduction: a paragraph that merely",
             "starts like an entry."]
    assert conf._as_restructured_text(lines) == [
        r"What it does, \|a\| at most.",
        "",
        "::",
        "",
        "    example(call)",
        "    more(call)",
        "",
        "``first``",
        "    one line",
        "``second``, ``third``",
        "    their entry",
        r"    goes on, \|b\| with `|c|` kept",
        "",
        "Prose again.",
        "reduction: a paragraph that merely",
        "starts like an entry."]
