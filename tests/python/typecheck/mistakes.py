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
IfThen(Depends("a"), [Depends("b")])  # E: arg-type
Cmp(Depends("a"), True, 3)  # E: arg-type
Depends(on="a")  # E: call-arg
Depends(5)  # E: arg-type
SpecOption("p")  # E: call-arg
Version(ver=1.5)  # E: arg-type
NumOf(Depends("a"), Depends("b"))  # E: call-arg arg-type
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
first: Depends = NumOf([d]).of[0]  # E: assignment
Cmp(d, True, CmpType.Equal).rhs.value  # E: union-attr
d.on = None  # E: assignment
NumOf([d]).of = d  # E: assignment
# Beyond a type checker: a str is a Sequence[str] and a str is a constraint, so
# PackageOutline("app", "libc6") and NumOf("ab") pass; == falls back to the
# other operand's object.__eq__, so SpecOption("p", "o") == True passes.
PackageOutline("app", "libc6")
SpecOption("p", "o") == True
