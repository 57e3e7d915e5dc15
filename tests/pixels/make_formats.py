"""Writes files of the deeper pixel formats with pydicom, and what pydicom
itself decodes them to, for the frame decoder's tests.

usage: make_formats.py DIR

For every case NAME it writes DIR/NAME.dcm and either DIR/NAME.expected (the
held buffer, every frame: bytes, or little-endian words) or DIR/NAME.values
(the modality value of every sample as little-endian float64, for formats
held through a mapping).
"""
import os
import struct
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.pixel_data_handlers.util import apply_color_lut, pack_bits
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

OUT = sys.argv[1]
rng = np.random.default_rng(20240611)


def dataset(rows, columns, samples, photometric, bits, stored=None, signed=0, frames=1):
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    ds.file_meta.MediaStorageSOPInstanceUID = generate_uid()
    ds.SOPClassUID = ds.file_meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.Modality = "OT"
    ds.PatientName = "Formats^Test"
    ds.SamplesPerPixel = samples
    ds.PhotometricInterpretation = photometric
    if samples == 3:
        ds.PlanarConfiguration = 0
    if frames > 1:
        ds.NumberOfFrames = frames
    ds.Rows, ds.Columns = rows, columns
    ds.BitsAllocated = bits
    ds.BitsStored = stored or bits
    ds.HighBit = ds.BitsStored - 1
    if bits not in (32, 64) or "float" not in photometric:
        ds.PixelRepresentation = signed
    return ds


def save(name, ds, expected=None, values=None):
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.save_as(os.path.join(OUT, name + ".dcm"), write_like_original=False)
    if expected is not None:
        with open(os.path.join(OUT, name + ".expected"), "wb") as f:
            f.write(np.ascontiguousarray(expected).astype(expected.dtype.newbyteorder("<")).tobytes())
    if values is not None:
        with open(os.path.join(OUT, name + ".values"), "wb") as f:
            f.write(np.asarray(values, dtype="<f8").tobytes())


def window_rgb(px):
    """Deep colour as the viewer holds it: the file's sample range into 0 ... 255."""
    v = px.astype(np.float64)
    lo, hi = v.min(), v.max()
    return np.clip(np.round((v - lo) * 255.0 / (hi - lo)), 0, 255).astype(np.uint8)


def top_byte(lut_rgb):
    return (lut_rgb >> 8).astype(np.uint8) if lut_rgb.dtype == np.uint16 else lut_rgb.astype(np.uint8)


def palette(name, indices, bits, entries, first, tables, lut_bits=16, segmented=None):
    rows, columns = indices.shape[-2:]
    ds = dataset(rows, columns, 1, "PALETTE COLOR", bits)
    n = 0 if entries == 65536 else entries
    for colour, table in zip(("Red", "Green", "Blue"), tables):
        setattr(ds, colour + "PaletteColorLookupTableDescriptor", [n, first, lut_bits])
        if segmented is not None:
            setattr(ds, "Segmented" + colour + "PaletteColorLookupTableData",
                    np.asarray(segmented, dtype="<u2").tobytes())
        elif lut_bits == 8:
            data = np.asarray(table, dtype=np.uint8).tobytes()
            setattr(ds, colour + "PaletteColorLookupTableData", data + b"\0" * (len(data) & 1))
        else:
            setattr(ds, colour + "PaletteColorLookupTableData", np.asarray(table, dtype="<u2").tobytes())
    ds.PixelData = indices.astype(np.uint8 if bits == 8 else "<u2").tobytes()
    expected = apply_color_lut(indices, ds)
    if lut_bits == 16 and expected.max() < 256:
        expected = expected.astype(np.uint8)  # a table that stays below 256 holds 8-bit entries
    save(name, ds, expected=top_byte(expected))


# Palette colour: 8-bit indices, 16-bit entries.
idx8 = rng.integers(0, 256, (48, 64))
ramp = np.arange(256)
palette("palette8", idx8, 8, 256, 0, [ramp * 257, (255 - ramp) * 257, (ramp * 97 % 256) * 257])
# 8-bit entries, packed one byte per entry.
palette("palette8_lut8", idx8, 8, 256, 0, [ramp, 255 - ramp, ramp * 3 % 256], lut_bits=8)
# The well-known hot iron palette (8-bit entries) of pydicom's palette files.
hot = pydicom.dcmread(os.path.join(os.path.dirname(pydicom.__file__), "data", "palettes", "hotiron.dcm"))
hot_tables = [np.frombuffer(getattr(hot, c + "PaletteColorLookupTableData"), dtype=np.uint8)
              for c in ("Red", "Green", "Blue")]
palette("palette_hotiron", idx8, 8, 256, 0, hot_tables, lut_bits=8)
# 16-bit indices from below the first mapped value to past the last entry.
idx16 = rng.integers(0, 1300, (40, 50))
e = np.arange(1000)
palette("palette16", idx16, 16, 1000, 100, [e * 60, 65535 - e * 60, (e * 641) % 65536])
# 65536 entries, written as 0 in the descriptor.
idxfull = rng.integers(0, 65536, (32, 32))
f = np.arange(65536)
palette("palette65536", idxfull, 16, 65536, 0, [f, 65535 - f, (f * 7) % 65536])
# Segmented: a discrete segment, a linear one, and an indirect copy of both
# (128 entries in all).
seg = [0, 3, 0, 1000, 2000, 1, 61, 40000, 2, 2, 0, 0]
palette("palette_segmented", rng.integers(0, 128, (20, 30)), 8, 128, 0, [None] * 3, segmented=seg)

# Deep colour: 16-bit samples (12 stored bits and 16), 32-bit samples.
for stored in (12, 16):
    px = rng.integers(0, 1 << stored, (30, 40, 3))
    ds = dataset(30, 40, 3, "RGB", 16, stored)
    ds.PixelData = px.astype("<u2").tobytes()
    save("rgb48_%d" % stored, ds, expected=window_rgb(px))
# Samples in a narrow band of the stored depth: the window spreads them.
px = rng.integers(1000, 1300, (30, 40, 3))
ds = dataset(30, 40, 3, "RGB", 16, 16)
ds.PixelData = px.astype("<u2").tobytes()
save("rgb48_narrow", ds, expected=window_rgb(px))
px = rng.integers(0, 1 << 32, (20, 25, 3), dtype=np.uint64)
ds = dataset(20, 25, 3, "RGB", 32)
ds.PixelData = px.astype("<u4").tobytes()
save("rgb96", ds, expected=window_rgb(px))

# Signed 8-bit grey: held as words.
px = rng.integers(-128, 128, (2, 20, 30))
ds = dataset(20, 30, 1, "MONOCHROME2", 8, signed=1, frames=2)
ds.PixelData = px.astype(np.int8).tobytes()
save("int8", ds, expected=px.astype("<i2"))

# 32-bit integers: a range wider than a word (signed, with a rescale) and a
# narrow one (held exactly).
px = rng.integers(-100000, 100000, (3, 16, 24))
ds = dataset(16, 24, 1, "MONOCHROME2", 32, signed=1, frames=3)
ds.RescaleSlope, ds.RescaleIntercept = 0.5, -10
ds.PixelData = px.astype("<i4").tobytes()
save("int32_wide", ds, values=px * 0.5 - 10)
px = rng.integers(3000000, 3050000, (16, 24))
ds = dataset(16, 24, 1, "MONOCHROME2", 32)
ds.PixelData = px.astype("<u4").tobytes()
save("uint32_narrow", ds, values=px)

# Float and double pixel data (parametric maps), with a NaN.
for bits, name in ((32, "float32"), (64, "float64")):
    v = rng.normal(0.0015, 0.0006, (2, 18, 22))
    v[0, 0, 0] = np.nan
    ds = dataset(18, 22, 1, "MONOCHROME2", bits, frames=2)
    del ds.PixelRepresentation
    data = v.astype("<f4" if bits == 32 else "<f8").tobytes()
    if bits == 32:
        ds.FloatPixelData = data
    else:
        ds.DoubleFloatPixelData = data
    vals = v.astype("<f4" if bits == 32 else "<f8").astype(np.float64)
    vals[0, 0, 0] = 0.0  # NaN is held as the bottom of the range
    vals[0, 0, 0] = np.nanmin(vals)
    save(name, ds, values=vals)

# 1-bit frames of 13 x 7 pixels: 91 bits each, so frames start inside bytes.
bits = rng.integers(0, 2, (3, 7, 13)).astype(np.uint8)
ds = dataset(7, 13, 1, "MONOCHROME2", 1, frames=3)
ds.PixelData = pack_bits(bits.ravel())
save("bits1", ds, expected=(bits * 255).astype(np.uint8))

# Deflated Image Frame Compression: each frame a raw deflate stream (one with
# a zlib header, as some writers do), encapsulated one fragment per frame.
import zlib
from pydicom.encaps import encapsulate

DEFLATED_FRAMES = "1.2.840.10008.1.2.8.1"


def deflated_frames(name, ds, frames, zlib_header_frame=-1, cut_last=False):
    streams = []
    for i, f in enumerate(frames):
        if i == zlib_header_frame:
            streams.append(zlib.compress(f, 9))
        else:
            c = zlib.compressobj(9, zlib.DEFLATED, -15)
            streams.append(c.compress(f) + c.flush())
    if cut_last:
        streams[-1] = streams[-1][: len(streams[-1]) // 2]
    # pydicom writes only syntaxes it knows: one of the same length, put
    # right after saving (see patch_syntax).
    ds.file_meta.TransferSyntaxUID = "1.2.840.10008.1.2.4.50"
    ds.PixelData = encapsulate(streams, has_bot=False)
    ds["PixelData"].is_undefined_length = True
    ds["PixelData"].VR = "OB"


def patch_syntax(name):
    path = os.path.join(OUT, name + ".dcm")
    with open(path, "rb") as f:
        data = f.read()
    data = data.replace(b"1.2.840.10008.1.2.4.50", DEFLATED_FRAMES.encode() + b"\0", 1)
    with open(path, "wb") as f:
        f.write(data)


px = rng.integers(0, 4096, (3, 24, 32))
ds = dataset(24, 32, 1, "MONOCHROME2", 16, 12, frames=3)
deflated_frames("deflated_u16", ds, [f.astype("<u2").tobytes() for f in px], zlib_header_frame=1)
save("deflated_u16", ds, expected=px.astype("<u2"))
patch_syntax("deflated_u16")
ds = dataset(24, 32, 1, "MONOCHROME2", 16, 12, frames=3)
deflated_frames("deflated_cut", ds, [f.astype("<u2").tobytes() for f in px], cut_last=True)
save("deflated_cut", ds)
patch_syntax("deflated_cut")
v = rng.normal(40.0, 9.0, (2, 12, 16))
ds = dataset(12, 16, 1, "MONOCHROME2", 32, frames=2)
del ds.PixelRepresentation
deflated_frames("deflated_float", ds, [f.astype("<f4").tobytes() for f in v])
ds.FloatPixelData = ds.PixelData
del ds.PixelData
ds["FloatPixelData"].is_undefined_length = True
save("deflated_float", ds, values=v.astype("<f4").astype(np.float64))
patch_syntax("deflated_float")
seg = rng.integers(0, 2, (2, 10, 16)).astype(np.uint8)
ds = dataset(10, 16, 1, "MONOCHROME2", 1, frames=2)
deflated_frames("deflated_bits", ds, [pack_bits(f.ravel()) for f in seg])
save("deflated_bits", ds, expected=(seg * 255).astype(np.uint8))
patch_syntax("deflated_bits")


# Deflated data sets: one with a zlib header (against the standard), and a
# bomb far beyond what its size allows.
def deflated_file(name, data_set_bytes, wrap):
    from io import BytesIO
    from pydicom.filewriter import write_file_meta_info
    meta = FileMetaDataset()
    meta.TransferSyntaxUID = "1.2.840.10008.1.2.1.99"
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    meta.MediaStorageSOPInstanceUID = generate_uid()
    buf = BytesIO()
    buf.write(b"\0" * 128 + b"DICM")
    write_file_meta_info(buf, meta, enforce_standard=True)
    with open(os.path.join(OUT, name + ".dcm"), "wb") as f:
        f.write(buf.getvalue() + wrap(data_set_bytes))


def explicit_bytes(ds):
    from io import BytesIO
    from pydicom.filebase import DicomFileLike
    from pydicom.filewriter import write_dataset
    buf = DicomFileLike(BytesIO())
    buf.is_little_endian, buf.is_implicit_VR = True, False
    write_dataset(buf, ds)
    return buf.parent.getvalue()


px = rng.integers(0, 65536, (2, 20, 20))
ds = dataset(20, 20, 1, "MONOCHROME2", 16, frames=2)
ds.PixelData = px.astype("<u2").tobytes()
deflated_file("dataset_zlib", explicit_bytes(ds), lambda b: zlib.compress(b, 6))
with open(os.path.join(OUT, "dataset_zlib.expected"), "wb") as f:
    f.write(px.astype("<u2").tobytes())
# 96 MB of zeros in some 93 KB: past the 64 MiB + 256 x 93 KB allowed.
ds = dataset(4000, 4000, 1, "MONOCHROME2", 8, frames=6)
ds.PixelData = bytes(4000 * 4000 * 6)
bomb = zlib.compressobj(9, zlib.DEFLATED, -15)
deflated_file("dataset_bomb", explicit_bytes(ds), lambda b: bomb.compress(b) + bomb.flush())
