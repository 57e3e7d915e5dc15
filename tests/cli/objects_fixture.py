"""Writes a study folder with derived objects, as other producers write them,
for the objects command and the key image tests:

  ct1.dcm .. ct5.dcm  five CT slices, 16 x 16, 2 mm apart (z = 0, 2, .., 8)
  kos.dcm             "For Teaching" key objects: ct2 and ct4, with a description
  seg.dcm             two segments: Liver (CIELab colour) on ct1..ct3 by source
                      image, Tumour (palette colour) on ct5 by plane position only
  rtstruct.dcm        Square (0,255,0) drawn on ct3 by its image, Body (255,0,0)
                      on the plane of ct4 without an image reference
  gsps.dcm            presentation state READER1 of ct1 and ct2
  missing_kos.dcm     key objects naming only an image that is not there
  broken_seg.dcm      a segmentation without segments (its reader refuses it)
  junk.dcm            no DICOM at all

usage: objects_fixture.py FOLDER
"""
import os
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian

STUDY = "1.2.826.0.1.3680043.9.7133.1"
SERIES = STUDY + ".1"
FOR = STUDY + ".9"
CT = "1.2.840.10008.5.1.4.1.1.2"
KOS = "1.2.840.10008.5.1.4.1.1.88.59"
SEG = "1.2.840.10008.5.1.4.1.1.66.4"
RTSTRUCT = "1.2.840.10008.5.1.4.1.1.481.3"
GSPS = "1.2.840.10008.5.1.4.1.1.11.1"


def image_uid(n):
    return SERIES + "." + str(n)


def base(folder, name, sop_class, sop_uid, modality, series_uid):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = sop_uid
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(os.path.join(folder, name), {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = sop_uid
    ds.PatientName = "KEY^IMAGES"
    ds.PatientID = "KEY1"
    ds.PatientBirthDate = ""
    ds.PatientSex = "O"
    ds.StudyInstanceUID = STUDY
    ds.StudyDate = "20261210"
    ds.StudyTime = "101500"
    ds.StudyID = "1"
    ds.AccessionNumber = ""
    ds.ReferringPhysicianName = ""
    ds.SeriesInstanceUID = series_uid
    ds.SeriesNumber = 1 if modality == "CT" else 100
    ds.Modality = modality
    ds.Manufacturer = "fixture"
    return ds


def code(value, scheme, meaning):
    c = Dataset()
    c.CodeValue = value
    c.CodingSchemeDesignator = scheme
    c.CodeMeaning = meaning
    return c


def ct(folder, n):
    ds = base(folder, "ct%d.dcm" % n, CT, image_uid(n), "CT", SERIES)
    ds.InstanceNumber = n
    ds.FrameOfReferenceUID = FOR
    ds.ImagePositionPatient = [0, 0, 2 * (n - 1)]
    ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
    ds.PixelSpacing = [1, 1]
    ds.SliceThickness = 2
    ds.Rows = ds.Columns = 16
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.BitsAllocated = ds.BitsStored = 16
    ds.HighBit = 15
    ds.PixelRepresentation = 0
    ds.RescaleIntercept = 0
    ds.RescaleSlope = 1
    ds.WindowCenter = 100
    ds.WindowWidth = 200
    ds.PixelData = (np.arange(256, dtype=np.uint16) * n).tobytes()
    ds.save_as(ds.filename, write_like_original=False)


def key_objects(folder, name, uid, title, description, images):
    ds = base(folder, name, KOS, uid, "KO", STUDY + ".30")
    ds.InstanceNumber = 1
    ds.ContentDate = "20261210"
    ds.ContentTime = "120000"
    ds.ValueType = "CONTAINER"
    ds.ConceptNameCodeSequence = Sequence([code(*title)])
    ds.ContinuityOfContent = "SEPARATE"
    template = Dataset()
    template.MappingResource = "DCMR"
    template.TemplateIdentifier = "2010"
    ds.ContentTemplateSequence = Sequence([template])
    items = []
    if description:
        t = Dataset()
        t.RelationshipType = "CONTAINS"
        t.ValueType = "TEXT"
        t.ConceptNameCodeSequence = Sequence([code("113012", "DCM", "Key Object Description")])
        t.TextValue = description
        items.append(t)
    refs = []
    for n in images:
        item = Dataset()
        item.RelationshipType = "CONTAINS"
        item.ValueType = "IMAGE"
        r = Dataset()
        r.ReferencedSOPClassUID = CT
        r.ReferencedSOPInstanceUID = image_uid(n)
        item.ReferencedSOPSequence = Sequence([r])
        items.append(item)
        e = Dataset()
        e.ReferencedSOPClassUID = CT
        e.ReferencedSOPInstanceUID = image_uid(n)
        refs.append(e)
    ds.ContentSequence = Sequence(items)
    series = Dataset()
    series.SeriesInstanceUID = SERIES
    series.ReferencedSOPSequence = Sequence(refs)
    study = Dataset()
    study.StudyInstanceUID = STUDY
    study.ReferencedSeriesSequence = Sequence([series])
    ds.CurrentRequestedProcedureEvidenceSequence = Sequence([study])
    ds.save_as(ds.filename, write_like_original=False)


def segment(number, label, lab=None):
    s = Dataset()
    s.SegmentNumber = number
    s.SegmentLabel = label
    s.SegmentAlgorithmType = "MANUAL"
    s.SegmentedPropertyCategoryCodeSequence = Sequence([code("T-D0050", "SRT", "Tissue")])
    s.SegmentedPropertyTypeCodeSequence = Sequence([code("T-D0050", "SRT", "Tissue")])
    if lab:
        s.RecommendedDisplayCIELabValue = lab
    return s


def seg(folder, with_segments=True, name="seg.dcm", uid=STUDY + ".40.1"):
    ds = base(folder, name, SEG, uid, "SEG", STUDY + ".40")
    ds.InstanceNumber = 1
    ds.FrameOfReferenceUID = FOR
    ds.SeriesDescription = "Organs"
    ds.ContentLabel = "ORGANS"
    ds.SegmentationType = "BINARY"
    ds.Rows = ds.Columns = 16
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.BitsAllocated = ds.BitsStored = 1
    ds.HighBit = 0
    ds.PixelRepresentation = 0
    if with_segments:
        ds.SegmentSequence = Sequence(
            [segment(1, "Liver", [0, 32896, 32896]), segment(2, "Tumour")])
    shared = Dataset()
    orientation = Dataset()
    orientation.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
    shared.PlaneOrientationSequence = Sequence([orientation])
    measures = Dataset()
    measures.PixelSpacing = [1, 1]
    measures.SliceThickness = 2
    shared.PixelMeasuresSequence = Sequence([measures])
    ds.SharedFunctionalGroupsSequence = Sequence([shared])
    frames = []
    # (segment, source image or None, z)
    for number, source, z in [(1, 1, 0), (1, 2, 2), (1, 3, 4), (2, None, 8)]:
        f = Dataset()
        ident = Dataset()
        ident.ReferencedSegmentNumber = number
        f.SegmentIdentificationSequence = Sequence([ident])
        if source:
            s = Dataset()
            s.ReferencedSOPClassUID = CT
            s.ReferencedSOPInstanceUID = image_uid(source)
            derivation = Dataset()
            derivation.SourceImageSequence = Sequence([s])
            f.DerivationImageSequence = Sequence([derivation])
        plane = Dataset()
        plane.ImagePositionPatient = [0, 0, z]
        f.PlanePositionSequence = Sequence([plane])
        frames.append(f)
    ds.PerFrameFunctionalGroupsSequence = Sequence(frames)
    ds.NumberOfFrames = len(frames)
    mask = np.zeros((len(frames), 16, 16), dtype=np.uint8)
    mask[:, 4:12, 4:12] = 1
    ds.PixelData = np.packbits(mask.reshape(-1), bitorder="little").tobytes()
    ds.save_as(ds.filename, write_like_original=False)


def contour(points, image=None):
    c = Dataset()
    c.ContourGeometricType = "CLOSED_PLANAR"
    c.NumberOfContourPoints = len(points)
    c.ContourData = [v for p in points for v in p]
    if image:
        i = Dataset()
        i.ReferencedSOPClassUID = CT
        i.ReferencedSOPInstanceUID = image_uid(image)
        c.ContourImageSequence = Sequence([i])
    return c


def rtstruct(folder):
    ds = base(folder, "rtstruct.dcm", RTSTRUCT, STUDY + ".50.1", "RTSTRUCT", STUDY + ".50")
    ds.InstanceNumber = 1
    ds.StructureSetLabel = "PLAN"
    ds.StructureSetDate = "20261210"
    ds.StructureSetTime = "120000"
    rois = []
    for number, name in [(1, "Square"), (2, "Body")]:
        r = Dataset()
        r.ROINumber = number
        r.ReferencedFrameOfReferenceUID = FOR
        r.ROIName = name
        r.ROIGenerationAlgorithm = "MANUAL"
        rois.append(r)
    ds.StructureSetROISequence = Sequence(rois)
    square = [[4, 4, 4], [11, 4, 4], [11, 11, 4], [4, 11, 4]]
    body = [[1, 1, 6], [14, 1, 6], [14, 14, 6], [1, 14, 6]]
    contours = []
    for number, colour, c in [(1, [0, 255, 0], contour(square, 3)),
                              (2, [255, 0, 0], contour(body))]:
        rc = Dataset()
        rc.ReferencedROINumber = number
        rc.ROIDisplayColor = colour
        rc.ContourSequence = Sequence([c])
        contours.append(rc)
    ds.ROIContourSequence = Sequence(contours)
    ds.save_as(ds.filename, write_like_original=False)


def gsps(folder):
    ds = base(folder, "gsps.dcm", GSPS, STUDY + ".60.1", "PR", STUDY + ".60")
    ds.InstanceNumber = 1
    ds.ContentLabel = "READER1"
    ds.ContentDescription = "Soft tissue"
    ds.PresentationCreationDate = "20261209"
    ds.PresentationCreationTime = "093000"
    ds.ContentCreatorName = "READER^ONE"
    refs = []
    for n in (1, 2):
        r = Dataset()
        r.ReferencedSOPClassUID = CT
        r.ReferencedSOPInstanceUID = image_uid(n)
        refs.append(r)
    series = Dataset()
    series.SeriesInstanceUID = SERIES
    series.ReferencedImageSequence = Sequence(refs)
    ds.ReferencedSeriesSequence = Sequence([series])
    voi = Dataset()
    voi.WindowCenter = 40
    voi.WindowWidth = 400
    ds.SoftcopyVOILUTSequence = Sequence([voi])
    ds.PresentationLUTShape = "IDENTITY"
    ds.save_as(ds.filename, write_like_original=False)


def main(folder):
    os.makedirs(folder, exist_ok=True)
    for n in range(1, 6):
        ct(folder, n)
    key_objects(folder, "kos.dcm", STUDY + ".30.1", ("113004", "DCM", "For Teaching"),
                "Two lesions", [2, 4])
    key_objects(folder, "missing_kos.dcm", STUDY + ".30.2", ("113000", "DCM", "Of Interest"),
                "", [99])
    seg(folder)
    seg(folder, with_segments=False, name="broken_seg.dcm", uid=STUDY + ".40.2")
    rtstruct(folder)
    gsps(folder)
    with open(os.path.join(folder, "junk.dcm"), "w") as f:
        f.write("not a DICOM file\n")


if __name__ == "__main__":
    main(sys.argv[1])
