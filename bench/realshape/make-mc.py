#!/usr/bin/env python3
"""Writes the message sources of the real-shaped benchmark log and the
catalogue that its generator (bench/mkreallog.cpp) reads: four event message
files of 24 messages each, messages of 100 to 400 characters with 2 to 12
insertion strings (some with !printf! width formats, line breaks, tabs),
categories in one of them, and a parameter file for %%N references.  The
output is deterministic; run it again only to change the shape:

    bench/realshape/make-mc.py bench/realshape
"""
import random
import sys

OUT = sys.argv[1] if len(sys.argv) > 1 else "."
rng = random.Random(17)

HEADER = """MessageIdTypedef=DWORD
SeverityNames=(Success=0x0:STATUS_SEVERITY_SUCCESS
               Informational=0x1:STATUS_SEVERITY_INFORMATIONAL
               Warning=0x2:STATUS_SEVERITY_WARNING
               Error=0x3:STATUS_SEVERITY_ERROR)
FacilityNames=(System=0x0:FACILITY_SYSTEM)
LanguageNames=(English=0x409:MSG00409)
"""

WORDS = ("the service driver adapter request could not be completed because "
         "device network interface address configuration was reset after "
         "timeout operation retried protocol connection server client session "
         "volume file system transaction log entry registry key value handle "
         "returned status error code for domain controller name resolution "
         "cache memory allocation failed while processing policy update from "
         "remote computer account logon user browser master election packet "
         "received invalid data and will be ignored check the settings").split()

SEVERITIES = [("Informational", 1), ("Warning", 2), ("Error", 3), ("Success", 0)]
FORMATS = ["", "", "", "!s!", "!-12s!", "!8s!", "!.20s!", "!*s!"]


def sentence(n):
    words = [rng.choice(WORDS) for _ in range(n)]
    words[0] = words[0].capitalize()
    return " ".join(words)


def message(inserts):
    # Text of 100 to 400 characters with %1..%inserts placed between words.
    target = rng.randint(60, 300)
    parts = []
    used = 0
    n = 1
    while n <= inserts:
        s = sentence(rng.randint(3, 9))
        fmt = rng.choice(FORMATS)
        if fmt == "!*s!":
            # A width taken from the next insertion string; keep it plain
            # text instead, so that a string insert is never read as a width.
            fmt = "!-20s!"
        parts.append(f"{s} %{n}{fmt}")
        n += 1
        used += len(s) + 4
        if rng.random() < 0.2:
            parts.append(rng.choice(["%n", "%n%t", ": ", "; ", "%r%n", " (%%) "]))
    while used < target:
        s = sentence(rng.randint(4, 10))
        parts.append(s + ".")
        used += len(s) + 1
    text = " ".join(parts)
    # Lines of the .mc source stay short; the message continues over them.
    lines, line = [], ""
    for word in text.split(" "):
        if len(line) + len(word) > 70:
            lines.append(line)
            line = ""
        line = (line + " " + word) if line else word
    lines.append(line)
    return lines


catalogue = []
files = [("rsnet", False), ("rssvc", False), ("rsdisk", True), ("rskern", False)]
for index, (name, categories) in enumerate(files):
    out = [f"; {name}: event messages of the real-shaped benchmark log"
           + (", with its categories 1 to 6." if categories else "."), HEADER]
    if categories:
        for c in range(1, 7):
            out.append(f"MessageId={c}\nSeverity=Success\nFacility=System\n"
                       f"Language=English\n{sentence(2).title()}\n.\n")
    for m in range(24):
        msgid = 100 + m
        # Most messages take a few insertion strings, some many.
        inserts = rng.choice([2, 2, 2, 3, 3, 3, 4, 4, 5, 6, 7, 8, 10, 12])
        sev, code = rng.choice(SEVERITIES)
        body = "\n".join(message(inserts))
        out.append(f"MessageId={msgid}\nSeverity={sev}\nFacility=System\n"
                   f"Language=English\n{body}\n.\n")
        catalogue.append((index, (code << 30) | msgid, inserts))
    with open(f"{OUT}/{name}.mc", "w", newline="\r\n") as f:
        f.write("\n".join(out))

out = ["; rsparam: parameter texts for %%N references in insertion strings.", HEADER]
for p in range(1, 51):
    out.append(f"MessageId={1000 + p}\nSeverity=Success\nFacility=System\n"
               f"Language=English\n{sentence(rng.randint(2, 6))}%0\n.\n")
with open(f"{OUT}/rsparam.mc", "w", newline="\r\n") as f:
    f.write("\n".join(out))

with open(f"{OUT}/catalogue.inc", "w") as f:
    f.write("// Written by make-mc.py: {message file, event identifier, insertion\n"
            "// strings} of every event message in the real-shaped log's files.\n")
    for dll, ident, inserts in catalogue:
        f.write(f"{{{dll}, 0x{ident:08X}u, {inserts}}},\n")
