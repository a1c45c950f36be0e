#!/usr/bin/env python3
"""Writes the compressed manual pages of the package.

    make-manpage.py cli KELTO_CLI INCLUDE OUT.1.gz
        kelto-cli(1) from the program's own --help: help2man turns the
        overview into the page, each command's --help becomes a section of
        its own, INCLUDE adds what no --help says (exit status, files).
    make-manpage.py gzip IN OUT.gz
        a page or text written by hand, compressed as Debian wants it.

Generated from --help at build time, the page cannot fall behind the
program when commands or options are added.
"""
import gzip
import pathlib
import re
import subprocess
import sys
import tempfile


def write_gz(data: bytes, out: pathlib.Path) -> None:
    # No name and no time stamp in the header: the same input gives the
    # same package.
    out.write_bytes(gzip.compress(data, compresslevel=9, mtime=0))


def roff(text: str) -> str:
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def help_text(exe: str, *args: str) -> str:
    return subprocess.run([exe, *args, "--help"], check=True, capture_output=True,
                          text=True).stdout


def commands(overview: str) -> list:
    names, listing = [], False
    for line in overview.splitlines():
        if line.startswith("Commands:"):
            listing = True
        elif listing and re.match(r"^  [a-z]", line):
            names.append(line.split()[0])
        elif listing and not line.startswith("  "):
            listing = False
    return names


OPTION = re.compile(r"^ {2,}(-\S+(?: [A-Z][A-Z.|]*)?) {2,}(\S.*)$")
# An option too long for the column: its text starts on the next line.
OPTION_ALONE = re.compile(r"^ {2,}(-\S+(?: [A-Z][A-Z.|]*)?)$")


def command_section(name: str, text: str) -> str:
    out = [f'.SS "{name}"']
    paragraph = False
    for line in text.splitlines():
        if line.startswith("Usage: "):
            out += [".B " + roff(line[len("Usage: "):]), ".PP"]
            paragraph = True
        elif not line.strip():
            if not paragraph:
                out.append(".PP")
            paragraph = True
        elif (m := OPTION.match(line)):
            out += [".TP", ".B " + roff(m.group(1)), roff(m.group(2))]
            paragraph = False
        elif (m := OPTION_ALONE.match(line)):
            out += [".TP", ".B " + roff(m.group(1))]
            paragraph = False
        else:
            out.append(roff(line.strip()))
            paragraph = False
    return "\n".join(out) + "\n"


def cli_page(exe: str, include: str, out: pathlib.Path) -> None:
    overview = help_text(exe)
    names = commands(overview)
    if not names:
        sys.exit(f"{exe} --help lists no commands under 'Commands:'")
    sections = "[COMMANDS]\n" + "".join(command_section(c, help_text(exe, c)) for c in names)
    with tempfile.TemporaryDirectory() as tmp:
        generated = pathlib.Path(tmp) / "commands.h2m"
        generated.write_text(sections)
        page = pathlib.Path(tmp) / "page.1"
        subprocess.run(["help2man", "--no-info", "--section=1",
                        "--name=production and service commands for the Kelto converter",
                        f"--include={generated}", f"--include={include}",
                        f"--output={page}", exe], check=True)
        write_gz(page.read_bytes(), out)


def main() -> int:
    if len(sys.argv) == 5 and sys.argv[1] == "cli":
        cli_page(sys.argv[2], sys.argv[3], pathlib.Path(sys.argv[4]))
    elif len(sys.argv) == 4 and sys.argv[1] == "gzip":
        write_gz(pathlib.Path(sys.argv[2]).read_bytes(), pathlib.Path(sys.argv[3]))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
