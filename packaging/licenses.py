#!/usr/bin/env python3
"""Licence texts for the packages, taken from this machine's Debian packages.

  licenses.py windows DIR --deps-src SRC   the zip's LICENSES folder
  licenses.py debian-copyright FILE        the .deb's copyright file

SRC holds the libzip and expat source packages that scripts/build-mingw-deps
fetched; their upstream licence files are the ones that apply to the static
libraries built from them.
"""
import argparse
import pathlib
import re
import subprocess
import sys
import tarfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOC = pathlib.Path("/usr/share/doc")


def paragraphs(text):
    """Debian copyright-format paragraphs as (fields, raw text) pairs."""
    result = []
    for raw in re.split(r"\n[ \t]*\n", text.strip("\n")):
        fields, key = {}, None
        for line in raw.splitlines():
            if line[:1] in (" ", "\t") and key:
                fields[key] += "\n" + line
            elif ":" in line:
                key, value = line.split(":", 1)
                fields[key] = value.strip()
        result.append((fields, raw))
    return result


def licence_name(fields):
    return fields.get("License", "").split("\n", 1)[0].strip()


def extract(text, wanted):
    """The Files paragraphs that `wanted(files)` accepts, with the standalone
    licence paragraphs they name."""
    paras = paragraphs(text)
    chosen = [(f, raw) for f, raw in paras if "Files" in f and wanted(f["Files"])]
    names = {licence_name(f) for f, _ in chosen}
    standalone = [raw for f, raw in paras if "Files" not in f and licence_name(f) in names]
    if not chosen:
        sys.exit("no matching paragraphs")
    return "\n\n".join([raw for _, raw in chosen] + standalone) + "\n"


def from_tarball(src, package, member):
    tarballs = sorted(pathlib.Path(src).glob(f"{package}_*.orig.tar.*"))
    if not tarballs:
        sys.exit(f"{package}'s source package is not in {src}: run scripts/build-mingw-deps")
    with tarfile.open(tarballs[-1]) as tar:
        names = sorted((n for n in tar.getnames() if n.endswith("/" + member)), key=len)
        return tar.extractfile(names[0]).read().decode()


def version(package):
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                          check=True, capture_output=True, text=True).stdout


def source_version(src, package):
    return re.search(r"_([^_]+)\.orig\.", next(pathlib.Path(src).glob(f"{package}_*.orig.tar.*")).name)[1]


def windows(out, src):
    out.mkdir(parents=True, exist_ok=True)
    mingw = (DOC / "mingw-w64-x86-64-dev/copyright").read_text()
    # (file, component, version, which programs, text)
    both = "quorvane.exe, quorvane-cli.exe"
    entries = [
        ("Quorvane.txt", "Quorvane", None, both, (ROOT / "LICENSE").read_text()),
        ("libzip.txt", "libzip", source_version(src, "libzip"), both, from_tarball(src, "libzip", "LICENSE")),
        ("expat.txt", "Expat", source_version(src, "expat"), both, from_tarball(src, "expat", "COPYING")),
        ("zlib.txt", "zlib", version("libz-mingw-w64-dev"), both,
         (DOC / "libz-mingw-w64-dev/copyright").read_text()),
        ("mingw-w64-runtime.txt", "MinGW-w64 runtime", version("mingw-w64-x86-64-dev"), both, mingw),
        ("winpthreads.txt", "winpthreads (MinGW-w64)", version("mingw-w64-x86-64-dev"), both,
         extract(mingw, lambda files: "winpthreads/" in files and "tests_pthread" not in files)),
        ("gcc-runtime.txt", "GCC runtime: libgcc, libstdc++", version("g++-mingw-w64-x86-64-posix"), both,
         (DOC / "gcc-mingw-w64-base/copyright").read_text()),
        ("GPL-3.txt", "GNU GPL 3, to which the GCC Runtime Library Exception adds", None, both,
         pathlib.Path("/usr/share/common-licenses/GPL-3").read_text()),
        ("CLI11.txt", "CLI11", version("libcli11-dev"), "quorvane-cli.exe",
         (DOC / "libcli11-dev/copyright").read_text()),
    ]
    index = ["What is linked into the programs, and under which terms.", ""]
    for name, component, ver, programs, text in entries:
        (out / name).write_text(text)
        index.append(f"{name:<24}{component}{' ' + ver if ver else ''} ({programs})")
    (out / "README.txt").write_text("\n".join(index) + "\n")


def debian_copyright(out):
    cli11 = (DOC / "libcli11-dev/copyright").read_text()
    upstream = next(f for f, _ in paragraphs(cli11) if f.get("Files") == "*")
    bsd = next(raw for f, raw in paragraphs(cli11) if "Files" not in f and licence_name(f) == "BSD-3-clause")
    ours = (ROOT / "LICENSE").read_text()
    holder = re.search(r"^Copyright \(c\) (.+)$", ours, re.M)[1]
    mit = ours.split("\n\n", 2)[2]  # after the title and copyright lines
    text = f"""Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Quorvane
Upstream-Contact: the Quorvane developers

Files: *
Copyright: {holder}
License: Expat

Files: CLI/*
Copyright: {upstream["Copyright"]}
License: BSD-3-clause
Comment: CLI11's headers, from Debian's libcli11-dev, are compiled into quorvane-cli.

License: Expat
{dep5_body(mit)}

{bsd}
"""
    pathlib.Path(out).write_text(text)


def dep5_body(text):
    """Free text as an indented copyright-format field body."""
    return "\n".join(" " + line if line.strip() else " ." for line in text.strip("\n").splitlines())


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    w = sub.add_parser("windows")
    w.add_argument("out", type=pathlib.Path)
    w.add_argument("--deps-src", required=True)
    d = sub.add_parser("debian-copyright")
    d.add_argument("out")
    args = parser.parse_args()
    if args.command == "windows":
        windows(args.out, args.deps_src)
    else:
        debian_copyright(args.out)


if __name__ == "__main__":
    main()
