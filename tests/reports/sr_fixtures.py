#!/usr/bin/python3
"""Writes structured-report fixtures with pydicom into the folder given:

  ct.dcm            a two-frame CT the reports point at
  tid1500.dcm       a measurement report: observer context, a finding (CODE),
                    a long axis (NUM, mm) inferred from a POLYLINE selected
                    from frame 2 of the CT, a qualified NUM without a value,
                    a date, a time, a UID and a text that needs escaping
  loop.dcm          a by-reference item that points at its own ancestor
  nowhere.dcm       a by-reference item to an item the report lacks, and an
                    image the folder does not hold
  deep.dcm          containers nested 100 deep
  unknown_class.dcm content under an SR class newer than the reader's toolkit
  odd_item.dcm      a content item of a value type no report has
  dose.dcm          an X-Ray Radiation Dose SR of a CT: accumulated and
                    per-acquisition dose in mGy and mGy.cm
"""
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian

out = sys.argv[1]
STUDY = "1.2.826.0.1.3680043.8.498.100"
CT_UID = "1.2.826.0.1.3680043.8.498.101.1"
CT_CLASS = "1.2.840.10008.5.1.4.1.1.2"
COMPREHENSIVE = "1.2.840.10008.5.1.4.1.1.88.33"


def base(sop_class, sop_uid, series_uid, modality):
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.MediaStorageSOPClassUID = sop_class
    ds.file_meta.MediaStorageSOPInstanceUID = sop_uid
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.SpecificCharacterSet = "ISO_IR 192"
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = sop_uid
    ds.StudyInstanceUID = STUDY
    ds.SeriesInstanceUID = series_uid
    ds.Modality = modality
    ds.PatientName = "Müller^Anna"
    ds.PatientID = "SR-1"
    ds.PatientBirthDate = "19700102"
    ds.PatientSex = "F"
    ds.StudyDate = "20261201"
    ds.StudyTime = "101500"
    ds.StudyID = "1"
    ds.AccessionNumber = "A42"
    ds.ReferringPhysicianName = ""
    ds.SeriesNumber = 7
    ds.InstanceNumber = 1
    return ds


def save(ds, name):
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.save_as(f"{out}/{name}", write_like_original=False)


def code(value, scheme, meaning):
    c = Dataset()
    c.CodeValue = value
    c.CodingSchemeDesignator = scheme
    c.CodeMeaning = meaning
    return c


def item(rel, vt, name=None, **values):
    i = Dataset()
    if rel:
        i.RelationshipType = rel
    i.ValueType = vt
    if name:
        i.ConceptNameCodeSequence = Sequence([code(*name)])
    for k, v in values.items():
        setattr(i, k, v)
    return i


def children(parent, *items):
    parent.ContentSequence = Sequence(list(items))
    return parent


def image_ref(sop_class, sop_uid, frames=None):
    r = Dataset()
    r.ReferencedSOPClassUID = sop_class
    r.ReferencedSOPInstanceUID = sop_uid
    if frames:
        r.ReferencedFrameNumber = frames
    return Sequence([r])


def report(sop_uid, root, sop_class=COMPREHENSIVE):
    ds = base(sop_class, sop_uid, "1.2.826.0.1.3680043.8.498.102", "SR")
    ds.ContentDate = "20261202"
    ds.ContentTime = "083000"
    ds.CompletionFlag = "COMPLETE"
    ds.VerificationFlag = "UNVERIFIED"
    ds.ValueType = "CONTAINER"
    ds.ContinuityOfContent = "SEPARATE"
    ds.ConceptNameCodeSequence = root.ConceptNameCodeSequence
    ds.ContentSequence = root.ContentSequence
    return ds


# The CT: 8 x 6, two frames.
ct = base(CT_CLASS, CT_UID, "1.2.826.0.1.3680043.8.498.103", "CT")
ct.Rows, ct.Columns = 6, 8
ct.NumberOfFrames = 2
ct.SamplesPerPixel = 1
ct.PhotometricInterpretation = "MONOCHROME2"
ct.BitsAllocated = ct.BitsStored = 16
ct.HighBit = 15
ct.PixelRepresentation = 0
ct.RescaleSlope, ct.RescaleIntercept = 1, 0
ct.FrameOfReferenceUID = "1.2.826.0.1.3680043.8.498.104"
ct.PixelData = (np.arange(2 * 6 * 8, dtype=np.uint16) * 10).tobytes()
save(ct, "ct.dcm")

UCUM = "UCUM"
polyline = children(
    item("INFERRED FROM", "SCOORD", None, GraphicType="POLYLINE",
         GraphicData=[1.5, 2.5, 6.5, 4.5]),
    item("SELECTED FROM", "IMAGE", None,
         ReferencedSOPSequence=image_ref(CT_CLASS, CT_UID, [2])))
long_axis = children(
    item("CONTAINS", "NUM", ("G-A185", "SRT", "Long Axis"),
         MeasuredValueSequence=Sequence([Dataset()])),
    polyline)
mv = long_axis.MeasuredValueSequence[0]
mv.NumericValue = "12.5"
mv.MeasurementUnitsCodeSequence = Sequence([code("mm", UCUM, "millimeter")])
unmeasured = item("CONTAINS", "NUM", ("G-D705", "SRT", "Volume"),
                  MeasuredValueSequence=Sequence([]),
                  NumericValueQualifierCodeSequence=Sequence(
                      [code("114006", "DCM", "Measurement failure")]))
group = children(
    item("CONTAINS", "CONTAINER", ("125007", "DCM", "Measurement Group"),
         ContinuityOfContent="SEPARATE"),
    item("HAS OBS CONTEXT", "TEXT", ("112039", "DCM", "Tracking Identifier"),
         TextValue="Lesion <1> & \"friends\""),
    item("CONTAINS", "CODE", ("121071", "DCM", "Finding"),
         ConceptCodeSequence=Sequence([code("M-01000", "SRT", "Lesion")])),
    long_axis,
    unmeasured)
root = children(
    item(None, "CONTAINER", ("126000", "DCM", "Imaging Measurement Report")),
    item("HAS OBS CONTEXT", "PNAME", ("121008", "DCM", "Person Observer Name"),
         PersonName="Åström^Eva"),
    item("HAS OBS CONTEXT", "DATE", ("111060", "DCM", "Study Date"), Date="20261201"),
    item("HAS OBS CONTEXT", "TIME", ("111061", "DCM", "Study Time"), Time="101500"),
    item("HAS OBS CONTEXT", "UIDREF", ("121018", "DCM", "Procedure Study Instance UID"),
         UID=STUDY),
    children(item("CONTAINS", "CONTAINER", ("126010", "DCM", "Imaging Measurements"),
                  ContinuityOfContent="SEPARATE"), group),
    item("CONTAINS", "IMAGE", ("121112", "DCM", "Source of Measurement"),
         ReferencedSOPSequence=image_ref(CT_CLASS, CT_UID)))
root.ContinuityOfContent = "SEPARATE"
sr = report("1.2.826.0.1.3680043.8.498.105", root)
ev = Dataset()
ev.StudyInstanceUID = STUDY
series = Dataset()
series.SeriesInstanceUID = ct.SeriesInstanceUID
series.ReferencedSOPSequence = image_ref(CT_CLASS, CT_UID)
ev.ReferencedSeriesSequence = Sequence([series])
sr.CurrentRequestedProcedureEvidenceSequence = Sequence([ev])
save(sr, "tid1500.dcm")


def byref(rel, target):
    i = Dataset()
    i.RelationshipType = rel
    i.ReferencedContentItemIdentifier = target
    return i


# Item 1.1 holds a reference back to item 1 (the root): following it loops.
loop_root = children(
    item(None, "CONTAINER", ("126000", "DCM", "Imaging Measurement Report")),
    children(item("CONTAINS", "TEXT", ("121071", "DCM", "Finding"), TextValue="looped"),
             byref("INFERRED FROM", [1])))
save(report("1.2.826.0.1.3680043.8.498.106", loop_root), "loop.dcm")

nowhere_root = children(
    item(None, "CONTAINER", ("126000", "DCM", "Imaging Measurement Report")),
    children(item("CONTAINS", "TEXT", ("121071", "DCM", "Finding"), TextValue="dangling"),
             byref("INFERRED FROM", [1, 9, 9])),
    item("CONTAINS", "IMAGE", ("121112", "DCM", "Source of Measurement"),
         ReferencedSOPSequence=image_ref(CT_CLASS, "1.2.826.0.1.3680043.8.498.999")))
save(report("1.2.826.0.1.3680043.8.498.107", nowhere_root), "nowhere.dcm")

leaf = item("CONTAINS", "TEXT", ("121071", "DCM", "Finding"), TextValue="bottom")
for level in range(100):
    leaf = children(item("CONTAINS", "CONTAINER", ("125007", "DCM", "Measurement Group"),
                         ContinuityOfContent="SEPARATE"), leaf)
deep_root = children(item(None, "CONTAINER", ("126000", "DCM", "Imaging Measurement Report")),
                     leaf)
save(report("1.2.826.0.1.3680043.8.498.108", deep_root), "deep.dcm")

future_root = children(
    item(None, "CONTAINER", ("126000", "DCM", "Imaging Measurement Report")),
    item("CONTAINS", "TEXT", ("121071", "DCM", "Finding"), TextValue="from the future"))
save(report("1.2.826.0.1.3680043.8.498.109", future_root,
            "1.2.840.10008.5.1.4.1.1.88.990"), "unknown_class.dcm")

odd_root = children(
    item(None, "CONTAINER", ("126000", "DCM", "Imaging Measurement Report")),
    children(item("CONTAINS", "FOO", ("111030", "DCM", "Odd")),
             item("CONTAINS", "TEXT", ("121071", "DCM", "Finding"), TextValue="inside")),
    item("CONTAINS", "TEXT", ("121071", "DCM", "Finding"), TextValue="after"))
save(report("1.2.826.0.1.3680043.8.498.111", odd_root), "odd_item.dcm")


def num(name, value, unit, unit_meaning):
    n = item("CONTAINS", "NUM", name, MeasuredValueSequence=Sequence([Dataset()]))
    n.MeasuredValueSequence[0].NumericValue = value
    n.MeasuredValueSequence[0].MeasurementUnitsCodeSequence = Sequence(
        [code(unit, UCUM, unit_meaning)])
    return n


dose_root = children(
    item(None, "CONTAINER", ("113701", "DCM", "X-Ray Radiation Dose Report")),
    item("HAS CONCEPT MOD", "CODE", ("121058", "DCM", "Procedure reported"),
         ConceptCodeSequence=Sequence([code("P5-08000", "SRT", "Computed Tomography X-Ray")])),
    item("HAS OBS CONTEXT", "DATETIME", ("113809", "DCM", "Start of X-Ray Irradiation"),
         DateTime="20261201101502.25+0100"),
    children(item("CONTAINS", "CONTAINER", ("113811", "DCM", "CT Accumulated Dose Data"),
                  ContinuityOfContent="SEPARATE"),
             num(("113813", "DCM", "CT Dose Length Product Total"), "432.1", "mGy.cm",
                 "mGy.cm")),
    children(item("CONTAINS", "CONTAINER", ("113819", "DCM", "CT Acquisition"),
                  ContinuityOfContent="SEPARATE"),
             item("CONTAINS", "TEXT", ("125203", "DCM", "Acquisition Protocol"),
                  TextValue="Head"),
             children(item("CONTAINS", "CONTAINER", ("113829", "DCM", "CT Dose"),
                           ContinuityOfContent="SEPARATE"),
                      num(("113830", "DCM", "Mean CTDIvol"), "55.2", "mGy", "mGy"),
                      num(("113838", "DCM", "DLP"), "432.1", "mGy.cm", "mGy.cm"))))
save(report("1.2.826.0.1.3680043.8.498.110", dose_root, "1.2.840.10008.5.1.4.1.1.88.67"),
     "dose.dcm")
