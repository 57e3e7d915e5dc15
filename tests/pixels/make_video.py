"""Wraps a video elementary stream into a DICOM file with pydicom, for the
video decoder's tests.

usage: make_video.py STREAM OUT UID ROWS COLUMNS FRAMES [options]
  --fragments N       split the stream into N fragments at uneven points
  --frame-time MS     Frame Time (0018,1063)
  --bits N            Bits Allocated and Stored (Main 10 writers say 16/10)
  --photometric NAME  default YBR_PARTIAL_420
  --cut N             drop the last N bytes of the file (a truncated copy)
  --repeat N          the stream N times over, one fragment each (a long
                      video; the stream must begin with a clean start)
"""
import argparse
import struct

import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import generate_uid

p = argparse.ArgumentParser()
p.add_argument("stream")
p.add_argument("out")
p.add_argument("uid")
p.add_argument("rows", type=int)
p.add_argument("columns", type=int)
p.add_argument("frames", type=int)
p.add_argument("--fragments", type=int, default=1)
p.add_argument("--frame-time", type=float)
p.add_argument("--bits", type=int, default=8)
p.add_argument("--photometric", default="YBR_PARTIAL_420")
p.add_argument("--cut", type=int, default=0)
p.add_argument("--repeat", type=int, default=1)
a = p.parse_args()

stream = open(a.stream, "rb").read()
if len(stream) % 2:
    stream += b"\0"

# Uneven split points (every fragment even in length, as the standard wants),
# so fragment boundaries fall inside start codes and access units.
cuts = [0]
for k in range(1, a.fragments):
    at = len(stream) * k // a.fragments + (k * 37) % 101
    at -= at % 2
    if cuts[-1] < at < len(stream):
        cuts.append(at)
cuts.append(len(stream))


def item(data):
    return b"\xfe\xff\x00\xe0" + struct.pack("<I", len(data)) + data


ds = Dataset()
ds.file_meta = FileMetaDataset()
ds.file_meta.TransferSyntaxUID = a.uid
ds.file_meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.77.1.1.1"
ds.file_meta.MediaStorageSOPInstanceUID = generate_uid()
ds.SOPClassUID = ds.file_meta.MediaStorageSOPClassUID
ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID
ds.is_little_endian = True
ds.is_implicit_VR = False
ds.Modality = "ES"
ds.PatientName = "Video^Test"
ds.PatientID = "VIDEO"
ds.StudyInstanceUID = generate_uid()
ds.SeriesInstanceUID = generate_uid()
ds.InstanceNumber = 1
ds.SamplesPerPixel = 3
ds.PhotometricInterpretation = a.photometric
ds.PlanarConfiguration = 0
ds.Rows = a.rows
ds.Columns = a.columns
ds.BitsAllocated = a.bits
ds.BitsStored = a.bits if a.bits == 8 else 10
ds.HighBit = ds.BitsStored - 1
ds.PixelRepresentation = 0
ds.NumberOfFrames = a.frames
ds.FrameIncrementPointer = 0x00181063 if a.frame_time else 0x00280008
if a.frame_time:
    ds.FrameTime = a.frame_time
ds.save_as(a.out, write_like_original=False)

# The pixel data is appended as it is written, so a long video never sits in
# memory whole.
with open(a.out, "ab") as out:
    out.write(b"\xe0\x7f\x10\x00OB\0\0\xff\xff\xff\xff")
    out.write(item(b""))  # empty offset table
    for _ in range(a.repeat):
        for s, e in zip(cuts, cuts[1:]):
            out.write(item(stream[s:e]))
    out.write(b"\xfe\xff\xdd\xe0" + struct.pack("<I", 0))

if a.cut:
    data = open(a.out, "rb").read()
    open(a.out, "wb").write(data[: len(data) - a.cut])
