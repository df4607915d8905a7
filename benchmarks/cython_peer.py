"""The Cython 3.0 peer of the native modules: the plain-Python references compiled by Cython.

The peer's source is made from tests/reference: the spelt-out exact-type tests
(`_exact_argument`, `_exact_result`, `if type(value) is not int: raise ...`) are dropped and the
annotations they stand for are made real, because Cython generates those tests itself from the
annotations, with the same messages. The catalog module's per-kind template is written out once per
kind, as Cython compiles source and not `exec`. The modules are compiled into a build folder keyed by
their source, never into the package.

Cython 3.0 is taken from the build folder or the running environment, or installed with pip into
the build folder (it is no dependency of the package); `load()` returns None with the reason when
it cannot be had.
"""

from __future__ import annotations

import ast
import hashlib
import importlib
import subprocess
import sys
from pathlib import Path
from types import ModuleType

import tests_path  # puts tests/ on sys.path: tests/reference holds the reference modules

HERE = Path(__file__).resolve().parent
BUILD = HERE.parent / "build" / "cython_peer"
TOOLS = BUILD / "tools"  # Cython (and setuptools) when the environment lacks them
CYTHON_REQUIREMENT = "cython>=3.0,<3.1"
MODULES = {"zorvmanager": "cython_peer_zorvmanager", "catalog_types": "cython_peer_catalog_types"}
HELPERS = {"_type_name", "_exact_argument", "_exact_result", "_HEAPTYPE", "_int", "_str", "_dict"}
EXACT_ANNOTATIONS = {"int", "str", "dict"}


class _Naturalise(ast.NodeTransformer):
    """Removes the hand-written exact-type tests; makes string annotations of builtins real."""

    def visit_Expr(self, node: ast.Expr) -> ast.AST | None:
        call = node.value
        if isinstance(call, ast.Call) and isinstance(call.func, ast.Name) and call.func.id == "_exact_argument":
            return None
        return self.generic_visit(node)

    def visit_Call(self, node: ast.Call) -> ast.AST:
        if isinstance(node.func, ast.Name) and node.func.id == "_exact_result":
            return self.visit(node.args[0])
        return self.generic_visit(node)

    def visit_If(self, node: ast.If) -> ast.AST | None:
        # if type(value) is not int: raise TypeError(...)
        test = node.test
        if (
            isinstance(test, ast.Compare)
            and isinstance(test.left, ast.Call)
            and isinstance(test.left.func, ast.Name)
            and test.left.func.id == "type"
            and isinstance(test.ops[0], ast.IsNot)
            and len(node.body) == 1
            and isinstance(node.body[0], ast.Raise)
        ):
            return None
        return self.generic_visit(node)

    def visit_FunctionDef(self, node: ast.FunctionDef) -> ast.AST | None:
        if node.name in HELPERS:
            return None
        for arg in node.args.args:
            if isinstance(arg.annotation, ast.Constant) and arg.annotation.value in EXACT_ANNOTATIONS:
                arg.annotation = ast.Name(arg.annotation.value, ast.Load())
        return self.generic_visit(node)

    def visit_Assign(self, node: ast.Assign) -> ast.AST | None:
        names = [t for target in node.targets for t in (target.elts if isinstance(target, ast.Tuple) else [target])]
        if any(isinstance(t, ast.Name) and t.id in HELPERS for t in names):
            return None
        return self.generic_visit(node)


def _expand_kinds(tree: ast.Module, reference: ModuleType) -> None:
    """Replaces the module's `for _kind in _KINDS: exec(...)` by the template written out per kind."""
    for index, statement in enumerate(tree.body):
        if isinstance(statement, ast.For) and isinstance(statement.iter, ast.Name) and statement.iter.id == "_KINDS":
            expanded: list[ast.stmt] = []
            for kind in reference._KINDS:
                expanded.extend(ast.parse(reference._KIND_SOURCE.replace("KIND", kind)).body)
            tree.body[index : index + 1] = expanded
            return
    raise RuntimeError("the catalog reference no longer has its per-kind loop")


def source(name: str) -> str:
    """The peer source of reference module `name`."""
    reference_file = Path(tests_path.TESTS) / "reference" / f"{name}.py"
    tree = ast.parse(reference_file.read_text())
    if name == "catalog_types":
        _expand_kinds(tree, importlib.import_module(f"reference.{name}"))
    tree = ast.fix_missing_locations(_Naturalise().visit(tree))
    return ast.unparse(tree) + "\n"


def _importable(modules: tuple[str, ...]) -> list[str]:
    missing = []
    for module in modules:
        try:
            importlib.import_module(module)
        except ImportError:
            missing.append(module)
    return missing


def _cython_version() -> str | None:
    """The version of the Cython that imports first, or None."""
    for name in [module for module in sys.modules if module == "Cython" or module.startswith("Cython.")]:
        del sys.modules[name]
    importlib.invalidate_caches()
    try:
        import Cython
    except ImportError:
        return None
    return Cython.__version__


def _tools_available() -> str | None:
    """Makes Cython 3.0 and setuptools importable; the reason when they cannot be had."""
    # The copy in the build folder comes first; the environment's serves when it is Cython 3.0.
    if str(TOOLS) not in sys.path:
        sys.path.insert(0, str(TOOLS))
    wanted = [] if (_cython_version() or "").startswith("3.0.") else [CYTHON_REQUIREMENT]
    if _importable(("setuptools",)):
        wanted.append("setuptools")
    if wanted:
        install = [sys.executable, "-m", "pip", "install", "--quiet", "--target", str(TOOLS), *wanted]
        result = subprocess.run(install, capture_output=True, text=True)
        if result.returncode != 0:
            return f"pip could not install {' '.join(wanted)}: {result.stderr.strip()[-300:]}"
    version = _cython_version()
    if not (version or "").startswith("3.0."):
        return f"Cython {version} is not Cython 3.0"
    if _importable(("setuptools",)):
        return "setuptools cannot be imported"
    return None


def _build(folder: Path, sources: dict[str, str]) -> None:
    from Cython.Build import cythonize
    from setuptools import Distribution

    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for module, text in sources.items():
        path = folder / f"{module}.py"
        path.write_text(text)
        paths.append(str(path))
    extensions = cythonize(paths, language_level=3, quiet=True, build_dir=str(folder / "c"))
    distribution = Distribution({"ext_modules": extensions})
    command = distribution.get_command_obj("build_ext")
    command.build_lib = str(folder)
    command.build_temp = str(folder / "temp")
    command.ensure_finalized()
    command.run()


def load() -> tuple[dict[str, ModuleType] | None, str]:
    """The compiled peer modules by reference name, or None and the reason; and a description."""
    reason = _tools_available()
    if reason is not None:
        return None, reason
    import Cython

    sources = {module: source(name) for name, module in MODULES.items()}
    key = hashlib.sha256("\0".join([Cython.__version__, sys.version, *sources.values()]).encode()).hexdigest()[:16]
    folder = BUILD / key
    if not (folder / "built").exists():
        _build(folder, sources)
        (folder / "built").touch()
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))
    modules = {name: importlib.import_module(module) for name, module in MODULES.items()}
    for module in modules.values():
        if not module.__file__.endswith((".so", ".pyd")):
            return None, f"{module.__name__} did not load compiled ({module.__file__})"
    return modules, f"Cython {Cython.__version__}"
