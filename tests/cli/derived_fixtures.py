"""Writes a 3-slice CT with a segmentation and a structure set on it, with pydicom.

usage: derived_fixtures.py DIR
DIR/ct1.dcm .. ct3.dcm   64 x 64 axial slices, 1 mm pixels, at z = 0, 2, 4 mm,
                         values (row + column) * 8, window 512 / 256.
DIR/seg_ref.dcm          BINARY, two segments on slice 2 named by SOP instance:
                         segment 1 rows 10-29 x columns 10-29, CIELab red;
                         segment 2 rows 36-53 x columns 30-49, no colour.
DIR/seg_pos.dcm          the same masks found by frame of reference and position
                         only, on a 32 x 32 grid of 2 mm pixels.
DIR/rt.dcm               one ROI, a closed square (20, 20)-(40, 40) mm on slice 3,
                         display colour yellow."""
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

out = sys.argv[1]
FOR = "1.2.826.0.1.3680043.8.498.1"
STUDY = "1.2.826.0.1.3680043.8.498.2"
CT_SERIES = "1.2.826.0.1.3680043.8.498.3"
CT_CLASS = "1.2.840.10008.5.1.4.1.1.2"
ZS = [0.0, 2.0, 4.0]


def base(sop_class, sop_uid, modality):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = sop_uid
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(None, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = sop_uid
    ds.Modality = modality
    ds.PatientName = "Seg^Test"
    ds.PatientID = "SEG1"
    ds.StudyInstanceUID = STUDY
    ds.FrameOfReferenceUID = FOR
    return ds


def save(ds, name):
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.save_as(f"{out}/{name}", write_like_original=False)


ct_uids = []
for k, z in enumerate(ZS):
    uid = f"1.2.826.0.1.3680043.8.498.10.{k + 1}"
    ct_uids.append(uid)
    ds = base(CT_CLASS, uid, "CT")
    ds.SeriesInstanceUID = CT_SERIES
    ds.InstanceNumber = k + 1
    ds.ImagePositionPatient = [0, 0, z]
    ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
    ds.PixelSpacing = [1, 1]
    ds.SliceThickness = 2
    ds.Rows = ds.Columns = 64
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.BitsAllocated = 16
    ds.BitsStored = 16
    ds.HighBit = 15
    ds.PixelRepresentation = 0
    ds.WindowCenter = 256
    ds.WindowWidth = 512
    r, c = np.mgrid[0:64, 0:64]
    ds.PixelData = ((r + c) * 8).astype("<u2").tobytes()
    save(ds, f"ct{k + 1}.dcm")


def masks(size, scale):
    one = np.zeros((size, size), bool)
    two = np.zeros((size, size), bool)
    one[10 // scale:30 // scale, 10 // scale:30 // scale] = True
    two[36 // scale:54 // scale, 30 // scale:50 // scale] = True
    return one, two


def seg(name, referenced, size, spacing):
    ds = base("1.2.840.10008.5.1.4.1.1.66.4", generate_uid(), "SEG")
    ds.SeriesInstanceUID = generate_uid()
    ds.SegmentationType = "BINARY"
    ds.Rows = ds.Columns = size
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.BitsAllocated = ds.BitsStored = 1
    ds.HighBit = 0
    ds.PixelRepresentation = 0
    ds.ImageType = ["DERIVED", "PRIMARY"]
    segments = []
    for n, label in ((1, "Liver"), (2, "Lesion")):
        s = Dataset()
        s.SegmentNumber = n
        s.SegmentLabel = label
        s.SegmentAlgorithmType = "MANUAL"
        if n == 1:
            s.RecommendedDisplayCIELabValue = [34885, 53485, 50171]  # sRGB (255, 0, 0)
        segments.append(s)
    ds.SegmentSequence = Sequence(segments)
    shared = Dataset()
    orientation = Dataset()
    orientation.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
    measures = Dataset()
    measures.PixelSpacing = [spacing, spacing]
    measures.SliceThickness = 2
    shared.PlaneOrientationSequence = Sequence([orientation])
    shared.PixelMeasuresSequence = Sequence([measures])
    ds.SharedFunctionalGroupsSequence = Sequence([shared])
    frames = []
    scale = int(spacing)
    # Pixel centres of the 2 mm grid sit between the CT's: its origin is at
    # (0.5, 0.5) so that each of its pixels covers 2 x 2 CT pixels exactly.
    origin = 0.0 if scale == 1 else 0.5
    for n in (1, 2):
        f = Dataset()
        ident = Dataset()
        ident.ReferencedSegmentNumber = n
        f.SegmentIdentificationSequence = Sequence([ident])
        position = Dataset()
        position.ImagePositionPatient = [origin, origin, ZS[1]]
        f.PlanePositionSequence = Sequence([position])
        if referenced:
            src = Dataset()
            src.ReferencedSOPClassUID = CT_CLASS
            src.ReferencedSOPInstanceUID = ct_uids[1]
            derivation = Dataset()
            derivation.SourceImageSequence = Sequence([src])
            f.DerivationImageSequence = Sequence([derivation])
        frames.append(f)
    ds.PerFrameFunctionalGroupsSequence = Sequence(frames)
    ds.NumberOfFrames = 2
    one, two = masks(size, scale)
    bits = np.concatenate([one.ravel(), two.ravel()])
    ds.PixelData = np.packbits(bits, bitorder="little").tobytes()
    save(ds, name)


seg("seg_ref.dcm", True, 64, 1)
seg("seg_pos.dcm", False, 32, 2)

rt = base("1.2.840.10008.5.1.4.1.1.481.3", generate_uid(), "RTSTRUCT")
rt.SeriesInstanceUID = generate_uid()
rt.StructureSetLabel = "Plan"
roi = Dataset()
roi.ROINumber = 1
roi.ROIName = "PTV"
roi.ReferencedFrameOfReferenceUID = FOR
rt.StructureSetROISequence = Sequence([roi])
contour = Dataset()
contour.ContourGeometricType = "CLOSED_PLANAR"
contour.NumberOfContourPoints = 4
contour.ContourData = [20, 20, 4, 40, 20, 4, 40, 40, 4, 20, 40, 4]
image = Dataset()
image.ReferencedSOPClassUID = CT_CLASS
image.ReferencedSOPInstanceUID = ct_uids[2]
contour.ContourImageSequence = Sequence([image])
roi_contour = Dataset()
roi_contour.ReferencedROINumber = 1
roi_contour.ROIDisplayColor = [255, 255, 0]
roi_contour.ContourSequence = Sequence([contour])
rt.ROIContourSequence = Sequence([roi_contour])
save(rt, "rt.dcm")
