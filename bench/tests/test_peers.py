"""The peers must do the same work as kelto, or the ratios mean nothing:
the plain peer must accept, refuse and copy as kelto does, and the floor
types must copy what they are given. Run: python3 -m pytest bench/tests"""

from __future__ import annotations

import gc
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(BENCH))

from floorbuild import build_floor  # noqa: E402

build_floor()

import floor  # noqa: E402
import debian_input  # noqa: E402
from peers import plain  # noqa: E402

kelto_constraint = pytest.importorskip("kelto.package.constraint")
from kelto.package.version import Version as KeltoVersion  # noqa: E402

VERSION_TEXTS = ["", "1", "1.", "1.2-", "1..", ".1", "1..2", "1.-2", "1.2.3", "007", "1.*.3", "1.>", ">",
                 "1.>.2", ">..", "1.>.", "1.a_b.2", "1.**", "1. 2", "1.é", "1.0rc1", "1.0-rc.1+b2",
                 "18446744073709551615", "18446744073709551616", "1:2.3", "1.0~rc1", "a_b."]


def outcome(make, text):
    try:
        return ("ok", str(make(text)))
    except ValueError as error:
        return ("refused", str(error))


@pytest.mark.parametrize("text", VERSION_TEXTS)
def test_plain_version_accepts_and_refuses_as_kelto(text):
    assert outcome(plain.Version, text) == outcome(KeltoVersion, text)


@pytest.mark.parametrize("side", ["kelto", "plain"])
class TestCopyRules:
    def ns(self, side):
        return kelto_constraint if side == "kelto" else plain

    def test_numof_ge_builds_cmp_with_copies(self, side):
        ns = self.ns(side)
        rule = ns.NumOf([ns.Depends("a"), ns.Depends("b"), ns.Depends("c")]) >= 2
        assert type(rule).__name__ == "Cmp"
        assert int(rule.op) == 4
        assert [d.on for d in rule.lhs.of] == ["a", "b", "c"]
        assert rule.rhs.value == 2
        assert rule.lhs is not rule.lhs

    @pytest.mark.parametrize("expression", ["d < 2", "d >= True", "n == True", "m == 1"])
    def test_refused_comparisons(self, side, expression):
        ns = self.ns(side)
        d, n, m = ns.Depends("a"), ns.NumOf([ns.Depends("a")]), ns.Maximize(ns.Depends("a"))
        with pytest.raises(NotImplementedError):
            eval(expression)

    def test_unconvertible_operand_falls_back(self, side):
        ns = self.ns(side)
        assert (ns.Depends("a") == object()) is False
        with pytest.raises(TypeError):
            ns.Depends("a") < object()

    @pytest.mark.parametrize("bad", [5, None, b"x"])
    def test_depends_needs_str(self, side, bad):
        with pytest.raises(TypeError):
            self.ns(side).Depends(bad)

    @pytest.mark.parametrize("bad", ["ab", {1: 2}, 5, {1}])
    def test_numof_needs_a_sequence(self, side, bad):
        with pytest.raises(TypeError):
            self.ns(side).NumOf(bad)

    def test_property_reads_are_copies(self, side):
        ns = self.ns(side)
        n = ns.NumOf([ns.Depends("a")])
        n.of.append(ns.Depends("b"))
        assert len(n.of) == 1

    def test_deep_chain_reads_without_recursion(self, side):
        ns = self.ns(side)
        chain = ns.Depends("leaf")
        depth = 3000
        if side == "kelto":
            for _ in range(depth - 1):
                chain = ns.Maximize(chain)
        else:
            chain = constraints_plain_chain(depth)
        node, count = chain.item, 1
        while type(node).__name__ == "Maximize":
            node = node.item if side == "kelto" else node._item
            count += 1
        assert count == depth - 1 and node.on == "leaf"

    def test_outline_refuses_unknown_keyword(self, side):
        classes = debian_input.kelto_classes() if side == "kelto" else debian_input.plain_classes()
        with pytest.raises(ValueError, match="unexpected keyword argument 'version'"):
            classes.PackageOutline("p", version="1.0")
        with pytest.raises(TypeError):
            classes.PackageOutline("p", set_options={"x": None})
        classes.PackageOutline("p", [], {"a": True, "b": 1, "c": 1.5, "d": "s"}, {"e": None})


def constraints_plain_chain(depth):
    import constraints
    return constraints.plain_chain(depth)


def test_plain_clone_shares_nothing_mutable():
    rule = plain.NumOf([plain.Depends("a"), plain.NumOf([plain.Depends("b")]) >= 1]) >= 2
    copy = plain.clone(rule)
    stack = [(rule, copy)]
    while stack:
        a, b = stack.pop()
        assert a is not b and type(a) is type(b)
        for slot in getattr(type(a), "__slots__", ()):
            x, y = getattr(a, slot), getattr(b, slot)
            if isinstance(x, plain._Constraint):
                stack.append((x, y))
            elif isinstance(x, list):
                assert x is not y
                stack.extend(zip(x, y))


class TestFloor:
    @pytest.mark.parametrize("name", ["", "libc6", "é" * 40])
    def test_str_copies_the_text(self, name):
        s = floor.Str(name)
        assert s.on == name and not gc.is_tracked(s) and not hasattr(s, "__dict__")

    @pytest.mark.parametrize("bad", [[floor.Str("a"), "b"], 5, None])
    def test_list_refuses_other_elements(self, bad):
        with pytest.raises(TypeError):
            floor.List(bad)

    @pytest.mark.parametrize("code,op", [("<", 0), ("<=", 1), ("==", 3), ("!=", 2), (">", 5), (">=", 4)])
    def test_list_comparison_maps_operators_like_kelto(self, code, op):
        rule = eval(f"floor.List([floor.Str('a'), floor.Str('b')]) {code} 7")
        assert rule.fields() == (2, 7, op)

    @pytest.mark.parametrize("depth", [1, 2, 100000])
    def test_clone_copies_every_node(self, depth):
        chain = floor.Node(depth)
        assert chain.clone().size() == depth

    def test_join_and_clone_of_a_branching_tree(self):
        tree = floor.Node(3).join(floor.Node(4)).join(floor.Node(2))
        assert tree.size() == 1 + (1 + 3 + 4) + 2
        assert tree.clone().size() == tree.size()


def test_builder_does_the_same_work_on_both_sides():
    packages = debian_input.load_packages(debian_input.SAMPLE, 200)
    k, p = debian_input.Builder(debian_input.kelto_classes()), debian_input.Builder(debian_input.plain_classes())
    for package in packages:
        k.outline(package), p.outline(package)
    # Both build every bound, and keep the same versions as text.
    assert k.tally.bounds == p.tally.bounds == sum(package.bounds_in_text for package in packages) > 0
    assert (k.tally.versions_as_text, k.tally.bounds_as_text) == (p.tally.versions_as_text, p.tally.bounds_as_text)
    assert len(debian_input.dependency_names(packages, 50)) == 50
