"""Oracle for `tavrolen-dicom reformat`: writes series with pydicom, runs the
tool, and compares every plane with numpy slicing of the same volume.

usage: reformat_oracle.py TOOL WORKDIR
Prints one line per failed check and exits 1 when any failed.
"""
import json
import os
import random
import subprocess
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian

TOOL, WORK = sys.argv[1], sys.argv[2]
failures = []


def fail(text):
    failures.append(text)
    print("FAIL", text)


def uid(*parts):
    return "1.2.826.0.1.3680043.8.498." + ".".join(str(p) for p in parts)


def base(sop_class, series, syntax=ExplicitVRLittleEndian):
    meta = FileMetaDataset()
    meta.TransferSyntaxUID = syntax
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = uid(series, random.randint(1, 10 ** 9))
    ds = FileDataset(None, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian = True
    ds.is_implicit_VR = syntax == ImplicitVRLittleEndian
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.StudyInstanceUID = uid(1)
    ds.SeriesInstanceUID = uid(series)
    ds.Modality = "CT"
    ds.PatientName = "ORACLE^TEST"
    ds.PatientID = "O1"
    return ds


def pixel_module(ds, vol, signed):
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows, ds.Columns = vol.shape[-2], vol.shape[-1]
    ds.BitsAllocated = 16
    ds.BitsStored = 16
    ds.HighBit = 15
    ds.PixelRepresentation = 1 if signed else 0


class Case:
    """A volume (slices in stack order, most inferior first), the geometry of
    each slice, and how it is written."""

    def __init__(self, name, shape=(9, 7, 8), signed=True, orientation=(1, 0, 0, 0, 1, 0),
                 first=(-30.0, -40.0, 10.0), step=(0.0, 0.0, 2.5), depths=None,
                 spacing=(0.75, 0.5), enhanced=False, seed=0):
        self.name, self.signed, self.enhanced = name, signed, enhanced
        rng = np.random.default_rng(seed)
        lo, hi = (-32768, 32767) if signed else (0, 65535)
        self.vol = rng.integers(lo, hi + 1, size=shape).astype(np.int16 if signed else np.uint16)
        self.row = np.array(orientation[:3], float)
        self.col = np.array(orientation[3:], float)
        self.orientation = orientation
        self.spacing = spacing  # between rows, between columns
        S = shape[0]
        if depths is None:
            self.positions = [np.array(first) + k * np.array(step) for k in range(S)]
        else:
            n = np.cross(self.row, self.col)
            self.positions = [np.array(first) + d * n for d in depths]

    def write(self, folder):
        os.makedirs(folder, exist_ok=True)
        S = self.vol.shape[0]
        if self.enhanced:
            self.write_enhanced(folder)
            return
        order = list(range(S))
        random.shuffle(order)
        for n, k in enumerate(order):
            ds = base("1.2.840.10008.5.1.4.1.1.2", 2)
            ds.InstanceNumber = random.randint(1, 999)  # tells nothing
            ds.SliceThickness = 7.0  # nor does this
            ds.ImagePositionPatient = [float(x) for x in self.positions[k]]
            ds.ImageOrientationPatient = list(self.orientation)
            ds.PixelSpacing = list(self.spacing)
            pixel_module(ds, self.vol, self.signed)
            ds.RescaleIntercept, ds.RescaleSlope = -1024, 1
            ds.PixelData = self.vol[k].tobytes()
            ds.save_as(os.path.join(folder, "x%03d.dcm" % n), write_like_original=False)

    def write_enhanced(self, folder):
        S = self.vol.shape[0]
        order = list(range(S))
        random.shuffle(order)
        ds = base("1.2.840.10008.5.1.4.1.1.2.1", 3)
        ds.InstanceNumber = 1
        pixel_module(ds, self.vol, self.signed)
        ds.NumberOfFrames = S
        shared = Dataset()
        pm = Dataset()
        pm.PixelSpacing = list(self.spacing)
        pm.SliceThickness = 7.0
        shared.PixelMeasuresSequence = Sequence([pm])
        po = Dataset()
        po.ImageOrientationPatient = list(self.orientation)
        shared.PlaneOrientationSequence = Sequence([po])
        ds.SharedFunctionalGroupsSequence = Sequence([shared])
        frames = []
        for k in order:
            f = Dataset()
            pp = Dataset()
            pp.ImagePositionPatient = [float(x) for x in self.positions[k]]
            f.PlanePositionSequence = Sequence([pp])
            frames.append(f)
        ds.PerFrameFunctionalGroupsSequence = Sequence(frames)
        ds.PixelData = self.vol[order].tobytes()
        ds.save_as(os.path.join(folder, "enhanced.dcm"), write_like_original=False)

    # ---- what numpy says ----

    def sorted_volume(self):
        """Slices sorted by position along the normal turned towards the head."""
        n = np.cross(self.row, self.col)
        if n[np.argmax(np.abs(n))] < 0:
            n = -n
        order = np.argsort([np.dot(p, n) for p in self.positions], kind="stable")
        return self.vol[order], [self.positions[i] for i in order]

    def expected(self, plane, k, slab, proj):
        vol, pos = self.sorted_volume()
        # Axis 0 of `stack`: the planes; axial keeps the slice as is, coronal
        # takes row K of every slice and sagittal column K, superior on top.
        if plane == "axial":
            stack = vol
        elif plane == "coronal":
            stack = np.transpose(vol[::-1], (1, 0, 2))  # [row, slice (top first), column]
        else:
            stack = np.transpose(vol[::-1], (2, 0, 1))  # [column, slice, row]
        first = max(0, k - slab // 2)
        last = min(stack.shape[0] - 1, k - slab // 2 + slab - 1)
        part = stack[first:last + 1].astype(np.int64)
        if proj == "max":
            img = part.max(axis=0)
        elif proj == "min":
            img = part.min(axis=0)
        else:
            img = np.round(part.mean(axis=0)).astype(np.int64)  # halves to even
        img = img.astype(vol.dtype)
        # Geometry of plane k.
        rs, cs = self.spacing
        step = (pos[-1] - pos[0]) / (len(pos) - 1)
        if plane == "axial":
            position = pos[k]
            orientation = list(self.row) + list(self.col)
            spacing = [rs, cs]
        elif plane == "coronal":
            position = pos[-1] + k * rs * self.col
            down = -step / np.linalg.norm(step)
            orientation = list(self.row) + list(down)
            spacing = [np.linalg.norm(step), cs]
        else:
            position = pos[-1] + k * cs * self.row
            down = -step / np.linalg.norm(step)
            orientation = list(self.col) + list(down)
            spacing = [np.linalg.norm(step), rs]
        return img, {"rows": img.shape[0], "columns": img.shape[1], "pixelSpacing": spacing,
                     "position": list(position), "orientation": orientation}


def run(folder, plane, k, slab, proj, out):
    cmd = [TOOL, "reformat", folder, "--plane", plane, "--index", str(k), "-o", out]
    if slab > 1:
        cmd += ["--slab", str(slab)]
    if proj != "max" or slab > 1:
        cmd += ["--projection", proj]
    return subprocess.run(cmd, capture_output=True, text=True)


def check(case):
    folder = os.path.join(WORK, case.name)
    case.write(folder)
    S, R, C = case.vol.shape
    counts = {"axial": S, "coronal": R, "sagittal": C}
    out = os.path.join(WORK, case.name + ".raw")
    notes = ""
    for plane in ("axial", "coronal", "sagittal"):
        middle = counts[plane] // 2
        for k in sorted({0, middle, counts[plane] - 1}):
            slabs = ((1, "max"), (3, "max"), (4, "min"), (5, "mean"), (2, "mean"))
            for slab, proj in slabs if k == middle else slabs[:2]:
                what = "%s %s %d slab %d %s" % (case.name, plane, k, slab, proj)
                r = run(folder, plane, k, slab, proj, out)
                if r.returncode != 0:
                    fail(what + ": exit %d: %s" % (r.returncode, r.stderr.strip()))
                    continue
                notes = r.stderr
                img, meta = case.expected(plane, k, slab, proj)
                got = np.fromfile(out, dtype=img.dtype)
                if got.size != img.size or not np.array_equal(got.reshape(img.shape), img):
                    fail(what + ": pixels differ from numpy")
                js = json.loads(r.stdout)
                if set(js) != {"rows", "columns", "pixelSpacing", "position", "orientation"}:
                    fail(what + ": JSON keys %s" % sorted(js))
                    continue
                if js["rows"] != meta["rows"] or js["columns"] != meta["columns"]:
                    fail(what + ": size %sx%s" % (js["rows"], js["columns"]))
                for key in ("pixelSpacing", "position", "orientation"):
                    if not np.allclose(js[key], meta[key], atol=1e-6):
                        fail(what + ": %s %s, numpy %s" % (key, js[key], meta[key]))
    return notes


random.seed(11)
cases = [
    Case("hfs"),
    Case("hfs-unsigned", signed=False, seed=1),
    Case("feet-first", orientation=(-1, 0, 0, 0, 1, 0), first=(30, -40, 60), step=(0, 0, -2.5),
         seed=2),
    Case("prone", orientation=(-1, 0, 0, 0, -1, 0), seed=3),
    Case("oblique", orientation=(1, 0, 0, 0, 0.9396926207859084, -0.3420201433256687), seed=4,
         step=tuple(2.0 * np.cross([1, 0, 0], [0, 0.9396926207859084, -0.3420201433256687]))),
    Case("tilt", step=(0, 0.6, 2.5), seed=5),
    Case("uneven", depths=[0, 1.25, 2.5, 3.75, 6.25, 7.5, 8.75, 10, 12], seed=6),
    Case("enhanced", enhanced=True, seed=7),
    Case("enhanced-tilt", enhanced=True, step=(0, -0.4, 1.5), seed=8),
]
for case in cases:
    notes = check(case)
    if case.name.endswith("tilt") and "gantry tilt of" not in notes:
        fail(case.name + ": tilt not reported: " + notes)
    if case.name == "uneven" and "uneven slice spacing" not in notes:
        fail(case.name + ": uneven spacing not reported: " + notes)
    if case.name in ("hfs", "prone", "enhanced") and notes:
        fail(case.name + ": unexpected notes: " + notes)

# A folder whose images do not form a volume is refused with the reason.
bad = Case("mixed", seed=9)
folder = os.path.join(WORK, "mixed")
bad.write(folder)
odd = base("1.2.840.10008.5.1.4.1.1.2", 2)
odd.ImagePositionPatient = [0, 0, 100]
odd.ImageOrientationPatient = [0, 1, 0, 0, 0, -1]
odd.PixelSpacing = [0.75, 0.5]
pixel_module(odd, bad.vol, True)
odd.PixelData = bad.vol[0].tobytes()
odd.save_as(os.path.join(folder, "odd.dcm"), write_like_original=False)
r = run(folder, "axial", 0, 1, "max", os.path.join(WORK, "mixed.raw"))
if r.returncode != 1 or "parallel planes" not in r.stderr:
    fail("mixed orientations: exit %d: %s" % (r.returncode, r.stderr.strip()))

print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
