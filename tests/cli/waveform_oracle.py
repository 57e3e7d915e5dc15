#!/usr/bin/python3
"""pydicom as the oracle for `tavrolen-dicom waveform --json`.

  waveform_oracle.py TOOL FILE...
      For every file, compares each multiplex group the tool read with
      pydicom's waveform_array (stored samples plus the channel baseline,
      times the channel sensitivity and correction factor): channel count,
      label, sampling frequency, units, sensitivity and every sample. Prints
      each difference and one summary line per file; exit 1 on a difference.
"""
import json
import subprocess
import sys

import numpy
import pydicom


def label_of(ch, number):
    if ch.get("ChannelLabel"):
        return str(ch.ChannelLabel).strip()
    if "ChannelSourceSequence" in ch and ch.ChannelSourceSequence:
        return str(ch.ChannelSourceSequence[0].get("CodeMeaning", ""))
    return "Channel %d" % number


def compare(tool, path):
    problems = []
    out = subprocess.run([tool, "waveform", path, "--json"], capture_output=True, check=False)
    got = json.loads(out.stdout)
    ds = pydicom.dcmread(path)
    groups = ds.WaveformSequence
    if len(got["groups"]) != len(groups):
        return ["%d groups, pydicom reads %d" % (len(got["groups"]), len(groups))], 0
    values = 0
    for i, (g, item) in enumerate(zip(got["groups"], groups)):
        if "refused" in g:
            problems.append("group %d refused: %s" % (i + 1, g["refused"]))
            continue
        want = ds.waveform_array(i)
        if len(g["channels"]) != want.shape[1]:
            problems.append("group %d: %d channels, pydicom %d" % (i + 1, len(g["channels"]),
                                                                 want.shape[1]))
            continue
        if g["samplingFrequency"] != float(item.SamplingFrequency):
            problems.append("group %d: sampling frequency %r" % (i + 1, g["samplingFrequency"]))
        for c, (ch, definition) in enumerate(zip(g["channels"], item.ChannelDefinitionSequence)):
            where = "group %d channel %d" % (i + 1, c + 1)
            if ch["label"] != label_of(definition, c + 1):
                problems.append("%s: label %r, file %r" % (where, ch["label"],
                                                           label_of(definition, c + 1)))
            units = ""
            if definition.get("ChannelSensitivityUnitsSequence"):
                units = definition.ChannelSensitivityUnitsSequence[0].CodeValue
            if ch["units"] != units:
                problems.append("%s: units %r, file %r" % (where, ch["units"], units))
            if ch["sensitivity"] != float(definition.get("ChannelSensitivity", 1.0)):
                problems.append("%s: sensitivity %r" % (where, ch["sensitivity"]))
            samples = numpy.array(ch["samples"], dtype=float)
            expected = want[:, c]
            if samples.shape != expected.shape:
                problems.append("%s: %d samples, pydicom %d" % (where, samples.size,
                                                                expected.size))
                continue
            diff = numpy.abs(samples - expected)
            tolerance = 1e-9 * numpy.maximum(1.0, numpy.abs(expected))
            bad = numpy.nonzero(diff > tolerance)[0]
            if bad.size:
                k = bad[0]
                problems.append("%s: %d samples differ, first at %d: %r, pydicom %r" % (
                    where, bad.size, k, samples[k], expected[k]))
            values += samples.size
    return problems, values


def main():
    tool = sys.argv[1]
    failed = False
    for path in sys.argv[2:]:
        problems, values = compare(tool, path)
        for p in problems:
            print("%s: %s" % (path, p))
        failed = failed or bool(problems)
        print("%s: %d values compared" % (path.rsplit("/", 1)[-1], values))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
