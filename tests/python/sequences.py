"""The suite's hostile stand-ins: its one lying sequence, for the conversions
that take a length hint and then iterate (NumOf, its `of` setter,
PackageOutline's constraints), and a number whose hooks run code of the test's."""


class Lying:
    """A sequence whose __iter__ yields `items` and then raises `error`, if one
    is given, or returns what `iterate()` returns when that is given. __len__
    answers `length` (len(items) when None), calls it when it is callable and
    raises it when it is an exception. Reading by index is a fault: the
    conversions iterate."""

    def __init__(self, items=(), length=None, error=None, iterate=None):
        self.items, self.length, self.error, self.iterate = list(items), length, error, iterate

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        if callable(self.length):
            return self.length()
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        raise AssertionError("read by index, not through __iter__")

    def __iter__(self):
        return self.iterate() if self.iterate is not None else self._yield()

    def _yield(self):
        yield from self.items
        if self.error is not None:
            raise self.error


def raise_(error):
    def fn():
        raise error
    return fn


class Number:
    """An object whose number hooks run `action` and then answer or raise."""

    def __init__(self, index=None, float_=None):
        self.index, self.float_ = index, float_

    def __index__(self):
        if self.index is None:
            raise TypeError("no index")
        return self.index()

    def __float__(self):
        if self.float_ is None:
            raise TypeError("no float")
        return self.float_()
