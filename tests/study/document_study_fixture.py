"""Writes a study that holds documents beside an image, as a folder and as a
DICOMDIR medium (pydicom's FileSet):

  folder/ct.dcm    pydicom's CT_small, patient DOC^STUDY / DOC27
  folder/sr.dcm    pydicom's test-SR.dcm, moved into the CT's study
  folder/ecg.dcm   pydicom's waveform_ecg.dcm, same patient, a study of its own
  folder/pdf1.dcm  Encapsulated PDF "Referral letter", instance 2, in the CT's study
  folder/pdf2.dcm  Encapsulated PDF "Consent", instance 1, same series as pdf1
  medium/          the same five files and a DICOMDIR

usage: document_study_fixture.py DIR SAMPLE_DIR
"""
import os
import sys

import pydicom
from pydicom.fileset import FileSet

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "documents"))
import document_fixtures  # noqa: E402

PDF_CLASS = "1.2.840.10008.5.1.4.1.1.104.1"


def main():
    out, samples = sys.argv[1], sys.argv[2]
    folder = os.path.join(out, "folder")
    os.makedirs(folder, exist_ok=True)
    ct = pydicom.dcmread(os.path.join(samples, "CT_small.dcm"))
    ct.PatientName = "DOC^STUDY"
    ct.PatientID = "DOC27"
    ct.save_as(os.path.join(folder, "ct.dcm"))
    study = ct.StudyInstanceUID

    sr = pydicom.dcmread(os.path.join(samples, "test-SR.dcm"))
    sr.PatientName, sr.PatientID = ct.PatientName, ct.PatientID
    sr.StudyInstanceUID, sr.StudyID, sr.StudyDate = study, ct.StudyID, ct.StudyDate
    sr.StudyTime, sr.SeriesNumber = ct.StudyTime, 5
    sr.save_as(os.path.join(folder, "sr.dcm"))

    ecg = pydicom.dcmread(os.path.join(samples, "waveform_ecg.dcm"))
    ecg.PatientName, ecg.PatientID = ct.PatientName, ct.PatientID
    ecg.SeriesNumber = ecg.get("SeriesNumber") or 1
    ecg.save_as(os.path.join(folder, "ecg.dcm"))

    pdf = document_fixtures.minimal_pdf(2, odd=False)
    for name, number, title in (("pdf1.dcm", 2, "Referral letter"), ("pdf2.dcm", 1, "Consent")):
        path = document_fixtures.document(folder, name, PDF_CLASS, 10 + number,
                                          "application/pdf", pdf, title, len(pdf))
        ds = pydicom.dcmread(path)
        ds.PatientName, ds.PatientID = ct.PatientName, ct.PatientID
        ds.StudyInstanceUID, ds.StudyID, ds.StudyDate = study, ct.StudyID, ct.StudyDate
        ds.StudyTime = ct.StudyTime
        ds.SeriesInstanceUID = study + ".77"
        ds.SeriesNumber = 77
        ds.InstanceNumber = number
        ds.save_as(path)

    fileset = FileSet()
    for name in sorted(os.listdir(folder)):
        fileset.add(os.path.join(folder, name))
    fileset.write(os.path.join(out, "medium"))


if __name__ == "__main__":
    main()
