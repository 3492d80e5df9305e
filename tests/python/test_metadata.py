"""The version and the license say the same thing everywhere: orvane.__version__ (the
installed distribution's), pyproject.toml, CITATION.cff and the changelog's newest release."""

import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import orvane

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def test_the_package_version_is_the_project_version():
    # A mismatch means the installed metadata is older than pyproject.toml: reinstall.
    assert orvane.__version__ == PROJECT["version"]


def test_the_package_version_without_installed_metadata():
    probe = ("import importlib.metadata as metadata\n"
             "def missing(name):\n"
             "    raise metadata.PackageNotFoundError(name)\n"
             "metadata.version = missing\n"
             "import orvane\n"
             "print(orvane.__version__)\n")
    run = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                         timeout=120, check=True)
    assert run.stdout.strip() == "0+unknown"


def test_the_citation_file_names_the_version_and_the_license():
    yaml = pytest.importorskip("yaml", reason="PyYAML is not installed")
    citation = yaml.safe_load((ROOT / "CITATION.cff").read_text())
    assert citation["cff-version"] == "1.2.0"
    assert citation["version"] == PROJECT["version"]
    assert citation["license"] == PROJECT["license"]["text"] == "BSD-3-Clause"
    titles = {reference["title"] for reference in citation["references"]}
    assert titles == {"Soft-DTW: a Differentiable Loss Function for Time-Series",
                      "Differentiable Divergences Between Time Series"}


def test_the_changelog_newest_release_is_the_project_version():
    releases = re.findall(r"^## \[([^\]]+)\]", (ROOT / "CHANGELOG.md").read_text(), re.M)
    assert releases[0] == "Unreleased"
    assert releases[1] == PROJECT["version"]
