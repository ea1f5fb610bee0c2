"""Checks a built wheel: the extension (with its symbol table), the stub, the
type marker, the host and the license file, and nothing from the source or
build tree."""

import re
import sys
import zipfile

EXPECTED = {
    r"varnok/__init__\.py",
    r"varnok/__main__\.py",
    r"varnok/ostrel\.cpython-313-x86_64-linux-gnu\.so",
    r"varnok/ostrel\.pyi",
    r"varnok/py\.typed",
    r"varnok-[^/]+\.dist-info/licenses/LICENSE",
}
METADATA = r"varnok-[^/]+\.dist-info/(METADATA|WHEEL|RECORD|entry_points\.txt|licenses/.*)"


def main(path):
    archive = zipfile.ZipFile(path)
    names = [n for n in archive.namelist() if not n.endswith("/")]
    missing = [p for p in EXPECTED if not any(re.fullmatch(p, n) for n in names)]
    stray = [n for n in names if not any(re.fullmatch(p, n) for p in (*EXPECTED, METADATA))]
    # manylinux2014 (glibc 2.17): a newer symbol version creeping in would
    # shut out every older distribution.
    if not re.search(r"-cp313-cp313-[\w.]*manylinux_2_17_x86_64", path):
        stray.append(f"{path}: no manylinux_2_17 tag")
    # Native profilers and debuggers name the library's functions from its symbol table.
    libraries = [n for n in names if n.endswith(".so")]
    stray += [f"{n}: stripped of its symbol table" for n in libraries if b"\0.symtab\0" not in archive.read(n)]
    for problem in [f"missing: {p}" for p in missing] + [f"unexpected: {n}" for n in stray]:
        print(problem, file=sys.stderr)
    if missing or stray:
        return 1
    print(f"{path}: {len(names)} files, contents as expected")
    return 0


if __name__ == "__main__":
    sys.exit(max(main(p) for p in sys.argv[1:]))
