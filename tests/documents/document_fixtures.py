"""Writes the documents the document tests read, as other producers write them:

  two_pages.pdf    a valid PDF of two pages, even length
  odd.pdf          a valid PDF of one page, odd length
  cda.dcm          Encapsulated CDA (text/XML) with a title, two sections and
                   a coded entry, patient DOC^CDA
  latin1_cda.dcm   Encapsulated CDA in ISO 8859-1, as its XML declaration says
  unpadded.dcm     Encapsulated PDF of odd.pdf without Encapsulated Document
                   Length: the value is the PDF and one NUL
  notpdf.dcm       Encapsulated PDF whose document is plain text
  badpdf.dcm       Encapsulated PDF with a PDF header and no PDF after it
  stl.dcm          Encapsulated STL, three bytes of a model, with a length
  claims.dcm       Encapsulated PDF whose value claims more bytes than the file

The PDFs are made into DICOM by the tests themselves, with DCMTK's pdf2dcm.

usage: document_fixtures.py FOLDER
"""
import os
import struct
import sys

from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian

STUDY = "1.2.826.0.1.3680043.9.7133.27"
PDF_CLASS = "1.2.840.10008.5.1.4.1.1.104.1"
CDA_CLASS = "1.2.840.10008.5.1.4.1.1.104.2"
STL_CLASS = "1.2.840.10008.5.1.4.1.1.104.3"


def minimal_pdf(pages, odd):
    """A PDF with a correct cross-reference table; a comment pads it to the
    wanted parity."""
    for pad in (b"", b"%x\n"):
        objs = [b"<< /Type /Catalog /Pages 2 0 R >>"]
        kids = " ".join("%d 0 R" % (3 + 2 * i) for i in range(pages))
        objs.append(("<< /Type /Pages /Kids [%s] /Count %d >>" % (kids, pages)).encode())
        font = 3 + 2 * pages
        for i in range(pages):
            content = ("BT /F1 24 Tf 72 720 Td (Page %d) Tj ET" % (i + 1)).encode()
            objs.append(("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                         "/Contents %d 0 R /Resources << /Font << /F1 %d 0 R >> >> >>" %
                         (4 + 2 * i, font)).encode())
            objs.append(b"<< /Length %d >>\nstream\n" % len(content) + content +
                        b"\nendstream")
        objs.append(b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
        out = b"%PDF-1.4\n" + pad
        offsets = []
        for n, body in enumerate(objs, 1):
            offsets.append(len(out))
            out += b"%d 0 obj\n" % n + body + b"\nendobj\n"
        xref = len(out)
        out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
        for off in offsets:
            out += b"%010d 00000 n \n" % off
        out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (
            len(objs) + 1, xref)
        if (len(out) % 2 == 1) == odd:
            return out
    raise AssertionError("no parity")


CDA = """<?xml version="1.0" encoding="UTF-8"?>
<ClinicalDocument xmlns="urn:hl7-org:v3">
  <id root="2.16.840.1.113883.19.5" extension="c266"/>
  <code code="11488-4" codeSystem="2.16.840.1.113883.6.1" displayName="Consultation note"/>
  <title>Consultation &amp; Referral</title>
  <recordTarget><patientRole><patient><name><given>Ann</given><family>Cda</family></name>
  </patient></patientRole></recordTarget>
  <component><structuredBody>
    <component><section>
      <title>History</title>
      <text><paragraph>Chest pain since <content>Monday</content>.</paragraph>
        <list><item>No fever</item><item>No cough</item></list></text>
      <entry><observation classCode="OBS"><value xsi:type="CD" code="CODE123"/>
        <originalText>hidden coded entry</originalText></observation></entry>
    </section></component>
    <component><section>
      <title>Plan</title>
      <text><table><tr><th>Test</th><th>When</th></tr>
        <tr><td>ECG</td><td>today</td></tr></table></text>
    </section></component>
  </structuredBody></component>
</ClinicalDocument>
"""


def document(folder, name, sop_class, number, mime, value, title, length=None):
    uid = STUDY + ".2." + str(number)
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = uid
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(os.path.join(folder, name), {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SpecificCharacterSet = "ISO_IR 192"
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = uid
    ds.PatientName = "DOC^CDA"
    ds.PatientID = "DOC27"
    ds.StudyInstanceUID = STUDY
    ds.StudyDate = "20261211"
    ds.StudyTime = "093000"
    ds.StudyID = "27"
    ds.AccessionNumber = ""
    ds.Modality = "DOC"
    ds.SeriesInstanceUID = STUDY + ".1." + str(number)
    ds.SeriesNumber = 90 + number
    ds.InstanceNumber = 1
    ds.ContentDate = "20261211"
    ds.ContentTime = "093500"
    ds.DocumentTitle = title
    ds.MIMETypeOfEncapsulatedDocument = mime
    if length is not None:
        ds.EncapsulatedDocumentLength = length
    ds.EncapsulatedDocument = value
    ds.save_as(os.path.join(folder, name), write_like_original=False)
    return os.path.join(folder, name)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    two = minimal_pdf(2, odd=False)
    odd = minimal_pdf(1, odd=True)
    with open(os.path.join(folder, "two_pages.pdf"), "wb") as f:
        f.write(two)
    with open(os.path.join(folder, "odd.pdf"), "wb") as f:
        f.write(odd)
    cda = CDA.encode()
    document(folder, "cda.dcm", CDA_CLASS, 1, "text/XML", cda + (b" " if len(cda) % 2 else b""),
             "Consultation note", len(cda))
    latin = ("<?xml version='1.0' encoding='ISO-8859-1'?>\n<ClinicalDocument>"
             "<title>Befund</title><component><structuredBody><component><section>"
             "<title>Gef\u00e4\u00dfe</title><text>\u00dcberweisung</text></section>"
             "</component></structuredBody></component></ClinicalDocument>\n").encode("latin-1")
    document(folder, "latin1_cda.dcm", CDA_CLASS, 7, "text/XML", latin, "Befund", len(latin))
    document(folder, "unpadded.dcm", PDF_CLASS, 2, "application/pdf", odd + b"\0", "Unpadded")
    text = b"This is plain text, no PDF\n"
    document(folder, "notpdf.dcm", PDF_CLASS, 3, "application/pdf", text, "Not a PDF", len(text))
    broken = b"%PDF-1.4\nthis is no PDF body at all\n%%EOF\n"
    document(folder, "badpdf.dcm", PDF_CLASS, 6, "application/pdf", broken, "Broken", len(broken))
    document(folder, "stl.dcm", STL_CLASS, 4, "model/stl", b"sol\0", "Model", 3)
    # The value's length field says 1 MiB; the file ends after 8 bytes of it.
    path = document(folder, "claims.dcm", PDF_CLASS, 5, "application/pdf", two[:8],
                    "Claims", 1 << 20)
    with open(path, "rb") as f:
        data = bytearray(f.read())
    at = data.rfind(b"\x42\x00\x11\x00OB\0\0")
    assert at >= 0
    struct.pack_into("<I", data, at + 8, 1 << 20)
    with open(path, "wb") as f:
        f.write(bytes(data))


if __name__ == "__main__":
    main()
