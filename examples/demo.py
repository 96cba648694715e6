"""A short tour of what kelto offers so far: the banner, diagnostic logging
and versions with their two text forms."""

import sys

import kelto
from kelto.package.version import Version


def main() -> int:
    kelto.main_entry()   # "kelto entrypoint", written to the process's stdout
    kelto.init_tracing()  # " WARN kelto: tracing activated"

    print("\nVersions, as printed (str) and as parsed (repr):")
    for text in ["1.2.3", "01.002", "2.*", "1.0-rc.1+b2", "3.>", "18446744073709551616"]:
        version = Version(text)
        print(f"  {text!r:24} -> {str(version)!r:24} {version!r}")

    print("\nTexts that are not versions:")
    for text in ["", "1..2", "1.>.2", "1.a_b", "1.\u00e9"]:
        try:
            Version(text)
        except ValueError as error:
            print(f"  {text!r:24} -> ValueError: {error}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
