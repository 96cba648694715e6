"""Very deep and very long structures built from Python: copied by property reads,
compared (the refusal carries the complete text), dropped. Each runs in a child
whose work thread has a 512 KiB stack, so recursion per level would overflow, and
reports its resident memory before and after, which must come back down."""

import os

import pytest

# AddressSanitizer keeps freed memory in quarantine (hundreds of MiB), so under
# it resident memory does not come back down; the other checks still apply.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")

SCRIPT = """if True:
    import ctypes, threading, time
    from kelto.package.constraint import Depends, Maximize, NumOf
    from kelto.package.outline import PackageOutline
    libc = ctypes.CDLL(None)

    def rss():
        libc.malloc_trim(0)
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    def work():
        BUILD
        try:
            obj == 1.5
        except NotImplementedError as e:
            assert str(e).endswith(" with type Some(Float) from constraint 1.5 using operator '=='")
            print(len(str(e)))
        else:
            print("compared")

    def run():
        work()
        base = rss()
        start = time.perf_counter()
        for _ in range(3):
            work()
        print(round((time.perf_counter() - start) / 3, 2), (rss() - base) // 2 ** 20)

    threading.stack_size(512 * 1024)
    t = threading.Thread(target=run)
    t.start()
    t.join()
"""

MAXIMIZE = "obj = 1\n        for _ in range(COUNT):\n            obj = Maximize(obj)\n        copy = obj.item"
NUM_OF = "obj = NumOf([Depends(str(i)) for i in range(COUNT)])\n        copies = obj.of\n        obj.of = copies"
OUTLINE = ("obj = PackageOutline('p', [Depends(str(i)) for i in range(COUNT)], {str(i): i for i in range(COUNT)},\n"
           "                             {str(i): None for i in range(COUNT)})\n        obj = NumOf([1])")


def run_case(run_python, build, n, seconds):
    rc, out, err = run_python(SCRIPT.replace("BUILD", build.replace("COUNT", str(n))), timeout=max(60, seconds * 10))
    assert (rc, err) == (0, b"")
    lines = out.decode().split()
    per_run, grown_mib = float(lines[-2]), int(lines[-1])
    if not SANITIZED:
        assert grown_mib <= 8, f"resident memory grew by {grown_mib} MiB over three runs"
    assert per_run < seconds, f"one run took {per_run} s"
    return lines[:-2]


@pytest.mark.parametrize("build, n, seconds, length", [
    (NUM_OF, 100_000, 2, len("Cannot compare type Some(Int) from constraint NumOf(  ) with type Some(Float) from "
                             "constraint 1.5 using operator '=='") + sum(len(f"Depends( {i} ), ") for i in range(100_000)) - 2),
    (OUTLINE, 100_000, 2, None),
], ids=["NumOf 100k", "PackageOutline 100k"])
def test_long(run_python, build, n, seconds, length):
    lines = run_case(run_python, build, n, seconds)
    if length is not None:
        assert set(lines) == {str(length)}


@pytest.mark.slow
@pytest.mark.parametrize("build, n, seconds", [
    (NUM_OF, 1_000_000, 10),
    (OUTLINE, 1_000_000, 20),
    # Every wrapping copies the chain below it, so building costs depth squared:
    # 50,000 levels is what a run can afford; the copy, text and drop stay linear.
    (MAXIMIZE, 50_000, 120),
], ids=["NumOf 1M", "PackageOutline 1M", "Maximize 50k deep"])
def test_huge(run_python, build, n, seconds):
    run_case(run_python, build, n, seconds)
