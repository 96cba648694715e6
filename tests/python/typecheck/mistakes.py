"""Typical mistakes, one per line, each marked with the error code mypy --strict
gives it. The suite checks that mypy reports exactly the marked lines."""

from kelto.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf, SpecOption, Value
from kelto.package.outline import PackageOutline
from kelto.package.version import Version

d = Depends("a")
PackageOutline("app", options={"shared": True})  # E: call-overload
PackageOutline("app", set_options=[("shared", True)])  # E: call-overload
PackageOutline("app", set_options={"gui": None})  # E: dict-item
PackageOutline("app", set_defaults={"formats": ["png"]})  # E: dict-item
PackageOutline("app", d)  # E: call-overload
IfThen(Depends("a"), [Depends("b")])  # E: call-overload
Cmp(Depends("a"), True, 3)  # E: call-overload
Depends(on="a")  # E: call-arg
Depends(5)  # E: arg-type
SpecOption("p")  # E: call-arg
Version(ver=1.5)  # E: arg-type
NumOf(Depends("a"), Depends("b"))  # E: call-overload
(Depends("a") == True).if_thn(Depends("b"))  # E: attr-defined
t: int = NumOf([d]) >= 1  # E: assignment
on: int = d.on  # E: assignment
d.on + 1  # E: operator
class MyDep(Depends): ...  # E: misc
Value(1)  # E: arg-type
CmpType()  # E: call-arg
d < 2  # E: operator
NumOf([d]) >= 1.5  # E: operator
Maximize(NumOf([d])) >= 1  # E: operator
first: Depends = NumOf([d, 1]).of[0]  # E: assignment
def right(rule: Cmp) -> None:
    rule.rhs.value  # E: union-attr
d.on = None  # E: assignment
NumOf([d]).of = d  # E: assignment
# A str is a sequence of constraints (each a str), refused at run time.
PackageOutline("app", "libc6")  # E: call-overload
PackageOutline("app", constraints="")  # E: call-overload
NumOf("libssl3")  # E: call-overload
NumOf([d]).of = "ab"  # E: assignment
# A text in a count converts to a Str value, which never holds: names where
# Depends was meant.
NumOf(["libssl3", "libgnutls30"]) >= 1  # E: type-var
NumOf([d, "libgnutls30"])  # E: type-var
NumOf([d]).of = ["libssl3"]  # E: list-item
# Reads back what construction gave; a plain value reads back as a Value.
Maximize(NumOf([d])).item.on  # E: attr-defined
IfThen(d == True, 3).then.on  # E: attr-defined
(SpecOption("a", "o") == SpecOption("b", "o")).lhs.on  # E: attr-defined
# Equalities the type check refuses at run time (NotImplementedError): the
# stubs mark them deprecated, which mypy reports with --enable-error-code
# deprecated and pyright's strict mode reports by default.
NumOf([d]) == True  # E: deprecated
NumOf([d]) != 2.5  # E: deprecated
SpecOption("p", "o") == 5  # E: deprecated
SpecOption("p", "o") == True  # E: deprecated
SpecOption("p", "o") == NumOf([d])  # E: deprecated
d == 1  # E: deprecated
d == "yes"  # E: deprecated
Maximize(d) == Maximize(d)  # E: deprecated
IfThen(d == True, 1) != 0  # E: deprecated
# Beyond a type checker (docs/guide.md, "What the checkers cannot see"): a
# chained comparison, `not rule`, and a CmpType compared with ==.
unchecked = 1 <= NumOf([d]) <= 2
also_unchecked = not (d == True)
still_unchecked = (d == True).op == CmpType.Equal
