#!/usr/bin/env python3
"""Writes the manual page mksfx.1 and the bash completion of mksfx from the program's own
help texts (`mksfx --help` and `mksfx COMMAND --help`), so that the three cannot drift apart.

usage: docgen.py MKSFX MANPAGE COMPLETION

The help texts follow a few rules that this reads: the commands are listed under "commands:"
in `mksfx --help`; a command's options are listed under "options:", one option a line
beginning with two blanks ("  -o, --output FILE   ..."), its description continued on lines
indented further; an option's value is named in capitals (FILE, TEXT), or given as its words
joined by '|' ("--elevation as-invoker|highest|admin")."""
import re
import subprocess
import sys

OPTION = re.compile(r"^  ((?:-[A-Za-z0-9], )?--?[A-Za-z0-9][\w-]*)(?: (\S+))?(?:\s+(.*))?$")
# Values that name a file or a folder, completed from the file system.
FILE_VALUES = {"FILE", "OUTPUT", "CERT", "KEY", "INPUT"}
DIR_VALUES = {"DIR"}


def help_text(mksfx, *args):
    return subprocess.run([mksfx, *args, "--help"], check=True, capture_output=True, text=True).stdout


def commands(top):
    """The command words listed under "commands:"."""
    lines = top.splitlines()
    start = lines.index("commands:") + 1
    names = []
    for line in lines[start:]:
        if not line.startswith("  "):
            break
        names.append(line.split()[0])
    return names


def options(text):
    """(names, value) of each option listed under "options:"; value is None for a flag."""
    found = []
    inside = False
    for line in text.splitlines():
        if line == "options:":
            inside = True
            continue
        if inside and not line.strip():
            break
        if not inside:
            continue
        m = OPTION.match(line)
        if not m:
            continue
        value = m.group(2)
        if value and not (re.fullmatch(r"[A-Z][A-Z0-9_.]*", value) or "|" in value):
            value = None  # the first word of the description
        found.append((m.group(1).split(", "), value))
    return found


# ---- the manual ----------------------------------------------------------------------------

def roff(text):
    text = text.replace("\\", "\\e")
    return "\\&" + text if text.startswith((".", "'")) else text


def roff_block(lines, bold_options):
    out = [".nf"]
    for line in lines:
        m = OPTION.match(line) if bold_options else None
        if m:
            head = line[: len("  " + m.group(1))]
            rest = line[len(head):]
            out.append(roff("  ") + "\\fB" + roff(head.strip()).replace("-", "\\-") + "\\fR" + roff(rest))
        else:
            out.append(roff(line))
    out.append(".fi")
    return out


def manual_section(text):
    """A help text as roff: paragraphs flowed, indented blocks kept as they stand, option
    names in bold. The usage lines are left to SYNOPSIS."""
    out = []
    blocks = re.split(r"\n\s*\n", text.strip("\n"))
    for block in blocks:
        lines = block.split("\n")
        if lines[0].startswith("usage:"):
            continue
        if lines[0].endswith(":") and not lines[0].startswith(" "):
            out += [".PP", roff(lines[0])]
            out += roff_block(lines[1:], lines[0] == "options:")
        elif any(line.startswith(" ") for line in lines):
            out += [".PP"] + roff_block(lines, False)
        else:
            out += [".PP"] + [roff(line) for line in lines]
    return out


def usage_lines(text):
    lines = []
    for line in text.splitlines():
        if line.startswith("usage: "):
            lines.append(line[len("usage: "):])
        elif lines and line.startswith("       "):
            lines.append(line.strip())
        elif lines:
            break
    return lines


def manual(mksfx, top, helps, version):
    out = ['.TH MKSFX 1 "" "%s" "User Commands"' % version,
           ".SH NAME", "mksfx \\- build, list, verify, extract and sign self-extracting setup files",
           ".SH SYNOPSIS"]
    for name, text in helps.items():
        for line in usage_lines(text):
            words = line.split(" ", 2)
            out += [".br", "\\fB%s %s\\fR %s" % (words[0], words[1], roff(words[2]) if len(words) > 2 else "")]
    out += [".SH DESCRIPTION"] + manual_section(top)
    out.append(".SH COMMANDS")
    for name, text in helps.items():
        out += [".SS mksfx %s" % name] + manual_section(text)
    out += [".SH ENVIRONMENT", ".TP", ".B SOURCE_DATE_EPOCH",
            "Seconds since 1970 (UTC): the time given to every member of a build.",
            ".SH EXIT STATUS", "0 success, 1 a failure (one line on standard error), 2 a usage error.",
            ".SH SEE ALSO", "\\fBosslsigncode\\fR(1), \\fBunzip\\fR(1)"]
    return "\n".join(out) + "\n"


# ---- the completion ------------------------------------------------------------------------

def completion(names, helps):
    out = ["# bash completion for mksfx, generated from its help texts by tools/mksfx/docgen.py",
           "_mksfx() {",
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}",
           "    COMPREPLY=()",
           "    if [[ $cur == @* ]]; then  # a response file",
           "        COMPREPLY=($(compgen -P @ -f -- \"${cur#@}\"))",
           "        return",
           "    fi",
           "    if [[ $COMP_CWORD -eq 1 ]]; then",
           "        COMPREPLY=($(compgen -W \"%s --help --version\" -- \"$cur\"))" % " ".join(names),
           "        return",
           "    fi",
           "    local options",
           "    case ${COMP_WORDS[1]} in"]
    for name in names:
        found = options(helps[name])
        words = [n for names_, _ in found for n in names_] + ["--help"]
        out.append("    %s)" % name)
        out.append("        options=\"%s\"" % " ".join(words))
        out.append("        case $prev in")
        for names_, value in found:
            if value is None:
                continue
            pattern = "|".join(names_)
            if "|" in value:
                action = "COMPREPLY=($(compgen -W \"%s\" -- \"$cur\"))" % value.replace("|", " ")
            elif value in FILE_VALUES:
                action = "COMPREPLY=($(compgen -f -- \"$cur\"))"
            elif value in DIR_VALUES:
                action = "COMPREPLY=($(compgen -d -- \"$cur\"))"
            else:
                action = ":"  # a text or a number: nothing to offer
            out.append("        %s) %s; return ;;" % (pattern, action))
        out.append("        esac ;;")
    out += ["    *) return ;;",
            "    esac",
            "    if [[ $cur == -* ]]; then",
            "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))",
            "    else",
            "        COMPREPLY=($(compgen -f -- \"$cur\"))",
            "    fi",
            "}",
            "complete -o filenames -F _mksfx mksfx",
            ""]
    return "\n".join(out)


def main():
    mksfx, man_path, completion_path = sys.argv[1:4]
    top = subprocess.run([mksfx, "--help"], check=True, capture_output=True, text=True).stdout
    version = subprocess.run([mksfx, "--version"], check=True, capture_output=True, text=True).stdout.strip()
    version = re.sub(r"^mksfx \(.*\) ", "mksfx ", version)
    names = commands(top)
    helps = {name: help_text(mksfx, name) for name in names}
    with open(man_path, "w") as f:
        f.write(manual(mksfx, top, helps, version))
    with open(completion_path, "w") as f:
        f.write(completion(names, helps))


if __name__ == "__main__":
    main()
