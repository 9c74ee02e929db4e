#!/usr/bin/env python3
"""Reads the JSON document of `mksfx list --json` or `mksfx verify --json` (a file, or '-')
and prints what the same command prints without --json: for list the listing on stdout, for
verify the verdict on stdout or the faults as on stderr. The document must have exactly the
documented fields of version 1 with their types; a fault in it ends with exit code 3.

The tests compare this rendering with the text output, so a field that list prints and the
JSON misses or renders otherwise shows up as a difference."""
import json
import sys

SCHEMA = {
    "format": str, "version": int, "report": str, "file": str, "verdict": str, "data_checked": bool, "form": str,
    "faults": [str],
    "signature": {"read": bool, "signed": bool, "subject": (str, None)},
    "configuration": {
        "present": bool, "command": (str, None), "extract_only": bool, "silent_command": (str, None),
        "target": (str, None), "text": (str, None), "about": (str, None),
        "caption": (str, None), "footer": (str, None), "banner": (str, None), "icon": ({"usable": bool, "description": str}, {"usable": bool, "fault": str}, None),
        "wait_mode": bool, "wait_for": (str, None), "console_hidden": bool, "header_check": bool,
        "languages": ([str], None), "signable": bool,
        "switches": [str], "total_size": int,
    },
    "resources": {
        "present": bool, "manifest": ({"level": (str, None)}, None),
        "icons": [{"width": int, "height": int, "bits": int, "png": bool}],
        "version": ({"file_version": str, "product_version": str, "strings": [{"name": str, "value": str}]}, None),
    },
    "members": [{"name": str, "size": int, "packed": int, "method": str, "time": str, "crc32": int, "folder": bool}],
    "folders": [{"method": str, "packed": int, "unpacked": int, "first": int, "count": int}],
    "memory_need": (int, None),
}


def conforms(value, schema):
    if isinstance(schema, tuple):
        return any(conforms(value, s) for s in schema)
    if schema is None:
        return value is None
    if isinstance(schema, list):
        return isinstance(value, list) and all(conforms(v, schema[0]) for v in value)
    if isinstance(schema, dict):
        return isinstance(value, dict) and list(value) == list(schema) and all(
            conforms(value[k], s) for k, s in schema.items())
    if schema is int:
        return isinstance(value, int) and not isinstance(value, bool) and value >= 0
    return isinstance(value, schema)


def shown(text):
    """As mksfx puts names and texts into its lines: control characters escaped."""
    out = []
    for c in text:
        if c == "\n":
            out.append("\\n")
        elif c == "\t":
            out.append("\\t")
        elif ord(c) < 0x20 or ord(c) == 0x7F:
            out.append("\\x%02X" % ord(c))
        else:
            out.append(c)
    return "".join(out)


def listing(d):
    lines = ["File: " + shown(d["file"])]
    s = d["signature"]
    lines.append("Signed: " + (("yes (" + s["subject"] + ")" if s["signed"] else "no") if s["read"] else "(not read)"))
    lines.append("Configuration:")
    c = d["configuration"]
    if not c["present"]:
        lines.append("  (none)")
    else:
        lines.append("  command:      " + ("(none: extract only)" if c["extract_only"] else '"' + shown(c["command"]) + '"'))
        if c["silent_command"] is not None:
            lines.append('  silent cmd:   "' + shown(c["silent_command"]) + '"')
        lines.append("  target:       " + ('"' + shown(c["target"]) + '" (kept)' if c["target"] is not None
                                          else "(a new temporary folder, removed)"))
        for key in ("text", "about"):
            lines.append("  %-14s%s" % (key + ":", '"' + shown(c[key]) + '"'))
        lines.append("  caption:      " + ('"' + shown(c["caption"]) + '"' if c["caption"] is not None else "(standard)"))
        for key in ("footer", "banner"):
            if c[key] is not None:
                lines.append("  %-14s%s" % (key + ":", '"' + shown(c[key]) + '"'))
        icon = c["icon"]
        lines.append("  icon:         " + ("no" if icon is None else icon["description"] if icon["usable"]
                                          else "unusable: " + icon["fault"]))
    lines.append("  wait mode:    " + ("yes" if c["wait_mode"] else "no"))
    lines.append("  wait for:     " + (shown(c["wait_for"]) if c["wait_for"] else "(nothing)"))
    lines.append("  console:      " + ("hidden" if c["console_hidden"] else "hidden in silent runs"))
    lines.append("  header check: " + ("yes" if c["header_check"] else "no"))
    languages = c["languages"]
    if languages is None:
        lines.append("  languages:    de (the stub's own)")
    else:
        lines.append("  languages:    " + ", ".join(languages) +
                     (" (by the user's language; else the first)" if len(languages) > 1 else ""))
    switches = []
    for word in c["switches"]:
        if word in ("/S", "/T:DIR") and switches:
            switches[-1] += " (or %s)" % word
        else:
            switches.append(word)
    lines.append("  switches:     " + ", ".join(switches))
    lines.append("  total size:   %d" % c["total_size"])
    lines.append("Resources:")
    r = d["resources"]
    if not r["present"]:
        lines.append("  resources: none")
    else:
        m = r["manifest"]
        lines.append("  manifest: " + ("none" if m is None else m["level"] or "no execution level"))
        icons = ", ".join("%dx%d %s" % (i["width"], i["height"], "PNG" if i["png"] else "%d-bit" % i["bits"])
                          for i in r["icons"])
        lines.append("  icon: " + (icons or "none"))
        v = r["version"]
        if v is None:
            lines.append("  version information: none")
        else:
            lines.append("  file version: " + v["file_version"])
            lines.append("  product version: " + v["product_version"])
            lines.extend("  " + shown(s["name"] + ": " + s["value"]) for s in v["strings"])
    if d["form"] == "solid" and d["memory_need"] is None:
        return "".join(line + "\n" for line in lines)  # its header could not be read
    if d["form"] == "solid":
        lines.append("Folders (solid, 7z):")
        lines.append("  %-14s %12s %12s %10s" % ("Coders", "Packed", "Unpacked", "Files"))
        for f in d["folders"]:
            lines.append("  %-14s %12d %12d %10d" % (f["method"], f["packed"], f["unpacked"], f["count"]))
        lines.append("Memory to decode: %d bytes (dictionary and tables)" % d["memory_need"])
        lines.append("Members:")
        lines.append("%12s %-8s %-19s %-8s %s" % ("Size", "Kind", "Time (UTC)", "CRC-32", "Name"))
        for m in d["members"]:
            lines.append("%12d %-8s %-19s %-8s %s" % (m["size"], "folder" if m["folder"] else "file", m["time"],
                                                      "%08x" % m["crc32"] if m["method"] == "file" else "",
                                                      shown(m["name"])))
        n = len(d["members"])
        lines.append("%d %s" % (n, "member" if n == 1 else "members"))
        return "".join(line + "\n" for line in lines)
    lines.append("Members:")
    lines.append("%10s %10s %-8s %-19s %-8s %s" % ("Size", "Packed", "Method", "Time", "CRC-32", "Name"))
    for m in d["members"]:
        lines.append("%10d %10d %-8s %-19s %08x %s" % (m["size"], m["packed"], m["method"], m["time"], m["crc32"],
                                                       shown(m["name"])))
    n = len(d["members"])
    lines.append("%d %s" % (n, "member" if n == 1 else "members"))
    return "".join(line + "\n" for line in lines)


def main():
    text = sys.stdin.read() if sys.argv[1] == "-" else open(sys.argv[1], encoding="utf-8").read()
    d = json.loads(text)
    if not conforms(d, SCHEMA) or d["format"] != "mksfx-listing" or d["version"] != 1 \
            or d["verdict"] != ("damaged" if d["faults"] else "sound") or d["report"] not in ("list", "verify") \
            or d["data_checked"] != (d["report"] == "verify"):
        sys.stderr.write("the document does not follow the schema of version 1\n")
        return 3
    if d["report"] == "list":
        sys.stdout.write(listing(d))
    elif d["faults"]:
        sys.stdout.write("".join("mksfx: %s: %s\n" % (shown(d["file"]), f) for f in d["faults"]))
    else:
        s = d["signature"]
        sys.stdout.write("%s: sound\nsigned: %s\n" % (shown(d["file"]), "yes (" + s["subject"] + ")" if s["signed"] else "no"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
