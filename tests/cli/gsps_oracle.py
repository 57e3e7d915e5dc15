"""Presentation states written with pydicom for a small CT, and the checks of
what `render --bitmap --with STATE` gives against plain renders.

usage: gsps_oracle.py write DIR
       gsps_oracle.py check CASE DIR OUT.ppm [REFERENCE.ppm]
The CT (DIR/ct.dcm) is 80 columns x 64 rows of signed words with a rescale
intercept of -1024. check prints every mismatch and exits 1 when there is one."""
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.dataelem import DataElement
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

COLS, ROWS = 80, 64
CT_CLASS = "1.2.840.10008.5.1.4.1.1.2"
GSPS_CLASS = "1.2.840.10008.5.1.4.1.1.11.1"
STUDY, SERIES, INSTANCE = generate_uid(), generate_uid(), generate_uid()
# Red in CIELab (L 53, a 80, b 67), scaled as DICOM stores it.
RED_LAB = [round(53.2 * 65535 / 100), round((80.1 + 128) * 65535 / 255),
           round((67.2 + 128) * 65535 / 255)]
# A non-monotonic VOI table: no window can imitate it.
VOI_FIRST, VOI_ENTRIES = -2048, 4096
VOI_TABLE = [(i * 7) % 256 for i in range(VOI_ENTRIES)]


def stored():
    y, x = np.mgrid[0:ROWS, 0:COLS]
    return ((x * 37 + y * 53) % 2000 - 1000).astype(np.int16)


def base(sop_class, instance, modality):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = instance
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(None, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID, ds.SOPInstanceUID = sop_class, instance
    ds.StudyInstanceUID, ds.Modality = STUDY, modality
    ds.SeriesInstanceUID = SERIES if modality == "CT" else generate_uid()
    ds.PatientName, ds.PatientID = "GSPS^TEST", "GSPS1"
    ds.StudyDate, ds.StudyTime = "20260101", "120000"
    ds.Manufacturer = "Other Viewer Inc"
    return ds


def ct(path):
    ds = base(CT_CLASS, INSTANCE, "CT")
    ds.Rows, ds.Columns = ROWS, COLS
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 1
    ds.RescaleSlope, ds.RescaleIntercept, ds.RescaleType = 1, -1024, "HU"
    ds.WindowCenter, ds.WindowWidth = 40, 400
    ds.PixelSpacing = [0.5, 0.5]
    ds.ImagePositionPatient, ds.ImageOrientationPatient = [0, 0, 0], [1, 0, 0, 0, 1, 0]
    ds.PixelData = stored().tobytes()
    ds.save_as(path, write_like_original=False)


def state(path, **parts):
    ds = base(GSPS_CLASS, generate_uid(), "PR")
    ds.ContentLabel, ds.ContentDescription = "READER", "Written by another viewer"
    ds.ContentCreatorName = "RADIOLOGIST^ONE"
    ds.PresentationCreationDate, ds.PresentationCreationTime = "20260102", "080000"
    image = Dataset()
    image.ReferencedSOPClassUID, image.ReferencedSOPInstanceUID = CT_CLASS, INSTANCE
    series = Dataset()
    series.SeriesInstanceUID = SERIES
    series.ReferencedImageSequence = Sequence([image])
    ds.ReferencedSeriesSequence = Sequence([series])
    area = Dataset()
    area.DisplayedAreaTopLeftHandCorner = [1, 1]
    area.DisplayedAreaBottomRightHandCorner = [COLS, ROWS]
    area.PresentationSizeMode = "SCALE TO FIT"
    area.PresentationPixelAspectRatio = [1, 1]
    ds.DisplayedAreaSelectionSequence = Sequence([area])
    ds.RescaleSlope, ds.RescaleIntercept, ds.RescaleType = 1, -1024, "HU"
    ds.PresentationLUTShape = parts.get("shape", "IDENTITY")
    ds.ImageRotation = parts.get("rotation", 0)
    ds.ImageHorizontalFlip = "N"
    voi = Dataset()
    if "window" in parts:
        voi.WindowCenter, voi.WindowWidth = parts["window"]
    if parts.get("voi_lut"):
        lut = Dataset()
        lut.add(DataElement(0x00283002, "SS", [VOI_ENTRIES, VOI_FIRST, 8]))
        lut.add(DataElement(0x00283006, "US", VOI_TABLE))
        voi.VOILUTSequence = Sequence([lut])
    if len(voi):
        ds.SoftcopyVOILUTSequence = Sequence([voi])
    shapes = []
    if "circle" in parts:
        shapes.append("CIRCULAR")
        (row, col), radius = parts["circle"]
        ds.CenterOfCircularShutter, ds.RadiusOfCircularShutter = [row, col], radius
    if "rect" in parts:
        shapes.append("RECTANGULAR")
        (ds.ShutterLeftVerticalEdge, ds.ShutterRightVerticalEdge, ds.ShutterUpperHorizontalEdge,
         ds.ShutterLowerHorizontalEdge) = parts["rect"]
    if "polygon" in parts:
        shapes.append("POLYGONAL")
        ds.VerticesOfThePolygonalShutter = [v for rc in parts["polygon"] for v in rc]
    if shapes:
        ds.ShutterShape = shapes
        if "shutter_lab" in parts:
            ds.ShutterPresentationColorCIELabValue = parts["shutter_lab"]
        ds.ShutterPresentationValue = parts.get("shutter_grey", 0)
    layer = Dataset()
    layer.GraphicLayer, layer.GraphicLayerOrder = "READER", 1
    layer.GraphicLayerRecommendedDisplayCIELabValue = RED_LAB
    ds.GraphicLayerSequence = Sequence([layer])
    annotation = Dataset()
    annotation.GraphicLayer = "READER"
    if "text" in parts:
        text = Dataset()
        text.UnformattedTextValue = parts["text"]
        text.BoundingBoxAnnotationUnits = "PIXEL"
        text.BoundingBoxTopLeftHandCorner = [2.0, 2.0]
        text.BoundingBoxBottomRightHandCorner = [30.0, 10.0]
        text.BoundingBoxTextHorizontalJustification = "LEFT"
        annotation.TextObjectSequence = Sequence([text])
    if "wild" in parts:
        objects = []
        for kind, data in (("POLYLINE", [1e30, -1e30, 10.0, 10.0]), ("CIRCLE", [40.0, 32.0, 3e38, 0.0]),
                           ("ELLIPSE", [-1e30, 0.0, 1e30, 0.0, 0.0, -1e30, 0.0, 1e30])):
            g = Dataset()
            g.GraphicAnnotationUnits, g.GraphicDimensions = "PIXEL", 2
            g.NumberOfGraphicPoints, g.GraphicData = len(data) // 2, data
            g.GraphicType, g.GraphicFilled = kind, "Y"
            objects.append(g)
        annotation.GraphicObjectSequence = Sequence(objects)
        text = Dataset()
        text.UnformattedTextValue = "far away"
        text.AnchorPointAnnotationUnits, text.AnchorPoint = "DISPLAY", [-1e30, 1e30]
        text.AnchorPointVisibility = "Y"
        annotation.TextObjectSequence = Sequence([text])
    if "display_line" in parts:
        g = Dataset()
        g.GraphicAnnotationUnits, g.GraphicDimensions = "DISPLAY", 2
        g.NumberOfGraphicPoints, g.GraphicData = 2, parts["display_line"]
        g.GraphicType, g.GraphicFilled = "POLYLINE", "N"
        annotation.GraphicObjectSequence = Sequence([g])
    if len(annotation) > 1:
        ds.GraphicAnnotationSequence = Sequence([annotation])
    ds.save_as(path, write_like_original=False)


def write(d):
    ct(f"{d}/ct.dcm")
    state(f"{d}/circle.dcm", window=(100, 600), rotation=90, circle=((30, 40), 20),
          shutter_grey=0xFFFF, text="Lesion A")
    state(f"{d}/rect_polygon.dcm", window=(100, 600), rect=(11, 70, 6, 60),
          polygon=[(5, 40), (60, 75), (60, 5)], shutter_lab=RED_LAB)
    state(f"{d}/voi_lut.dcm", voi_lut=True)
    state(f"{d}/inverse.dcm", window=(100, 600), shape="INVERSE")
    state(f"{d}/display.dcm", window=(100, 600), display_line=[0.25, 0.5, 0.75, 0.5])
    # Geometry far beyond the image: drawn where it can be, never a hang.
    state(f"{d}/wild.dcm", window=(100, 600), wild=True,
          polygon=[(1, 1), (2000000000, 40), (1, -2000000000)], rect=(-5, 5000, -7, 7000))


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at)
            continue
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    assert fields[0] == b"P6" and fields[3] == b"255", fields
    w, h = int(fields[1]), int(fields[2])
    return np.frombuffer(data[at + 1:at + 1 + w * h * 3], np.uint8).reshape(h, w, 3).astype(int)


def inside_polygon(px, py, vertices):
    inside = np.zeros(px.shape, bool)
    n = len(vertices)
    for k in range(n):
        (y0, x0), (y1, x1) = vertices[k], vertices[(k + 1) % n]
        crosses = (y0 > py) != (y1 > py)
        with np.errstate(divide="ignore", invalid="ignore"):
            xs = x0 + (py - y0) * (x1 - x0) / (y1 - y0)
        inside ^= crosses & (px < xs)
    return inside


def check(case, out, ref):
    problems = []
    got = read_ppm(out)
    y, x = np.mgrid[0:ROWS, 0:COLS]
    col, row = x + 1, y + 1  # the shutters' 1-based pixel numbers
    if case == "circle":
        d = np.hypot(col - 40, row - 30)
        # The rim is left out: on it rounding decides.
        inside, outside = np.rot90(d < 19, -1), np.rot90(d > 21, -1)
        want = read_ppm(ref)
        if got.shape != want.shape:
            return [f"size {got.shape} against {want.shape}"]
        bad = inside & (got != want).any(axis=2)
        if bad.any():
            problems.append(f"{bad.sum()} pixels inside the shutter differ from the plain window")
        if not (got[outside] == 255).all():
            problems.append("pixels outside the shutter are not the shutter's white")
    elif case == "rect_polygon":
        want = read_ppm(ref)
        rect = (col >= 11) & (col <= 70) & (row >= 6) & (row <= 60)
        poly = inside_polygon(col.astype(float), row.astype(float), [(5, 40), (60, 75), (60, 5)])
        # Pixels next to an edge are left out.
        near = np.zeros_like(poly)
        for dy in (-1, 0, 1):
            for dx in (-1, 0, 1):
                near |= np.roll(np.roll(poly, dy, 0), dx, 1) != poly
        inside, outside = rect & poly & ~near, (~rect | ~poly) & ~near
        bad = inside & (got != want).any(axis=2)
        if bad.any():
            problems.append(f"{bad.sum()} pixels inside the shutters differ from the plain window")
        o = got[outside]
        if not ((o[:, 0] > 150) & (o[:, 1] < 80) & (o[:, 2] < 80)).all():
            problems.append(f"outside the shutters not red: {o[:3].tolist()}")
    elif case == "voi_lut":
        hu = stored().astype(int) - 1024
        want = np.array(VOI_TABLE)[np.clip(hu - VOI_FIRST, 0, VOI_ENTRIES - 1)]
        bad = (got != want[:, :, None]).any(axis=2)
        if bad.any():
            problems.append(f"{bad.sum()} pixels differ from the VOI table, first at "
                            f"{np.argwhere(bad)[0].tolist()}")
    elif case == "same":
        want = read_ppm(ref)
        if got.shape != want.shape or (got != want).any():
            problems.append("the pictures differ")
    elif case == "inverse":
        want = read_ppm(ref)
        if (got != 255 - want).any():
            problems.append(f"{(got != 255 - want).any(axis=2).sum()} pixels are not the inverse")
    elif case in ("text", "display"):
        # Surfaces of 320 x 320: the image fitted at 400 %.
        red = (got[:, :, 0] > 150) & (got[:, :, 1] < 80) & (got[:, :, 2] < 80)
        if case == "text":
            # The box (2, 2)-(30, 10) turned a quarter clockwise lies at the
            # top right of the 64 x 80 turned image, 32 view pixels in.
            if red[8:60, 248:286].sum() < 15:
                problems.append("no text in its box")
            if red[140:, :].any():
                problems.append("red below the text")
        else:
            # The line from 1/4 to 3/4 of the area's width, half way down.
            if not red[156:165, 150:170].any(axis=0).all():
                problems.append("no line in the middle of the area")
            if red[:, :60].any() or red[:, 262:].any() or red[:140].any() or red[180:].any():
                problems.append("red beyond the line")
    else:
        problems.append(f"unknown case {case}")
    return problems


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2])
        sys.exit(0)
    found = check(sys.argv[2], sys.argv[4], sys.argv[5] if len(sys.argv) > 5 else None)
    for p in found:
        print(p)
    sys.exit(1 if found else 0)
