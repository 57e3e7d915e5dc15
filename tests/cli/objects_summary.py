"""Prints the JSON of `tavrolen-dicom objects --json` one object a line, file
names only, so a test can compare the whole listing at once:

  NAME KIND [key=value ...] -> REF, REF ...

where REF is IMAGE[:FRAMES][~by plane][!problem].

usage: objects_summary.py LISTING.json
"""
import json
import os
import sys


def ref(r):
    image = os.path.basename(r["imagePath"]) if r["imagePath"] else "-"
    text = image
    if r["frames"]:
        text += ":" + ",".join(str(f) for f in r["frames"])
    if r["by"] != "instance":
        text += "~plane"
    if "problem" in r:
        text += "!" + r["problem"]
    return text


def main(path):
    d = json.load(open(path))
    print("files=%d images=%d" % (d["files"], d["images"]))
    for o in d["objects"]:
        fields = [os.path.basename(o["path"]), o["kind"]]
        if "refused" in o:
            print(" ".join(fields) + " refused")
            continue
        for key in ("title", "titleCode", "label", "description", "creationDate"):
            if o.get(key):
                fields.append("%s=%s" % (key, o[key]))
        for p in o.get("segments", []) + o.get("rois", []):
            fields.append("%d:%s:%s%s" % (p["number"], p["name"], p["colour"],
                                          "" if p["colourGiven"] else "(palette)"))
        line = " ".join(fields) + " -> " + ", ".join(ref(r) for r in o["references"])
        if "problem" in o:
            line += " | " + o["problem"]
        print(line)
    for u in d["unreadable"]:
        print("unreadable " + os.path.basename(u["path"]))


if __name__ == "__main__":
    main(sys.argv[1])
