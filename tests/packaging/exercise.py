"""Imports kelto and walks every kind of call once, through the paths that
reach the C++ runtime: text formatting of every value kind, refused
arguments (exceptions thrown and caught inside the module), copies of trees.
Prints the C++ runtime libraries the process mapped, for the caller to check."""

import kelto
from kelto.package.constraint import Cmp, Depends, IfThen, Maximize, NumOf, SpecOption
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

assert "/venv/" in kelto.__file__, kelto.__file__

version = Version("2.4.1-rc1")
assert str(version) == "2.4.1-rc1", str(version)
assert str(Version("01.002")) == "1.2"

tls = NumOf([Depends("openssl"), Depends("gnutls")]) >= 1
assert repr(tls.op) == "CmpType.GreaterOrEqual" and tls.rhs.value == 1
rule = (Depends("qt6") == True).if_then(Depends("libgl1"))  # noqa: E712
assert isinstance(rule, IfThen)
assert isinstance(Maximize(SpecOption("app", "jobs")).item, SpecOption)
options = {"shared": True, "n": -2**63, "f": 0.1, "s": "ü\u200b"}
outline = PackageOutline("app", [tls, rule, SpecOption("app", "x") == SpecOption("zlib", "x")],
                         set_options={**options, "version": version}, set_defaults={"jobs": 4})
assert isinstance(outline, PackageOutline)

# The message of a refused comparison prints both sides, values among them.
for value, text in ((0.1, "0.1"), (-2**63, str(-2**63)), ("ü\u200b", "ü\u200b")):
    try:
        Depends("y") < value
    except NotImplementedError as error:
        assert "Depends( y )" in str(error) and text in str(error), str(error)
    else:
        raise AssertionError("NotImplementedError not raised")

refusals = [
    (lambda: Depends("libc6") < 2, NotImplementedError),
    (lambda: Version("1..2"), ValueError),
    (lambda: Depends(), TypeError),
    (lambda: Cmp(1, 2, 3), TypeError),
    (lambda: PackageOutline("p", bogus=1), ValueError),
]
for call, kind in refusals:
    try:
        call()
    except kind as error:
        assert str(error), kind
    else:
        raise AssertionError(f"{kind.__name__} not raised")

with open("/proc/self/maps") as maps:
    for path in sorted({line.split()[-1] for line in maps if "libstdc++" in line or "libgcc_s" in line}):
        print(path)
