#!/usr/bin/python3
"""pydicom as an independent oracle for `tavrolen-dicom export --anonymize`.

  export_oracle.py make DIR
      Writes a rich fixture under DIR: two patients; a study of three series
      whose second series references the first (source and referenced image,
      referenced series, frame of reference); identifying attributes at top
      level and inside sequence items, private blocks, an overlay and a curve;
      an RLE image; an image flagged with burned-in annotation.
  export_oracle.py check TABLE.json EXPORT.json OUT [--keep-dates] [--name N] [--id I]
      EXPORT.json is the --json output of the export, OUT the folder or ZIP
      written. Every attribute of each source file is checked against the
      profile's table (TABLE.json, the saved copy the export's table is
      generated from): removed, emptied, dummied, replaced or kept as its
      action says, at every depth; private attributes gone; new UIDs the same
      for the same original and different for different ones, references
      resolving to the new instances; pixel data and transfer syntax as they
      were. Prints each difference; exit 1 when there is one.
"""
import io
import json
import os
import sys
import zipfile

import numpy
import pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, RLELossless, generate_uid

CT = "1.2.840.10008.5.1.4.1.1.2"
SC = "1.2.840.10008.5.1.4.1.1.7"


def item(**kw):
    d = Dataset()
    for k, v in kw.items():
        setattr(d, k, v)
    return d


def image(path, patient, study, series, number, sop_class=CT, extra=None, rle=False):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = extra.pop("sop")
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    meta.SourceApplicationEntityTitle = "HOSPITAL_PACS"
    ds = FileDataset(path, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SpecificCharacterSet = "ISO_IR 100"
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.PatientName, ds.PatientID = patient
    ds.PatientBirthDate = "19610203"
    ds.PatientSex = "F"
    ds.PatientAge = "062Y"
    ds.PatientWeight = "71"
    ds.OtherPatientIDs = "OTHER-77"
    ds.PatientAddress = "12 Rue Hélène, Lyon"
    ds.StudyInstanceUID, ds.StudyDate, ds.StudyTime, ds.StudyID = study
    ds.AccessionNumber = "ACC991"
    ds.StudyDescription = "Thorax for Dr. Müller"
    ds.SeriesInstanceUID, ds.SeriesNumber, ds.Modality = series
    ds.SeriesDate = ds.StudyDate
    ds.SeriesTime = "101500"
    ds.SeriesDescription = "Lung window"
    ds.AcquisitionDate = ds.StudyDate
    ds.AcquisitionTime = "101501.5"
    ds.AcquisitionDateTime = ds.StudyDate + "101501"
    ds.ContentDate = ds.StudyDate
    ds.ContentTime = "101502"
    ds.InstanceNumber = number
    ds.ReferringPhysicianName = "Dr^Referring"
    ds.PerformingPhysicianName = "Dr^Performing"
    ds.OperatorsName = "Tech^Operator"
    ds.NameOfPhysiciansReadingStudy = "Dr^Reader"
    ds.InstitutionName = "St. Elsewhere"
    ds.InstitutionAddress = "1 Hospital Road"
    ds.StationName = "CT01"
    ds.DeviceSerialNumber = "SN-1234"
    ds.ProtocolName = "Chest routine"
    ds.ContentCreatorName = "Creator^Content"
    ds.FrameOfReferenceUID = extra.pop("frame")
    ds.IrradiationEventUID = generate_uid()
    ds.ImageType = ["ORIGINAL", "PRIMARY", "AXIAL"]
    ds.RequestAttributesSequence = Sequence(
        [item(RequestedProcedureID="RP1", ScheduledProcedureStepID="SPS1")])
    ds.ReferencedStudySequence = Sequence(
        [item(ReferencedSOPClassUID="1.2.840.10008.3.1.2.3.1",
              ReferencedSOPInstanceUID=generate_uid())])
    ds.ReferencedPerformedProcedureStepSequence = Sequence(
        [item(ReferencedSOPClassUID="1.2.840.10008.3.1.2.3.3",
              ReferencedSOPInstanceUID=generate_uid())])
    # A sequence the table keeps, holding identifying attributes and a
    # private block: cleaned item by item.
    code = item(CodeValue="CT-CHEST", CodingSchemeDesignator="99LOCAL",
                CodeMeaning="CT chest", ReferringPhysicianName="Dr^Nested")
    code.add_new(0x00110010, "LO", "NESTED PRIVATE")
    code.add_new(0x00111001, "LO", "nested secret")
    ds.ProcedureCodeSequence = Sequence([code])
    ds.VerifyingObserverSequence = Sequence(
        [item(VerifyingObserverName="Dr^Verifier", VerificationDateTime="20200102030405",
              VerifyingOrganization="Lab")])
    ds.add_new(0x00090010, "LO", "ACME PRIVATE")
    ds.add_new(0x00091001, "LO", "secret")
    ds.add_new(0x00091002, "UN", b"abcd")
    ds.add_new(0x50000005, "US", 1)  # a retired curve
    rows = cols = 16
    ds.Rows, ds.Columns = rows, cols
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
    ds.PixelSpacing = [0.7, 0.7]
    ds.ImagePositionPatient = [0, 0, number * 2.5]
    ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
    ds.add_new(0x60000010, "US", rows)
    ds.add_new(0x60000011, "US", cols)
    ds.add_new(0x60000040, "CS", "G")
    ds.add_new(0x60000050, "SS", [1, 1])
    ds.add_new(0x60000100, "US", 1)
    ds.add_new(0x60000102, "US", 0)
    ds.add_new(0x60003000, "OW", b"\xff\x00" * (rows * cols // 16))
    for k, v in extra.items():
        setattr(ds, k, v)
    rng = numpy.random.default_rng(number)
    pixels = rng.integers(0, 4096, size=(rows, cols), dtype=numpy.uint16)
    ds.PixelData = pixels.tobytes()
    if rle:
        ds.compress(RLELossless, pixels)
    ds.save_as(path, write_like_original=False)
    return ds


def make(folder):
    os.makedirs(folder, exist_ok=True)
    p1 = ("Dupont^Hélène", "PID-001")
    p2 = ("Martin^Paul", "PID-002")
    study = (generate_uid(), "20200314", "101010", "S77")
    study2 = (generate_uid(), "20210101", "080000", "S78")
    frame = generate_uid()
    s1 = (generate_uid(), 1, "CT")
    s2 = (generate_uid(), 2, "CT")
    s3 = (generate_uid(), 3, "OT")
    a = [generate_uid() for _ in range(2)]
    for i, uid in enumerate(a):
        image(os.path.join(folder, "a%d.dcm" % i), p1, study, s1, i + 1,
              extra={"sop": uid, "frame": frame})
    ref = [item(ReferencedSOPClassUID=CT, ReferencedSOPInstanceUID=a[0])]
    image(os.path.join(folder, "b0.dcm"), p1, study, s2, 1, extra={
        "sop": generate_uid(), "frame": frame,
        "SourceImageSequence": Sequence([item(ReferencedSOPClassUID=CT,
                                              ReferencedSOPInstanceUID=a[1])]),
        "ReferencedImageSequence": Sequence(ref),
        "ReferencedSeriesSequence": Sequence([item(SeriesInstanceUID=s1[0])]),
    })
    image(os.path.join(folder, "b1.dcm"), p1, study, s2, 2, rle=True, extra={
        "sop": generate_uid(), "frame": frame})
    image(os.path.join(folder, "c0.dcm"), p1, study, s3, 1, sop_class=SC, extra={
        "sop": generate_uid(), "frame": frame, "BurnedInAnnotation": "YES"})
    image(os.path.join(folder, "d0.dcm"), p2, study2, (generate_uid(), 1, "CT"), 1, extra={
        "sop": generate_uid(), "frame": generate_uid()})


# ---- check ---------------------------------------------------------------------

def load_table(path):
    exact, wild = {}, []
    for r in json.load(open(path, encoding="utf-8")):
        t = r["tag"]
        if "ODD" in t.upper():
            continue
        digits = t.strip("()").replace(",", "")
        value = int("".join("0" if c in "xX" else c for c in digits), 16)
        mask = int("".join("0" if c in "xX" else "F" for c in digits), 16)
        if mask == 0xFFFFFFFF:
            exact[value] = r
        else:
            wild.append((value, mask, r))
    return exact, wild


def resolve(row, keep):
    if keep and row.get("rtnLongFullDatesOpt") == "K":
        return "K"
    code = row["basicProfile"]
    if len(code) == 1:
        return "X" if code == "C" else code
    return {"X/D": "X", "X/Z/U*": "U"}.get(code, "Z")


class Checker:
    def __init__(self, table, keep, name, pid):
        self.exact, self.wild = table
        self.keep, self.name, self.pid = keep, name, pid
        self.errors = []
        self.checked = 0
        self.uids = {}
        self.back = {}

    def row(self, tag):
        r = self.exact.get(int(tag))
        if r:
            return r
        for value, mask, r in self.wild:
            if int(tag) & mask == value:
                return r
        return None

    def fail(self, where, text):
        self.errors.append("%s: %s" % (where, text))

    def uid(self, where, old, new):
        if old == new:
            self.fail(where, "UID %s kept" % old)
        if self.uids.setdefault(old, new) != new:
            self.fail(where, "UID %s became %s and %s" % (old, self.uids[old], new))
        if self.back.setdefault(new, old) != old:
            self.fail(where, "%s and %s both became %s" % (self.back[new], old, new))
        if not new.startswith("2.25."):
            self.fail(where, "new UID %s is not a 2.25 UID" % new)

    def walk(self, src, out, where):
        overlays = {e.tag.group for e in src
                    if 0x6000 <= e.tag.group <= 0x60FF and e.tag.element == 0x3000}
        for e in out:
            if e.tag.group % 2:
                self.fail(where, "private %s left" % e.tag)
        for e in src:
            t = e.tag
            at = "%s%s" % (where, t)
            if t.group % 2:
                continue  # checked on the output above
            if t.group in overlays:
                if t in out:
                    self.fail(at, "overlay attribute left after its data went")
                continue
            row = self.row(t)
            if row is None:
                if e.VR == "SQ":
                    self.items(e, out.get(t), at)
                continue
            self.checked += 1
            a = resolve(row, self.keep)
            o = out.get(t)
            if t == 0x00100010 and a == "Z":
                if o is None or str(o.value) != (self.name or "ANONYMOUS"):
                    self.fail(at, "patient's name %r" % (o.value if o else None))
                continue
            if t == 0x00100020 and a == "Z":
                want = self.pid
                if o is None or not o.value or (want and o.value != want) or o.value == e.value:
                    self.fail(at, "patient ID %r" % (o.value if o else None))
                continue
            if a == "X":
                if o is not None:
                    self.fail(at, "%s should be removed (X)" % row["name"])
            elif a == "Z":
                if o is None:
                    self.fail(at, "%s missing; should be emptied (Z)" % row["name"])
                elif (len(o.value) if e.VR == "SQ" else len(str(o.value or ""))) != 0:
                    self.fail(at, "%s not empty (Z): %r" % (row["name"], o.value))
            elif a == "D":
                if o is None or o.value in (None, "", b""):
                    self.fail(at, "%s should hold a dummy (D)" % row["name"])
                elif e.VR == "SQ":
                    self.items(e, o, at)
                elif o.value == e.value:
                    self.fail(at, "%s kept its value %r (D)" % (row["name"], e.value))
            elif a == "U":
                if o is None:
                    self.fail(at, "%s missing (U)" % row["name"])
                elif e.VR == "SQ":
                    self.items(e, o, at)
                elif e.VR == "UI":
                    olds = e.value if isinstance(e.value, list) else [e.value]
                    news = o.value if isinstance(o.value, list) else [o.value]
                    for old, new in zip(olds, news):
                        self.uid(at, str(old), str(new))
            elif a == "K":
                if o is None or (e.VR != "SQ" and o.value != e.value):
                    self.fail(at, "%s should be kept" % row["name"])
                elif e.VR == "SQ":
                    self.items(e, o, at)

    def items(self, e, o, where):
        if o is None:
            self.fail(where, "sequence missing")
            return
        if len(o.value) != len(e.value):
            self.fail(where, "sequence has %d items, had %d" % (len(o.value), len(e.value)))
            return
        for i, (a, b) in enumerate(zip(e.value, o.value)):
            self.walk(a, b, "%s[%d]" % (where, i))


def check(argv):
    table, export_json, out = argv[0], argv[1], argv[2]
    keep = "--keep-dates" in argv
    name = argv[argv.index("--name") + 1] if "--name" in argv else ""
    pid = argv[argv.index("--id") + 1] if "--id" in argv else ""
    result = json.load(open(export_json, encoding="utf-8"))
    if zipfile.is_zipfile(out):
        z = zipfile.ZipFile(out)
        read = lambda fid: pydicom.dcmread(io.BytesIO(z.read(fid)))
    else:
        read = lambda fid: pydicom.dcmread(os.path.join(out, fid))
    c = Checker(load_table(table), keep, name, pid)
    new_sop = {}
    pairs = []
    for f in result["files"]:
        src = pydicom.dcmread(f["source"])
        if f["status"] == "burned-in":
            if src.get("BurnedInAnnotation") != "YES":
                c.fail(f["source"], "left out as burned-in without the flag")
            continue
        if src.get("BurnedInAnnotation") == "YES" and f["status"] == "exported" and \
                "--include-burned-in" not in argv:
            c.fail(f["source"], "burned-in image exported")
        if f["status"] != "exported":
            c.fail(f["source"], "not exported: " + f["reason"])
            continue
        o = read(f["fileId"])
        pairs.append((src, o))
        new_sop[src.SOPInstanceUID] = o.SOPInstanceUID
        c.walk(src, o, os.path.basename(f["source"]) + ":")
        if o.file_meta.TransferSyntaxUID != src.file_meta.TransferSyntaxUID:
            c.fail(f["source"], "transfer syntax changed")
        if o.file_meta.MediaStorageSOPInstanceUID != o.SOPInstanceUID:
            c.fail(f["source"], "meta header's instance UID is not the new one")
        if "SourceApplicationEntityTitle" in o.file_meta:
            c.fail(f["source"], "meta header still names the source AE")
        if o.PixelData != src.PixelData:
            c.fail(f["source"], "pixel data changed")
        if o.get("PatientIdentityRemoved") != "YES":
            c.fail(f["source"], "Patient Identity Removed is not YES")
        codes = [i.CodeValue for i in o.get("DeidentificationMethodCodeSequence", [])]
        want = ["113100"] + (["113106"] if keep else [])
        if codes != want:
            c.fail(f["source"], "de-identification codes %s, want %s" % (codes, want))
        if o.get("SpecificCharacterSet") != src.get("SpecificCharacterSet"):
            c.fail(f["source"], "character set changed")
    # References between the exported objects resolve to the new instances.
    for src, o in pairs:
        for seq in ("SourceImageSequence", "ReferencedImageSequence"):
            for i, (a, b) in enumerate(zip(src.get(seq, []), o.get(seq, []))):
                old = a.ReferencedSOPInstanceUID
                if old in new_sop and b.ReferencedSOPInstanceUID != new_sop[old]:
                    c.fail(seq, "reference to %s does not resolve" % old)
        for i, (a, b) in enumerate(zip(src.get("ReferencedSeriesSequence", []),
                                       o.get("ReferencedSeriesSequence", []))):
            series = {p[1].SeriesInstanceUID for p in pairs
                      if p[0].SeriesInstanceUID == a.SeriesInstanceUID}
            if series and b.SeriesInstanceUID not in series:
                c.fail("ReferencedSeriesSequence", "series reference does not resolve")
    for e in c.errors:
        print(e)
    print("checked %d table attributes in %d files, %d UIDs, %d difference(s)" %
          (c.checked, len(pairs), len(c.uids), len(c.errors)))
    return 1 if c.errors or not pairs else 0


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2])
        sys.exit(0)
    sys.exit(check(sys.argv[2:]))
