"""The package's modules import one another without a cycle: each module's imports, at its
top and inside its functions, point only downward, towards the leaf modules."""

import ast
import pathlib

import orvane

PACKAGE = pathlib.Path(orvane.__file__).parent


def _imported_modules(path: pathlib.Path) -> set[str]:
    """The names of the package's modules that the file at `path` imports, anywhere in it:
    `from . import x`, `from .x import y`, `from orvane import x`, `import orvane.x`."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.ImportFrom):
            package = node.level == 1 or (node.level == 0 and node.module
                                          and node.module.split(".")[0] == "orvane")
            inner = (node.module or "").split(".")[1 if node.level == 0 else 0:]
            if package and inner and inner[0]:
                found.add(inner[0])
            elif package:
                found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.Import):
            found.update(alias.name.split(".")[1] for alias in node.names
                         if alias.name.startswith("orvane."))
    return found


def _import_graph() -> dict[str, set[str]]:
    modules = {path.stem: path for path in PACKAGE.glob("*.py") if path.stem != "__init__"}
    return {name: _imported_modules(path) & modules.keys() for name, path in modules.items()}


def _cycle(graph):
    """A cycle of the graph as a list of modules, or None."""
    done, path = set(), []

    def visit(module):
        if module in path:
            return path[path.index(module):] + [module]
        if module in done:
            return None
        path.append(module)
        for imported in sorted(graph[module]):
            if (cycle := visit(imported)) is not None:
                return cycle
        path.pop()
        done.add(module)
        return None

    for module in sorted(graph):
        if (cycle := visit(module)) is not None:
            return cycle
    return None


def test_the_package_imports_without_a_cycle():
    graph = _import_graph()
    assert graph["_api"] >= {"_core", "_batch"}  # the parser sees the imports
    cycle = _cycle(graph)
    assert cycle is None, " -> ".join(cycle)


def test_a_cycle_is_found():
    assert _cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": set()}) == ["a", "b", "c", "a"]
    assert _cycle({"a": {"b"}, "b": set()}) is None
