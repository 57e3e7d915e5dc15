"""Writes a small study with objects drawn over it, as other systems write them.

usage: derived_fixtures.py OUTDIR [SEGMENTS]
  OUTDIR/study/ct1..3.dcm   a 3-slice CT, 16 x 16, z = 0, 2, 4
  OUTDIR/study/seg.dcm      a binary segmentation of SEGMENTS segments (default 2)
                            on that CT: segment 1 "Liver" (recommended colour, a
                            red) on slices 1 and 2, segment 2 "Tumour"
                            (no colour) on slice 2, others on slice 3
  OUTDIR/study/rt.dcm       a structure set with ROI "Body" (green) on slice 2
  OUTDIR/lone/rt_other.dcm  a structure set with ROI "PTV" over images and a
                            frame of reference that are not in OUTDIR/study
  OUTDIR/medium/DICOMDIR    the files of OUTDIR/study as a File-set (the
                            segmentation under an IMAGE record, the structure
                            set under RT STRUCTURE SET)
"""
import os
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.fileset import FileSet
from pydicom.pixel_data_handlers.numpy_handler import pack_bits
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian

ROOT = "1.2.826.0.1.3680043.9.7777"
STUDY = ROOT + ".1"
CT_SERIES = ROOT + ".2"
FRAME = ROOT + ".3"
CT_CLASS = "1.2.840.10008.5.1.4.1.1.2"
SEG_CLASS = "1.2.840.10008.5.1.4.1.1.66.4"
RT_CLASS = "1.2.840.10008.5.1.4.1.1.481.3"


def ct_uid(k):
    return f"{CT_SERIES}.{k}"


def base(sop_class, sop_uid, modality, series_uid, series_number):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = sop_uid
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = sop_uid
    ds.Modality = modality
    ds.PatientName = "DERIVED^TEST"
    ds.PatientID = "D1"
    ds.StudyInstanceUID = STUDY
    ds.StudyDate = "20240101"
    ds.StudyTime = "120000"
    ds.StudyID = "1"
    ds.InstanceNumber = 1
    ds.SeriesInstanceUID = series_uid
    ds.SeriesNumber = series_number
    ds.FrameOfReferenceUID = FRAME
    return ds


def save(ds, path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    ds.save_as(path, write_like_original=False)


def write_ct(out):
    for k in (1, 2, 3):
        ds = base(CT_CLASS, ct_uid(k), "CT", CT_SERIES, 1)
        ds.SeriesDescription = "Abdomen"
        ds.InstanceNumber = k
        ds.ImagePositionPatient = [0, 0, 2 * (k - 1)]
        ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
        ds.PixelSpacing = [1, 1]
        ds.SliceThickness = 2
        ds.Rows = ds.Columns = 16
        ds.SamplesPerPixel = 1
        ds.PhotometricInterpretation = "MONOCHROME2"
        ds.BitsAllocated = 16
        ds.BitsStored = 12
        ds.HighBit = 11
        ds.PixelRepresentation = 0
        ds.RescaleIntercept = -1024
        ds.RescaleSlope = 1
        ds.WindowCenter = 40
        ds.WindowWidth = 400
        ds.PixelData = (np.full((16, 16), 1024 + 40 * k, dtype="<u2")).tobytes()
        save(ds, os.path.join(out, "study", f"ct{k}.dcm"))


def code(value, scheme, meaning):
    c = Dataset()
    c.CodeValue = value
    c.CodingSchemeDesignator = scheme
    c.CodeMeaning = meaning
    return c


def write_seg(out, segments):
    ds = base(SEG_CLASS, ROOT + ".4.1", "SEG", ROOT + ".4", 100)
    ds.SeriesDescription = "Liver segmentation"
    ds.ContentLabel = "LIVER"
    ds.SegmentationType = "BINARY"
    ds.Rows = ds.Columns = 16
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.BitsAllocated = ds.BitsStored = 1
    ds.HighBit = 0
    ds.PixelRepresentation = 0
    ds.LossyImageCompression = "00"
    items = []
    for n in range(1, segments + 1):
        s = Dataset()
        s.SegmentNumber = n
        s.SegmentLabel = {1: "Liver", 2: "Tumour"}.get(n, f"Region {n}")
        s.SegmentAlgorithmType = "MANUAL"
        s.SegmentedPropertyCategoryCodeSequence = Sequence([code("T-D0050", "SRT", "Tissue")])
        s.SegmentedPropertyTypeCodeSequence = Sequence([code("T-62000", "SRT", "Liver")])
        if n == 1:
            # A red in DICOM's scaled CIELab.
            s.RecommendedDisplayCIELabValue = [35116, 53281, 49806]
        items.append(s)
    ds.SegmentSequence = Sequence(items)
    shared = Dataset()
    orientation = Dataset()
    orientation.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
    shared.PlaneOrientationSequence = Sequence([orientation])
    measures = Dataset()
    measures.PixelSpacing = [1, 1]
    measures.SliceThickness = 2
    shared.PixelMeasuresSequence = Sequence([measures])
    ds.SharedFunctionalGroupsSequence = Sequence([shared])
    # (segment, slice, rows x columns set)
    frames = [(1, 1, (slice(2, 10), slice(2, 10))), (1, 2, (slice(2, 10), slice(2, 10))),
              (2, 2, (slice(4, 8), slice(10, 14)))]
    frames += [(n, 3, (slice(n % 16, n % 16 + 1), slice(0, 16))) for n in range(3, segments + 1)]
    per_frame, masks = [], []
    for segment, k, area in frames:
        f = Dataset()
        ident = Dataset()
        ident.ReferencedSegmentNumber = segment
        f.SegmentIdentificationSequence = Sequence([ident])
        source = Dataset()
        source.ReferencedSOPClassUID = CT_CLASS
        source.ReferencedSOPInstanceUID = ct_uid(k)
        derivation = Dataset()
        derivation.SourceImageSequence = Sequence([source])
        f.DerivationImageSequence = Sequence([derivation])
        plane = Dataset()
        plane.ImagePositionPatient = [0, 0, 2 * (k - 1)]
        f.PlanePositionSequence = Sequence([plane])
        per_frame.append(f)
        mask = np.zeros((16, 16), dtype=np.uint8)
        mask[area] = 1
        masks.append(mask)
    ds.PerFrameFunctionalGroupsSequence = Sequence(per_frame)
    ds.NumberOfFrames = len(masks)
    refs = []
    for k in (1, 2, 3):
        r = Dataset()
        r.ReferencedSOPClassUID = CT_CLASS
        r.ReferencedSOPInstanceUID = ct_uid(k)
        refs.append(r)
    series = Dataset()
    series.SeriesInstanceUID = CT_SERIES
    series.ReferencedInstanceSequence = Sequence(refs)
    ds.ReferencedSeriesSequence = Sequence([series])
    ds.PixelData = pack_bits(np.stack(masks).ravel())
    save(ds, os.path.join(out, "study", "seg.dcm"))


def write_rt(path, uid, label, roi_name, colour, image_uid, frame_uid, z):
    ds = base(RT_CLASS, uid, "RTSTRUCT", uid + ".0", 200)
    ds.FrameOfReferenceUID = frame_uid
    ds.StructureSetLabel = label
    ds.StructureSetDate = "20240101"
    roi = Dataset()
    roi.ROINumber = 1
    roi.ReferencedFrameOfReferenceUID = frame_uid
    roi.ROIName = roi_name
    roi.ROIGenerationAlgorithm = "MANUAL"
    ds.StructureSetROISequence = Sequence([roi])
    image = Dataset()
    image.ReferencedSOPClassUID = CT_CLASS
    image.ReferencedSOPInstanceUID = image_uid
    contour = Dataset()
    contour.ContourImageSequence = Sequence([image])
    contour.ContourGeometricType = "CLOSED_PLANAR"
    contour.NumberOfContourPoints = 4
    contour.ContourData = [3, 3, z, 12, 3, z, 12, 12, z, 3, 12, z]
    roi_contour = Dataset()
    roi_contour.ReferencedROINumber = 1
    roi_contour.ROIDisplayColor = colour
    roi_contour.ContourSequence = Sequence([contour])
    ds.ROIContourSequence = Sequence([roi_contour])
    save(ds, path)


def main():
    out = sys.argv[1]
    segments = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    write_ct(out)
    write_seg(out, segments)
    write_rt(os.path.join(out, "study", "rt.dcm"), ROOT + ".5.1", "Outline", "Body",
             [0, 255, 0], ct_uid(2), FRAME, 2)
    write_rt(os.path.join(out, "lone", "rt_other.dcm"), ROOT + ".6.1", "Plan A", "PTV",
             [255, 255, 0], ROOT + ".9.1", ROOT + ".9", 0)
    medium = FileSet()
    for name in ("ct1.dcm", "ct2.dcm", "ct3.dcm", "seg.dcm", "rt.dcm"):
        medium.add(os.path.join(out, "study", name))
    medium.write(os.path.join(out, "medium"))


if __name__ == "__main__":
    main()
