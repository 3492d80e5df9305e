"""Sphinx configuration of orvane's API reference, built from the package's docstrings.

The package is imported as installed (with its compiled modules), so the reference is built
by the Python that has orvane installed: `bash scripts/build_docs.sh`.
"""

import importlib.util
import re

import orvane

project = "orvane"
author = "the orvane developers"
copyright = "2026, the orvane developers"
release = orvane.__version__
version = ".".join(release.split(".")[:2])

extensions = ["sphinx.ext.autodoc"]

# The docstrings are plain prose: `name` is code, not a cross-reference.
default_role = "literal"
autodoc_member_order = "bysource"
# Signatures show names and defaults: the docstrings say what each argument takes, and the
# annotations' aliases (a batch of signals is `Any | Sequence[Any]`) would say less.
autodoc_typehints = "none"
# Members without a docstring of their own (PyTorch's forward, say) stay out.
autodoc_inherit_docstrings = False

exclude_patterns = ["_build"]
html_theme = "alabaster"
html_title = f"orvane {release}"

# orvane.estimators needs scikit-learn: the reference has its section where the module is
# there and scikit-learn can be imported, and says what it needs otherwise.
ESTIMATORS = """
orvane.estimators
-----------------

.. automodule:: orvane.estimators
   :members:
"""
ESTIMATORS_NEED_SKLEARN = """
orvane.estimators
-----------------

`orvane.estimators` needs scikit-learn (`pip install "orvane[sklearn]"`), which this
reference was built without.
"""


def _estimators_section() -> str:
    if importlib.util.find_spec("orvane.estimators") is None:
        return ""
    if importlib.util.find_spec("sklearn") is None:
        return ESTIMATORS_NEED_SKLEARN
    return ESTIMATORS


def _add_estimators(app, docname, source):
    if docname == "api":
        source[0] += _estimators_section()


# The docstrings' conventions, read as reStructuredText:
# - "name: what it is" (or "first, second: ...") at the left edge starts an entry, its
#   further lines indented under it, entries one after another without blank lines: a
#   definition list, the names its terms (a paragraph that goes on unindented is prose);
# - an indented block after a blank line is an example, shown as code;
# - |x - y| is an absolute value, not a substitution, and labels_ a name, not a link.
_ENTRY = re.compile(r"(\w+(?:, \w+)*): (\S.*)")
_CODE_SPAN = re.compile(r"(`[^`]*`)")
_TRAILING_UNDERSCORES = re.compile(r"(?<=[A-Za-z0-9])_+(?![A-Za-z0-9_])")
_INDENT = "    "


def _escape_prose(text: str) -> str:
    text = text.replace("|", r"\|")
    return _TRAILING_UNDERSCORES.sub(lambda run: r"\_" * len(run.group()), text)


def _escaped(line: str) -> str:
    parts = _CODE_SPAN.split(line)
    return "".join(part if part.startswith("`") else _escape_prose(part) for part in parts)


def _ends_entry(following: list[str]) -> bool:
    """Whether the line after an entry's first ends that line's paragraph: an entry's further
    lines are indented, and a paragraph that merely starts with "name:" goes on unindented."""
    return (not following or not following[0].strip() or following[0].startswith(" ")
            or bool(_ENTRY.fullmatch(following[0].rstrip())))


def _as_restructured_text(lines: list[str]) -> list[str]:
    out: list[str] = []
    state = "prose"  # or "entry" (under an entry's term) or "example"
    for number, line in enumerate(lines):
        indented = line.startswith(" ") and bool(line.strip())
        after_blank = not out or not out[-1].strip()
        if state == "example" and (indented or not line.strip()):
            out.append(line)
            continue
        if state == "entry" and indented and not after_blank:
            out.append(_INDENT + _escaped(line.strip()))
            continue
        entry = _ENTRY.fullmatch(line.rstrip())
        if entry and not _ends_entry(lines[number + 1:]):
            entry = None
        if line.strip() and not after_blank and not (entry and state == "entry"):
            if state != "prose" or entry:
                out.append("")  # an entry, an example or a paragraph before an entry ends
                after_blank = True
        state = "prose"
        if indented and after_blank:
            before = next((previous for previous in reversed(out) if previous.strip()), "")
            if not before.rstrip().endswith("::"):
                out += ["::", ""]
            state = "example"
            out.append(line)
        elif entry:
            names, text = entry.groups()
            out.append(", ".join(f"``{name}``" for name in names.split(", ")))
            out.append(_INDENT + _escaped(text))
            state = "entry"
        else:
            out.append(_escaped(line))
    return out


def _docstring_as_restructured_text(app, what, name, obj, options, lines):
    lines[:] = _as_restructured_text(lines)


def _skip_foreign_member(app, what, name, obj, skip, options):
    """Members the package's classes get from elsewhere (scikit-learn's generated
    set_*_request methods, say) stay out: their docstrings are written for other references."""
    module = getattr(obj, "__module__", None)
    if isinstance(module, str) and module.split(".")[0] != "orvane":
        return True
    return None


def setup(app):
    app.connect("source-read", _add_estimators)
    app.connect("autodoc-skip-member", _skip_foreign_member)
    app.connect("autodoc-process-docstring", _docstring_as_restructured_text)
