#!/usr/bin/python3
"""pydicom (and numpy) as an independent oracle for `tavrolen-dicom`.

  pydicom_oracle.py tags TOOL PATH...
      For every DICOM file under PATH, compares `TOOL tags --json FILE` with
      the elements pydicom reads: tag, VR, keyword, value (text, numbers, AT),
      bulk length and items, recursively. Prints each difference; exit 1 when
      there is one.
  pydicom_oracle.py names TOOL PATH...
      For every DICOM file under PATH, compares the names and texts of
      `TOOL dump` (and of `TOOL scan --json` over PATH) with pydicom's
      decoding by the file's Specific Character Set, in the viewer's display
      form: a name's components separated by blanks, its groups by "=".
  pydicom_oracle.py roi FILE FRAME SHAPE X0 Y0 X1 Y1
      ROI statistics with numpy over pydicom's pixel array, after the
      modality rescale: {"pixels", "mean", "sd", "min", "max"}.
"""
import json
import math
import os
import subprocess
import sys
import warnings

import numpy
import pydicom
from pydicom.multival import MultiValue
from pydicom.tag import Tag

BULK = {"OB", "OW", "OD", "OF", "OL", "OV", "UN"}
NUMBERS = {"US", "SS", "UL", "SL", "FL", "FD", "SV", "UV"}
# Values whose leading spaces carry no meaning.
STRIP_BOTH = {"AE", "DS", "IS"}
TOLERATED = []


def tag_text(tag):
    tag = Tag(tag)
    return "(%04X,%04X)" % (tag.group, tag.element)


def text_value(elem):
    v = elem.value
    values = list(v) if isinstance(v, (MultiValue, list)) else [v]
    out = []
    for x in values:
        s = "" if x is None else str(x)
        s = s.rstrip(" \0")
        if elem.VR in STRIP_BOTH:
            s = s.strip(" ")
        out.append(s)
    return "\\".join(out)


def listing(ds):
    result = []
    for elem in ds:
        e = {"tag": tag_text(elem.tag), "vr": elem.VR, "keyword": elem.keyword}
        v = elem.value
        if elem.VR == "SQ":
            e["items"] = [listing(item) for item in v]
        elif elem.VR in BULK:
            e["length"] = 0 if v is None else len(v)
        elif elem.VR in NUMBERS or elem.VR == "AT":
            conv = tag_text if elem.VR == "AT" else (lambda x: x)
            if v is None or v == "" or (isinstance(v, (list, MultiValue)) and len(v) == 0):
                e["value"] = None
            elif isinstance(v, (MultiValue, list)):
                e["value"] = [conv(x) for x in v] if len(v) != 1 else conv(v[0])
            else:
                e["value"] = conv(v)
        else:
            e["value"] = text_value(elem)
        result.append(e)
    return result


def same_number(a, b):
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        if isinstance(a, float) and math.isnan(a):
            return isinstance(b, float) and math.isnan(b)
        return a == b
    return False


def same_value(ours, theirs):
    if isinstance(theirs, list):
        return (isinstance(ours, list) and len(ours) == len(theirs) and
                all(same_value(o, t) for o, t in zip(ours, theirs)))
    if isinstance(theirs, float) and not math.isfinite(theirs):
        return ours is None  # JSON has no NaN or infinity
    if isinstance(theirs, (int, float)) and not isinstance(theirs, bool):
        return same_number(ours, theirs)
    return ours == theirs


def compare(ours, theirs, where, out):
    if len(ours) != len(theirs):
        out.append("%s: %d elements, pydicom %d (ours %s, pydicom %s)" % (
            where, len(ours), len(theirs),
            [e["tag"] for e in ours][:40], [e["tag"] for e in theirs][:40]))
        return
    for o, t in zip(ours, theirs):
        at = "%s %s" % (where, t["tag"])
        group = int(t["tag"][1:5], 16)
        if group % 2 and o.get("vr") == "UN" and t["vr"] != "UN" and o.get("tag") == t["tag"]:
            # pydicom's private dictionary knows elements DCMTK's does not:
            # we show the bytes where pydicom decodes them.
            TOLERATED.append("%s: private element pydicom reads as %s" % (at, t["vr"]))
            continue
        for key in ("tag", "vr", "keyword"):
            if o.get(key) != t[key]:
                out.append("%s: %s %r, pydicom %r" % (at, key, o.get(key), t[key]))
        if "items" in t:
            items = o.get("items")
            if items is None or len(items) != len(t["items"]):
                out.append("%s: items %s, pydicom %d" % (
                    at, None if items is None else len(items), len(t["items"])))
                continue
            for k, (oi, ti) in enumerate(zip(items, t["items"])):
                compare(oi, ti, "%s item %d" % (at, k + 1), out)
        elif "length" in t:
            if o.get("length") != t["length"]:
                out.append("%s: length %r, pydicom %r" % (at, o.get("length"), t["length"]))
        elif not same_value(o.get("value"), t["value"]):
            out.append("%s: value %r, pydicom %r" % (at, o.get("value"), t["value"]))


def files_under(paths):
    for p in paths:
        if os.path.isdir(p):
            for root, dirs, names in os.walk(p):
                dirs.sort()
                for n in sorted(names):
                    yield os.path.join(root, n)
        else:
            yield p


def tags(tool, paths):
    warnings.simplefilter("ignore")
    compared = skipped = failed = 0
    for path in files_under(paths):
        try:
            with open(path, "rb") as f:
                head = f.read(132)
            ds = pydicom.dcmread(path, force=True)
            # Without a DICM marker a file is DICOM only when it starts with a
            # group of the data set's first ones (pydicom reads anything forced).
            first = next(iter(ds.keys()), None)
            if head[128:132] != b"DICM" and (first is None or Tag(first).group > 8):
                print("skipped (not DICOM): " + path)
                skipped += 1
                continue
            theirs = []
            if getattr(ds, "file_meta", None) is not None:
                theirs += listing(ds.file_meta)
            theirs += listing(ds)
        except Exception as exc:
            print("skipped (pydicom: %s): %s" % (type(exc).__name__, path))
            skipped += 1
            continue
        if not theirs:
            skipped += 1
            continue
        run = subprocess.run([tool, "tags", "--json", path], capture_output=True)
        diffs = []
        if run.returncode != 0:
            diffs.append("tags failed (%d): %s" % (run.returncode, run.stderr.decode()))
        else:
            try:
                compare(json.loads(run.stdout), theirs, "", diffs)
            except ValueError as exc:
                diffs.append("output is not JSON: %s" % exc)
        compared += 1
        if diffs:
            failed += 1
            print("%s:" % path)
            for d in diffs[:20]:
                print("   " + d)
    for t in TOLERATED:
        print("tolerated: " + t)
    print("compared %d files, %d differ, %d skipped" % (compared, failed, skipped))
    return 1 if failed or not compared else 0


# Header fields of `dump` and the elements pydicom decodes into them.
NAME_FIELDS = {"PatientName": "PatientName", "referring_physician": "ReferringPhysicianName",
               "performing_physician": "PerformingPhysicianName"}
TEXT_FIELDS = {"PatientID": "PatientID", "Study_ID": "StudyID",
               "manufacturer": "Manufacturer", "Institute_Name": "InstitutionName",
               "Study_Description": "StudyDescription",
               "Series_Description": "SeriesDescription"}


def display_text(value):
    if isinstance(value, MultiValue):
        value = "\\".join(str(v) for v in value)
    text = "".join(" " if ord(c) < 0x20 or ord(c) == 0x7F else c for c in str(value))
    return text.strip(" ")


def display_name(value):
    if isinstance(value, MultiValue):
        return "\\".join(display_name(v) for v in value)
    groups = [g.replace("^", " ").strip(" ") for g in str(value).split("=")]
    return "=".join(g for g in groups if g)


def names(tool, paths):
    files = []
    for root in paths:
        for folder, _, entries in os.walk(root):
            files += [os.path.join(folder, e) for e in sorted(entries) if e.endswith(".dcm")]
    compared, failed, shown_by = 0, 0, {}
    for path in files:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ds = pydicom.dcmread(path, stop_before_pixels=True)
            expected = {}
            for field, keyword in NAME_FIELDS.items():
                if keyword in ds and ds[keyword].value is not None:
                    expected[field] = display_name(ds[keyword].value)
            for field, keyword in TEXT_FIELDS.items():
                if keyword in ds and ds[keyword].value is not None:
                    expected[field] = display_text(ds[keyword].value)
        run = subprocess.run([tool, "dump", path], capture_output=True)
        if run.returncode != 0:
            print("%s: dump failed: %s" % (path, run.stderr.decode()))
            failed += 1
            continue
        record = json.loads(run.stdout)[0]
        header = record["header"]
        diffs = ["%s: %r, pydicom %r" % (f, header.get(f), v) for f, v in expected.items()
                 if header.get(f) != v]
        compared += 1
        if record["imgOK"] and expected.get("PatientName"):
            shown_by.setdefault(expected["PatientName"], path)
        if diffs:
            failed += 1
            print("%s:" % path)
            for d in diffs:
                print("   " + d)
    # The tree that scan files shows the same names.
    for root in paths:
        tree = json.loads(subprocess.run([tool, "scan", "--json", root],
                                         capture_output=True, check=True).stdout)
        shown = {p["patientName"] for p in tree["patients"]}
        for name, path in sorted(shown_by.items()):
            if path.startswith(root) and name not in shown:
                print("scan --json %s lacks the name %r of %s" % (root, name, path))
                failed += 1
    print("compared %d files, %d differ" % (compared, failed))
    return 1 if failed or not compared else 0


def roi(path, frame, shape, x0, y0, x1, y1):
    ds = pydicom.dcmread(path)
    try:
        arr = ds.pixel_array
    except Exception:
        # No pydicom codec for this transfer syntax: GDCM decodes it.
        import tempfile
        with tempfile.TemporaryDirectory() as tmp:
            raw = os.path.join(tmp, "raw.dcm")
            subprocess.run(["gdcmconv", "--raw", path, raw], check=True)
            ds = pydicom.dcmread(raw)
            arr = ds.pixel_array
    if int(getattr(ds, "NumberOfFrames", 1) or 1) > 1:
        arr = arr[frame - 1]
    values = arr.astype(numpy.float64) * float(getattr(ds, "RescaleSlope", 1) or 1) + \
        float(getattr(ds, "RescaleIntercept", 0) or 0)
    rows, cols = values.shape[:2]
    yy, xx = numpy.mgrid[0:rows, 0:cols]
    cx, cy = xx + 0.5, yy + 0.5
    lo_x, hi_x = min(x0, x1), max(x0, x1)
    lo_y, hi_y = min(y0, y1), max(y0, y1)
    if shape == "rect":
        mask = (cx >= lo_x) & (cx <= hi_x) & (cy >= lo_y) & (cy <= hi_y)
    else:
        a, b = (hi_x - lo_x) / 2, (hi_y - lo_y) / 2
        ex, ey = (lo_x + hi_x) / 2, (lo_y + hi_y) / 2
        mask = ((cx - ex) / a) ** 2 + ((cy - ey) / b) ** 2 <= 1 if a > 0 and b > 0 else \
            numpy.zeros_like(cx, dtype=bool)
    sel = values[mask]
    out = {"pixels": int(sel.size)}
    if sel.size:
        out.update(mean=float(sel.mean()), sd=float(sel.std()), min=float(sel.min()),
                   max=float(sel.max()))
    print(json.dumps(out))
    return 0


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "tags":
        return tags(sys.argv[2], sys.argv[3:])
    if len(sys.argv) >= 4 and sys.argv[1] == "names":
        return names(sys.argv[2], sys.argv[3:])
    if len(sys.argv) == 9 and sys.argv[1] == "roi":
        a = sys.argv
        return roi(a[2], int(a[3]), a[4], *[float(x) for x in a[5:9]])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
