"""Inputs for the JPEG XL tests.

usage: jpegxl_fixture.py png IN.pnm OUT.png
         A PGM/PPM of any maxval 2^n - 1 as a PNG whose sBIT chunk names the
         depth: cjxl 0.7 reads other PNM depths into the wrong range, and
         takes a PNG's significant bits as the stream's depth.
       jpegxl_fixture.py wrap OUT.dcm TRANSFER_SYNTAX ROWS COLUMNS SAMPLES
                         BITS_ALLOCATED BITS_STORED PIXEL_REPRESENTATION
                         PHOTOMETRIC FRAME.jxl...
         Streams wrapped into a secondary capture file, one fragment per frame.
"""
import struct
import sys
import zlib

import numpy as np


def png(source, target):
    data = open(source, "rb").read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    at += 1
    channels = 3 if fields[0] == b"P6" else 1
    width, height, maxval = int(fields[1]), int(fields[2]), int(fields[3])
    bits = maxval.bit_length()
    wide = maxval > 255
    samples = np.frombuffer(data[at:], ">u2" if wide else "u1")[: width * height * channels]
    depth = 16 if wide else 8
    top = (1 << depth) - 1
    scaled = (samples.astype(np.uint64) * top + maxval // 2) // maxval
    rows = scaled.astype(">u2" if wide else "u1").reshape(height, -1)
    raw = b"".join(b"\0" + row.tobytes() for row in rows)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    colour = 2 if channels == 3 else 0
    out = b"\x89PNG\r\n\x1a\n"
    out += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0))
    out += chunk(b"sBIT", bytes([bits] * channels))
    out += chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")
    open(target, "wb").write(out)


def wrap(args):
    from pydicom._uid_dict import UID_dictionary
    from pydicom.dataset import Dataset, FileMetaDataset
    from pydicom.encaps import encapsulate
    from pydicom.uid import generate_uid

    out, syntax = args[0], args[1]
    # pydicom 2.3 predates the JPEG XL syntaxes: known, it writes them as the
    # compressed syntaxes they are.
    UID_dictionary.setdefault(syntax, ("JPEG XL", "Transfer Syntax", "", "", "JPEGXL"))
    rows, columns, samples, allocated, stored, signed = map(int, args[2:8])
    photometric = args[8]
    frames = [open(f, "rb").read() for f in args[9:]]
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = syntax
    ds.file_meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    ds.file_meta.MediaStorageSOPInstanceUID = generate_uid()
    ds.SOPClassUID = ds.file_meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID
    ds.StudyInstanceUID = generate_uid()
    ds.SeriesInstanceUID = generate_uid()
    ds.Modality = "OT"
    ds.PatientName = "JpegXl^Test"
    ds.PatientID = "JXL"
    ds.SamplesPerPixel = samples
    ds.PhotometricInterpretation = photometric
    if samples == 3:
        ds.PlanarConfiguration = 0
    ds.Rows = rows
    ds.Columns = columns
    ds.BitsAllocated = allocated
    ds.BitsStored = stored
    ds.HighBit = stored - 1
    ds.PixelRepresentation = signed
    if len(frames) > 1:
        ds.NumberOfFrames = len(frames)
    ds.PixelData = encapsulate(frames)
    ds["PixelData"].VR = "OB"
    ds["PixelData"].is_undefined_length = True
    # The data set itself is explicit little endian; only the meta
    # information names the compressed syntax.
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.save_as(out, write_like_original=False)


if sys.argv[1] == "png":
    png(sys.argv[2], sys.argv[3])
else:
    wrap(sys.argv[2:])
