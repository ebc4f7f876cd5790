#!/usr/bin/env python3
"""Damaged data: runs the game headless on damaged copies of its data folder and sorts what it did.

  scripts/damage_data.py GAME DATA [--kinds K,K..] [--per-kind N] [--seed S] [--jobs J]
                         [--frames F] [--timeout SECONDS] [--work DIR] [--quiet]

GAME is the dunmarrow program, DATA the folder `mkasset demo` made. For every file kind (config,
config_values, config_typos, ai_world, level, model, animation, texture, font, spline; removed and
start are below) the script makes N variants (default 250) of the kind's files: cut short, bits
flipped, 32-bit fields made 0, huge or 0xFFFFFFFF (font metrics: cut anywhere or at a line's end, lines removed, numbers replaced), and
for config.xml instead attributes and elements removed, values replaced by numbers out of any range
("2147483648", "1e30", "nan", "-1", "0", "abc"), bits flipped and cuts. config_values goes through
every number of config.xml in turn: made negative (its value with a minus, -1 for 0), made 0, and
with letters after it ("2xyz"); config_typos through every element's name with a letter left out
(in its end tag too) and every decimal number written with a comma ("4,5"); N takes that many of
them, spread evenly. Each variant is copied into a fresh folder under WORK and the game runs F
frames (default 3) in it. Two kinds change the folder, not a file's bytes: removed takes away one
file the game reads (every file of the folder in turn; N of them spread evenly), and start moves
the player's or the bots' InitialPosition below the floor, above it or off the level one
coordinate at a time. The same seed and counts give the same variants.

One line per run:  KIND OUTCOME STATUS FILE DAMAGE | first line the game said
and then a table of counts per kind and outcome. Outcomes:
  crash       a signal or a sanitizer report
  hang        no end within the timeout
  refused     a non-zero status, the damaged file named on standard error
  unnamed     a non-zero status without the damaged file named
  warned      status 0, standard error names the damaged file
  said        status 0, standard error says something without naming the file
  silent      status 0, nothing said (the damage may not matter, or went unseen)
Two more counts of runs, apart from the outcomes: "no line", a non-zero status whose standard
error names no line of a file ("line N" or "FILE:N:"), and "repeated", a run that showed the same
error box (its first line) more than once.
The exit status is 1 when a run crashed or hung, else 0; 2 for a bad command line.
"""

import argparse
import concurrent.futures
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

KINDS = ["config", "config_values", "config_typos", "ai_world", "level", "model", "animation", "texture", "font",
         "spline", "removed", "start"]
HUGE32 = [0, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x10000000]
BAD_NUMBERS = ["2147483648", "4294967295", "1e30", "-1e30", "nan", "inf", "-1", "0", "abc", "8388608x", ""]
QUIET_LINES = re.compile(r"^ShellExecuteA: ")
BOX_LINE = re.compile(r"^.*error handler: ")
LINE_NAMED = re.compile(r"line \d+|:\d+:")


def files_of(kind, data):
    """The data files of a kind, relative to the data folder."""
    pick = {
        "config": ["config.xml"],
        "config_values": ["config.xml"],
        "config_typos": ["config.xml"],
        "ai_world": ["ai/dunmarrow.ais"],
        "level": ["models/level.bsp"],
        "spline": ["models/revolution/spline.ovs"],
        "font": ["FONTS/TSA16.met", "FONTS/TSA16.png"],
    }
    if kind in pick:
        return pick[kind]
    if kind == "model":
        return sorted(str(p.relative_to(data)) for p in (data / "models").rglob("*.dff"))
    if kind == "animation":
        return ["models/anims/walk.anm", "models/anims/idle.anm", "models/anims/run.anm"]
    if kind == "texture":
        return sorted(str(p.relative_to(data)) for p in (data / "models/textures").iterdir()
                      if p.suffix.lower() in (".png", ".bmp") and p.stat().st_size < 100000)
    raise ValueError(kind)


def binary_variants(data, rng, count):
    """Damages of a binary file: (description, new bytes)."""
    out = []
    size = len(data)
    for _ in range(count):
        way = rng.randrange(4)
        if way == 0 and size > 1:
            at = rng.randrange(size)
            out.append((f"cut at {at} of {size}", data[:at]))
        elif way == 1:
            b = bytearray(data)
            spots = [rng.randrange(size) for _ in range(rng.choice([1, 1, 2, 8]))]
            for at in spots:
                b[at] ^= 1 << rng.randrange(8)
            out.append((f"bits flipped at {','.join(map(str, spots))}", bytes(b)))
        elif size >= 4:
            # A 32-bit field: early ones (headers, counts) more often than late ones.
            limit = size - 4 if way == 3 else min(size - 4, 256)
            at = rng.randrange(0, limit + 1) & ~3
            value = rng.choice(HUGE32)
            b = bytearray(data)
            b[at:at + 4] = struct.pack("<I", value)
            out.append((f"u32 at {at} set to {value:#x}", bytes(b)))
        else:
            out.append(("emptied", b""))
    return out


def text_variants(text, rng, count):
    """Damages of a text file (font metrics): cuts, lines dropped, numbers replaced."""
    lines = text.split(b"\n")
    out = []
    numbers = [m for m in re.finditer(rb"-?\d+(\.\d+)?", text)]
    ends = [m.start() for m in re.finditer(rb"\n", text)]
    for _ in range(count):
        way = rng.randrange(4)
        if way == 0:
            at = rng.randrange(len(text))
            out.append((f"cut at {at} of {len(text)}", text[:at]))
        elif way == 3 and ends:
            # Cut at a line's end, before or after its line break: a file that ends between lines.
            k = rng.randrange(len(ends))
            at = ends[k] + rng.randrange(2)
            out.append((f"cut at the end of line {k + 1} ({at} of {len(text)})", text[:at]))
        elif way == 1 and len(lines) > 1:
            k = rng.randrange(len(lines))
            out.append((f"line {k + 1} removed", b"\n".join(lines[:k] + lines[k + 1:])))
        elif numbers:
            m = rng.choice(numbers)
            new = rng.choice(BAD_NUMBERS).encode()
            out.append((f"number at {m.start()} set to '{new.decode()}'", text[:m.start()] + new + text[m.end():]))
    return out


ATTRIBUTE = re.compile(rb'\s([A-Za-z0-9_]+)="([^"]*)"')
ELEMENT = re.compile(rb"<([A-Za-z][A-Za-z0-9_]*)[^>]*/>")


def config_variants(text, rng, count):
    """Damages of config.xml: attributes removed, values replaced, elements removed, cuts."""
    attributes = list(ATTRIBUTE.finditer(text))
    elements = list(ELEMENT.finditer(text))
    out = []
    for _ in range(count):
        way = rng.randrange(6)
        line = lambda at: text.count(b"\n", 0, at) + 1
        if way == 0:
            m = rng.choice(attributes)
            out.append((f"line {line(m.start())}: attribute {m.group(1).decode()} removed",
                        text[:m.start()] + text[m.end():]))
        elif way in (1, 2):
            m = rng.choice(attributes)
            new = rng.choice(BAD_NUMBERS)
            out.append((f"line {line(m.start())}: {m.group(1).decode()}=\"{new}\"",
                        text[:m.start(2)] + new.encode() + text[m.end(2):]))
        elif way == 3:
            m = rng.choice(elements)
            out.append((f"line {line(m.start())}: element {m.group(1).decode()} removed",
                        text[:m.start()] + text[m.end():]))
        elif way == 4:
            at = rng.randrange(len(text))
            out.append((f"cut at {at} of {len(text)} (line {line(at)})", text[:at]))
        else:
            b = bytearray(text)
            at = rng.randrange(len(b))
            b[at] ^= 1 << rng.randrange(8)
            out.append((f"bits flipped at {at} (line {line(at)})", bytes(b)))
    return out


NUMBER = re.compile(rb"^-?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$")


def config_value_variants(text, count):
    """Every number of config.xml made negative, made 0 and given letters after it; `count` of
    them spread evenly over the whole list when there are more."""
    line = lambda at: text.count(b"\n", 0, at) + 1
    out = []
    for m in ATTRIBUTE.finditer(text):
        value = m.group(2)
        if not NUMBER.match(value):
            continue
        zero = float(value) == 0
        negative = b"-1" if zero else (value[1:] if value.startswith(b"-") else b"-" + value)
        news = [negative] + ([] if zero else [b"0"]) + [value + b"xyz"]
        for new in news:
            out.append((f"line {line(m.start())}: {m.group(1).decode()}=\"{new.decode()}\" (was {value.decode()})",
                        text[:m.start(2)] + new + text[m.end(2):]))
    if count < len(out):
        out = [out[i * len(out) // count] for i in range(count)]
    return out


OPEN_TAG = re.compile(rb"<([A-Za-z][A-Za-z0-9_]*)([ >/])")
DECIMAL = re.compile(rb"=\"(-?\d+)\.(\d+)\"")


def config_typo_variants(text, count):
    """Slips of a hand that edits config.xml: each element's name with a letter left out (in its end
    tag too), and each decimal number written with a comma ("4,5"); `count` of them spread evenly."""
    line = lambda at: text.count(b"\n", 0, at) + 1
    out = []
    for m in list(OPEN_TAG.finditer(text))[1:]:  # the file's root may have any name
        name = m.group(1)
        typo = name[0:1] + name[2:] if len(name) > 2 else name + b"x"
        body = text[:m.start(1)] + typo + text[m.end(1):]
        close = body.find(b"</" + name + b">", m.start())
        if close >= 0:
            body = body[:close + 2] + typo + body[close + 2 + len(name):]
        out.append((f"line {line(m.start())}: element {name.decode()} spelt {typo.decode()}", body))
    for m in DECIMAL.finditer(text):
        comma = m.group(1) + b"," + m.group(2)
        out.append((f"line {line(m.start())}: {m.group(1).decode()}.{m.group(2).decode()} written {comma.decode()}",
                    text[:m.start(1)] + comma + text[m.end(2):]))
    if count < len(out):
        out = [out[i * len(out) // count] for i in range(count)]
    return out


def removed_variants(data, count):
    """Every file of the folder taken away in turn (None for the new bytes); `count` of them spread
    evenly when there are more."""
    names = sorted(str(p.relative_to(data)) for p in data.rglob("*") if p.is_file())
    out = [("removed", name, "removed", None) for name in names]
    if count < len(out):
        out = [out[i * len(out) // count] for i in range(count)]
    return out


START = re.compile(rb"<(Player|Bots)\b[^>]*>\s*<InitialPosition\s+x=\"([^\"]*)\"\s+y=\"([^\"]*)\"\s+z=\"([^\"]*)\"")


def start_variants(text, count):
    """The player's and the bots' starts moved one coordinate at a time: below the floor, above it
    and off the level."""
    line = lambda at: text.count(b"\n", 0, at) + 1
    moves = [(3, b"-1"), (3, b"-10"), (3, b"40"), (2, b"500"), (2, b"-500"), (4, b"500"), (4, b"-500")]
    out = []
    for m in START.finditer(text):
        for group, new in moves:
            name = b"xyz"[group - 2:group - 1].decode()
            out.append((f"line {line(m.start(group))}: {m.group(1).decode()} {name}=\"{new.decode()}\" "
                        f"(was {m.group(group).decode()})", text[:m.start(group)] + new + text[m.end(group):]))
    if count < len(out):
        out = [out[i * len(out) // count] for i in range(count)]
    return out


def variants(kind, data, rng, per_kind):
    if kind == "removed":
        return removed_variants(data, per_kind)
    if kind == "start":
        return [(kind, "config.xml", what, new) for what, new in
                start_variants((data / "config.xml").read_bytes(), per_kind)]
    names = files_of(kind, data)
    result = []
    shares = [per_kind // len(names) + (1 if i < per_kind % len(names) else 0) for i in range(len(names))]
    for name, share in zip(names, shares):
        body = (data / name).read_bytes()
        if kind == "config":
            made = config_variants(body, rng, share)
        elif kind == "config_values":
            made = config_value_variants(body, share)
        elif kind == "config_typos":
            made = config_typo_variants(body, share)
        elif name.lower().endswith(".met"):
            made = text_variants(body, rng, share)
        else:
            made = binary_variants(body, rng, share)
        result += [(kind, name, what, new) for what, new in made]
    return result


def named(name, err):
    """Whether standard error names the file (its name, or its name without the extension)."""
    low = err.lower()
    base = Path(name).name.lower()
    stem = Path(name).stem.lower()
    return base in low or re.search(r"['\" /\\]" + re.escape(stem) + r"['\"]", low) is not None


def run_one(args, job):
    kind, name, what, body = job
    folder = Path(tempfile.mkdtemp(prefix="damaged-", dir=args.work))
    try:
        shutil.copytree(args.data, folder, dirs_exist_ok=True)
        if body is None:
            (folder / name).unlink()
        else:
            (folder / name).write_bytes(body)
        env = dict(os.environ, PLATFORM_HEADLESS="1", PLATFORM_FRAMES=str(args.frames),
                   PLATFORM_FIXED_STEP="0.016666666666666666")
        env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
        try:
            run = subprocess.run([args.game], cwd=folder, env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, timeout=args.timeout)
            status = run.returncode
            err = run.stderr.decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            return kind, "hang", "-", name, what, "", False, False
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    said = [l for l in err.splitlines() if l.strip() and not QUIET_LINES.match(l)]
    first = said[0] if said else ""
    boxes = [l for l in said if BOX_LINE.match(l)]
    repeated = len(boxes) != len(set(boxes))
    no_line = status != 0 and LINE_NAMED.search(err) is None
    if status < 0 or "Sanitizer" in err or "runtime error:" in err:
        outcome = "crash"
    elif status != 0:
        outcome = "refused" if named(name, err) else "unnamed"
    elif said:
        outcome = "warned" if named(name, err) else "said"
    else:
        outcome = "silent"
    return kind, outcome, str(status), name, what, first, no_line, repeated


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("game", type=Path)
    parser.add_argument("data", type=Path)
    parser.add_argument("--kinds", default=",".join(KINDS), help="file kinds, comma-separated")
    parser.add_argument("--per-kind", type=int, default=250)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--frames", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--work", type=Path, default=None, help="scratch folder (default: a temporary one)")
    parser.add_argument("--quiet", action="store_true", help="print only the table")
    args = parser.parse_args()
    kinds = args.kinds.split(",")
    for kind in kinds:
        if kind not in KINDS:
            parser.error(f"unknown kind '{kind}' (kinds: {', '.join(KINDS)})")
    if args.per_kind < 1 or args.jobs < 1 or args.frames < 1:
        parser.error("--per-kind, --jobs and --frames must be at least 1")
    if not os.access(args.game, os.X_OK):
        parser.error(f"'{args.game}' is not a program")
    if not (args.data / "config.xml").is_file():
        parser.error(f"'{args.data}' holds no config.xml")
    args.game = args.game.resolve()
    args.data = args.data.resolve()
    own_work = args.work is None
    args.work = Path(tempfile.mkdtemp(prefix="damage-data-")) if own_work else args.work.resolve()
    args.work.mkdir(parents=True, exist_ok=True)

    jobs = []
    for kind in kinds:
        jobs += variants(kind, args.data, random.Random(f"{args.seed}:{kind}"), args.per_kind)
    counts = {}
    try:
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            for kind, outcome, status, name, what, first, no_line, repeated in pool.map(lambda j: run_one(args, j),
                                                                                         jobs):
                row = counts.setdefault(kind, {})
                for key, counted in ((outcome, True), ("no line", no_line), ("repeated", repeated)):
                    if counted:
                        row[key] = row.get(key, 0) + 1
                if not args.quiet:
                    marks = (" [no line]" if no_line else "") + (" [repeated]" if repeated else "")
                    print(f"{kind} {outcome}{marks} {status} {name} {what} | {first}", flush=True)
    finally:
        if own_work:
            shutil.rmtree(args.work, ignore_errors=True)

    outcomes = ["crash", "hang", "refused", "unnamed", "warned", "said", "silent"]
    extras = ["no line", "repeated"]
    print("kind          " + "".join(f"{o:>9}" for o in outcomes + extras) + "    total")
    for kind in kinds:
        row = counts.get(kind, {})
        print(f"{kind:<14}" + "".join(f"{row.get(o, 0):>9}" for o in outcomes + extras) +
              f"{sum(row.get(o, 0) for o in outcomes):>9}")
    bad = sum(counts.get(k, {}).get(o, 0) for k in kinds for o in ("crash", "hang"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
