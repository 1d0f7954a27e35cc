"""The package as editors and users meet it: its type stubs say what the module has, and an
install for a user imports without PYTHONPATH."""

import ast
import inspect
import math
import os
import re
import subprocess
import sys

import pytest

import orv
from conftest import SOURCE_DIR


def stub_functions(body):
    """{name: (parameter names, keyword-only names)} of the functions in a stub's `body`."""
    functions = {}
    for node in body:
        if isinstance(node, ast.FunctionDef) and not any(
            isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list
        ):
            args = node.args
            every = args.posonlyargs + args.args + args.kwonlyargs
            names = [a.arg for a in every if a.arg != "self"]
            functions[node.name] = (names, [a.arg for a in args.kwonlyargs])
    return functions


def runtime_parameters(function):
    """(parameter names, keyword-only names) from the signature pybind11 puts in a docstring."""
    signature = function.__doc__.splitlines()[0]
    inside = signature[signature.index("(") + 1 : signature.rindex(") ->")]
    names = [n for n in re.findall(r"(?:^|, )(\w+): ", inside) if n != "self"]
    keyword_only = re.findall(r"(\w+): ", inside.partition(", *, ")[2])
    return names, keyword_only


def test_the_stubs_declare_what_the_module_has():
    path = os.path.join(os.path.dirname(orv.__file__), "__init__.pyi")
    with open(path, encoding="utf-8") as f:
        stub = ast.parse(f.read())
    classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
    functions = stub_functions(stub.body)
    assert set(classes) | set(functions) == set(orv.__all__)
    for name, (names, keyword_only) in functions.items():
        assert runtime_parameters(getattr(orv, name)) == (names, keyword_only), name
    for name, node in classes.items():
        cls = getattr(orv, name)
        public = {m for m, _ in inspect.getmembers(cls) if not m.startswith("_")}
        declared = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
        assert public == declared - {"__init__", "__copy__", "__deepcopy__"}, name
        for method, parameters in stub_functions(node.body).items():
            assert runtime_parameters(getattr(cls, method)) == parameters, f"{name}.{method}"


@pytest.mark.skipif(
    os.environ.get("ORV_PYTHON_INSTALL") != "1", reason="the build has no install rules"
)
def test_an_install_for_a_user_imports_without_pythonpath(tmp_path):
    # The user base stands in for ~/.local: `cmake --install --prefix ~/.local` puts the package
    # into the user's site-packages, which the interpreter searches.
    user_base = tmp_path / "user"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONUSERBASE"] = str(user_base)
    subprocess.run(
        [os.environ["ORV_CMAKE"], "--install", os.environ["ORV_BUILD_DIR"], "--component", "python",
         "--prefix", str(user_base)],
        env=env, check=True, stdout=subprocess.DEVNULL,
    )
    (package,) = user_base.glob("lib/python3*/site-packages/orv")
    names = {p.name for p in package.iterdir()}
    assert {"__init__.py", "__init__.pyi", "py.typed"} <= names
    assert any(n.startswith("_orv.") for n in names)
    program = "import orv; print(orv.__file__); print(orv.fs_distance([1, 0, 0, 0], [0, 1, 0, 0]))"
    imported = subprocess.run(
        [sys.executable, "-c", program], env=env, cwd=tmp_path, check=True, capture_output=True,
        text=True,
    ).stdout.split()
    assert imported == [str(package / "__init__.py"), repr(math.pi / 2)]


def test_the_readme_example_runs():
    with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    example = readme.split("<!-- python-example -->\n```python\n", 1)[1].split("```", 1)[0]
    names = {}
    exec(compile(example, "README.md", "exec"), names)
    assert names["image"].shape == (360, 640, 4) and 0 < len(names["in_view"]) < 100_000
    assert len(names["order"]) == len(names["in_view"]) == len(names["facing"])
