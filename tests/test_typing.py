"""The type stubs: mypy --strict accepts the examples and a file that uses every public member,
and the stubs name exactly what the modules hold."""

import inspect
import pathlib
import subprocess
import sys

import pytest

import _tabrix

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_the_stub_file_runs():
    out = subprocess.run([sys.executable, str(ROOT / "tests/typing/uses_everything.py")],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr


def test_mypy_strict_is_clean():
    pytest.importorskip("mypy")
    targets = [str(ROOT / "tests/typing/uses_everything.py")]
    targets += [str(p) for p in sorted((ROOT / "examples").glob("*.py"))]
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *targets],
        capture_output=True, text=True, cwd=ROOT / "tests",
    )
    assert out.returncode == 0, out.stdout + out.stderr


def stub_names(path):
    import ast

    tree = ast.parse(path.read_text())
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):
            names.update(a.asname or a.name for a in node.names)
    return names


@pytest.mark.parametrize(
    ("module", "stub"),
    [(_tabrix, "python/tabrix/__init__.pyi"), (_tabrix.readable, "python/tabrix/readable.pyi")],
)
def test_stubs_cover_the_modules(module, stub):
    names = stub_names(ROOT / stub)
    assert set(module.__all__) <= names
    for cls_name in [n for n in module.__all__ if inspect.isclass(getattr(module, n))]:
        cls = getattr(module, cls_name)
        public = {m for m in dir(cls) if not m.startswith("__")}
        import ast

        tree = ast.parse((ROOT / stub).read_text())
        (node,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls_name]
        declared = {
            getattr(n, "name", None) or getattr(getattr(n, "target", None), "id", None) for n in node.body
        }
        assert public <= declared, (cls_name, public - declared)
