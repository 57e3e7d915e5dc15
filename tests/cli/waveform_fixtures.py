#!/usr/bin/python3
"""Waveform objects written with pydicom for the waveform tests.

  waveform_fixtures.py DIR
      Writes into DIR:
        ecg12.dcm   12-lead ECG, 16-bit SS, 10 s at 500 Hz plus a median beat
                    group; per-lead baseline and correction factor, text and
                    positional annotations
        hemo.dcm    hemodynamic: an ECG lead (16-bit SS, mV) and two pressures
                    (mm[Hg], 16-bit US with a negative baseline)
        sb8.dcm     general ECG, 8-bit SB, implicit VR
        sl32.dcm    general ECG, 32-bit SL, one channel without a sensitivity
        ul32.dcm    32-bit UL in a second group beside a 16-bit one
        mismatch.dcm  12 channels declared, 8 defined and stored
        nochannels.dcm  a group with zero channels beside a good one
        huge.dcm    2^31 samples declared over 64 bytes of data
        truncated.dcm  ecg12.dcm cut in the middle of its samples
"""
import math
import os
import sys

import numpy
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian

LEADS = [("5.6.3-9-1", "Lead I (Einthoven)"), ("5.6.3-9-2", "Lead II"),
         ("5.6.3-9-61", "Lead III"), ("5.6.3-9-62", "Lead aVR"),
         ("5.6.3-9-63", "Lead aVL"), ("5.6.3-9-64", "Lead aVF"),
         ("5.6.3-9-3", "Lead V1"), ("5.6.3-9-4", "Lead V2"),
         ("5.6.3-9-5", "Lead V3"), ("5.6.3-9-6", "Lead V4"),
         ("5.6.3-9-7", "Lead V5"), ("5.6.3-9-8", "Lead V6")]


def code(value, scheme, meaning):
    c = Dataset()
    c.CodeValue = value
    c.CodingSchemeDesignator = scheme
    c.CodeMeaning = meaning
    return c


def new_file(path, sop_class, implicit=False):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = "1.2.826.0.1.3680043.9.7133.3." + str(abs(hash(path)) % 10**9)
    meta.TransferSyntaxUID = ImplicitVRLittleEndian if implicit else ExplicitVRLittleEndian
    ds = FileDataset(path, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian = True
    ds.is_implicit_VR = implicit
    ds.SpecificCharacterSet = "ISO_IR 192"
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = "ECG"
    ds.PatientName = "Müller^Anna"
    ds.PatientID = "WF-1"
    ds.PatientBirthDate = "19600203"
    ds.PatientSex = "F"
    ds.StudyInstanceUID = "1.2.826.0.1.3680043.9.7133.3.1"
    ds.SeriesInstanceUID = "1.2.826.0.1.3680043.9.7133.3.2"
    ds.AcquisitionDateTime = "20261211093000"
    ds.ContentDate = "20261211"
    ds.ContentTime = "093000"
    return ds


def channel(label_code=None, label=None, sens=None, units=None, corr=None, base=None,
            bits_stored=None, filters=True):
    ch = Dataset()
    if label_code:
        ch.ChannelSourceSequence = Sequence([code(label_code[0], "SCPECG", label_code[1])])
    else:
        ch.ChannelSourceSequence = Sequence([code("unknown", "99TEST", "Unknown source")])
    if label:
        ch.ChannelLabel = label
    if sens is not None:
        ch.ChannelSensitivity = sens
        ch.ChannelSensitivityUnitsSequence = Sequence([code(units[0], "UCUM", units[1])])
    if corr is not None:
        ch.ChannelSensitivityCorrectionFactor = corr
    if base is not None:
        ch.ChannelBaseline = base
    ch.ChannelSampleSkew = "0"
    if bits_stored:
        ch.WaveformBitsStored = bits_stored
    if filters:
        ch.FilterLowFrequency = "0.05"
        ch.FilterHighFrequency = "150"
        ch.NotchFilterFrequency = "50"
    return ch


def group(label, freq, data, channels, interp, bits, padding=None):
    """data: numpy array (samples, channels) of the stored dtype."""
    g = Dataset()
    g.MultiplexGroupTimeOffset = "0"
    g.WaveformOriginality = "ORIGINAL"
    g.NumberOfWaveformChannels = data.shape[1] if data.ndim == 2 else channels
    g.NumberOfWaveformSamples = data.shape[0]
    g.SamplingFrequency = freq
    g.MultiplexGroupLabel = label
    g.ChannelDefinitionSequence = Sequence(channels if isinstance(channels, list) else [])
    g.WaveformBitsAllocated = bits
    g.WaveformSampleInterpretation = interp
    if padding is not None:
        g.WaveformPaddingValue = padding
    raw = data.astype(data.dtype.newbyteorder("<")).tobytes()
    if len(raw) % 2:
        raw += b"\0"
    g.WaveformData = raw
    return g


def ecg_signal(samples, freq, lead):
    t = numpy.arange(samples) / freq
    beat = numpy.exp(-((t % 0.8) - 0.3) ** 2 / 0.0004)  # an R wave every 0.8 s
    return (beat * (400 + 60 * lead) - 50 + 20 * numpy.sin(2 * math.pi * t * (lead + 1)))


def write_ecg12(d):
    ds = new_file(os.path.join(d, "ecg12.dcm"), "1.2.840.10008.5.1.4.1.1.9.1.1")
    freq, n = 500, 5000
    chans, cols = [], []
    for i, lead in enumerate(LEADS):
        sens = ["2.5", "1.25", "5"][i % 3]
        corr = ["1", "0.98", "1.02"][i % 3]
        base = ["0", "-3", "12.5"][i % 3]
        chans.append(channel(lead, sens=sens, units=("uV", "microvolt"), corr=corr, base=base,
                             bits_stored=16))
        uv = ecg_signal(n, freq, i)
        cols.append(numpy.round(uv / (float(sens) * float(corr)) - float(base)))
    data = numpy.stack(cols, axis=1).astype("<i2")
    rhythm = group("RHYTHM", "500", data, chans, "SS", 16)
    median = group("MEDIAN BEAT", "500", data[100:700], chans, "SS", 16)
    ds.WaveformSequence = Sequence([rhythm, median])
    notes = []
    for text in ["SINUS RHYTHM", "NORMAL ECG"]:
        a = Dataset()
        a.UnformattedTextValue = text
        a.ReferencedWaveformChannels = [1, 0]
        a.AnnotationGroupNumber = 0
        notes.append(a)
    a = Dataset()
    a.ConceptNameCodeSequence = Sequence([code("5.10.2.1-3", "SCPECG", "RR Interval")])
    a.NumericValue = "800"
    a.MeasurementUnitsCodeSequence = Sequence([code("ms", "UCUM", "milliseconds")])
    a.ReferencedWaveformChannels = [1, 0]
    a.AnnotationGroupNumber = 1
    notes.append(a)
    for pos in [151, 551]:
        a = Dataset()
        a.ConceptNameCodeSequence = Sequence([code("5.7.1-3", "SCPECG", "Fiducial Point")])
        a.ReferencedWaveformChannels = [1, 0]
        a.TemporalRangeType = "POINT"
        a.ReferencedSamplePositions = pos
        a.AnnotationGroupNumber = 2
        notes.append(a)
    ds.WaveformAnnotationSequence = Sequence(notes)
    ds.save_as(ds.filename, write_like_original=False)
    return ds.filename


def write_hemo(d):
    ds = new_file(os.path.join(d, "hemo.dcm"), "1.2.840.10008.5.1.4.1.1.9.2.1")
    ds.Modality = "HD"
    freq, n = 250, 1000
    t = numpy.arange(n) / freq
    ecg = numpy.round(ecg_signal(n, freq, 1) / 5).astype("<i2")  # 5 uV per unit = 0.005 mV
    art = numpy.round((80 + 40 * numpy.maximum(0, numpy.sin(2 * math.pi * t * 1.25))) * 10 + 1000)
    pap = numpy.round((10 + 15 * numpy.maximum(0, numpy.sin(2 * math.pi * t * 1.25))) * 10 + 1000)
    data = numpy.stack([ecg.astype("<u2"), art, pap], axis=1).astype("<u2")
    # The ECG channel is stored as US here too: its baseline shifts it back.
    data[:, 0] = (ecg.astype("<i4") + 32768).astype("<u2")
    chans = [channel(LEADS[1], sens="0.005", units=("mV", "millivolt"), base="-32768"),
             channel(None, label="ART", sens="0.1", units=("mm[Hg]", "mmHg"), base="-1000"),
             channel(None, label="PA", sens="0.1", units=("mm[Hg]", "mmHg"), base="-1000",
                     corr="1.01")]
    ds.WaveformSequence = Sequence([group("PRESSURES", "250", data, chans, "US", 16)])
    ds.save_as(ds.filename, write_like_original=False)
    return ds.filename


def write_sb8(d):
    ds = new_file(os.path.join(d, "sb8.dcm"), "1.2.840.10008.5.1.4.1.1.9.1.2", implicit=True)
    n = 301  # odd: the data needs its padding byte
    a = (numpy.arange(n) % 256 - 128).astype("i1")
    b = ((numpy.arange(n) * 7) % 256 - 128).astype("i1")
    chans = [channel(LEADS[0], sens="10", units=("uV", "microvolt"), base="1"),
             channel(LEADS[1], sens="10", units=("uV", "microvolt"), corr="0.5")]
    ds.WaveformSequence = Sequence([group("RHYTHM", "100", numpy.stack([a, b], axis=1), chans,
                                          "SB", 8)])
    ds.save_as(ds.filename, write_like_original=False)
    return ds.filename


def write_sl32(d):
    ds = new_file(os.path.join(d, "sl32.dcm"), "1.2.840.10008.5.1.4.1.1.9.1.2")
    n = 64
    a = (numpy.arange(n, dtype="<i4") - 32) * 100000
    b = numpy.full(n, -2**31 + 5, dtype="<i4")
    b[::2] = 2**31 - 7
    chans = [channel(LEADS[0], sens="0.001", units=("uV", "microvolt"), base="-7.5"),
             channel(None, label="RAW")]
    ds.WaveformSequence = Sequence([group("RHYTHM", "1000", numpy.stack([a, b], axis=1), chans,
                                          "SL", 32)])
    ds.save_as(ds.filename, write_like_original=False)
    return ds.filename


def write_ul32(d):
    ds = new_file(os.path.join(d, "ul32.dcm"), "1.2.840.10008.5.1.4.1.1.9.1.2")
    n = 40
    first = numpy.stack([numpy.arange(n, dtype="<i2") * -3], axis=1)
    second = numpy.stack([numpy.arange(n, dtype="<u4") * 100000000 + 7], axis=1)
    ds.WaveformSequence = Sequence([
        group("SHORT", "200", first, [channel(LEADS[1], sens="2", units=("uV", "microvolt"))],
              "SS", 16),
        group("LONG", "200", second, [channel(LEADS[2], sens="0.5", units=("uV", "microvolt"),
                                              base="-1000")], "UL", 32)])
    ds.save_as(ds.filename, write_like_original=False)
    return ds.filename


def write_bad(d):
    # 12 channels declared; 8 channel definitions and the data of 8.
    ds = new_file(os.path.join(d, "mismatch.dcm"), "1.2.840.10008.5.1.4.1.1.9.1.1")
    data = numpy.zeros((500, 8), dtype="<i2")
    g = group("RHYTHM", "500", data, [channel(LEADS[i], sens="1", units=("uV", "microvolt"))
                                      for i in range(8)], "SS", 16)
    g.NumberOfWaveformChannels = 12
    ds.WaveformSequence = Sequence([g])
    ds.save_as(ds.filename, write_like_original=False)

    ds = new_file(os.path.join(d, "nochannels.dcm"), "1.2.840.10008.5.1.4.1.1.9.1.2")
    good = group("GOOD", "100", numpy.ones((10, 1), dtype="<i2"),
                 [channel(LEADS[0], sens="1", units=("uV", "microvolt"))], "SS", 16)
    empty = group("EMPTY", "100", numpy.ones((10, 1), dtype="<i2"), [], "SS", 16)
    empty.NumberOfWaveformChannels = 0
    ds.WaveformSequence = Sequence([empty, good])
    ds.save_as(ds.filename, write_like_original=False)

    ds = new_file(os.path.join(d, "huge.dcm"), "1.2.840.10008.5.1.4.1.1.9.1.2")
    g = group("HUGE", "500", numpy.ones((16, 2), dtype="<i2"),
              [channel(LEADS[i], sens="1", units=("uV", "microvolt")) for i in range(2)], "SS", 16)
    g.NumberOfWaveformSamples = 2**31
    ds.WaveformSequence = Sequence([g])
    ds.save_as(ds.filename, write_like_original=False)

    whole = open(os.path.join(d, "ecg12.dcm"), "rb").read()
    with open(os.path.join(d, "truncated.dcm"), "wb") as f:
        f.write(whole[: len(whole) // 2])


def main():
    d = sys.argv[1]
    os.makedirs(d, exist_ok=True)
    write_ecg12(d)
    write_hemo(d)
    write_sb8(d)
    write_sl32(d)
    write_ul32(d)
    write_bad(d)


if __name__ == "__main__":
    main()
