"""The documentation is tested: every ```python block of docs/*.md and README.md
runs, the generated reference matches the module's own descriptions, and the
console script works where the wheel is installed.

Blocks of one file share a namespace and run in order, in a fresh interpreter
per file (examples may switch on the process-wide log subscriber). A block made
of `>>>` prompts is a doctest: its shown output, tracebacks included, must be
what the example prints now; text the module writes to the process's own
standard output (the banner, log lines) counts as printed output there, as it
does in an interactive session. Any other block is executed and must not raise.
A block that must not run is fenced as ```text.
"""

import functools
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tomllib

import pytest

from conftest import KELTO_DIR

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DOCS = os.path.join(REPO, "docs")
# The prose source is merged into reference.md, whose blocks run instead.
NOT_RUN = {"reference-prose.md"}
# Fence languages that are deliberately not run. A python block fenced any
# other way (```py, ```Python, ```pycon) would silently escape the tests.
OTHER_LANGUAGES = {"text", "sh", "console", "toml", "json", "cmake", "cpp", ""}
# The documentation site's own directives, which hold no code.
OTHER_LANGUAGES |= {"{toctree}", "{include}"}
# A fence may be indented (a block inside a list item); its code is dedented.
FENCE = re.compile(r"^([ \t]*)```(\S*)[^\n]*\n(.*?)^\1```[ \t]*$", re.MULTILINE | re.DOTALL)


def doc_files():
    names = sorted(n for n in os.listdir(DOCS) if n.endswith(".md")) if os.path.isdir(DOCS) else []
    return [os.path.join(REPO, "README.md")] + [os.path.join(DOCS, n) for n in names]


def fences(path):
    """(language, first line number of the code, code) for each fenced block."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for match in FENCE.finditer(text):
        indent, language, code = match.groups()
        code = "".join(line.removeprefix(indent) for line in code.splitlines(keepends=True))
        yield language, text.count("\n", 0, match.start(3)) + 1, code


def python_blocks(path):
    return [(line, code) for language, line, code in fences(path) if language == "python"]


def block_params():
    params = []
    for path in doc_files():
        if os.path.basename(path) in NOT_RUN:
            continue
        for index, (line, _) in enumerate(python_blocks(path)):
            name = os.path.relpath(path, REPO)
            params.append(pytest.param(path, index, id=f"{name}:{line}"))
    return params


# Runs in the child: the blocks of one file, in order, in one namespace.
CHILD = r'''
import doctest, json, os, sys, tempfile, traceback

blocks_path, results_path = sys.argv[1], sys.argv[2]
with open(blocks_path, encoding="utf-8") as f:
    blocks = json.load(f)

# File descriptor 1 goes to a file that is read back after each write of the
# doctest runner, so native output lands in order with Python's own.
native = tempfile.TemporaryFile()
sys.stdout.flush()
os.dup2(native.fileno(), 1)
read_up_to = 0


def take_native():
    global read_up_to
    chunks = []
    while True:
        chunk = os.pread(native.fileno(), 65536, read_up_to)
        if not chunk:
            return b"".join(chunks).decode("utf-8", "replace")
        read_up_to += len(chunk)
        chunks.append(chunk)


class Output(doctest._SpoofOut):
    def write(self, text):
        pending = take_native()
        if pending:
            super().write(pending)
        return super().write(text)

    def getvalue(self):
        pending = take_native()
        if pending:
            super().write(pending)
        return super().getvalue()


namespace = {"__name__": "__main__"}
results = []
for block in blocks:
    take_native()
    if block["kind"] == "doctest":
        report = []
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner._fakeout = Output()
        test = doctest.DocTestParser().get_doctest(
            block["code"], namespace, block["name"], block["file"], block["line"] - 1)
        outcome = runner.run(test, out=report.append, clear_globs=False)
        namespace.update(test.globs)
        results.append({"ok": outcome.failed == 0, "report": "".join(report)})
    else:
        try:
            exec(compile(block["code"], f"{block['file']}:{block['line']}", "exec"), namespace)
        except BaseException:
            results.append({"ok": False, "report": traceback.format_exc()})
        else:
            results.append({"ok": True, "report": ""})
    with open(results_path, "w", encoding="utf-8") as f:
        json.dump(results, f)
'''


@functools.cache
def run_file(path, tmp_root):
    """Results of every python block of `path`, one dict per block."""
    blocks = []
    for line, code in python_blocks(path):
        kind = "doctest" if code.lstrip().startswith(">>>") else "exec"
        name = f"{os.path.relpath(path, REPO)}:{line}"
        # Blocks shift their line numbers so reports point into the file.
        padded = code if kind == "doctest" else "\n" * (line - 1) + code
        blocks.append({"kind": kind, "code": padded, "line": line, "file": path, "name": name})
    stem = os.path.relpath(path, REPO).replace(os.sep, "_")
    blocks_path = os.path.join(tmp_root, stem + ".blocks.json")
    results_path = os.path.join(tmp_root, stem + ".results.json")
    with open(blocks_path, "w", encoding="utf-8") as f:
        json.dump(blocks, f)
    env = dict(os.environ)
    env.pop("NO_COLOR", None)
    env["PYTHONPATH"] = os.pathsep.join([KELTO_DIR] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    proc = subprocess.run(
        [sys.executable, "-X", "dev", "-c", CHILD, blocks_path, results_path],
        cwd=tmp_root, stdin=subprocess.DEVNULL, capture_output=True, timeout=300, env=env)
    results = []
    if os.path.exists(results_path):
        with open(results_path, encoding="utf-8") as f:
            results = json.load(f)
    # A crash stops the file: the block that was running and all later ones fail.
    crash = f"the interpreter ended with {proc.returncode}:\n{proc.stderr.decode(errors='replace')}"
    return results + [{"ok": False, "report": crash}] * (len(blocks) - len(results))


@pytest.fixture(scope="module")
def tmp_root(tmp_path_factory):
    return str(tmp_path_factory.mktemp("docs"))


@pytest.mark.parametrize(("path", "index"), block_params())
def test_python_block(path, index, tmp_root):
    result = run_file(path, tmp_root)[index]
    assert result["ok"], result["report"]


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("```python\n>>> 1\n1\n```\n", [("python", 2, ">>> 1\n1\n")]),
        ("- item\n\n  ```python\n  x = 1\n\n  y = 2\n  ```\n", [("python", 4, "x = 1\n\ny = 2\n")]),
        ("```text\n>>> no\n```\n\n```python\nx\n```\n", [("text", 2, ">>> no\n"), ("python", 6, "x\n")]),
        ("```sh\nkelto\n```\n", [("sh", 2, "kelto\n")]),
    ],
    ids=["doctest", "indented", "text-then-python", "shell"],
)
def test_fences_are_found_with_their_lines(tmp_path, text, expected):
    path = tmp_path / "page.md"
    path.write_text(text)
    assert list(fences(str(path))) == expected


@pytest.mark.parametrize("path", doc_files(), ids=lambda p: os.path.relpath(p, REPO))
def test_every_fence_is_run_or_marked_as_not_run(path):
    languages = {language for language, _, _ in fences(path)}
    assert languages <= OTHER_LANGUAGES | {"python"}, f"unknown fence languages {languages - OTHER_LANGUAGES}"


def test_readme_links_work_on_an_index_page():
    """The README is the package's page on an index, where a relative link
    leads nowhere."""
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        links = re.findall(r"\]\(([^)\s]+)", f.read())
    assert [link for link in links if not link.startswith("https://")] == []


@pytest.mark.parametrize("name", ["guide.md", "errors.md", "reference.md"])
def test_documents_exist_and_have_examples(name):
    path = os.path.join(DOCS, name)
    assert os.path.isfile(path), name
    assert python_blocks(path), f"{name} has no tested example"


# --- The reference, generated from the module's own descriptions -----------

def load_generator():
    spec = importlib.util.spec_from_file_location("gen_reference", os.path.join(REPO, "tools", "gen_reference.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


SURFACE = os.path.join(REPO, "build", "main", "generated", "surface.json")


@pytest.mark.skipif(not os.path.isfile(SURFACE), reason="needs the build's surface.json (tools/dev build)")
def test_committed_reference_is_up_to_date():
    generator = load_generator()
    with open(SURFACE, encoding="utf-8") as f:
        surface = json.load(f)
    with open(os.path.join(DOCS, "reference-prose.md"), encoding="utf-8") as f:
        prose = f.read()
    with open(os.path.join(DOCS, "reference.md"), encoding="utf-8") as f:
        committed = f.read()
    assert generator.render(surface, prose) == committed, (
        "docs/reference.md is stale: run tools/gen_reference.py "
        "build/main/generated/surface.json docs/reference-prose.md docs/reference.md")


def small_surface():
    def arg(name, annotation="typing.Any", **extra):
        return {"name": name, "annotation": annotation, **extra}

    new = {"type": "function", "name": "__new__", "arguments": {"posonlyargs": [{"name": "cls"}], "args": [arg("name", "str")]}, "returns": "None"}
    getter = {"type": "function", "name": "on", "arguments": {"posonlyargs": [{"name": "self"}]}, "returns": "str", "decorators": ["property"]}
    setter = {"type": "function", "name": "on", "arguments": {"posonlyargs": [{"name": "self"}], "args": [arg("value", "str")]}, "returns": "None", "decorators": ["on.setter"]}
    eq = {"type": "function", "name": "__eq__", "arguments": {"posonlyargs": [{"name": "self"}], "args": [arg("rhs")]}, "returns": "typing.Any"}
    return {
        "functions": [{"type": "function", "name": "main_entry", "arguments": {}, "returns": "None"}],
        "submodules": [{"key": "kelto.package.constraint", "classes": [
            {"class": {"type": "class", "name": "Depends"}, "members": [new, getter, setter, eq], "attributes": []},
        ]}],
    }


SMALL_PROSE = """Preamble.

## kelto

Root.

## kelto.main_entry

Prints.

## kelto.package.constraint

Constraints.

## Depends

A dependency.

## Depends.on

The name.
"""


def test_generator_merges_signatures_and_prose():
    text = load_generator().render(small_surface(), SMALL_PROSE)
    assert text.index("Preamble.") < text.index("main_entry() -> None") < text.index("Prints.")
    assert "Depends(name: str)" in text
    assert "on: str  (read and write)" in text
    assert text.index("Depends(name: str)") < text.index("A dependency.") < text.index("The name.")
    assert "__eq__" not in text and "rhs" in text  # comparisons are summarised, not listed six times
    assert "cls" not in text and "self" not in text


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda p: p.replace("## Depends.on\n", "## Depends.of\n"), "Depends.of"),  # a typo in a key
        (lambda p: p + "\n## Gone\n\nOld.\n", "Gone"),  # prose for something removed
        (lambda p: p.replace("## Depends\n\nA dependency.\n", ""), "Depends"),  # a class without prose
        (lambda p: p.replace("## kelto.main_entry\n\nPrints.\n", ""), "kelto.main_entry"),
        (lambda p: p + "\n## Depends\n\nAgain.\n", "Depends"),  # the same key twice
    ],
    ids=["unknown-member", "unknown-class", "class-without-prose", "function-without-prose", "duplicate"],
)
def test_generator_refuses_prose_that_does_not_match(change, message):
    generator = load_generator()
    with pytest.raises(generator.ProseError, match=re.escape(message)):
        generator.render(small_surface(), change(SMALL_PROSE))


def test_generator_command_line_writes_the_file(tmp_path):
    surface, prose, out = tmp_path / "surface.json", tmp_path / "prose.md", tmp_path / "out" / "reference.md"
    surface.write_text(json.dumps(small_surface()))
    prose.write_text(SMALL_PROSE)
    script = os.path.join(REPO, "tools", "gen_reference.py")
    subprocess.run([sys.executable, script, str(surface), str(prose), str(out)], check=True)
    assert out.read_text() == load_generator().render(small_surface(), SMALL_PROSE)
    usage = subprocess.run([sys.executable, script, str(surface), str(prose)], capture_output=True)
    assert usage.returncode != 0


def test_generator_command_line_only_warns_about_missing_prose(tmp_path):
    # A new class must not break the build before its prose exists; the
    # up-to-date test above is what fails then.
    surface, prose, out = tmp_path / "surface.json", tmp_path / "prose.md", tmp_path / "reference.md"
    surface.write_text(json.dumps(small_surface()))
    prose.write_text(SMALL_PROSE.replace("## Depends\n\nA dependency.\n", "") + "\n## Gone\n\nOld.\n")
    script = os.path.join(REPO, "tools", "gen_reference.py")
    proc = subprocess.run([sys.executable, script, str(surface), str(prose), str(out)], capture_output=True, text=True)
    assert proc.returncode == 0
    assert "no prose section for 'Depends'" in proc.stderr and "Gone" in proc.stderr
    assert "Depends(name: str)" in out.read_text() and "Old." not in out.read_text()


# --- The console script ------------------------------------------------------

def test_console_script_is_declared():
    with open(os.path.join(REPO, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    assert project["scripts"] == {"kelto": "kelto:main_entry"}


def test_installed_console_script_prints_the_banner():
    script = shutil.which("kelto", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the wheel is not installed next to this interpreter")
    proc = subprocess.run([script], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"kelto entrypoint\n", b"")
