"""Reads a presentation state or key object selection with pydicom and checks
it against what the test expects (a JSON file).

usage: state_oracle.py gsps STATE.dcm IMAGE.dcm EXPECTED.json
       state_oracle.py kos KOS.dcm EXPECTED.json
Prints every mismatch and exits 1 when there is one."""
import json
import sys

import pydicom

problems = []


def check(what, got, want):
    if got != want:
        problems.append(f"{what}: {got!r}, expected {want!r}")


def close(a, b):
    return abs(float(a) - float(b)) < 1e-3


def gsps(state_path, image_path, expected):
    ds = pydicom.dcmread(state_path)
    im = pydicom.dcmread(image_path, stop_before_pixels=True)
    check("SOP class", ds.SOPClassUID, expected["sop_class"])
    check("file meta SOP instance", ds.file_meta.MediaStorageSOPInstanceUID, ds.SOPInstanceUID)
    check("modality", ds.Modality, "PR")
    check("study", ds.StudyInstanceUID, im.StudyInstanceUID)
    check("patient id", ds.PatientID, im.PatientID)
    check("patient name", str(ds.PatientName), str(im.PatientName))
    if ds.SeriesInstanceUID == im.SeriesInstanceUID:
        problems.append("the state shares the image's series")
    check("presentation LUT shape", ds.get("PresentationLUTShape"), "IDENTITY")
    for keyword in ("ContentLabel", "PresentationCreationDate", "PresentationCreationTime",
                    "DisplayedAreaSelectionSequence", "GraphicLayerSequence"):
        if keyword not in ds:
            problems.append(f"{keyword} missing")
    series = ds.ReferencedSeriesSequence
    check("referenced series", [s.SeriesInstanceUID for s in series], [im.SeriesInstanceUID])
    check("referenced images", [r.ReferencedSOPInstanceUID for r in series[0].ReferencedImageSequence],
          [im.SOPInstanceUID])
    check("referenced class", series[0].ReferencedImageSequence[0].ReferencedSOPClassUID,
          im.SOPClassUID)
    voi = ds.SoftcopyVOILUTSequence
    check("windows", len(voi), 1)
    if not close(voi[0].WindowCenter, expected["center"]) or not close(voi[0].WindowWidth, expected["width"]):
        problems.append(f"window {voi[0].WindowCenter}/{voi[0].WindowWidth}, expected "
                        f"{expected['center']}/{expected['width']}")
    layers = {l.GraphicLayer for l in ds.GraphicLayerSequence}
    anns = ds.GraphicAnnotationSequence
    check("annotation items", len(anns), 1)
    ann = anns[0]
    if ann.GraphicLayer not in layers:
        problems.append(f"layer {ann.GraphicLayer} not in the layer sequence")
    check("annotated image", [r.ReferencedSOPInstanceUID for r in ann.ReferencedImageSequence],
          [im.SOPInstanceUID])
    graphics = []
    for g in ann.GraphicObjectSequence:
        check("units", g.GraphicAnnotationUnits, "PIXEL")
        check("dimensions", g.GraphicDimensions, 2)
        data = [float(v) for v in g.GraphicData]
        check("points vs data", 2 * g.NumberOfGraphicPoints, len(data))
        graphics.append({"type": g.GraphicType, "points": data})
    check("graphic count", len(graphics), len(expected["graphics"]))
    for got, want in zip(graphics, expected["graphics"]):
        check("graphic type", got["type"], want["type"])
        if len(got["points"]) != len(want["points"]) or not all(
                close(a, b) for a, b in zip(got["points"], want["points"])):
            problems.append(f"{got['type']} at {got['points']}, expected {want['points']}")
    texts = list(ann.get("TextObjectSequence", []))

    def fits(t, want):
        if want["contains"] not in t.UnformattedTextValue:
            return False
        if "anchor" in want:
            if t.get("AnchorPointAnnotationUnits") != "PIXEL" or "AnchorPoint" not in t:
                return False
            if not all(close(a, b) for a, b in zip(t.AnchorPoint, want["anchor"])):
                return False
        if "box" in want:
            if t.get("BoundingBoxAnnotationUnits") != "PIXEL":
                return False
            box = list(t.BoundingBoxTopLeftHandCorner) + list(t.BoundingBoxBottomRightHandCorner)
            if not all(close(a, b) for a, b in zip(box, want["box"])):
                return False
        return True

    for want in expected["texts"]:
        if not any(fits(t, want) for t in texts):
            problems.append(f"no text as {want}; texts: " +
                            "; ".join(repr(t.UnformattedTextValue) for t in texts))


def kos(path, expected):
    ds = pydicom.dcmread(path)
    check("SOP class", ds.SOPClassUID, "1.2.840.10008.5.1.4.1.1.88.59")
    check("modality", ds.Modality, "KO")
    check("study", ds.StudyInstanceUID, expected["study"])
    title = ds.ConceptNameCodeSequence[0]
    check("title", (title.CodeValue, title.CodingSchemeDesignator, title.CodeMeaning),
          tuple(expected["title"]))
    check("value type", ds.ValueType, "CONTAINER")
    refs = []
    for item in ds.ContentSequence:
        if item.ValueType == "IMAGE":
            check("relationship", item.RelationshipType, "CONTAINS")
            r = item.ReferencedSOPSequence[0]
            refs.append(r.ReferencedSOPInstanceUID)
    check("referenced images", refs, expected["images"])
    evidence = []
    for st in ds.CurrentRequestedProcedureEvidenceSequence:
        check("evidence study", st.StudyInstanceUID, expected["study"])
        for se in st.ReferencedSeriesSequence:
            evidence += [r.ReferencedSOPInstanceUID for r in se.ReferencedSOPSequence]
    check("evidence", sorted(evidence), sorted(expected["images"]))


if __name__ == "__main__":
    if sys.argv[1] == "gsps":
        gsps(sys.argv[2], sys.argv[3], json.load(open(sys.argv[4])))
    else:
        kos(sys.argv[2], json.load(open(sys.argv[3])))
    for p in problems:
        print(p)
    sys.exit(1 if problems else 0)
