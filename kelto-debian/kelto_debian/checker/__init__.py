"""The installability check over kelto's objects, in three concerns: the
encoding of every package's rules as clauses (encoding), each package's
cone and its problem for the SAT solver (cone), the verdicts (verdicts)
and why a package cannot be installed (explanation)."""

from .encoding import Encoding, Formula, Unsupported, Universe
from .explanation import Explainer
from .verdicts import ESSENTIAL, Checker, have_solver, pycosat

__all__ = ["ESSENTIAL", "Checker", "Encoding", "Explainer", "Formula", "Unsupported", "Universe", "have_solver",
           "pycosat"]
