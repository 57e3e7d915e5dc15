#!/usr/bin/python3
"""Compares `tavrolen-dicom sr FILE --json` with DCMTK's dsrdump on the same
file: every content item's position, relationship, value type, concept name
meaning and value, one line per item. Prints the differing lines and exits 1
when they differ; prints the item count and exits 0 when they agree."""
import json
import re
import subprocess
import sys

tool, path = sys.argv[1], sys.argv[2]

REL = {"contains": "CONTAINS", "has obs context": "HAS OBS CONTEXT",
       "has acq context": "HAS ACQ CONTEXT", "has concept mod": "HAS CONCEPT MOD",
       "has properties": "HAS PROPERTIES", "inferred from": "INFERRED FROM",
       "selected from": "SELECTED FROM"}


def num(text):
    return "%g" % float(text)


def text_value(s):
    s = s.replace("\r\n", "\n").replace("\r", "\n").replace("\0", "")
    return s.rstrip(" \n")


def dsrdump_items():
    out = subprocess.run(
        ["dsrdump", "-q", "-Er", "-Ec", "-Ee", "-Ev", "+U8", "-Ph", "+Pn", "+Pl", "+Pu",
         "+Psu", "+Pc", path], capture_output=True, check=True).stdout.decode("utf-8")
    items = []
    for line in out.splitlines():
        m = re.match(r"^([0-9.]+)  <(.*)>( \{.*\})?$", line)
        if not m:
            continue
        pos, body = m.group(1), m.group(2)
        rel = None
        for k in sorted(REL, key=len, reverse=True):
            if body.startswith(k + " "):
                rel, body = REL[k], body[len(k) + 1:]
                break
        if re.fullmatch(r"[0-9.]+|\?", body):  # by reference ("?": to nothing)
            items.append((pos, rel, "BYREF", "", body))
            continue
        vt, body = body.split(":", 1)
        concept = ""
        cm = re.match(r'^\(([^,]*),([^,]*),"(.*?)"\)=', body)
        if cm:
            concept, body = cm.group(3), body[cm.end():]
        else:
            body = body[1:]  # "="
        if vt in ("TEXT", "PNAME", "DATE", "TIME", "DATETIME", "UIDREF"):
            value = body[1:-1]
            # dsrdump writes line breaks as escapes.
            value = value.replace("\\r", "\r").replace("\\n", "\n")
            value = text_value(value)
        elif vt == "CODE":
            value = body
        elif vt == "NUM":
            nm = re.match(r'^"(.*?)" \((.*)\)$', body)
            value = f"{num(nm.group(1))} ({nm.group(2)})" if nm else body
            em = re.match(r"^empty \((.*)\)$", body)
            if em:
                value = f"- [{em.group(1)}]"
        elif vt == "SCOORD":
            t, *pts = body[1:-1].split(",")
            value = t + "," + ",".join("/".join(num(v) for v in p.split("/")) for p in pts)
        elif vt == "TCOORD":
            t, *vals = body[1:-1].split(",")
            value = t + "," + ",".join(num(v) for v in vals)
        elif vt in ("IMAGE", "COMPOSITE", "WAVEFORM"):
            # ("class","instance",frames or channels),(presentation state)
            first = body[1:].split(")", 1)[0]
            value = first.replace('"', "")
        else:  # CONTAINER
            value = body
        items.append((pos, rel, vt, concept, value))
    return items


def code(c):
    return f'{c["value"]},{c["scheme"]},"{c["meaning"]}"'


def tool_items():
    out = subprocess.run([tool, "sr", path, "--json"], capture_output=True, check=True).stdout
    doc = json.loads(out.decode("utf-8"))
    items = []

    def walk(n):
        vt, v = n["valueType"], n.get("value")
        concept = n["conceptName"]["meaning"] if n["conceptName"] else ""
        if vt in ("TEXT", "PNAME", "DATE", "TIME", "DATETIME", "UIDREF"):
            value = v
        elif vt == "CODE":
            value = f"({code(v)})"
        elif vt == "NUM":
            if v["number"] is None:
                value = f"- [{code(v['qualifier'])}]"
            else:
                value = f"{num(v['number'])} ({code(v['unit'])})"
        elif vt == "SCOORD":
            value = v["graphicType"] + "," + ",".join(
                f"{num(p[0])}/{num(p[1])}" for p in v["points"])
        elif vt == "TCOORD":
            vals = v.get("samplePositions") or v.get("timeOffsets") or v.get("dateTimes") or []
            value = v["temporalRangeType"] + "," + ",".join(num(x) for x in vals)
        elif vt == "IMAGE":
            value = ",".join([v["sopClassUid"], v["sopInstanceUid"]] + [str(f) for f in v["frames"]])
        elif vt == "COMPOSITE":
            value = f'{v["sopClassUid"]},{v["sopInstanceUid"]}'
        elif vt == "WAVEFORM":
            value = ",".join([v["sopClassUid"], v["sopInstanceUid"]] +
                             [f"{g}/{c}" for g, c in v["channels"]])
        elif vt == "BYREF":
            value = v["target"] if v["found"] else "?"
        else:
            value = n.get("continuity", "")
        items.append((n["position"], n["relationship"], vt, "" if vt == "BYREF" else concept,
                      value))
        for c in n["children"]:
            walk(c)

    walk(doc["content"])
    return items


theirs, ours = dsrdump_items(), tool_items()
if theirs != ours:
    for a, b in zip(theirs, ours):
        if a != b:
            print(f"dsrdump: {a}\ntool:    {b}")
    if len(theirs) != len(ours):
        print(f"dsrdump lists {len(theirs)} items, the tool {len(ours)}")
    sys.exit(1)
print(f"{len(ours)} items agree")
