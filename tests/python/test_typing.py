"""The type stubs as a user's checkers see them: the demo, the user scripts and
the examples of the guide and the README pass mypy --strict and pyright strict;
the marked mistakes fail exactly where marked; stubtest finds the stubs true
to the module; every stub item carries its documentation.

mypy and pyright each run once, over all the files (seconds, not minutes)."""

import ast
import doctest
import glob
import json
import os
import re
import subprocess
import sys

import pytest

import kelto
from test_docs import python_blocks

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
TYPECHECK = os.path.join(HERE, "typecheck")
STUBS = os.path.join(os.path.dirname(kelto.__file__), "kelto-stubs")
ALLOWLIST = os.path.join(TYPECHECK, "stubtest-allowlist.txt")
MARK = re.compile(r"#\s*E:\s*(.*)$")
pytestmark = pytest.mark.external
needs_stubs = pytest.mark.skipif(not os.path.isdir(STUBS), reason="needs the stubs installed beside the module")

# Files that must check clean, by the name their errors are reported under.
CLEAN = {
    "demo.py": os.path.join(REPO, "examples", "demo.py"),
    "installable.py": os.path.join(REPO, "examples", "installable.py"),
    "user_script.py": os.path.join(TYPECHECK, "user_script.py"),
    "reads_back.py": os.path.join(TYPECHECK, "reads_back.py"),
    "narrows.py": os.path.join(TYPECHECK, "narrows.py"),
}
# The Debian tool's package, by its path in the source tree.
TOOL = os.path.join(REPO, "kelto-debian", "kelto_debian")
PACKAGE = {f"debian/{os.path.relpath(path, TOOL)}": path
           for path in sorted(glob.glob(os.path.join(TOOL, "**", "*.py"), recursive=True))}
CLEAN.update(PACKAGE)
DOCS = {"guide_examples.py": os.path.join(REPO, "docs", "guide.md"),
        "readme_examples.py": os.path.join(REPO, "README.md")}
MISTAKES = os.path.join(TYPECHECK, "mistakes.py")


def examples(markdown):
    """The ```python blocks of a document as one module, in order, as one
    session runs them. A doctest example whose output is a traceback shows a
    refusal on purpose, and a checker may refuse it too: it is left out. The
    others are kept whole; an expression statement shows its value."""
    lines = ["# Extracted from " + os.path.basename(markdown),
             # As in an interactive session: a name may be bound again to
             # something else, an expression shows its value, and the
             # imports come first, all at once.
             "# mypy: allow-redefinition",
             "# pyright: reportUnusedExpression=false, reportUnusedImport=false"]
    parser = doctest.DocTestParser()
    for _, code in python_blocks(markdown):
        if not code.lstrip().startswith(">>>"):
            lines.append(code)
            continue
        for example in parser.get_examples(code):
            if not example.exc_msg:
                lines.append(example.source)
    return "\n".join(lines)


def checked_files(folder):
    os.makedirs(folder, exist_ok=True)
    files = dict(CLEAN)
    for name, markdown in DOCS.items():
        path = os.path.join(folder, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(examples(markdown))
        files[name] = path
    files["mistakes.py"] = MISTAKES
    return files


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return checked_files(str(tmp_path_factory.mktemp("typing")))


def by_file(pattern, output, files):
    """{name: [(line, code)]} of a checker's error lines (paths relative to
    the clone's root, where the checker runs)."""
    found = {name: [] for name in files}
    names = {os.path.realpath(path): name for name, path in files.items()}
    for line in output.splitlines():
        if m := re.match(pattern, line):
            name = names.get(os.path.realpath(os.path.join(REPO, m.group("path"))))
            if name is None:
                pytest.fail(f"an error in no file checked:\n{output}")
            found[name].append((int(m.group("line")), m.group("code")))
    return found


@pytest.fixture(scope="module")
def mypy(files):
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary",
                           *files.values()], capture_output=True, text=True, timeout=300, cwd=REPO)
    errors = by_file(r"(?P<path>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[\w-]+)\]$", proc.stdout, files)
    return errors, proc.stdout + proc.stderr


@pytest.fixture(scope="module")
def pyright(files, tmp_path_factory):
    command = os.environ.get("KELTO_PYRIGHT")
    if not command:
        pytest.skip("KELTO_PYRIGHT names no pyright (tools/dev installs one)")
    folder = tmp_path_factory.mktemp("pyright")
    config = folder / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict", "pythonVersion": "3.14",
                                  # the build tree, when kelto is imported from there
                                  "extraPaths": [os.path.dirname(kelto.__file__)],
                                  "include": [os.path.relpath(os.path.abspath(f), folder) for f in files.values()]}))
    proc = subprocess.run([command, "--outputjson", "--pythonpath", sys.executable, "-p", str(config)],
                          capture_output=True, text=True, timeout=300)
    try:
        report = json.loads(proc.stdout)
    except json.JSONDecodeError:
        pytest.fail(f"pyright gave no report:\n{proc.stdout}\n{proc.stderr}")
    names = {os.path.realpath(path): name for name, path in files.items()}
    errors, text = {name: [] for name in files}, {name: "" for name in files}
    for d in report["generalDiagnostics"]:
        if d["severity"] == "error":
            name, line = names[os.path.realpath(d["file"])], d["range"]["start"]["line"] + 1
            errors[name].append((line, d.get("rule", "")))
            text[name] += f"{name}:{line}: {d['message']}\n"
    return errors, text


def marked():
    with open(MISTAKES, encoding="utf-8") as f:
        return {(number, code) for number, line in enumerate(f, 1) if (m := MARK.search(line))
                for code in m.group(1).split()}


@needs_stubs
@pytest.mark.parametrize("name", [*CLEAN, *DOCS])
def test_mypy_accepts(mypy, name):
    errors, output = mypy
    assert errors[name] == [], output


# The examples read untyped input into Any; isinstance on an Any gives pyright a
# Cmp[Unknown, Unknown], which strict mode refuses to read. mypy checks it.
@needs_stubs
@pytest.mark.parametrize("name", [n for n in [*CLEAN, *DOCS] if n not in ("demo.py", "installable.py", *PACKAGE)])
def test_pyright_accepts(pyright, name):
    errors, output = pyright
    assert errors[name] == [], output[name]


@needs_stubs
def test_mypy_rejects_exactly_the_marked_mistakes(mypy):
    errors, output = mypy
    assert set(errors["mistakes.py"]) == marked(), output


@needs_stubs
def test_pyright_rejects_the_marked_mistakes(pyright):
    errors, output = pyright
    assert {line for line, _ in errors["mistakes.py"]} == {line for line, _ in marked()}, output["mistakes.py"]


@needs_stubs
def test_user_scripts_run():
    from conftest import run_python
    for name in ("user_script.py", "reads_back.py", "narrows.py"):
        rc, _, err = run_python(f"import runpy; runpy.run_path({CLEAN[name]!r}, run_name='__main__')")
        assert rc == 0, err.decode()


@needs_stubs
def test_stubtest_finds_the_stubs_true_to_the_module():
    pytest.importorskip("mypy")
    # From the clone's root, with the paths mypy searches made absolute.
    paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "kelto", "--allowlist", ALLOWLIST],
                          capture_output=True, text=True, timeout=300, cwd=REPO,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(paths)})
    assert proc.returncode == 0, proc.stdout + proc.stderr


def stub_items():
    """(path, qualified name, node) of every class, function and method of the stubs."""
    for folder, _, names in os.walk(STUBS):
        for name in sorted(n for n in names if n.endswith(".pyi")):
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as f:
                tree = ast.parse(f.read())
            for node in tree.body:
                if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not node.name.startswith("_"):
                    yield path, node.name, node
                    for member in getattr(node, "body", []) if isinstance(node, ast.ClassDef) else []:
                        if isinstance(member, ast.FunctionDef):
                            yield path, f"{node.name}.{member.name}", member


@needs_stubs
def test_every_stub_item_is_documented():
    """Editors show these texts on hover; a setter and a constructor without
    one show the property's and the class's."""
    missing = []
    for path, name, node in stub_items():
        decorators = [ast.unparse(d) for d in getattr(node, "decorator_list", [])]
        if any(d.endswith(".setter") for d in decorators) or name.endswith(".__new__"):
            continue
        if not ast.get_docstring(node):
            missing.append(f"{os.path.relpath(path, STUBS)}: {name}")
    assert missing == []


@needs_stubs
def test_stub_constraint_union_is_the_classes_that_compare():
    """The stubs derive the union a constraint field reads as, AnyConstraint;
    it must name exactly the classes whose comparisons build constraints."""
    import kelto.package.constraint as constraint
    with open(os.path.join(STUBS, "package", "constraint.pyi"), encoding="utf-8") as f:
        [union] = re.findall(r"^AnyConstraint: typing.TypeAlias = (.*)$", f.read(), re.MULTILINE)
    comparing = {name for name in constraint.__all__ if getattr(constraint, name).__eq__ is not object.__eq__}
    assert {member.split("[")[0] for member in union.split(" | ")} == comparing
